// Opening a PE file for work: its headers, where its resources are, their
// bytes and their table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "base/operation_hooks.h"
#include "format/pe_headers.h"
#include "format/resource_table.h"
#include "platform/file.h"
#include "vornutils/editing.h"

namespace vorn {

// Where the resources of an open image are, derived from its headers.
struct ImageLayout {
    std::uint32_t fileAlignment = 0;
    std::uint32_t sectionAlignment = 0;
    std::int32_t sectionCount = 0;
    std::uint32_t optionalHeaderOffset = 0;  // e_lfanew + 24
    std::uint32_t dataDirectoryOffset = 0;   // of the data directory array
    std::uint32_t resourceRva = 0;           // data directory 2
    std::uint32_t resourceSize = 0;          // data directory 2; replaced by a commit
    std::uint32_t resourceOffset = 0;        // PointerToRawData of the section at resourceRva
};

// Files of this length and more are refused: every PE32 offset is 32 bits
// and a rewrite must be able to grow the file.
inline constexpr std::uint64_t kMaxImageFileLength = 0x7FFFFFFF;

// The commit's choices and report are the public API's own.
using vornutils::ChecksumHandling;
using vornutils::CommitReport;
using vornutils::SignatureHandling;

// How a commit writes its result when it does not rewrite the file in
// place as the exports do: so that a process killed at any moment leaves
// `output` as it was or complete once RecoverInterruptedEdit has run. The
// input itself is edited in place behind a journal; another `output` is
// written beside it and renamed over it.
struct CommitOptions {
    std::string output;  // the file to write: the input's own path, or another
    SignatureHandling signature = SignatureHandling::Move;
    ChecksumHandling checksum = ChecksumHandling::UpdateWhenSet;
    bool installerCrc = true;  // recompute the CRC of an installer that checks itself
};

// How an operation reaches images: which kinds it accepts and whom it
// tells while it runs. The exports use the defaults: PE32 only, no
// observers, nothing created.
struct ImageAccess {
    ImageKinds kinds = ImageKinds::Pe32Only;
    OperationHooks hooks;
    // A file without a resource section gets one, and one without an icon
    // group gets group 1, instead of the codes 4 and 7.
    bool createResources = false;
    // An .ico file's images are read as the section is built, straight into
    // it, rather than into memory of their own first.
    bool leaveIconImages = false;
};

// An open image. The table's entries share resourceBytes, the section's
// bytes as read.
struct Image {
    std::string path;  // as opened
    File stream;
    std::uint64_t fileLength = 0;
    PeHeaders headers;
    ImageLayout layout;
    std::shared_ptr<const std::vector<std::byte>> resourceBytes;
    ResourceTable table;
};

// The section that holds the resources, the first whose address is theirs;
// null when none is.
const SectionHeader* ResourceSection(const PeHeaders& headers, const ImageLayout& layout);

// The length of the open file; the stream's position is unchanged.
std::optional<std::uint64_t> GetFileLength(File& stream);

// True when path names a file of at least 308 bytes that starts with "MZ"
// and has "PE\0\0" at e_lfanew. Never says why not.
bool ProbePeFile(const char* path);

// Where the resources are: 0, NoResourceSection or ResourceBeforeCode.
ResultCode ReadImageLayout(const PeHeaders& headers, ImageLayout& layout);
// The same from a stream, reading its headers as the exports accept them:
// 0, NotPeImage, NoResourceSection or ResourceBeforeCode.
ResultCode ReadImageLayout(File& stream, ImageLayout& layout);

// Opens ("rb" when readOnly, else "rb+") and reads the headers. NotPeImage
// when the file cannot be read or is no image of `kinds`; FileAccessFailed
// when it is one but cannot be opened in that mode, or is too large.
ResultCode OpenImageHeaders(const char* path, Image& image, bool readOnly, ImageKinds kinds);

// For an image whose headers are open: the layout, the resource bytes and
// the resource table. Codes of ReadImageLayout, BadResourceData,
// FileAccessFailed, OutOfMemory.
ResultCode LoadImageResources(Image& image);

// Both steps. On failure `image` holds nothing.
ResultCode OpenImageForEdit(const char* path, Image& image, bool readOnly, ImageKinds kinds = ImageKinds::Pe32Only);

// OpenImageForEdit for editing, giving a file without resources an empty
// resource section when `access` asks for it.
ResultCode OpenImageForEditing(const char* path, Image& image, const ImageAccess& access);

// Gives an image opened without resources an empty resource section: a new
// last section after every other, whose header takes the zeros after the
// section table. Only the headers in memory change, for the commit to
// write. NoResourceSection when the headers have no room for it;
// BadResourceData when the sections claim data the file does not hold;
// ResourceBeforeCode when it would lie below the code.
ResultCode AddResourceSection(Image& image);

// A reader's way of closing: the table, then its bytes, then the stream.
void CloseImage(Image& image);

// Why `path` does not open as an image of `kinds`, for messages: the
// headers' problem, or None when they read (the failure then lies beyond).
HeaderProblem DiagnoseImage(const char* path, ImageKinds kinds);

}  // namespace vorn
