#include "image/image_rewrite.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/byte_view.h"
#include "format/pe_format.h"
#include "platform/platform.h"
#include "image/rewrite_plan.h"
#include "image/safe_commit.h"
#include "format/section_builder.h"

namespace vorn {
namespace rewrite {

namespace {

using namespace pe;

void Add(std::uint32_t& field, std::uint32_t delta) { field += delta; }
void AddAt(std::byte* at, std::uint32_t delta) { StoreU32(at, LoadU32(at) + delta); }

bool IsPowerOfTwo(std::uint32_t x) { return x != 0 && (x & (x - 1)) == 0; }

bool MatchesBytes(std::span<const std::uint8_t> expected, const std::byte* actual) {
    return std::equal(expected.begin(), expected.end(), actual, [](std::uint8_t a, std::byte b) { return std::byte{a} == b; });
}

bool ReadMovedData(File& stream, const PeHeaders& headers, const ImageLayout& layout, const Move& move,
                   std::uint64_t fileLength, MovedData& data) {
    // The debug directory, when it lies in the file outside the old section.
    // One that is no whole number of entries is something else, and is left
    // alone.
    const DataDirectory debug = headers.Directory(kDebugDirectoryIndex);
    const std::uint32_t debugSize = debug.size;
    if (debug.virtualAddress != 0 && debugSize != 0 && debugSize % kDebugEntrySize == 0) {
        const auto at = headers.FileOffsetOf(debug.virtualAddress, debugSize);
        const bool inOldSection = at && *at < move.oldEnd && *at + debugSize > layout.resourceOffset;
        if (at && !inOldSection && Fits(*at, debugSize, fileLength)) {
            data.debug.resize(debugSize);
            if (!stream.ReadAt(*at, data.debug)) return false;
            data.debugOffset = *at >= move.oldEnd ? move.Moved(*at) : *at;
        }
    }

    const std::byte* tag = headers.dosHeader.data() + kInstallerTagOffset;
    data.hasInstallerTag = MatchesBytes(kInstallerTag, tag);
    const std::uint32_t table = LoadU32(tag + 4);
    // A table that lies before the resource section does not move.
    if (data.hasInstallerTag && move.FileOffsetMoves(table) && Fits(table, kInstallerTableSize, fileLength)) {
        if (!stream.ReadAt(table, data.installer)) return false;
        data.hasInstallerTable = MatchesBytes(kInstallerTableId, data.installer.data());
        data.installerTable = move.Moved(table);
    }
    return true;
}

void FixHeaders(const ImageLayout& layout, const Move& move, PeHeaders& headers, MovedData& data) {
    const std::uint32_t imageEnd = headers.sizeOfImage;
    for (std::uint32_t i = 0; i < headers.directories.size(); ++i) {
        std::uint32_t& address = headers.directories[i].virtualAddress;
        // The resource directory stays at the start of its section; the
        // certificate table is the one directory that holds a file offset.
        if (i == kResourceDirectoryIndex) continue;
        if (i == kCertificateDirectoryIndex) {
            if (move.FileOffsetMoves(address)) Add(address, move.fileDelta);
        } else if (address >= move.oldVirtualEnd) {
            Add(address, move.virtualDelta);
        }
    }
    headers.directories[kResourceDirectoryIndex].size = layout.resourceSize;
    Add(headers.sizeOfImage, move.virtualDelta);
    Add(headers.sizeOfInitializedData, move.newRawSize - move.oldRawSize);

    for (SectionHeader& s : headers.sections) {
        const bool resources = s.virtualAddress == layout.resourceRva;
        if (resources) {
            s.virtualSize = layout.resourceSize;
            s.sizeOfRawData = move.newRawSize;
        } else if (s.virtualAddress >= move.oldVirtualEnd) {
            Add(s.virtualAddress, move.virtualDelta);
        }
        for (std::uint32_t* field : {&s.pointerToRawData, &s.pointerToRelocations, &s.pointerToLinenumbers}) {
            if (move.FileOffsetMoves(*field) && !(resources && field == &s.pointerToRawData)) Add(*field, move.fileDelta);
        }
    }
    // The COFF symbol table that many toolchains leave after the sections.
    if (move.FileOffsetMoves(headers.pointerToSymbolTable)) Add(headers.pointerToSymbolTable, move.fileDelta);

    for (std::size_t at = 0; at < data.debug.size(); at += kDebugEntrySize) {
        std::byte* entry = data.debug.data() + at;
        const std::uint32_t address = LoadU32(entry + kDebugAddressOffset);
        if (move.AddressMoves(address) && address < imageEnd) AddAt(entry + kDebugAddressOffset, move.virtualDelta);
        if (move.FileOffsetMoves(LoadU32(entry + kDebugPointerOffset))) AddAt(entry + kDebugPointerOffset, move.fileDelta);
    }

    if (data.hasInstallerTable) {
        for (std::uint32_t i = 0; i < kInstallerValueCount; ++i) {
            if (kInstallerValueMoves[i]) AddAt(data.installer.data() + kInstallerTableIdSize + 4 * i, move.fileDelta);
        }
    }
    if (data.hasInstallerTag && data.installerTable != 0) {
        const auto table = static_cast<std::uint32_t>(data.installerTable);
        StoreU32(headers.dosHeader.data() + kInstallerTagOffset + 4, table);
        StoreU32(headers.dosHeader.data() + kInstallerTagOffset + 8, ~table);
    }
    StorePeHeaders(headers);
}

// Growing by up to one chunk, the tail moves front to back: the bytes read
// last stay in the buffer until their new place has been read, so the file
// is read and written in order and the system's read-ahead works (moving
// back to front defeats it and costs three to four times as long on a cold
// cache). The buffer holds one chunk and the growth. Every write covers
// bytes held nowhere but in the buffer, so a log keeps them all.
bool MoveTailForward(File& stream, const Move& move, const OperationHooks& hooks, MoveLog* log, const MoveResume* resume) {
    const auto shift = static_cast<std::size_t>(move.newEnd - move.oldEnd);
    std::vector<std::byte> buffer(shift + static_cast<std::size_t>(std::min<std::uint64_t>(kMoveChunkSize, move.tailLength)));
    std::uint64_t at = 0;     // tail offset of the buffer's first byte
    std::size_t carried = 0;  // bytes at the buffer's start, read and not yet written
    if (resume != nullptr) {
        // Every write here was logged with the bytes it held: at least the
        // growth, unless it ended the tail.
        const std::size_t held = resume->held.size();
        if (held == 0 || held > buffer.size() || resume->at + held > move.tailLength ||
            (held < shift && resume->at + held != move.tailLength)) {
            return false;
        }
        at = resume->at;
        carried = held;
        std::copy(resume->held.begin(), resume->held.end(), buffer.begin());
    }
    for (bool resumed = resume != nullptr; resumed || at + carried < move.tailLength; resumed = false) {
        std::size_t held = carried;
        if (!resumed) {
            const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kMoveChunkSize, move.tailLength - at - carried));
            if (!stream.ReadAt(move.oldEnd + at + carried, std::span(buffer.data() + carried, length))) return false;
            if (length == kMoveChunkSize) hooks.Pump();
            held += length;
            if (log != nullptr && !log->Before(at, static_cast<std::uint32_t>(held), std::span(buffer.data(), held))) {
                return false;
            }
        }
        // Before the end, the last `shift` bytes wait: writing them would
        // cover bytes not yet read.
        const std::size_t writable = at + held == move.tailLength ? held : held - shift;
        if (!stream.WriteAt(move.newEnd + at, std::span(buffer.data(), writable))) return false;
        if (log != nullptr) log->Wrote(at, std::span(buffer.data(), writable));
        std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(writable), buffer.begin() + static_cast<std::ptrdiff_t>(held),
                  buffer.begin());
        carried = held - writable;
        at += writable;
        hooks.Move(at, move.tailLength);
    }
    return stream.Flush();
}

}  // namespace

bool WriteFixedHeaders(File& stream, const PeHeaders& headers, const MovedData& data) {
    if (!WritePeHeaders(stream, headers)) return false;
    if (!data.debug.empty() && !stream.WriteAt(data.debugOffset, data.debug)) return false;
    if (data.hasInstallerTable && !stream.WriteAt(data.installerTable, data.installer)) return false;
    return stream.Flush();
}

// How many chunks a move back to front asks the system to read ahead.
constexpr std::uint64_t kPrefetchChunks = 4;
// The system's page, or a multiple of it.
constexpr std::uint64_t kPageSize = 4096;
// The longest piece of a move copied inside the kernel.
constexpr std::uint64_t kCopyPieceSize = 32u << 20;

bool MoveTail(File& stream, const Move& move, const OperationHooks& hooks, MoveLog* log, const MoveResume* resume) {
    if (move.tailLength == 0 || move.newEnd == move.oldEnd) return true;
    const bool growing = move.newEnd > move.oldEnd;
    const std::uint64_t shift = growing ? move.newEnd - move.oldEnd : move.oldEnd - move.newEnd;
    if (growing && shift <= kMoveChunkSize) return MoveTailForward(stream, move, hooks, log, resume);
    // Otherwise one chunk at a time: back to front when growing, front to
    // back when shrinking, so that no byte is overwritten before it is read.
    // Only a chunk that overlaps its own new place is written over bytes
    // held nowhere else.
    // Under a log that needs no bytes, pieces as long as the shift, so that
    // none overlaps its new place, are copied inside the kernel, as cp
    // copies; they cost no memory. Only a journal's edit takes this way: the
    // exports read and write every chunk.
    const bool copies = platform::kCopiesInKernel && log != nullptr && !log->WantsBytes() && shift >= kMoveChunkSize;
    const std::uint64_t pieceSize = copies ? std::min(shift / kPageSize * kPageSize, kCopyPieceSize) : kMoveChunkSize;
    std::vector<std::byte> buffer(copies ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(move.tailLength, kMoveChunkSize)));
    std::uint64_t remaining = move.tailLength;  // bytes not yet at their new place
    if (resume != nullptr) {
        if (resume->length == 0 || resume->length > pieceSize || resume->at + resume->length > move.tailLength ||
            (!resume->held.empty() && resume->held.size() != resume->length)) {
            return false;
        }
        remaining = growing ? resume->at + resume->length : move.tailLength - resume->at;
    }
    for (bool resumed = resume != nullptr; remaining > 0; resumed = false) {
        std::uint64_t length = std::min(pieceSize, remaining);
        std::uint64_t at = growing ? remaining - length : move.tailLength - remaining;
        if (copies && length < remaining) {
            // A copied piece ends its new place on a page boundary where the
            // next piece's begins, so that no page of it is written in part
            // before it is cached: the system would read it first.
            if (growing) {
                at += (kPageSize - (move.newEnd + at) % kPageSize) % kPageSize;
                length = remaining - at;
            } else {
                length -= (move.newEnd + at + length) % kPageSize;
            }
        }
        // Read-ahead follows reads forward only: the chunks to come, when
        // they lie before this one, are asked for ahead.
        if (growing && at > 0) {
            const std::uint64_t ahead = std::min<std::uint64_t>(at, kPrefetchChunks * kMoveChunkSize);
            stream.Prefetch(move.oldEnd + at - ahead, ahead);
        }
        if (copies) {
            // The chunk is still whole at its old place, resumed or not.
            if (!resumed && !log->Before(at, static_cast<std::uint32_t>(length), {})) return false;
            if (!stream.CopyFrom(stream, move.oldEnd + at, move.newEnd + at, length)) return false;
            log->Wrote(at, {});
            if (remaining > length) hooks.Pump();
            remaining -= length;
            hooks.Move(move.tailLength - remaining, move.tailLength);
            continue;
        }
        const std::span<std::byte> piece(buffer.data(), static_cast<std::size_t>(length));
        if (resumed && !resume->held.empty()) {
            std::copy(resume->held.begin(), resume->held.end(), piece.begin());
        } else if (!stream.ReadAt(move.oldEnd + at, piece)) {
            return false;
        }
        if (remaining > kMoveChunkSize) hooks.Pump();  // the last piece goes straight on
        if (log != nullptr && !resumed &&
            !log->Before(at, static_cast<std::uint32_t>(length), shift < length ? piece : std::span<std::byte>{})) {
            return false;
        }
        if (!stream.WriteAt(move.newEnd + at, piece)) return false;
        if (log != nullptr) log->Wrote(at, piece);
        remaining -= length;
        hooks.Move(move.tailLength - remaining, move.tailLength);
    }
    return stream.Flush();
}

std::uint64_t LeadLength(const ImageLayout& layout, const Move& move) {
    return move.oldEnd < layout.resourceOffset ? layout.resourceOffset - move.oldEnd : 0;
}

// Zeros from the end of the new section to where the tail begins, so that
// the output depends only on the input. Written from one fixed block, never
// allocated at a size the file names.
bool WritePadding(File& stream, std::uint64_t length) {
    static constexpr std::array<std::byte, 0x4000> kZeros{};
    while (length > 0) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, kZeros.size()));
        if (!stream.Write(std::span(kZeros.data(), piece))) return false;
        length -= piece;
    }
    return true;
}

namespace {

// Where the headers and the data of every section but the resources' end,
// as far as the file holds them.
std::uint64_t DataEnd(const PeHeaders& headers, const ImageLayout& layout, std::uint64_t fileLength) {
    std::uint64_t end = headers.HeadersEnd();
    for (const SectionHeader& s : headers.sections) {
        if (s.virtualAddress != layout.resourceRva && s.pointerToRawData != 0 && s.sizeOfRawData != 0) {
            end = std::max(end, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
        }
    }
    return std::min(end, fileLength);
}

// The old section must lie whole in the file, after the headers, and share
// its file bytes and addresses with no other section: the rewrite replaces
// those bytes and resizes that section alone.
bool OldSectionStandsApart(const PeHeaders& headers, const ImageLayout& layout, const Move& move, std::uint32_t oldSize,
                           std::uint64_t fileLength) {
    // A new, empty section may lie past the end of a file cut short of its
    // last alignment.
    if (oldSize != 0 && !Fits(layout.resourceOffset, oldSize, fileLength)) return false;
    if (layout.resourceOffset < std::max<std::uint64_t>(kDosHeaderSize, headers.HeadersEnd())) return false;
    const auto sameAddress = std::count_if(headers.sections.begin(), headers.sections.end(),
                                           [&](const SectionHeader& s) { return s.virtualAddress == layout.resourceRva; });
    if (sameAddress != 1) return false;
    return std::none_of(headers.sections.begin(), headers.sections.end(), [&](const SectionHeader& s) {
        if (s.virtualAddress == layout.resourceRva || s.pointerToRawData == 0 || s.sizeOfRawData == 0) return false;
        const std::uint64_t end = std::uint64_t{s.pointerToRawData} + s.sizeOfRawData;
        return s.pointerToRawData < move.oldEnd && end > layout.resourceOffset;
    });
}

}  // namespace

ResultCode MakePlan(File& stream, PeHeaders& headers, const ImageLayout& layout, std::uint64_t fileLength,
                    std::span<const std::byte> section, SignatureHandling signature, Plan& plan) try {
    if (section.size() != layout.resourceSize) return ResultCode::SectionBuildFailed;
    if (headers.directories.size() <= kResourceDirectoryIndex) return ResultCode::NoResourceSection;

    // A FileAlignment that no loader accepts would make the padding of the
    // new section as large as it says.
    const std::uint32_t fileAlignment = layout.fileAlignment;
    if (fileAlignment > kMaxFileAlignment || (fileAlignment > 1 && !IsPowerOfTwo(fileAlignment))) {
        return ResultCode::BadResourceData;
    }
    // Sections whose data the file does not hold, or that share bytes,
    // cannot be moved whole.
    if (!headers.SectionDataIsSound(fileLength)) return ResultCode::BadResourceData;
    const std::uint32_t oldSize = headers.directories[kResourceDirectoryIndex].size;
    const SectionHeader* resourceSection = ResourceSection(headers, layout);
    const std::uint32_t sectionRawSize = resourceSection != nullptr ? resourceSection->sizeOfRawData : 0;
    const std::uint32_t sectionVirtualSize = resourceSection != nullptr ? resourceSection->virtualSize : 0;
    Move& move = plan.move;
    // The old section is its raw data, whatever the directory or
    // FileAlignment say: bytes past it are not its own and move with the
    // data after it, and its own padding goes with it.
    move.oldRawSize = oldSize == 0 ? 0 : sectionRawSize;
    // The data after the section moves by whole alignment units, so that
    // what was aligned stays aligned, also after a raw size that was not.
    const std::uint32_t newSize = layout.resourceSize;
    const std::uint32_t oldRaw = move.oldRawSize;
    move.newRawSize = newSize >= oldRaw ? oldRaw + AlignUp(newSize - oldRaw, fileAlignment)
                                        : oldRaw - (oldRaw - newSize) / std::max<std::uint32_t>(fileAlignment, 1) *
                                                       std::max<std::uint32_t>(fileAlignment, 1);
    if (move.newRawSize < newSize) return ResultCode::FileAccessFailed;
    move.oldEnd = oldSize == 0 ? std::min<std::uint64_t>(layout.resourceOffset, DataEnd(headers, layout, fileLength))
                               : std::uint64_t{layout.resourceOffset} + move.oldRawSize;
    move.newEnd = std::uint64_t{layout.resourceOffset} + move.newRawSize;
    if (!OldSectionStandsApart(headers, layout, move, std::min(oldSize, sectionRawSize), fileLength)) {
        return ResultCode::BadResourceData;
    }

    // A certificate table that is stripped and ends the file is left
    // behind; one elsewhere keeps its bytes and loses its entry.
    std::uint64_t keptLength = fileLength;
    if (headers.directories.size() > kCertificateDirectoryIndex) {
        DataDirectory& certificates = headers.directories[kCertificateDirectoryIndex];
        if (certificates.virtualAddress != 0 || certificates.size != 0) {
            if (signature == SignatureHandling::Strip) {
                const std::uint64_t end = std::uint64_t{certificates.virtualAddress} + certificates.size;
                if (certificates.virtualAddress >= move.oldEnd && end == fileLength) keptLength = certificates.virtualAddress;
                certificates = {};
                plan.signatureStripped = true;
            } else {
                plan.signatureMoved = true;
            }
        }
    }
    // Only the padding of a section that ends the file may be missing, and
    // then the tail is empty.
    move.tailLength = keptLength > move.oldEnd ? keptLength - move.oldEnd : 0;

    const std::uint32_t sectionAlignment = std::max<std::uint32_t>(layout.sectionAlignment, 1);
    const auto virtualEnd = [&](std::uint32_t rawSize) {
        const std::uint64_t end = std::uint64_t{layout.resourceRva} + rawSize;
        return (end + sectionAlignment - 1) / sectionAlignment * sectionAlignment;
    };
    // The loader maps the old section as far as its virtual size says.
    const std::uint64_t oldVirtualEnd = virtualEnd(std::max(move.oldRawSize, sectionVirtualSize));
    const std::uint64_t newVirtualEnd = virtualEnd(move.newRawSize);
    if (oldVirtualEnd > 0xFFFFFFFF || newVirtualEnd > 0xFFFFFFFF) return ResultCode::BadResourceData;
    move.oldVirtualEnd = static_cast<std::uint32_t>(oldVirtualEnd);
    move.fileDelta = static_cast<std::uint32_t>(move.newEnd - move.oldEnd);
    move.virtualDelta = static_cast<std::uint32_t>(newVirtualEnd) - move.oldVirtualEnd;
    plan.fileLength = fileLength;
    plan.newLength = move.newEnd + move.tailLength;
    if (plan.newLength > kMaxImageFileLength) return ResultCode::FileAccessFailed;

    if (!ReadMovedData(stream, headers, layout, move, keptLength, plan.data)) return ResultCode::FileAccessFailed;
    FixHeaders(layout, move, headers, plan.data);
    return ResultCode::Success;
} catch (const std::bad_alloc&) {
    return ResultCode::OutOfMemory;
}

namespace {

ResultCode Rewrite(File& stream, const PeHeaders& headers, const ImageLayout& layout, const Plan& plan,
                   std::span<const std::byte> section, const OperationHooks& hooks) {
    const Move& move = plan.move;
    if (plan.newLength > plan.fileLength && !stream.SetLength(plan.newLength)) {
        // Nothing has moved yet: put the length back and report.
        (void)stream.SetLength(plan.fileLength);
        return ResultCode::FileAccessFailed;
    }
    if (!MoveTail(stream, move, hooks, nullptr, nullptr)) return ResultCode::FileAccessFailed;
    if (plan.newLength < plan.fileLength && !stream.SetLength(plan.newLength)) return ResultCode::FileAccessFailed;

    const std::uint64_t lead = LeadLength(layout, move);
    if ((lead != 0 && (!stream.Seek(move.oldEnd) || !WritePadding(stream, lead))) ||
        !stream.WriteAt(layout.resourceOffset, section) || !WritePadding(stream, move.newRawSize - layout.resourceSize)) {
        return ResultCode::FileAccessFailed;
    }
    hooks.Pump();

    return WriteFixedHeaders(stream, headers, plan.data) ? ResultCode::Success : ResultCode::FileAccessFailed;
}

}  // namespace

}  // namespace rewrite

ResultCode RewriteImage(File& stream, PeHeaders& headers, const ImageLayout& layout, std::uint64_t fileLength,
                        std::span<const std::byte> section, const OperationHooks& hooks) {
    try {
        rewrite::Plan plan;
        const ResultCode code =
            rewrite::MakePlan(stream, headers, layout, fileLength, section, SignatureHandling::Move, plan);
        return code == ResultCode::Success ? rewrite::Rewrite(stream, headers, layout, plan, section, hooks) : code;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

namespace {

ResultCode Commit(Image& image, const CommitOptions* options, CommitReport* report, const OperationHooks& hooks) {
    std::vector<std::byte> section;
    ResultCode code = BuildResourceSection(section, image.layout.resourceSize, image.table, image.layout.resourceRva, hooks);
    ReleaseResourceTable(image.table);
    image.resourceBytes.reset();
    if (code == ResultCode::Success) {
        code = options == nullptr ? RewriteImage(image.stream, image.headers, image.layout, image.fileLength, section, hooks)
                                  : CommitSafely(image, std::move(section), *options, report, hooks);
    }
    image = Image{};
    return code;
}

}  // namespace

ResultCode CommitResources(Image& image, const OperationHooks& hooks) { return Commit(image, nullptr, nullptr, hooks); }

ResultCode CommitResources(Image& image, const CommitOptions& options, CommitReport* report, const OperationHooks& hooks) {
    return Commit(image, &options, report, hooks);
}

}  // namespace vorn
