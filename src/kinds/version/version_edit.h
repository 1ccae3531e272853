// Which version resources of a table an edit or a read works on, and the
// edits of one resource's tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/resource_table.h"
#include "kinds/version/version_resource.h"
#include "vornutils/version.h"

namespace vorn::version {

inline constexpr std::int32_t kVersionResourceName = 1;  // VS_VERSION_INFO

// The resource GetFileVersionInfo finds: name 1 (else the first name), in
// the language a neutral lookup finds.
std::optional<std::size_t> ShownVersionEntry(const ResourceTable& table);

// The version resources of the scope, in directory order.
std::vector<std::size_t> VersionEntries(const ResourceTable& table, const vornutils::VersionScope& scope);

// Applies `changes` to one resource of language `resourceLanguage`; `added`
// when the resource is new, so that its product version follows the file
// version. False: the scope's language has no table and `create` is not set.
bool ApplyVersionChanges(VersionResource& resource, std::uint16_t resourceLanguage, bool added,
                         const vornutils::VersionChanges& changes);

}  // namespace vorn::version
