#include <algorithm>
#include <cstdio>

#include "base/byte_view.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "format/record_sort.h"
#include "platform/platform.h"
#include "image/image_rewrite.h"
#include "kinds/version/version_format.h"
#include "kinds/version/version_info.h"

namespace vorn {

namespace {

using namespace version;

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

class ImageWriter {
public:
    std::vector<std::byte> bytes;
    bool tooLong = false;

    void U16(std::uint16_t v) {
        bytes.push_back(std::byte(v & 0xFF));
        bytes.push_back(std::byte(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v & 0xFFFF));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Pad() { bytes.resize(Align4(bytes.size())); }
    void Text(const std::u16string& text) {
        for (const char16_t unit : text) U16(unit);
        U16(0);
    }
    // Writes a block's header and key; its length is set by End.
    std::size_t Begin(std::uint16_t valueLength, std::uint16_t type, const std::u16string& key) {
        const std::size_t start = bytes.size();
        U16(0);
        U16(valueLength);
        U16(type);
        Text(key);
        Pad();
        return start;
    }
    void End(std::size_t start) {
        const std::size_t length = bytes.size() - start;
        if (length > kMaxBlockLength) tooLong = true;
        StoreU16(bytes.data() + start, static_cast<std::uint16_t>(length));
    }
};

ResultCode Serialize(VersionInfo& record, std::vector<std::byte>& image, const OperationHooks& hooks) {
    if (record.tag != kVersionTag) return ResultCode::BadVersionRecord;
    SortRecords(RecordSortSpec<VersionItem>{record.items, {&CompareKind, &CompareBlock, &CompareReported, &ComparePair, &CompareItemKey}}, hooks);

    ImageWriter w;
    const std::size_t root = w.Begin(kFixedInfoSize, 0, std::u16string(kRootKey));
    for (const std::uint32_t v : {kFixedInfoSignature, kFixedInfoStrucVersion, record.fileVersionMS,
                                  record.fileVersionLS, record.productVersionMS, record.productVersionLS,
                                  record.fileFlags, record.fileFlags, record.fileOS, record.fileType,
                                  record.fileSubtype, record.fileDateMS, record.fileDateLS}) {
        w.U32(v);
    }

    const auto wide = [](const std::string& text) { return platform::AnsiToWide(text); };
    const auto& items = record.items;
    for (std::size_t i = 0; i < items.size();) {
        const ItemKind kind = items[i].kind;
        const std::int32_t blockIndex = items[i].block;
        const std::size_t block = w.Begin(0, 1, std::u16string(kind == ItemKind::StringItem ? kStringFileInfoKey : kVarFileInfoKey));
        while (i < items.size() && items[i].kind == kind && items[i].block == blockIndex) {
            const VersionItem& opening = items[i];
            // A block's first table or Var is the reported one; a later one of
            // the same pair or key stays a table or Var of its own.
            const auto sameGroup = [&](const VersionItem& item) {
                return item.kind == kind && item.block == blockIndex && item.reported == opening.reported &&
                       (kind == ItemKind::StringItem ? PairKey(item) == PairKey(opening) : item.key == opening.key);
            };
            if (kind == ItemKind::StringItem) {
                char tableKey[16];
                std::snprintf(tableKey, sizeof tableKey, "%.4X%.4X", unsigned{opening.language}, unsigned{opening.codePage});
                const std::size_t table = w.Begin(0, 1, std::u16string(tableKey, tableKey + 8));
                for (; i < items.size() && sameGroup(items[i]); ++i) {
                    const auto key = wide(items[i].key);
                    const auto value = wide(items[i].value);
                    if (!key || !value || value->size() + 1 > kMaxBlockLength) return ResultCode::TextConversionFailed;
                    const std::size_t string = w.Begin(static_cast<std::uint16_t>(value->size() + 1), 1, *key);
                    w.Text(*value);
                    w.Pad();
                    w.End(string);
                }
                w.End(table);
            } else {
                const auto key = wide(opening.key);
                if (!key) return ResultCode::TextConversionFailed;
                const std::size_t var = w.Begin(0, 0, *key);
                std::size_t values = 0;
                for (; i < items.size() && sameGroup(items[i]); ++i, ++values) w.U32(items[i].varValue);
                if (4 * values > kMaxBlockLength) return ResultCode::BadVersionRecord;
                StoreU16(w.bytes.data() + var + 2, static_cast<std::uint16_t>(4 * values));
                w.End(var);
            }
        }
        w.End(block);
    }
    for (const auto& other : record.otherBlocks) {
        w.bytes.insert(w.bytes.end(), other.begin(), other.end());
        w.Pad();
    }
    w.End(root);
    if (w.tooLong) return ResultCode::BadVersionRecord;
    image = std::move(w.bytes);
    return ResultCode::Success;
}

}  // namespace

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
