// What the library needs of the operating system. win32/ implements it with
// the Windows calls, posix/ stands in for them; only src/platform includes
// system headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vorn::platform {

// ANSI text (the process's code page; UTF-8 on POSIX) to UTF-16 and back.
// A text that cannot be converted gives nullopt; lengths are always those of
// the converted text itself.
std::optional<std::u16string> AnsiToWide(std::string_view text);
std::optional<std::string> WideToAnsi(std::u16string_view text);

// Drains the calling thread's window messages (Windows); nothing elsewhere.
// Runs after every sort pass and between the read and the write of every
// large chunk of a rewrite.
void PumpMessages();

// 64-bit positioning and length change of a stream. The library itself keeps
// to 32-bit offsets; these only let it see and refuse larger files.
bool SeekStream(std::FILE* stream, std::uint64_t offset);
std::optional<std::uint64_t> TellStream(std::FILE* stream);
bool SeekStreamToEnd(std::FILE* stream);
bool ChangeFileLength(std::FILE* stream, std::uint64_t length);
// Takes the disk space of a range now, so that writing it later cannot fail
// for want of space; true where the system allocates as the length grows.
bool AllocateStreamRange(std::FILE* stream, std::uint64_t offset, std::uint64_t length);
// The longest file this process may write (RLIMIT_FSIZE); nullopt: no limit.
std::optional<std::uint64_t> FileSizeLimit();
// Asks the system to start reading a range it will soon be asked for; only
// advice, where the system takes it.
void PrefetchStreamRange(std::FILE* stream, std::uint64_t offset, std::uint64_t length);

// Case-insensitive comparison with only the ASCII letters A-Z folded, as the
// C runtime's _stricmp does in the "C" locale.
int CompareIgnoreAsciiCase(std::string_view a, std::string_view b);

// Whether CopyStreamRange copies inside the kernel, rather than through a
// buffer it allocates.
#if defined(__linux__)
inline constexpr bool kCopiesInKernel = true;
#else
inline constexpr bool kCopiesInKernel = false;
#endif

// Copies `length` bytes between two open streams at the given offsets, in
// the kernel where the system offers it, else through a buffer. Both
// streams must have been flushed; their positions are left undefined.
bool CopyStreamRange(std::FILE* from, std::uint64_t fromOffset, std::FILE* to, std::uint64_t toOffset,
                     std::uint64_t length);

// Gives the open file the permission bits and owner of the file at `path`,
// as far as the process may (an owner it may not give is left alone).
bool CopyFileAttributes(const char* path, std::FILE* to);

// Puts the file at `from` in the place of `to` in one step: a process
// that reads `to` sees either the old file or the new one, never a mix.
bool ReplaceFileWith(const char* from, const char* to);

// Takes an exclusive lock on the open file, waiting while another process
// holds one; the system releases it when the file is closed or the process
// ends, however it ends.
bool LockStream(std::FILE* stream);

// Whether `path` still names the open file (it may have been renamed or
// removed since it was opened).
bool StreamIsAt(std::FILE* stream, const char* path);

// A write past a file-size limit fails as a write, instead of ending the
// process with SIGXFSZ and leaving its files half done. For programs, not
// for the library: a host's signals are its own.
void ReportFileSizeLimitAsFailure();

// Which file the stream is open on, as the file system tells files apart:
// device and inode, or volume and file index. False where it cannot say.
bool StreamIdentity(std::FILE* stream, std::uint64_t& device, std::uint64_t& index);

// The file a path finally names, symbolic links followed; the path itself
// where it cannot be resolved.
std::string ResolvePath(const char* path);

// What a path names, for telling a user why a file cannot be used.
enum class PathState { File, Missing, Directory, Unreadable };
PathState InspectPath(const char* path);

// True when the process's standard error is a terminal, where a progress
// line may be drawn.
bool StandardErrorIsTerminal();

#if defined(_WIN32)
// A module the loader maps as a data file (LOAD_LIBRARY_AS_DATAFILE): none
// of its code runs.
class LoaderModule;
struct LoaderModuleCloser {
    void operator()(LoaderModule* module) const;
};
using LoaderModuleHandle = std::unique_ptr<LoaderModule, LoaderModuleCloser>;

// Null when the loader cannot map the module.
LoaderModuleHandle LoadLibraryAsDataFile(const char* path);

// The bytes of the resource FindResourceA finds ("#12" is id 12), valid
// while the module stays loaded.
std::optional<std::span<const std::byte>> FindLoaderResource(LoaderModule& module, const char* name, std::uint16_t type);

// Appends a line to a list box (LB_ADDSTRING).
void AddListBoxString(void* listBox, const char* text);
#endif

}  // namespace vorn::platform
