#include "rsrcwrite/image_rewrite.h"

#include <algorithm>
#include <array>
#include <vector>

#include "pe/byte_view.h"
#include "pe/pe_format.h"
#include "platform/platform.h"
#include "rsrcwrite/section_builder.h"

namespace vorn {

namespace {

using namespace pe;

// An installer's loader keeps a table of file offsets into its appended data:
// the tag "Inno" at 0x30, the table's offset at 0x34 and its complement at
// 0x38, and at that offset an id followed by eight 32-bit values.
constexpr std::uint32_t kInstallerTagOffset = 0x30;
constexpr std::array<std::uint8_t, 4> kInstallerTag = {'I', 'n', 'n', 'o'};
constexpr std::array<std::uint8_t, 12> kInstallerTableId = {'r', 'D', 'l', 'P', 't', 'S', '0', '2',
                                                             0x87, 0x65, 0x56, 0x78};
constexpr std::uint32_t kInstallerTableSize = 12 + 8 * 4;
// Values 1, 2, 6, 7 and 8 (counting from 1) are file offsets or the file's
// size; 3, 4 and 5 are not.
constexpr std::array<bool, 8> kInstallerValueMoves = {true, true, false, false, false, true, true, true};

// Debug directory entries: 28 bytes, AddressOfRawData (an RVA) at 20 and
// PointerToRawData (a file offset) at 24.
constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugAddressOffset = 20;
constexpr std::uint32_t kDebugPointerOffset = 24;

// Where things were and where they go. File positions are 64-bit so that a
// damaged header cannot wrap them; header values stay 32-bit, whose
// arithmetic the format defines modulo 2^32.
struct Move {
    std::uint64_t oldEnd = 0;      // file offset where the data after the old section begins
    std::uint64_t newEnd = 0;      // ... and where it is to begin
    std::uint64_t tailLength = 0;  // bytes from oldEnd to the end of the file
    std::uint32_t oldRawSize = 0;
    std::uint32_t newRawSize = 0;
    std::uint32_t oldVirtualEnd = 0;
    std::uint32_t fileDelta = 0;     // modulo 2^32, may be "negative"
    std::uint32_t virtualDelta = 0;  // modulo 2^32, may be "negative"

    [[nodiscard]] bool FileOffsetMoves(std::uint32_t offset) const { return offset != 0 && offset >= oldEnd; }
    [[nodiscard]] bool AddressMoves(std::uint32_t rva) const { return rva != 0 && rva >= oldVirtualEnd; }
};

MoveProgress moveProgress = nullptr;
void* moveProgressContext = nullptr;

void ReportMove(std::uint64_t done, std::uint64_t total) {
    if (moveProgress != nullptr) moveProgress(moveProgressContext, done, total);
}

void AddAt(std::byte* at, std::uint32_t delta) { StoreU32(at, LoadU32(at) + delta); }

// The headers as read before anything changes, edited in memory, and
// written back once the tail has moved.
struct Headers {
    std::array<std::byte, kFileHeaderSize> fileHeader{};
    std::array<std::byte, kOptionalHeaderSize> optional{};
    std::vector<std::byte> sections;
    std::uint64_t debugOffset = 0;  // file offset of the debug directory after the move
    std::vector<std::byte> debug;
    std::uint64_t installerTable = 0;  // file offset of the installer table after the move
    std::array<std::byte, kInstallerTableSize> installer{};
    bool hasInstallerTable = false;
    bool hasInstallerTag = false;
};

// The file offset of an RVA, by the section headers as they were.
std::optional<std::uint64_t> FileOffsetOf(const std::vector<std::byte>& sections, std::uint32_t rva,
                                          std::uint32_t size) {
    for (std::size_t at = 0; at + kSectionHeaderSize <= sections.size(); at += kSectionHeaderSize) {
        const std::byte* s = sections.data() + at;
        const std::uint32_t va = LoadU32(s + kSecVirtualAddressOffset);
        const std::uint32_t rawSize = LoadU32(s + kSecSizeOfRawDataOffset);
        const std::uint32_t pointer = LoadU32(s + kSecPointerToRawDataOffset);
        if (pointer != 0 && rva >= va && Fits(rva - va, size, rawSize)) return std::uint64_t{pointer} + (rva - va);
    }
    return std::nullopt;
}

bool ReadHeaders(File& stream, const ImageLayout& layout, const Move& move, std::uint64_t fileLength,
                 Headers& headers) {
    const std::uint64_t fileHeaderOffset = std::uint64_t{layout.optionalHeaderOffset} - kFileHeaderSize;
    const std::uint64_t sectionTable = std::uint64_t{layout.optionalHeaderOffset} + kOptionalHeaderSize;
    headers.sections.resize(std::size_t{kSectionHeaderSize} * static_cast<std::uint32_t>(layout.sectionCount));
    if (!stream.ReadAt(fileHeaderOffset, headers.fileHeader) ||
        !stream.ReadAt(layout.optionalHeaderOffset, headers.optional) ||
        !stream.ReadAt(sectionTable, headers.sections)) {
        return false;
    }

    // The debug directory, when it lies in the file outside the old section.
    const std::byte* debugDirectory = headers.optional.data() + kOptDataDirectoryOffset +
                                      kDebugDirectoryIndex * kDataDirectoryEntrySize;
    const std::uint32_t debugRva = LoadU32(debugDirectory);
    const std::uint32_t debugSize = LoadU32(debugDirectory + 4) / kDebugEntrySize * kDebugEntrySize;
    if (debugRva != 0 && debugSize != 0) {
        const auto at = FileOffsetOf(headers.sections, debugRva, debugSize);
        const bool inOldSection = at && *at < move.oldEnd && *at + debugSize > layout.resourceOffset;
        if (at && !inOldSection && Fits(*at, debugSize, fileLength)) {
            headers.debug.resize(debugSize);
            if (!stream.ReadAt(*at, headers.debug)) return false;
            headers.debugOffset = *at >= move.oldEnd ? *at + (move.newEnd - move.oldEnd) : *at;
        }
    }

    std::array<std::byte, 12> tag{};
    if (!stream.ReadAt(kInstallerTagOffset, tag)) return false;
    headers.hasInstallerTag = std::equal(kInstallerTag.begin(), kInstallerTag.end(), tag.begin(),
                                         [](std::uint8_t a, std::byte b) { return std::byte{a} == b; });
    const std::uint32_t table = LoadU32(tag.data() + 4);
    // A table that lies before the resource section does not move.
    if (headers.hasInstallerTag && move.FileOffsetMoves(table) && Fits(table, kInstallerTableSize, fileLength)) {
        if (!stream.ReadAt(table, headers.installer)) return false;
        headers.hasInstallerTable = std::equal(kInstallerTableId.begin(), kInstallerTableId.end(),
                                               headers.installer.begin(),
                                               [](std::uint8_t a, std::byte b) { return std::byte{a} == b; });
        headers.installerTable = std::uint64_t{table} + (move.newEnd - move.oldEnd);
    }
    return true;
}

void FixHeaders(const ImageLayout& layout, const Move& move, Headers& headers) {
    std::byte* directories = headers.optional.data() + kOptDataDirectoryOffset;
    for (std::uint32_t i = 0; i < kDataDirectoryCount; ++i) {
        std::byte* entry = directories + i * kDataDirectoryEntrySize;
        // The certificate table is the one directory that holds a file offset.
        if (i == kCertificateDirectoryIndex) {
            if (move.FileOffsetMoves(LoadU32(entry))) AddAt(entry, move.fileDelta);
        } else if (LoadU32(entry) >= move.oldVirtualEnd) {
            AddAt(entry, move.virtualDelta);
        }
    }
    StoreU32(directories + kResourceDirectoryIndex * kDataDirectoryEntrySize + 4, layout.resourceSize);
    AddAt(headers.optional.data() + kOptSizeOfImageOffset, move.virtualDelta);
    AddAt(headers.optional.data() + kOptSizeOfInitializedDataOffset, move.newRawSize - move.oldRawSize);

    for (std::size_t at = 0; at < headers.sections.size(); at += kSectionHeaderSize) {
        std::byte* s = headers.sections.data() + at;
        const std::uint32_t va = LoadU32(s + kSecVirtualAddressOffset);
        if (va == layout.resourceRva) {
            StoreU32(s + kSecVirtualSizeOffset, layout.resourceSize);
            StoreU32(s + kSecSizeOfRawDataOffset, move.newRawSize);
        } else if (va >= move.oldVirtualEnd) {
            AddAt(s + kSecVirtualAddressOffset, move.virtualDelta);
        }
        for (const std::uint32_t field :
             {kSecPointerToRawDataOffset, kSecPointerToRelocationsOffset, kSecPointerToLinenumbersOffset}) {
            if (move.FileOffsetMoves(LoadU32(s + field))) AddAt(s + field, move.fileDelta);
        }
    }

    // The COFF symbol table that many toolchains leave after the sections.
    std::byte* symbols = headers.fileHeader.data() + kFilePointerToSymbolTableOffset;
    if (move.FileOffsetMoves(LoadU32(symbols))) AddAt(symbols, move.fileDelta);

    for (std::size_t at = 0; at < headers.debug.size(); at += kDebugEntrySize) {
        std::byte* entry = headers.debug.data() + at;
        if (move.AddressMoves(LoadU32(entry + kDebugAddressOffset))) AddAt(entry + kDebugAddressOffset, move.virtualDelta);
        if (move.FileOffsetMoves(LoadU32(entry + kDebugPointerOffset))) AddAt(entry + kDebugPointerOffset, move.fileDelta);
    }

    if (headers.hasInstallerTable) {
        for (std::size_t i = 0; i < kInstallerValueMoves.size(); ++i) {
            if (kInstallerValueMoves[i]) AddAt(headers.installer.data() + 12 + 4 * i, move.fileDelta);
        }
    }
}

bool WriteHeaders(File& stream, const ImageLayout& layout, const Headers& headers) {
    const std::uint64_t fileHeaderOffset = std::uint64_t{layout.optionalHeaderOffset} - kFileHeaderSize;
    const std::uint64_t sectionTable = std::uint64_t{layout.optionalHeaderOffset} + kOptionalHeaderSize;
    if (!stream.WriteAt(fileHeaderOffset, headers.fileHeader) ||
        !stream.WriteAt(layout.optionalHeaderOffset, headers.optional) ||
        !stream.WriteAt(sectionTable, headers.sections)) {
        return false;
    }
    if (!headers.debug.empty() && !stream.WriteAt(headers.debugOffset, headers.debug)) return false;
    if (headers.hasInstallerTable && !stream.WriteAt(headers.installerTable, headers.installer)) return false;
    if (headers.hasInstallerTag && headers.installerTable != 0) {
        std::array<std::byte, 8> pointer{};
        const auto table = static_cast<std::uint32_t>(headers.installerTable);
        StoreU32(pointer.data(), table);
        StoreU32(pointer.data() + 4, ~table);
        if (!stream.WriteAt(kInstallerTagOffset + 4, pointer)) return false;
    }
    return stream.Flush();
}

// Growing by up to one chunk, the tail moves front to back: the bytes read
// last stay in the buffer until their new place has been read, so the file
// is read and written in order and the system's read-ahead works (moving
// back to front defeats it and costs three to four times as long on a cold
// cache). The buffer holds one chunk and the growth.
bool MoveTailForward(File& stream, const Move& move) {
    const auto shift = static_cast<std::size_t>(move.newEnd - move.oldEnd);
    std::vector<std::byte> buffer(shift + static_cast<std::size_t>(std::min<std::uint64_t>(kMoveChunkSize, move.tailLength)));
    std::uint64_t at = 0;     // tail offset of the buffer's first byte
    std::size_t carried = 0;  // bytes at the buffer's start, read and not yet written
    while (at + carried < move.tailLength) {
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kMoveChunkSize, move.tailLength - at - carried));
        if (!stream.ReadAt(move.oldEnd + at + carried, std::span(buffer.data() + carried, length))) return false;
        if (length == kMoveChunkSize) platform::PumpMessages();
        const std::size_t held = carried + length;
        // Before the end, the last `shift` bytes wait: writing them would
        // cover bytes not yet read.
        const std::size_t writable = at + held == move.tailLength ? held : held - shift;
        if (!stream.WriteAt(move.newEnd + at, std::span(buffer.data(), writable))) return false;
        std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(writable), buffer.begin() + static_cast<std::ptrdiff_t>(held),
                  buffer.begin());
        carried = held - writable;
        at += writable;
        ReportMove(at, move.tailLength);
    }
    return stream.Flush();
}

// Moves tailLength bytes from oldEnd to newEnd.
bool MoveTail(File& stream, const Move& move) {
    if (move.tailLength == 0 || move.newEnd == move.oldEnd) return true;
    const bool growing = move.newEnd > move.oldEnd;
    if (growing && move.newEnd - move.oldEnd <= kMoveChunkSize) return MoveTailForward(stream, move);
    // Otherwise one chunk at a time: back to front when growing, front to
    // back when shrinking, so that no byte is overwritten before it is read.
    std::vector<std::byte> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(move.tailLength, kMoveChunkSize)));
    std::uint64_t remaining = move.tailLength;
    while (remaining > kMoveChunkSize) {
        const std::uint64_t at = growing ? remaining - kMoveChunkSize : move.tailLength - remaining;
        if (!stream.ReadAt(move.oldEnd + at, buffer)) return false;
        platform::PumpMessages();
        if (!stream.WriteAt(move.newEnd + at, buffer)) return false;
        remaining -= kMoveChunkSize;
        ReportMove(move.tailLength - remaining, move.tailLength);
    }
    const std::span<std::byte> piece(buffer.data(), static_cast<std::size_t>(remaining));
    const std::uint64_t at = growing ? 0 : move.tailLength - remaining;
    if (!stream.ReadAt(move.oldEnd + at, piece) || !stream.WriteAt(move.newEnd + at, piece)) return false;
    ReportMove(move.tailLength, move.tailLength);
    return stream.Flush();
}

ResultCode Rewrite(File& stream, const ImageLayout& layout, std::span<const std::byte> section) {
    if (section.size() != layout.resourceSize) return ResultCode::SectionBuildFailed;

    // Everything is read and checked before the first byte changes.
    std::array<std::byte, 4> oldSizeField{};
    const auto fileLength = stream.Length();
    if (!fileLength ||
        !stream.ReadAt(std::uint64_t{layout.dataDirectoryOffset} + kResourceDirectoryIndex * kDataDirectoryEntrySize + 4,
                       oldSizeField)) {
        return ResultCode::FileAccessFailed;
    }
    const std::uint32_t oldSize = LoadU32(oldSizeField.data());
    // The whole old directory must be in the file; only the padding of a
    // section that ends the file may be missing, and then the tail is empty.
    if (!Fits(layout.resourceOffset, oldSize, *fileLength)) return ResultCode::BadResourceData;

    Move move;
    move.oldRawSize = AlignUp(oldSize, layout.fileAlignment);
    move.newRawSize = AlignUp(layout.resourceSize, layout.fileAlignment);
    move.oldEnd = std::uint64_t{layout.resourceOffset} + move.oldRawSize;
    move.newEnd = std::uint64_t{layout.resourceOffset} + move.newRawSize;
    move.tailLength = *fileLength > move.oldEnd ? *fileLength - move.oldEnd : 0;
    move.oldVirtualEnd = AlignUp(layout.resourceRva + move.oldRawSize, layout.sectionAlignment);
    const std::uint32_t newVirtualEnd = AlignUp(layout.resourceRva + move.newRawSize, layout.sectionAlignment);
    move.fileDelta = static_cast<std::uint32_t>(move.newEnd - move.oldEnd);
    move.virtualDelta = newVirtualEnd - move.oldVirtualEnd;
    const std::uint64_t newLength = move.newEnd + move.tailLength;
    if (newLength > kMaxImageFileLength || move.oldRawSize < oldSize || move.newRawSize < layout.resourceSize) {
        return ResultCode::FileAccessFailed;
    }

    Headers headers;
    if (!ReadHeaders(stream, layout, move, *fileLength, headers)) return ResultCode::FileAccessFailed;
    FixHeaders(layout, move, headers);

    if (newLength > *fileLength && !stream.SetLength(newLength)) {
        // Nothing has moved yet: put the length back and report.
        (void)stream.SetLength(*fileLength);
        return ResultCode::FileAccessFailed;
    }
    if (!MoveTail(stream, move)) return ResultCode::FileAccessFailed;
    if (newLength < *fileLength && !stream.SetLength(newLength)) return ResultCode::FileAccessFailed;

    // The new section, then zeros up to where the tail begins, so that the
    // output depends only on the input.
    const std::vector<std::byte> padding(static_cast<std::size_t>(move.newRawSize - layout.resourceSize));
    if (!stream.WriteAt(layout.resourceOffset, section) || !stream.Write(padding)) return ResultCode::FileAccessFailed;
    platform::PumpMessages();

    return WriteHeaders(stream, layout, headers) ? ResultCode::Success : ResultCode::FileAccessFailed;
}

}  // namespace

void SetMoveProgress(MoveProgress observer, void* context) {
    moveProgress = observer;
    moveProgressContext = context;
}

ResultCode RewriteImage(File& stream, const ImageLayout& layout, std::span<const std::byte> section) {
    try {
        return Rewrite(stream, layout, section);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode CommitResources(Image& image) {
    ResultCode code = BuildResourceSection(image.resourceBytes, image.layout.resourceSize, image.table,
                                           image.layout.resourceRva);
    ReleaseResourceTable(image.table);
    if (code == ResultCode::Success) code = RewriteImage(image.stream, image.layout, image.resourceBytes);
    image = Image{};
    return code;
}

}  // namespace vorn
