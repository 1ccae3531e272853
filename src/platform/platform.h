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

// Drains the calling thread's window messages (Windows), then tells the
// observer, if one is set. Runs after every sort pass and between the read
// and the write of every large chunk of a rewrite.
void PumpMessages();

// An observer of PumpMessages: tests count pumps, a command-line tool can
// show progress. Not for hosts of the DLL.
using PumpObserver = void (*)(void* context);
void SetPumpObserver(PumpObserver observer, void* context);

// 64-bit positioning and length change of a stream. The library itself keeps
// to 32-bit offsets; these only let it see and refuse larger files.
bool SeekStream(std::FILE* stream, std::uint64_t offset);
std::optional<std::uint64_t> TellStream(std::FILE* stream);
bool SeekStreamToEnd(std::FILE* stream);
bool ChangeFileLength(std::FILE* stream, std::uint64_t length);

// Case-insensitive comparison with only the ASCII letters A-Z folded, as the
// C runtime's _stricmp does in the "C" locale.
int CompareIgnoreAsciiCase(std::string_view a, std::string_view b);

// The order in which a resource directory must list names for the loader's
// binary search to find them: UTF-16 code units with a-z folded to upper
// case. Folding to lower case instead misplaces names holding one of
// "[\]^_`", which lie between the two.
int CompareResourceNames(std::string_view a, std::string_view b);

// A module mapped for its resources only, as the loader maps a library as a
// data file: none of its code runs. On Windows the loader itself; elsewhere
// a read-only reader of PE32 and PE32+ images with the loader's lookup rules.
class DataModule;
struct DataModuleCloser {
    void operator()(DataModule* module) const;
};
using DataModuleHandle = std::unique_ptr<DataModule, DataModuleCloser>;

// Null when the module cannot be mapped.
DataModuleHandle LoadDataModule(const char* path);

// The bytes of the resource of numeric `type` named `name` (a name compared
// ignoring ASCII case, or "#" and decimal digits for a numeric id), in the
// language the loader picks: neutral, then 1033, then the first. Valid while
// the module stays loaded; nullopt when there is no such resource.
std::optional<std::span<const std::byte>> FindModuleResource(DataModule& module, const char* name, std::uint16_t type);

// True when the process's standard error is a terminal, where a progress
// line may be drawn.
bool StandardErrorIsTerminal();

#if defined(_WIN32)
// Appends a line to a list box (LB_ADDSTRING).
void AddListBoxString(void* listBox, const char* text);
#endif

}  // namespace vorn::platform
