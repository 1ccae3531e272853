// The module half of the platform layer where there is no Windows loader: a
// read-only reader of PE32 and PE32+ images that finds resources by the
// loader's rules. Addresses are mapped through the section table as the
// loader maps the image; a damaged structure finds nothing.
#include <array>
#include <deque>
#include <vector>

#include "pe/byte_view.h"
#include "pe/pe_format.h"
#include "pe/resource_table.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace vorn::platform {

using namespace pe;

namespace {

// PE32+ moves the data directories 16 bytes further: its image base and
// stack and heap sizes are 64-bit.
constexpr std::uint32_t kPe32DirectoryCountOffset = 92;
constexpr std::uint32_t kPe32PlusDirectoryCountOffset = 108;
constexpr std::uint16_t kNeutralLanguage = 0;
constexpr std::uint16_t kEnglishUsLanguage = 1033;

struct Section {
    std::uint32_t virtualAddress = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
};

// What a lookup asks for at one level of the directory: an id, or a name.
struct Key {
    bool isId = false;
    std::uint16_t id = 0;
    std::u16string name;
};

Key ParseKey(std::string_view text) {
    Key key;
    if (const auto id = ParseNumericResourceName(text)) {
        key.isId = true;
        key.id = *id;
        return key;
    }
    key.name = AnsiToWide(text).value_or(std::u16string());
    return key;
}

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

class DataModule {
public:
    explicit DataModule(File file) : file_(std::move(file)) {}

    bool ReadHeaders();
    std::optional<std::span<const std::byte>> Find(const Key& name, std::uint16_t type);

private:
    // `size` bytes at an image address, or nullopt outside the sections'
    // raw data.
    std::optional<std::vector<std::byte>> ReadRva(std::uint32_t rva, std::uint32_t size);
    // The OffsetToData of the entry of the directory at `directory`
    // (relative to the root) that matches `key`.
    std::optional<std::uint32_t> FindChild(std::uint32_t directory, const Key& key);
    std::optional<std::uint32_t> PickLanguage(std::uint32_t directory);
    bool NameMatches(std::uint32_t nameOffset, const std::u16string& name);

    File file_;
    std::uint64_t length_ = 0;
    std::vector<Section> sections_;
    std::uint32_t rootRva_ = 0;
    std::deque<std::vector<std::byte>> found_;  // handed-out bytes, kept while loaded
};

bool DataModule::ReadHeaders() {
    const auto length = file_.Length();
    if (!length) return false;
    length_ = *length;
    std::array<std::byte, kDosHeaderSize> dos{};
    if (!file_.ReadAt(0, dos) || LoadU16(dos.data()) != kDosMagic) return false;
    const std::uint32_t peOffset = LoadU32(dos.data() + kDosLfanewOffset);
    std::array<std::byte, kPeSignatureSize + kFileHeaderSize> head{};
    if (!file_.ReadAt(peOffset, head) || LoadU32(head.data()) != kPeSignature) return false;
    const std::byte* fileHeader = head.data() + kPeSignatureSize;
    const std::uint16_t optionalSize = LoadU16(fileHeader + kFileSizeOfOptionalHeaderOffset);
    std::vector<std::byte> optional(optionalSize);
    const std::uint64_t optionalOffset = std::uint64_t{peOffset} + kPeSignatureSize + kFileHeaderSize;
    if (!file_.ReadAt(optionalOffset, optional)) return false;
    const ByteView view(optional);
    const auto magic = view.U16(kOptMagicOffset);
    if (!magic || (*magic != kPe32Magic && *magic != kPe32PlusMagic)) return false;
    const std::uint32_t countOffset = *magic == kPe32Magic ? kPe32DirectoryCountOffset : kPe32PlusDirectoryCountOffset;
    const auto directoryCount = view.U32(countOffset);
    const auto resourceRva = view.U32(countOffset + 4 + kResourceDirectoryIndex * kDataDirectoryEntrySize);
    // An image without a resource directory maps, but holds no resources.
    if (directoryCount && *directoryCount > kResourceDirectoryIndex && resourceRva) rootRva_ = *resourceRva;

    const std::uint16_t sectionCount = LoadU16(fileHeader + kFileNumberOfSectionsOffset);
    std::vector<std::byte> table(std::size_t{sectionCount} * kSectionHeaderSize);
    if (!file_.ReadAt(optionalOffset + optionalSize, table)) return false;
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::byte* header = table.data() + i * kSectionHeaderSize;
        sections_.push_back({LoadU32(header + kSecVirtualAddressOffset), LoadU32(header + kSecSizeOfRawDataOffset),
                             LoadU32(header + kSecPointerToRawDataOffset)});
    }
    return true;
}

std::optional<std::vector<std::byte>> DataModule::ReadRva(std::uint32_t rva, std::uint32_t size) {
    for (const Section& section : sections_) {
        if (rva < section.virtualAddress || !Fits(rva - section.virtualAddress, size, section.rawSize)) continue;
        const std::uint64_t offset = std::uint64_t{section.rawOffset} + (rva - section.virtualAddress);
        if (!Fits(offset, size, length_)) return std::nullopt;
        std::vector<std::byte> bytes(size);
        if (!file_.ReadAt(offset, bytes)) return std::nullopt;
        return bytes;
    }
    return std::nullopt;
}

bool DataModule::NameMatches(std::uint32_t nameOffset, const std::u16string& name) {
    const auto length = ReadRva(rootRva_ + nameOffset, 2);
    if (!length || LoadU16(length->data()) != name.size()) return false;
    const auto text = ReadRva(rootRva_ + nameOffset + 2, static_cast<std::uint32_t>(2 * name.size()));
    if (!text) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (FoldAscii(LoadU16(text->data() + 2 * i)) != FoldAscii(name[i])) return false;
    }
    return true;
}

std::optional<std::uint32_t> DataModule::FindChild(std::uint32_t directory, const Key& key) {
    const auto header = ReadRva(rootRva_ + directory, kResDirectorySize);
    if (!header) return std::nullopt;
    const std::uint32_t named = LoadU16(header->data() + kResDirNamedCountOffset);
    const std::uint32_t count = named + LoadU16(header->data() + kResDirIdCountOffset);
    const auto entries = ReadRva(rootRva_ + directory + kResDirectorySize, count * kResEntrySize);
    if (!entries) return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t name = LoadU32(entries->data() + i * kResEntrySize);
        const bool isString = (name & kResHighBit) != 0;
        if (isString == key.isId) continue;
        if (key.isId ? name == key.id : NameMatches(name & kResOffsetMask, key.name)) {
            return LoadU32(entries->data() + i * kResEntrySize + 4);
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> DataModule::PickLanguage(std::uint32_t directory) {
    for (const std::uint16_t language : {kNeutralLanguage, kEnglishUsLanguage}) {
        Key key;
        key.isId = true;
        key.id = language;
        if (const auto child = FindChild(directory, key)) return child;
    }
    const auto header = ReadRva(rootRva_ + directory, kResDirectorySize);
    if (!header || LoadU16(header->data() + kResDirNamedCountOffset) + LoadU16(header->data() + kResDirIdCountOffset) == 0) {
        return std::nullopt;
    }
    const auto first = ReadRva(rootRva_ + directory + kResDirectorySize, kResEntrySize);
    if (!first) return std::nullopt;
    return LoadU32(first->data() + 4);
}

std::optional<std::span<const std::byte>> DataModule::Find(const Key& name, std::uint16_t type) {
    if (rootRva_ == 0) return std::nullopt;
    Key typeKey;
    typeKey.isId = true;
    typeKey.id = type;
    // Type and name lead to subdirectories, the language to a data entry.
    const auto typeDirectory = FindChild(0, typeKey);
    if (!typeDirectory || !(*typeDirectory & kResHighBit)) return std::nullopt;
    const auto nameDirectory = FindChild(*typeDirectory & kResOffsetMask, name);
    if (!nameDirectory || !(*nameDirectory & kResHighBit)) return std::nullopt;
    const auto dataEntry = PickLanguage(*nameDirectory & kResOffsetMask);
    if (!dataEntry || (*dataEntry & kResHighBit)) return std::nullopt;
    const auto entry = ReadRva(rootRva_ + *dataEntry, kResDataEntrySize);
    if (!entry) return std::nullopt;
    auto bytes = ReadRva(LoadU32(entry->data() + kResDataRvaOffset), LoadU32(entry->data() + kResDataSizeOffset));
    if (!bytes) return std::nullopt;
    found_.push_back(std::move(*bytes));
    return std::span<const std::byte>(found_.back());
}

void DataModuleCloser::operator()(DataModule* module) const { delete module; }

DataModuleHandle LoadDataModule(const char* path) {
    auto file = File::Open(path, File::Mode::Read);
    if (!file) return {};
    DataModuleHandle module(new DataModule(std::move(*file)));
    if (!module->ReadHeaders()) return {};
    return module;
}

std::optional<std::span<const std::byte>> FindModuleResource(DataModule& module, const char* name, std::uint16_t type) {
    if (name == nullptr) return std::nullopt;
    return module.Find(ParseKey(name), type);
}

}  // namespace vorn::platform
