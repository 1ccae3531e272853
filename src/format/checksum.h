// The two sums that check a whole file: the PE checksum of the optional
// header, and the CRC-32 (the polynomial of zip and PNG) with which
// self-extracting installers check their own bytes. Both take the file in
// pieces of any size, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vorn {

class PeChecksum {
public:
    // `bytes` lie at `offset` of the file; the four bytes of the checksum
    // field at `fieldOffset` count as zeros.
    explicit PeChecksum(std::uint64_t fieldOffset) : field_(fieldOffset) {}
    void Add(std::uint64_t offset, std::span<const std::byte> bytes);
    // The checksum of a file of `length` bytes whose every byte was added.
    [[nodiscard]] std::uint32_t Finish(std::uint64_t length) const;

private:
    void Sum(std::uint64_t offset, std::span<const std::byte> bytes);

    std::uint64_t field_;
    std::uint64_t sum_ = 0;  // of 16-bit words, folded now and then
};

class Crc32 {
public:
    void Add(std::span<const std::byte> bytes);
    [[nodiscard]] std::uint32_t Value() const { return ~state_; }

private:
    std::uint32_t state_ = 0xFFFFFFFF;
};

}  // namespace vorn
