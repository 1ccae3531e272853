#include "kinds/version/version_edit.h"

#include "format/pe_format.h"

namespace vorn::version {

namespace {

constexpr std::uint16_t kUnicodeCodePage = 1200;

bool IsVersion(const ResourceEntry& e) { return e.typeId == pe::kRtVersion && e.deleted == 0; }
bool IsFirstName(const ResourceEntry& e) { return !e.name && e.nameId == kVersionResourceName; }

std::optional<std::size_t> EntryForLanguage(const ResourceTable& table, std::uint16_t language) {
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const ResourceEntry& e = table.entries[i];
        if (!IsVersion(e) || e.language != language) continue;
        if (IsFirstName(e)) return i;
        if (!found) found = i;
    }
    return found;
}

void SetNumbers(std::uint32_t& ms, std::uint32_t& ls, const vornutils::VersionNumber& version) {
    const auto& p = version.parts;
    ms = (std::uint32_t{p[0]} << 16) | p[1];
    ls = (std::uint32_t{p[2]} << 16) | p[3];
}

// The tables that the strings of the changes go to; empty when the scope's
// language has none and none may be made.
std::vector<StringTable*> TablesFor(VersionResource& r, std::uint16_t resourceLanguage, bool added,
                                    const vornutils::VersionChanges& changes) {
    const vornutils::VersionScope& scope = changes.scope;
    std::vector<StringTable*> tables;
    if (scope.allLanguages) {
        tables = AllTables(r);
    } else if (scope.language) {
        StringTable* found = TableForLanguage(r, *scope.language, changes.codePage);
        if (found == nullptr && !changes.create && !added) return {};
        tables.push_back(found ? found : &AddTable(r, *scope.language, changes.codePage.value_or(kUnicodeCodePage)));
    } else if (StringTable* shown = ShownTable(r)) {
        tables.push_back(shown);
    }
    if (tables.empty()) {
        // Strings for a resource without any table: one for its first
        // Translation pair, or for its own language in Unicode.
        const auto pairs = Translations(r);
        const auto pair = pairs.empty() ? std::pair{resourceLanguage, kUnicodeCodePage} : pairs.front();
        tables.push_back(&AddTable(r, pair.first, pair.second));
    }
    return tables;
}

}  // namespace

std::optional<std::size_t> ShownVersionEntry(const ResourceTable& table) {
    std::optional<std::size_t> best;
    int bestRank = 100;
    for (std::size_t i = 0; i < table.entries.size(); ++i) {
        const ResourceEntry& e = table.entries[i];
        if (!IsVersion(e)) continue;
        const int nameRank = IsFirstName(e) ? 0 : 1;
        // The first other name only: the loader never looks at the rest.
        if (nameRank == 1 && best && table.entries[*best].nameId != e.nameId) continue;
        const int rank = nameRank * 10 + LoaderLanguageRank(e.language);
        if (rank < bestRank) {
            best = i;
            bestRank = rank;
        }
    }
    return best;
}

std::vector<std::size_t> VersionEntries(const ResourceTable& table, const vornutils::VersionScope& scope) {
    std::vector<std::size_t> entries;
    if (scope.allLanguages) {
        for (std::size_t i = 0; i < table.entries.size(); ++i) {
            if (IsVersion(table.entries[i])) entries.push_back(i);
        }
        return entries;
    }
    const auto found = scope.language ? EntryForLanguage(table, *scope.language) : ShownVersionEntry(table);
    if (found) entries.push_back(*found);
    return entries;
}

bool ApplyVersionChanges(VersionResource& r, std::uint16_t resourceLanguage, bool added,
                         const vornutils::VersionChanges& changes) {
    FixedFileInfo& f = r.fixed;
    // In a new resource the product version follows the file version.
    const auto& productVersion = added && !changes.productVersion ? changes.fileVersion : changes.productVersion;
    if (changes.fileVersion) SetNumbers(f.fileVersionMS, f.fileVersionLS, *changes.fileVersion);
    if (productVersion) SetNumbers(f.productVersionMS, f.productVersionLS, *productVersion);
    if (changes.fileFlags) {
        f.fileFlags = *changes.fileFlags;
        f.fileFlagsMask |= *changes.fileFlags;  // a flag outside the mask would not count
    }
    if (changes.fileType) f.fileType = *changes.fileType;

    std::vector<vornutils::VersionChanges::String> strings;
    if (changes.versionStrings) {
        if (changes.fileVersion) strings.push_back({u"FileVersion", changes.fileVersion->text});
        if (productVersion) strings.push_back({u"ProductVersion", productVersion->text});
    }
    strings.insert(strings.end(), changes.strings.begin(), changes.strings.end());
    if (strings.empty()) return true;
    const std::vector<StringTable*> tables = TablesFor(r, resourceLanguage, added, changes);
    if (tables.empty()) return false;
    for (StringTable* table : tables) {
        for (const auto& s : strings) {
            if (s.value) SetString(*table, s.key, *s.value);
            else RemoveString(*table, s.key);
        }
    }
    return true;
}

}  // namespace vorn::version
