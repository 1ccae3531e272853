#include "format/record_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "format/resource_table.h"
#include "platform/platform.h"

namespace vorn {
namespace {

ResourceName Text(const char* text) { return text ? std::make_shared<const std::string>(text) : nullptr; }

// `ordinal` carries each record's original place, to follow it through the sort.
ResourceEntry Entry(std::int32_t ordinal, std::int32_t typeId, std::int32_t nameId, std::int32_t language = 0,
                    std::int32_t deleted = 0) {
    ResourceEntry entry;
    entry.ordinal = ordinal;
    entry.typeId = typeId;
    entry.nameId = nameId;
    entry.language = language;
    entry.deleted = deleted;
    return entry;
}

std::vector<std::int32_t> Ordinals(const std::vector<ResourceEntry>& entries) {
    std::vector<std::int32_t> out;
    for (const ResourceEntry& entry : entries) out.push_back(entry.ordinal);
    return out;
}

TEST(SortRecords, EmptySingleOrderedAndReversedTables) {
    for (const std::size_t count : {0u, 1u}) {
        std::vector<ResourceEntry> entries(count, Entry(7, 3, 1));
        SortResourceTable(entries);
        ASSERT_EQ(entries.size(), count);
        if (count == 1) {
            EXPECT_EQ(entries[0].ordinal, 7);
        }
    }

    std::vector<ResourceEntry> ordered;
    for (std::int32_t i = 0; i < 9; ++i) ordered.push_back(Entry(i, i + 1, 1));
    SortResourceTable(ordered);
    EXPECT_EQ(Ordinals(ordered), (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));

    for (std::int32_t count = 2; count <= 12; ++count) {
        std::vector<ResourceEntry> reversed;
        std::vector<std::int32_t> expected;
        for (std::int32_t i = 0; i < count; ++i) reversed.push_back(Entry(i, count - i, 1));
        for (std::int32_t i = count - 1; i >= 0; --i) expected.push_back(i);
        SortResourceTable(reversed);
        EXPECT_EQ(Ordinals(reversed), expected) << count << " records";
    }
}

TEST(SortRecords, CompareRecordKeyExchangesOnlyWhenTheFirstIsGreater) {
    const KeyCompare<ResourceEntry> byType = &CompareKey<KeyKind::Int32, &ResourceEntry::typeId>;
    ResourceEntry a = Entry(0, 5, 0);
    ResourceEntry b = Entry(1, 5, 0);
    bool exchanged = false;
    EXPECT_TRUE(CompareRecordKey(a, b, byType, exchanged));  // equal: the next key decides
    b.typeId = 6;
    EXPECT_FALSE(CompareRecordKey(a, b, byType, exchanged));
    EXPECT_FALSE(exchanged);
    a.typeId = 7;
    EXPECT_FALSE(CompareRecordKey(a, b, byType, exchanged));
    EXPECT_TRUE(exchanged);
    EXPECT_EQ(std::make_pair(a.ordinal, b.ordinal), std::make_pair(1, 0));
}

TEST(SortResourceTable, IntegerKeysCompareAtFullSignedWidth) {
    // 259 and 3 share their low byte; 128 is negative as a signed byte.
    std::vector<ResourceEntry> entries{Entry(0, 259, 1), Entry(1, 3, 356), Entry(2, 3, 128), Entry(3, 3, 100),
                                       Entry(4, -1, 1)};
    entries[4].typeName = Text("CUSTOM");
    SortResourceTable(entries);
    EXPECT_EQ(Ordinals(entries), (std::vector<std::int32_t>{4, 3, 2, 1, 0}));
}

// The loader finds named entries by a binary search in UTF-16 code units,
// whatever the ANSI bytes.
TEST(SortResourceTable, NonAsciiNamesFollowUtf16Order) {
    const char* names[] = {"a_", "AS", "\xC3\xA9", "\xEF\xBD\x81", "\xF0\x9F\x98\x80"};
    std::vector<ResourceEntry> entries;
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(std::size(names)); ++i) {
        entries.push_back(Entry(i, -1, -1));
        entries.back().typeName = Text(names[std::size(names) - 1 - i]);
    }
    SortResourceTable(entries);
    // U+1F600 is a surrogate pair (0xD83D...), below U+FF41 in UTF-16.
    const std::vector<std::string> expected{"AS", "a_", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBD\x81"};
    for (std::size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(*entries[i].typeName, expected[i]) << i;
}

struct SmallRecord {
    char label[8];
    std::int8_t tiny;
    std::int16_t small;
    int id;
};

SmallRecord Small(const char* label, std::int8_t tiny, std::int16_t small, int id) {
    SmallRecord record{};
    // A label of eight characters fills the array with no terminator.
    std::memcpy(record.label, label, std::min(std::strlen(label), sizeof record.label));
    record.tiny = tiny;
    record.small = small;
    record.id = id;
    return record;
}

TEST(SortRecords, NarrowIntegerAndInlineStringKeys) {
    std::vector<SmallRecord> records{
        Small("abcdefgh", 0, 0, 0), Small("ABCDEFG", 0, 0, 1), Small("b", 0, 300, 2),  Small("b", 0, -300, 3),
        Small("B", 5, 32767, 4),    Small("b", -128, 32767, 5), Small("b", 127, -32768, 6)};
    RecordSortSpec<SmallRecord> spec{records,
                                     {&CompareKey<KeyKind::InlineString, &SmallRecord::label>,
                                      &CompareKey<KeyKind::Int16, &SmallRecord::small>,
                                      &CompareKey<KeyKind::Int8, &SmallRecord::tiny>}};
    SortRecords(spec);
    std::vector<int> ids;
    for (const SmallRecord& record : records) ids.push_back(record.id);
    EXPECT_EQ(ids, (std::vector<int>{1, 0, 6, 3, 2, 5, 4}));
}

TEST(SortResourceTable, StringKeysFoldAsciiCaseAndPutNullLast) {
    // Folding to upper case puts '_' (0x5F) after every letter.
    std::vector<ResourceEntry> entries;
    for (const char* name : {"Zeta", static_cast<const char*>(nullptr), "a", "_", "B"}) {
        entries.push_back(Entry(static_cast<std::int32_t>(entries.size()), 3, -1));
        entries.back().name = Text(name);
    }
    SortResourceTable(entries);
    EXPECT_EQ(Ordinals(entries), (std::vector<std::int32_t>{2, 4, 0, 3, 1}));  // a B Zeta _ null

    // Type names equal but for case: the name ids decide.
    std::vector<ResourceEntry> types{Entry(0, -1, 5), Entry(1, -1, 2), Entry(2, -1, 9)};
    types[0].typeName = Text("ICONS");
    types[1].typeName = Text("icons");
    types[2].typeName = Text("Icons");
    SortResourceTable(types);
    EXPECT_EQ(Ordinals(types), (std::vector<std::int32_t>{1, 0, 2}));
}

TEST(SortResourceTable, DeletedRecordsEndAfterEveryLiveRecord) {
    std::vector<ResourceEntry> entries{Entry(0, -1, -1, 0, 1), Entry(1, 24, 1), Entry(2, 3, 1, 0, 1),
                                       Entry(3, 16, 1), Entry(4, 3, 2)};
    entries[0].typeName = Text("A");
    entries[0].name = Text("A");
    SortResourceTable(entries);
    EXPECT_EQ(Ordinals(entries), (std::vector<std::int32_t>{4, 3, 1, 0, 2}));
}

// An independent comparator for the table's order, for std::stable_sort.
int FoldedCompare(const ResourceName& a, const ResourceName& b) {
    if (!a || !b) return (!a && !b) ? 0 : (a ? -1 : 1);
    std::string x = *a;
    std::string y = *b;
    for (std::string* s : {&x, &y})
        for (char& c : *s)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return x.compare(y);
}

bool DirectoryOrder(const ResourceEntry& a, const ResourceEntry& b) {
    if (a.deleted != b.deleted) return a.deleted < b.deleted;
    if (a.typeId != b.typeId) return a.typeId < b.typeId;
    if (const int c = FoldedCompare(a.typeName, b.typeName)) return c < 0;
    if (a.nameId != b.nameId) return a.nameId < b.nameId;
    if (const int c = FoldedCompare(a.name, b.name)) return c < 0;
    return a.language < b.language;
}

TEST(SortResourceTable, MatchesStableSortOnRandomTables) {
    std::mt19937 random(20240611);
    const std::vector<const char*> texts{nullptr, "a", "A", "b", "_"};
    const std::vector<std::int32_t> typeIds{-1, 3, 14, 259};
    const auto pick = [&random](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    for (int round = 0; round < 300; ++round) {
        std::vector<ResourceEntry> entries;
        const int count = pick(24);
        for (std::int32_t i = 0; i < count; ++i) {
            // Few distinct values, so that many records tie on every key.
            ResourceEntry entry = Entry(i, typeIds[pick(4)], pick(3) - 1,
                                        pick(2) == 0 ? 0 : 1033, pick(5) == 0 ? 1 : 0);
            if (entry.typeId == -1) entry.typeName = Text(texts[pick(5)]);
            if (entry.nameId == -1) entry.name = Text(texts[pick(5)]);
            entries.push_back(entry);
        }
        std::vector<ResourceEntry> expected = entries;
        std::stable_sort(expected.begin(), expected.end(), DirectoryOrder);
        SortResourceTable(entries);
        ASSERT_EQ(Ordinals(entries), Ordinals(expected)) << "round " << round;
    }
}

}  // namespace
}  // namespace vorn
