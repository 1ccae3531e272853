// Probing a PE32 file, reading its layout and opening it for work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "frame/result_code.h"
#include "pe/resource_table.h"
#include "platform/file.h"

namespace vorn {

// The header values that later steps need of an open image.
struct ImageLayout {
    std::uint32_t fileAlignment = 0;
    std::uint32_t sectionAlignment = 0;
    std::int32_t sectionCount = 0;
    std::uint32_t optionalHeaderOffset = 0;  // e_lfanew + 24
    std::uint32_t dataDirectoryOffset = 0;   // optionalHeaderOffset + 96
    std::uint32_t resourceRva = 0;           // data directory 2
    std::uint32_t resourceSize = 0;          // data directory 2; replaced by a commit
    std::uint32_t resourceOffset = 0;        // PointerToRawData of the section at resourceRva
};

// Files of this length and more are refused: every PE32 offset is 32 bits
// and a rewrite must be able to grow the file.
inline constexpr std::uint64_t kMaxImageFileLength = 0x7FFFFFFF;

// An image opened by OpenImageForEdit. The table's entries view
// resourceBytes, so the bytes are declared first and outlive the table.
struct Image {
    File stream;
    ImageLayout layout;
    std::vector<std::byte> resourceBytes;
    ResourceTable table;
};

// The length of the open file; the stream's position is unchanged.
std::optional<std::uint64_t> GetFileLength(File& stream);

// True when path names a file of at least 308 bytes that starts with "MZ"
// and has "PE\0\0" at e_lfanew. Never says why not.
bool ProbePeFile(const char* path);

// Fills layout from the headers: 0, NotPeImage, NoResourceSection or
// ResourceBeforeCode.
ResultCode ReadImageLayout(File& stream, ImageLayout& layout);

// Probes, opens ("rb" when readOnly, else "rb+"), reads the layout, the
// resource bytes and the resource table. On failure `image` holds nothing.
ResultCode OpenImageForEdit(const char* path, Image& image, bool readOnly);

// A reader's way of closing: the table, then its bytes, then the stream.
void CloseImage(Image& image);

}  // namespace vorn
