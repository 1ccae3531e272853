// Windows half of the platform layer: the ANSI code page, the thread's
// message queue, the C runtime's 64-bit stream calls and the loader's
// resource functions.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vorn::platform {

std::optional<std::u16string> AnsiToWide(std::string_view text) {
    if (text.empty()) return std::u16string();
    if (text.size() > INT_MAX) return std::nullopt;
    const int inLength = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), inLength, nullptr, 0);
    if (units <= 0) return std::nullopt;
    std::u16string out(static_cast<std::size_t>(units), u'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), inLength,
                            reinterpret_cast<wchar_t*>(out.data()), units) != units) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> WideToAnsi(std::u16string_view text) {
    if (text.empty()) return std::string();
    if (text.size() > INT_MAX) return std::nullopt;
    const auto* in = reinterpret_cast<const wchar_t*>(text.data());
    const int inLength = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, in, inLength, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::nullopt;
    std::string out(static_cast<std::size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, in, inLength, out.data(), bytes, nullptr, nullptr) != bytes) {
        return std::nullopt;
    }
    return out;
}

void PumpMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageA(message.hwnd, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

bool SeekStream(std::FILE* stream, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool SeekStreamToEnd(std::FILE* stream) { return _fseeki64(stream, 0, SEEK_END) == 0; }

std::optional<std::uint64_t> TellStream(std::FILE* stream) {
    const __int64 position = _ftelli64(stream);
    if (position < 0) return std::nullopt;
    return static_cast<std::uint64_t>(position);
}

bool ChangeFileLength(std::FILE* stream, std::uint64_t length) {
    // Every length the library sets is below 2 GiB, the reach of _chsize.
    if (length > static_cast<std::uint64_t>(LONG_MAX)) return false;
    return _chsize(_fileno(stream), static_cast<long>(length)) == 0;
}


// FindResourceA reads "#123" as id 123 itself.
class LoaderModule {
public:
    explicit LoaderModule(HMODULE module) : handle(module) {}
    HMODULE handle;
};

void LoaderModuleCloser::operator()(LoaderModule* module) const {
    FreeLibrary(module->handle);
    delete module;
}

LoaderModuleHandle LoadLibraryAsDataFile(const char* path) {
    if (path == nullptr) return {};
    const HMODULE handle = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (handle == nullptr) return {};
    try {
        return LoaderModuleHandle(new LoaderModule(handle));
    } catch (...) {
        FreeLibrary(handle);
        throw;
    }
}

std::optional<std::span<const std::byte>> FindLoaderResource(LoaderModule& module, const char* name, std::uint16_t type) {
    const HRSRC resource = FindResourceA(module.handle, name, MAKEINTRESOURCEA(type));
    if (resource == nullptr) return std::nullopt;
    const HGLOBAL loaded = LoadResource(module.handle, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module.handle, resource);
    if (bytes == nullptr) return std::nullopt;
    return std::span<const std::byte>(static_cast<const std::byte*>(bytes), size);
}

void PrefetchStreamRange(std::FILE*, std::uint64_t, std::uint64_t) {}

// NTFS gives a file its clusters as SetEndOfFile lengthens it.
bool AllocateStreamRange(std::FILE*, std::uint64_t, std::uint64_t) { return true; }

std::optional<std::uint64_t> FileSizeLimit() { return std::nullopt; }

bool CopyStreamRange(std::FILE* from, std::uint64_t fromOffset, std::FILE* to, std::uint64_t toOffset,
                     std::uint64_t length) {
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, 1u << 20)));
    while (length > 0) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
        if (!SeekStream(from, fromOffset) || std::fread(buffer.data(), 1, piece, from) != piece) return false;
        if (!SeekStream(to, toOffset) || std::fwrite(buffer.data(), 1, piece, to) != piece) return false;
        fromOffset += piece;
        toOffset += piece;
        length -= piece;
    }
    return std::fflush(to) == 0;
}

bool CopyFileAttributes(const char* path, std::FILE*) {
    // The new file inherits the folder's security; only read-only carries over.
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool LockStream(std::FILE* stream) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    OVERLAPPED whole{};
    return handle != INVALID_HANDLE_VALUE && LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

// A file open through the C runtime cannot be renamed or removed, so the
// path still names it.
bool StreamIsAt(std::FILE*, const char*) { return true; }

// Windows has no such signal: the write fails.
void ReportFileSizeLimitAsFailure() {}

bool StreamIdentity(std::FILE* stream, std::uint64_t& device, std::uint64_t& index) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) return false;
    device = info.dwVolumeSerialNumber;
    index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

bool ReplaceFileWith(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::string ResolvePath(const char* path) { return path; }

PathState InspectPath(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathState::Missing : PathState::Unreadable;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathState::Directory;
    std::FILE* stream = std::fopen(path, "rb");
    if (stream == nullptr) return PathState::Unreadable;
    std::fclose(stream);
    return PathState::File;
}

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void AddListBoxString(void* listBox, const char* text) {
    SendMessageA(static_cast<HWND>(listBox), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

}  // namespace vorn::platform
