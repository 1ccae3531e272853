#include <array>
#include <unordered_set>

#include "kinds/icon/icon_set.h"
#include "base/byte_view.h"
#include "image/data_module.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace vorn {

std::string IconGroupName(const ResourceEntry& entry) {
    if (entry.nameId == -1 && entry.name) return *entry.name;
    return NumericResourceName(entry.nameId);
}

namespace {


// Calls `take` with the name of every icon group of the file, in directory
// order, until it answers false.
template <class Take>
ResultCode ForEachIconGroup(const char* path, ImageKinds kinds, Take&& take) {
    Image image;
    if (const ResultCode code = OpenImageForEdit(path, image, true, kinds); code != ResultCode::Success) return code;
    for (const ResourceEntry& entry : image.table.entries) {
        if (entry.typeId == pe::kRtGroupIcon && !take(IconGroupName(entry))) break;
    }
    CloseImage(image);
    return ResultCode::Success;
}

ResultCode ReadIconFileInto(IconSet& set, const char* path, bool leaveImages) {
    auto file = File::Open(path, File::Mode::Read);
    if (!file) return ResultCode::IconSourceNotFound;
    const auto length = file->Length();
    std::array<std::byte, kIconHeaderSize> header{};
    if (!length || !file->ReadAt(0, header) || LoadU16(header.data() + kIconTypeOffset) != kIconType) {
        return ResultCode::BadIconSource;
    }
    const std::uint32_t count = LoadU16(header.data() + kIconCountOffset);

    // The directory and every image must lie inside the file, checked
    // before anything of their sizes is allocated.
    if (!Fits(kIconHeaderSize, std::uint64_t{count} * kFileEntrySize, *length)) return ResultCode::BadIconSource;
    std::vector<std::byte> directory(std::size_t{count} * kFileEntrySize);
    if (!file->ReadAt(kIconHeaderSize, directory)) return ResultCode::BadIconSource;
    // Entries that share image bytes would make the set larger than the file.
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::byte* entry = directory.data() + i * kFileEntrySize;
        const std::uint32_t size = LoadU32(entry + kEntryImageSizeOffset);
        total += size;
        if (!Fits(LoadU32(entry + kFileEntryImageOffset), size, *length) || total > *length) {
            return ResultCode::BadIconSource;
        }
    }

    set.groupData.resize(kIconHeaderSize + std::size_t{count} * kGroupEntrySize);
    std::copy(header.begin(), header.end(), set.groupData.begin());
    set.images.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::byte* entry = directory.data() + i * kFileEntrySize;
        // The first 14 bytes become the group entry; its id field holds the
        // low half of the file offset until the target's id replaces it.
        std::copy(entry, entry + kGroupEntrySize, set.groupData.begin() + kIconHeaderSize + i * kGroupEntrySize);
        IconImage& image = set.images[i];
        image.sourceOffset = LoadU32(entry + kFileEntryImageOffset);
        image.sourceSize = LoadU32(entry + kEntryImageSizeOffset);
        if (leaveImages) continue;
        image.imageData.resize(image.sourceSize);
        if (!file->ReadAt(image.sourceOffset, image.imageData)) return ResultCode::BadIconSource;
    }
    if (leaveImages) set.source = std::make_shared<File>(std::move(*file));
    return ResultCode::Success;
}

ResultCode ReadModuleIconGroupInto(IconSet& set, const char* path, const char* groupName, ImageKinds kinds) {
    const DataModuleHandle module = LoadDataModule(path);
    if (!module) return ResultCode::IconSourceNotFound;
    std::string name;
    if (groupName != nullptr) {
        name = groupName;
    } else if (const ResultCode code = FindFirstIconGroupName(path, name, kinds); code != ResultCode::Success) {
        return code;
    }
    const auto group = name.empty() ? std::nullopt : FindModuleResource(*module, name.c_str(), pe::kRtGroupIcon);
    if (!group) return ResultCode::IconSourceNotFound;
    const ByteView view(*group);
    const auto type = view.U16(kIconTypeOffset);
    const auto count = view.U16(kIconCountOffset);
    if (!type || *type != kIconType || !count || !view.Contains(kIconHeaderSize, std::uint64_t{*count} * kGroupEntrySize)) {
        return ResultCode::BadIconSource;
    }

    set.groupData.assign(group->begin(), group->end());
    set.images.resize(*count);
    // The set may hold each image the module holds once: a group that lists
    // one image many times would otherwise copy it without bound.
    std::uint64_t total = 0;
    std::uint64_t held = 0;
    std::unordered_set<const std::byte*> seen;
    for (std::uint32_t i = 0; i < *count; ++i) {
        std::byte* entry = set.groupData.data() + kIconHeaderSize + i * kGroupEntrySize;
        const std::string id = NumericResourceName(LoadU16(entry + kGroupEntryIdOffset));
        const auto image = FindModuleResource(*module, id.c_str(), pe::kRtIcon);
        if (!image) return ResultCode::IconSourceNotFound;
        std::uint32_t size = LoadU32(entry + kEntryImageSizeOffset);
        if (size > image->size()) {
            size = static_cast<std::uint32_t>(image->size());
            StoreU32(entry + kEntryImageSizeOffset, size);
        }
        if (seen.insert(image->data()).second) held += image->size();
        total += size;
        if (total > held) return ResultCode::BadIconSource;
        set.images[i].imageData.assign(image->begin(), image->begin() + size);
    }
    return ResultCode::Success;
}

}  // namespace

ResultCode ReadIconFile(IconSet& set, const char* path, bool leaveImages) {
    ReleaseIconSet(set);
    const ResultCode code = ReadIconFileInto(set, path, leaveImages);
    if (code != ResultCode::Success) ReleaseIconSet(set);
    return code;
}

ResultCode ReadModuleIconGroup(IconSet& set, const char* path, const char* groupName, ImageKinds kinds) {
    ReleaseIconSet(set);
    const ResultCode code = ReadModuleIconGroupInto(set, path, groupName, kinds);
    if (code != ResultCode::Success) ReleaseIconSet(set);
    return code;
}

ResultCode FindFirstIconGroupName(const char* path, std::string& name, ImageKinds kinds) {
    name.clear();
    return ForEachIconGroup(path, kinds, [&](std::string group) {
        name = std::move(group);
        return false;
    });
}

#if defined(_WIN32)
ResultCode ListIconGroups(const char* path, void* listBox) {
    return ForEachIconGroup(path, ImageKinds::Pe32Only, [&](const std::string& group) {
        platform::AddListBoxString(listBox, group.c_str());
        return true;
    });
}
#endif

void ReleaseIconSet(IconSet& set) {
    set.groupData = {};
    set.images = {};
    set.source.reset();
}

}  // namespace vorn
