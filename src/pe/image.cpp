#include "pe/image.h"

#include <array>

#include "pe/byte_view.h"
#include "pe/pe_format.h"

namespace vorn {

using namespace pe;

std::optional<std::uint64_t> GetFileLength(File& stream) { return stream.Length(); }

bool ProbePeFile(const char* path) {
    auto stream = File::Open(path, File::Mode::Read);
    if (!stream) return false;
    const auto length = GetFileLength(*stream);
    if (!length || *length < kMinimumImageSize) return false;
    std::array<std::byte, kDosHeaderSize> dos{};
    if (!stream->ReadAt(0, dos) || LoadU16(dos.data() + kDosMagicOffset) != kDosMagic) return false;
    std::array<std::byte, kPeSignatureSize> signature{};
    return stream->ReadAt(LoadU32(dos.data() + kDosLfanewOffset), signature) &&
           LoadU32(signature.data()) == kPeSignature;
}

ResultCode ReadImageLayout(const PeHeaders& headers, ImageLayout& layout) {
    layout.sectionAlignment = headers.sectionAlignment;
    layout.fileAlignment = headers.fileAlignment;
    layout.optionalHeaderOffset = headers.OptionalHeaderOffset();
    layout.dataDirectoryOffset = headers.DataDirectoryOffset();

    const DataDirectory resources = headers.Directory(kResourceDirectoryIndex);
    layout.resourceRva = resources.virtualAddress;
    layout.resourceSize = resources.size;
    if (layout.resourceRva == 0 || layout.resourceSize == 0) return ResultCode::NoResourceSection;
    if (headers.baseOfCode > layout.resourceRva) return ResultCode::ResourceBeforeCode;

    layout.sectionCount = headers.numberOfSections;
    layout.resourceOffset = 0;
    for (const SectionHeader& section : headers.sections) {
        if (section.virtualAddress == layout.resourceRva) {
            layout.resourceOffset = section.pointerToRawData;
            break;
        }
    }
    return layout.resourceOffset == 0 ? ResultCode::NoResourceSection : ResultCode::Success;
}

ResultCode ReadImageLayout(File& stream, ImageLayout& layout) {
    const auto length = stream.Length();
    if (!length) return ResultCode::NotPeImage;
    PeHeaders headers;
    if (const ResultCode code = ReadPeHeaders(stream, *length, ImageKinds::Pe32Only, headers); code != ResultCode::Success) {
        return code;
    }
    return ReadImageLayout(headers, layout);
}

namespace {

ResultCode OpenHeaders(const char* path, Image& image, bool readOnly, ImageKinds kinds) {
    auto stream = File::Open(path, readOnly ? File::Mode::Read : File::Mode::ReadWrite);
    if (!stream) {
        // A file that will not open for editing may still be an image that
        // only this access is denied to.
        return !readOnly && ProbePeFile(path) ? ResultCode::FileAccessFailed : ResultCode::NotPeImage;
    }
    const auto length = stream->Length();
    if (!length) return ResultCode::NotPeImage;
    if (const ResultCode code = ReadPeHeaders(*stream, *length, kinds, image.headers); code != ResultCode::Success) {
        return code;
    }
    if (*length > kMaxImageFileLength) return ResultCode::FileAccessFailed;
    image.stream = std::move(*stream);
    image.fileLength = *length;
    return ResultCode::Success;
}

ResultCode LoadResources(Image& image) {
    ImageLayout layout;
    if (const ResultCode code = ReadImageLayout(image.headers, layout); code != ResultCode::Success) return code;

    // A directory size beyond what the file holds is damage, refused before
    // anything of that size is allocated.
    if (!Fits(layout.resourceOffset, layout.resourceSize, image.fileLength)) return ResultCode::BadResourceData;

    std::vector<std::byte> resourceBytes(layout.resourceSize);
    if (!image.stream.ReadAt(layout.resourceOffset, resourceBytes)) return ResultCode::FileAccessFailed;

    ResourceTable table;
    if (const ResultCode code = LoadResourceTable(resourceBytes, table, layout.resourceRva); code != ResultCode::Success) {
        return code;
    }
    image.layout = layout;
    image.resourceBytes = std::move(resourceBytes);
    image.table = std::move(table);
    return ResultCode::Success;
}

template <class Step>
ResultCode Guarded(Image& image, Step&& step) {
    ResultCode code = ResultCode::OutOfMemory;
    try {
        code = step();
    } catch (const std::bad_alloc&) {
    }
    if (code != ResultCode::Success) image = Image{};
    return code;
}

}  // namespace

ResultCode OpenImageHeaders(const char* path, Image& image, bool readOnly, ImageKinds kinds) {
    image = Image{};
    return Guarded(image, [&] { return OpenHeaders(path, image, readOnly, kinds); });
}

ResultCode LoadImageResources(Image& image) {
    return Guarded(image, [&] { return LoadResources(image); });
}

ResultCode OpenImageForEdit(const char* path, Image& image, bool readOnly, ImageKinds kinds) {
    const ResultCode code = OpenImageHeaders(path, image, readOnly, kinds);
    return code == ResultCode::Success ? LoadImageResources(image) : code;
}

void CloseImage(Image& image) {
    ReleaseResourceTable(image.table);
    image = Image{};
}

HeaderProblem DiagnoseImage(const char* path, ImageKinds kinds) {
    auto stream = File::Open(path, File::Mode::Read);
    const auto length = stream ? stream->Length() : std::nullopt;
    if (!length) return HeaderProblem::None;
    PeHeaders headers;
    HeaderProblem problem = HeaderProblem::None;
    (void)ReadPeHeaders(*stream, *length, kinds, headers, &problem);
    return problem;
}

}  // namespace vorn
