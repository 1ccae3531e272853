// Icons in the form a resource section stores them: one icon group
// directory (the data of an RT_GROUP_ICON resource) and the bytes of every
// image it lists (one RT_ICON resource each), read from an .ico file or
// from another module's icon group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "format/pe_headers.h"
#include "format/resource_table.h"
#include "platform/file.h"

namespace vorn {

// The header shared by .ico files and icon groups: u16 reserved, u16 type
// (1 for icons), u16 count. Each group entry is 14 bytes: width, height,
// colour count, reserved, u16 planes, u16 bits per pixel, u32 image size,
// u16 icon id. An .ico file entry has the same first 12 bytes, then a u32
// file offset of the image.
inline constexpr std::uint32_t kIconHeaderSize = 6;
inline constexpr std::uint32_t kIconTypeOffset = 2;
inline constexpr std::uint32_t kIconCountOffset = 4;
inline constexpr std::uint16_t kIconType = 1;
inline constexpr std::uint32_t kGroupEntrySize = 14;
inline constexpr std::uint32_t kFileEntrySize = 16;
inline constexpr std::uint32_t kEntryImageSizeOffset = 8;
inline constexpr std::uint32_t kGroupEntryIdOffset = 12;
inline constexpr std::uint32_t kFileEntryImageOffset = 12;

struct IconImage {
    std::vector<std::byte> imageData;
    // Of an image left in the set's source file: where it lies there and how
    // long it is; imageData is then empty.
    std::uint64_t sourceOffset = 0;
    std::uint32_t sourceSize = 0;

    [[nodiscard]] std::uint32_t imageSize() const {
        return imageData.empty() ? sourceSize : static_cast<std::uint32_t>(imageData.size());
    }
};

struct IconSet {
    // The header and the 14-byte entries. The icon ids in it mean nothing
    // until a replacement writes the target's ids into it.
    std::vector<std::byte> groupData;
    std::vector<IconImage> images;  // one per entry, in entry order
    // The .ico file of images read only when the section is built.
    std::shared_ptr<File> source;

    [[nodiscard]] std::uint32_t groupSize() const { return static_cast<std::uint32_t>(groupData.size()); }
    [[nodiscard]] std::uint32_t imageCount() const { return static_cast<std::uint32_t>(images.size()); }
};

// Fills `set` from an .ico file. IconSourceNotFound: the file cannot be
// opened. BadIconSource: the header is short or not of type 1, the
// directory or an image lies (partly) outside the file, or the images hold
// more bytes than the file. On failure the set is empty.
// With `leaveImages`, the images are checked the same way but stay in the
// file, which the set keeps open: the section builder reads each straight
// into its place, so a large icon is held in memory once, not twice.
ResultCode ReadIconFile(IconSet& set, const char* path, bool leaveImages = false);

// Fills `set` from the module's icon group `groupName` ("#12" for id 12), or
// its first group when `groupName` is null. IconSourceNotFound: the module
// cannot be mapped, has no such group, or lacks an image the group lists.
// BadIconSource: the group is not of type 1 or shorter than its count says,
// or it lists one image more than once.
// An image that its group says is larger than its RT_ICON resource is copied
// as the resource holds it and its entry's size corrected. With a null name
// the module is also opened as an image of `kinds` to find its first group,
// whose codes are passed on.
ResultCode ReadModuleIconGroup(IconSet& set, const char* path, const char* groupName,
                               ImageKinds kinds = ImageKinds::Pe32Only);

// The name of the file's first icon group in directory order, "#12" for a
// numeric one; empty when there is none. Codes of OpenImageForEdit.
ResultCode FindFirstIconGroupName(const char* path, std::string& name, ImageKinds kinds = ImageKinds::Pe32Only);

#if defined(_WIN32)
// Every icon group of the file in directory order, one name per language
// variant, added to a list box.
ResultCode ListIconGroups(const char* path, void* listBox);
#endif

// The name a group is listed and found by: its text, or "#12" for id 12.
std::string IconGroupName(const ResourceEntry& entry);

void ReleaseIconSet(IconSet& set);

}  // namespace vorn
