#include "pe/image.h"

#include <array>

#include "pe/byte_view.h"
#include "pe/pe_format.h"

namespace vorn {

namespace {

using namespace pe;

template <std::size_t N>
using Block = std::array<std::byte, N>;

}  // namespace

std::optional<std::uint64_t> GetFileLength(File& stream) { return stream.Length(); }

bool ProbePeFile(const char* path) {
    auto stream = File::Open(path, File::Mode::Read);
    if (!stream) return false;
    const auto length = GetFileLength(*stream);
    if (!length || *length < kMinimumImageSize) return false;
    Block<kDosHeaderSize> dos;
    if (!stream->ReadAt(0, dos) || LoadU16(dos.data() + kDosMagicOffset) != kDosMagic) return false;
    Block<kPeSignatureSize> signature;
    return stream->ReadAt(LoadU32(dos.data() + kDosLfanewOffset), signature) &&
           LoadU32(signature.data()) == kPeSignature;
}

ResultCode ReadImageLayout(File& stream, ImageLayout& layout) {
    // Each header is read whole; a header that cannot be read fails the test
    // that follows it.
    Block<kDosHeaderSize> dos;
    if (!stream.ReadAt(0, dos) || LoadU16(dos.data() + kDosMagicOffset) != kDosMagic) return ResultCode::NotPeImage;
    const std::uint32_t lfanew = LoadU32(dos.data() + kDosLfanewOffset);

    Block<kPeSignatureSize> signature;
    if (!stream.ReadAt(lfanew, signature) || LoadU32(signature.data()) != kPeSignature) return ResultCode::NotPeImage;

    Block<kFileHeaderSize> fileHeader;
    if (!stream.Read(fileHeader) || LoadU16(fileHeader.data() + kFileSizeOfOptionalHeaderOffset) != kOptionalHeaderSize) {
        return ResultCode::NotPeImage;
    }

    // A 32-bit offset: e_lfanew near 4 GiB cannot be read, so this never wraps.
    layout.optionalHeaderOffset = lfanew + kPeSignatureSize + kFileHeaderSize;
    Block<kOptionalHeaderSize> optional;
    if (!stream.Read(optional) || LoadU16(optional.data() + kOptMagicOffset) != kPe32Magic) {
        return ResultCode::NotPeImage;
    }
    layout.sectionAlignment = LoadU32(optional.data() + kOptSectionAlignmentOffset);
    layout.fileAlignment = LoadU32(optional.data() + kOptFileAlignmentOffset);
    layout.dataDirectoryOffset = layout.optionalHeaderOffset + kOptDataDirectoryOffset;

    const std::byte* resourceDirectory =
        optional.data() + kOptDataDirectoryOffset + kResourceDirectoryIndex * kDataDirectoryEntrySize;
    layout.resourceRva = LoadU32(resourceDirectory);
    layout.resourceSize = LoadU32(resourceDirectory + 4);
    if (layout.resourceRva == 0 || layout.resourceSize == 0) return ResultCode::NoResourceSection;

    if (LoadU32(optional.data() + kOptBaseOfCodeOffset) > layout.resourceRva) return ResultCode::ResourceBeforeCode;

    layout.sectionCount = LoadU16(fileHeader.data() + kFileNumberOfSectionsOffset);
    layout.resourceOffset = 0;
    Block<kSectionHeaderSize> section;
    for (std::int32_t i = 0; i < layout.sectionCount && stream.Read(section); ++i) {
        if (LoadU32(section.data() + kSecVirtualAddressOffset) == layout.resourceRva) {
            layout.resourceOffset = LoadU32(section.data() + kSecPointerToRawDataOffset);
            break;
        }
    }
    return layout.resourceOffset == 0 ? ResultCode::NoResourceSection : ResultCode::Success;
}

namespace {

ResultCode OpenImage(const char* path, Image& image, bool readOnly) {
    if (!ProbePeFile(path)) return ResultCode::NotPeImage;

    auto stream = File::Open(path, readOnly ? File::Mode::Read : File::Mode::ReadWrite);
    if (!stream) return ResultCode::FileAccessFailed;
    const auto length = GetFileLength(*stream);
    if (!length || *length > kMaxImageFileLength) return ResultCode::FileAccessFailed;

    ImageLayout layout;
    if (const ResultCode code = ReadImageLayout(*stream, layout); code != ResultCode::Success) return code;

    // A directory size beyond what the file holds is damage, refused before
    // anything of that size is allocated.
    if (!Fits(layout.resourceOffset, layout.resourceSize, *length)) return ResultCode::BadResourceData;

    std::vector<std::byte> resourceBytes(layout.resourceSize);
    if (!stream->ReadAt(layout.resourceOffset, resourceBytes)) return ResultCode::FileAccessFailed;

    ResourceTable table;
    if (const ResultCode code = LoadResourceTable(resourceBytes, table, layout.resourceRva); code != ResultCode::Success) {
        return code;
    }
    image.stream = std::move(*stream);
    image.layout = layout;
    image.resourceBytes = std::move(resourceBytes);
    image.table = std::move(table);
    return ResultCode::Success;
}

}  // namespace

ResultCode OpenImageForEdit(const char* path, Image& image, bool readOnly) {
    image = Image{};
    try {
        return OpenImage(path, image, readOnly);
    } catch (const std::bad_alloc&) {
        image = Image{};
        return ResultCode::OutOfMemory;
    }
}

void CloseImage(Image& image) {
    ReleaseResourceTable(image.table);
    image.resourceBytes.clear();
    image.resourceBytes.shrink_to_fit();
    image.stream.Close();
}

}  // namespace vorn
