// The edit journal on its own: edits killed before each operation of their
// files and played from there, journals that are damaged or meet another
// file. The expected file is worked out here independently: the tail moved
// as memmove would, the writes laid over it, the PE checksum summed word by
// word.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "format/checksum.h"
#include "image/edit_journal.h"
#include "image/image_rewrite.h"
#include "image/safe_commit.h"

namespace vorn::journal {
namespace {

namespace fs = std::filesystem;
using Buffer = std::vector<std::byte>;

Buffer Noise(std::size_t size, std::uint32_t seed) {
    Buffer bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<std::byte>(x >> 24);
    }
    return bytes;
}

Buffer Load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), {});
    Buffer bytes(raw.size());
    std::transform(raw.begin(), raw.end(), bytes.begin(), [](char c) { return static_cast<std::byte>(c); });
    return bytes;
}

// Truncates and rewrites: the file stays the same file.
void Store(const fs::path& path, const Buffer& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t Get32(const Buffer& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | std::to_integer<std::uint32_t>(b[at + i]);
    return v;
}
void Put32(Buffer& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}
void Put64(Buffer& b, std::size_t at, std::uint64_t v) { Put32(b, at, v), Put32(b, at + 4, v >> 32); }

std::uint32_t Crc(const Buffer& b, std::size_t from, std::size_t to) {
    Crc32 crc;
    crc.Add(std::span(b).subspan(from, to - from));
    return crc.Value();
}

// The journal's static part ends with its CRC; its length is the u32 after
// the magic. The progress record follows at the next 4 KiB.
std::size_t StaticEnd(const Buffer& j) { return Get32(j, 8); }
std::size_t RecordAt(const Buffer& j) { return (StaticEnd(j) + 4095) / 4096 * 4096; }
void SealStatic(Buffer& j) { Put32(j, StaticEnd(j) - 4, Crc(j, 0, StaticEnd(j) - 4)); }

std::uint32_t PeSum(const Buffer& file, std::uint64_t field) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 2) {
        if (i >= field && i < field + 4) continue;
        sum += std::to_integer<std::uint32_t>(file[i]) |
               (i + 1 < file.size() ? std::to_integer<std::uint32_t>(file[i + 1]) << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + file.size());
}

struct Shape {
    const char* name;
    std::uint64_t oldEnd, newEnd, tail;
    bool checksum;
    bool writeInTail;  // like a moved debug directory
};

EditPlan PlanOf(const Shape& s) {
    EditPlan plan;
    plan.fileLength = s.oldEnd + s.tail;
    plan.newLength = s.newEnd + s.tail;
    plan.move.oldEnd = s.oldEnd;
    plan.move.newEnd = s.newEnd;
    plan.move.tailLength = s.tail;
    // The section, up to where the tail now begins, then the headers and a
    // patch of them: later writes win.
    plan.writes.push_back({0x1000, Noise(static_cast<std::size_t>(s.newEnd - 0x1000), 11)});
    plan.writes.push_back({0, Noise(0x400, 12)});
    plan.writes.push_back({0x180, Noise(0x40, 13)});
    if (s.writeInTail) plan.writes.push_back({s.newEnd + 0x230, Noise(0x38, 14)});
    plan.checksumField = 0x1D8;
    plan.checksum = s.checksum;
    return plan;
}

Buffer Expected(const Buffer& before, const EditPlan& plan) {
    Buffer out = before;
    out.resize(std::max(plan.fileLength, plan.newLength));
    std::memmove(out.data() + plan.move.newEnd, before.data() + plan.move.oldEnd, plan.move.tailLength);
    out.resize(plan.newLength);
    for (const Write& w : plan.writes) std::copy(w.bytes.begin(), w.bytes.end(), out.begin() + w.offset);
    if (plan.checksum) Put32(out, plan.checksumField, PeSum(out, plan.checksumField));
    return out;
}

constexpr std::uint64_t kChunk = kMoveChunkSize;

// Each moves a tail of more than one chunk.
const Shape kShapes[] = {
    {"GrowsBelowAChunk", 0x6000, 0x6000 + 0x3A00, kChunk + 0x45000, true, true},
    {"GrowsBeyondAChunk", 0x6000, 0x6000 + kChunk + 0x2200, kChunk + 0x31000, false, false},
    {"GrowsBeyondAChunkSummingOnTheWay", 0x6000, 0x6000 + kChunk + 0x2200, kChunk + 0x31000, true, false},
    {"ShrinksBelowAChunk", 0xC000, 0x7400, kChunk + 0x52000, true, true},
    {"ShrinksBeyondAChunk", 0x6000 + kChunk + 0x5000, 0x6000, kChunk + 0x21000, false, false},
    {"WritesOnly", 0x8000, 0x8000, 0x12000, true, false},
};

class Journal : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vornutils-journal-" + std::to_string(getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        target_ = dir_ / "target.exe";
        journal_ = dir_ / "target.exe.vornres-journal";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs `plan` on a fresh copy of `before`, its files failing from their
    // `killAt`th operation on (counted from Begin, both files together);
    // the files are then as a process killed there leaves them: what their
    // streams still buffered is lost. Returns whether the kill came; `ops`,
    // how many operations there were.
    bool KillAt(const Buffer& before, EditPlan& plan, int killAt, int* ops = nullptr) {
        Store(target_, before);
        auto target = File::Open(target_.c_str(), File::Mode::ReadWrite);
        auto journal = File::Open(journal_.c_str(), File::Mode::Create);
        EXPECT_TRUE(target && journal && TakeFingerprint(*target, plan));
        int done = 0;
        Buffer keptTarget, keptJournal;
        const auto hook = [&](File::Operation) {
            if (done++ == killAt) keptTarget = Load(target_), keptJournal = Load(journal_);
            return done > killAt;
        };
        target->SetFaultHook(hook);
        journal->SetFaultHook(hook);
        bool outOfMemory = false;
        const bool begun = Begin(*journal, plan);
        const Outcome outcome = begun ? CarryOut(*target, *journal, plan, {}, outOfMemory) : Outcome::Untouched;
        target->Close();
        journal->Close();
        if (ops != nullptr) *ops = done;
        if (done <= killAt) {
            EXPECT_TRUE(begun && outcome == Outcome::Done);
            return false;
        }
        Store(target_, keptTarget);
        Store(journal_, keptJournal);
        return true;
    }

    Found PlayJournal() {
        auto journal = File::Open(journal_.c_str(), File::Mode::ReadWrite);
        EXPECT_TRUE(journal.has_value());
        return journal ? Play(*journal, target_.string()) : Found::Failed;
    }

    // A journal and target killed about halfway through the move of the
    // first shape.
    void KilledHalfway(Buffer& before, EditPlan& plan) {
        before = Noise(static_cast<std::size_t>(kShapes[0].oldEnd + kShapes[0].tail), 1);
        plan = PlanOf(kShapes[0]);
        int ops = 0;
        ASSERT_FALSE(KillAt(before, plan, 1 << 30, &ops));
        ASSERT_TRUE(KillAt(before, plan, ops / 2));
        ASSERT_NE(Load(target_), before);
    }

    fs::path dir_, target_, journal_;
};

// Killed before any operation, and also in the middle of a write that
// had reached only some of its pages, the journal either finishes the edit
// to the exact bytes or leaves the file as it was.
TEST_F(Journal, EveryKillFinishesOrPutsBack) {
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        const Buffer before = Noise(static_cast<std::size_t>(shape.oldEnd + shape.tail), 1);
        EditPlan plan = PlanOf(shape);
        const Buffer expected = Expected(before, plan);
        int resumed = 0;
        Buffer last = before;
        for (int killAt = 0;; ++killAt) {
            SCOPED_TRACE(killAt);
            if (!KillAt(before, plan, killAt)) {
                ASSERT_EQ(Load(target_), expected);
                break;
            }
            const Buffer killed = Load(target_);
            const Buffer journal = Load(journal_);
            // The same operation cut short: the first half of the pages it changed.
            Buffer torn = last;
            if (killed.size() == last.size() && killed != last) {
                std::vector<std::size_t> pages;
                for (std::size_t p = 0; p < killed.size(); p += 4096) {
                    if (!std::equal(killed.begin() + p, killed.begin() + std::min(p + 4096, killed.size()), last.begin() + p)) {
                        pages.push_back(p);
                    }
                }
                for (std::size_t i = 0; i < pages.size() / 2; ++i) {
                    const std::size_t p = pages[i];
                    std::copy(killed.begin() + p, killed.begin() + std::min(p + 4096, killed.size()), torn.begin() + p);
                }
            }
            last = killed;
            for (const Buffer* state : {&killed, static_cast<const Buffer*>(&torn)}) {
                if (state == &torn && (torn == killed || torn == before)) continue;
                Store(target_, *state);
                Store(journal_, journal);
                const Found found = PlayJournal();
                if (found == Found::Finished) {
                    ASSERT_EQ(Load(target_), expected);
                    resumed += *state != before && *state != expected;
                } else {
                    // A journal cut short in Begin is taken for none.
                    ASSERT_TRUE(found == Found::PutBack || found == Found::Damaged) << static_cast<int>(found);
                    ASSERT_EQ(Load(target_), before);
                }
            }
        }
        EXPECT_GT(resumed, 0);
    }
}

// A damaged journal is refused and the file left as the kill left it,
// wherever the damage is: cut short, any byte of its static part or of its
// record changed, another magic, a record or write that points outside the
// file (sealed again, so that only the bounds can tell).
TEST_F(Journal, DamageIsRefusedAndNothingWritten) {
    Buffer before;
    EditPlan plan;
    ASSERT_NO_FATAL_FAILURE(KilledHalfway(before, plan));
    const Buffer killed = Load(target_);
    const Buffer good = Load(journal_);
    const std::size_t record = RecordAt(good);

    const auto refused = [&](const Buffer& journal, const std::string& what, bool orFailed = false) {
        SCOPED_TRACE(what);
        Store(journal_, journal);
        const Found found = PlayJournal();
        EXPECT_TRUE(found == Found::Damaged || found == Found::Foreign || (orFailed && found == Found::Failed))
            << static_cast<int>(found);
        if (Load(target_) != killed) {
            ADD_FAILURE() << "the target was written to";
            Store(target_, killed);
        }
    };
    for (const std::size_t length : {std::size_t{0}, std::size_t{7}, std::size_t{12}, StaticEnd(good) - 1, StaticEnd(good),
                                     record + 39}) {
        refused(Buffer(good.begin(), good.begin() + length), "cut to " + std::to_string(length));
    }
    // Every byte of the fields, the fingerprint and the record; a sample of
    // the written bytes between.
    std::vector<std::size_t> places;
    for (std::size_t at = 0; at < StaticEnd(good); at += at < 0x100 || at + 0x200 > StaticEnd(good) ? 1 : 127) places.push_back(at);
    for (std::size_t at = record; at < record + 40; ++at) places.push_back(at);
    for (const std::size_t at : places) {
        Buffer flipped = good;
        flipped[at] ^= std::byte{1} << (at % 8);
        refused(flipped, "bit flipped at " + std::to_string(at));
    }
    for (const char* magic : {"VORNJRN2", "VORNJRN9", "XORNJRN3"}) {
        Buffer other = good;
        std::memcpy(other.data(), magic, 8);
        refused(other, magic);
    }
    // The static part's fields: lengths, move, checksum fields, and the
    // first write (offset at 76, length at 84).
    const std::uint64_t end = plan.newLength;
    const std::pair<std::size_t, std::uint64_t> fields[] = {
        {20, end + 1}, {20, 1ull << 40}, {12, end + (1ull << 40)}, {44, plan.fileLength + 1},
        {36, end}, {52, end}, {52, ~0ull}, {64, end + 0x1000}, {76, end - 0x10},
    };
    for (const auto& [at, value] : fields) {
        Buffer patched = good;
        Put64(patched, at, value);
        SealStatic(patched);
        refused(patched, "field at " + std::to_string(at) + " = " + std::to_string(value));
    }
    // Records naming a write past the tail, longer than a slot, or a state
    // or slot there is none of. The move itself finds the first three out,
    // before it writes: the journal is kept as if a write had failed.
    struct Rec {
        std::uint32_t state, slot;
        std::uint64_t at;
        std::uint32_t length;
    };
    for (const Rec& r : {Rec{1, 0xFFFFFFFF, plan.move.tailLength, 0x100}, Rec{1, 0, 0, 0xFFFFFFF0},
                         Rec{1, 0xFFFFFFFF, 0, 0xFFFFFFF0}, Rec{1, 2, 0, 0x100}, Rec{3, 0xFFFFFFFF, 0, 0}}) {
        Buffer patched = good;
        Put32(patched, record, r.state);
        Put32(patched, record + 4, r.slot);
        Put64(patched, record + 8, r.at);
        Put32(patched, record + 16, r.length);
        Put32(patched, record + 20, 0);  // no sample to check
        Put32(patched, record + 36, Crc(patched, record, record + 36));
        refused(patched, "record " + std::to_string(r.state) + "/" + std::to_string(r.slot) + " at " + std::to_string(r.at),
                r.state == 1 && r.slot != 2);
    }
}

// The journal is about one file in the states its edit leaves: another
// length, other bytes where it looks, or another file with the same bytes
// put at the path are all refused, and that file is left alone.
TEST_F(Journal, AnotherFileIsForeign) {
    Buffer before;
    EditPlan plan;
    ASSERT_NO_FATAL_FAILURE(KilledHalfway(before, plan));
    const Buffer killed = Load(target_);
    const Buffer journal = Load(journal_);

    const auto foreign = [&](const Buffer& file, bool replaceFile, const std::string& what) {
        SCOPED_TRACE(what);
        Store(journal_, journal);
        // Made before the old one goes, so that it cannot take its number.
        Store(replaceFile ? dir_ / "other" : target_, file);
        if (replaceFile) fs::rename(dir_ / "other", target_);
        EXPECT_EQ(PlayJournal(), Found::Foreign);
        EXPECT_EQ(Load(target_), file);
    };
    Buffer longer = killed;
    longer.push_back({});
    foreign(longer, false, "a byte longer");
    foreign(Buffer(killed.begin(), killed.end() - 1), false, "a byte shorter");
    foreign(before, false, "the file as it was before the edit");
    Buffer header = killed;
    header[0x600] ^= std::byte{0x80};
    foreign(header, false, "a byte of its headers");
    // None of which spoilt the journal for the file itself.
    Store(journal_, journal);
    Store(target_, killed);
    const Found found = PlayJournal();
    EXPECT_EQ(found, Found::Finished);
    EXPECT_EQ(Load(target_), Expected(before, plan));
    foreign(killed, true, "another file with the same bytes");
}

// The recovery every command runs first: a journal about the file finishes
// the edit and is gone; one about another file is kept aside, unplayed.
TEST_F(Journal, RecoveryFinishesOrKeepsAside) {
    Buffer before;
    EditPlan plan;
    ASSERT_NO_FATAL_FAILURE(KilledHalfway(before, plan));
    ASSERT_EQ(journal_, fs::path(JournalPath(target_.string())));
    const Buffer killed = Load(target_);
    const Buffer journal = Load(journal_);

    std::string aside;
    ASSERT_TRUE(RecoverInterruptedEdit(target_.c_str(), &aside));
    EXPECT_EQ(Load(target_), Expected(before, plan));
    EXPECT_FALSE(fs::exists(journal_));
    EXPECT_TRUE(aside.empty());

    Store(dir_ / "other", killed);
    fs::rename(dir_ / "other", target_);
    Store(journal_, journal);
    ASSERT_TRUE(RecoverInterruptedEdit(target_.c_str(), &aside));
    EXPECT_EQ(Load(target_), killed);
    EXPECT_FALSE(fs::exists(journal_));
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(Load(aside), journal);
}

}  // namespace
}  // namespace vorn::journal
