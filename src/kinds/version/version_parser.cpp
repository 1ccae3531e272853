#include <algorithm>

#include "base/byte_view.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "platform/platform.h"
#include "kinds/version/version_format.h"
#include "kinds/version/version_info.h"

namespace vorn {

namespace {

using namespace version;

// The ANSI form of a text of the resource; more than 255 bytes, or a text
// the platform cannot convert, is a failure.
bool ToAnsiText(const std::u16string& units, std::string& out) {
    auto ansi = platform::WideToAnsi(units);
    if (!ansi || ansi->size() > kMaxTextBytes) return false;
    out = std::move(*ansi);
    return true;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return 0;  // not a digit: counts as zero
}

struct Parser {
    Bytes bytes;
    VersionInfo& record;
    std::int32_t blockIndex = 0;  // of the StringFileInfo or VarFileInfo being read

    std::size_t size() const { return bytes.size(); }
    // A block's end, never past the resource.
    std::size_t End(std::size_t start, std::size_t length) const { return std::min(start + length, size()); }

    ResultCode ParseStringTable(std::size_t table, std::size_t limit, bool reported) {
        const auto length = ByteView(bytes).U16(table);
        if (!length || *length > limit) return ResultCode::BadVersionResource;
        const std::size_t tableEnd = End(table, *length);
        const Text key = ReadText(bytes, table + kBlockHeaderSize, tableEnd);
        if (key.units.size() != kTableKeyLength) return ResultCode::BadVersionResource;
        std::uint32_t pair = 0;
        for (const char16_t digit : key.units) pair = (pair << 4) | static_cast<std::uint32_t>(HexDigit(digit));

        for (std::size_t at = table + kTableHeaderSize; at + 2 <= tableEnd;) {
            const std::size_t stringLength = LoadU16(bytes.data() + at);
            const std::size_t stringEnd = End(at, stringLength);
            const Text name = ReadText(bytes, at + kBlockHeaderSize, stringEnd);
            const std::size_t valueStart = Align4(name.next);
            const Text value = valueStart < stringEnd ? ReadText(bytes, valueStart, stringEnd) : Text{};
            VersionItem& item = record.items.emplace_back();
            if (!ToAnsiText(name.units, item.key) || !ToAnsiText(value.units, item.value)) {
                return ResultCode::TextConversionFailed;
            }
            item.kind = ItemKind::StringItem;
            item.language = static_cast<std::uint16_t>(pair >> 16);
            item.codePage = static_cast<std::uint16_t>(pair & 0xFFFF);
            item.reported = reported;
            item.block = blockIndex;
            if (stringLength == 0) break;
            at = Align4(at + stringLength);
        }
        return ResultCode::Success;
    }

    ResultCode ParseVarBlock(std::size_t var, std::size_t limit, bool reported) {
        const auto length = ByteView(bytes).U16(var);
        if (!length || *length > limit) return ResultCode::BadVersionResource;
        const std::size_t varEnd = End(var, *length);
        const Text key = ReadText(bytes, var + kBlockHeaderSize, varEnd);
        std::string ansiKey;
        if (!ToAnsiText(key.units, ansiKey)) return ResultCode::TextConversionFailed;
        for (std::size_t at = Align4(key.next); at + 4 <= varEnd; at += 4) {
            VersionItem& item = record.items.emplace_back();
            item.key = ansiKey;
            item.kind = ItemKind::VarItem;
            item.varValue = LoadU32(bytes.data() + at);
            item.reported = reported;
            item.block = blockIndex;
        }
        return ResultCode::Success;
    }

    // The children of a StringFileInfo or VarFileInfo block. The first is
    // checked against the block's whole length and reported; later ones are
    // kept for the rewrite, and the walk stops at one that does not fit.
    template <class ParseChild>
    ResultCode ParseChildren(std::size_t block, std::size_t length, std::size_t firstChild, ParseChild parseChild) {
        const std::size_t blockEnd = End(block, length);
        for (std::size_t at = block + firstChild; at + 2 <= blockEnd; ) {
            const std::size_t childLength = LoadU16(bytes.data() + at);
            const bool first = at == block + firstChild;
            if (!first && (childLength == 0 || at + childLength > blockEnd)) break;
            if (const ResultCode code = (this->*parseChild)(at, first ? length : blockEnd - at, first);
                code != ResultCode::Success) {
                return code;
            }
            if (childLength == 0) break;
            at = Align4(at + childLength);
        }
        return ResultCode::Success;
    }

    ResultCode Parse() {
        if (size() < kRootSize || LoadU16(bytes.data()) > size()) return ResultCode::BadVersionResource;
        if (ReadText(bytes, kBlockHeaderSize, kFixedInfoOffset).units != kRootKey ||
            LoadU16(bytes.data() + 2) != kFixedInfoSize ||
            LoadU32(bytes.data() + kFixedInfoOffset) != kFixedInfoSignature) {
            return ResultCode::BadVersionResource;
        }
        const std::byte* fixed = bytes.data() + kFixedInfoOffset;
        record.fileVersionMS = LoadU32(fixed + 8);
        record.fileVersionLS = LoadU32(fixed + 12);
        record.productVersionMS = LoadU32(fixed + 16);
        record.productVersionLS = LoadU32(fixed + 20);
        record.fileFlags = LoadU32(fixed + 28);
        record.fileOS = LoadU32(fixed + 32);
        record.fileType = LoadU32(fixed + 36);
        record.fileSubtype = LoadU32(fixed + 40);
        record.fileDateMS = LoadU32(fixed + 44);
        record.fileDateLS = LoadU32(fixed + 48);
        record.items.clear();
        record.otherBlocks.clear();
        std::int32_t stringBlocks = 0;
        std::int32_t varBlocks = 0;

        // The walk runs to the end of the resource, not of the root.
        for (std::size_t at = kRootSize; at + 2 <= size();) {
            const std::size_t length = LoadU16(bytes.data() + at);
            if (at + length > size()) break;
            const std::u16string key = ReadText(bytes, at + kBlockHeaderSize, at + length).units;
            ResultCode code = ResultCode::Success;
            if (key == kStringFileInfoKey) {
                if (length > kStringFileInfoHeaderSize) {
                    blockIndex = stringBlocks++;
                    code = ParseChildren(at, length, kStringFileInfoHeaderSize, &Parser::ParseStringTable);
                }
            } else if (key == kVarFileInfoKey) {
                if (length > kVarFileInfoHeaderSize) {
                    blockIndex = varBlocks++;
                    code = ParseChildren(at, length, kVarFileInfoHeaderSize, &Parser::ParseVarBlock);
                }
            } else if (length != 0) {
                const auto block = bytes.subspan(at, length);
                record.otherBlocks.emplace_back(block.begin(), block.end());
            }
            if (code != ResultCode::Success) return code;
            if (length == 0) break;
            at = Align4(at + length);
        }
        return ResultCode::Success;
    }
};

}  // namespace

ResultCode ParseVersionResource(std::span<const std::byte> resource, VersionInfo& record) {
    try {
        return Parser{resource, record}.Parse();
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
        if (const ResultCode code = ParseVersionResource(found->Bytes(), parsed); code != ResultCode::Success) {
            return code;
        }
        record = std::move(parsed);
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

}  // namespace vorn
