// POSIX half of the platform layer: UTF-8 is the ANSI code page, there is no
// message queue, and file lengths change with ftruncate.
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vorn::platform {

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::optional<std::u16string> AnsiToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c0 = static_cast<unsigned char>(text[i]);
        char32_t cp = 0;
        std::size_t length = 0;
        char32_t minimum = 0;
        if (c0 < 0x80) {
            cp = c0;
            length = 1;
        } else if ((c0 & 0xE0) == 0xC0) {
            cp = c0 & 0x1F;
            length = 2;
            minimum = 0x80;
        } else if ((c0 & 0xF0) == 0xE0) {
            cp = c0 & 0x0F;
            length = 3;
            minimum = 0x800;
        } else if ((c0 & 0xF8) == 0xF0) {
            cp = c0 & 0x07;
            length = 4;
            minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (length > text.size() - i) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if (!IsContinuation(c)) return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::optional<std::string> WideToAnsi(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return std::nullopt;  // a lone low surrogate
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

void PumpMessages() {}

static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets");

bool SeekStream(std::FILE* stream, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool SeekStreamToEnd(std::FILE* stream) { return fseeko(stream, 0, SEEK_END) == 0; }

std::optional<std::uint64_t> TellStream(std::FILE* stream) {
    const off_t position = ftello(stream);
    if (position < 0) return std::nullopt;
    return static_cast<std::uint64_t>(position);
}

bool ChangeFileLength(std::FILE* stream, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return ftruncate(fileno(stream), static_cast<off_t>(length)) == 0;
}

bool AllocateStreamRange(std::FILE* stream, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return true;
    if (offset > static_cast<std::uint64_t>(INT64_MAX) || length > static_cast<std::uint64_t>(INT64_MAX) - offset) return false;
    const int result = posix_fallocate(fileno(stream), static_cast<off_t>(offset), static_cast<off_t>(length));
    // A file system that cannot reserve space takes it as it is written.
    return result == 0 || result == EOPNOTSUPP || result == EINVAL;
}

std::optional<std::uint64_t> FileSizeLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

void PrefetchStreamRange(std::FILE* stream, std::uint64_t offset, std::uint64_t length) {
#if defined(POSIX_FADV_WILLNEED)
    if (offset <= static_cast<std::uint64_t>(INT64_MAX) && length <= static_cast<std::uint64_t>(INT64_MAX)) {
        (void)posix_fadvise(fileno(stream), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
    }
#else
    (void)stream, (void)offset, (void)length;
#endif
}

bool CopyStreamRange(std::FILE* from, std::uint64_t fromOffset, std::FILE* to, std::uint64_t toOffset,
                     std::uint64_t length) {
    if (fromOffset > INT64_MAX || toOffset > INT64_MAX) return false;
    const int in = fileno(from);
    const int out = fileno(to);
    auto inAt = static_cast<off_t>(fromOffset);
    auto outAt = static_cast<off_t>(toOffset);
#if defined(__linux__)
    while (length > 0) {
        const ssize_t copied = copy_file_range(in, &inAt, out, &outAt, static_cast<std::size_t>(length), 0);
        if (copied > 0) {
            length -= static_cast<std::uint64_t>(copied);
            continue;
        }
        if (copied == 0) return false;  // the source ended early
        if (errno == EINTR) continue;
        // Across file systems or where the kernel cannot, a plain copy.
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) break;
        return false;
    }
#endif
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, 1u << 20)));
    while (length > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
        const ssize_t got = pread(in, buffer.data(), want, inAt);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        for (ssize_t put = 0; put < got;) {
            const ssize_t wrote = pwrite(out, buffer.data() + put, static_cast<std::size_t>(got - put), outAt + put);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            put += wrote;
        }
        inAt += got;
        outAt += got;
        length -= static_cast<std::uint64_t>(got);
    }
    return true;
}

bool CopyFileAttributes(const char* path, std::FILE* to) {
    struct stat status {};
    if (stat(path, &status) != 0) return false;
    const int fd = fileno(to);
    // Only root may give a file away; anyone else keeps it as theirs.
    if (geteuid() == 0 && fchown(fd, status.st_uid, status.st_gid) != 0) return false;
    return fchmod(fd, status.st_mode & 07777) == 0;
}

bool ReplaceFileWith(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool LockStream(std::FILE* stream) {
    int result;
    do {
        result = flock(fileno(stream), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool StreamIsAt(std::FILE* stream, const char* path) {
    struct stat open {}, named {};
    return fstat(fileno(stream), &open) == 0 && stat(path, &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

void ReportFileSizeLimitAsFailure() { std::signal(SIGXFSZ, SIG_IGN); }

bool StreamIdentity(std::FILE* stream, std::uint64_t& device, std::uint64_t& index) {
    struct stat status {};
    if (fstat(fileno(stream), &status) != 0) return false;
    device = static_cast<std::uint64_t>(status.st_dev);
    index = static_cast<std::uint64_t>(status.st_ino);
    return true;
}

std::string ResolvePath(const char* path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) return resolved;
    // A file yet to be made: its folder resolved, its name as given.
    const std::string text(path);
    const std::size_t slash = text.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash);
    if (realpath(folder.c_str(), resolved) == nullptr) return text;
    return std::string(resolved) + "/" + (slash == std::string::npos ? text : text.substr(slash + 1));
}

PathState InspectPath(const char* path) {
    struct stat status {};
    if (stat(path, &status) != 0) return errno == EACCES ? PathState::Unreadable : PathState::Missing;
    if (S_ISDIR(status.st_mode)) return PathState::Directory;
    std::FILE* stream = std::fopen(path, "rb");
    if (stream == nullptr) return PathState::Unreadable;
    std::fclose(stream);
    return PathState::File;
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace vorn::platform
