// Rectangle helpers for a host's user interface. Arithmetic wraps modulo
// 2^32 and comparisons are signed.
#pragma once

#include <cstdint>

#include "vornutils.h"

namespace vorn {

void ExchangeIntegers(std::int32_t& a, std::int32_t& b);
// An axis whose coordinates are reversed is exchanged and comes out one unit
// larger at both ends.
VornRect NormalizeRect(VornRect rect);
VornRect OffsetRect(VornRect rect, std::int32_t dx, std::int32_t dy);
bool RectsEqual(const VornRect& a, const VornRect& b);

}  // namespace vorn
