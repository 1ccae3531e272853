#include "tool/version_command.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>

#include "kinds/icon/icon_replace.h"
#include "base/byte_view.h"
#include "format/pe_format.h"
#include "platform/platform.h"
#include "image/image_rewrite.h"
#include "image/safe_commit.h"
#include "tool/tool.h"
#include "kinds/version/version_resource.h"

namespace vorn::tool {

using version::FixedFileInfo;
using version::StringTable;
using version::VersionResource;

namespace {

constexpr std::uint16_t kEnglishUs = 1033;
constexpr std::uint16_t kUnicodeCodePage = 1200;
constexpr std::uint32_t kVftApp = 1;
constexpr std::uint32_t kVftDll = 2;
constexpr std::int32_t kVersionResourceName = 1;  // VS_VERSION_INFO

struct Named {
    const char* name;
    std::uint32_t value;
};
constexpr Named kFlagNames[] = {{"debug", 0x01},        {"prerelease", 0x02},   {"patched", 0x04},
                                {"privatebuild", 0x08}, {"infoinferred", 0x10}, {"specialbuild", 0x20}};
constexpr Named kTypeNames[] = {{"unknown", 0}, {"app", 1}, {"dll", 2},        {"drv", 3},
                                {"font", 4},    {"vxd", 5}, {"static-lib", 7}};
constexpr Named kOsNames[] = {{"VOS_NT_WINDOWS32", 0x40004}, {"VOS__WINDOWS32", 0x4}, {"VOS_NT", 0x40000},
                              {"VOS_DOS_WINDOWS32", 0x10004}, {"VOS_UNKNOWN", 0}};

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFF) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// One to four numbers 0..65535 separated by dots; "10.7" is 10.7.0.0.
std::optional<std::array<std::uint16_t, 4>> ParseVersionNumbers(std::string_view text) {
    std::array<std::uint16_t, 4> parts{};
    std::size_t count = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (count == parts.size() || part.empty() || part.size() > 5 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        const auto value = ParseNumber(part);
        if (!value || *value > 0xFFFF) return std::nullopt;
        parts[count++] = static_cast<std::uint16_t>(*value);
        if (dot == std::string_view::npos) return parts;
        text.remove_prefix(dot + 1);
    }
}

// Comma-separated flag names, or a number.
std::optional<std::uint32_t> ParseFlags(std::string_view text) {
    if (const auto number = ParseNumber(text)) return number;
    std::uint32_t flags = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        const auto found = std::find_if(std::begin(kFlagNames), std::end(kFlagNames), [&](const Named& n) {
            return platform::CompareIgnoreAsciiCase(n.name, name) == 0;
        });
        if (found == std::end(kFlagNames)) return std::nullopt;
        flags |= found->value;
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    return flags;
}

std::optional<std::uint32_t> ParseType(std::string_view text) {
    if (const auto number = ParseNumber(text)) return number;
    for (const Named& n : kTypeNames) {
        if (platform::CompareIgnoreAsciiCase(n.name, text) == 0) return n.value;
    }
    return std::nullopt;
}

std::string VersionText(std::uint32_t ms, std::uint32_t ls) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
    return text;
}

std::optional<std::u16string> Wide(std::string_view ansi) { return platform::AnsiToWide(ansi); }

// ---- Which resource ----------------------------------------------------

bool IsVersion(const ResourceEntry& e) { return e.typeId == pe::kRtVersion; }

// The resource the loader finds for GetFileVersionInfo: name 1 (else the
// first name), in the language a neutral request finds: neutral, then
// 1033 as on an English system, then the first.
std::optional<std::size_t> ShownEntry(const ResourceTable& table) {
    std::optional<std::size_t> best;
    int bestRank = 100;
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const ResourceEntry& e = table.entries[i];
        if (!IsVersion(e)) continue;
        const int nameRank = (!e.name && e.nameId == kVersionResourceName) ? 0 : 1;
        const int languageRank = LoaderLanguageRank(e.language);
        const int rank = nameRank * 10 + languageRank;
        // The first other name only: the loader never looks at the rest.
        if (nameRank == 1 && best && table.entries[*best].nameId != e.nameId) continue;
        if (rank < bestRank) {
            best = i;
            bestRank = rank;
        }
    }
    return best;
}

std::optional<std::size_t> EntryForLanguage(const ResourceTable& table, std::uint16_t language) {
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const ResourceEntry& e = table.entries[i];
        if (!IsVersion(e) || e.language != language) continue;
        if (!e.name && e.nameId == kVersionResourceName) return i;
        if (!found) found = i;
    }
    return found;
}

// One version resource an edit works on.
struct Target {
    std::optional<std::size_t> entry;  // none: to be added
    std::int32_t nameId = kVersionResourceName;
    ResourceName name;
    std::int32_t language = 0;
    VersionResource resource;
    bool removed = false;  // --delete
    std::vector<std::byte> bytes;  // what is written
};

// ---- Showing ------------------------------------------------------------

const char* NameOf(const Named* begin, const Named* end, std::uint32_t value) {
    const auto found = std::find_if(begin, end, [&](const Named& n) { return n.value == value; });
    return found == end ? nullptr : found->name;
}

std::string Hex(const version::Raw& bytes) {
    std::string hex;
    for (const std::byte b : bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", std::to_integer<unsigned>(b));
        hex += digits;
    }
    return hex;
}

// Values whose length is a multiple of 4 as pairs of 16-bit words, as
// Translation holds language and code page; others as hex.
Json VarJson(const version::Var& var) {
    Json out = {{"var", WideToUtf8(var.key)}};
    if (var.value.size() % 4 == 0) {
        Json values = Json::array();
        for (std::size_t at = 0; at < var.value.size(); at += 4) {
            values.push_back({LoadU16(var.value.data() + at), LoadU16(var.value.data() + at + 2)});
        }
        out["values"] = values;
    } else {
        out["hex"] = Hex(var.value);
    }
    return out;
}

std::optional<version::Raw> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    version::Raw bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto value = ParseNumber(std::string("0x") + std::string(hex.substr(i, 2)));
        if (!value) return std::nullopt;
        bytes.push_back(static_cast<std::byte>(*value));
    }
    return bytes;
}

Json VersionJson(const Target& target) {
    const VersionResource& r = target.resource;
    const FixedFileInfo& f = r.fixed;
    Json out = {{"resource", {{"name", IdOrName(target.nameId, target.name)}, {"language", target.language}}},
                {"fileVersion", VersionText(f.fileVersionMS, f.fileVersionLS)},
                {"productVersion", VersionText(f.productVersionMS, f.productVersionLS)},
                {"fileFlagsMask", f.fileFlagsMask},
                {"fileFlags", f.fileFlags},
                {"fileOS", f.fileOS},
                {"fileType", f.fileType},
                {"fileSubtype", f.fileSubtype},
                {"fileDate", (std::uint64_t{f.fileDateMS} << 32) | f.fileDateLS}};
    if (f.strucVersion != FixedFileInfo{}.strucVersion) out["strucVersion"] = f.strucVersion;
    Json blocks = Json::array();
    for (const version::RootChild& child : r.children) {
        if (child.kind == version::ChildKind::StringFileInfo) {
            Json tables = Json::array();
            for (const StringTable& table : child.tables) {
                Json strings = Json::object();
                for (const version::VersionString& s : table.strings) {
                    const std::string key = WideToUtf8(s.key);
                    if (!strings.contains(key)) strings[key] = WideToUtf8(s.value);
                }
                tables.push_back({{"table", WideToUtf8(table.key)}, {"strings", strings}});
            }
            blocks.push_back({{"StringFileInfo", tables}});
        } else if (child.kind == version::ChildKind::VarFileInfo) {
            Json vars = Json::array();
            for (const version::Var& var : child.vars) vars.push_back(VarJson(var));
            blocks.push_back({{"VarFileInfo", vars}});
        } else {
            blocks.push_back({{"other", Hex(child.raw)}});
        }
    }
    out["blocks"] = blocks;
    return out;
}

void PrintText(const std::string& file, const Target* target) {
    std::printf("%s\n", file.c_str());
    if (target == nullptr) {
        std::printf("  no version information\n");
        return;
    }
    const FixedFileInfo& f = target->resource.fixed;
    const std::string name = target->nameId == -1 && target->name ? "\"" + *target->name + "\"" : std::to_string(target->nameId);
    std::printf("  %-17s name %s, language %d (0x%04X)\n", "resource", name.c_str(), target->language,
                static_cast<unsigned>(target->language));
    std::printf("  %-17s %s\n", "file version", VersionText(f.fileVersionMS, f.fileVersionLS).c_str());
    std::printf("  %-17s %s\n", "product version", VersionText(f.productVersionMS, f.productVersionLS).c_str());
    std::string flags;
    for (const Named& n : kFlagNames) {
        if ((f.fileFlags & n.value) != 0) flags += std::string(flags.empty() ? " (" : ", ") + n.name;
    }
    if (!flags.empty()) flags += ")";
    std::printf("  %-17s 0x%08X%s, mask 0x%08X\n", "flags", f.fileFlags, flags.c_str(), f.fileFlagsMask);
    const char* os = NameOf(std::begin(kOsNames), std::end(kOsNames), f.fileOS);
    std::printf("  %-17s 0x%08X%s%s%s\n", "OS", f.fileOS, os ? " (" : "", os ? os : "", os ? ")" : "");
    const char* type = NameOf(std::begin(kTypeNames), std::end(kTypeNames), f.fileType);
    std::printf("  %-17s %u%s%s%s, subtype %u\n", "type", f.fileType, type ? " (" : "", type ? type : "", type ? ")" : "",
                f.fileSubtype);
    std::printf("  %-17s 0x%08X%08X\n", "date", f.fileDateMS, f.fileDateLS);
    for (const version::RootChild& child : target->resource.children) {
        for (const StringTable& table : child.tables) {
            std::printf("  string table %s (language %u, code page %u)\n", ToDisplay(table.key).c_str(), table.Language(),
                        table.CodePage());
            for (const version::VersionString& s : table.strings) {
                std::printf("    %-18s %s\n", ToDisplay(s.key).c_str(), ToDisplay(s.value).c_str());
            }
        }
        for (const version::Var& var : child.vars) {
            std::printf("  var %-13s", ToDisplay(var.key).c_str());
            const MemoryReserve memory;
            const Json values = VarJson(var);
            if (values.contains("values")) {
                for (const Json& pair : values["values"]) {
                    std::printf(" %u/%u", pair[0].get<unsigned>(), pair[1].get<unsigned>());
                }
            } else {
                std::printf(" %s", values["hex"].get<std::string>().c_str());
            }
            std::printf("\n");
        }
        if (child.kind == version::ChildKind::Other) std::printf("  other block       %zu bytes\n", child.raw.size());
    }
}

// ---- Reading JSON ------------------------------------------------------

// What --from-json takes is exactly what --json writes: every member it
// writes, of the type it writes, and nothing else, so that a document cut
// short or mistyped is refused rather than written as empty or zero
// information. A failure names the path of the member.
struct JsonError {
    std::string message;
};

[[noreturn]] void Wrong(const std::string& path, std::string_view what) {
    throw JsonError{path + " " + std::string(what)};
}

// `value` at `path` as an object holding every one of `required` and nothing
// outside `required` and `optional`.
const Json& JsonObject(const Json& value, const std::string& path, std::initializer_list<std::string_view> required,
                       std::initializer_list<std::string_view> optional = {}) {
    if (!value.is_object()) Wrong(path, "is not an object");
    const auto known = [](std::initializer_list<std::string_view> keys, std::string_view key) {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
    const auto member = [&](std::string_view key) { return (path.empty() ? "" : path + ".") + std::string(key); };
    for (const auto& [key, content] : value.items()) {
        if (!known(required, key) && !known(optional, key)) Wrong(member(key), "is not a member --json writes");
    }
    for (const std::string_view key : required) {
        if (!value.contains(key)) Wrong(member(key), "is missing");
    }
    return value;
}

const Json& JsonArray(const Json& value, const std::string& path) {
    if (!value.is_array()) Wrong(path, "is not an array");
    return value;
}

std::string Index(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

std::u16string JsonText(const Json& value, const std::string& path) {
    if (!value.is_string()) Wrong(path, "is not a string");
    auto wide = Utf8ToWide(value.get<std::string>());
    if (!wide) Wrong(path, "is not UTF-8");
    return *wide;
}

std::uint64_t JsonNumber(const Json& value, const std::string& path, std::uint64_t maximum) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > maximum) {
        Wrong(path, "is not a number from 0 to " + std::to_string(maximum));
    }
    return value.get<std::uint64_t>();
}

std::uint32_t JsonU32(const Json& value, const std::string& path) {
    return static_cast<std::uint32_t>(JsonNumber(value, path, 0xFFFFFFFF));
}

void JsonVersion(const Json& value, const std::string& path, std::uint32_t& ms, std::uint32_t& ls) {
    const auto parts = value.is_string() ? ParseVersionNumbers(value.get<std::string>()) : std::nullopt;
    if (!parts) Wrong(path, "is not a version such as \"1.2.3.4\"");
    ms = (std::uint32_t{(*parts)[0]} << 16) | (*parts)[1];
    ls = (std::uint32_t{(*parts)[2]} << 16) | (*parts)[3];
}

version::Raw JsonHex(const Json& value, const std::string& path) {
    auto bytes = value.is_string() ? FromHex(value.get<std::string>()) : std::nullopt;
    if (!bytes) Wrong(path, "is not a string of hex digit pairs");
    return *bytes;
}

StringTable JsonTable(const Json& value, const std::string& path) {
    JsonObject(value, path, {"table", "strings"});
    StringTable table;
    table.key = JsonText(value["table"], path + ".table");
    if (table.key.size() != 8) Wrong(path + ".table", "is not eight hex digits");
    const std::string stringsPath = path + ".strings";
    const Json& strings = value["strings"];
    if (!strings.is_object()) Wrong(stringsPath, "is not an object");
    for (const auto& [key, text] : strings.items()) {
        const std::string at = stringsPath + "[\"" + key + "\"]";
        table.strings.push_back({JsonText(key, at), JsonText(text, at), {}});
    }
    return table;
}

version::Var JsonVar(const Json& value, const std::string& path) {
    if (value.is_object() && value.contains("values") == value.contains("hex")) {
        Wrong(path, value.contains("hex") ? "has both values and hex" : "has neither values nor hex");
    }
    JsonObject(value, path, {"var", value.contains("values") ? "values" : "hex"});
    version::Var var;
    var.key = JsonText(value["var"], path + ".var");
    if (!value.contains("values")) {
        var.value = JsonHex(value["hex"], path + ".hex");
        return var;
    }
    const std::string valuesPath = path + ".values";
    const Json& values = JsonArray(value["values"], valuesPath);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Json& pair = values[i];
        const auto word = [](const Json& w) { return w.is_number_unsigned() && w.get<std::uint64_t>() <= 0xFFFF; };
        if (!pair.is_array() || pair.size() != 2 || !word(pair[0]) || !word(pair[1])) {
            Wrong(Index(valuesPath, i), "is not a pair of numbers 0..65535");
        }
        for (const Json& w : pair) {
            const auto v = w.get<std::uint16_t>();
            var.value.push_back(std::byte(v & 0xFF));
            var.value.push_back(std::byte(v >> 8));
        }
    }
    return var;
}

version::RootChild JsonBlock(const Json& value, const std::string& path) {
    if (!value.is_object() || value.size() != 1) Wrong(path, "is not an object of one block");
    version::RootChild child;
    const std::string& kind = value.begin().key();
    const Json& content = value.begin().value();
    const std::string at = path + "." + kind;
    if (kind == "StringFileInfo") {
        child.kind = version::ChildKind::StringFileInfo;
        const Json& tables = JsonArray(content, at);
        for (std::size_t i = 0; i < tables.size(); ++i) child.tables.push_back(JsonTable(tables[i], Index(at, i)));
    } else if (kind == "VarFileInfo") {
        child.kind = version::ChildKind::VarFileInfo;
        const Json& vars = JsonArray(content, at);
        for (std::size_t i = 0; i < vars.size(); ++i) child.vars.push_back(JsonVar(vars[i], Index(at, i)));
    } else if (kind == "other") {
        child.raw = JsonHex(content, at);
        if (child.raw.size() < 6) Wrong(at, "is shorter than a block's header");
    } else {
        Wrong(at, "is none of StringFileInfo, VarFileInfo and other");
    }
    return child;
}

// The version information of a document --json wrote.
void ReadVersionJson(const Json& document, Target& target) {
    if (!document.is_object()) throw JsonError{"the document is not an object"};
    JsonObject(document, "", {"versionInfo"}, {"file"});
    if (document.contains("file") && !document["file"].is_string()) Wrong("file", "is not a string");
    const Json& info = document["versionInfo"];
    if (info.is_null()) {
        Wrong("versionInfo", "is null, as --json writes it for a file without version information; to remove "
                             "version information use vornres version FILE --delete");
    }
    JsonObject(info, "versionInfo",
               {"resource", "fileVersion", "productVersion", "fileFlagsMask", "fileFlags", "fileOS", "fileType",
                "fileSubtype", "fileDate", "blocks"},
               {"strucVersion"});
    const Json& resource = JsonObject(info["resource"], "versionInfo.resource", {"name", "language"});
    target.language = static_cast<std::int32_t>(JsonNumber(resource["language"], "versionInfo.resource.language", 0xFFFF));
    const Json& name = resource["name"];
    if (name.is_number_unsigned() && name.get<std::uint64_t>() <= 0xFFFF) {
        target.nameId = name.get<std::int32_t>();
        target.name = nullptr;
    } else if (name.is_string() && !name.get<std::string>().empty()) {
        target.nameId = -1;
        target.name = std::make_shared<const std::string>(name.get<std::string>());
    } else {
        Wrong("versionInfo.resource.name", "is neither a number from 0 to 65535 nor a name");
    }

    VersionResource r;
    FixedFileInfo& f = r.fixed;
    JsonVersion(info["fileVersion"], "versionInfo.fileVersion", f.fileVersionMS, f.fileVersionLS);
    JsonVersion(info["productVersion"], "versionInfo.productVersion", f.productVersionMS, f.productVersionLS);
    f.fileFlagsMask = JsonU32(info["fileFlagsMask"], "versionInfo.fileFlagsMask");
    f.fileFlags = JsonU32(info["fileFlags"], "versionInfo.fileFlags");
    f.fileOS = JsonU32(info["fileOS"], "versionInfo.fileOS");
    f.fileType = JsonU32(info["fileType"], "versionInfo.fileType");
    f.fileSubtype = JsonU32(info["fileSubtype"], "versionInfo.fileSubtype");
    if (info.contains("strucVersion")) f.strucVersion = JsonU32(info["strucVersion"], "versionInfo.strucVersion");
    const std::uint64_t date = JsonNumber(info["fileDate"], "versionInfo.fileDate", UINT64_MAX);
    f.fileDateMS = static_cast<std::uint32_t>(date >> 32);
    f.fileDateLS = static_cast<std::uint32_t>(date);

    const Json& blocks = JsonArray(info["blocks"], "versionInfo.blocks");
    for (std::size_t i = 0; i < blocks.size(); ++i) r.children.push_back(JsonBlock(blocks[i], Index("versionInfo.blocks", i)));
    target.resource = std::move(r);
}

// ---- Editing -----------------------------------------------------------

struct StringEdit {
    std::u16string key;
    std::optional<std::u16string> value;  // none: remove
};

struct VersionEdit {
    std::optional<std::array<std::uint16_t, 4>> fileVersion;
    std::optional<std::array<std::uint16_t, 4>> productVersion;
    std::optional<std::uint32_t> fileFlags;
    std::optional<std::uint32_t> fileType;
    std::vector<StringEdit> strings;  // in order; the version strings first
};

void SetVersion(std::uint32_t& ms, std::uint32_t& ls, const std::array<std::uint16_t, 4>& parts) {
    ms = (std::uint32_t{parts[0]} << 16) | parts[1];
    ls = (std::uint32_t{parts[2]} << 16) | parts[3];
}

void ApplyFixed(FixedFileInfo& f, const VersionEdit& edit) {
    if (edit.fileVersion) SetVersion(f.fileVersionMS, f.fileVersionLS, *edit.fileVersion);
    if (edit.productVersion) SetVersion(f.productVersionMS, f.productVersionLS, *edit.productVersion);
    if (edit.fileFlags) {
        f.fileFlags = *edit.fileFlags;
        f.fileFlagsMask |= *edit.fileFlags;  // a flag outside the mask would not count
    }
    if (edit.fileType) f.fileType = *edit.fileType;
}

void ApplyStrings(StringTable& table, const VersionEdit& edit) {
    for (const StringEdit& s : edit.strings) {
        if (s.value) version::SetString(table, s.key, *s.value);
        else version::RemoveString(table, s.key);
    }
}

int ParseFailure(const std::string& what) {
    std::fprintf(stderr, "vornres: %s; see vornres --help\n", what.c_str());
    return kUsageError;
}

// The edit the options describe, or the message of a usage error.
std::optional<std::string> MakeEdit(const VersionOptions& o, VersionEdit& edit) {
    const auto numbers = [](const std::string& text, const char* option,
                            std::optional<std::array<std::uint16_t, 4>>& out) -> std::optional<std::string> {
        if (text.empty()) return std::nullopt;
        out = ParseVersionNumbers(text);
        if (!out) return std::string(option) + " '" + text + "' is not 1 to 4 numbers 0..65535 joined by dots";
        return std::nullopt;
    };
    if (auto e = numbers(o.fileVersion, "--file-version", edit.fileVersion)) return e;
    if (auto e = numbers(o.productVersion, "--product-version", edit.productVersion)) return e;
    if (!o.fileFlags.empty() && !(edit.fileFlags = ParseFlags(o.fileFlags))) {
        return "--file-flags '" + o.fileFlags + "' is neither a number nor names among debug, prerelease, patched, "
               "privatebuild, infoinferred, specialbuild";
    }
    if (!o.fileType.empty() && !(edit.fileType = ParseType(o.fileType))) {
        return "--file-type '" + o.fileType + "' is neither a number nor one of app, dll, drv, font, vxd, static-lib, unknown";
    }
    const auto text = [](const std::string& ansi) -> std::optional<std::u16string> { return Wide(ansi); };
    if (!o.fixedOnly) {
        // Digits and dots: every code page holds them.
        if (edit.fileVersion) edit.strings.push_back({u"FileVersion", *text(o.fileVersion)});
        if (edit.productVersion) edit.strings.push_back({u"ProductVersion", *text(o.productVersion)});
    }
    for (const std::string& set : o.sets) {
        const std::size_t equals = set.find('=');
        const auto key = text(set.substr(0, equals));
        const auto value = text(set.substr(equals + 1));
        if (!key || !value) return "--set '" + set + "' is not text of the system's code page";
        edit.strings.push_back({*key, *value});
    }
    for (const std::string& remove : o.removes) {
        const auto key = text(remove);
        if (!key) return "--remove '" + remove + "' is not text of the system's code page";
        edit.strings.push_back({*key, std::nullopt});
    }
    return std::nullopt;
}

std::vector<std::byte> ReadWholeFile(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::vector<std::byte> bytes;
    if (ok) {
        std::string text((std::istreambuf_iterator<char>(in)), {});
        bytes.resize(text.size());
        std::memcpy(bytes.data(), text.data(), text.size());
    }
    return bytes;
}

// The targets of a read (the shown resource) or an edit.
Target TargetOf(const ResourceTable& table, std::size_t index) {
    const ResourceEntry& e = table.entries[index];
    Target target;
    target.entry = index;
    target.nameId = e.nameId;
    target.name = e.name;
    target.language = e.language;
    return target;
}

// Whether the resource is of the target's name and language.
bool SameLabel(const ResourceEntry& e, const Target& target) {
    return e.language == target.language && e.nameId == target.nameId && (e.name == nullptr) == (target.name == nullptr) &&
           (!e.name || *e.name == *target.name);
}

// The version resources an edit or a read works on: every one with
// --all-languages, the one of --language, else the one Windows shows; each
// parsed. None when the file has no such resource.
ResultCode FindTargets(const ResourceTable& table, const VersionOptions& o, std::vector<Target>& targets) {
    if (o.allLanguages) {
        for (std::size_t i = 0; i < table.entries.size(); ++i) {
            if (IsVersion(table.entries[i])) targets.push_back(TargetOf(table, i));
        }
    } else {
        const auto found = o.language >= 0 ? EntryForLanguage(table, static_cast<std::uint16_t>(o.language)) : ShownEntry(table);
        if (found) targets.push_back(TargetOf(table, *found));
    }
    for (Target& target : targets) {
        const ResultCode parsed = version::ParseVersionTree(table.entries[*target.entry].Bytes(), target.resource);
        if (parsed != ResultCode::Success) return parsed;
    }
    return ResultCode::Success;
}

// The version information of the --from-json file, or the status of a
// refusal that has been reported.
int ReadJsonFile(const std::string& path, std::optional<Target>& target) {
    bool read = false;
    const std::vector<std::byte> bytes = ReadWholeFile(path, read);
    if (!read) return FailWith(path, "cannot be read; check the path", kUsageError);
    try {
        const MemoryReserve memory;
        const Json json = Json::parse(reinterpret_cast<const char*>(bytes.data()),
                                      reinterpret_cast<const char*>(bytes.data()) + bytes.size());
        target.emplace();
        ReadVersionJson(json, *target);
    } catch (const Json::exception& error) {
        return FailWith(path, std::string("is not JSON: ") + error.what(), kUsageError);
    } catch (const JsonError& error) {
        return FailWith(path, "does not hold version information as --json writes it: " + error.message, kUsageError);
    }
    return 0;
}

int ShowVersion(const std::string& file, const VersionOptions& o) {
    Image image;
    const ResultCode opened = OpenImageForEdit(file.c_str(), image, true, kKinds);
    if (opened != ResultCode::Success && opened != ResultCode::NoResourceSection) return Fail(file, opened, Job::Read);
    std::vector<Target> targets;
    if (const ResultCode parsed = FindTargets(image.table, o, targets); parsed != ResultCode::Success) {
        return Fail(file, parsed, Job::Read);
    }
    Target* shown = targets.empty() ? nullptr : &targets.front();
    if (!o.get.empty()) {
        const auto key = Wide(o.get);
        StringTable* t = nullptr;
        if (shown != nullptr) {
            VersionResource& r = shown->resource;
            t = o.language >= 0 ? version::TableForLanguage(r, static_cast<std::uint16_t>(o.language),
                                                            o.codePage >= 0 ? std::optional<std::uint16_t>(o.codePage)
                                                                            : std::nullopt)
                                : version::ShownTable(r);
        }
        const version::VersionString* s = t != nullptr && key ? t->Find(*key) : nullptr;
        if (s == nullptr) {
            return FailWith(file, shown == nullptr ? "has no version information, so no string " + o.get
                                                   : "has no string " + o.get + " in its version information",
                            kNotFound);
        }
        std::printf("%s\n", ToDisplay(s->value).c_str());
        return 0;
    }
    if (o.json) {
        const MemoryReserve memory;
        PrintJson({{"file", ToUtf8(file)}, {"versionInfo", shown ? VersionJson(*shown) : Json(nullptr)}});
    } else {
        PrintText(file, shown);
    }
    return 0;
}

// What an edit writes, laid out: the table points into it from the moment
// the edit is applied until the commit.
struct VersionWork {
    std::vector<Target> targets;
    bool changed = false;  // the table holds the edit; false: it is as it was read
};

std::string InLanguage(const VersionOptions& o) {
    return o.language >= 0 ? " in language " + std::to_string(o.language) : std::string();
}

// Applies the edit of the options (or the JSON's version information) to the
// table of an image open for editing, without committing: the table changes
// only once every resource is laid out, so a refusal never writes half an
// edit. Nonzero: the status of a refusal that has been reported.
int ApplyVersionEdit(const std::string& file, const VersionOptions& o, VersionEdit& edit, std::optional<Target>& fromJson,
                     Image& image, VersionWork& work) {
    if (!o.Edits()) return 0;
    std::vector<Target>& targets = work.targets;
    const ResourceTable& table = image.table;
    if (const ResultCode parsed = FindTargets(table, o, targets); parsed != ResultCode::Success) {
        return Fail(file, parsed, Job::Read);
    }

    if (o.deleteResource) {
        if (targets.empty()) {
            return FailWith(file, "has no version information" + InLanguage(o) + "; there is nothing to delete", kNotFound);
        }
        for (Target& target : targets) target.removed = true;
    } else if (fromJson) {
        // The JSON's version information replaces the resource of its name
        // and language, or else the one Windows shows; what it holds
        // unchanged keeps its bytes.
        Target replacement = std::move(*fromJson);
        const auto same = std::find_if(table.entries.begin(), table.entries.end(),
                                       [&](const ResourceEntry& e) { return IsVersion(e) && SameLabel(e, replacement); });
        if (same != table.entries.end()) {
            replacement.entry = static_cast<std::size_t>(same - table.entries.begin());
            VersionResource read;
            if (version::ParseVersionTree(same->Bytes(), read) == ResultCode::Success) {
                version::LendReadBytes(read, replacement.resource);
            }
        } else if (!targets.empty()) {
            replacement.entry = targets.front().entry;
            version::LendReadBytes(targets.front().resource, replacement.resource);
        }
        targets = {std::move(replacement)};
    } else if (targets.empty()) {
        // A new resource: for --language only when asked to.
        if (o.language >= 0 && !o.create) {
            return FailWith(file, "has no version information" + InLanguage(o) + "; add --create to create it", kNotFound);
        }
        Target added;
        added.language = o.language >= 0 ? o.language : kEnglishUs;
        const auto language = static_cast<std::uint16_t>(added.language);
        const auto codePage = static_cast<std::uint16_t>(o.codePage >= 0 ? o.codePage : kUnicodeCodePage);
        added.resource = version::NewVersionResource(language, codePage, image.headers.IsDll() ? kVftDll : kVftApp);
        // Another language's resource lends its numbers, flags and type.
        VersionResource shown;
        if (const auto other = ShownEntry(table);
            other && version::ParseVersionTree(table.entries[*other].Bytes(), shown) == ResultCode::Success) {
            added.resource.fixed = shown.fixed;
        }
        // The product version follows the file version unless given.
        if (edit.fileVersion && !edit.productVersion) {
            SetVersion(added.resource.fixed.productVersionMS, added.resource.fixed.productVersionLS, *edit.fileVersion);
            if (!o.fixedOnly) edit.strings.insert(edit.strings.begin() + 1, {u"ProductVersion", *Wide(o.fileVersion)});
        }
        targets.push_back(std::move(added));
    }

    if (!fromJson && !o.deleteResource) {
        for (Target& target : targets) {
            VersionResource& r = target.resource;
            ApplyFixed(r.fixed, edit);
            if (edit.strings.empty()) continue;
            std::vector<StringTable*> tables;
            if (o.allLanguages) {
                tables = version::AllTables(r);
            } else if (o.language >= 0) {
                const auto language = static_cast<std::uint16_t>(o.language);
                const auto codePage = o.codePage >= 0 ? std::optional<std::uint16_t>(o.codePage) : std::nullopt;
                StringTable* found = version::TableForLanguage(r, language, codePage);
                if (found == nullptr && !o.create && target.entry) {
                    return FailWith(file, "has no string table for language " + std::to_string(o.language) +
                                              "; add --create to create one",
                                    kNotFound);
                }
                tables.push_back(found ? found : &version::AddTable(r, language, codePage.value_or(kUnicodeCodePage)));
            } else if (StringTable* shown = version::ShownTable(r)) {
                tables.push_back(shown);
            }
            if (tables.empty()) {
                // Strings for a resource without any table: one for its first
                // Translation pair, or for its own language in Unicode.
                const auto pairs = version::Translations(r);
                const auto pair = pairs.empty() ? std::pair{static_cast<std::uint16_t>(target.language), kUnicodeCodePage}
                                                : pairs.front();
                tables.push_back(&version::AddTable(r, pair.first, pair.second));
            }
            for (StringTable* t : tables) ApplyStrings(*t, edit);
        }
    }

    // Every resource is laid out before the table changes.
    bool changed = false;
    std::size_t kept = table.entries.size();
    for (Target& target : targets) {
        if (target.removed) {
            changed = true;
            --kept;
            continue;
        }
        if (!target.entry) ++kept;
        if (const auto failure = version::SerializeVersionTree(target.resource, target.bytes)) {
            return FailWith(file, "cannot take this version information: the block of \"" + ToDisplay(failure->key) +
                                      "\" would pass the 65535 bytes its length can count; use shorter texts",
                            ToInt(ResultCode::BadVersionRecord));
        }
        const ResourceEntry* was = target.entry ? &table.entries[*target.entry] : nullptr;
        const bool same = was != nullptr && std::ranges::equal(was->Bytes(), target.bytes) && SameLabel(*was, target);
        changed = changed || !same;
    }
    if (!changed) return 0;
    if (kept == 0) {
        return FailWith(file, "would be left without any resource; vornres cannot remove the last one",
                        ToInt(ResultCode::SectionBuildFailed));
    }

    for (Target& target : targets) {
        if (target.removed) {
            image.table.entries[*target.entry].deleted = 1;
            continue;
        }
        if (!target.entry) {
            if (const ResultCode code = AddResourceEntry(image.table, pe::kRtVersion); code != ResultCode::Success) {
                return Fail(file, code, Job::Write);
            }
            target.entry = image.table.entries.size() - 1;
        }
        ResourceEntry& e = image.table.entries[*target.entry];
        e.nameId = target.nameId;
        e.name = target.name;
        e.language = target.language;
        e.SetData(ResourceData(target.bytes));
    }
    std::erase_if(image.table.entries, [](const ResourceEntry& e) { return e.deleted != 0; });
    work.changed = true;
    return 0;
}


}  // namespace

bool VersionOptions::Edits() const {
    return !sets.empty() || !removes.empty() || !fileVersion.empty() || !productVersion.empty() || !fileFlags.empty() ||
           !fileType.empty() || !fromJson.empty() || deleteResource;
}

void AddVersionOptions(CLI::App& command, VersionOptions& o) {
    // An empty value is most often a variable a script left unset: refused,
    // so that no file ships unstamped while the run says it succeeded.
    const CLI::Validator nonEmpty(
        [](std::string& value) { return value.empty() ? std::string("an empty value sets nothing; give one") : std::string(); },
        "", "NonEmpty");
    command.add_flag("--json", o.json, "Print the version information as one JSON object (see the README)");
    command.add_option("--get", o.get, "Print the value of one string, for scripts")->type_name("KEY")->check(nonEmpty);
    command.add_option("--set", o.sets, "Set a string, any key; an empty TEXT sets an empty string")
        ->type_name("KEY=TEXT")
        ->check(CLI::Validator(
            [](std::string& value) {
                return value.find('=') == std::string::npos || value.front() == '='
                           ? "expected KEY=TEXT, got '" + value + "'"
                           : std::string();
            },
            "", "KEY=TEXT"));
    command.add_option("--remove", o.removes, "Remove a string")->type_name("KEY");
    command.add_option("--file-version", o.fileVersion,
                       "Set the file version: 1 to 4 numbers (10.7 is 10.7.0.0), and the FileVersion string")
        ->type_name("A.B.C.D")
        ->check(nonEmpty);
    command.add_option("--product-version", o.productVersion,
                       "Set the product version and the ProductVersion string")
        ->type_name("A.B.C.D")
        ->check(nonEmpty);
    command.add_flag("--fixed-only", o.fixedOnly,
                     "--file-version and --product-version set the numbers only, not the strings");
    command.add_option("--file-flags", o.fileFlags,
                       "Set the flags: a number, or names joined by commas: debug, prerelease, patched, "
                       "privatebuild, infoinferred, specialbuild")
        ->type_name("FLAGS")
        ->check(nonEmpty);
    command.add_option("--file-type", o.fileType, "Set the file type: app, dll, drv, font, vxd, static-lib, unknown or a number")
        ->type_name("TYPE")
        ->check(nonEmpty);
    command.add_option("--language", o.language,
                       "Work on the version resource and string table of this language id (default: what Windows shows)")
        ->check(CLI::Range(0, 65535));
    command.add_option("--code-page", o.codePage, "The code page of a table that is created (default 1200, Unicode)")
        ->check(CLI::Range(0, 65535));
    command.add_flag("--create", o.create, "Create the resource or table of --language when the file has none");
    command.add_flag("--all-languages", o.allLanguages, "Apply the edit to every version resource and string table");
    command.add_option("--from-json", o.fromJson,
                       "Write the version information of a JSON file made by --json, replacing the file's")
        ->type_name("FILE.json")
        ->check(nonEmpty);
    command.add_flag("--delete", o.deleteResource,
                     "Remove the version resource shown (of --language; every one with --all-languages)");
    command.footer(
        "Without edits the version information is shown. An edit changes only what it names: to leave a string "
        "alone, do not name it. By default the edit goes to what Windows shows: the version resource a neutral "
        "lookup finds, and in it the string table that its first Translation pair names. A file without version "
        "information gets a complete one; --language N of a language the file lacks is refused (exit 65) unless "
        "--create is given. An edit that changes nothing leaves the file as it was, unless --strip-signature "
        "removes a signature.");
}

std::string CheckVersionOptions(const VersionOptions& o) {
    const bool valueEdits = !o.sets.empty() || !o.removes.empty() || !o.fileVersion.empty() || !o.productVersion.empty() ||
                            !o.fileFlags.empty() || !o.fileType.empty();
    if (!o.get.empty() && (o.Edits() || o.write.stripSignature)) {
        return "--get only reads; leave out the edits and --strip-signature";
    }
    if (o.deleteResource && (valueEdits || !o.fromJson.empty() || o.create)) {
        return "--delete removes the version information; leave out the other edits and --create";
    }
    if (!o.fromJson.empty() && valueEdits) {
        return "--from-json replaces the whole version information; leave out the other edits";
    }
    if (o.allLanguages && (o.language >= 0 || o.create || !o.fromJson.empty())) {
        return "--all-languages edits every language; leave out --language, --create and --from-json";
    }
    if (o.create && o.language < 0) return "--create needs --language";
    return {};
}

int RunVersion(const std::string& file, const VersionOptions& o, const ImageAccess& baseAccess) {
    VersionEdit edit;
    if (const auto problem = MakeEdit(o, edit)) return ParseFailure(*problem);
    std::optional<Target> fromJson;
    if (!o.fromJson.empty()) {
        if (const int refused = ReadJsonFile(o.fromJson, fromJson); refused != 0) return refused;
    }
    // A signature to strip is a change of its own, made even when the
    // resources stay as they are.
    if (!o.Edits() && !o.write.stripSignature) return ShowVersion(file, o);

    ImageAccess access = baseAccess;
    Edit commit;
    if (const int refused = PrepareEdit(file, o.write, commit, access); refused != 0) return refused;
    // Stripping alone gives no file a resource section it did not have.
    access.createResources = o.Edits();
    VersionWork work;  // declared before the image: the table points into it until the commit
    Image image;
    if (const ResultCode opened = OpenImageForEditing(file.c_str(), image, access); opened != ResultCode::Success) {
        return Fail(file, opened, Job::Write);
    }
    if (const int refused = ApplyVersionEdit(file, o, edit, fromJson, image, work); refused != 0) return refused;
    const bool strip = o.write.stripSignature && IsSigned(image.headers);
    if (!work.changed && !strip) {
        CloseImage(image);
        if (!o.quiet) std::printf("%s: version information unchanged\n", file.c_str());
        return CopyUnchanged(file, o.write);
    }
    if (const ResultCode code = CommitResources(image, access); code != ResultCode::Success) {
        return Fail(o.write.output.empty() ? file : o.write.output, code, Job::Write);
    }
    ReportEdit(file, commit);

    if (o.quiet) return 0;
    if (!work.changed) {
        std::printf("%s: version information unchanged, signature removed%s%s\n", file.c_str(),
                    o.write.output.empty() ? "" : ", written to ", o.write.output.c_str());
        return 0;
    }
    VersionOptions show;
    show.json = o.json;
    show.language = o.allLanguages ? -1 : o.language;
    return ShowVersion(o.write.output.empty() ? file : o.write.output, show);
}

int RunRcedit(int argc, char** argv, const ImageAccess& baseAccess) {
    // The peer's own flags, each with its arguments; the file comes first.
    if (argc < 3 || argv[2][0] == '-') {
        return ParseFailure("usage: vornres rcedit FILE [--set-version-string KEY VALUE]... [--set-file-version V] "
                            "[--set-product-version V] [--set-icon ICO] [--get-version-string KEY]");
    }
    const std::string file = argv[2];
    if (const int status = RecoverEdit(file); status != 0) return status;
    VersionOptions o;
    // The peer edits signed files too; the signature's bytes stay, with a warning.
    o.write.keepSignature = true;
    std::string icon;
    std::string get;
    for (int i = 3; i < argc; ++i) {
        const std::string_view flag = argv[i];
        const auto argument = [&](int count) { return i + count < argc; };
        // Only a string's value may be empty; an empty version, icon or key
        // is a script's unset variable.
        const auto given = [&](std::string& into) {
            into = argv[++i];
            return !into.empty();
        };
        bool filled = true;
        if (flag == "--set-version-string" && argument(2)) {
            o.sets.push_back(std::string(argv[i + 1]) + "=" + argv[i + 2]);
            i += 2;
        } else if (flag == "--set-file-version" && argument(1)) {
            filled = given(o.fileVersion);
        } else if (flag == "--set-product-version" && argument(1)) {
            filled = given(o.productVersion);
        } else if (flag == "--set-icon" && argument(1)) {
            filled = given(icon);
        } else if (flag == "--get-version-string" && argument(1)) {
            filled = given(get);
        } else {
            return ParseFailure("rcedit: unknown option or missing argument '" + std::string(flag) + "'");
        }
        if (!filled) return ParseFailure("rcedit: " + std::string(flag) + " was given an empty value; give one");
    }
    for (const std::string& set : o.sets) {
        if (set.front() == '=') return ParseFailure("rcedit: --set-version-string needs a KEY");
    }
    if (!get.empty()) {
        VersionOptions read;
        read.get = get;
        return ShowVersion(file, read);
    }
    VersionEdit edit;
    if (const auto problem = MakeEdit(o, edit)) return ParseFailure(*problem);
    if (!o.Edits() && icon.empty()) return 0;

    // Every input is read and every edit applied to one table before the
    // file is written once: a failure anywhere leaves it as it was.
    ImageAccess access = baseAccess;
    Edit commit;
    if (const int refused = PrepareEdit(file, o.write, commit, access); refused != 0) return refused;
    IconSet set;       // declared before the image: the table points into both
    VersionWork work;  // until the commit
    Image image;
    if (const ResultCode opened = OpenImageForEditing(file.c_str(), image, access); opened != ResultCode::Success) {
        return Fail(file, opened, Job::Write);
    }
    if (!icon.empty()) {
        if (const ResultCode code = ReadIconFile(set, icon.c_str(), access.leaveIconImages); code != ResultCode::Success) {
            return Fail(icon, code, Job::IconFile);
        }
    }
    std::optional<Target> noJson;
    if (const int refused = ApplyVersionEdit(file, o, edit, noJson, image, work); refused != 0) return refused;
    if (!icon.empty()) {
        if (const ResultCode code = ReplaceMainIconGroup(image, set, access); code != ResultCode::Success) {
            return Fail(file, code, Job::ReplaceIcon);
        }
    } else if (!work.changed) {
        return 0;  // quiet, as the peer is
    }
    if (const ResultCode code = CommitResources(image, access); code != ResultCode::Success) {
        return Fail(file, code, Job::Write);
    }
    ReportEdit(file, commit);
    return 0;
}

}  // namespace vorn::tool
