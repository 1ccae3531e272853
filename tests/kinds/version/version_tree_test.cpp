// The version tree on a resource the real toolchain compiled
// (fixtures/languages.rc): read, written back, edited, and damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "format/pe_format.h"
#include "image/image.h"
#include "kinds/version/version_info.h"
#include "kinds/version/version_resource.h"

namespace vorn::version {
namespace {

Raw FixtureResource() {
    const std::string path = std::string(VORNUTILS_VERSION_FIXTURES) + "/languages.exe";
    Image image;
    EXPECT_EQ(OpenImageForEdit(path.c_str(), image, true), ResultCode::Success) << path;
    for (const ResourceEntry& entry : image.table.entries) {
        if (entry.typeId == pe::kRtVersion) return Raw(entry.Bytes().begin(), entry.Bytes().end());
    }
    ADD_FAILURE() << "no version resource in " << path;
    return {};
}

// Where the block whose key is `key` starts: six bytes before the key.
std::size_t BlockOf(const Raw& bytes, std::u16string_view key) {
    Raw pattern;
    for (const char16_t unit : key) {
        pattern.push_back(std::byte(unit & 0xFF));
        pattern.push_back(std::byte(unit >> 8));
    }
    const auto found = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
    EXPECT_NE(found, bytes.end());
    return static_cast<std::size_t>(found - bytes.begin()) - 6;
}

void SetU16(Raw& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = std::byte(value & 0xFF);
    bytes[at + 1] = std::byte(value >> 8);
}

bool Contains(const Raw& bytes, const Raw& part) {
    return !part.empty() && std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

// The same content with no read bytes, as an editor that builds a tree has.
VersionResource Fresh(VersionResource tree) {
    tree.raw.clear();
    for (RootChild& child : tree.children) {
        if (child.kind != ChildKind::Other) child.raw.clear();
        for (StringTable& table : child.tables) {
            table.raw.clear();
            for (VersionString& string : table.strings) string.raw.clear();
        }
        for (Var& var : child.vars) var.raw.clear();
    }
    return tree;
}

TEST(VersionTree, ReadsEveryTableAndWritesBackAsReadOrAfresh) {
    const Raw input = FixtureResource();
    VersionResource tree;
    ASSERT_EQ(ParseVersionTree(input, tree), ResultCode::Success);
    EXPECT_EQ(tree.fixed.fileVersionMS, 0x00020005u);
    EXPECT_EQ(tree.fixed.fileFlags, 2u);
    const auto tables = AllTables(tree);
    ASSERT_EQ(tables.size(), 3u);
    EXPECT_EQ(tables[1]->Language(), 0x407);
    EXPECT_EQ(tables[1]->Find(u"FileDescription")->value, u"Größenprüfung");
    EXPECT_EQ(tables[2]->Find(u"Comments")->value, u"日本語");
    const std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs = {{0x409, 1200}, {0x407, 1200}, {0x411, 1200}};
    EXPECT_EQ(Translations(tree), pairs);
    EXPECT_EQ(ShownTable(tree), tables[0]);

    Raw written;
    ASSERT_FALSE(SerializeVersionTree(tree, written));
    EXPECT_EQ(written, input);

    const VersionResource fresh = Fresh(tree);
    ASSERT_FALSE(SerializeVersionTree(fresh, written));
    VersionResource again;
    ASSERT_EQ(ParseVersionTree(written, again), ResultCode::Success);
    EXPECT_EQ(again, tree);
}

TEST(VersionTree, AnEditRewritesOnlyWhatItChanges) {
    const Raw input = FixtureResource();
    VersionResource read;
    ASSERT_EQ(ParseVersionTree(input, read), ResultCode::Success);
    VersionResource edited = Fresh(read);
    LendReadBytes(read, edited);
    SetString(*AllTables(edited)[1], u"comments", u"Weg");
    SetString(AddTable(edited, 0x40C, 1200), u"Comments", u"Nouveau");

    Raw written;
    ASSERT_FALSE(SerializeVersionTree(edited, written));
    VersionResource again;
    ASSERT_EQ(ParseVersionTree(written, again), ResultCode::Success);
    EXPECT_EQ(again, edited);
    EXPECT_EQ(AllTables(again)[1]->Find(u"Comments")->value, u"Weg");
    EXPECT_EQ(Translations(again).back(), (std::pair<std::uint16_t, std::uint16_t>{0x40C, 1200}));
    // The tables it did not touch, and the edited table's other strings,
    // are the bytes the toolchain wrote.
    const auto tables = AllTables(read);
    EXPECT_TRUE(Contains(written, tables[0]->raw));
    EXPECT_TRUE(Contains(written, tables[2]->raw));
    EXPECT_TRUE(Contains(written, tables[1]->Find(u"FileDescription")->raw));
    EXPECT_FALSE(Contains(written, tables[1]->raw));
}

TEST(VersionTree, NodesWithoutChildrenOrWholeWordsReadBackAsWritten) {
    VersionResource tree = NewVersionResource(0x409, 1200, 1);
    tree.children.front().tables.clear();  // an empty StringFileInfo
    Var& odd = tree.children.back().vars.emplace_back();
    odd.key = u"Odd";
    odd.value = {std::byte{1}, std::byte{2}, std::byte{3}};
    RootChild& emptyValues = tree.children.emplace_back();
    emptyValues.kind = ChildKind::VarFileInfo;

    Raw written;
    ASSERT_FALSE(SerializeVersionTree(tree, written));
    VersionResource again;
    ASSERT_EQ(ParseVersionTree(written, again), ResultCode::Success);
    EXPECT_EQ(again, tree);
}

TEST(VersionTree, DamageIsRefusedForEditingAndReadAroundForTheRecord) {
    const Raw input = FixtureResource();
    const std::size_t second = BlockOf(input, u"040704B0");
    const std::size_t third = BlockOf(input, u"041104B0");

    // A zero length ends the record's walk of the tables there.
    Raw damaged = input;
    SetU16(damaged, second, 0);
    VersionResource tree;
    EXPECT_EQ(ParseVersionTree(damaged, tree), ResultCode::BadVersionResource);
    ASSERT_EQ(ParseVersionTree(damaged, tree, ReadRules::Record), ResultCode::Success);
    EXPECT_EQ(AllTables(tree).size(), 1u);
    VersionInfo record;
    ASSERT_EQ(ParseVersionResource(damaged, record), ResultCode::Success);
    EXPECT_TRUE(std::all_of(record.items.begin(), record.items.end(), [](const VersionItem& item) {
        return item.kind == ItemKind::VarItem || item.language == 0x409;
    }));

    // A first table longer than its StringFileInfo: what came before it is
    // still there for the record's reader to look at.
    damaged = input;
    SetU16(damaged, BlockOf(input, u"040904B0"), 0xFFF0);
    EXPECT_EQ(ParseVersionTree(damaged, tree), ResultCode::BadVersionResource);
    EXPECT_EQ(ParseVersionTree(damaged, tree, ReadRules::Record), ResultCode::BadVersionResource);
    EXPECT_EQ(tree.fixed.fileVersionMS, 0x00020005u);
    EXPECT_EQ(ParseVersionResource(damaged, record), ResultCode::BadVersionResource);

    // A table key of other than eight digits is refused by both.
    damaged = input;
    SetU16(damaged, third + 6 + 16, u'x');  // the key's NUL
    EXPECT_EQ(ParseVersionTree(damaged, tree), ResultCode::BadVersionResource);
    EXPECT_EQ(ParseVersionResource(damaged, record), ResultCode::BadVersionResource);
}

}  // namespace
}  // namespace vorn::version
