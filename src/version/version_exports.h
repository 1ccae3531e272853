// The two version exports: reading version information into the host's
// block, and writing the block's version information into a file.
#pragma once

#include "frame/result_code.h"
#include "vornutils.h"

namespace vorn {

ResultCode QueryVersion(const char* path, VersionInfoBlock* block);
ResultCode UpdateVersion(const char* path, const VersionInfoBlock* block);

}  // namespace vorn
