// A test-side writer of PE32 images and resource sections. It shares no code
// with the library, so what it writes can serve as an oracle: tests build a
// well-formed image here and make malformed shapes by editing its bytes.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::test {

using ByteVec = std::vector<std::uint8_t>;

// Little-endian access to written bytes; out of range throws, since it is a
// mistake in the test.
void put16(ByteVec& bytes, std::size_t offset, std::uint16_t value);
void put32(ByteVec& bytes, std::size_t offset, std::uint32_t value);
std::uint16_t get16(const ByteVec& bytes, std::size_t offset);
std::uint32_t get32(const ByteVec& bytes, std::size_t offset);

// A resource type, name or language: a number, or a string of UTF-16 code
// units (so that empty and unconvertible names can be written too).
struct ResId {
    ResId(int number) : id(static_cast<std::uint16_t>(number)) {}
    ResId(const char* ascii);
    ResId(const char16_t* text) : named(true), name(text) {}
    ResId(std::u16string text) : named(true), name(std::move(text)) {}

    bool named = false;
    std::uint16_t id = 0;
    std::u16string name;
};

// The header fields of one resource directory.
struct DirInfo {
    std::uint32_t characteristics = 0;
    std::uint32_t timeDateStamp = 0;
    std::uint16_t majorVersion = 0;
    std::uint16_t minorVersion = 0;
};

struct ResLanguage {
    ResLanguage(ResId language, ByteVec bytes = {}, std::uint32_t page = 0)
        : id(std::move(language)), data(std::move(bytes)), codePage(page) {}
    ResId id;
    ByteVec data;
    std::uint32_t codePage;
};

struct ResName {
    ResName(ResId name, std::vector<ResLanguage> entries = {}, DirInfo info = {})
        : id(std::move(name)), languages(std::move(entries)), dir(info) {}
    ResId id;
    std::vector<ResLanguage> languages;
    DirInfo dir;  // the language-level directory below this name
};

struct ResType {
    ResType(ResId type, std::vector<ResName> entries = {}, DirInfo info = {})
        : id(std::move(type)), names(std::move(entries)), dir(info) {}
    ResId id;
    std::vector<ResName> names;
    DirInfo dir;  // the name-level directory below this type
};

struct ResourceTree {
    std::vector<ResType> types;
    DirInfo root{};
    // Named entries always come first, as the entry counts demand; sorting
    // also orders names by code unit and ids by value.
    bool sortEntries = true;
};

// A written resource section. Directories are laid out depth first, each
// language directory followed at once by its data entries; strings come
// after the whole tree, then the data, each block on a 4-byte boundary. All
// offsets are from the start of the section.
struct ResourceSection {
    ByteVec bytes;
    std::vector<std::uint32_t> directoryOffsets;  // in preorder: root first
    std::vector<std::uint32_t> dataEntryOffsets;  // one per leaf, depth-first order
    std::vector<std::uint32_t> dataOffsets;       // likewise
    std::vector<std::uint32_t> stringOffsets;     // in the order the entries were written
};

// Offsets of the header fields a test edits.
inline constexpr std::size_t kDirNamedCount = 12;
inline constexpr std::size_t kDirIdCount = 14;
inline constexpr std::size_t kDirHeaderSize = 16;
inline constexpr std::size_t kDirEntrySize = 8;
inline constexpr std::uint32_t kSubdirectoryBit = 0x80000000;

// The section bytes for `tree`, with data entries holding RVAs based on `rva`.
ResourceSection WriteResourceSection(const ResourceTree& tree, std::uint32_t rva);

struct Section {
    std::string name = ".data";
    ByteVec data;
    std::uint32_t characteristics = 0xC0000040;  // initialised data, read, write
};

// The installer loader's offset table, written into the overlay.
struct InstallerTable {
    std::uint32_t overlayOffset = 0;  // where in the overlay the table starts
    std::array<std::uint32_t, 8> values{};
    bool writeTableId = true;  // false leaves the tag pointing at no table
};

inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::uint32_t kScnCode = 0x20;
inline constexpr std::uint32_t kScnInitializedData = 0x40;

struct PeShape {
    std::uint32_t lfanew = 0x80;
    std::uint32_t fileAlignment = 0x200;  // 0 is written as 0 and laid out as 1
    std::uint32_t sectionAlignment = 0x1000;
    bool pe32Plus = false;  // magic 0x20B and a 240-byte optional header
    bool dll = false;
    std::optional<std::uint32_t> baseOfCode;  // default: the first code section
    // Before the resource section; the default is one code section holding `ret`.
    std::vector<Section> sections{Section{".text", {0xC3}, 0x60000020}};
    std::optional<ResourceTree> resources;  // becomes a ".rsrc" section
    // Bytes of padding at the start of ".rsrc" before the directory, so that
    // the directory does not begin at the section's address.
    std::uint32_t resourceDirectoryDelta = 0;
    std::vector<Section> sectionsAfterResources;
    ByteVec overlay;  // appended after the last section's raw data
    std::optional<InstallerTable> installer;
};

struct SectionPlacement {
    std::string name;
    std::uint32_t headerOffset = 0;  // file offset of the 40-byte header
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t rawSize = 0;
};

// Section header field offsets, for edits.
inline constexpr std::size_t kSecVirtualAddress = 12;
inline constexpr std::size_t kSecSizeOfRawData = 16;
inline constexpr std::size_t kSecPointerToRawData = 20;

struct WrittenPe {
    ByteVec bytes;
    std::uint32_t optionalHeaderOffset = 0;
    std::uint32_t dataDirectoryOffset = 0;
    std::uint32_t sectionTableOffset = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t sizeOfInitializedData = 0;
    std::uint32_t baseOfCode = 0;
    std::vector<SectionPlacement> sections;
    // Zero when there are no resources.
    std::uint32_t resourceRva = 0;
    std::uint32_t resourceSize = 0;
    std::uint32_t resourceOffset = 0;  // file offset of the resource directory
    std::optional<std::size_t> resourceSectionIndex;
    ResourceSection resources;
    std::uint32_t overlayOffset = 0;
    std::uint32_t installerTableOffset = 0;  // 0 without an installer table

    // File offsets of the resource data directory's two fields.
    [[nodiscard]] std::uint32_t ResourceDirectoryRvaField() const { return dataDirectoryOffset + 16; }
    [[nodiscard]] std::uint32_t ResourceDirectorySizeField() const { return dataDirectoryOffset + 20; }
};

WrittenPe WritePe(const PeShape& shape);

// A directory that holds the files of one test and is removed with them.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    // Writes `bytes` to a new file of a unique name and returns its path.
    std::string Write(const ByteVec& bytes, std::string_view stem = "image");

private:
    std::filesystem::path path_;
    unsigned counter_ = 0;
};

}  // namespace vorn::test
