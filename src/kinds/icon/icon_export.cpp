#include "kinds/icon/icon_export.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "kinds/icon/icon_set.h"
#include "base/byte_view.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "platform/platform.h"

namespace vorn {

namespace {

bool NameMatches(const ResourceEntry& entry, std::string_view name) {
    if (const auto id = ParseNumericResourceName(name)) return entry.nameId == *id;
    return entry.name && platform::CompareIgnoreAsciiCase(*entry.name, name) == 0;
}

const ResourceEntry* FindGroup(const ResourceTable& table, const char* groupName) {
    for (const ResourceEntry& entry : table.entries) {
        if (entry.typeId != pe::kRtGroupIcon) continue;
        if (groupName == nullptr || *groupName == '\0' || NameMatches(entry, groupName)) return &entry;
    }
    return nullptr;
}

const ResourceEntry* FindImage(const ResourceTable& table, std::int32_t id, std::int32_t language) {
    const ResourceEntry* first = nullptr;
    for (const ResourceEntry& entry : table.entries) {
        if (entry.typeId != pe::kRtIcon || entry.nameId != id) continue;
        if (entry.language == language) return &entry;
        if (first == nullptr) first = &entry;
    }
    return first;
}

ResultCode BuildIco(const ResourceTable& table, const char* groupName, std::uint64_t fileLength,
                    std::vector<std::byte>& ico) {
    if (FindGroup(table, nullptr) == nullptr) return ResultCode::NoIconGroup;
    const ResourceEntry* group = FindGroup(table, groupName);
    if (group == nullptr) return ResultCode::IconSourceNotFound;

    const ByteView view(group->Bytes());
    const auto type = view.U16(kIconTypeOffset);
    const auto count = view.U16(kIconCountOffset);
    if (!type || *type != kIconType || !count || !view.Contains(kIconHeaderSize, std::uint64_t{*count} * kGroupEntrySize)) {
        return ResultCode::NotIconGroup;
    }

    // Every image is found and the total checked before anything is copied:
    // a group may list one large image many times, and the .ico may hold no
    // more image bytes than the file.
    std::vector<const ResourceEntry*> images(*count);
    const std::uint64_t directory = kIconHeaderSize + std::uint64_t{*count} * kFileEntrySize;
    std::uint64_t total = directory;
    for (std::uint32_t i = 0; i < *count; ++i) {
        const std::byte* entry = group->Bytes().data() + kIconHeaderSize + i * kGroupEntrySize;
        images[i] = FindImage(table, LoadU16(entry + kGroupEntryIdOffset), group->language);
        if (images[i] == nullptr) return ResultCode::BadIconSource;
        total += images[i]->size;
        if (total - directory > fileLength) return ResultCode::BadIconSource;
    }

    ico.resize(static_cast<std::size_t>(total));
    std::byte* out = ico.data();
    StoreU16(out, 0);
    StoreU16(out + kIconTypeOffset, kIconType);
    StoreU16(out + kIconCountOffset, *count);
    auto imageOffset = static_cast<std::uint32_t>(kIconHeaderSize + std::uint32_t{*count} * kFileEntrySize);
    for (std::uint32_t i = 0; i < *count; ++i) {
        const std::byte* entry = group->Bytes().data() + kIconHeaderSize + i * kGroupEntrySize;
        std::byte* fileEntry = out + kIconHeaderSize + i * kFileEntrySize;
        std::copy(entry, entry + kGroupEntryIdOffset, fileEntry);
        StoreU32(fileEntry + kEntryImageSizeOffset, images[i]->size);
        StoreU32(fileEntry + kFileEntryImageOffset, imageOffset);
        const auto bytes = images[i]->Bytes();
        std::copy(bytes.begin(), bytes.end(), out + imageOffset);
        imageOffset += images[i]->size;
    }
    return ResultCode::Success;
}

}  // namespace

ResultCode ExportIconGroup(const ResourceTable& table, const char* groupName, std::uint64_t fileLength,
                           std::vector<std::byte>& ico) {
    ico.clear();
    ResultCode code = ResultCode::OutOfMemory;
    try {
        code = BuildIco(table, groupName, fileLength, ico);
    } catch (const std::bad_alloc&) {
    }
    if (code != ResultCode::Success) ico = {};
    return code;
}

}  // namespace vorn
