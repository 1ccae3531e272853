#include <algorithm>
#include <type_traits>

#include "platform/platform.h"

namespace vorn::platform {

namespace {
unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

char16_t FoldUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

template <class Text>
int CompareFoldedUpper(const Text& a, const Text& b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const int ca = FoldUpper(static_cast<char16_t>(static_cast<std::make_unsigned_t<typename Text::value_type>>(a[i])));
        const int cb = FoldUpper(static_cast<char16_t>(static_cast<std::make_unsigned_t<typename Text::value_type>>(b[i])));
        if (ca != cb) return ca - cb;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}
}  // namespace

int CompareIgnoreAsciiCase(std::string_view a, std::string_view b) {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const int ca = FoldAscii(static_cast<unsigned char>(a[i]));
        const int cb = FoldAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

int CompareResourceNames(std::string_view a, std::string_view b) {
    // ASCII text orders the same in bytes and in UTF-16; other text is
    // converted, as the code page's byte order need not be Unicode's.
    if (!IsAscii(a) || !IsAscii(b)) {
        const auto wideA = AnsiToWide(a);
        const auto wideB = AnsiToWide(b);
        if (wideA && wideB) return CompareFoldedUpper(*wideA, *wideB);
    }
    return CompareFoldedUpper(a, b);
}

}  // namespace vorn::platform
