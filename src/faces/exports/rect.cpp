#include "faces/exports/rect.h"

namespace vorn {

namespace {

// Two's complement addition without signed overflow.
std::int32_t WrapAdd(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

void NormalizeAxis(std::int32_t& low, std::int32_t& high) {
    if (low > high) {
        ExchangeIntegers(low, high);
        low = WrapAdd(low, -1);
        high = WrapAdd(high, 1);
    }
}

}  // namespace

void ExchangeIntegers(std::int32_t& a, std::int32_t& b) {
    const std::int32_t first = a;
    const std::int32_t second = b;
    a = second;
    b = first;
}

VornRect NormalizeRect(VornRect rect) {
    NormalizeAxis(rect.left, rect.right);
    NormalizeAxis(rect.top, rect.bottom);
    return rect;
}

VornRect OffsetRect(VornRect rect, std::int32_t dx, std::int32_t dy) {
    return {WrapAdd(rect.left, dx), WrapAdd(rect.top, dy), WrapAdd(rect.right, dx), WrapAdd(rect.bottom, dy)};
}

bool RectsEqual(const VornRect& a, const VornRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace vorn
