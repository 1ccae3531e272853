// What every command of vornres shares that needs only the public API: the
// exit codes beyond the library's, the options of a write, the progress of
// long moves, and the messages of failures and of what a commit did.
#pragma once

#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

#include "vornutils/editing.h"

namespace vorn::tool {

// sysexits.h values, outside the library's result codes 1..16.
inline constexpr int kUsageError = 64;
// What the command names is not in the file: a string of --get, a language
// of --language without --create, version information to --delete.
inline constexpr int kNotFound = 65;
inline constexpr int kInternalError = 70;
inline constexpr int kSignedFile = 77;  // a signed file, edited only when told what to do with the signature

// Moves shorter than this are over before a progress line would be worth reading.
inline constexpr std::uint64_t kProgressMinimum = 4ull << 20;

struct MoveLine {
    int width = 0;  // characters on the line now; 0 when nothing is drawn
    std::uint64_t shownMiB = 0;
};

// Draws the progress of a move on `line` (a MoveLine), on a terminal only.
void DrawMove(void* line, std::uint64_t done, std::uint64_t total);

// The options of every command that writes a program.
struct WriteOptions {
    std::string output;  // -o: the result goes there and the input stays as it is
    bool stripSignature = false;
    bool keepSignature = false;
    std::string checksum;  // keep, update or zero; empty: update when it was set
};
void AddWriteOptions(CLI::App& command, WriteOptions& options);

// The commit the options ask for, drawing progress on `line` (none when
// null), which must outlive it.
vornutils::CommitOptions CommitOptionsOf(const WriteOptions& options, MoveLine* line);

// A signed file is edited only when the options say what to do with the
// signature: 0, or kSignedFile once reported.
int RefuseSigned(const vornutils::Image& image, const WriteOptions& options);

// Reports a failure on stderr and returns its code as the exit status.
int Report(const vornutils::Error& error);
// Tells what the open found and the commit did beyond the resources: a
// moved signature, an installer it could not keep checking, and the like.
void Tell(const vornutils::Image& image);
void Tell(const std::string& file, const vornutils::CommitReport& report);

}  // namespace vorn::tool
