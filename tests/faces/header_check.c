/* Compiled as C: the public header must stay valid C11, with the same
 * layout as C++ sees. */
#include <stddef.h>

#include "vornutils.h"

typedef char VersionBlockSizeMatches[sizeof(VersionInfoBlock) == 1548 ? 1 : -1];

size_t VornHeaderCheckBlockSize(void) { return sizeof(VersionInfoBlock); }
size_t VornHeaderCheckTrademarksOffset(void) { return offsetof(VersionInfoBlock, legalTrademarks); }
