#include "format/section_builder.h"

#include <algorithm>
#include <string>

#include "base/byte_view.h"
#include "format/pe_format.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace vorn {

namespace {

using namespace pe;

// Offsets inside a section keep their top bit for flags.
constexpr std::uint64_t kMaxSectionSize = kResOffsetMask;

// A run of entries with one name: the languages of one resource.
struct NameGroup {
    std::size_t first = 0;
    std::size_t count = 0;
};

// A run of name groups with one type.
struct TypeGroup {
    std::size_t firstEntry = 0;
    std::size_t firstNameGroup = 0;
    std::size_t nameGroupCount = 0;
    std::uint32_t namedCount = 0;
};

bool SameKey(std::int32_t idA, const ResourceName& a, std::int32_t idB, const ResourceName& b) {
    if (idA != idB) return false;
    if (!a || !b) return !a && !b;
    return a == b || *a == *b;
}

// The counted UTF-16 form of a name: its slot is sized from the ANSI bytes
// (2 + 2 per byte), its length word from the conversion itself.
struct CountedName {
    std::u16string units;
    std::uint64_t slotSize = 0;
};

bool ConvertName(const ResourceName& name, std::vector<CountedName>& names, std::uint64_t& stringBytes) {
    if (!name) return false;
    auto units = platform::AnsiToWide(*name);
    if (!units || units->empty() || units->size() > 0xFFFF || units->size() > name->size()) return false;
    const std::uint64_t slot = 2 + 2 * std::uint64_t{name->size()};
    names.push_back({std::move(*units), slot});
    stringBytes += slot;
    return true;
}

constexpr std::uint64_t Align4(std::uint64_t x) { return (x + 3) & ~std::uint64_t{3}; }

// Fills a directory header; the name and root directories carry zeros.
void PutDirectory(std::byte* at, const ResourceEntry* last, std::uint32_t named, std::uint32_t numbered) {
    if (last != nullptr) {
        StoreU32(at + kResDirCharacteristicsOffset, last->characteristics);
        StoreU32(at + kResDirTimeDateStampOffset, last->timeDateStamp);
        StoreU16(at + kResDirMajorVersionOffset, last->majorVersion);
        StoreU16(at + kResDirMinorVersionOffset, last->minorVersion);
    }
    StoreU16(at + kResDirNamedCountOffset, static_cast<std::uint16_t>(named));
    StoreU16(at + kResDirIdCountOffset, static_cast<std::uint16_t>(numbered));
}

ResultCode Build(std::vector<std::byte>& sectionBuffer, std::uint32_t& sectionSize, ResourceTable& table,
                 std::uint32_t sectionRva, const OperationHooks& hooks) {
    std::vector<ResourceEntry>& entries = table.entries;
    if (entries.empty()) return ResultCode::SectionBuildFailed;
    SortResourceTable(entries, hooks);

    // Groups are counted here rather than trusted from typeCount, which an
    // edit that drops every resource of a type leaves too high.
    std::vector<TypeGroup> types;
    std::vector<NameGroup> names;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const ResourceEntry& e = entries[k];
        const bool newType = k == 0 || !SameKey(entries[k - 1].typeId, entries[k - 1].typeName, e.typeId, e.typeName);
        if (newType) types.push_back({k, names.size(), 0, 0});
        if (newType || !SameKey(entries[k - 1].nameId, entries[k - 1].name, e.nameId, e.name)) {
            names.push_back({k, 0});
            ++types.back().nameGroupCount;
            if (e.nameId == -1) ++types.back().namedCount;
        }
        ++names.back().count;
    }
    std::uint32_t namedTypes = 0;
    for (const TypeGroup& t : types) namedTypes += entries[t.firstEntry].typeId == -1 ? 1 : 0;

    // A directory counts its entries in 16 bits.
    const auto fits16 = [](std::size_t n) { return n <= 0xFFFF; };
    if (!fits16(types.size())) return ResultCode::SectionBuildFailed;
    for (const TypeGroup& t : types) {
        if (!fits16(t.nameGroupCount)) return ResultCode::SectionBuildFailed;
    }
    for (const NameGroup& g : names) {
        if (!fits16(g.count)) return ResultCode::SectionBuildFailed;
    }

    // Counted names: every named type group, then every named name group.
    std::vector<CountedName> strings;
    std::uint64_t stringBytes = 0;
    for (const TypeGroup& t : types) {
        const ResourceEntry& e = entries[t.firstEntry];
        if (e.typeId == -1 && !ConvertName(e.typeName, strings, stringBytes)) return ResultCode::SectionBuildFailed;
    }
    for (const NameGroup& g : names) {
        const ResourceEntry& e = entries[g.first];
        if (e.nameId == -1 && !ConvertName(e.name, strings, stringBytes)) return ResultCode::SectionBuildFailed;
    }

    // Positions of every region.
    const std::uint64_t typeCount = types.size();
    const std::uint64_t groupCount = names.size();
    const std::uint64_t entryCount = entries.size();
    const std::uint64_t dirBytes = 16 * (1 + typeCount + groupCount) + 8 * (typeCount + groupCount + entryCount);
    const std::uint64_t dataEntriesStart = Align4(dirBytes);
    const std::uint64_t stringsStart = Align4(dataEntriesStart + kResDataEntrySize * entryCount);
    const std::uint64_t dataStart = Align4(stringsStart + stringBytes);
    std::vector<std::uint64_t> dataOffset(entries.size());
    std::uint64_t end = dataStart;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        if (entries[k].size != entries[k].data.Size() || (entries[k].size != 0 && entries[k].data.Empty())) {
            return ResultCode::BadResourceData;
        }
        dataOffset[k] = Align4(end);
        end = dataOffset[k] + entries[k].size;
        if (end > kMaxSectionSize) return ResultCode::SectionBuildFailed;
    }
    const std::uint64_t total = end;

    std::vector<std::byte> section(static_cast<std::size_t>(total));
    std::byte* out = section.data();

    // Directories in layout order: root, name directories, language directories.
    std::uint64_t running = kResDirectorySize + kResEntrySize * typeCount;
    std::vector<std::uint64_t> nameDirectory(types.size());
    for (std::size_t t = 0; t < types.size(); ++t) {
        nameDirectory[t] = running;
        running += kResDirectorySize + kResEntrySize * types[t].nameGroupCount;
    }
    std::vector<std::uint64_t> languageDirectory(names.size());
    for (std::size_t g = 0; g < names.size(); ++g) {
        languageDirectory[g] = running;
        running += kResDirectorySize + kResEntrySize * names[g].count;
    }

    // String slots, in the order they were converted.
    std::uint64_t slot = stringsStart;
    std::size_t nextString = 0;
    const auto placeString = [&]() {
        const CountedName& s = strings[nextString++];
        const std::uint64_t at = slot;
        StoreU16(out + at, static_cast<std::uint16_t>(s.units.size()));
        for (std::size_t i = 0; i < s.units.size(); ++i) StoreU16(out + at + 2 + 2 * i, s.units[i]);
        slot += s.slotSize;
        return static_cast<std::uint32_t>(kResHighBit | at);
    };

    PutDirectory(out, nullptr, namedTypes, static_cast<std::uint32_t>(types.size()) - namedTypes);
    for (std::size_t t = 0; t < types.size(); ++t) {
        const ResourceEntry& e = entries[types[t].firstEntry];
        std::byte* entry = out + kResDirectorySize + kResEntrySize * t;
        StoreU32(entry, e.typeId == -1 ? placeString() : static_cast<std::uint32_t>(e.typeId) & 0xFFFF);
        StoreU32(entry + 4, static_cast<std::uint32_t>(kResHighBit | nameDirectory[t]));
    }
    for (std::size_t t = 0; t < types.size(); ++t) {
        const TypeGroup& type = types[t];
        PutDirectory(out + nameDirectory[t], nullptr, type.namedCount,
                     static_cast<std::uint32_t>(type.nameGroupCount) - type.namedCount);
        for (std::size_t i = 0; i < type.nameGroupCount; ++i) {
            const std::size_t g = type.firstNameGroup + i;
            const ResourceEntry& e = entries[names[g].first];
            std::byte* entry = out + nameDirectory[t] + kResDirectorySize + kResEntrySize * i;
            StoreU32(entry, e.nameId == -1 ? placeString() : static_cast<std::uint32_t>(e.nameId) & 0xFFFF);
            StoreU32(entry + 4, static_cast<std::uint32_t>(kResHighBit | languageDirectory[g]));
        }
    }
    for (std::size_t g = 0; g < names.size(); ++g) {
        const NameGroup& group = names[g];
        PutDirectory(out + languageDirectory[g], &entries[group.first + group.count - 1], 0,
                     static_cast<std::uint32_t>(group.count));
        for (std::size_t i = 0; i < group.count; ++i) {
            const std::size_t k = group.first + i;
            std::byte* entry = out + languageDirectory[g] + kResDirectorySize + kResEntrySize * i;
            StoreU32(entry, static_cast<std::uint32_t>(entries[k].language) & 0xFFFF);
            StoreU32(entry + 4, static_cast<std::uint32_t>(dataEntriesStart + kResDataEntrySize * k));
        }
    }

    // Data entries and the resources' bytes.
    for (std::size_t k = 0; k < entries.size(); ++k) {
        std::byte* dataEntry = out + dataEntriesStart + kResDataEntrySize * k;
        StoreU32(dataEntry + kResDataRvaOffset, sectionRva + static_cast<std::uint32_t>(dataOffset[k]));
        StoreU32(dataEntry + kResDataSizeOffset, entries[k].size);
        StoreU32(dataEntry + kResDataCodePageOffset, entries[k].codePage);
        if (entries[k].size == 0) continue;
        if (!entries[k].data.CopyTo({out + dataOffset[k], entries[k].size})) return ResultCode::BadIconSource;
    }

    sectionBuffer = std::move(section);
    sectionSize = static_cast<std::uint32_t>(total);
    return ResultCode::Success;
}

}  // namespace

ResultCode BuildResourceSection(std::vector<std::byte>& sectionBuffer, std::uint32_t& sectionSize,
                                ResourceTable& table, std::uint32_t sectionRva, const OperationHooks& hooks) {
    try {
        return Build(sectionBuffer, sectionSize, table, sectionRva, hooks);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

}  // namespace vorn
