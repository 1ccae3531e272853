// The version record, its serialised image and the two version exports,
// reached through the shared library as a host reaches them. Fixtures come
// from the test-side PE writer and from the real toolchain (fixtures/*.rc);
// what the library writes is read back by pefile (read_version.py).
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "support/pe_writer.h"
#include "kinds/version/version_info.h"
#include "vornutils.h"

namespace vorn::test {
namespace {

using Strings = std::vector<std::string>;

ByteVec ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteVec(std::istreambuf_iterator<char>(in), {});
}

void SetText(char (&slot)[256], const std::string& text) {
    std::memset(slot, 0, sizeof slot);
    std::memcpy(slot, text.data(), std::min(text.size(), sizeof slot));
}

// What pefile reads of a file: "path\tvalue" facts in file order.
struct Facts {
    std::vector<std::pair<std::string, std::string>> lines;

    [[nodiscard]] Strings All(const std::string& key) const {
        Strings values;
        for (const auto& [k, v] : lines) {
            if (k == key) values.push_back(v);
        }
        return values;
    }
    [[nodiscard]] std::string operator[](const std::string& key) const {
        const Strings values = All(key);
        return values.size() == 1 ? values[0] : values.empty() ? "<missing>" : "<repeated>";
    }
};

Facts ReadWithPefile(const std::string& path) {
    const std::string command = std::string("'") + VORNUTILS_PYTHON + "' '" + VORNUTILS_VERSION_READER + "' '" + path + "'";
    Facts facts;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char line[4096];
    while (pipe && fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::string text(line, strcspn(line, "\n"));
        const std::size_t tab = text.find('\t');
        if (tab != std::string::npos) facts.lines.emplace_back(text.substr(0, tab), text.substr(tab + 1));
    }
    const int status = pipe ? pclose(pipe.release()) : -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    return facts;
}

using QueryFn = int32_t(VORNUTILS_CDECL*)(const char*, VersionInfoBlock*);
using UpdateFn = int32_t(VORNUTILS_CDECL*)(const char*, const VersionInfoBlock*);

class VersionExports : public testing::Test {
protected:
    void SetUp() override {
        library_ = dlopen(VORNUTILS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        query_ = reinterpret_cast<QueryFn>(dlsym(library_, "CUtil_22"));
        update_ = reinterpret_cast<UpdateFn>(dlsym(library_, "CUtil_23"));
        ASSERT_TRUE(query_ != nullptr && update_ != nullptr);
    }
    void TearDown() override {
        if (library_ != nullptr) dlclose(library_);
    }
    // The 0xCC fill shows any byte the export left unwritten, or wrote on failure.
    VersionInfoBlock Query(const std::string& path, int32_t expected = VornSuccess) {
        VersionInfoBlock block;
        std::memset(&block, 0xCC, sizeof block);
        EXPECT_EQ(query_(path.c_str(), &block), expected) << path;
        return block;
    }
    std::string CopyFixture(const std::string& name) {
        const auto target = dir_.path() / (name + ".exe");
        std::filesystem::copy_file(std::filesystem::path(VORNUTILS_VERSION_FIXTURES) / (name + ".exe"), target);
        return target.string();
    }

    void* library_ = nullptr;
    QueryFn query_ = nullptr;
    UpdateFn update_ = nullptr;
    TempDir dir_;
};

// A VS_VERSIONINFO block as the test lays it out: header, key, value and
// children, each part on a 4-byte boundary of the resource.
struct Block {
    std::u16string key;
    std::uint16_t type = 1;
    std::uint16_t valueLength = 0;
    ByteVec value;
    std::vector<Block> children;
};

void AppendUtf16(ByteVec& out, const std::u16string& text) {
    for (const char16_t unit : text + u'\0') {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
}

void Emit(const Block& block, ByteVec& out) {
    const std::size_t start = out.size();
    out.resize(start + 6);
    AppendUtf16(out, block.key);
    out.resize((out.size() + 3) & ~std::size_t{3});
    out.insert(out.end(), block.value.begin(), block.value.end());
    for (const Block& child : block.children) {
        out.resize((out.size() + 3) & ~std::size_t{3});
        Emit(child, out);
    }
    put16(out, start, static_cast<std::uint16_t>(out.size() - start));
    put16(out, start + 2, block.valueLength);
    put16(out, start + 4, block.type);
}

Block String(std::u16string key, const std::u16string& value) {
    Block block{std::move(key), 1, static_cast<std::uint16_t>(value.size() + 1), {}, {}};
    AppendUtf16(block.value, value);
    return block;
}

Block Var(std::u16string key, const std::vector<std::uint32_t>& values) {
    Block block{std::move(key), 0, static_cast<std::uint16_t>(4 * values.size()), ByteVec(4 * values.size()), {}};
    for (std::size_t i = 0; i < values.size(); ++i) put32(block.value, 4 * i, values[i]);
    return block;
}

Block Group(std::u16string key, std::vector<Block> children) { return {std::move(key), 1, 0, {}, std::move(children)}; }

ByteVec Resource(std::vector<Block> children, std::u16string rootKey = u"VS_VERSION_INFO") {
    Block root{std::move(rootKey), 0, 52, ByteVec(52), std::move(children)};
    put32(root.value, 0, 0xFEEF04BD);
    ByteVec out;
    Emit(root, out);
    return out;
}

// A program with an RCDATA resource and the version resource (name 1, language 1033).
std::string WriteProgram(TempDir& dir, const ByteVec& version) {
    PeShape shape;
    shape.resources.emplace();
    shape.resources->types = {{10, {{1, {{1033, ByteVec{1, 2, 3}}}}}}, {16, {{1, {{1033, version}}}}}};
    return dir.Write(WritePe(shape).bytes);
}

ByteVec Bytes(const std::vector<std::byte>& image) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(image.data());
    return ByteVec(data, data + image.size());
}

VersionItem Str(std::string key, std::string value, std::uint16_t language, std::uint16_t codePage) {
    return {std::move(key), ItemKind::StringItem, std::move(value), 0, language, codePage};
}

VersionItem VarItem(std::string key, std::uint32_t value) { return {std::move(key), ItemKind::VarItem, {}, value}; }

TEST(VersionWriter, OneStringAndOneValueByteForByte) {
    VersionInfo record;
    record.fileVersionMS = 0x00010000;
    record.productVersionMS = 0x00020003;
    record.fileFlags = 2;
    record.fileOS = 4;
    record.fileType = 1;
    record.fileSubtype = 7;
    record.fileDateMS = 0x11;
    record.fileDateLS = 0x22;
    // The var first: strings come before values whatever the record's order.
    record.items = {VarItem("Translation", 0x04E40409), Str("FileVersion", "1.0.0.0", 1033, 1252)};
    std::vector<std::byte> image;
    ASSERT_EQ(SerializeVersionInfo(record, image), ResultCode::Success);

    ByteVec expected(268, 0);
    const auto text = [&](std::size_t at, std::u16string_view s) {
        for (std::size_t i = 0; i < s.size(); ++i) put16(expected, at + 2 * i, s[i]);
    };
    const auto header = [&](std::size_t at, std::uint16_t length, std::uint16_t valueLength, std::uint16_t type,
                            std::u16string_view key) {
        put16(expected, at, length);
        put16(expected, at + 2, valueLength);
        put16(expected, at + 4, type);
        text(at + 6, key);
    };
    header(0, 268, 52, 0, u"VS_VERSION_INFO");
    // The mask is written equal to the flags.
    const std::uint32_t fixed[] = {0xFEEF04BD, 0x00010000, 0x00010000, 0, 0x00020003, 0, 2, 2, 4, 1, 7, 0x11, 0x22};
    for (std::size_t i = 0; i < std::size(fixed); ++i) put32(expected, 40 + 4 * i, fixed[i]);
    header(92, 108, 0, 1, u"StringFileInfo");
    header(128, 72, 0, 1, u"040904E4");
    header(152, 48, 8, 1, u"FileVersion");
    text(184, u"1.0.0.0");
    header(200, 68, 0, 1, u"VarFileInfo");
    header(232, 36, 4, 0, u"Translation");
    put32(expected, 264, 0x04E40409);
    EXPECT_EQ(Bytes(image), expected);
}

TEST(VersionWriter, OrdersTablesByPairAndStringsByKey) {
    VersionInfo record;
    record.items = {VarItem("translation", 1),
                    Str("LegalTrademarks", "t", 1033, 1252),
                    VarItem("Translation", 0x04E40409),
                    Str("FileDescription", "de", 1031, 1252),
                    Str("Comments", "", 1033, 1252),
                    Str("ProductName", "u", 1033, 0xFDE9),
                    VarItem("Translation", 0),
                    Str("fileVersion", "1", 1033, 1252),
                    Str("CompanyName", "c", 1033, 1252)};
    std::vector<std::byte> image;
    ASSERT_EQ(SerializeVersionInfo(record, image), ResultCode::Success);
    EXPECT_EQ(image.size(), 536u);
    TempDir dir;
    const Facts facts = ReadWithPefile(WriteProgram(dir, Bytes(image)));

    // Pairs compare as one signed number, code page high: 0xFDE9 sorts first.
    EXPECT_EQ(facts.All("1/1033/table"), (Strings{"0409FDE9", "040704E4", "040904E4"}));
    Strings keys;
    for (const auto& [k, v] : facts.lines) {
        if (k.starts_with("1/1033/string/040904E4/")) keys.push_back(k.substr(23));
    }
    EXPECT_EQ(keys, (Strings{"Comments", "CompanyName", "fileVersion", "LegalTrademarks"}));
    // An empty value is its NUL and 2 bytes of padding.
    EXPECT_EQ(facts["1/1033/units/040904E4/Comments"], "1");
    EXPECT_EQ(facts["1/1033/length/040904E4/Comments"], "28");
    // Vars group by their exact names.
    EXPECT_EQ(facts["1/1033/var/translation"], "00000001");
    EXPECT_EQ(facts["1/1033/var/Translation"], "04E40409 00000000");
    EXPECT_EQ(facts.All("1/1033/problem"), Strings{});
}

TEST_F(VersionExports, FailuresLeaveBlockAndFileAsTheyWere) {
    PeShape bare;  // no resource section
    const std::string noResources = dir_.Write(WritePe(bare).bytes);
    const std::string badRoot = WriteProgram(dir_, Resource({}, u"VS_VERSION_INFX"));
    VersionInfoBlock untouched;
    std::memset(&untouched, 0xCC, sizeof untouched);
    const std::pair<std::string, int32_t> cases[] = {{"", 3}, {noResources, 4}, {badRoot, 15}};
    for (const auto& [path, code] : cases) {
        const VersionInfoBlock block = Query(path, code);
        EXPECT_EQ(std::memcmp(&block, &untouched, sizeof block), 0) << path;
        if (path.empty()) continue;
        const ByteVec before = ReadBytes(path);
        EXPECT_EQ(update_(path.c_str(), &block), code) << path;
        EXPECT_EQ(ReadBytes(path), before) << path;
    }
}

TEST_F(VersionExports, TextsOfUpTo255AnsiBytesCountedInUtf16Units) {
    // 127 two-byte characters and one more: 255 bytes in UTF-8, 128 UTF-16 units.
    const std::u16string comments = std::u16string(127, u'é') + u'a';
    const std::string path = WriteProgram(
        dir_, Resource({Group(u"StringFileInfo", {Group(u"040904E4", {String(u"FileDescription", std::u16string(255, u'x')),
                                                                      String(u"Comments", comments)})})}));
    VersionInfoBlock block = Query(path);
    EXPECT_EQ(std::string(block.fileDescription), std::string(255, 'x'));
    std::string utf8;
    for (int i = 0; i < 127; ++i) utf8 += "é";
    EXPECT_EQ(std::string(block.comments), utf8 + "a");
    // Without a VarFileInfo: the default language and no code page.
    EXPECT_EQ(std::make_pair(block.language, block.codePage), std::make_pair(uint16_t{1033}, uint16_t{0}));

    // One character more is 256 bytes, though only 129 units.
    const std::string tooLong = WriteProgram(
        dir_, Resource({Group(u"StringFileInfo", {Group(u"040904E4", {String(u"Comments", comments + u'é')})})}));
    VersionInfoBlock untouched;
    std::memset(&untouched, 0xCC, sizeof untouched);
    const VersionInfoBlock refused = Query(tooLong, VornTextConversionFailed);
    EXPECT_EQ(std::memcmp(&refused, &untouched, sizeof refused), 0);

    // A slot without its NUL is cut at 255 bytes, not run into the next slot.
    std::memset(block.fileDescription, 'y', sizeof block.fileDescription);
    SetText(block.legalCopyright, "next");
    SetText(block.companyName, "Größe – 日本語 😀");
    block.codePage = 1252;
    ASSERT_EQ(update_(path.c_str(), &block), VornSuccess);
    const Facts facts = ReadWithPefile(path);
    EXPECT_EQ(facts["1/1033/string/040904E4/FileDescription"], std::string(255, 'y'));
    EXPECT_EQ(facts["1/1033/string/040904E4/LegalCopyright"], "next");
    EXPECT_EQ(facts["1/1033/string/040904E4/CompanyName"], "Größe – 日本語 😀");
    EXPECT_EQ(facts["1/1033/units/040904E4/CompanyName"], std::to_string(std::u16string(u"Größe – 日本語 😀").size() + 1));
    EXPECT_EQ(facts["1/1033/units/040904E4/Comments"], "129");
    EXPECT_EQ(facts.All("1/1033/problem"), Strings{});
    EXPECT_STREQ(Query(path).companyName, "Größe – 日本語 😀");
}

TEST_F(VersionExports, UpdateKeepsWhatTheBlockDoesNotCarry) {
    const std::string path = WriteProgram(
        dir_, Resource({Group(u"StringFileInfo",
                              {Group(u"040904B0", {String(u"CompanyName", u"Acme"), String(u"FileDescription", u"Tool"),
                                                   String(u"legalcopyright", u"old")}),
                               Group(u"040704B0", {String(u"FileDescription", u"Werkzeug"), String(u"Comments", u"Hallo")})}),
                        Group(u"VarFileInfo", {Var(u"Translation", {0x04B00409, 0x04B00407}), Var(u"Extra", {7})}),
                        {u"Opaque", 0, 4, ByteVec{1, 2, 3, 4}, {}}}));
    const auto opaque = [](const Facts& f) {
        Strings other;
        for (const std::string& child : f.All("1/1033/child")) {
            if (child.starts_with("Opaque")) other.push_back(child);
        }
        return other;
    };
    const Strings original = opaque(ReadWithPefile(path));
    ASSERT_EQ(original.size(), 1u);
    VersionInfoBlock block = Query(path);
    EXPECT_EQ(std::make_pair(block.language, block.codePage), std::make_pair(uint16_t{0x0409}, uint16_t{0x04B0}));
    EXPECT_STREQ(block.comments, "");  // only the first table is reported

    SetText(block.fileDescription, "Tool 2");
    SetText(block.legalCopyright, "new");  // matched ignoring case; the file's spelling stays
    ASSERT_EQ(update_(path.c_str(), &block), VornSuccess);
    const Facts first = ReadWithPefile(path);
    EXPECT_EQ(first.All("1/1033/table"), (Strings{"040904B0", "040704B0"}));
    EXPECT_EQ(first["1/1033/string/040904B0/FileDescription"], "Tool 2");
    EXPECT_EQ(first["1/1033/string/040904B0/legalcopyright"], "new");
    EXPECT_EQ(first["1/1033/string/040904B0/LegalCopyright"], "<missing>");
    EXPECT_EQ(first["1/1033/string/040704B0/FileDescription"], "Werkzeug");
    EXPECT_EQ(first["1/1033/string/040704B0/Comments"], "Hallo");
    EXPECT_EQ(first["1/1033/var/Translation"], "04B00409 04B00407");
    EXPECT_EQ(first["1/1033/var/Extra"], "00000007");
    EXPECT_EQ(opaque(first), original);

    // The second table's pair edits that table in place.
    VersionInfoBlock german{};
    german.language = 0x0407;
    german.codePage = 0x04B0;
    SetText(german.fileDescription, "Werkzeug 2");
    ASSERT_EQ(update_(path.c_str(), &german), VornSuccess);
    const Facts second = ReadWithPefile(path);
    EXPECT_EQ(second.All("1/1033/table"), (Strings{"040904B0", "040704B0"}));
    EXPECT_EQ(second["1/1033/string/040704B0/FileDescription"], "Werkzeug 2");
    EXPECT_EQ(second["1/1033/string/040704B0/Comments"], "Hallo");
    EXPECT_EQ(second["1/1033/string/040904B0/FileDescription"], "Tool 2");

    // Another code page of a language is another table; the file's own stays first.
    german.language = 0x0409;
    german.codePage = 1252;
    ASSERT_EQ(update_(path.c_str(), &german), VornSuccess);
    const Facts third = ReadWithPefile(path);
    const Strings tables = third.All("1/1033/table");
    EXPECT_EQ(std::multiset<std::string>(tables.begin(), tables.end()),
              (std::multiset<std::string>{"040904B0", "040704B0", "040904E4"}));
    EXPECT_EQ(tables.front(), "040904B0");
    EXPECT_EQ(third["1/1033/string/040904E4/FileDescription"], "Werkzeug 2");
    EXPECT_EQ(third["1/1033/string/040904B0/FileDescription"], "Tool 2");
    EXPECT_EQ(opaque(third), original);
}

// windres writes a second Var as a second VarFileInfo block. A block passed
// back unchanged must read back the same.
TEST_F(VersionExports, SecondVarFileInfoOrStringFileInfoSurvivesRoundTrip) {
    const ByteVec resources[] = {
        Resource({Group(u"StringFileInfo", {Group(u"040904B0", {String(u"CompanyName", u"Acme")})}),
                  Group(u"VarFileInfo", {Var(u"Translation", {0x04B00409})}),
                  Group(u"VarFileInfo", {Var(u"Extra", {1})})}),
        Resource({Group(u"StringFileInfo", {Group(u"040904B0", {String(u"CompanyName", u"Acme")})}),
                  Group(u"StringFileInfo", {Group(u"040704B0", {String(u"Comments", u"Hallo")})}),
                  Group(u"VarFileInfo", {Var(u"Translation", {0x04B00409})})})};
    for (const ByteVec& resource : resources) {
        const std::string path = WriteProgram(dir_, resource);
        const VersionInfoBlock block = Query(path);
        ASSERT_EQ(update_(path.c_str(), &block), VornSuccess);
        const VersionInfoBlock reread = Query(path);
        EXPECT_EQ(std::memcmp(&reread, &block, sizeof block), 0)
            << "codePage " << reread.codePage << ", company \"" << reread.companyName << "\"";
    }
}

TEST_F(VersionExports, ResourcePast65535BytesGives14AndLeavesTheFile) {
    std::vector<Block> strings;
    for (int i = 100; i < 162; ++i) {
        const std::string number = std::to_string(i);
        strings.push_back(String(std::u16string(252, u'k') + std::u16string(number.begin(), number.end()),
                                 std::u16string(255, u'v')));
    }
    const std::string path = WriteProgram(
        dir_, Resource({Group(u"StringFileInfo", {Group(u"040904B0", std::move(strings))}),
                        Group(u"VarFileInfo", {Var(u"Translation", {0x04B00409})})}));
    VersionInfoBlock block = Query(path);
    // A new table of six long strings takes the resource past 65535 bytes.
    block.language = 0x0407;
    for (char(*slot)[256] : {&block.fileVersion, &block.fileDescription, &block.legalCopyright, &block.companyName,
                             &block.comments, &block.legalTrademarks}) {
        SetText(*slot, std::string(255, 'w'));
    }
    const ByteVec before = ReadBytes(path);
    EXPECT_EQ(update_(path.c_str(), &block), VornBadVersionRecord);
    EXPECT_EQ(ReadBytes(path), before);
}

TEST_F(VersionExports, ReadOnlyFileGives5AndStaysUnchanged) {
    const std::string path = WriteProgram(dir_, Resource({Group(u"VarFileInfo", {Var(u"Translation", {0x04B00409})})}));
    VersionInfoBlock block = Query(path);
    SetText(block.comments, "changed");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const ByteVec before = ReadBytes(path);
    int32_t code = 0;
    if (geteuid() != 0) {
        code = update_(path.c_str(), &block);
    } else {
        // Root may write any file: the call runs in a child without that right.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(setgid(65534) != 0 || setuid(65534) != 0 ? 100 : update_(path.c_str(), &block));
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot drop root's rights";
        code = WEXITSTATUS(status);
    }
    EXPECT_EQ(code, VornFileAccessFailed);
    EXPECT_EQ(ReadBytes(path), before);
}

// Every fact but resource hashes and String lengths (toolchains pad
// differently), with `replaced` facts changed or added. How the writer
// groups blocks under the root is its own.
std::multiset<std::string> Lines(const Facts& facts, const std::map<std::string, std::string>& replaced = {}) {
    std::multiset<std::string> lines;
    for (const auto& [key, value] : facts.lines) {
        if (key == "entry" || key.find("/units/") != std::string::npos || key.find("/length/") != std::string::npos ||
            (key.ends_with("/child") && (value == "StringFileInfo" || value == "VarFileInfo"))) {
            continue;
        }
        const auto r = replaced.find(key);
        lines.insert(key + "\t" + (r == replaced.end() ? value : r->second));
    }
    for (const auto& [key, value] : replaced) {
        if (facts.All(key).empty()) lines.insert(key + "\t" + value);
    }
    return lines;
}

// The resources other than the edited version resource, with their hashes.
std::set<std::string> OtherEntries(const Facts& facts) {
    std::set<std::string> entries;
    for (const std::string& entry : facts.All("entry")) {
        if (!entry.starts_with("16/1/")) entries.insert(entry);
    }
    return entries;
}

TEST_F(VersionExports, ToolchainProgramKeepsEveryTableStringAndResource) {
    const std::string path = CopyFixture("languages");
    const Facts before = ReadWithPefile(path);
    const Strings tables{"040904B0", "040704B0", "041104B0"};
    ASSERT_EQ(before.All("1/1033/table"), tables);
    VersionInfoBlock block = Query(path);
    EXPECT_EQ(std::make_tuple(block.versionMajor, block.versionMinor, block.versionRelease, block.versionBuild),
              std::make_tuple(2, 5, 3, 7));
    EXPECT_EQ(std::make_pair(block.language, block.codePage), std::make_pair(uint16_t{0x0409}, uint16_t{1200}));
    EXPECT_STREQ(block.fileVersion, "2.5.3.7 (text differs)");
    EXPECT_STREQ(block.legalCopyright, "© 2024 Fixture Works");
    EXPECT_STREQ(block.comments, "");

    // Passed back unchanged, only the mask moves, to equal the flags.
    const VersionInfoBlock original = block;
    ASSERT_EQ(update_(path.c_str(), &block), VornSuccess);
    const Facts same = ReadWithPefile(path);
    EXPECT_EQ(Lines(same), Lines(before, {{"1/1033/fixed/FileFlagsMask", "00000002"}}));
    EXPECT_EQ(same.All("1/1033/table"), tables);
    EXPECT_EQ(OtherEntries(same), OtherEntries(before));
    const VersionInfoBlock reread = Query(path);
    EXPECT_EQ(std::memcmp(&reread, &original, sizeof reread), 0);

    block.versionBuild = 8;
    SetText(block.fileDescription, "Changed ✓");
    ASSERT_EQ(update_(path.c_str(), &block), VornSuccess);
    const Facts changed = ReadWithPefile(path);
    EXPECT_EQ(Lines(changed), Lines(before, {{"1/1033/fixed/FileFlagsMask", "00000002"},
                                             {"1/1033/fixed/FileVersionLS", "00030008"},
                                             {"1/1033/string/040904B0/FileDescription", "Changed ✓"}}));
    EXPECT_EQ(changed.All("1/1033/table"), tables);
    EXPECT_EQ(OtherEntries(changed), OtherEntries(before));
    EXPECT_EQ(changed["1/1033/units/040904B0/FileDescription"], "10");
}

TEST_F(VersionExports, ToolchainProgramWithoutVersionReadsDefaultsAndGainsOne) {
    const std::string path = CopyFixture("noversion");
    const Facts before = ReadWithPefile(path);
    VersionInfoBlock expected;
    std::memset(&expected, 0, sizeof expected);
    expected.versionMajor = 1;
    expected.language = 1033;
    expected.codePage = 1252;
    SetText(expected.fileVersion, "1.0.0.0");
    const VersionInfoBlock read = Query(path);
    EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);

    // All texts empty but one; the block's pair makes the new table and list.
    VersionInfoBlock block{};
    block.versionMajor = 3;
    block.versionMinor = 1;
    block.language = 0x0407;
    block.codePage = 1200;
    SetText(block.companyName, "Ünïcode Ltd");
    ASSERT_EQ(update_(path.c_str(), &block), VornSuccess);
    const Facts after = ReadWithPefile(path);
    EXPECT_EQ(OtherEntries(after), OtherEntries(before));
    EXPECT_EQ(after.All("entry").size(), before.All("entry").size() + 1);
    EXPECT_EQ(after["1/0/fixed/FileVersionMS"], "00030001");
    EXPECT_EQ(after["1/0/fixed/FileOS"], "00000004");
    EXPECT_EQ(after.All("1/0/table"), Strings{"040704B0"});
    EXPECT_EQ(after["1/0/string/040704B0/FileVersion"], "0.0.0.0");
    EXPECT_EQ(after["1/0/string/040704B0/CompanyName"], "Ünïcode Ltd");
    EXPECT_EQ(after["1/0/var/Translation"], "04B00407 00000000");
    EXPECT_EQ(after.All("1/0/problem"), Strings{});
    EXPECT_STREQ(Query(path).fileVersion, "0.0.0.0");
}

}  // namespace
}  // namespace vorn::test
