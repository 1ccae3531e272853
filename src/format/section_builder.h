// Builds the byte image of a complete resource section from a resource table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/result_code.h"
#include "base/operation_hooks.h"
#include "format/resource_table.h"

namespace vorn {

// Sorts the table into directory order and lays out, for a section mapped at
// sectionRva: the root, name and language directories, one data entry per
// resource, the counted names, then every resource's bytes at a multiple of
// 4. On success the section replaces `sectionBuffer` and its length is stored
// in `sectionSize`; on failure both are unchanged (the table stays sorted).
//
// Returns 0; SectionBuildFailed for a table with no entries, a name that
// converts to no UTF-16 text, or a section that would pass 2 GiB;
// BadResourceData for an entry with a size but no data; BadIconSource when
// bytes left in their source file (an .ico file's images) cannot be read,
// as when they are read up front; OutOfMemory.
ResultCode BuildResourceSection(std::vector<std::byte>& sectionBuffer, std::uint32_t& sectionSize,
                                ResourceTable& table, std::uint32_t sectionRva, const OperationHooks& hooks = {});

}  // namespace vorn
