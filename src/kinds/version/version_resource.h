// A whole VS_VERSIONINFO resource as a tree, for vornres: every
// StringFileInfo with every table and string, every VarFileInfo with every
// Var, and every other child of the root, texts as UTF-16 of any length.
// Each node keeps the bytes it was read from, and a node whose content is
// unchanged is written back as those bytes, so an edit touches only what
// it changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/result_code.h"

namespace vorn::version {

using Raw = std::vector<std::byte>;

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
    Raw raw;

    friend bool operator==(const VersionString& a, const VersionString& b) { return a.key == b.key && a.value == b.value; }
};

struct StringTable {
    std::u16string key;  // eight hex digits: language, then code page
    std::vector<VersionString> strings;
    Raw raw;

    // The language and code page the key names; zeros where a digit is none.
    [[nodiscard]] std::uint16_t Language() const;
    [[nodiscard]] std::uint16_t CodePage() const;
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

// How much damage a read tolerates.
enum class ReadRules {
    // Every block lies inside its parent and every key and text value ends
    // with its NUL inside its block: what is read can be edited in place.
    Whole,
    // The version record's rules, which read what resource writers in the
    // wild get wrong: keys and texts need no NUL; a root child that runs
    // past the resource, or has length 0, ends the walk; the first table or
    // Var of a StringFileInfo or VarFileInfo may run past its parent by up
    // to the parent's own length (later ones that do end the walk); a String
    // may run past its table, and one of length 0 is read as empty and ends
    // the table. A first table or Var longer than that, or a table key of
    // other than 8 digits, is BadVersionResource. Nodes read this way may
    // overlap, so a tree read so is for reading, not for writing back.
    Record,
};

// Reads a VS_VERSIONINFO resource: 0 or BadVersionResource (or OutOfMemory).
// The walk of the root's children runs to the end of the resource, not of
// the root. Under ReadRules::Record a BadVersionResource still leaves in
// `resource` the blocks read before the bad one, so that a reader can tell
// what came first; otherwise `resource` is filled only on 0.
ResultCode ParseVersionTree(std::span<const std::byte> bytes, VersionResource& resource,
                            ReadRules rules = ReadRules::Whole);

// Why a resource cannot be written: a block would pass the 65535 bytes its
// 16-bit length can count. `key` names the block.
struct SerializeFailure {
    std::u16string key;
};

// The bytes of the resource; unchanged nodes are their original bytes.
std::optional<SerializeFailure> SerializeVersionTree(const VersionResource& resource, Raw& bytes);

// Gives the nodes of `to` the bytes that the nodes at the same places in
// `from` were read from, so that what `to` holds unchanged is written as it
// was read (a node whose content differs ignores them).
void LendReadBytes(const VersionResource& from, VersionResource& to);

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

}  // namespace vorn::version
