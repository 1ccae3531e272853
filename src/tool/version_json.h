// Version information as JSON: what `vornres version --json` prints and
// `--from-json` reads back.
#pragma once

#include <optional>
#include <string>

#include "tool/output.h"
#include "vornutils/version.h"

namespace vorn::tool {

Json VersionJson(const vornutils::VersionEntry& entry);

// The version information of a file --json wrote, or the status of a
// refusal that has been reported.
int ReadVersionJsonFile(const std::string& path, std::optional<vornutils::VersionEntry>& entry);

}  // namespace vorn::tool
