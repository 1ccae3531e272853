#include "image/image.h"

#include <algorithm>
#include <array>

#include "base/byte_view.h"
#include "format/pe_format.h"

namespace vorn {

using namespace pe;

std::optional<std::uint64_t> GetFileLength(File& stream) { return stream.Length(); }

const SectionHeader* ResourceSection(const PeHeaders& headers, const ImageLayout& layout) {
    for (const SectionHeader& section : headers.sections) {
        if (section.virtualAddress == layout.resourceRva) return &section;
    }
    return nullptr;
}


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
    image.path = path;
    image.stream = std::move(*stream);
    image.fileLength = *length;
    return ResultCode::Success;
}

ResultCode LoadResources(Image& image) {
    ImageLayout layout;
    if (const ResultCode code = ReadImageLayout(image.headers, layout); code != ResultCode::Success) return code;

    // The loader maps a section's raw data and zeros after it, up to its
    // virtual size; bytes past the raw data (another section's, or appended
    // data) are not the resources'.
    const SectionHeader* section = ResourceSection(image.headers, layout);
    const std::uint32_t raw = section != nullptr ? section->sizeOfRawData : 0;
    const std::uint32_t mapped = section != nullptr && section->virtualSize != 0 ? section->virtualSize : raw;
    const std::uint32_t stored = std::min(layout.resourceSize, raw);
    // A directory size beyond what the file holds or the loader maps is
    // damage, refused before anything of that size is allocated.
    if (!Fits(layout.resourceOffset, stored, image.fileLength) ||
        (layout.resourceSize > raw && (layout.resourceSize > mapped || layout.resourceSize - raw > image.fileLength))) {
        return ResultCode::BadResourceData;
    }

    auto resourceBytes = std::make_shared<std::vector<std::byte>>(layout.resourceSize);
    if (!image.stream.ReadAt(layout.resourceOffset, std::span(*resourceBytes).first(stored))) {
        return ResultCode::FileAccessFailed;
    }

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

namespace {

ResultCode AddEmptyResourceSection(Image& image) {
    PeHeaders& h = image.headers;
    if (h.directories.size() <= kResourceDirectoryIndex || h.sections.size() != h.numberOfSections) {
        return ResultCode::NoResourceSection;
    }
    DataDirectory& directory = h.directories[kResourceDirectoryIndex];
    if (directory.virtualAddress != 0 && directory.size != 0) return ResultCode::NoResourceSection;

    const std::uint32_t fileAlignment = std::max<std::uint32_t>(h.fileAlignment, 1);
    const std::uint32_t sectionAlignment = std::max<std::uint32_t>(h.sectionAlignment, 1);
    std::uint64_t firstData = h.sizeOfHeaders;
    std::uint64_t rawEnd = h.HeadersEnd();
    std::uint64_t virtualEnd = h.sizeOfHeaders;
    for (const SectionHeader& s : h.sections) {
        if (s.pointerToRawData != 0 && s.sizeOfRawData != 0) {
            firstData = std::min<std::uint64_t>(firstData, s.pointerToRawData);
            rawEnd = std::max(rawEnd, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
        }
        // The loader maps VirtualSize bytes, or the raw size when that is 0,
        // and wants the next section right after them.
        virtualEnd = std::max(virtualEnd, std::uint64_t{s.virtualAddress} + (s.virtualSize != 0 ? s.virtualSize : s.sizeOfRawData));
    }
    // Sections that claim data the file does not hold would put the new one
    // that far past its end.
    if (!h.SectionDataIsSound(image.fileLength)) return ResultCode::BadResourceData;
    const std::uint64_t slot = h.HeadersEnd();
    std::array<std::byte, kSectionHeaderSize> free{};
    if (slot + kSectionHeaderSize > firstData) return ResultCode::NoResourceSection;
    // A slot that cannot be read is a failed read, not a full section table.
    if (!image.stream.ReadAt(slot, free)) return ResultCode::FileAccessFailed;
    if (std::any_of(free.begin(), free.end(), [](std::byte b) { return b != std::byte{0}; })) {
        return ResultCode::NoResourceSection;
    }
    const std::uint64_t offset = AlignUp64(rawEnd, fileAlignment);
    const std::uint64_t rva = AlignUp64(virtualEnd, sectionAlignment);
    if (offset > kMaxImageFileLength || rva > 0x7FFFFFFF) return ResultCode::NoResourceSection;
    // Resources below the code base are refused when the file is read again.
    if (h.baseOfCode > rva) return ResultCode::ResourceBeforeCode;

    SectionHeader& section = h.sections.emplace_back();
    constexpr char kName[] = ".rsrc";
    std::copy(std::begin(kName), std::end(kName) - 1, section.name.begin());
    section.virtualAddress = static_cast<std::uint32_t>(rva);
    section.pointerToRawData = static_cast<std::uint32_t>(offset);
    section.characteristics = kSecInitializedData | kSecMemRead;
    ++h.numberOfSections;
    h.peHeaders.resize(h.peHeaders.size() + kSectionHeaderSize);
    directory = {section.virtualAddress, 0};
    h.sizeOfImage = std::max(h.sizeOfImage, section.virtualAddress);

    ImageLayout& layout = image.layout;
    layout.fileAlignment = h.fileAlignment;
    layout.sectionAlignment = h.sectionAlignment;
    layout.sectionCount = h.numberOfSections;
    layout.optionalHeaderOffset = h.OptionalHeaderOffset();
    layout.dataDirectoryOffset = h.DataDirectoryOffset();
    layout.resourceRva = section.virtualAddress;
    layout.resourceSize = 0;
    layout.resourceOffset = section.pointerToRawData;
    return ResultCode::Success;
}

}  // namespace

ResultCode OpenImageForEditing(const char* path, Image& image, const ImageAccess& access) {
    const ResultCode code = OpenImageHeaders(path, image, false, access.kinds);
    if (code != ResultCode::Success) return code;
    ImageLayout layout;
    if (access.createResources && ReadImageLayout(image.headers, layout) == ResultCode::NoResourceSection) {
        return Guarded(image, [&] { return AddEmptyResourceSection(image); });
    }
    return LoadImageResources(image);
}

ResultCode AddResourceSection(Image& image) {
    try {
        return AddEmptyResourceSection(image);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
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
