#include "format/checksum.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace vorn {

void PeChecksum::Add(std::uint64_t offset, std::span<const std::byte> bytes) {
    const std::uint64_t end = offset + bytes.size();
    if (offset < field_ + 4 && end > field_) {
        // Around the checksum field, which counts as zeros.
        const auto before = static_cast<std::size_t>(field_ > offset ? field_ - offset : 0);
        const auto after = static_cast<std::size_t>(std::min<std::uint64_t>(end, field_ + 4) - offset);
        Sum(offset, bytes.first(before));
        Sum(offset + after, bytes.subspan(after));
        return;
    }
    Sum(offset, bytes);
}

void PeChecksum::Sum(std::uint64_t offset, std::span<const std::byte> bytes) {
    std::uint64_t sum = sum_;
    std::size_t i = 0;
    // A byte at an odd offset is the high half of its word.
    if ((offset & 1) != 0 && !bytes.empty()) sum += std::to_integer<std::uint64_t>(bytes[i++]) << 8;
    // Four bytes at a time: as 2^16 is 1 modulo 0xFFFF, a 32-bit word counts
    // as its two halves once the sum is folded. 2^32 of them cannot carry
    // out of 64 bits.
    for (; i + 4 <= bytes.size(); i += 4) {
        std::uint32_t word;
        std::memcpy(&word, bytes.data() + i, 4);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        sum += word;
    }
    for (; i + 1 < bytes.size(); i += 2) {
        sum += std::to_integer<std::uint64_t>(bytes[i]) | (std::to_integer<std::uint64_t>(bytes[i + 1]) << 8);
    }
    if (i < bytes.size()) sum += std::to_integer<std::uint64_t>(bytes[i]);
    sum_ = (sum & 0xFFFFFFFF) + (sum >> 32);
}

std::uint32_t PeChecksum::Finish(std::uint64_t length) const {
    // Ones' complement addition of the words: carries fold back in.
    std::uint64_t sum = sum_;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + length);
}

namespace {

// Eight tables, so that eight bytes are folded in per step.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
}

constexpr Tables kTables = MakeTables();

std::uint32_t Byte(std::span<const std::byte> b, std::size_t i) { return std::to_integer<std::uint32_t>(b[i]); }

}  // namespace

void Crc32::Add(std::span<const std::byte> bytes) {
    std::uint32_t c = state_;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        const std::uint32_t low = c ^ (Byte(bytes, i) | Byte(bytes, i + 1) << 8 | Byte(bytes, i + 2) << 16 | Byte(bytes, i + 3) << 24);
        c = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^
            kTables[3][Byte(bytes, i + 4)] ^ kTables[2][Byte(bytes, i + 5)] ^ kTables[1][Byte(bytes, i + 6)] ^
            kTables[0][Byte(bytes, i + 7)];
    }
    for (; i < bytes.size(); ++i) c = kTables[0][(c ^ Byte(bytes, i)) & 0xFF] ^ (c >> 8);
    state_ = c;
}

}  // namespace vorn
