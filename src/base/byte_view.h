// Bounds-checked little-endian access to bytes read from a file. Every read
// reports failure instead of returning a plausible zero, and every bounds
// test is written in a form that cannot overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vorn {

using Bytes = std::span<const std::byte>;
using MutableBytes = std::span<std::byte>;

// True when [offset, offset + size) lies inside a buffer of `length` bytes.
constexpr bool Fits(std::uint64_t offset, std::uint64_t size, std::uint64_t length) {
    return offset <= length && size <= length - offset;
}

// Rounds x up to a multiple of `alignment`, modulo 2^32. An alignment of 0
// comes from a damaged header and is treated as 1: it is never a divisor.
constexpr std::uint32_t AlignUp(std::uint32_t x, std::uint32_t alignment) {
    if (alignment <= 1) return x;
    const std::uint32_t rest = x % alignment;
    return rest == 0 ? x : x + (alignment - rest);
}

// The same for file positions, which do not wrap.
constexpr std::uint64_t AlignUp64(std::uint64_t x, std::uint64_t alignment) {
    if (alignment <= 1) return x;
    const std::uint64_t rest = x % alignment;
    return rest == 0 ? x : x + (alignment - rest);
}

inline std::uint16_t LoadU16(const std::byte* p) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(p[0]) |
                                      (std::to_integer<unsigned>(p[1]) << 8));
}

inline std::uint32_t LoadU32(const std::byte* p) {
    return static_cast<std::uint32_t>(LoadU16(p)) | (static_cast<std::uint32_t>(LoadU16(p + 2)) << 16);
}

inline void StoreU16(std::byte* p, std::uint16_t v) {
    p[0] = static_cast<std::byte>(v & 0xFF);
    p[1] = static_cast<std::byte>(v >> 8);
}

inline void StoreU32(std::byte* p, std::uint32_t v) {
    StoreU16(p, static_cast<std::uint16_t>(v & 0xFFFF));
    StoreU16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

// A read-only view that answers every read with nullopt when it would leave
// the bytes.
class ByteView {
public:
    constexpr ByteView() = default;
    constexpr explicit ByteView(Bytes bytes) : bytes_(bytes) {}

    [[nodiscard]] std::size_t size() const { return bytes_.size(); }
    [[nodiscard]] Bytes bytes() const { return bytes_; }
    [[nodiscard]] bool Contains(std::uint64_t offset, std::uint64_t size) const {
        return Fits(offset, size, bytes_.size());
    }

    [[nodiscard]] std::optional<std::uint16_t> U16(std::uint64_t offset) const {
        if (!Contains(offset, 2)) return std::nullopt;
        return LoadU16(bytes_.data() + offset);
    }
    [[nodiscard]] std::optional<std::uint32_t> U32(std::uint64_t offset) const {
        if (!Contains(offset, 4)) return std::nullopt;
        return LoadU32(bytes_.data() + offset);
    }
    [[nodiscard]] std::optional<Bytes> Sub(std::uint64_t offset, std::uint64_t size) const {
        if (!Contains(offset, size)) return std::nullopt;
        return bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
    }

private:
    Bytes bytes_;
};

}  // namespace vorn
