#include <gtest/gtest.h>

#include <cstddef>

#include "vornutils.h"

extern "C" std::size_t VornHeaderCheckBlockSize(void);
extern "C" std::size_t VornHeaderCheckTrademarksOffset(void);

// A host written in C and one written in C++ must agree on the block.
TEST(PublicHeader, VersionBlockLayoutIsTheSameInCAndCxx) {
    EXPECT_EQ(VornHeaderCheckBlockSize(), sizeof(VersionInfoBlock));
    EXPECT_EQ(VornHeaderCheckTrademarksOffset(), offsetof(VersionInfoBlock, legalTrademarks));
}
