#include "kinds/icon/icon_replace.h"

#include <algorithm>
#include <array>
#include <optional>

#include "base/byte_view.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "platform/platform.h"
#include "image/image_rewrite.h"

namespace vorn {

namespace {

constexpr std::uint32_t kMaxIconId = 0xFFFF;
constexpr std::int32_t kNewGroupLanguage = 1033;

// The first icon group of that name, and of that language when one is given.
ResourceEntry* FindGroup(ResourceTable& table, std::int32_t nameId, const std::string* name,
                         std::optional<std::int32_t> language = std::nullopt) {
    const auto found = std::find_if(table.entries.begin(), table.entries.end(), [&](const ResourceEntry& entry) {
        if (entry.typeId != pe::kRtGroupIcon || entry.nameId != nameId) return false;
        if (language && entry.language != *language) return false;
        if (name == nullptr) return !entry.name;
        return entry.name && platform::CompareIgnoreAsciiCase(*entry.name, *name) == 0;
    });
    return found == table.entries.end() ? nullptr : &*found;
}

bool IsIconId(const ResourceEntry& entry) {
    return entry.typeId == pe::kRtIcon && entry.nameId >= 0 && static_cast<std::uint32_t>(entry.nameId) <= kMaxIconId;
}

}  // namespace

ResultCode ReplaceIconGroup(ResourceTable& table, std::int32_t groupNameId, const std::string* groupName, IconSet& set,
                            const OperationHooks& hooks) {
    const ResourceEntry* group = FindGroup(table, groupNameId, groupName);
    if (group == nullptr) return ResultCode::NoIconGroup;
    const ByteView old(group->Bytes());
    const auto type = old.U16(kIconTypeOffset);
    const auto count = old.U16(kIconCountOffset);
    if (!type || *type != kIconType || !count || !old.Contains(kIconHeaderSize, std::uint64_t{*count} * kGroupEntrySize)) {
        return ResultCode::NotIconGroup;
    }

    // The images the group lists go, in every language, even where another
    // group lists them too.
    std::vector<bool> listed(kMaxIconId + 1);
    for (std::uint32_t i = 0; i < *count; ++i) {
        listed[LoadU16(old.bytes().data() + kIconHeaderSize + i * kGroupEntrySize + kGroupEntryIdOffset)] = true;
    }
    std::size_t marked = 0;
    for (ResourceEntry& entry : table.entries) {
        if (IsIconId(entry) && listed[static_cast<std::size_t>(entry.nameId)]) {
            entry.deleted = 1;
            ++marked;
        }
    }
    // The sort puts languages in order, which a damaged directory need not
    // have held: the group found again must be the one whose images went.
    const std::int32_t language = group->language;
    SortResourceTable(table.entries, hooks);
    table.entries.resize(table.entries.size() - marked);

    // The smallest positive ids no remaining image uses, ascending.
    std::vector<bool> used(kMaxIconId + 1);
    for (const ResourceEntry& entry : table.entries) {
        if (IsIconId(entry)) used[static_cast<std::size_t>(entry.nameId)] = true;
    }
    std::vector<std::uint16_t> ids;
    ids.reserve(set.imageCount());
    std::uint32_t candidate = 1;
    for (std::uint32_t i = 0; i < set.imageCount(); ++i) {
        while (candidate <= kMaxIconId && used[candidate]) ++candidate;
        if (candidate > kMaxIconId) return ResultCode::BadResourceData;
        ids.push_back(static_cast<std::uint16_t>(candidate++));
    }

    table.entries.reserve(table.entries.size() + set.imageCount());
    // The sort may have moved the group.
    ResourceEntry* moved = FindGroup(table, groupNameId, groupName, language);
    if (moved == nullptr) return ResultCode::NoIconGroup;
    for (std::uint32_t i = 0; i < set.imageCount(); ++i) {
        ResourceEntry image;
        image.ordinal = table.entryCount();
        image.nameId = ids[i];
        image.typeId = pe::kRtIcon;
        image.language = moved->language;
        image.codePage = moved->codePage;
        image.characteristics = moved->characteristics;
        image.timeDateStamp = moved->timeDateStamp;
        image.majorVersion = moved->majorVersion;
        image.minorVersion = moved->minorVersion;
        if (set.source && set.images[i].imageData.empty()) {
            image.SetData(ResourceData(set.source, set.images[i].sourceOffset, set.images[i].sourceSize));
        } else {
            image.SetData(ResourceData(std::move(set.images[i].imageData)));
        }
        table.entries.push_back(std::move(image));
        StoreU16(set.groupData.data() + kIconHeaderSize + i * kGroupEntrySize + kGroupEntryIdOffset, ids[i]);
    }
    moved->SetData(ResourceData(set.groupData));
    SortResourceTable(table.entries, hooks);
    return ResultCode::Success;
}

ResultCode ReplaceMainIconGroup(Image& image, IconSet& set, const ImageAccess& access) {
    const auto isGroup = [](const ResourceEntry& entry) { return entry.typeId == pe::kRtGroupIcon; };
    auto main = std::find_if(image.table.entries.begin(), image.table.entries.end(), isGroup);
    // An empty group 1, for a file that has none, that the set then fills.
    static constexpr std::array<std::byte, kIconHeaderSize> kEmptyGroup = {std::byte{0}, std::byte{0}, std::byte{kIconType}};
    if (main == image.table.entries.end() && access.createResources) {
        if (const ResultCode added = AddResourceEntry(image.table, pe::kRtGroupIcon); added != ResultCode::Success) {
            return added;
        }
        main = image.table.entries.end() - 1;
        main->nameId = 1;
        main->language = kNewGroupLanguage;
        main->SetData(ResourceData(std::vector<std::byte>(kEmptyGroup.begin(), kEmptyGroup.end())));
    }
    if (main == image.table.entries.end()) return ResultCode::NoIconGroup;
    const std::int32_t nameId = main->nameId;
    const ResourceName name = main->name;
    return ReplaceIconGroup(image.table, nameId, name.get(), set, access.hooks);
}

ResultCode ReplaceMainIcon(const char* targetPath, const char* sourcePath, std::int32_t sourceKind,
                           const char* groupName, const ImageAccess& access) {
    IconSet set;
    Image image;
    if (const ResultCode code = OpenImageForEditing(targetPath, image, access); code != ResultCode::Success) return code;

    ResultCode code = ResultCode::BadSourceKind;
    if (sourceKind == IconSourceFile) code = ReadIconFile(set, sourcePath, access.leaveIconImages);
    if (sourceKind == IconSourceModule) code = ReadModuleIconGroup(set, sourcePath, groupName, access.kinds);
    if (code != ResultCode::Success) return code;

    code = ReplaceMainIconGroup(image, set, access);
    if (code != ResultCode::Success) return code;
    return CommitResources(image, access.hooks);
}

}  // namespace vorn
