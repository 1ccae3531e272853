#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format/resource_table.h"
#include "format/section_builder.h"

namespace vorn {
namespace {

// Expected section images are written field by field here, from the layout
// rules, not from the builder.
struct Expected {
    std::vector<std::byte> bytes;
    explicit Expected(std::size_t size) : bytes(size) {}
    void U16(std::size_t at, std::uint16_t v) {
        bytes[at] = std::byte(v & 0xFF);
        bytes[at + 1] = std::byte(v >> 8);
    }
    void U32(std::size_t at, std::uint32_t v) {
        U16(at, static_cast<std::uint16_t>(v & 0xFFFF));
        U16(at + 2, static_cast<std::uint16_t>(v >> 16));
    }
    void Directory(std::size_t at, std::uint16_t named, std::uint16_t numbered) {
        U16(at + 12, named);
        U16(at + 14, numbered);
    }
    void Entry(std::size_t at, std::uint32_t name, std::uint32_t offset) {
        U32(at, name);
        U32(at + 4, offset);
    }
    void Text(std::size_t at, const std::string& text) {
        U16(at, static_cast<std::uint16_t>(text.size()));
        for (std::size_t i = 0; i < text.size(); ++i) U16(at + 2 + 2 * i, static_cast<std::uint8_t>(text[i]));
    }
    void Data(std::size_t at, const std::vector<std::byte>& data) { std::memcpy(&bytes[at], data.data(), data.size()); }
};

std::vector<std::byte> Filled(std::size_t size, int seed) {
    std::vector<std::byte> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = std::byte((i * 7 + static_cast<std::size_t>(seed)) & 0xFF);
    return data;
}

ResourceEntry Numbered(std::int32_t type, std::int32_t name, std::int32_t language, const std::vector<std::byte>& data) {
    ResourceEntry entry;
    entry.typeId = type;
    entry.nameId = name;
    entry.language = language;
    entry.SetData(ResourceData(data));
    return entry;
}

TEST(SectionBuilder, NumberedTypesAndNamesLayOutAsDocumented) {
    const auto icon1 = Filled(744, 1), icon2 = Filled(296, 2), group = Filled(34, 3), version = Filled(858, 4);
    ResourceTable table;
    // Out of order on purpose: the builder sorts first.
    table.entries = {Numbered(16, 1, 1033, version), Numbered(3, 2, 1033, icon2), Numbered(14, 1, 1033, group),
                     Numbered(3, 1, 1033, icon1)};
    table.typeCount = 3;

    Expected e(2214);
    e.Directory(0, 0, 3);
    e.Entry(16, 3, 0x80000000 + 40);
    e.Entry(24, 14, 0x80000000 + 72);
    e.Entry(32, 16, 0x80000000 + 96);
    e.Directory(40, 0, 2);
    e.Entry(56, 1, 0x80000000 + 120);
    e.Entry(64, 2, 0x80000000 + 144);
    e.Directory(72, 0, 1);
    e.Entry(88, 1, 0x80000000 + 168);
    e.Directory(96, 0, 1);
    e.Entry(112, 1, 0x80000000 + 192);
    const std::size_t dataEntry[] = {216, 232, 248, 264};
    const std::uint32_t rva[] = {0x5118, 0x5400, 0x5528, 0x554C};
    const std::vector<std::byte>* data[] = {&icon1, &icon2, &group, &version};
    for (std::size_t k = 0; k < 4; ++k) {
        e.Directory(120 + 24 * k, 0, 1);
        e.Entry(120 + 24 * k + 16, 0x0409, static_cast<std::uint32_t>(dataEntry[k]));
        e.U32(dataEntry[k], rva[k]);
        e.U32(dataEntry[k] + 4, static_cast<std::uint32_t>(data[k]->size()));
        e.Data(rva[k] - 0x5000, *data[k]);
    }

    std::vector<std::byte> section = {std::byte{1}};
    std::uint32_t size = 12345;
    ASSERT_EQ(BuildResourceSection(section, size, table, 0x5000), ResultCode::Success);
    EXPECT_EQ(size, 2214u);
    EXPECT_EQ(section, e.bytes);
}

TEST(SectionBuilder, NamedTypeAndResourceStoreCountedStrings) {
    const auto named = Filled(10, 5), manifest = Filled(381, 6);
    ResourceTable table;
    ResourceEntry a = Numbered(-1, -1, 0, named);
    a.typeName = std::make_shared<const std::string>("ABCD");
    a.name = std::make_shared<const std::string>("HELLO");
    a.characteristics = 0x11;
    a.timeDateStamp = 0x22334455;
    a.majorVersion = 4;
    a.minorVersion = 2;
    table.entries = {Numbered(24, 1, 1033, manifest), a};
    table.typeCount = 2;

    Expected e(577);
    e.Directory(0, 1, 1);
    e.Entry(16, 0x80000000 + 160, 0x80000000 + 32);
    e.Entry(24, 24, 0x80000000 + 56);
    e.Directory(32, 1, 0);
    e.Entry(48, 0x80000000 + 170, 0x80000000 + 80);
    e.Directory(56, 0, 1);
    e.Entry(72, 1, 0x80000000 + 104);
    // The language directory carries its resource's directory fields.
    e.U32(80, 0x11);
    e.U32(84, 0x22334455);
    e.U16(88, 4);
    e.U16(90, 2);
    e.Directory(80, 0, 1);
    e.Entry(96, 0, 128);
    e.Directory(104, 0, 1);
    e.Entry(120, 1033, 144);
    e.U32(128, 0x1000 + 184);
    e.U32(132, 10);
    e.U32(144, 0x1000 + 196);
    e.U32(148, 381);
    e.Text(160, "ABCD");
    e.Text(170, "HELLO");
    e.Data(184, named);
    e.Data(196, manifest);

    std::vector<std::byte> section;
    std::uint32_t size = 0;
    ASSERT_EQ(BuildResourceSection(section, size, table, 0x1000), ResultCode::Success);
    EXPECT_EQ(size, 577u);
    EXPECT_EQ(section, e.bytes);
}

TEST(SectionBuilder, BuiltSectionLoadsBackToTheSameResources) {
    const auto a = Filled(3, 1), b = Filled(0, 2), c = Filled(17, 3), d = Filled(64, 4);
    auto typeName = std::make_shared<const std::string>("Type");
    auto sharedName = std::make_shared<const std::string>("shared");
    ResourceTable table;
    ResourceEntry e1 = Numbered(-1, 7, 1033, a);
    e1.typeName = typeName;
    ResourceEntry e2 = Numbered(-1, -1, 1031, c);
    e2.typeName = typeName;
    e2.name = sharedName;
    ResourceEntry e3 = Numbered(-1, -1, 1033, d);
    e3.typeName = typeName;
    e3.name = sharedName;
    // The same text under another type is stored again.
    ResourceEntry e4 = Numbered(10, -1, 0, b);
    e4.name = std::make_shared<const std::string>("shared");
    // Wider than 16 bits: sorted by the full value, written as the low 16 bits.
    ResourceEntry e5 = Numbered(0x10003, 0x10064, 0x10409, a);
    table.entries = {e5, e4, e3, e2, e1};
    table.typeCount = 3;

    std::vector<std::byte> section;
    std::uint32_t size = 0;
    ASSERT_EQ(BuildResourceSection(section, size, table, 0x3000), ResultCode::Success);
    ASSERT_EQ(size % 4, 3u);  // the last resource, 3 bytes, is not padded

    ResourceTable loaded;
    ASSERT_EQ(LoadResourceTable(section, loaded, 0x3000), ResultCode::Success);
    ASSERT_EQ(loaded.entryCount(), 5);
    struct Want {
        std::int32_t type;
        const char* typeName;
        std::int32_t name;
        const char* nameText;
        std::int32_t language;
        const std::vector<std::byte>* data;
    };
    const Want want[] = {{-1, "Type", -1, "shared", 1031, &c}, {-1, "Type", -1, "shared", 1033, &d},
                         {-1, "Type", 7, nullptr, 1033, &a},   {10, nullptr, -1, "shared", 0, &b},
                         {3, nullptr, 0x64, nullptr, 0x409, &a}};
    for (std::size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        const ResourceEntry& got = loaded.entries[k];
        EXPECT_EQ(got.typeId, want[k].type);
        EXPECT_EQ(got.typeName ? *got.typeName : "", want[k].typeName ? want[k].typeName : "");
        EXPECT_EQ(got.nameId, want[k].name);
        EXPECT_EQ(got.name ? *got.name : "", want[k].nameText ? want[k].nameText : "");
        EXPECT_EQ(got.language, want[k].language);
        EXPECT_EQ(std::vector<std::byte>(got.Bytes().begin(), got.Bytes().end()), *want[k].data);
    }
    // The two languages of "shared" are one name group: one string, one language directory.
    EXPECT_EQ(loaded.entries[0].name, loaded.entries[1].name);
}

TEST(SectionBuilder, ZeroSizedResourcePointsAtTheNextResourcesBytes) {
    const auto empty = Filled(0, 0), next = Filled(5, 1);
    ResourceTable table;
    table.entries = {Numbered(10, 1, 0, empty), Numbered(10, 2, 0, next)};
    std::vector<std::byte> section;
    std::uint32_t size = 0;
    ASSERT_EQ(BuildResourceSection(section, size, table, 0), ResultCode::Success);
    ResourceTable loaded;
    ASSERT_EQ(LoadResourceTable(section, loaded, 0), ResultCode::Success);
    ASSERT_EQ(loaded.entryCount(), 2);
    EXPECT_EQ(loaded.entries[0].size, 0u);
    EXPECT_EQ(loaded.entries[0].Bytes().data(), loaded.entries[1].Bytes().data());
}

TEST(SectionBuilder, RefusesWhatItCannotWriteAndLeavesTheBufferAlone) {
    const auto data = Filled(8, 0);
    const std::vector<std::byte> old = {std::byte{9}, std::byte{8}};
    const auto attempt = [&](ResourceTable table) {
        std::vector<std::byte> section = old;
        std::uint32_t size = 77;
        const ResultCode code = BuildResourceSection(section, size, table, 0x1000);
        EXPECT_EQ(section, old);
        EXPECT_EQ(size, 77u);
        return code;
    };
    EXPECT_EQ(attempt(ResourceTable{}), ResultCode::SectionBuildFailed);

    ResourceTable emptyName;
    emptyName.entries = {Numbered(10, -1, 0, data)};
    emptyName.entries[0].name = std::make_shared<const std::string>("");
    EXPECT_EQ(attempt(emptyName), ResultCode::SectionBuildFailed);

    ResourceTable missingName;
    missingName.entries = {Numbered(-1, 1, 0, data)};
    EXPECT_EQ(attempt(missingName), ResultCode::SectionBuildFailed);

    ResourceTable badText;  // not UTF-8, the code page of the POSIX build
    badText.entries = {Numbered(10, -1, 0, data)};
    badText.entries[0].name = std::make_shared<const std::string>("\xC0\x80");
    EXPECT_EQ(attempt(badText), ResultCode::SectionBuildFailed);

    ResourceTable noData;
    noData.entries = {Numbered(10, 1, 0, data)};
    noData.entries[0].data = {};
    EXPECT_EQ(attempt(noData), ResultCode::BadResourceData);
}

TEST(SectionBuilder, CountsTypeGroupsInsteadOfTrustingTypeCount) {
    const auto data = Filled(4, 0);
    ResourceTable table;
    table.entries = {Numbered(3, 1, 0, data), Numbered(5, 1, 0, data), Numbered(9, 1, 0, data)};
    table.typeCount = 1;  // too low: an edit dropped and added types
    std::vector<std::byte> section;
    std::uint32_t size = 0;
    ASSERT_EQ(BuildResourceSection(section, size, table, 0), ResultCode::Success);
    // The root directory lists no named and three numbered types.
    ASSERT_GE(section.size(), 16u);
    EXPECT_EQ(std::to_integer<int>(section[12]) | std::to_integer<int>(section[13]) << 8, 0);
    EXPECT_EQ(std::to_integer<int>(section[14]) | std::to_integer<int>(section[15]) << 8, 3);
    ResourceTable loaded;
    ASSERT_EQ(LoadResourceTable(section, loaded, 0), ResultCode::Success);
    EXPECT_EQ(loaded.entryCount(), 3);
}

TEST(SectionBuilder, MultiByteNamesCountUtf16Units) {
    const auto data = Filled(4, 0);
    ResourceTable table;
    table.entries = {Numbered(10, -1, 0, data)};
    table.entries[0].name = std::make_shared<const std::string>("na\xC3\xAFve \xF0\x9F\x99\x82");  // ï and an emoji
    std::vector<std::byte> section;
    std::uint32_t size = 0;
    ASSERT_EQ(BuildResourceSection(section, size, table, 0), ResultCode::Success);
    ResourceTable loaded;
    ASSERT_EQ(LoadResourceTable(section, loaded, 0), ResultCode::Success);
    ASSERT_EQ(loaded.entryCount(), 1);
    EXPECT_EQ(*loaded.entries[0].name, *table.entries[0].name);
}

}  // namespace
}  // namespace vorn
