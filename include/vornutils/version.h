// Version information (VS_VERSIONINFO) through the editing library.
//
//   vornutils::VersionChanges changes;
//   changes.fileVersion = vornutils::VersionNumber::Parse("2.1.0.7");
//   changes.strings.push_back({u"CompanyName", u"Example Ltd"});
//   if (auto edited = vornutils::EditVersion(*image, changes); !edited) ...
//
// The resource is a tree that holds all of it: every StringFileInfo with
// every table and string, every VarFileInfo with every Var, and every other
// block of the root. Texts are UTF-16, as the resource stores them, so that
// any resource reads and writes back exactly. Each node keeps the bytes it
// was read from, and a node whose content is unchanged is written back as
// those bytes: an edit touches only what it changes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vornutils/editing.h"

namespace vornutils {

namespace version {

using Raw = std::vector<std::byte>;

// VS_FIXEDFILEINFO.
struct FixedFileInfo {
    std::uint32_t strucVersion = 0x00010000;
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
    std::uint32_t productVersionMS = 0;
    std::uint32_t productVersionLS = 0;
    std::uint32_t fileFlagsMask = 0x3F;  // VS_FFI_FILEFLAGSMASK
    std::uint32_t fileFlags = 0;
    std::uint32_t fileOS = 0;
    std::uint32_t fileType = 0;
    std::uint32_t fileSubtype = 0;
    std::uint32_t fileDateMS = 0;
    std::uint32_t fileDateLS = 0;

    friend bool operator==(const FixedFileInfo&, const FixedFileInfo&) = default;
};

// Equality compares content only, never the bytes a node was read from.
struct VersionString {
    std::u16string key;
    std::u16string value;
    Raw raw;  // the bytes it was read from

    friend bool operator==(const VersionString& a, const VersionString& b) { return a.key == b.key && a.value == b.value; }
};

struct StringTable {
    std::u16string key;  // eight hex digits: language, then code page
    std::vector<VersionString> strings;
    Raw raw;

    // The language and code page the key names; zeros where a digit is none.
    [[nodiscard]] std::uint16_t Language() const;
    [[nodiscard]] std::uint16_t CodePage() const;
    // The string of that key, compared ignoring the case of A-Z.
    VersionString* Find(std::u16string_view name);
    friend bool operator==(const StringTable& a, const StringTable& b) { return a.key == b.key && a.strings == b.strings; }
};

struct Var {
    std::u16string key;
    Raw value;
    Raw raw;

    friend bool operator==(const Var& a, const Var& b) { return a.key == b.key && a.value == b.value; }
};

enum class ChildKind { StringFileInfo, VarFileInfo, Other };

struct RootChild {
    ChildKind kind = ChildKind::Other;
    std::vector<StringTable> tables;  // StringFileInfo
    std::vector<Var> vars;            // VarFileInfo
    Raw raw;                          // Other: the block itself, always written as read

    friend bool operator==(const RootChild& a, const RootChild& b) {
        if (a.kind != b.kind) return false;
        if (a.kind == ChildKind::Other) return a.raw == b.raw;
        return a.tables == b.tables && a.vars == b.vars;
    }
};

struct VersionResource {
    FixedFileInfo fixed;
    std::vector<RootChild> children;
    Raw raw;

    friend bool operator==(const VersionResource& a, const VersionResource& b) {
        return a.fixed == b.fixed && a.children == b.children;
    }
};

inline constexpr char16_t kTranslationKey[] = u"Translation";

// The language and code page pairs of the first "Translation" Var.
std::vector<std::pair<std::uint16_t, std::uint16_t>> Translations(const VersionResource& resource);

// The table Windows shows: the one the first Translation pair names,
// compared ignoring case, else the first table; null without tables.
StringTable* ShownTable(VersionResource& resource);

// Every table of every StringFileInfo, in order.
std::vector<StringTable*> AllTables(VersionResource& resource);

// The first table of `language`, preferring `codePage` when one is given.
StringTable* TableForLanguage(VersionResource& resource, std::uint16_t language, std::optional<std::uint16_t> codePage);

// Adds a table for the pair (to the first StringFileInfo, made when there is
// none) and the pair to the Translation Var (made when there is none).
StringTable& AddTable(VersionResource& resource, std::uint16_t language, std::uint16_t codePage);

// Sets a string, compared by key ignoring ASCII case, or adds it at the end.
void SetString(StringTable& table, std::u16string_view key, std::u16string_view value);
// Removes every string of that key; false when there was none.
bool RemoveString(StringTable& table, std::u16string_view key);

// "%04x%04x": the key of a table for the pair.
std::u16string TableKey(std::uint16_t language, std::uint16_t codePage);

// A complete resource for a file that has none: one table and one
// Translation pair for the language and code page, FileOS VOS_NT_WINDOWS32
// and the given file type.
VersionResource NewVersionResource(std::uint16_t language, std::uint16_t codePage, std::uint32_t fileType);

}  // namespace version

// A version resource of an image, read.
struct VersionEntry {
    ResourceKey key{ResourceId(types::Version), ResourceId(std::uint16_t{1}), 0};
    version::VersionResource resource;
};

// Which version resources an operation works on: by default the one
// Windows shows (GetFileVersionInfo's: name 1, else the first name, in the
// language a neutral lookup finds: neutral, then US English, then the
// first); or the one of `language` (name 1 first); or every one.
struct VersionScope {
    std::optional<std::uint16_t> language;
    bool allLanguages = false;
};

// The version resources of the scope, read; none when the file has none.
// A resource too damaged to read is a BadVersionResource failure.
Result<std::vector<VersionEntry>> ReadVersions(const Image& image, const VersionScope& scope = {});

// A version such as "1.2.3.4": its four numbers, and the text that the
// FileVersion or ProductVersion string gets.
struct VersionNumber {
    std::array<std::uint16_t, 4> parts{};
    std::u16string text;  // as written: "10.7" stays "10.7"

    // One to four numbers 0..65535 joined by dots; "10.7" is 10.7.0.0.
    static std::optional<VersionNumber> Parse(std::string_view text);
};

// An edit of version information: each member that is set changes that
// and nothing else.
struct VersionChanges {
    std::optional<VersionNumber> fileVersion;
    std::optional<VersionNumber> productVersion;
    // The FileVersion and ProductVersion strings follow the versions given,
    // unless this is false. In a resource that is added, the product
    // version follows the file version unless it is given.
    bool versionStrings = true;
    std::optional<std::uint32_t> fileFlags;  // and added to the flags mask
    std::optional<std::uint32_t> fileType;
    struct String {
        std::u16string key;
        std::optional<std::u16string> value;  // none: removed
    };
    std::vector<String> strings;  // applied in order, after the version strings

    // Which resources and tables change. By default the resource and table
    // Windows shows; a file without version information gets a complete one
    // in US English (1033), Unicode. With a language, the resource and table
    // of that language: one the file lacks is a NoVersionResource failure
    // unless `create`, which adds it (code page `codePage`, default 1200).
    // With allLanguages, every table of every version resource.
    VersionScope scope;
    std::optional<std::uint16_t> codePage;
    bool create = false;
};

// Applies the changes to the image's resource set, to be written by its
// commit: true when anything changed. Nothing changes on a failure: every
// resource is laid out before the set is touched.
Result<bool> EditVersion(Image& image, const VersionChanges& changes);

// Writes `entry` as the version resource of its key, or, when the file has
// none of that key, in place of the one `fallback` finds (else adds it).
// What it holds unchanged keeps the bytes it was read from. True when
// anything changed.
Result<bool> WriteVersion(Image& image, VersionEntry entry, const VersionScope& fallback = {});

// Removes the version resources of the scope: their number; none is a
// NoVersionResource failure.
Result<std::size_t> RemoveVersions(Image& image, const VersionScope& scope = {});

}  // namespace vornutils
