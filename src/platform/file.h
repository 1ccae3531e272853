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
    enum class Mode { Read, ReadWrite };
    enum class Operation { Seek, Read, Write, Flush, SetLength };
    // A test seam: asked before every operation; true makes it fail.
    using FaultHook = std::function<bool(Operation)>;

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
    [[nodiscard]] std::optional<std::uint64_t> Position();
    // The file's length; the stream's position is unchanged.
    [[nodiscard]] std::optional<std::uint64_t> Length();

    void SetFaultHook(FaultHook hook) { faultHook_ = std::move(hook); }

private:
    bool Faulted(Operation operation) const { return faultHook_ && faultHook_(operation); }

    struct Closer {
        void operator()(std::FILE* stream) const { std::fclose(stream); }
    };
    explicit File(std::FILE* stream) : stream_(stream) {}
    std::unique_ptr<std::FILE, Closer> stream_;
    FaultHook faultHook_;
};

}  // namespace vorn
