// CUtil_21 as a host calls it, on programs from the test-side PE writer, on
// a copy of the sample program with .ico files made by icotool, and with
// modules of the Wine corpus as sources. What it writes is read back with
// icoutils' wrestool.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/ico_writer.h"
#include "support/pe_writer.h"
#include "vornutils.h"

namespace vorn::test {
namespace {

using ReplaceFn = int32_t(VORNUTILS_CDECL*)(const char*, const char*, int32_t, const char*);

ByteVec ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteVec(std::istreambuf_iterator<char>(in), {});
}

std::string Run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
    return out;
}

// wrestool's listing: "type name language" per resource, in directory order.
std::vector<std::string> Listing(const std::string& path) {
    const std::string text = Run(std::string(VORNUTILS_WRESTOOL) + " -l '" + path + "'");
    static const std::regex line(R"(--type=(\S+) --name=(\S+) --language=(\d+))");
    std::vector<std::string> out;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        out.push_back((*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[3].str());
    }
    return out;
}

// One resource's bytes as wrestool extracts them; `name` is a number or "+NAME".
ByteVec Raw(const std::string& path, int type, const std::string& name) {
    const std::string text =
        Run(std::string(VORNUTILS_WRESTOOL) + " -x -R -t" + std::to_string(type) + " -n" + name + " '" + path + "'");
    return ByteVec(text.begin(), text.end());
}

// An icon group listing `ids`, each entry claiming `imageSize` bytes.
ByteVec Group(const std::vector<int>& ids, std::uint32_t imageSize = 40, std::uint16_t type = 1) {
    ByteVec group(6 + 14 * ids.size());
    put16(group, 2, type);
    put16(group, 4, static_cast<std::uint16_t>(ids.size()));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        group[6 + 14 * i] = group[7 + 14 * i] = 16;
        put16(group, 10 + 14 * i, 32);
        put32(group, 14 + 14 * i, imageSize);
        put16(group, 18 + 14 * i, static_cast<std::uint16_t>(ids[i]));
    }
    return group;
}

ByteVec Payload(int seed, std::size_t size = 40) { return IconPayload(size, static_cast<std::uint8_t>(seed)); }

ResName Res(ResId name, ByteVec data, int language = 1033) {
    return ResName(std::move(name), {ResLanguage(language, std::move(data))});
}

ByteVec Program(std::vector<ResType> types, bool pe32Plus = false) {
    PeShape shape;
    shape.pe32Plus = pe32Plus;
    shape.resources = ResourceTree{std::move(types)};
    return WritePe(shape).bytes;
}

// Group 1 listing the one image, id 1.
ByteVec OneIconProgram() { return Program({ResType(3, {Res(1, Payload(1))}), ResType(14, {Res(1, Group({1}))})}); }

ByteVec Ico(int count) {
    IcoLayout layout;
    for (int i = 0; i < count; ++i)
        layout.images.emplace_back(static_cast<std::uint8_t>(16 + i), 16, Payload(100 + i, 30 + i));
    return WriteIco(layout);
}

ByteVec ImageOf(const ByteVec& ico, std::size_t i) {
    const auto begin = ico.begin() + get32(ico, 18 + 16 * i);
    return ByteVec(begin, begin + get32(ico, 14 + 16 * i));
}

// The group an .ico becomes in a target: header and entries, the image
// offset giving way to the target's `ids`.
ByteVec GroupOf(const ByteVec& ico, const std::vector<int>& ids) {
    ByteVec group(ico.begin(), ico.begin() + 6);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        group.insert(group.end(), ico.begin() + 6 + 16 * i, ico.begin() + 18 + 16 * i);
        group.push_back(static_cast<std::uint8_t>(ids[i]));
        group.push_back(static_cast<std::uint8_t>(ids[i] >> 8));
    }
    return group;
}

void ExpectIconsFrom(const std::string& target, const std::string& group, const ByteVec& ico,
                     const std::vector<int>& ids) {
    EXPECT_EQ(Raw(target, 14, group), GroupOf(ico, ids));
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(Raw(target, 3, std::to_string(ids[i])), ImageOf(ico, i)) << i;
}

// The module's group `name` must have become the target's group 1, its
// images taking the ids from 1 up.
void ExpectModuleGroupIn(const std::string& target, const std::string& module, const std::string& name) {
    const ByteVec group = Raw(module, 14, name);
    ASSERT_GE(group.size(), 6u) << module << " " << name;
    ByteVec want = group;
    for (std::size_t i = 0; i < get16(group, 4); ++i) {
        put16(want, 18 + 14 * i, static_cast<std::uint16_t>(i + 1));
        const ByteVec image = Raw(module, 3, std::to_string(get16(group, 18 + 14 * i)));
        EXPECT_FALSE(image.empty()) << i;
        EXPECT_EQ(Raw(target, 3, std::to_string(i + 1)), image) << i;
    }
    EXPECT_EQ(Raw(target, 14, "1"), want);
}

class IconExports : public testing::Test {
protected:
    void SetUp() override {
        library_ = dlopen(VORNUTILS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        replace_ = reinterpret_cast<ReplaceFn>(dlsym(library_, "CUtil_21"));
        ASSERT_NE(replace_, nullptr);
    }
    void TearDown() override {
        if (library_ != nullptr) dlclose(library_);
    }
    int Replace(const std::string& target, const std::string& source, int kind = 1, const char* group = nullptr) {
        return replace_(target.c_str(), source.c_str(), kind, group);
    }
    // A failure must leave the target as it was.
    void ExpectFails(const std::string& target, const char* source, int kind, const char* group, int code) {
        const ByteVec before = ReadBytes(target);
        EXPECT_EQ(replace_(target.c_str(), source, kind, group), code)
            << (source ? source : "-") << " " << kind << " " << (group ? group : "-");
        EXPECT_EQ(ReadBytes(target), before);
    }

    TempDir dir;
    void* library_ = nullptr;
    ReplaceFn replace_ = nullptr;
};

TEST_F(IconExports, ListedImagesGoInEveryLanguageAndTheirIdsAreReused) {
    const std::string target = dir.Write(Program({
        ResType(3, {Res(1, Payload(1)), ResName(2, {ResLanguage(1033, Payload(2)), ResLanguage(1036, Payload(3))}),
                    Res(3, Payload(4)), Res(4, Payload(5))}),
        ResType(14, {ResName(1, {ResLanguage(1031, Group({1, 2, 3}))}), Res(2, Group({4}))}),
    }));
    const ByteVec ico = Ico(3);
    ASSERT_EQ(Replace(target, dir.Write(ico), 1, "ignored for a file"), VornSuccess);
    // The new images take the group's language; id 4 of the other group stays.
    EXPECT_EQ(Listing(target),
              (std::vector<std::string>{"3 1 1031", "3 2 1031", "3 3 1031", "3 4 1033", "14 1 1031", "14 2 1033"}));
    ExpectIconsFrom(target, "1", ico, {1, 2, 3});
    EXPECT_EQ(Raw(target, 3, "4"), Payload(5));
    EXPECT_EQ(Raw(target, 14, "2"), Group({4}));
}

// A named group comes first in the directory, so it is the main one.
TEST_F(IconExports, NewImagesTakeTheSmallestFreeIdsOfTheNamedGroup) {
    const std::string target = dir.Write(Program({
        ResType(3, {Res(1, Payload(1)), Res(2, Payload(2)), Res(3, Payload(3)), Res(4, Payload(4))}),
        ResType(14, {Res(1, Group({2, 4})), Res("MAIN", Group({1, 3}))}),
    }));
    const ByteVec ico = Ico(5);
    ASSERT_EQ(Replace(target, dir.Write(ico)), VornSuccess);
    ExpectIconsFrom(target, "+MAIN", ico, {1, 3, 5, 6, 7});
    EXPECT_EQ(Raw(target, 3, "2"), Payload(2));
    EXPECT_EQ(Raw(target, 3, "4"), Payload(4));
    EXPECT_EQ(Raw(target, 14, "1"), Group({2, 4}));
}

// The icon type can vanish from the directory or appear in it.
TEST_F(IconExports, EmptyIcoLeavesAnEmptyGroupAndImagesCanArrive) {
    const std::string target = dir.Write(OneIconProgram());
    ASSERT_EQ(Replace(target, dir.Write(Ico(0))), VornSuccess);
    EXPECT_EQ(Listing(target), std::vector<std::string>{"14 1 1033"});
    EXPECT_EQ(Raw(target, 14, "1"), (ByteVec{0, 0, 1, 0, 0, 0}));

    const ByteVec ico = Ico(2);
    ASSERT_EQ(Replace(target, dir.Write(ico)), VornSuccess);
    EXPECT_EQ(Listing(target), (std::vector<std::string>{"3 1 1033", "3 2 1033", "14 1 1033"}));
    ExpectIconsFrom(target, "1", ico, {1, 2});
}

TEST_F(IconExports, FailuresLeaveTheTargetUnchanged) {
    const std::string source = dir.Write(Ico(1));
    const std::string missing = (dir.path() / "missing.ico").string();
    const std::string target = dir.Write(OneIconProgram());
    for (const int kind : {0, 3, -1}) ExpectFails(target, source.c_str(), kind, nullptr, VornBadSourceKind);
    ExpectFails(target, missing.c_str(), 1, nullptr, VornIconSourceNotFound);
    ExpectFails(target, nullptr, 1, nullptr, VornIconSourceNotFound);
    ExpectFails(target, nullptr, 2, nullptr, VornIconSourceNotFound);

    // The source is read before the target's group is looked for.
    const std::string noGroup = dir.Write(Program({ResType(3, {Res(1, Payload(1))})}));
    ExpectFails(noGroup, missing.c_str(), 1, nullptr, VornIconSourceNotFound);
    ExpectFails(noGroup, source.c_str(), 1, nullptr, VornNoIconGroup);

    ByteVec shortGroup = Group({1, 2});
    put16(shortGroup, 4, 3);
    for (const ByteVec& group : {Group({1}, 40, 2), shortGroup}) {
        const std::string bad = dir.Write(Program({ResType(3, {Res(1, Payload(1))}), ResType(14, {Res(1, group)})}));
        ExpectFails(bad, source.c_str(), 1, nullptr, VornNotIconGroup);
    }
}

TEST_F(IconExports, DamagedIcoFilesGive10) {
    const std::string target = dir.Write(OneIconProgram());
    const ByteVec good = Ico(2);
    std::vector<ByteVec> bad{ByteVec(good.begin(), good.begin() + 5), ByteVec(good.begin(), good.begin() + 6 + 16 + 8),
                             ByteVec(good.begin(), good.end() - 1)};
    bad.push_back(good);
    put16(bad.back(), 2, 2);  // a cursor
    const std::uint32_t fileSize = static_cast<std::uint32_t>(good.size());
    for (const auto& [offset, size] :
         std::vector<std::pair<std::uint32_t, std::uint32_t>>{{fileSize, 1}, {38, fileSize}, {0xFFFFFFF0u, 0x20}}) {
        bad.push_back(good);
        put32(bad.back(), 6 + 16 + 8, size);
        put32(bad.back(), 6 + 16 + 12, offset);
    }
    for (const ByteVec& ico : bad) ExpectFails(target, dir.Write(ico, "bad").c_str(), 1, nullptr, VornBadIconSource);
}

// Root writes any file whatever its mode: the calls then run in a child
// that has dropped to an unprivileged user.
TEST_F(IconExports, ReadOnlyTargetGives5BeforeTheSourceIsRead) {
    const std::string target = dir.Write(OneIconProgram());
    const std::string source = dir.Write(Ico(1));
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const ByteVec before = ReadBytes(target);
    const auto both = [&] { return Replace(target, "missing.ico") * 16 + Replace(target, source, 3); };
    int codes = 0;
    if (geteuid() != 0) {
        codes = both();
    } else {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
            _exit(both());
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 255) GTEST_SKIP() << "cannot drop root rights";
        codes = WEXITSTATUS(status);
    }
    EXPECT_EQ(codes / 16, VornFileAccessFailed) << "missing source";
    EXPECT_EQ(codes % 16, VornFileAccessFailed) << "source kind 3";
    EXPECT_EQ(ReadBytes(target), before);
}

// Modules go through the platform's loader stand-in.
TEST_F(IconExports, ModuleGroupsByNameIdOrFirst) {
    ByteVec big = Group({7, 8}, 50);
    put32(big, 6 + 8, 1000);  // larger than its image: the image's 300 bytes count
    ByteVec shortGroup = Group({7, 8});
    put16(shortGroup, 4, 3);
    const std::vector<ResType> types{
        ResType(3, {Res(7, Payload(7, 300)), Res(8, Payload(8, 50))}),
        ResType(14, {Res("BIG", big), Res("CURSOR", Group({7}, 40, 2)), Res("MISSING", Group({9})),
                     Res("SHORT", shortGroup), Res(1, Group({8}, 50))}),
    };
    const std::string module = dir.Write(Program(types), "module");
    const ByteVec targetBytes = OneIconProgram();
    const std::string target = dir.Write(targetBytes);
    for (const char* name : {"CURSOR", "short"}) ExpectFails(target, module.c_str(), 2, name, VornBadIconSource);
    for (const char* name : {"MISSING", "NONE", "#2"})
        ExpectFails(target, module.c_str(), 2, name, VornIconSourceNotFound);
    const std::string noGroups = dir.Write(Program({ResType(3, {Res(1, Payload(1))})}));
    ExpectFails(target, noGroups.c_str(), 2, nullptr, VornIconSourceNotFound);
    ExpectFails(target, dir.Write(Ico(1)).c_str(), 2, nullptr, VornIconSourceNotFound);
    // A PE32+ module maps, but its first group is found by opening it as PE32.
    const std::string wide = dir.Write(Program(types, true), "wide");
    ExpectFails(target, wide.c_str(), 2, nullptr, VornNotPeImage);

    ByteVec corrected = big;
    put32(corrected, 6 + 8, 300);
    put16(corrected, 18, 1);
    put16(corrected, 32, 2);
    for (const char* name : {"big", static_cast<const char*>(nullptr)}) {
        const std::string copy = dir.Write(targetBytes);
        ASSERT_EQ(Replace(copy, module, 2, name), VornSuccess);
        EXPECT_EQ(Raw(copy, 14, "1"), corrected);
        EXPECT_EQ(Raw(copy, 3, "1"), Payload(7, 300));
        EXPECT_EQ(Raw(copy, 3, "2"), Payload(8, 50));
    }
    for (const std::string& source : {module, wide}) {
        const std::string copy = dir.Write(targetBytes);
        ASSERT_EQ(Replace(copy, source, 2, "#1"), VornSuccess) << source;
        EXPECT_EQ(Raw(copy, 14, "1"), Group({1}, 50));
        EXPECT_EQ(Raw(copy, 3, "1"), Payload(8, 50));
    }
}

// icotool's files: a 1-bit and a 32-bit bitmap image and a 256x256 PNG,
// once in entry order and once with decreasing offsets.
TEST_F(IconExports, IcoFilesMadeByIcotool) {
    const ByteVec sample = ReadBytes(VORNUTILS_SAMPLE);
    for (const char* name : {"icons.ico", "reversed.ico"}) {
        const std::string source = std::string(VORNUTILS_ICON_FILES) + "/" + name;
        const ByteVec ico = ReadBytes(source);
        ASSERT_EQ(get16(ico, 4), 3) << name;
        ASSERT_EQ(ImageOf(ico, 2)[1], 'P') << "the 256x256 image is stored as PNG";
        const std::string target = dir.Write(sample, "sample");
        ASSERT_EQ(Replace(target, source), VornSuccess) << name;
        EXPECT_EQ(Listing(target), Listing(VORNUTILS_SAMPLE)) << name;
        ExpectIconsFrom(target, "1", ico, {1, 2, 3});
    }
}

// The Wine corpus, found as the corpus check finds it: the folder the
// packages list, else the Debian Wine folders; the fullest wins.
std::filesystem::path CorpusFolder() {
    namespace fs = std::filesystem;
    std::istringstream listing(
        Run("dpkg -L libwine:i386 wine32:i386 wine32 2>/dev/null; ls -d /usr/lib/*/wine/i386-windows"));
    fs::path best;
    std::ptrdiff_t most = 0;
    for (std::string line; std::getline(listing, line);) {
        std::error_code error;
        const auto count = std::distance(fs::directory_iterator(line, error), fs::directory_iterator());
        if (line.ends_with("/wine/i386-windows") && !error && count > most)
            std::tie(best, most) = std::tie(line, count);
    }
    return best;
}

// The module's first icon group as wrestool's -n takes it: "+NAME" or a number.
std::string FirstGroup(const std::string& module) {
    for (const std::string& line : Listing(module)) {
        if (!line.starts_with("14 ")) continue;
        const std::string name = line.substr(3, line.rfind(' ') - 3);
        return name[0] == '\'' ? "+" + name.substr(1, name.size() - 2) : name;
    }
    return "";
}

TEST_F(IconExports, CorpusModulesAsSources) {
    const std::filesystem::path corpus = CorpusFolder();
    if (corpus.empty()) GTEST_SKIP() << "no Wine corpus (package wine32)";
    const struct {
        const char* file;
        const char* group;         // as CUtil_21 takes it
        std::string wrestoolName;  // empty: the first group
    } cases[] = {{"comdlg32.dll", "folder", "+FOLDER"},
                 {"regedit.exe", "#133", "133"},
                 {"comdlg32.dll", nullptr, ""},
                 {"regedit.exe", nullptr, ""}};
    for (const auto& c : cases) {
        const std::string module = (corpus / c.file).string();
        if (!std::filesystem::exists(module)) GTEST_SKIP() << module << " missing from the corpus";
        const std::string name = c.wrestoolName.empty() ? FirstGroup(module) : c.wrestoolName;
        const std::string target = dir.Write(ReadBytes(VORNUTILS_SAMPLE), "sample");
        ASSERT_EQ(Replace(target, module, 2, c.group), VornSuccess) << module << " " << name;
        ExpectModuleGroupIn(target, module, name);
    }
}

}  // namespace
}  // namespace vorn::test
