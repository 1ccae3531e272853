// The VS_VERSIONINFO layout. Every block starts with three 16-bit words
// (wLength, wValueLength, wType) and a NUL-terminated UTF-16 key; its value
// and each child start on a 4-byte boundary counted from the resource's
// first byte.
//
//   root      0 header, 6 "VS_VERSION_INFO" (32 bytes), 38 padding,
//            40 VS_FIXEDFILEINFO (52 bytes), 92 children
//   StringFileInfo  6 "StringFileInfo" (30 bytes), 36 StringTables
//   VarFileInfo     6 "VarFileInfo" (24 bytes), 30 padding, 32 Vars
//   StringTable     6 eight hex digits (18 bytes), 24 Strings
//   String          6 key, padding, value text
//   Var             6 key, padding, 32-bit values
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/byte_view.h"

namespace vorn::version {

inline constexpr std::size_t kBlockHeaderSize = 6;
inline constexpr std::size_t kFixedInfoOffset = 40;
inline constexpr std::uint16_t kFixedInfoSize = 52;
inline constexpr std::size_t kRootSize = kFixedInfoOffset + kFixedInfoSize;  // 92
inline constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
inline constexpr std::uint32_t kFixedInfoStrucVersion = 0x00010000;
inline constexpr std::size_t kStringFileInfoHeaderSize = 36;
inline constexpr std::size_t kVarFileInfoHeaderSize = 32;
inline constexpr std::size_t kTableKeyLength = 8;
inline constexpr std::size_t kTableHeaderSize = 24;
inline constexpr std::size_t kMaxBlockLength = 0xFFFF;
// Texts of the record are held in 256-byte slots with their NUL.
inline constexpr std::size_t kMaxTextBytes = 255;

inline constexpr std::u16string_view kRootKey = u"VS_VERSION_INFO";
inline constexpr std::u16string_view kStringFileInfoKey = u"StringFileInfo";
inline constexpr std::u16string_view kVarFileInfoKey = u"VarFileInfo";

constexpr std::size_t Align4(std::size_t x) { return (x + 3) & ~std::size_t{3}; }

// A UTF-16 text that ends at its NUL or at `end`, and the offset after it.
struct Text {
    std::u16string units;
    std::size_t next = 0;
};

inline Text ReadText(Bytes bytes, std::size_t start, std::size_t end) {
    Text text;
    std::size_t at = start;
    while (at + 2 <= end) {
        const char16_t unit = LoadU16(bytes.data() + at);
        at += 2;
        if (unit == 0) break;
        text.units.push_back(unit);
    }
    text.next = std::max(at, start);
    return text;
}

}  // namespace vorn::version
