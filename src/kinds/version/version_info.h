// The in-memory version record: the fixed file information and the strings
// and values of a version resource, as the version exports read, edit and
// write them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "image/image.h"

namespace vorn {

enum class ItemKind : std::int32_t {
    StringItem = 0,  // one String of a StringTable
    VarItem = 1,     // one 32-bit value of a Var
};

struct VersionItem {
    std::string key;    // ANSI; the String's key, or the key of the Var the value came from
    ItemKind kind = ItemKind::StringItem;
    std::string value;  // StringItem: ANSI text
    std::uint32_t varValue = 0;  // VarItem: for "Translation", language low, code page high
    std::uint16_t language = 0;  // StringItem: of its StringTable
    std::uint16_t codePage = 0;
    // False for the items of a second or later StringTable of a
    // StringFileInfo, or of a second or later Var of a VarFileInfo: they are
    // written back but not reported.
    bool reported = true;
    // The StringFileInfo or VarFileInfo block the item came from, counted
    // from 0 in read order. Each is written back as a block of its own, as
    // a later read reports the first table or Var of every block.
    std::int32_t block = 0;
};

inline constexpr std::array<char, 4> kVersionTag = {'V', 'I', '0', '1'};

struct VersionInfo {
    std::array<char, 4> tag = kVersionTag;
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
    std::uint32_t productVersionMS = 0;
    std::uint32_t productVersionLS = 0;
    std::uint32_t fileFlags = 0;
    std::uint32_t fileOS = 0;
    std::uint32_t fileType = 0;
    std::uint32_t fileSubtype = 0;
    std::uint32_t fileDateMS = 0;
    std::uint32_t fileDateLS = 0;
    std::vector<VersionItem> items;
    // Children of the root other than StringFileInfo and VarFileInfo,
    // byte for byte, so that a rewrite drops nothing.
    std::vector<std::vector<std::byte>> otherBlocks;

    [[nodiscard]] std::int32_t itemCount() const { return static_cast<std::int32_t>(items.size()); }
};

inline constexpr std::uint32_t kVosWindows32 = 4;

// A record for a file without version information: the pair as its
// "Translation" (followed by a zero pair when the pair is not zero) and the
// version as its "FileVersion" text. Returns 0 or OutOfMemory.
ResultCode CreateDefaultVersionInfo(VersionInfo& record, std::uint16_t language, std::uint16_t codePage,
                                    std::uint32_t fileVersionMS, std::uint32_t fileVersionLS);

// Replaces the value of the first string of this pair whose key equals `key`
// ignoring ASCII case, or adds a string. Returns 0 or OutOfMemory (the record
// then unchanged).
ResultCode SetVersionString(VersionInfo& record, std::uint16_t language, std::uint16_t codePage,
                            const std::string& key, const std::string& value);

// Releases everything the record holds.
void FreeVersionInfo(VersionInfo& record);

// Reads the first RT_VERSION resource of the file at `path`. Returns 0,
// NoVersionResource, BadVersionResource, TextConversionFailed or a code of
// opening the image; `record` is filled only on 0.
ResultCode LoadVersionInfo(const char* path, VersionInfo& record, ImageKinds kinds = ImageKinds::Pe32Only);

// Parses VS_VERSIONINFO bytes into `record`: 0, BadVersionResource or
// TextConversionFailed (whichever fault comes first); `record` is changed
// only on 0, and keeps its tag.
ResultCode ParseVersionResource(std::span<const std::byte> resource, VersionInfo& record);

// The VS_VERSIONINFO bytes of a record: strings before values, grouped by
// language and code page, keys in alphabetical order. Returns 0,
// BadVersionRecord (no tag, or a block longer than 65535 bytes) or
// TextConversionFailed. Sorts the record's items.
ResultCode SerializeVersionInfo(VersionInfo& record, std::vector<std::byte>& image, const OperationHooks& hooks = {});

// Writes the record into the file's first RT_VERSION resource, or adds one
// (name 1, language 0), and rewrites the file.
ResultCode WriteVersionInfo(const char* path, VersionInfo& record, const ImageAccess& access = {});

}  // namespace vorn
