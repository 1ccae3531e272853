// Rewrites copies of corpus files through the library for check_rewrite.py.
//
// Reads lines "SOURCE<TAB>STEM" on stdin and, for each, makes three files:
//   STEM.add   SOURCE with one RT_RCDATA resource added
//   STEM.del   STEM.add with that resource removed again
//   STEM.same  SOURCE committed with its table unchanged
// and prints one JSON line, in input order, with the result codes and what
// was added. The added bytes follow PatternByte, which the checker recomputes.
// --any-kind opens the files as vornres does (PE32 and PE32+) instead of as
// the exports do.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "image/image.h"
#include "image/image_rewrite.h"

namespace {

constexpr std::int32_t kRtRcData = 10;
// Marks a step the tool itself could not carry out, apart from library codes.
constexpr std::int32_t kToolFailure = -1;

// A multiplicative hash of the position, so that bytes moved by any amount
// no longer match.
std::byte PatternByte(std::uint32_t i, std::uint32_t id) {
    return static_cast<std::byte>((i * 2654435761U + id) >> 24);
}

struct Added {
    std::int32_t id = 0;
    std::int32_t language = 0;
    std::uint32_t size = 0;
};

bool Copy(const std::string& from, const std::string& to) {
    std::error_code error;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
}

bool IsAdded(const vorn::ResourceEntry& e, const Added& added) {
    return e.typeId == kRtRcData && !e.name && e.nameId == added.id && e.language == added.language;
}

// One SectionAlignment and more, so the section's mapped end crosses at
// least one boundary; the odd remainder leaves padding for the builder.
std::int32_t AddResource(const std::string& path, vorn::ImageKinds kinds, Added& added, std::vector<std::byte>& payload) {
    vorn::Image image;
    if (const auto code = vorn::OpenImageForEdit(path.c_str(), image, false, kinds); code != vorn::ResultCode::Success) {
        return vorn::ToInt(code);
    }
    const vorn::ResourceTable& table = image.table;
    added.id = 1;
    while (std::any_of(table.entries.begin(), table.entries.end(), [&](const vorn::ResourceEntry& e) {
        return e.typeId == kRtRcData && !e.name && e.nameId == added.id;
    })) {
        ++added.id;
    }
    added.language = table.entryCount() % 2 ? 1033 : 0;
    added.size = image.layout.sectionAlignment + 1 +
                 static_cast<std::uint32_t>(table.entryCount() * 37) % image.layout.fileAlignment;

    payload.resize(added.size);
    for (std::uint32_t i = 0; i < added.size; ++i) payload[i] = PatternByte(i, static_cast<std::uint32_t>(added.id));
    if (const auto code = vorn::AddResourceEntry(image.table, kRtRcData); code != vorn::ResultCode::Success) {
        return vorn::ToInt(code);
    }
    vorn::ResourceEntry& entry = image.table.entries.back();
    entry.nameId = added.id;
    entry.language = added.language;
    entry.SetData(vorn::ResourceData(std::move(payload)));
    return vorn::ToInt(vorn::CommitResources(image));
}

std::int32_t RemoveResource(const std::string& path, vorn::ImageKinds kinds, const Added& added) {
    vorn::Image image;
    if (const auto code = vorn::OpenImageForEdit(path.c_str(), image, false, kinds); code != vorn::ResultCode::Success) {
        return vorn::ToInt(code);
    }
    std::vector<vorn::ResourceEntry>& entries = image.table.entries;
    if (std::count_if(entries.begin(), entries.end(), [&](const auto& e) { return IsAdded(e, added); }) != 1) {
        vorn::CloseImage(image);
        return kToolFailure;
    }
    std::erase_if(entries, [&](const auto& e) { return IsAdded(e, added); });
    return vorn::ToInt(vorn::CommitResources(image));
}

std::int32_t CommitUnchanged(const std::string& path, vorn::ImageKinds kinds) {
    vorn::Image image;
    if (const auto code = vorn::OpenImageForEdit(path.c_str(), image, false, kinds); code != vorn::ResultCode::Success) {
        return vorn::ToInt(code);
    }
    return vorn::ToInt(vorn::CommitResources(image));
}

void Process(const std::string& source, const std::string& stem, vorn::ImageKinds kinds) {
    const std::string add = stem + ".add", del = stem + ".del", same = stem + ".same";
    Added added;
    std::vector<std::byte> payload;
    // A step that cannot run because an earlier one failed reports the tool failure.
    const std::int32_t addCode = Copy(source, add) ? AddResource(add, kinds, added, payload) : kToolFailure;
    const std::int32_t delCode = addCode == 0 && Copy(add, del) ? RemoveResource(del, kinds, added) : kToolFailure;
    const std::int32_t sameCode = Copy(source, same) ? CommitUnchanged(same, kinds) : kToolFailure;
    std::cout << "{\"add\":" << addCode << ",\"del\":" << delCode
              << ",\"same\":" << sameCode << ",\"id\":" << added.id << ",\"language\":" << added.language
              << ",\"size\":" << added.size << "}\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const auto kinds = argc > 1 && std::string_view(argv[1]) == "--any-kind" ? vorn::ImageKinds::Pe32OrPe32Plus
                                                                            : vorn::ImageKinds::Pe32Only;
    std::string line;
    while (std::getline(std::cin, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) {
            std::cerr << "rewrite_tool: expected SOURCE<TAB>STEM, got: " << line << '\n';
            return 2;
        }
        Process(line.substr(0, tab), line.substr(tab + 1), kinds);
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}
