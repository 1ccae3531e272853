#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/resource_table.h"
#include "support/pe_writer.h"

namespace vorn {
namespace {

using namespace vorn::test;

constexpr std::uint32_t kRva = 0x3000;

int Load(const ByteVec& bytes, ResourceTable& table, std::uint32_t rva = kRva) {
    return ToInt(LoadResourceTable(std::as_bytes(std::span(bytes)), table, rva));
}

const std::byte* At(const ByteVec& bytes, std::uint32_t offset) {
    return reinterpret_cast<const std::byte*>(bytes.data()) + offset;
}

ResName Leaf(ResId name, std::uint8_t fill = 0xAB) { return {std::move(name), {{1033, ByteVec(8, fill)}}}; }

// Offset of entry i of the directory at `dir`.
std::uint32_t Entry(std::uint32_t dir, std::uint32_t i) { return dir + 16 + 8 * i; }

TEST(ResourceTableLoad, EmptyRootGivesAnEmptyTable) {
    ResourceTable table;
    table.entries.resize(2);
    EXPECT_EQ(Load(WriteResourceSection(ResourceTree{}, kRva).bytes, table), VornSuccess);
    EXPECT_EQ(table.entryCount(), 0);
}

TEST(ResourceTableLoad, EmptyTypesAddNoEntries) {
    ResourceTree tree;
    tree.types = {{"A", {Leaf(1), Leaf(2)}}, {"B", {}}, {"C", {Leaf("X")}}, {1, {}},
                  {2, {Leaf(1)}},           {4, {Leaf(1), Leaf(2)}},  {5, {}}, {6, {Leaf(9)}}};
    ResourceTable table;
    ASSERT_EQ(Load(WriteResourceSection(tree, kRva).bytes, table), VornSuccess);
    EXPECT_EQ(table.entryCount(), 7);
}

TEST(ResourceTableLoad, LanguagesOfOneNameShareItsString) {
    ResourceTree tree;
    tree.types = {{"TEXT", {{"GREETING", {{1033, {1}}, {1031, {2}}, {1036, {3}}}}, Leaf("OTHER")}}};
    ResourceTable table;
    ASSERT_EQ(Load(WriteResourceSection(tree, kRva).bytes, table), VornSuccess);
    ASSERT_EQ(table.entryCount(), 4);
    const auto& e = table.entries;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(e[i].nameId, -1);
        EXPECT_EQ(e[i].name, e[0].name);
    }
    ASSERT_TRUE(e[0].name);
    EXPECT_EQ(*e[0].name, "GREETING");
    EXPECT_EQ(*e[3].name, "OTHER");
    for (const ResourceEntry& entry : e) {
        EXPECT_EQ(entry.typeId, -1);
        EXPECT_EQ(entry.typeName, e[0].typeName);
    }
    EXPECT_EQ(*e[0].typeName, "TEXT");
}

TEST(ResourceTableLoad, RecordsFollowDepthFirstDirectoryOrder) {
    ResourceTree tree;
    tree.sortEntries = false;  // load order must follow the directory, not the values
    tree.types = {{16, {Leaf(1)}},
                  {"B", {{7, {{2052, {1, 2}, 936}, {1033, {3}, 1252}}}, Leaf("N")}},
                  {3, {Leaf(2), Leaf(1)}}};
    const ResourceSection section = WriteResourceSection(tree, kRva);
    ResourceTable table;
    ASSERT_EQ(Load(section.bytes, table), VornSuccess);

    struct Expected {
        int typeId;
        int nameId;
        int language;
        std::uint32_t codePage;
    };
    // Named entries come first in every directory: "N" before 7.
    const Expected expected[] = {{-1, -1, 1033, 0}, {-1, 7, 2052, 936}, {-1, 7, 1033, 1252},
                                 {16, 1, 1033, 0},  {3, 2, 1033, 0},    {3, 1, 1033, 0}};
    ASSERT_EQ(table.entryCount(), 6);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const ResourceEntry& entry = table.entries[i];
        EXPECT_EQ(entry.ordinal, i);
        EXPECT_EQ(entry.typeId, expected[i].typeId);
        EXPECT_EQ(entry.nameId, expected[i].nameId);
        EXPECT_EQ(entry.language, expected[i].language);
        EXPECT_EQ(entry.codePage, expected[i].codePage);
        EXPECT_EQ(entry.deleted, 0);
        EXPECT_EQ(entry.size, get32(section.bytes, section.dataEntryOffsets[i] + 4));
        EXPECT_TRUE(std::equal(entry.Bytes().begin(), entry.Bytes().end(), At(section.bytes, section.dataOffsets[i])));
    }
    EXPECT_EQ(table.entries[1].size, 2u);
}

TEST(ResourceTableLoad, DirectoryFieldsComeFromTheDirectoryHoldingTheData) {
    ResourceTree tree;
    tree.root = {1, 2, 3, 4};
    tree.types = {{10, {{5, {{1033, {1}}}, {0xC0DE, 0x5F5E0FF, 7, 8}}}, {5, 6, 7, 8}}};
    ResourceTable table;
    ASSERT_EQ(Load(WriteResourceSection(tree, kRva).bytes, table), VornSuccess);
    ASSERT_EQ(table.entryCount(), 1);
    EXPECT_EQ(table.entries[0].characteristics, 0xC0DEu);
    EXPECT_EQ(table.entries[0].timeDateStamp, 0x5F5E0FFu);
    EXPECT_EQ(table.entries[0].majorVersion, 7);
    EXPECT_EQ(table.entries[0].minorVersion, 8);
}

// A tree that a rebuild would give another shape: every resource must come
// back under its own type, name and language, or the file is refused.
TEST(ResourceTableLoad, DataOutsideTheLanguageLevelIsDamage) {
    ResourceTree tree;
    tree.types = {{10, {{7, {{1033, {1, 2, 3}}}}}}};
    ResourceSection section = WriteResourceSection(tree, kRva);
    ResourceTable table;
    ASSERT_EQ(Load(section.bytes, table), VornSuccess);

    ResourceSection typeToData = section;
    put32(typeToData.bytes, Entry(0, 0) + 4, typeToData.dataEntryOffsets[0]);
    EXPECT_EQ(Load(typeToData.bytes, table), VornBadResourceData);
    ResourceSection nameToData = section;
    put32(nameToData.bytes, Entry(nameToData.directoryOffsets[1], 0) + 4, nameToData.dataEntryOffsets[0]);
    EXPECT_EQ(Load(nameToData.bytes, table), VornBadResourceData);
    ResourceSection languageToDirectory = section;
    put32(languageToDirectory.bytes, Entry(languageToDirectory.directoryOffsets[2], 0) + 4,
          kSubdirectoryBit | languageToDirectory.directoryOffsets[1]);
    EXPECT_EQ(Load(languageToDirectory.bytes, table), VornBadResourceData);
}

// Two types of one leaf each, so that damage below the first leaves the
// second to show that the walk went on.
ResourceSection TwoTypes() {
    ResourceTree tree;
    tree.types = {{10, {Leaf(1, 0x10)}}, {11, {Leaf(1, 0x11)}}};
    return WriteResourceSection(tree, kRva);
}

TEST(ResourceTableDamage, DataOutsideTheSectionIsRefused) {
    const ResourceSection good = TwoTypes();
    const auto size = static_cast<std::uint32_t>(good.bytes.size());
    const std::uint32_t entry = good.dataEntryOffsets[0];
    struct Case {
        std::uint32_t rva, dataSize;
        int code;
    };
    const Case cases[] = {
        {kRva + size - 8, 8, VornSuccess},  // ends exactly at the end
        {kRva + size - 7, 8, VornBadResourceData},
        {kRva - 1, 8, VornBadResourceData},
        {kRva + size, 1, VornBadResourceData},
        {0xFFFFFFFF, 2, VornBadResourceData},
        {kRva, 0xFFFFFFFF, VornBadResourceData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rva);
        ByteVec bytes = good.bytes;
        put32(bytes, entry, c.rva);
        put32(bytes, entry + 4, c.dataSize);
        ResourceTable table;
        EXPECT_EQ(Load(bytes, table), c.code);
        ASSERT_EQ(table.entryCount(), c.code == VornSuccess ? 2 : 1);
        EXPECT_EQ(table.entries.back().typeId, 11);
    }

    ByteVec cutEntry = good.bytes;
    put32(cutEntry, Entry(good.directoryOffsets[2], 0) + 4, size - 8);  // data entry straddles the end
    ResourceTable table;
    EXPECT_EQ(Load(cutEntry, table), VornBadResourceData);
    EXPECT_EQ(table.entryCount(), 1);
}

TEST(ResourceTableDamage, LoopsAreRefusedAndTheWalkEnds) {
    const ResourceSection good = TwoTypes();
    // directoryOffsets: root, type 10's names, its languages, type 11's names, ...
    const std::uint32_t names = good.directoryOffsets[1];
    const std::uint32_t languages = good.directoryOffsets[2];
    const std::pair<std::uint32_t, std::uint32_t> loops[] = {
        {names, names},      // a directory holding itself
        {languages, 0},      // back to the root
        {languages, names},  // back to its parent
    };
    for (const auto& [dir, target] : loops) {
        SCOPED_TRACE(dir);
        ByteVec bytes = good.bytes;
        put32(bytes, Entry(dir, 0) + 4, kSubdirectoryBit | target);
        ResourceTable table;
        EXPECT_EQ(Load(bytes, table), VornBadResourceData);
        ASSERT_EQ(table.entryCount(), 1);
        EXPECT_EQ(table.entries[0].typeId, 11);
    }
}

TEST(ResourceTableDamage, SharedSubdirectoryIsWalkedOnce) {
    const ResourceSection good = TwoTypes();
    ByteVec bytes = good.bytes;
    put32(bytes, Entry(0, 1) + 4, kSubdirectoryBit | good.directoryOffsets[1]);
    ResourceTable table;
    EXPECT_EQ(Load(bytes, table), VornBadResourceData);
    ASSERT_EQ(table.entryCount(), 1);
    EXPECT_EQ(table.entries[0].typeId, 10);
}

TEST(ResourceTableDamage, OvercountedDirectoryKeepsTheEntriesThatFit) {
    ResourceTree tree;
    tree.types = {{10, {Leaf(1), Leaf(2)}}};
    const ResourceSection section = WriteResourceSection(tree, kRva);
    // A copy of the name directory at the very end claims three more entries
    // than the bytes hold.
    ByteVec bytes = section.bytes;
    const auto copy = static_cast<std::uint32_t>(bytes.size());
    const std::uint32_t names = section.directoryOffsets[1];
    bytes.insert(bytes.end(), bytes.begin() + names, bytes.begin() + Entry(names, 2));
    put16(bytes, copy + kDirIdCount, 5);
    put32(bytes, Entry(0, 0) + 4, kSubdirectoryBit | copy);
    ResourceTable table;
    EXPECT_EQ(Load(bytes, table), VornBadResourceData);
    ASSERT_EQ(table.entryCount(), 2);
    EXPECT_EQ(table.entries[1].nameId, 2);

    // A root claiming 65535 entries ends too.
    bytes = section.bytes;
    put16(bytes, kDirIdCount, 0xFFFF);
    EXPECT_EQ(Load(bytes, table), VornBadResourceData);
}

TEST(ResourceTableDamage, NameStringPastTheEnd) {
    ResourceTree tree;
    tree.types = {{10, {Leaf("X"), Leaf(5)}}, {11, {Leaf(1)}}};
    const ResourceSection section = WriteResourceSection(tree, kRva);
    const std::uint32_t nameEntry = Entry(section.directoryOffsets[1], 0);
    ByteVec longString = section.bytes;
    put16(longString, section.stringOffsets[0], 0x7FFF);
    ByteVec farString = section.bytes;
    put32(farString, nameEntry, 0xFFFFFFFF);
    ByteVec cutString = section.bytes;
    put32(cutString, nameEntry, kSubdirectoryBit | static_cast<std::uint32_t>(cutString.size() - 1));
    for (const ByteVec* bytes : {&longString, &farString, &cutString}) {
        ResourceTable table;
        EXPECT_EQ(Load(*bytes, table), VornBadResourceData);
        ASSERT_EQ(table.entryCount(), 1);
        EXPECT_EQ(table.entries[0].typeId, 11);
    }
}

// Names and ids that a rebuild could only write back as something else.
TEST(ResourceTableNames, NamesThatCannotBeKeptAreDamage) {
    for (const std::u16string& bad : {std::u16string(), std::u16string(1, u'\xD800')}) {
        ResourceTree tree;
        tree.sortEntries = false;
        tree.types = {{10, {Leaf(bad), Leaf(u"OK")}}};
        ResourceTable table;
        EXPECT_EQ(Load(WriteResourceSection(tree, kRva).bytes, table), VornBadResourceData);
    }
    ResourceTree tree;
    tree.sortEntries = false;
    tree.types = {{10, {Leaf(u"A"), Leaf(u"OK"), Leaf(7)}}};
    ResourceSection section = WriteResourceSection(tree, kRva);
    const std::uint32_t names = section.directoryOffsets[1];
    ResourceTable table;

    // Only the named count decides: a named entry without its top bit is
    // still a string.
    put32(section.bytes, Entry(names, 1), section.stringOffsets[1]);
    ASSERT_EQ(Load(section.bytes, table), VornSuccess);
    ASSERT_TRUE(table.entries[1].name);
    EXPECT_EQ(*table.entries[1].name, "OK");
    // An id entry holds 16 bits, whatever its top bit says.
    for (const std::uint32_t id : {0x0000FFFFu, 0x00010000u, 0x7FFFFFFEu, kSubdirectoryBit | 0x34u}) {
        put32(section.bytes, Entry(names, 2), id);
        EXPECT_EQ(Load(section.bytes, table), id == 0xFFFF ? VornSuccess : VornBadResourceData) << id;
    }
}

TEST(ResourceTableNames, LongNameIsKeptWhole) {
    // Turning a long name into a number would lose it on the rewrite.
    const std::u16string longName(300, u'n');
    ResourceTree tree;
    tree.types = {{longName, {Leaf(longName)}}};
    ResourceTable table;
    ASSERT_EQ(Load(WriteResourceSection(tree, kRva).bytes, table), VornSuccess);
    ASSERT_EQ(table.entryCount(), 1);
    ASSERT_TRUE(table.entries[0].name && table.entries[0].typeName);
    EXPECT_EQ(*table.entries[0].name, std::string(300, 'n'));
    EXPECT_EQ(*table.entries[0].typeName, std::string(300, 'n'));
}

TEST(ResourceTableNames, NamedLanguageIsDamage) {
    ResourceTree tree;
    tree.types = {{10, {{1, {{"LANG", {1}}, {2052, {3}}}}}}};
    ResourceTable table;
    EXPECT_EQ(Load(WriteResourceSection(tree, kRva).bytes, table), VornBadResourceData);
}

ResourceTable WithOrdinals(std::vector<int> ordinals) {
    ResourceTable table;
    for (int ordinal : ordinals) {
        ResourceEntry& entry = table.entries.emplace_back();
        entry.ordinal = ordinal;
        entry.typeId = 6;
    }
    table.typeCount = ordinals.empty() ? 0 : 1;
    return table;
}

TEST(AddResourceEntry, TakesTheSmallestFreeOrdinal) {
    const std::pair<std::vector<int>, int> cases[] = {
        {{}, 0}, {{0, 1, 3}, 2}, {{1, 0}, 2}, {{2, 0, 1}, 3}, {{0, 0, 2}, 1}, {{5, 4}, 0},
    };
    for (const auto& [ordinals, expected] : cases) {
        ResourceTable table = WithOrdinals(ordinals);
        ASSERT_EQ(ToInt(AddResourceEntry(table, 6)), VornSuccess);
        ASSERT_EQ(table.entries.size(), ordinals.size() + 1);
        EXPECT_EQ(table.entries.back().ordinal, expected);
    }
}

TEST(AddResourceEntry, AppendsABlankEntryOfTheType) {
    ResourceTable table = WithOrdinals({0});
    ASSERT_EQ(ToInt(AddResourceEntry(table, 16)), VornSuccess);
    ASSERT_EQ(ToInt(AddResourceEntry(table, 6)), VornSuccess);
    ASSERT_EQ(table.entries.size(), 3u);
    EXPECT_EQ(table.entries[1].typeId, 16);

    const ResourceEntry& added = table.entries.back();
    EXPECT_EQ(added.typeId, 6);
    EXPECT_EQ(added.nameId, 0);
    EXPECT_EQ(added.name, nullptr);
    EXPECT_EQ(added.typeName, nullptr);
    EXPECT_EQ(added.language, 0);
    EXPECT_EQ(added.size, 0u);
    EXPECT_TRUE(added.data.Empty());
    EXPECT_EQ(added.deleted, 0);
}

TEST(ReleaseResourceTable, LeavesNoEntriesAndNoStrings) {
    ResourceTree tree;
    tree.types = {{"TYPE", {{"NAME", {{1033, {1}}, {1031, {2}}}}}}, {3, {Leaf(1)}}, {16, {Leaf(1)}}};
    ResourceTable table;
    ASSERT_EQ(Load(WriteResourceSection(tree, kRva).bytes, table), VornSuccess);
    const std::weak_ptr<const std::string> name = table.entries[0].name;
    const std::weak_ptr<const std::string> typeName = table.entries[0].typeName;
    ASSERT_FALSE(name.expired());

    ReleaseResourceTable(table);
    EXPECT_EQ(table.entryCount(), 0);
    EXPECT_TRUE(name.expired());
    EXPECT_TRUE(typeName.expired());
}

}  // namespace
}  // namespace vorn
