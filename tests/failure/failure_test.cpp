// Every allocation and every file operation of every export and vornres
// command, failed in turn: the result is the documented code, nothing
// leaks, and the files end as they were or as the complete result.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "allocator.h"
#include "failure_support.h"
#include "platform/file.h"
#include "image/safe_commit.h"
#include "support/ico_writer.h"
#include "support/pe_writer.h"
#include "vornutils.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::ByteVec;
using test::Invocation;
using test::ReadFile;

// Watches every file operation and fails the n-th of one kind. A rewrite
// has begun once a write or length change on a file open for editing went
// through.
struct IoPlan {
    File::Operation kind = File::Operation::Open;
    int failAt = 0;  // 0: none fails
    int seen = 0;
    bool failed = false;
    bool rewriting = false;
};
IoPlan plan;

bool Watch(File::Operation operation, File::Mode mode) {
    if (plan.failAt != 0 && operation == plan.kind && ++plan.seen == plan.failAt) {
        plan.failed = true;
        return true;
    }
    if (!plan.failed && mode == File::Mode::ReadWrite &&
        (operation == File::Operation::Write || operation == File::Operation::SetLength)) {
        plan.rewriting = true;
    }
    return false;
}

VersionInfoBlock Texts(const char* text) {
    VersionInfoBlock block{};
    block.versionMajor = 2;
    block.versionBuild = 7;
    block.language = 1033;
    block.codePage = 1252;
    for (char* slot : {block.fileVersion, block.fileDescription, block.legalCopyright, block.companyName, block.comments,
                       block.legalTrademarks}) {
        std::strncpy(slot, text, 255);
    }
    return block;
}

ByteVec NewIcon(std::size_t payload = 900) {
    return test::WriteIco({0, 1, std::nullopt, {test::IcoImage(48, 48, test::IconPayload(payload, 5))}});
}

// A file with an icon group of two images, a section after its resources
// and `overlay` appended bytes; without resources, one that needs a new
// resource section for an icon.
ByteVec Fixture(std::size_t overlay = 0, bool resources = true) {
    const ByteVec ico = test::WriteIco({0, 1, std::nullopt, {test::IcoImage(16, 16, test::IconBitmap(16, 16, 1)),
                                                             test::IcoImage(32, 32, test::IconPayload(600, 2))}});
    ByteVec group{0, 0, 1, 0, 2, 0};
    for (std::uint8_t i = 0; i < 2; ++i) {
        group.insert(group.end(), ico.begin() + 6 + 16 * i, ico.begin() + 18 + 16 * i);
        group.insert(group.end(), {static_cast<std::uint8_t>(i + 1), 0});
    }
    test::PeShape shape;
    if (resources) {
        test::ResourceTree tree;
        tree.types = {{3, {{1, {{1033, ByteVec(ico.begin() + 38, ico.begin() + 38 + test::get32(ico, 14))}}},
                           {2, {{1033, ByteVec(ico.end() - 600, ico.end())}}}}},
                      {14, {{"MAIN", {{1033, group}}}}}};
        shape.resources = tree;
    }
    shape.sectionsAfterResources.push_back({".reloc", ByteVec(0x300, 7), 0x42000040});
    // Bytes that tell their places apart, so that a tail moved wrong shows.
    shape.overlay.resize(overlay);
    for (std::size_t i = 0; i < overlay; ++i) shape.overlay[i] = static_cast<std::uint8_t>(i % 251);
    return test::WritePe(shape).bytes;
}

// What an operation may do to files.
enum class Writes {
    Nothing,  // reads only: the target never changes
    InPlace,  // an export: a failure before the rewrite began leaves the target as it was
    Safely,   // vornres: the output is always the original or the complete result
};

struct Operation {
    const char* name;
    const char* fixture;  // a key of Fixtures::paths
    Writes writes;
    bool toOut;  // vornres -o: the result goes to a second file, the target stays as it is
    std::function<Invocation(const std::string& target, const std::string& out)> make;
    // Every allocation failed in turn too; the moves below allocate no
    // differently from the edits above, only their file operations differ.
    bool everyAllocation = true;
};

// The fixtures, written once for the whole suite.
struct Fixtures {
    test::TempDir dir;
    std::map<std::string, std::string> paths;
    std::string ico, bigIco;
    VersionInfoBlock shown{};  // what CUtil_22 reads from "versioned"
};
Fixtures* fixtures = nullptr;

const VersionInfoBlock kLongTexts = Texts(std::string(200, 'g').c_str());
const VersionInfoBlock kShortTexts = Texts("s");


// Placeholders in a command line: FILE the target, OUT the second file, ICO
// the new icon, BIGICO one of more than 2 MiB, MODULE a module to take an
// icon group from.
std::function<Invocation(const std::string&, const std::string&)> Tool(std::vector<std::string> args) {
    return [args](const std::string& target, const std::string& out) {
        Invocation call;
        for (const std::string& a : args) {
            call.args.push_back(a == "FILE" ? target : a == "OUT" ? out : a == "ICO" ? fixtures->ico
                                : a == "BIGICO" ? fixtures->bigIco : a == "MODULE" ? fixtures->paths["base"] : a);
        }
        return call;
    };
}

std::function<Invocation(const std::string&, const std::string&)> Direct(int (*run)(const std::string& target)) {
    return [run](const std::string& target, const std::string&) {
        Invocation call;
        call.direct = [run, target] { return run(target); };
        return call;
    };
}

const std::vector<Operation> kOperations = {
    {"CUtil_21_ico", "base", Writes::InPlace, false,
     Direct([](const std::string& t) { return CUtil_21(t.c_str(), fixtures->ico.c_str(), 1, nullptr); })},
    {"CUtil_21_module", "versioned", Writes::InPlace, false,
     Direct([](const std::string& t) { return CUtil_21(t.c_str(), fixtures->paths["base"].c_str(), 2, nullptr); })},
    {"CUtil_22", "versioned", Writes::Nothing, false, Direct([](const std::string& t) {
         VersionInfoBlock b{};
         const int code = CUtil_22(t.c_str(), &b);
         // A success must have read everything.
         return code == 0 && std::memcmp(&b, &fixtures->shown, sizeof b) != 0 ? -1 : code;
     })},
    {"CUtil_23_growing", "base", Writes::InPlace, false,
     Direct([](const std::string& t) { return CUtil_23(t.c_str(), &kLongTexts); })},
    {"CUtil_23_shrinking", "versioned", Writes::InPlace, false,
     Direct([](const std::string& t) { return CUtil_23(t.c_str(), &kShortTexts); })},
    {"CUtil_23_same_size", "versioned", Writes::InPlace, false, Direct([](const std::string& t) {
         VersionInfoBlock b{};
         const int read = CUtil_22(t.c_str(), &b);
         return read != 0 ? read : CUtil_23(t.c_str(), &b);
     })},
    {"CUtil_23_1MiB_tail", "tail", Writes::InPlace, false,
     Direct([](const std::string& t) { return CUtil_23(t.c_str(), &kLongTexts); })},
    {"vornres_info", "versioned", Writes::Nothing, false, Tool({"info", "FILE", "--json"})},
    {"vornres_version_json", "versioned", Writes::Nothing, false, Tool({"version", "FILE", "--json"})},
    // Shorter texts: the section shrinks and the file is written anew.
    {"vornres_version_set", "versioned", Writes::Safely, false, Tool({"version", "FILE", "--set", "CompanyName=Example"})},
    // The fixed numbers only: nothing moves, so the edit may be made in place under a journal.
    {"vornres_version_file_version", "versioned", Writes::Safely, false,
     Tool({"version", "FILE", "--file-version", "1.2.3.4"})},
    {"vornres_version_file_version_out", "versioned", Writes::Safely, true,
     Tool({"version", "FILE", "--file-version", "1.2.3.4", "-o", "OUT"})},
    {"vornres_version_set_tail", "tail", Writes::Safely, false, Tool({"version", "FILE", "--set", "CompanyName=Example"})},
    // The tail moves in the file itself: by less than the piece it moves at a
    // time and by more, growing and shrinking.
    {"vornres_version_shrink_tail", "versioned-tail", Writes::Safely, false,
     Tool({"version", "FILE", "--set", "CompanyName=Example", "--set", "Comments=", "--set", "LegalTrademarks="}), false},
    // The fixtures' checksum is zero. Set, it is summed as the tail moves
    // through memory; left zero, the tail is copied inside the kernel.
    {"vornres_icon_large_tail", "tail", Writes::Safely, false,
     Tool({"icon", "FILE", "--from", "BIGICO", "--checksum", "update"}), false},
    {"vornres_icon_large_tail_unsummed", "tail", Writes::Safely, false,
     Tool({"icon", "FILE", "--from", "BIGICO", "--checksum", "zero"}), false},
    {"vornres_icon_shrink_tail", "big-icon-tail", Writes::Safely, false, Tool({"icon", "FILE", "--from", "ICO"}), false},
    {"vornres_icon", "base", Writes::Safely, false, Tool({"icon", "FILE", "--from", "ICO"})},
    {"vornres_icon_new_section", "bare", Writes::Safely, false, Tool({"icon", "FILE", "--from", "ICO"})},
    {"vornres_icon_from_module", "versioned", Writes::Safely, false, Tool({"icon", "FILE", "--from-module", "MODULE"})},
    {"vornres_icons", "base", Writes::Nothing, false, Tool({"icons", "FILE", "--json"})},
    {"vornres_extract_icon", "base", Writes::Nothing, false, Tool({"extract-icon", "FILE", "-o", "OUT"})},
};

class Environment : public testing::Environment {
public:
    void SetUp() override {
        fixtures = new Fixtures;
        Fixtures& f = *fixtures;
        f.paths["base"] = f.dir.Write(Fixture(), "base");
        f.paths["bare"] = f.dir.Write(Fixture(0, false), "bare");
        f.paths["tail"] = f.dir.Write(Fixture((1u << 20) + 1), "tail");
        f.ico = f.dir.Write(NewIcon(), "new");
        // The same file with long version texts, to shrink and to write back.
        f.paths["versioned"] = f.dir.Write(Fixture(), "versioned");
        const VersionInfoBlock longTexts = Texts(std::string(200, 'v').c_str());
        ASSERT_EQ(CUtil_23(f.paths["versioned"].c_str(), &longTexts), VornSuccess);
        f.paths["versioned-tail"] = f.dir.Write(Fixture((1u << 20) + 1), "versioned-tail");
        ASSERT_EQ(CUtil_23(f.paths["versioned-tail"].c_str(), &longTexts), VornSuccess);
        f.bigIco = f.dir.Write(NewIcon((2u << 20) + 4096), "big");
        f.paths["big-icon-tail"] = f.dir.Write(Fixture((1u << 20) + 1), "big-icon-tail");
        ASSERT_EQ(CUtil_21(f.paths["big-icon-tail"].c_str(), f.bigIco.c_str(), 1, nullptr), VornSuccess);
        ASSERT_EQ(CUtil_22(f.paths["versioned"].c_str(), &f.shown), VornSuccess);
    }
    void TearDown() override { delete fixtures; }
};
const auto* const environment = testing::AddGlobalTestEnvironment(new Environment);

std::optional<ByteVec> Contents(const std::string& path) {
    if (!fs::exists(path)) return std::nullopt;
    return ReadFile(path);
}

// One run of an operation on fresh copies of its files.
struct Trial {
    std::string target, out;
    std::optional<ByteVec> before;     // the file that receives the result, as it was
    ByteVec targetBefore;
    [[nodiscard]] const std::string& Output(const Operation& op) const { return op.toOut ? out : target; }
};

Trial Prepare(const Operation& op) {
    Trial run;
    run.target = fixtures->dir.Write(ReadFile(fixtures->paths[op.fixture]), "run");
    run.out = run.target + ".out";
    run.targetBefore = ReadFile(run.target);
    run.before = Contents(run.Output(op));
    return run;
}

void RemoveRun(const Trial& run) {
    for (const std::string& path : {run.target, run.out}) {
        fs::remove(path);
        fs::remove(NewFilePath(path));
        fs::remove(JournalPath(path));
    }
}

// The result of the operation when nothing fails.
std::optional<ByteVec> Expected(const Operation& op) {
    const Trial run = Prepare(op);
    Invocation call = op.make(run.target, run.out);
    call.Bind();
    test::ResetAllocations();
    const int result = call();
    EXPECT_EQ(result, 0) << "with no failure";
    EXPECT_EQ(test::Allocations().live, 0) << "allocations left behind with no failure";
    std::optional<ByteVec> expected = Contents(run.Output(op));
    RemoveRun(run);
    return expected;
}

// What the files may be after a failed or successful run.
void CheckFiles(const Operation& op, const Trial& run, int result, bool rewriting, const std::optional<ByteVec>& expected) {
    const std::string& output = run.Output(op);
    if (op.writes == Writes::Nothing || op.toOut) {
        EXPECT_TRUE(ReadFile(run.target) == run.targetBefore) << "the input changed";
    }
    if (result == 0) {
        EXPECT_TRUE(Contents(output) == expected) << "a success that is not the complete result";
    }
    if (op.writes == Writes::InPlace && result != 0 && !rewriting) {
        EXPECT_TRUE(Contents(output) == run.before) << "changed before its rewrite began";
    }
    if (op.writes != Writes::Safely) return;
    const auto originalOrResult = [&](const char* when) {
        const std::optional<ByteVec> now = Contents(output);
        EXPECT_TRUE(now == run.before || now == expected) << "neither the original nor the result " << when;
        EXPECT_FALSE(fs::exists(NewFilePath(output))) << "a new file left behind " << when;
    };
    originalOrResult("after the failure");
    // The next vornres run on the file puts back what the failed one left.
    File::SetProcessFaultHook(nullptr);
    Invocation next;
    next.args = {"info", output};
    next.Bind();
    (void)next();
    File::SetProcessFaultHook(&Watch);
    originalOrResult("after the next open");
    EXPECT_FALSE(fs::exists(JournalPath(output))) << "a journal kept after the next open";
}

bool FailedSince(int parts) {
    return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() > parts;
}
int Parts() { return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

class FailureCampaign : public testing::TestWithParam<std::size_t> {
protected:
    void SetUp() override {
        op_ = kOperations[GetParam()];
        File::SetProcessFaultHook(&Watch);
        // Once without failures first, so that what is set up once for the
        // process is not taken for a leak.
        expected_ = Expected(op_);
        if (op_.writes == Writes::Nothing && !op_.toOut) expected_ = ReadFile(fixtures->paths[op_.fixture]);
    }
    void TearDown() override {
        File::SetProcessFaultHook(nullptr);
        plan = {};
    }

    Operation op_;
    std::optional<ByteVec> expected_;
};

constexpr std::uint64_t kMaxPoints = 200000;

class AllocationCampaign : public FailureCampaign {};
class FileCampaign : public FailureCampaign {};

TEST_P(AllocationCampaign, EveryAllocation) {
    std::uint64_t points = 0;
    for (std::uint64_t n = 1; n < kMaxPoints; ++n) {
        const Trial run = Prepare(op_);
        Invocation call = op_.make(run.target, run.out);
        call.Bind();
        plan = {};
        const int parts = Parts();
        test::ResetAllocations(n);
        const int result = call();
        test::StopFailing();
        const test::AllocationStats stats = test::Allocations();
        const bool failed = test::AllocationFailed();
        SCOPED_TRACE(testing::Message() << "allocation " << n << (failed ? " failed" : " (none failed)"));
        if (failed) {
            ++points;
            EXPECT_TRUE(result == 0 || result == VornOutOfMemory) << "result " << result;
        } else {
            EXPECT_EQ(result, 0);
        }
        EXPECT_EQ(stats.live, 0) << "allocations left behind";
        CheckFiles(op_, run, result, plan.rewriting, expected_);
        RemoveRun(run);
        if (!failed || FailedSince(parts)) break;
    }
    std::printf("%s: %llu allocation points\n", op_.name, static_cast<unsigned long long>(points));
    RecordProperty("allocation_points", std::to_string(points));
}

TEST_P(FileCampaign, EveryFileOperation) {
    const std::pair<File::Operation, const char*> kinds[] = {
        {File::Operation::Open, "open"},   {File::Operation::Seek, "seek"},   {File::Operation::Read, "read"},
        {File::Operation::Write, "write"}, {File::Operation::Flush, "flush"}, {File::Operation::SetLength, "length change"},
    };
    std::string figures;
    for (const auto& [kind, kindName] : kinds) {
        SCOPED_TRACE(kindName);
        // A failed read may also be told as the file not being an image or
        // not a usable icon source; a failed write only as an access failure.
        const bool reading = kind == File::Operation::Open || kind == File::Operation::Seek || kind == File::Operation::Read;
        const std::set<int> allowed = reading ? std::set<int>{VornFileAccessFailed, VornNotPeImage, VornIconSourceNotFound,
                                                              VornBadIconSource}
                                              : std::set<int>{VornFileAccessFailed};
        int points = 0;
        for (int n = 1; n < static_cast<int>(kMaxPoints); ++n) {
            const Trial run = Prepare(op_);
            Invocation call = op_.make(run.target, run.out);
            call.Bind();
            const int parts = Parts();
            plan = {kind, n};
            test::ResetAllocations();
            const int result = call();
            const std::int64_t live = test::Allocations().live;
            const IoPlan seen = plan;
            plan = {};
            SCOPED_TRACE(testing::Message() << kindName << " " << n << (seen.failed ? " failed" : " (none failed)"));
            if (seen.failed) {
                ++points;
                // 0 only where the failed operation did not matter (the check
                // for a journal, say); the files are then checked as a success.
                EXPECT_TRUE(result == 0 || allowed.count(result) != 0) << "result " << result;
            } else {
                EXPECT_EQ(result, 0);
            }
            EXPECT_EQ(live, 0) << "allocations left behind";
            CheckFiles(op_, run, result, seen.rewriting, expected_);
            RemoveRun(run);
            if (!seen.failed || FailedSince(parts)) break;
        }
        figures += std::string(figures.empty() ? "" : ", ") + kindName + " " + std::to_string(points);
    }
    std::printf("%s: file operation points: %s\n", op_.name, figures.c_str());
    RecordProperty("file_points", figures);
}

std::vector<std::size_t> AllocationOperations() {
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < kOperations.size(); ++i) {
        if (kOperations[i].everyAllocation) chosen.push_back(i);
    }
    return chosen;
}

std::string OperationName(const testing::TestParamInfo<std::size_t>& info) { return kOperations[info.param].name; }

INSTANTIATE_TEST_SUITE_P(Failures, AllocationCampaign, testing::ValuesIn(AllocationOperations()), OperationName);
INSTANTIATE_TEST_SUITE_P(Failures, FileCampaign, testing::Range<std::size_t>(0, kOperations.size()), OperationName);

}  // namespace
}  // namespace vorn
