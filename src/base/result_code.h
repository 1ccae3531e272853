// The one result code type of the library. Every fallible operation returns
// it and the exports hand it to the host unchanged.
#pragma once

#include <cstdint>
#include <new>

#include "vornutils.h"

namespace vorn {

enum class [[nodiscard]] ResultCode : std::int32_t {
    Success = VornSuccess,
    SectionBuildFailed = VornSectionBuildFailed,
    OutOfMemory = VornOutOfMemory,
    NotPeImage = VornNotPeImage,
    NoResourceSection = VornNoResourceSection,
    FileAccessFailed = VornFileAccessFailed,
    ResourceBeforeCode = VornResourceBeforeCode,
    NoIconGroup = VornNoIconGroup,
    IconSourceNotFound = VornIconSourceNotFound,
    NotIconGroup = VornNotIconGroup,
    BadIconSource = VornBadIconSource,
    BadSourceKind = VornBadSourceKind,
    NoVersionResource = VornNoVersionResource,
    BadResourceData = VornBadResourceData,
    BadVersionRecord = VornBadVersionRecord,
    BadVersionResource = VornBadVersionResource,
    TextConversionFailed = VornTextConversionFailed,
};

constexpr std::int32_t ToInt(ResultCode code) { return static_cast<std::int32_t>(code); }

// Runs an operation at the C boundary: allocation failure becomes
// OutOfMemory and nothing else escapes.
template <class Operation>
std::int32_t GuardExport(Operation&& operation) noexcept {
    try {
        return ToInt(operation());
    } catch (const std::bad_alloc&) {
        return ToInt(ResultCode::OutOfMemory);
    } catch (...) {
        return ToInt(ResultCode::OutOfMemory);
    }
}

}  // namespace vorn
