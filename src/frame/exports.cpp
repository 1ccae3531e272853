// The C entry points of the library. Each export hands its work to the
// subsystem that does it; no exception crosses this boundary.
#include "vornutils.h"

#include "geometry/rect.h"

extern "C" {

VORNUTILS_API void VORNUTILS_CDECL CUtil_11(int32_t* a, int32_t* b) { vorn::ExchangeIntegers(*a, *b); }

VORNUTILS_API void VORNUTILS_CDECL CUtil_12(VornRect* result, VornRect rect) { *result = vorn::NormalizeRect(rect); }

VORNUTILS_API void VORNUTILS_CDECL CUtil_13(VornRect* result, VornRect rect, int32_t dx, int32_t dy) {
    *result = vorn::OffsetRect(rect, dx, dy);
}

VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_14(VornRect a, VornRect b) { return vorn::RectsEqual(a, b) ? 1 : 0; }

}  // extern "C"
