// An owned buffered stream over a file, closed on every path. Offsets are
// 64-bit here so that files beyond the library's 2 GiB limit can be measured
// and refused; PE offsets themselves are 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace vorn {

class File {
public:
    enum class Mode { Read, ReadWrite, Create };  // Create: a new, empty file for writing and reading
    enum class Operation { Open, Seek, Read, Write, Flush, SetLength };
    // A test seam: asked before every operation; true makes it fail.
    using FaultHook = std::function<bool(Operation)>;
    // The same for every File of the process, opens included, for tests of
    // whole operations that open their files themselves. Null unless a test
    // sets it; never reachable from the library's exports.
    using ProcessFaultHook = bool (*)(Operation operation, Mode mode);
    static void SetProcessFaultHook(ProcessFaultHook hook);

    File() = default;
    // nullopt when the path cannot be opened in that mode.
    static std::optional<File> Open(const char* path, Mode mode);

    [[nodiscard]] bool IsOpen() const { return stream_ != nullptr; }
    void Close() { stream_.reset(); }

    // Each answers false on any failure; a short read is a failure.
    [[nodiscard]] bool Seek(std::uint64_t offset);
    [[nodiscard]] bool Read(std::span<std::byte> out);
    [[nodiscard]] bool ReadAt(std::uint64_t offset, std::span<std::byte> out);
    [[nodiscard]] bool Write(std::span<const std::byte> bytes);
    [[nodiscard]] bool WriteAt(std::uint64_t offset, std::span<const std::byte> bytes);
    [[nodiscard]] bool Flush();
    [[nodiscard]] bool SetLength(std::uint64_t length);
    // Lengthens the file from `from` bytes to `length`, taking the disk
    // space of the bytes added now: later writes of them cannot fail for
    // want of space.
    [[nodiscard]] bool Grow(std::uint64_t from, std::uint64_t length);
    [[nodiscard]] std::optional<std::uint64_t> Position();
    // The file's length; the stream's position is unchanged.
    [[nodiscard]] std::optional<std::uint64_t> Length();
    // Lets the system read ahead a range that is about to be read.
    void Prefetch(std::uint64_t offset, std::uint64_t length);
    // Copies `length` bytes at `from` of `source` to `to` of this file,
    // inside the kernel where the system can. Positions are left undefined.
    [[nodiscard]] bool CopyFrom(File& source, std::uint64_t from, std::uint64_t to, std::uint64_t length);
    // The file's mode and owner become those of the file at `path`.
    [[nodiscard]] bool TakeAttributesOf(const char* path);
    // An exclusive lock between processes, held until the file is closed;
    // waits while another process holds it.
    [[nodiscard]] bool Lock();
    // Whether `path` still names this file.
    [[nodiscard]] bool IsAt(const char* path) const;
    // Which file this is (see platform::StreamIdentity); nullopt where the
    // system cannot say.
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t index = 0;
        bool operator==(const Identity&) const = default;
    };
    [[nodiscard]] std::optional<Identity> Id() const;

    void SetFaultHook(FaultHook hook) { faultHook_ = std::move(hook); }

private:
    bool Faulted(Operation operation) const;

    struct Closer {
        void operator()(std::FILE* stream) const { std::fclose(stream); }
    };
    File(std::FILE* stream, Mode mode) : stream_(stream), mode_(mode) {}
    std::unique_ptr<std::FILE, Closer> stream_;
    Mode mode_ = Mode::Read;
    FaultHook faultHook_;
};

}  // namespace vorn
