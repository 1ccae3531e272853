#include "format/resource_table.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <type_traits>
#include <unordered_set>

#include "base/byte_view.h"
#include "format/pe_format.h"
#include "format/record_sort.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace vorn {

namespace {

using namespace pe;

// The state of one load, shared by every level of the walk.
// How many times over the records' data may claim the section's bytes.
constexpr std::uint64_t kMaxDataSharing = 4;

struct Load {
    ByteView bytes;
    std::shared_ptr<const std::vector<std::byte>> block;
    ResourceTable& table;
    std::uint32_t resourceRva;
    ResultCode failure = ResultCode::Success;
    // Every directory is walked at most once, so a tree whose offsets lead
    // back to a directory (or share one) cannot make the walk run without
    // bound or multiply its leaves.
    std::unordered_set<std::uint32_t> visited;
    // Converted names by string offset: entries that point at one string
    // share one copy, so the memory held stays bounded by the bytes read.
    std::map<std::uint32_t, ResourceName> names;
    // What the records' data add up to. Records may share bytes (one image
    // for several languages), but ones that add up to far more than the
    // section would make a rebuild copy each of them without bound.
    std::uint64_t dataBytes = 0;
    std::uint64_t nameBytes = 0;
    // Likewise the directories: ones that overlap share entries, and the walk
    // would take each shared entry once per directory.
    std::uint64_t directoryBytes = 0;
};

// The ANSI text of the counted string at `offset`; false when the string
// does not lie inside the bytes, is empty or cannot be converted: such an
// entry could only be written back as another name or a number.
bool ReadName(Load& load, std::uint32_t offset, ResourceName& name) {
    const auto found = load.names.find(offset);
    if (found != load.names.end()) {
        name = found->second;
        return true;
    }
    const auto length = load.bytes.U16(offset);
    if (!length) return false;
    const auto text = load.bytes.Sub(std::uint64_t{offset} + 2, std::uint64_t{*length} * 2);
    // Strings that overlap would each be converted and held.
    load.nameBytes += std::uint64_t{*length} * 2 + 2;
    if (!text || load.nameBytes > load.bytes.size()) return false;
    std::u16string units(*length, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) units[i] = LoadU16(text->data() + 2 * i);
    auto ansi = platform::WideToAnsi(units);
    if (!ansi || ansi->empty()) return false;
    name = std::make_shared<const std::string>(std::move(*ansi));
    load.names.emplace(offset, name);
    return true;
}

void WalkResourceDirectory(Load& load, std::uint32_t directory, ResourceEntry record, int level) {
    const auto header = load.bytes.Sub(directory, kResDirectorySize);
    if (!header) {
        load.failure = ResultCode::BadResourceData;
        return;
    }
    load.directoryBytes += kResDirectorySize;
    const std::byte* h = header->data();
    const std::uint32_t namedCount = LoadU16(h + kResDirNamedCountOffset);
    const std::uint32_t entryCount = namedCount + LoadU16(h + kResDirIdCountOffset);

    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const auto entry = load.bytes.Sub(std::uint64_t{directory} + kResDirectorySize + std::uint64_t{i} * kResEntrySize,
                                          kResEntrySize);
        load.directoryBytes += kResEntrySize;
        if (!entry || load.directoryBytes > load.bytes.size()) {
            load.failure = ResultCode::BadResourceData;
            return;
        }
        const std::uint32_t nameField = LoadU32(entry->data());
        const std::uint32_t offsetToData = LoadU32(entry->data() + 4);

        // Entries counted as named are named whatever their top bit says.
        // An id is 16 bits, and a language is never a name: an entry that
        // breaks either rule would come back under another identity.
        ResourceName text;
        const bool named = i < namedCount;
        if ((named && (level == 2 || !ReadName(load, nameField & kResOffsetMask, text))) ||
            (!named && nameField > 0xFFFF)) {
            load.failure = ResultCode::BadResourceData;
            return;
        }
        const auto id = static_cast<std::int32_t>(nameField & 0xFFFF);

        if (level == 0) {
            record.typeId = text ? -1 : id;
            record.typeName = text;
            if (!text && id == kRtIcon) load.table.hasIcons = 1;
            if (!text && id == kRtVersion) load.table.hasVersion = 1;
            ++load.table.typeCount;
        } else if (level == 1) {
            record.nameId = text ? -1 : id;
            record.name = text;
        } else {
            record.language = id;
        }

        // Type, name, language: data anywhere but at the third level, or a
        // directory below it, would be rebuilt into another shape.
        const bool subdirectoryEntry = (offsetToData & kResHighBit) != 0;
        if (subdirectoryEntry != (level < kLanguageLevel)) {
            load.failure = ResultCode::BadResourceData;
            return;
        }
        if (subdirectoryEntry) {
            const std::uint32_t subdirectory = offsetToData & kResOffsetMask;
            if (!load.visited.insert(subdirectory).second) {
                load.failure = ResultCode::BadResourceData;
                continue;
            }
            WalkResourceDirectory(load, subdirectory, record, level + 1);
            continue;
        }

        const auto dataEntry = load.bytes.Sub(offsetToData, kResDataEntrySize);
        if (!dataEntry) {
            load.failure = ResultCode::BadResourceData;
            return;
        }
        const std::uint32_t dataRva = LoadU32(dataEntry->data() + kResDataRvaOffset);
        record.size = LoadU32(dataEntry->data() + kResDataSizeOffset);
        record.codePage = LoadU32(dataEntry->data() + kResDataCodePageOffset);
        // The data entry holds an RVA; the bytes begin at resourceRva.
        const auto data = dataRva < load.resourceRva ? std::nullopt : load.bytes.Sub(dataRva - load.resourceRva, record.size);
        if (!data) {
            load.failure = ResultCode::BadResourceData;
            return;
        }
        load.dataBytes += record.size;
        if (load.dataBytes > kMaxDataSharing * load.bytes.size()) {
            load.failure = ResultCode::BadResourceData;
            return;
        }
        record.data = ResourceData(load.block, *data);
        record.ordinal = load.table.entryCount();
        record.characteristics = LoadU32(h + kResDirCharacteristicsOffset);
        record.timeDateStamp = LoadU32(h + kResDirTimeDateStampOffset);
        record.majorVersion = LoadU16(h + kResDirMajorVersionOffset);
        record.minorVersion = LoadU16(h + kResDirMinorVersionOffset);
        record.deleted = 0;
        try {
            load.table.entries.push_back(record);
        } catch (const std::bad_alloc&) {
            load.failure = ResultCode::OutOfMemory;
            return;
        }
    }
}

}  // namespace

ResultCode LoadResourceTable(const std::shared_ptr<const std::vector<std::byte>>& resourceBytes, ResourceTable& table,
                             std::uint32_t resourceRva) {
    ReleaseResourceTable(table);
    Load load{ByteView(*resourceBytes), resourceBytes, table, resourceRva, ResultCode::Success, {}, {}, 0, 0, 0};
    try {
        load.visited.insert(0);
        WalkResourceDirectory(load, 0, ResourceEntry{}, 0);
    } catch (const std::bad_alloc&) {
        // A name or the bookkeeping could not be allocated.
        load.failure = ResultCode::OutOfMemory;
    }
    return load.failure;
}

ResultCode LoadResourceTable(std::span<const std::byte> resourceBytes, ResourceTable& table, std::uint32_t resourceRva) {
    try {
        return LoadResourceTable(std::make_shared<const std::vector<std::byte>>(resourceBytes.begin(), resourceBytes.end()),
                                 table, resourceRva);
    } catch (const std::bad_alloc&) {
        ReleaseResourceTable(table);
        return ResultCode::OutOfMemory;
    }
}

void ReleaseResourceTable(ResourceTable& table) {
    table.entries.clear();
    table.entries.shrink_to_fit();
    table.typeCount = 0;
    table.hasIcons = 0;
    table.hasVersion = 0;
}

ResourceData::ResourceData(std::vector<std::byte> bytes) {
    auto block = std::make_shared<const std::vector<std::byte>>(std::move(bytes));
    bytes_ = block->data();
    size_ = static_cast<std::uint32_t>(block->size());
    owner_ = std::move(block);
}

ResourceData::ResourceData(std::shared_ptr<const std::vector<std::byte>> block, std::span<const std::byte> part)
    : owner_(std::move(block)), bytes_(part.data()), size_(static_cast<std::uint32_t>(part.size())) {}

ResourceData::ResourceData(std::shared_ptr<File> file, std::uint64_t offset, std::uint32_t size)
    : file_(file.get()), offset_(offset), size_(size) {
    owner_ = std::move(file);
}

bool ResourceData::CopyTo(std::span<std::byte> out) const {
    if (out.size() != size_) return false;
    if (file_ != nullptr) return file_->ReadAt(offset_, out);
    if (size_ != 0) std::copy_n(bytes_, size_, out.data());
    return true;
}

ResultCode AddResourceEntry(ResourceTable& table, std::int32_t typeId) {
    try {
        // The smallest ordinal that no record holds.
        std::vector<std::int32_t> ordinals;
        ordinals.reserve(table.entries.size());
        for (const ResourceEntry& entry : table.entries) ordinals.push_back(entry.ordinal);
        std::sort(ordinals.begin(), ordinals.end());
        std::int32_t ordinal = 0;
        for (const std::int32_t taken : ordinals) {
            if (taken == ordinal) ++ordinal;
            else if (taken > ordinal) break;
        }
        const bool newType = std::none_of(table.entries.begin(), table.entries.end(),
                                          [typeId](const ResourceEntry& e) { return e.typeId == typeId; });
        ResourceEntry& added = table.entries.emplace_back();
        added.typeId = typeId;
        added.ordinal = ordinal;
        if (newType) ++table.typeCount;
        if (typeId == pe::kRtIcon) table.hasIcons = 1;
        if (typeId == pe::kRtVersion) table.hasVersion = 1;
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

std::string NumericResourceName(std::int32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "#%i", static_cast<int>(id));
    return text;
}

std::optional<std::uint16_t> ParseNumericResourceName(std::string_view name) {
    if (name.size() < 2 || name[0] != '#') return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : name.substr(1)) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 0xFFFF) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

namespace {

char16_t FoldUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

template <class Text>
int CompareFoldedUpper(const Text& a, const Text& b) {
    using Unit = std::make_unsigned_t<typename Text::value_type>;
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const int ca = FoldUpper(static_cast<char16_t>(static_cast<Unit>(a[i])));
        const int cb = FoldUpper(static_cast<char16_t>(static_cast<Unit>(b[i])));
        if (ca != cb) return ca - cb;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace

int CompareResourceNames(std::string_view a, std::string_view b) {
    // ASCII text orders the same in bytes and in UTF-16; other text is
    // converted, as the code page's byte order need not be Unicode's.
    if (!IsAscii(a) || !IsAscii(b)) {
        const auto wideA = platform::AnsiToWide(a);
        const auto wideB = platform::AnsiToWide(b);
        if (wideA && wideB) return CompareFoldedUpper(*wideA, *wideB);
    }
    return CompareFoldedUpper(a, b);
}

void SortResourceTable(std::span<ResourceEntry> entries, const OperationHooks& hooks) {
    RecordSortSpec<ResourceEntry> spec{entries,
                                       {
                                           &CompareKey<KeyKind::Int32, &ResourceEntry::deleted>,
                                           &CompareKey<KeyKind::Int32, &ResourceEntry::typeId>,
                                           &CompareKey<KeyKind::ResourceNamePointer, &ResourceEntry::typeName>,
                                           &CompareKey<KeyKind::Int32, &ResourceEntry::nameId>,
                                           &CompareKey<KeyKind::ResourceNamePointer, &ResourceEntry::name>,
                                           &CompareKey<KeyKind::Int32, &ResourceEntry::language>,
                                       }};
    SortRecords(spec, hooks);
}

}  // namespace vorn
