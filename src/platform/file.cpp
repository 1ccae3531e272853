#include "platform/file.h"

#include <algorithm>

#include "platform/platform.h"

namespace vorn {

namespace {

File::ProcessFaultHook processFaultHook = nullptr;

}  // namespace

void File::SetProcessFaultHook(ProcessFaultHook hook) { processFaultHook = hook; }

bool File::Faulted(Operation operation) const {
    if (processFaultHook != nullptr && processFaultHook(operation, mode_)) return true;
    return faultHook_ && faultHook_(operation);
}

std::optional<File> File::Open(const char* path, Mode mode) {
    if (path == nullptr) return std::nullopt;
    if (processFaultHook != nullptr && processFaultHook(Operation::Open, mode)) return std::nullopt;
    std::FILE* stream = std::fopen(path, mode == Mode::Read ? "rb" : mode == Mode::ReadWrite ? "rb+" : "wb+");
    if (stream == nullptr) return std::nullopt;
    return File(stream, mode);
}

bool File::Seek(std::uint64_t offset) {
    return stream_ && !Faulted(Operation::Seek) && platform::SeekStream(stream_.get(), offset);
}

bool File::Read(std::span<std::byte> out) {
    if (!stream_ || Faulted(Operation::Read)) return false;
    if (out.empty()) return true;
    return std::fread(out.data(), 1, out.size(), stream_.get()) == out.size();
}

bool File::ReadAt(std::uint64_t offset, std::span<std::byte> out) { return Seek(offset) && Read(out); }

bool File::Write(std::span<const std::byte> bytes) {
    if (!stream_ || Faulted(Operation::Write)) return false;
    if (bytes.empty()) return true;
    return std::fwrite(bytes.data(), 1, bytes.size(), stream_.get()) == bytes.size();
}

bool File::WriteAt(std::uint64_t offset, std::span<const std::byte> bytes) { return Seek(offset) && Write(bytes); }

bool File::Flush() { return stream_ && !Faulted(Operation::Flush) && std::fflush(stream_.get()) == 0; }

bool File::SetLength(std::uint64_t length) {
    // Buffered bytes go out first so that they cannot land past the new end.
    return Flush() && !Faulted(Operation::SetLength) && platform::ChangeFileLength(stream_.get(), length);
}

bool File::Grow(std::uint64_t from, std::uint64_t length) {
    return SetLength(length) && (length <= from || platform::AllocateStreamRange(stream_.get(), from, length - from));
}

std::optional<std::uint64_t> File::Position() {
    if (!stream_) return std::nullopt;
    return platform::TellStream(stream_.get());
}

std::optional<std::uint64_t> File::Length() {
    const auto here = Position();
    if (!here || !platform::SeekStreamToEnd(stream_.get())) return std::nullopt;
    const auto end = Position();
    if (!Seek(*here)) return std::nullopt;
    return end;
}

bool File::CopyFrom(File& source, std::uint64_t from, std::uint64_t to, std::uint64_t length) {
    // In pieces, so that each is one operation for the fault seam.
    constexpr std::uint64_t kPiece = 8u << 20;
    if (!Flush() || !source.Flush()) return false;
    for (std::uint64_t done = 0; done < length;) {
        const std::uint64_t piece = std::min(kPiece, length - done);
        if (source.Faulted(Operation::Read) || Faulted(Operation::Write) ||
            !platform::CopyStreamRange(source.stream_.get(), from + done, stream_.get(), to + done, piece)) {
            return false;
        }
        done += piece;
    }
    return true;
}

void File::Prefetch(std::uint64_t offset, std::uint64_t length) {
    if (stream_) platform::PrefetchStreamRange(stream_.get(), offset, length);
}

bool File::TakeAttributesOf(const char* path) { return stream_ && platform::CopyFileAttributes(path, stream_.get()); }

bool File::Lock() { return stream_ && platform::LockStream(stream_.get()); }

bool File::IsAt(const char* path) const { return stream_ && platform::StreamIsAt(stream_.get(), path); }

std::optional<File::Identity> File::Id() const {
    Identity id;
    if (!stream_ || !platform::StreamIdentity(stream_.get(), id.device, id.index)) return std::nullopt;
    return id;
}

}  // namespace vorn
