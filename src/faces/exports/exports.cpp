// The C entry points of the library. Each export hands its work to the
// subsystem that does it; no exception crosses this boundary.
#include "vornutils.h"

#include "base/result_code.h"
#include "faces/exports/rect.h"
#include "kinds/icon/icon_replace.h"
#include "faces/exports/version_exports.h"

extern "C" {

VORNUTILS_API void VORNUTILS_CDECL CUtil_11(int32_t* a, int32_t* b) { vorn::ExchangeIntegers(*a, *b); }

VORNUTILS_API void VORNUTILS_CDECL CUtil_12(VornRect* result, VornRect rect) { *result = vorn::NormalizeRect(rect); }

VORNUTILS_API void VORNUTILS_CDECL CUtil_13(VornRect* result, VornRect rect, int32_t dx, int32_t dy) {
    *result = vorn::OffsetRect(rect, dx, dy);
}

VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_14(VornRect a, VornRect b) { return vorn::RectsEqual(a, b) ? 1 : 0; }

VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_21(const char* targetPath, const char* sourcePath, int32_t sourceKind,
                                               const char* groupName) {
    return vorn::GuardExport([&] { return vorn::ReplaceMainIcon(targetPath, sourcePath, sourceKind, groupName); });
}

VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_22(const char* path, VersionInfoBlock* block) {
    return vorn::GuardExport([&] { return vorn::QueryVersion(path, block); });
}

VORNUTILS_API int32_t VORNUTILS_CDECL CUtil_23(const char* path, const VersionInfoBlock* block) {
    return vorn::GuardExport([&] { return vorn::UpdateVersion(path, block); });
}

}  // extern "C"
