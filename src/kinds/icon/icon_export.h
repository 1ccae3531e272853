// Writing an icon group of a PE file as an .ico file.
#pragma once

#include <cstddef>
#include <vector>

#include "base/result_code.h"
#include "format/pe_headers.h"
#include "format/resource_table.h"

namespace vorn {

// Builds in `ico` the .ico file of the icon group `groupName` of `table`,
// the resources of a file of `fileLength` bytes ("#12" for id 12, other
// names compared ignoring ASCII case), or of its first group when
// `groupName` is null or empty. Each image is the whole RT_ICON resource its
// group entry names, in the group's language if there is one, else the
// first language of that id; the entry's size is the image's, so the file
// is consistent even where the group was not. NoIconGroup: the file has
// none. IconSourceNotFound: no group of that name. NotIconGroup: the group is not of type 1 or is
// shorter than its count says. BadIconSource: an image it lists is missing,
// or the images it lists hold more bytes than the file. On failure `ico` is
// empty.
ResultCode ExportIconGroup(const ResourceTable& table, const char* groupName, std::uint64_t fileLength,
                           std::vector<std::byte>& ico);

}  // namespace vorn
