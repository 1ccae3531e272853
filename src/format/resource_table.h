// The flat table of leaf resources that a resource directory is read into,
// edited as, and rebuilt from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"
#include "base/operation_hooks.h"

namespace vorn {

class File;

// A resource or type name. All records that came from one directory entry
// share one string, so a pointer comparison tells whether two records belong
// to the same named group. Null for numbered names and types.
using ResourceName = std::shared_ptr<const std::string>;

// The bytes of one resource. Copies share them, and whoever holds one keeps
// them alive: a block of their own, a part of a block shared with other
// entries (the section they were read from), or a range of an open file,
// read only as the section is built, straight into its place.
class ResourceData {
public:
    ResourceData() = default;
    explicit ResourceData(std::vector<std::byte> bytes);
    ResourceData(std::shared_ptr<const std::vector<std::byte>> block, std::span<const std::byte> part);
    ResourceData(std::shared_ptr<File> file, std::uint64_t offset, std::uint32_t size);

    // No bytes were given (a default ResourceData).
    [[nodiscard]] bool Empty() const { return owner_ == nullptr; }
    [[nodiscard]] bool InFile() const { return file_ != nullptr; }
    [[nodiscard]] std::uint32_t Size() const { return size_; }
    // The bytes in memory; empty for a range of a file.
    [[nodiscard]] std::span<const std::byte> Bytes() const { return {bytes_, file_ ? 0 : size_}; }
    // Copies the bytes out, reading a range of a file; false when it cannot
    // be read or `out` is not Size() bytes.
    [[nodiscard]] bool CopyTo(std::span<std::byte> out) const;

private:
    std::shared_ptr<const void> owner_;
    const std::byte* bytes_ = nullptr;
    File* file_ = nullptr;
    std::uint64_t offset_ = 0;
    std::uint32_t size_ = 0;
};

struct ResourceEntry {
    std::int32_t ordinal = 0;  // place in load order; added records take the smallest free value
    std::int32_t nameId = 0;   // -1 when the name is a string
    ResourceName name;
    std::int32_t typeId = 0;  // -1 when the type is a string
    ResourceName typeName;
    std::int32_t language = 0;
    std::uint32_t codePage = 0;
    std::uint32_t size = 0;  // of `data`, set with it by SetData
    // Of the directory that holds the data entry.
    std::uint32_t characteristics = 0;
    std::uint32_t timeDateStamp = 0;
    std::uint16_t majorVersion = 0;
    std::uint16_t minorVersion = 0;
    std::int32_t deleted = 0;  // 1: dropped by the next sort and trim
    ResourceData data;

    void SetData(ResourceData bytes) {
        size = bytes.Size();
        data = std::move(bytes);
    }
    [[nodiscard]] std::span<const std::byte> Bytes() const { return data.Bytes(); }
};

struct ResourceTable {
    std::int32_t typeCount = 0;  // type entries loaded plus types added; never lowered
    std::int32_t hasIcons = 0;   // an RT_ICON record was loaded or added
    std::int32_t hasVersion = 0; // an RT_VERSION record was loaded or added
    std::vector<ResourceEntry> entries;

    [[nodiscard]] std::int32_t entryCount() const { return static_cast<std::int32_t>(entries.size()); }
};

// The level of a resource tree whose entries lead to data: type (0), name
// (1), language (2).
inline constexpr int kLanguageLevel = 2;

// Flattens the resource directory at the start of `resourceBytes` into
// `table`, depth first in directory order; the entries share those bytes. Returns 0, OutOfMemory or
// BadResourceData, which includes directories or names that together claim
// more bytes than the section holds (they must overlap), records whose data
// claim more than four times its bytes, and every tree that could not be
// rebuilt with each resource under its own type, name and language: data
// above the language level or a directory below it, a named language, an
// empty or unconvertible name, an id above 65535. On failure the records
// read so far stay in the table.
ResultCode LoadResourceTable(const std::shared_ptr<const std::vector<std::byte>>& resourceBytes, ResourceTable& table,
                             std::uint32_t resourceRva);

// The same over a copy of `resourceBytes`.
ResultCode LoadResourceTable(std::span<const std::byte> resourceBytes, ResourceTable& table, std::uint32_t resourceRva);

// Drops every record and string and zeroes the header.
void ReleaseResourceTable(ResourceTable& table);

// Appends a record of numeric type `typeId`, all other fields zero, with the
// smallest ordinal no other record holds. Returns 0 or OutOfMemory (the table
// then unchanged).
ResultCode AddResourceEntry(ResourceTable& table, std::int32_t typeId);

// "#12": the form in which the resource functions take numeric name 12.
std::string NumericResourceName(std::int32_t id);
// The id of such a name: "#" and decimal digits, at most 65535 (leading
// zeros allowed); nullopt for any other text.
std::optional<std::uint16_t> ParseNumericResourceName(std::string_view name);

// The order in which a resource directory must list names for the loader's
// binary search to find them: UTF-16 code units with a-z folded to upper
// case. Folding to lower case instead misplaces names holding one of
// "[\]^_`", which lie between the two.
int CompareResourceNames(std::string_view a, std::string_view b);

// How the loader ranks the languages of one resource when no language is
// asked for: neutral first, then US English (1033) as on an English system,
// then the rest, of which it takes the first in directory order. Lower is
// preferred.
constexpr int LoaderLanguageRank(std::int32_t language) { return language == 0 ? 0 : language == 1033 ? 1 : 2; }

// Puts the table into directory order, deleted records last.
void SortResourceTable(std::span<ResourceEntry> entries, const OperationHooks& hooks = {});

}  // namespace vorn
