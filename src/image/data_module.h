// A module mapped for its resources only, as the loader maps a library as a
// data file: none of its code runs. On Windows the loader itself; elsewhere
// the library's own reader of PE32 and PE32+ images, with the loader's
// lookup rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vorn {

class DataModule;
struct DataModuleCloser {
    void operator()(DataModule* module) const;
};
using DataModuleHandle = std::unique_ptr<DataModule, DataModuleCloser>;

// Null when the module cannot be mapped.
DataModuleHandle LoadDataModule(const char* path);

// The bytes of the resource of numeric `type` named `name` (a name compared
// ignoring ASCII case, or "#" and decimal digits for a numeric id), in the
// language the loader picks: neutral, then 1033, then the first. Valid while
// the module stays loaded; nullopt when there is no such resource.
std::optional<std::span<const std::byte>> FindModuleResource(DataModule& module, const char* name, std::uint16_t type);

}  // namespace vorn
