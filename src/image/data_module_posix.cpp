// Where there is no Windows loader, a data module is the resource table of
// the image, read by the library's own header and directory readers. The
// resources are taken from the section that holds the resource directory,
// from the directory to the end of that section's file data; a damaged
// directory keeps the resources read before the damage.
#include <algorithm>
#include <new>

#include "base/byte_view.h"
#include "image/data_module.h"
#include "format/pe_headers.h"
#include "format/resource_table.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace vorn {

class DataModule {
public:
    ResourceTable table;
};

void DataModuleCloser::operator()(DataModule* module) const { delete module; }

DataModuleHandle LoadDataModule(const char* path) {
    auto file = File::Open(path, File::Mode::Read);
    const auto length = file ? file->Length() : std::nullopt;
    if (!length) return {};
    PeHeaders headers;
    // Running out of memory is no reason to call the module unmappable.
    const ResultCode read = ReadPeHeaders(*file, *length, ImageKinds::Pe32OrPe32Plus, headers);
    if (read == ResultCode::OutOfMemory) throw std::bad_alloc();
    if (read != ResultCode::Success) return {};

    DataModuleHandle module(new DataModule);
    // An image without a resource directory maps, but holds no resources.
    const std::uint32_t rva = headers.Directory(pe::kResourceDirectoryIndex).virtualAddress;
    if (rva == 0) return module;
    for (const SectionHeader& s : headers.sections) {
        if (s.pointerToRawData == 0 || rva < s.virtualAddress || rva - s.virtualAddress >= s.sizeOfRawData) continue;
        const std::uint64_t offset = std::uint64_t{s.pointerToRawData} + (rva - s.virtualAddress);
        if (offset >= *length) break;
        const std::uint64_t size = std::min<std::uint64_t>(s.sizeOfRawData - (rva - s.virtualAddress), *length - offset);
        auto bytes = std::make_shared<std::vector<std::byte>>(static_cast<std::size_t>(size));
        if (!file->ReadAt(offset, *bytes)) return {};
        if (LoadResourceTable(bytes, module->table, rva) == ResultCode::OutOfMemory) throw std::bad_alloc();
        break;
    }
    return module;
}

std::optional<std::span<const std::byte>> FindModuleResource(DataModule& module, const char* name, std::uint16_t type) {
    if (name == nullptr) return std::nullopt;
    const auto id = ParseNumericResourceName(name);
    // The first entry of the name in the best language: neutral, 1033, any.
    const ResourceEntry* picked = nullptr;
    int pickedRank = 3;
    for (const ResourceEntry& e : module.table.entries) {
        if (e.typeId != type) continue;
        const bool matches = id ? (!e.name && e.nameId == *id)
                                : (e.name && platform::CompareIgnoreAsciiCase(*e.name, name) == 0);
        if (!matches) continue;
        const int rank = LoaderLanguageRank(e.language);
        if (rank < pickedRank) {
            picked = &e;
            pickedRank = rank;
        }
    }
    if (picked == nullptr) return std::nullopt;
    return picked->Bytes();
}

}  // namespace vorn
