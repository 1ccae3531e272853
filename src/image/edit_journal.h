// The journal behind an edit made in the file itself. It holds everything
// the edit is to write and how far its move of the tail has come, so that
// whoever finds it after the edit was killed finishes the edit, or, when
// nothing had changed yet, leaves the file as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/checksum.h"
#include "base/operation_hooks.h"
#include "platform/file.h"
#include "image/rewrite_plan.h"

namespace vorn::journal {

struct Write {
    std::uint64_t offset = 0;
    std::vector<std::byte> bytes;
};

// What the target is, so that a journal is never played onto a file put
// at its path since: which file it is, every state the edit can leave its
// first pages in (a page at a time, as a killed write leaves them), and
// its last bytes before the edit.
struct Fingerprint {
    std::optional<File::Identity> id;
    std::uint32_t prefixLength = 0;
    std::vector<std::vector<std::uint32_t>> pages;  // the CRC-32s each page of the prefix may have
    std::uint32_t endLength = 0;
    std::uint32_t endCrc = 0;
};

// An edit in place, in the order it is carried out: the file grows, the
// tail moves, the file shrinks, the writes are made (later ones win where
// they overlap), then the checks over the whole file are brought up to date.
struct EditPlan {
    std::uint64_t fileLength = 0;  // before the edit
    std::uint64_t newLength = 0;
    rewrite::Move move;  // its oldEnd, newEnd and tailLength
    std::vector<Write> writes;
    std::uint64_t checksumField = 0;  // file offset of the PE checksum
    bool checksum = false;            // recompute it
    std::uint64_t installerCrc = 0;   // file offset of a self-checking installer's CRC; 0: none
    Fingerprint target;
};

// Reads what `plan.target` needs of `target`, the file before the edit,
// once the plan's writes are known.
bool TakeFingerprint(File& target, EditPlan& plan);

// A self-checking installer's CRC-32 covers the file from here to the CRC.
inline constexpr std::uint64_t kInstallerCrcStart = 512;

// One pass over the finished file: the installer's CRC at `installerCrc`
// (0: none), then the PE checksum over the bytes with that CRC in place.
// With `summed`, the checksum of the bytes from `summedFrom` to the end is
// already in it, and only the bytes before are read (no installer CRC).
bool UpdateChecks(File& file, std::uint64_t length, std::uint64_t checksumField, bool checksum, std::uint64_t installerCrc,
                  const PeChecksum* summed = nullptr, std::uint64_t summedFrom = 0);

// Writes the journal of `plan` into `journal`, a new file, flushed: it must
// be complete before the target changes.
bool Begin(File& journal, const EditPlan& plan);

enum class Outcome {
    Done,
    Untouched,    // it failed before the target changed: the file is as it was
    Interrupted,  // it failed on the way: the journal finishes it
};

// Carries `plan` out on `target` under the journal Begin made;
// `outOfMemory` is set when it stopped for want of memory.
Outcome CarryOut(File& target, File& journal, const EditPlan& plan, const OperationHooks& hooks, bool& outOfMemory);

enum class Found {
    Finished,   // the edit it was about is complete now
    PutBack,    // nothing had changed: the file is as it was
    Damaged,    // not a journal that can be acted on: nothing had been written under it
    Foreign,    // the file at that path is not the one it was made for, or not in a state it
                // accounts for (or the journal is of another version): nothing was done
    Failed,     // a read or write failed; the journal is still needed
};

// Acts on the journal `journal` (locked) found beside `targetPath`. Throws
// std::bad_alloc when memory runs out; the journal is then still needed.
Found Play(File& journal, const std::string& targetPath);

}  // namespace vorn::journal
