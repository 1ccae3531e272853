// The version record read from and written as a version tree: the tree's
// reader and writer are the only code that touches the resource's bytes;
// here are the record's own rules (ANSI texts of at most 255 bytes, which
// tables and Vars are reported, the order and grouping a write lays out).
#include <algorithm>
#include <cstdio>

#include "base/byte_view.h"
#include "format/pe_format.h"
#include "format/record_sort.h"
#include "image/image.h"
#include "image/image_rewrite.h"
#include "kinds/version/version_format.h"
#include "kinds/version/version_info.h"
#include "kinds/version/version_resource.h"
#include "platform/platform.h"

namespace vorn {

namespace {

using namespace version;

// ---- Reading ----

// The ANSI form of a text of the resource; more than 255 bytes, or a text
// the platform cannot convert, is a failure.
bool ToAnsiText(std::u16string_view units, std::string& out) {
    auto ansi = platform::WideToAnsi(units);
    if (!ansi || ansi->size() > kMaxTextBytes) return false;
    out = std::move(*ansi);
    return true;
}

// The items of one StringFileInfo or VarFileInfo. Only its first table or
// Var is reported: that is the one a later read shows.
ResultCode AddItems(const RootChild& child, std::int32_t block, std::vector<VersionItem>& items) {
    for (std::size_t t = 0; t < child.tables.size(); ++t) {
        const StringTable& table = child.tables[t];
        for (const VersionString& string : table.strings) {
            VersionItem& item = items.emplace_back();
            if (!ToAnsiText(string.key, item.key) || !ToAnsiText(string.value, item.value)) {
                return ResultCode::TextConversionFailed;
            }
            item.language = table.Language();
            item.codePage = table.CodePage();
            item.reported = t == 0;
            item.block = block;
        }
    }
    for (std::size_t v = 0; v < child.vars.size(); ++v) {
        const Var& var = child.vars[v];
        // The key converts even when the Var holds no value to report.
        std::string key;
        if (!ToAnsiText(var.key, key)) return ResultCode::TextConversionFailed;
        for (std::size_t at = 0; at + 4 <= var.value.size(); at += 4) {
            VersionItem& item = items.emplace_back();
            item.key = key;
            item.kind = ItemKind::VarItem;
            item.varValue = LoadU32(var.value.data() + at);
            item.reported = v == 0;
            item.block = block;
        }
    }
    return ResultCode::Success;
}

ResultCode FromTree(std::span<const std::byte> resource, VersionInfo& record) {
    VersionResource tree;
    const ResultCode read = ParseVersionTree(resource, tree, ReadRules::Record);
    if (read != ResultCode::Success && read != ResultCode::BadVersionResource) return read;
    if (read != ResultCode::Success && tree.raw.empty()) return read;  // the root itself is bad

    // The blocks before a bad one are still converted: a text that fails
    // there is the first fault, and is the one reported.
    std::vector<VersionItem> items;
    std::vector<std::vector<std::byte>> otherBlocks;
    std::int32_t stringBlocks = 0;
    std::int32_t varBlocks = 0;
    for (const RootChild& child : tree.children) {
        ResultCode code = ResultCode::Success;
        if (child.kind == ChildKind::StringFileInfo) {
            code = AddItems(child, stringBlocks++, items);
        } else if (child.kind == ChildKind::VarFileInfo) {
            code = AddItems(child, varBlocks++, items);
        } else {
            // A StringFileInfo or VarFileInfo too short for any child holds
            // nothing to keep.
            const std::u16string key = ReadText(child.raw, kBlockHeaderSize, child.raw.size()).units;
            if (key != kStringFileInfoKey && key != kVarFileInfoKey) otherBlocks.push_back(child.raw);
        }
        if (code != ResultCode::Success) return code;
    }
    if (read != ResultCode::Success) return read;

    const FixedFileInfo& f = tree.fixed;
    record.fileVersionMS = f.fileVersionMS;
    record.fileVersionLS = f.fileVersionLS;
    record.productVersionMS = f.productVersionMS;
    record.productVersionLS = f.productVersionLS;
    record.fileFlags = f.fileFlags;
    record.fileOS = f.fileOS;
    record.fileType = f.fileType;
    record.fileSubtype = f.fileSubtype;
    record.fileDateMS = f.fileDateMS;
    record.fileDateLS = f.fileDateLS;
    record.items = std::move(items);
    record.otherBlocks = std::move(otherBlocks);
    return ResultCode::Success;
}

// ---- Writing ----

// The language and code page as one signed number, code page high: the
// order of the StringTables.
std::int32_t PairKey(const VersionItem& item) {
    return static_cast<std::int32_t>(item.language | (std::uint32_t{item.codePage} << 16));
}

int CompareKind(const VersionItem& a, const VersionItem& b) {
    return CompareKey<KeyKind::Int32, &VersionItem::kind>(a, b);
}
int CompareBlock(const VersionItem& a, const VersionItem& b) {
    return CompareKey<KeyKind::Int32, &VersionItem::block>(a, b);
}
// Reported items come first, so that what a later read reports stays the same.
int CompareReported(const VersionItem& a, const VersionItem& b) { return int{b.reported} - int{a.reported}; }
int ComparePair(const VersionItem& a, const VersionItem& b) {
    const std::int32_t x = PairKey(a), y = PairKey(b);
    return x < y ? -1 : (y < x ? 1 : 0);
}
int CompareItemKey(const VersionItem& a, const VersionItem& b) {
    return platform::CompareIgnoreAsciiCase(a.key, b.key);
}

std::u16string RecordTableKey(const VersionItem& item) {
    char key[16];
    std::snprintf(key, sizeof key, "%.4X%.4X", unsigned{item.language}, unsigned{item.codePage});
    return std::u16string(key, key + kTableKeyLength);
}

// The tree of a sorted record: one StringFileInfo or VarFileInfo for each
// block, and in it one table for each pair or one Var for each key, the
// reported ones first. The checks come in the order the tree is laid out,
// so that the first fault is the one reported.
ResultCode ToTree(const VersionInfo& record, VersionResource& tree) {
    FixedFileInfo& f = tree.fixed;
    f.strucVersion = kFixedInfoStrucVersion;
    f.fileVersionMS = record.fileVersionMS;
    f.fileVersionLS = record.fileVersionLS;
    f.productVersionMS = record.productVersionMS;
    f.productVersionLS = record.productVersionLS;
    f.fileFlagsMask = record.fileFlags;  // the record keeps no mask: every flag it sets is valid
    f.fileFlags = record.fileFlags;
    f.fileOS = record.fileOS;
    f.fileType = record.fileType;
    f.fileSubtype = record.fileSubtype;
    f.fileDateMS = record.fileDateMS;
    f.fileDateLS = record.fileDateLS;

    const auto& items = record.items;
    for (std::size_t i = 0; i < items.size();) {
        const ItemKind kind = items[i].kind;
        const std::int32_t blockIndex = items[i].block;
        RootChild& block = tree.children.emplace_back();
        block.kind = kind == ItemKind::StringItem ? ChildKind::StringFileInfo : ChildKind::VarFileInfo;
        while (i < items.size() && items[i].kind == kind && items[i].block == blockIndex) {
            const VersionItem& opening = items[i];
            // A later table or Var of the same pair or key than the reported
            // one stays one of its own.
            const auto sameGroup = [&](const VersionItem& item) {
                return item.kind == kind && item.block == blockIndex && item.reported == opening.reported &&
                       (kind == ItemKind::StringItem ? PairKey(item) == PairKey(opening) : item.key == opening.key);
            };
            if (kind == ItemKind::StringItem) {
                StringTable& table = block.tables.emplace_back();
                table.key = RecordTableKey(opening);
                for (; i < items.size() && sameGroup(items[i]); ++i) {
                    auto key = platform::AnsiToWide(items[i].key);
                    auto value = platform::AnsiToWide(items[i].value);
                    if (!key || !value || value->size() + 1 > kMaxBlockLength) return ResultCode::TextConversionFailed;
                    VersionString& string = table.strings.emplace_back();
                    string.key = std::move(*key);
                    string.value = std::move(*value);
                }
            } else {
                auto key = platform::AnsiToWide(opening.key);
                if (!key) return ResultCode::TextConversionFailed;
                Var& var = block.vars.emplace_back();
                var.key = std::move(*key);
                for (; i < items.size() && sameGroup(items[i]); ++i) {
                    const std::uint32_t v = items[i].varValue;
                    for (const int shift : {0, 8, 16, 24}) var.value.push_back(std::byte((v >> shift) & 0xFF));
                }
                if (var.value.size() > kMaxBlockLength) return ResultCode::BadVersionRecord;
            }
        }
    }
    for (const auto& other : record.otherBlocks) {
        // Kept blocks are padded inside the root, the last one too.
        RootChild& child = tree.children.emplace_back();
        child.raw = other;
        child.raw.resize(Align4(other.size()));
    }
    return ResultCode::Success;
}

ResultCode Serialize(VersionInfo& record, std::vector<std::byte>& image, const OperationHooks& hooks) {
    if (record.tag != kVersionTag) return ResultCode::BadVersionRecord;
    SortRecords(RecordSortSpec<VersionItem>{record.items, {&CompareKind, &CompareBlock, &CompareReported, &ComparePair, &CompareItemKey}}, hooks);
    VersionResource tree;
    if (const ResultCode code = ToTree(record, tree); code != ResultCode::Success) return code;
    std::vector<std::byte> bytes;
    if (SerializeVersionTree(tree, bytes)) return ResultCode::BadVersionRecord;
    image = std::move(bytes);
    return ResultCode::Success;
}

}  // namespace

ResultCode ParseVersionResource(std::span<const std::byte> resource, VersionInfo& record) {
    try {
        return FromTree(resource, record);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode LoadVersionInfo(const char* path, VersionInfo& record, ImageKinds kinds) {
    try {
        Image image;
        if (const ResultCode code = OpenImageForEdit(path, image, true, kinds); code != ResultCode::Success) return code;
        const auto& entries = image.table.entries;
        const auto found = std::find_if(entries.begin(), entries.end(),
                                        [](const ResourceEntry& e) { return e.typeId == pe::kRtVersion; });
        if (found == entries.end()) return ResultCode::NoVersionResource;
        VersionInfo parsed;
        if (const ResultCode code = FromTree(found->Bytes(), parsed); code != ResultCode::Success) return code;
        record = std::move(parsed);
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode SerializeVersionInfo(VersionInfo& record, std::vector<std::byte>& image, const OperationHooks& hooks) {
    try {
        return Serialize(record, image, hooks);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode WriteVersionInfo(const char* path, VersionInfo& record, const ImageAccess& access) {
    try {
        if (record.tag != kVersionTag) return ResultCode::BadVersionRecord;
        Image image;
        if (const ResultCode code = OpenImageForEdit(path, image, false, access.kinds); code != ResultCode::Success) return code;
        std::vector<std::byte> resource;
        if (const ResultCode code = Serialize(record, resource, access.hooks); code != ResultCode::Success) return code;

        auto& entries = image.table.entries;
        auto found = std::find_if(entries.begin(), entries.end(),
                                  [](const ResourceEntry& e) { return e.typeId == pe::kRtVersion; });
        if (found == entries.end()) {
            if (const ResultCode code = AddResourceEntry(image.table, pe::kRtVersion); code != ResultCode::Success) {
                return code;
            }
            found = entries.end() - 1;
            found->nameId = 1;
            found->majorVersion = 1;
        }
        found->SetData(ResourceData(std::move(resource)));
        return CommitResources(image, access.hooks);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

}  // namespace vorn
