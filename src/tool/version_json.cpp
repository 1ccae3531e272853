#include "tool/version_json.h"

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <iterator>

#include "tool/options.h"
#include "tool/version_text.h"
#include "vornutils/text.h"

namespace vorn::tool {

namespace {

namespace version = vornutils::version;

// Values whose length is a multiple of 4 as pairs of 16-bit words, as
// Translation holds language and code page; others as hex.
Json VarJson(const version::Var& var) {
    Json out = {{"var", vornutils::WideToUtf8(var.key)}};
    if (const auto pairs = WordPairs(var.value)) {
        Json values = Json::array();
        for (const auto& [first, second] : *pairs) values.push_back({first, second});
        out["values"] = values;
    } else {
        out["hex"] = Hex(var.value);
    }
    return out;
}

Json BlockJson(const version::RootChild& child) {
    if (child.kind == version::ChildKind::StringFileInfo) {
        Json tables = Json::array();
        for (const version::StringTable& table : child.tables) {
            Json strings = Json::object();
            for (const version::VersionString& s : table.strings) {
                const std::string key = vornutils::WideToUtf8(s.key);
                if (!strings.contains(key)) strings[key] = vornutils::WideToUtf8(s.value);
            }
            tables.push_back({{"table", vornutils::WideToUtf8(table.key)}, {"strings", strings}});
        }
        return {{"StringFileInfo", tables}};
    }
    if (child.kind == version::ChildKind::VarFileInfo) {
        Json vars = Json::array();
        for (const version::Var& var : child.vars) vars.push_back(VarJson(var));
        return {{"VarFileInfo", vars}};
    }
    return {{"other", Hex(child.raw)}};
}

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
    auto wide = vornutils::Utf8ToWide(value.get<std::string>());
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
    const auto version = value.is_string() ? vornutils::VersionNumber::Parse(value.get<std::string>()) : std::nullopt;
    if (!version) Wrong(path, "is not a version such as \"1.2.3.4\"");
    const auto& p = version->parts;
    ms = (std::uint32_t{p[0]} << 16) | p[1];
    ls = (std::uint32_t{p[2]} << 16) | p[3];
}

version::Raw JsonHex(const Json& value, const std::string& path) {
    auto bytes = value.is_string() ? FromHex(value.get<std::string>()) : std::nullopt;
    if (!bytes) Wrong(path, "is not a string of hex digit pairs");
    return *bytes;
}

version::StringTable JsonTable(const Json& value, const std::string& path) {
    JsonObject(value, path, {"table", "strings"});
    version::StringTable table;
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
void ReadVersionJson(const Json& document, vornutils::VersionEntry& entry) {
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
    entry.key.language = static_cast<std::uint16_t>(JsonNumber(resource["language"], "versionInfo.resource.language", 0xFFFF));
    const Json& name = resource["name"];
    if (name.is_number_unsigned() && name.get<std::uint64_t>() <= 0xFFFF) {
        entry.key.name = vornutils::ResourceId(name.get<std::uint16_t>());
    } else if (name.is_string() && !name.get<std::string>().empty()) {
        entry.key.name = vornutils::ResourceId(name.get<std::string>());
    } else {
        Wrong("versionInfo.resource.name", "is neither a number from 0 to 65535 nor a name");
    }

    version::VersionResource r;
    version::FixedFileInfo& f = r.fixed;
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
    entry.resource = std::move(r);
}

}  // namespace

Json VersionJson(const vornutils::VersionEntry& entry) {
    const version::FixedFileInfo& f = entry.resource.fixed;
    Json out = {{"resource", {{"name", IdJson(entry.key.name)}, {"language", entry.key.language}}},
                {"fileVersion", VersionText(f.fileVersionMS, f.fileVersionLS)},
                {"productVersion", VersionText(f.productVersionMS, f.productVersionLS)},
                {"fileFlagsMask", f.fileFlagsMask},
                {"fileFlags", f.fileFlags},
                {"fileOS", f.fileOS},
                {"fileType", f.fileType},
                {"fileSubtype", f.fileSubtype},
                {"fileDate", (std::uint64_t{f.fileDateMS} << 32) | f.fileDateLS}};
    if (f.strucVersion != version::FixedFileInfo{}.strucVersion) out["strucVersion"] = f.strucVersion;
    Json blocks = Json::array();
    for (const version::RootChild& child : entry.resource.children) blocks.push_back(BlockJson(child));
    out["blocks"] = blocks;
    return out;
}

int ReadVersionJsonFile(const std::string& path, std::optional<vornutils::VersionEntry>& entry) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return FailWith(path, "cannot be read; check the path", kUsageError);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    try {
        const MemoryReserve memory;
        const Json json = Json::parse(text);
        entry.emplace();
        ReadVersionJson(json, *entry);
    } catch (const Json::exception& error) {
        return FailWith(path, std::string("is not JSON: ") + error.what(), kUsageError);
    } catch (const JsonError& error) {
        return FailWith(path, "does not hold version information as --json writes it: " + error.message, kUsageError);
    }
    return 0;
}

}  // namespace vorn::tool
