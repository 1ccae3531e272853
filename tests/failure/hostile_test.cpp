// Files whose headers claim sizes far beyond their bytes: every export and
// vornres command answers with a result code, and no allocation, nor all
// of them together, goes past a small multiple of the file's size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "allocator.h"
#include "failure_support.h"
#include "support/ico_writer.h"
#include "support/pe_writer.h"
#include "vornutils.h"

namespace vorn {
namespace {

using test::ByteVec;
using test::Invocation;

constexpr std::uint64_t kAllowance = 16u << 20;

// An image with an icon group of one image, and `version` as its version
// resource when given.
test::WrittenPe Image(ByteVec version = {}, ByteVec group = {}) {
    const ByteVec ico = test::WriteIco({0, 1, std::nullopt, {test::IcoImage(16, 16, test::IconPayload(300, 1))}});
    if (group.empty()) {
        group = {0, 0, 1, 0, 1, 0};
        group.insert(group.end(), ico.begin() + 6, ico.begin() + 18);
        group.insert(group.end(), {1, 0});
    }
    test::PeShape shape;
    test::ResourceTree tree;
    tree.types = {{3, {{1, {{1033, ByteVec(ico.begin() + 22, ico.end())}}}}},
                  {14, {{1, {{1033, group}}}}}};
    if (!version.empty()) tree.types.push_back({16, {{1, {{1033, version}}}}});
    shape.resources = tree;
    shape.sectionsAfterResources.push_back({".reloc", ByteVec(0x200, 7), 0x42000040});
    return test::WritePe(shape);
}

struct Hostile {
    const char* name;
    ByteVec target;
    ByteVec ico;  // the icon the icon edits take
};

std::vector<Hostile> HostileFiles() {
    const ByteVec goodIco = test::WriteIco({0, 1, std::nullopt, {test::IcoImage(32, 32, test::IconPayload(500, 3))}});
    std::vector<Hostile> files;
    const test::WrittenPe pe = Image();
    const std::size_t coff = test::get32(pe.bytes, 0x3C) + 4;
    const std::size_t rsrc = pe.sections[*pe.resourceSectionIndex].headerOffset;

    ByteVec b = pe.bytes;
    test::put16(b, coff + 2, 0xFFFF);
    files.push_back({"sections_65535", b, goodIco});

    b = pe.bytes;
    test::put32(b, pe.ResourceDirectorySizeField(), 0xFFFFFFFF);
    files.push_back({"resource_directory_4GiB", b, goodIco});

    b = pe.bytes;
    test::put32(b, rsrc + 16, 0x7FFFF000);  // SizeOfRawData
    files.push_back({"raw_size_past_file", b, goodIco});

    b = pe.bytes;
    test::put32(b, rsrc + 8, 0x7FFFF000);  // VirtualSize
    test::put32(b, rsrc + 16, 0x7FFFF000);
    files.push_back({"raw_and_virtual_size_past_file", b, goodIco});

    b = pe.bytes;
    test::put32(b, pe.optionalHeaderOffset + 32, 0x80000000);  // SectionAlignment
    test::put32(b, pe.optionalHeaderOffset + 36, 0x80000000);  // FileAlignment
    files.push_back({"alignments_2GiB", b, goodIco});

    b = pe.bytes;
    test::put32(b, pe.optionalHeaderOffset + 36, 0x40000000);
    files.push_back({"file_alignment_1GiB", b, goodIco});

    // An .ico of one entry that claims 65535.
    ByteVec ico = test::WriteIco({0, 1, std::nullopt, {test::IcoImage(16, 16, test::IconPayload(8, 4))}});
    test::put16(ico, 4, 0xFFFF);
    files.push_back({"ico_count_65535", pe.bytes, ico});

    // The target's icon group claims 65535 images in 20 bytes.
    ByteVec group(20, 0);
    test::put16(group, 2, 1);
    test::put16(group, 4, 0xFFFF);
    files.push_back({"group_count_65535", Image({}, group).bytes, goodIco});

    // A version block claiming 65535 bytes in a 100-byte resource.
    ByteVec version(100, 0);
    test::put16(version, 0, 0xFFFF);
    test::put16(version, 2, 52);
    files.push_back({"version_block_65535", Image(version).bytes, goodIco});
    // And one whose first child claims as much.
    test::put16(version, 0, 100);
    const char16_t key[] = u"VS_VERSION_INFO";
    std::memcpy(version.data() + 6, key, sizeof key);
    test::put16(version, 92, 0xFFFF);
    files.push_back({"version_child_65535", Image(version).bytes, goodIco});
    return files;
}

struct Call {
    const char* name;
    std::function<Invocation(const std::string& target, const std::string& ico, const std::string& out)> make;
};

std::vector<Call> Calls() {
    const auto tool = [](std::vector<std::string> args) {
        return [args](const std::string& target, const std::string& ico, const std::string& out) {
            Invocation call;
            for (const std::string& a : args) {
                call.args.push_back(a == "FILE" ? target : a == "ICO" ? ico : a == "OUT" ? out : a == "OUT.ico" ? out + ".ico" : a);
            }
            return call;
        };
    };
    VersionInfoBlock block{};
    block.versionMajor = 3;
    std::strcpy(block.companyName, "Example");
    return {
        {"CUtil_21", [](const std::string& t, const std::string& ico, const std::string&) {
             Invocation call;
             call.direct = [t, ico] { return CUtil_21(t.c_str(), ico.c_str(), 1, nullptr); };
             return call;
         }},
        {"CUtil_21_module", [](const std::string& t, const std::string&, const std::string& out) {
             // The hostile file as the module the icon comes from.
             Invocation call;
             call.direct = [t, out] { return CUtil_21(out.c_str(), t.c_str(), 2, nullptr); };
             return call;
         }},
        {"CUtil_22", [](const std::string& t, const std::string&, const std::string&) {
             Invocation call;
             call.direct = [t] {
                 VersionInfoBlock read{};
                 return CUtil_22(t.c_str(), &read);
             };
             return call;
         }},
        {"CUtil_23", [block](const std::string& t, const std::string&, const std::string&) {
             Invocation call;
             call.direct = [t, block] { return CUtil_23(t.c_str(), &block); };
             return call;
         }},
        {"vornres info", tool({"info", "FILE", "--json"})},
        {"vornres version", tool({"version", "FILE", "--json"})},
        {"vornres version --set", tool({"version", "FILE", "--set", "CompanyName=Example"})},
        {"vornres version -o", tool({"version", "FILE", "--file-version", "1.2.3.4", "-o", "OUT"})},
        {"vornres icon", tool({"icon", "FILE", "--from", "ICO"})},
        {"vornres icon --from-module", tool({"icon", "OUT", "--from-module", "FILE"})},
        {"vornres icons", tool({"icons", "FILE"})},
        {"vornres extract-icon", tool({"extract-icon", "FILE", "-o", "OUT.ico"})},
    };
}

class HostileSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(HostileSizes, BoundedAllocationsAndResultCodes) {
    const Hostile hostile = HostileFiles()[GetParam()];
    test::TempDir dir;
    const ByteVec good = Image().bytes;
    std::uint64_t largest = 0;
    std::string largestBy;
    for (const Call& c : Calls()) {
        SCOPED_TRACE(c.name);
        const std::string target = dir.Write(hostile.target, "hostile");
        const std::string ico = dir.Write(hostile.ico, "icon");
        // A sound image: the target of the edits that take from the hostile file, or the output of -o.
        const std::string out = dir.Write(good, "good");
        Invocation call = c.make(target, ico, out);
        call.Bind();
        test::ResetAllocations();
        const int result = call();
        const test::AllocationStats stats = test::Allocations();
        const std::uint64_t bound = 4 * std::max(hostile.target.size(), hostile.ico.size()) + kAllowance;
        EXPECT_TRUE(result >= 0 && result <= VornTextConversionFailed) << "result " << result;
        EXPECT_LE(stats.largest, bound) << "one allocation";
        EXPECT_LE(stats.peak, bound) << "held at once";
        EXPECT_LE(stats.bytes, bound) << "allocated in all";
        EXPECT_EQ(stats.live, 0) << "allocations left behind";
        if (stats.largest > largest) largest = stats.largest, largestBy = c.name;
    }
    std::printf("%s: largest allocation %llu bytes (%s), file %zu bytes\n", hostile.name,
                static_cast<unsigned long long>(largest), largestBy.c_str(), hostile.target.size());
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileSizes, testing::Range<std::size_t>(0, HostileFiles().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return std::string(HostileFiles()[info.param].name);
                         });

}  // namespace
}  // namespace vorn
