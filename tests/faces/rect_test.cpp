#include "faces/exports/rect.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

namespace vorn {
namespace {

constexpr std::int32_t kMin = INT32_MIN;
constexpr std::int32_t kMax = INT32_MAX;

auto Tie(const VornRect& r) { return std::make_tuple(r.left, r.top, r.right, r.bottom); }

TEST(Rect, NormalizeWidensEachReversedAxisByOneAtBothEnds) {
    EXPECT_EQ(Tie(NormalizeRect({10, 20, 5, 30})), std::make_tuple(4, 20, 11, 30));
    EXPECT_EQ(Tie(NormalizeRect({5, 8, 5, 2})), std::make_tuple(5, 1, 5, 9));
    EXPECT_EQ(Tie(NormalizeRect({-1, 0, -3, 0})), std::make_tuple(-4, 0, 0, 0));
    EXPECT_EQ(Tie(NormalizeRect({-7, 3, 7, 3})), std::make_tuple(-7, 3, 7, 3));
}

TEST(Rect, ArithmeticWrapsAtTheInt32Limits) {
    EXPECT_EQ(Tie(NormalizeRect({kMax, 0, kMin, 0})), std::make_tuple(kMax, 0, kMin, 0));
    EXPECT_EQ(Tie(NormalizeRect({0, kMax, 0, kMin})), std::make_tuple(0, kMax, 0, kMin));
    EXPECT_EQ(Tie(OffsetRect({kMax, kMin, 0, -1}, 1, -1)), std::make_tuple(kMin, kMax, 1, -2));
}

}  // namespace
}  // namespace vorn
