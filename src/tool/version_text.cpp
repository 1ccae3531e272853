#include "tool/version_text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "vornutils/text.h"

namespace vorn::tool {

namespace {

using vornutils::version::FixedFileInfo;

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

bool SameName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<std::uint32_t> Lookup(const Named* begin, const Named* end, std::string_view name) {
    const auto found = std::find_if(begin, end, [&](const Named& n) { return SameName(n.name, name); });
    return found == end ? std::nullopt : std::optional(found->value);
}

const char* NameOf(const Named* begin, const Named* end, std::uint32_t value) {
    const auto found = std::find_if(begin, end, [&](const Named& n) { return n.value == value; });
    return found == end ? nullptr : found->name;
}

std::uint16_t Word(const vornutils::version::Raw& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[at]) | std::to_integer<unsigned>(bytes[at + 1]) << 8);
}

std::string Display(std::u16string_view text) { return vornutils::WideToDisplay(text); }

void PrintFixed(const FixedFileInfo& f) {
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
}

}  // namespace

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

std::optional<std::uint32_t> ParseFlags(std::string_view text) {
    if (const auto number = ParseNumber(text)) return number;
    std::uint32_t flags = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const auto flag = Lookup(std::begin(kFlagNames), std::end(kFlagNames), text.substr(0, comma));
        if (!flag) return std::nullopt;
        flags |= *flag;
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    return flags;
}

std::optional<std::uint32_t> ParseType(std::string_view text) {
    if (const auto number = ParseNumber(text)) return number;
    return Lookup(std::begin(kTypeNames), std::end(kTypeNames), text);
}

std::string VersionText(std::uint32_t ms, std::uint32_t ls) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
    return text;
}

std::string Hex(const vornutils::version::Raw& bytes) {
    std::string hex;
    for (const std::byte b : bytes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", std::to_integer<unsigned>(b));
        hex += digits;
    }
    return hex;
}

std::optional<vornutils::version::Raw> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    vornutils::version::Raw bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto value = ParseNumber(std::string("0x") + std::string(hex.substr(i, 2)));
        if (!value) return std::nullopt;
        bytes.push_back(static_cast<std::byte>(*value));
    }
    return bytes;
}

std::optional<std::vector<std::pair<std::uint16_t, std::uint16_t>>> WordPairs(const vornutils::version::Raw& value) {
    if (value.size() % 4 != 0) return std::nullopt;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs;
    for (std::size_t at = 0; at < value.size(); at += 4) pairs.emplace_back(Word(value, at), Word(value, at + 2));
    return pairs;
}

void PrintVersion(const std::string& file, const vornutils::VersionEntry* entry) {
    std::printf("%s\n", file.c_str());
    if (entry == nullptr) {
        std::printf("  no version information\n");
        return;
    }
    const vornutils::ResourceId& id = entry->key.name;
    const std::string name = id.IsNumber() ? id.ToString() : "\"" + id.Text() + "\"";
    std::printf("  %-17s name %s, language %d (0x%04X)\n", "resource", name.c_str(), entry->key.language,
                static_cast<unsigned>(entry->key.language));
    PrintFixed(entry->resource.fixed);
    for (const vornutils::version::RootChild& child : entry->resource.children) {
        for (const vornutils::version::StringTable& table : child.tables) {
            std::printf("  string table %s (language %u, code page %u)\n", Display(table.key).c_str(), table.Language(),
                        table.CodePage());
            for (const vornutils::version::VersionString& s : table.strings) {
                std::printf("    %-18s %s\n", Display(s.key).c_str(), Display(s.value).c_str());
            }
        }
        for (const vornutils::version::Var& var : child.vars) {
            std::printf("  var %-13s", Display(var.key).c_str());
            if (const auto pairs = WordPairs(var.value)) {
                for (const auto& [language, codePage] : *pairs) std::printf(" %u/%u", language, codePage);
            } else {
                std::printf(" %s", Hex(var.value).c_str());
            }
            std::printf("\n");
        }
        if (child.kind == vornutils::version::ChildKind::Other) {
            std::printf("  other block       %zu bytes\n", child.raw.size());
        }
    }
}

}  // namespace vorn::tool
