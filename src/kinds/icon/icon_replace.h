// Replacing the main icon of a PE file: its first icon group and the images
// that group lists give way to an IconSet, under the group's own name and
// language.
#pragma once

#include <cstdint>
#include <string>

#include "base/result_code.h"
#include "kinds/icon/icon_set.h"
#include "image/image.h"
#include "format/resource_table.h"

namespace vorn {

enum IconSourceKind : std::int32_t {
    IconSourceFile = 1,
    IconSourceModule = 2,
};

// Replaces, in the table, the icon group of numeric type 14 with this
// `groupNameId` and `groupName` (null for a numeric group; compared ignoring
// ASCII case) by `set`: the RT_ICON entries the group lists go, in every
// language; the set's images come in under the smallest free ids, with the
// group's language and code page. The table then points into `set`.
// NoIconGroup: no such group. NotIconGroup: its data is not of type 1 or is
// shorter than its count says.
ResultCode ReplaceIconGroup(ResourceTable& table, std::int32_t groupNameId, const std::string* groupName, IconSet& set,
                            const OperationHooks& hooks = {});

// The replacement on an image open for editing, without its commit: the
// first icon group in directory order gives way to `set`; a file without one
// gets group 1 when `access.createResources` says so, else NoIconGroup.
// Codes of ReplaceIconGroup. The table then points into `set`, which must
// outlive the commit.
ResultCode ReplaceMainIconGroup(Image& image, IconSet& set, const ImageAccess& access);

// The whole replacement on a file, in this order of checks: the target is
// opened for writing and loaded, then the source is read, then the target's
// main group is looked for. The file is unchanged on every failure before
// the rewrite.
ResultCode ReplaceMainIcon(const char* targetPath, const char* sourcePath, std::int32_t sourceKind,
                           const char* groupName, const ImageAccess& access = {});

}  // namespace vorn
