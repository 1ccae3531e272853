// On Windows a data module is the loader's own mapping.
#include "image/data_module.h"

#include "platform/platform.h"

namespace vorn {

class DataModule {
public:
    explicit DataModule(platform::LoaderModuleHandle module) : loaded(std::move(module)) {}
    platform::LoaderModuleHandle loaded;
};

void DataModuleCloser::operator()(DataModule* module) const { delete module; }

DataModuleHandle LoadDataModule(const char* path) {
    auto loaded = platform::LoadLibraryAsDataFile(path);
    if (!loaded) return {};
    return DataModuleHandle(new DataModule(std::move(loaded)));
}

std::optional<std::span<const std::byte>> FindModuleResource(DataModule& module, const char* name, std::uint16_t type) {
    if (name == nullptr) return std::nullopt;
    return platform::FindLoaderResource(*module.loaded, name, type);
}

}  // namespace vorn
