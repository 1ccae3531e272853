// The version kind through the public API.
#include "vornutils/version.h"

#include <algorithm>

#include "base/text_codec.h"
#include "faces/api/explain.h"
#include "faces/api/state.h"
#include "kinds/version/version_edit.h"

namespace vornutils {

namespace {

using vorn::ResourceEntry;
using vorn::ResultCode;

constexpr std::uint16_t kEnglishUs = 1033;
constexpr std::uint16_t kUnicodeCodePage = 1200;
constexpr std::uint32_t kVftApp = 1;
constexpr std::uint32_t kVftDll = 2;

Error Refusal(Code code, const Image& image, std::string what, std::string detail) {
    return Error{code, FileRole::Target, image.Path(), std::move(what), std::move(detail)};
}

std::string InLanguage(const VersionScope& scope) {
    return scope.language ? " in language " + std::to_string(*scope.language) : std::string();
}

// The tree of a version resource, whether its bytes are in memory or still
// in the file they are to be read from.
ResultCode Parse(const ResourceEntry& e, version::VersionResource& tree) {
    if (!e.data.InFile()) return vorn::version::ParseVersionTree(e.Bytes(), tree);
    std::vector<std::byte> bytes(e.size);
    if (!e.data.CopyTo(bytes)) return ResultCode::FileAccessFailed;
    return vorn::version::ParseVersionTree(bytes, tree);
}

// A resource to be written: over the entry it replaces, or added.
struct Planned {
    std::optional<std::size_t> entry;
    VersionEntry version;
    std::vector<std::byte> bytes;
};

// Lays every resource out, then puts them in the set: true when anything
// changed. A resource that cannot be laid out changes nothing.
Result<bool> Store(Image& image, std::vector<Planned>& planned) {
    ImageInternals::Table& table = ImageInternals::Of(image).table;
    auto& entries = table.image.table.entries;
    bool changed = false;
    for (Planned& p : planned) {
        if (const auto failure = vorn::version::SerializeVersionTree(p.version.resource, p.bytes)) {
            return Refusal(Code::BadVersionRecord, image, "write the version information",
                           "cannot take this version information: the block of \"" + vorn::WideToUtf8(failure->key) +
                               "\" would pass the 65535 bytes its length can count; use shorter texts");
        }
        const ResourceEntry* was = p.entry ? &entries[*p.entry] : nullptr;
        changed = changed || was == nullptr || !(KeyOf(*was) == p.version.key) || was->data.InFile() ||
                  !std::ranges::equal(was->Bytes(), p.bytes);
    }
    if (!changed) return false;
    for (Planned& p : planned) {
        ResourceEntry* e = p.entry ? &entries[*p.entry] : table.Place(p.version.key, std::nullopt);
        if (e == nullptr || !ImageInternals::Table::Label(*e, p.version.key)) {
            return Refusal(Code::TextConversionFailed, image, "name the version resource",
                           "cannot hold a resource of that name: it is not text of this system's code page");
        }
        e->SetData(vorn::ResourceData(std::move(p.bytes)));
    }
    table.changed = true;
    return true;
}

}  // namespace

std::optional<VersionNumber> VersionNumber::Parse(std::string_view text) {
    VersionNumber version;
    version.text.assign(text.begin(), text.end());
    std::size_t count = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (count == version.parts.size() || part.empty() || part.size() > 5 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (const char c : part) value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 0xFFFF) return std::nullopt;
        version.parts[count++] = static_cast<std::uint16_t>(value);
        if (dot == std::string_view::npos) return version;
        text.remove_prefix(dot + 1);
    }
}

Result<std::vector<VersionEntry>> ReadVersions(const Image& image, const VersionScope& scope) {
    const auto& entries = ImageInternals::Of(image).table.image.table.entries;
    std::vector<VersionEntry> found;
    for (const std::size_t i : vorn::version::VersionEntries(ImageInternals::Of(image).table.image.table, scope)) {
        VersionEntry& read = found.emplace_back();
        read.key = KeyOf(entries[i]);
        if (const ResultCode code = Parse(entries[i], read.resource); code != ResultCode::Success) {
            return vorn::api::Failure(code, FileRole::Target, image.Path(), "read the version information",
                                      vorn::api::Step::Read);
        }
    }
    return found;
}

Result<bool> EditVersion(Image& image, const VersionChanges& changes) {
    const vorn::ResourceTable& table = ImageInternals::Of(image).table.image.table;
    auto read = ReadVersions(image, changes.scope);
    if (!read) return read.error();
    const std::vector<std::size_t> indexes = vorn::version::VersionEntries(table, changes.scope);
    std::vector<Planned> planned;
    for (std::size_t i = 0; i < indexes.size(); ++i) planned.push_back({indexes[i], std::move((*read)[i]), {}});

    const bool added = planned.empty();
    if (added) {
        // A new resource: for a language only when asked to.
        if (changes.scope.language && !changes.create) {
            return Refusal(Code::NoVersionResource, image, "find the version information",
                           "has no version information" + InLanguage(changes.scope));
        }
        Planned& p = planned.emplace_back();
        p.version.key.language = changes.scope.language.value_or(kEnglishUs);
        p.version.resource = version::NewVersionResource(p.version.key.language, changes.codePage.value_or(kUnicodeCodePage),
                                                         image.Info().isDll ? kVftDll : kVftApp);
        // Another language's resource lends its numbers, flags and type.
        version::VersionResource shown;
        if (const auto other = vorn::version::ShownVersionEntry(table);
            other && Parse(table.entries[*other], shown) == ResultCode::Success) {
            p.version.resource.fixed = shown.fixed;
        }
    }
    for (Planned& p : planned) {
        if (!vorn::version::ApplyVersionChanges(p.version.resource, p.version.key.language, added, changes)) {
            return Refusal(Code::NoVersionResource, image, "find the string table",
                           "has no string table for language " + std::to_string(*changes.scope.language));
        }
    }
    return Store(image, planned);
}

Result<bool> WriteVersion(Image& image, VersionEntry entry, const VersionScope& fallback) {
    const vorn::ResourceTable& table = ImageInternals::Of(image).table.image.table;
    auto read = ReadVersions(image, fallback);
    if (!read) return read.error();
    Planned p{std::nullopt, std::move(entry), {}};
    const auto same = std::find_if(table.entries.begin(), table.entries.end(), [&](const ResourceEntry& e) {
        return e.typeId == types::Version && e.deleted == 0 && KeyOf(e) == p.version.key;
    });
    if (same != table.entries.end()) {
        p.entry = static_cast<std::size_t>(same - table.entries.begin());
        version::VersionResource was;
        if (Parse(*same, was) == ResultCode::Success) vorn::version::LendReadBytes(was, p.version.resource);
    } else if (!read->empty()) {
        p.entry = vorn::version::VersionEntries(table, fallback).front();
        vorn::version::LendReadBytes(read->front().resource, p.version.resource);
    }
    std::vector<Planned> planned;
    planned.push_back(std::move(p));
    return Store(image, planned);
}

Result<std::size_t> RemoveVersions(Image& image, const VersionScope& scope) {
    ImageInternals::Table& table = ImageInternals::Of(image).table;
    auto& entries = table.image.table.entries;
    const std::vector<std::size_t> found = vorn::version::VersionEntries(table.image.table, scope);
    if (found.empty()) {
        return Refusal(Code::NoVersionResource, image, "remove the version information",
                       "has no version information" + InLanguage(scope) + "; there is nothing to remove");
    }
    if (found.size() == entries.size()) {
        return Refusal(Code::SectionBuildFailed, image, "remove the version information",
                       "would be left without any resource; a resource section cannot be empty");
    }
    for (const std::size_t i : found) entries[i].deleted = 1;
    std::erase_if(entries, [](const ResourceEntry& e) { return e.deleted != 0; });
    table.changed = true;
    return found.size();
}

}  // namespace vornutils
