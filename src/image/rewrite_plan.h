// The plan of a rewrite, shared by the in-place rewrite and the writing
// of a new file: where everything goes, and the headers as they will be.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/result_code.h"
#include "image/image.h"
#include "base/operation_hooks.h"
#include "format/pe_format.h"
#include "platform/file.h"

namespace vorn::rewrite {

// Where things were and where they go. File positions are 64-bit so that a
// damaged header cannot wrap them; header values stay 32-bit, whose
// arithmetic the format defines modulo 2^32.
struct Move {
    // File offset where the data after the old section begins. A new
    // section starts at the aligned end of the data before it; the data
    // after it begins where that data ends, and zeros fill the gap.
    std::uint64_t oldEnd = 0;
    std::uint64_t newEnd = 0;      // ... and where it is to begin
    std::uint64_t tailLength = 0;  // bytes from oldEnd to the end of the file
    std::uint32_t oldRawSize = 0;
    std::uint32_t newRawSize = 0;
    std::uint32_t oldVirtualEnd = 0;
    std::uint32_t fileDelta = 0;     // modulo 2^32, may be "negative"
    std::uint32_t virtualDelta = 0;  // modulo 2^32, may be "negative"

    // Only what lies in the bytes that move moves: a pointer past them is
    // not one the rewrite can account for.
    [[nodiscard]] bool FileOffsetMoves(std::uint32_t offset) const {
        return offset != 0 && offset >= oldEnd && offset - oldEnd < tailLength;
    }
    [[nodiscard]] bool AddressMoves(std::uint32_t rva) const { return rva != 0 && rva >= oldVirtualEnd; }
    [[nodiscard]] std::uint64_t Moved(std::uint64_t offset) const { return offset + (newEnd - oldEnd); }
};

// What lies outside the headers and moves with the tail: the debug
// directory's entries and an installer's offset table, read before anything
// changes and written back at their new places.
struct MovedData {
    std::uint64_t debugOffset = 0;  // file offset of the debug directory after the move
    std::vector<std::byte> debug;
    bool hasInstallerTag = false;
    std::uint64_t installerTable = 0;  // file offset of the installer table after the move
    bool hasInstallerTable = false;
    std::array<std::byte, pe::kInstallerTableSize> installer{};
};

struct Plan {
    Move move;
    MovedData data;
    std::uint64_t fileLength = 0;  // of the file as it is
    std::uint64_t newLength = 0;   // of the result
    bool signatureMoved = false;
    bool signatureStripped = false;
};

// Checks everything and plans the rewrite; `headers` become the result's.
// Codes of RewriteImage. Nothing is written.
ResultCode MakePlan(File& stream, PeHeaders& headers, const ImageLayout& layout, std::uint64_t fileLength,
                    std::span<const std::byte> section, SignatureHandling signature, Plan& plan);

// The zeros between the end of the data before a new section and the
// section's aligned start.
std::uint64_t LeadLength(const ImageLayout& layout, const Move& move);

// The headers, the debug directory and the installer table at their new
// places, then a flush.
bool WriteFixedHeaders(File& stream, const PeHeaders& headers, const MovedData& data);

// Told before each write of a move, so that a journal can keep up with it:
// the tail offset the write begins at and the number of bytes held for it.
// `kept` is those bytes when the write covers some of their old places
// before they are at their new ones, so that they exist nowhere else until
// it is done; empty otherwise. False stops the move.
class MoveLog {
public:
    virtual bool Before(std::uint64_t at, std::uint32_t held, std::span<const std::byte> kept) = 0;
    // After each write: the bytes now at tail offset `at` of their new place.
    // Unless the log wants them, a piece that does not overlap its new place
    // may be copied inside the kernel, and `bytes` is then empty.
    virtual void Wrote(std::uint64_t at, std::span<const std::byte> bytes) = 0;
    [[nodiscard]] virtual bool WantsBytes() const = 0;

protected:
    ~MoveLog() = default;
};

// The write a move cut short was about to make: where, how long, and the
// bytes a log kept for it (empty: they are still in the file).
struct MoveResume {
    std::uint64_t at = 0;
    std::uint32_t length = 0;
    std::span<const std::byte> held;
};

// Moves move.tailLength bytes from move.oldEnd to move.newEnd in pieces of
// at most kMoveChunkSize, telling `log` (may be null) before every write;
// from `resume` on when it is not null.
bool MoveTail(File& stream, const Move& move, const OperationHooks& hooks, MoveLog* log, const MoveResume* resume);

// `length` zeros at the stream's position.
bool WritePadding(File& stream, std::uint64_t length);

}  // namespace vorn::rewrite
