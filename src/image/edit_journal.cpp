#include "image/edit_journal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "base/byte_view.h"
#include "format/checksum.h"
#include "format/pe_format.h"
#include "image/image_rewrite.h"

namespace vorn::journal {

namespace {

// The journal's layout:
//   0       "VORNJRN3", u32 length of this part, u64 length of the file
//           before and after, u64 the move's old end, new end and tail
//           length, u64 checksum field, u32 1 to recompute it, u64 the
//           installer's CRC offset, u32 write count, per write u64 offset,
//           u32 length and the bytes; the target's fingerprint: u32 1 when
//           its identity follows, u64 device, u64 index, u32 prefix length,
//           u32 page count, per page u32 count and that many CRC-32s, u32
//           length and CRC-32 of its last bytes; then the CRC-32 of all of it.
//   R       the progress record, at the first multiple of 4 KiB after that:
//           u32 state, u32 slot, u64 tail offset, u32 length, u32 sample
//           length, u64 sample offset, u32 sample CRC-32, u32 CRC-32. The
//           sample is of the bytes the move wrote last, whole by then.
//   R+4K    two slots, each of SlotSize bytes, for the bytes a write of the
//           move covers before they are at their new place. Each record
//           names the slot it needs; the next one fills the other slot.
constexpr char kMagic[8] = {'V', 'O', 'R', 'N', 'J', 'R', 'N', '3'};
constexpr std::size_t kFamilySize = 7;  // "VORNJRN": a journal of any version
constexpr std::uint64_t kPage = 4096;
constexpr std::size_t kRecordSize = 40;
// How much of the file's start a fingerprint covers, and how long a sample is.
constexpr std::uint64_t kPrefixSize = 64 * 1024;
constexpr std::uint32_t kSampleSize = 4096;
constexpr std::uint32_t kNoSlot = 0xFFFFFFFF;

enum State : std::uint32_t {
    kBegun = 0,   // nothing of the target has changed but perhaps its length grown
    kMoving = 1,  // the write at `at` is being made
    kMoved = 2,   // the tail is in place; the writes and the checks remain
};

// A CRC-32 of `length` bytes at `at` of the target.
struct Sample {
    std::uint64_t at = 0;
    std::uint32_t length = 0;  // 0: none
    std::uint32_t crc = 0;
};

struct Record {
    std::uint32_t state = kBegun;
    std::uint32_t slot = kNoSlot;
    std::uint64_t at = 0;
    std::uint32_t length = 0;
    Sample sample;
};

void Put(std::vector<std::byte>& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
}

std::uint64_t U64(const ByteView& view, std::uint64_t at) {
    return std::uint64_t{view.U32(at).value_or(0)} | (std::uint64_t{view.U32(at + 4).value_or(0)} << 32);
}

bool Grows(const EditPlan& plan) { return plan.move.newEnd > plan.move.oldEnd; }

// The most a move holds for one write: a chunk, and the growth it carries
// when it moves front to back.
std::uint64_t SlotSize(const EditPlan& plan) {
    const std::uint64_t chunk = std::min<std::uint64_t>(plan.move.tailLength, kMoveChunkSize);
    const std::uint64_t growth = Grows(plan) ? plan.move.newEnd - plan.move.oldEnd : 0;
    return AlignUp64(chunk + (growth <= kMoveChunkSize ? growth : 0), kPage);
}

constexpr std::uint64_t kFixedSize = 76;  // the static part's fields before the writes

std::uint64_t StaticSize(const EditPlan& plan) {
    std::uint64_t size = kFixedSize + 4;
    for (const Write& w : plan.writes) size += 12 + w.bytes.size();
    size += 28 + 8;
    for (const auto& page : plan.target.pages) size += 4 + 4 * page.size();
    return size;
}

std::uint32_t CrcOf(std::span<const std::byte> bytes) {
    Crc32 crc;
    crc.Add(bytes);
    return crc.Value();
}

// The bytes of the prefix that the checks over the whole file rewrite with
// values no plan knows beforehand read as zeros.
void MaskChecks(std::span<std::byte> prefix, const EditPlan& plan) {
    for (const std::uint64_t field : {plan.checksumField, plan.installerCrc}) {
        if (field == 0) continue;
        for (std::uint64_t at = field; at < field + 4 && at < prefix.size(); ++at) prefix[static_cast<std::size_t>(at)] = {};
    }
}

// The CRC-32 of one page of the prefix, and of each.
std::uint32_t PageCrc(std::span<const std::byte> prefix, std::size_t page) {
    const std::size_t at = page * kPage;
    return CrcOf(prefix.subspan(at, std::min<std::size_t>(kPage, prefix.size() - at)));
}

std::vector<std::uint32_t> PageCrcs(std::span<const std::byte> prefix) {
    std::vector<std::uint32_t> crcs;
    for (std::size_t page = 0; page * kPage < prefix.size(); ++page) crcs.push_back(PageCrc(prefix, page));
    return crcs;
}

// The static part at the file's position, piece by piece: the writes are
// not copied.
bool WriteStatic(File& file, const EditPlan& plan) {
    Crc32 crc;
    std::vector<std::byte> out(reinterpret_cast<const std::byte*>(kMagic), reinterpret_cast<const std::byte*>(kMagic) + 8);
    Put(out, StaticSize(plan), 4);
    for (const std::uint64_t value : {plan.fileLength, plan.newLength, plan.move.oldEnd, plan.move.newEnd,
                                      plan.move.tailLength, plan.checksumField}) {
        Put(out, value, 8);
    }
    Put(out, plan.checksum ? 1 : 0, 4);
    Put(out, plan.installerCrc, 8);
    Put(out, plan.writes.size(), 4);
    const auto emit = [&](std::span<const std::byte> bytes) {
        crc.Add(bytes);
        return file.Write(bytes);
    };
    if (!emit(out)) return false;
    for (const Write& w : plan.writes) {
        out.clear();
        Put(out, w.offset, 8);
        Put(out, w.bytes.size(), 4);
        if (!emit(out) || !emit(w.bytes)) return false;
    }
    out.clear();
    const Fingerprint& target = plan.target;
    Put(out, target.id ? 1 : 0, 4);
    Put(out, target.id ? target.id->device : 0, 8);
    Put(out, target.id ? target.id->index : 0, 8);
    Put(out, target.prefixLength, 4);
    Put(out, target.pages.size(), 4);
    for (const auto& page : target.pages) {
        Put(out, page.size(), 4);
        for (const std::uint32_t value : page) Put(out, value, 4);
    }
    Put(out, target.endLength, 4);
    Put(out, target.endCrc, 4);
    if (!emit(out)) return false;
    out.clear();
    Put(out, crc.Value(), 4);
    return file.Write(out);
}

// The plan of a complete journal; nullopt for one cut short or damaged,
// with `otherVersion` set for a journal this version does not read.
std::optional<EditPlan> ReadPlan(File& file, std::uint64_t& staticSize, bool& otherVersion) {
    const auto size = file.Length();
    std::array<std::byte, 12> head{};
    if (!size || *size < head.size() || !file.ReadAt(0, head) || std::memcmp(head.data(), kMagic, 8) != 0) {
        otherVersion = size && *size >= head.size() && std::memcmp(head.data(), kMagic, kFamilySize) == 0;
        return std::nullopt;
    }
    staticSize = LoadU32(head.data() + 8);
    if (staticSize < kFixedSize + 4 || staticSize > *size || staticSize > kMaxImageFileLength) return std::nullopt;
    std::vector<std::byte> bytes(static_cast<std::size_t>(staticSize));
    if (!file.ReadAt(0, bytes)) return std::nullopt;
    Crc32 crc;
    crc.Add(std::span(bytes).first(bytes.size() - 4));
    if (LoadU32(bytes.data() + bytes.size() - 4) != crc.Value()) return std::nullopt;
    const ByteView view(Bytes(bytes).first(bytes.size() - 4));
    EditPlan plan;
    plan.fileLength = U64(view, 12);
    plan.newLength = U64(view, 20);
    plan.move.oldEnd = U64(view, 28);
    plan.move.newEnd = U64(view, 36);
    plan.move.tailLength = U64(view, 44);
    plan.checksumField = U64(view, 52);
    plan.checksum = view.U32(60).value_or(0) != 0;
    plan.installerCrc = U64(view, 64);
    const std::uint32_t writeCount = view.U32(72).value_or(0);
    std::uint64_t at = kFixedSize;
    for (std::uint32_t i = 0; i < writeCount; ++i) {
        const auto length = view.U32(at + 8);
        if (!length) return std::nullopt;
        const auto data = view.Sub(at + 12, *length);
        if (!data) return std::nullopt;
        const std::uint64_t offset = U64(view, at);
        if (offset > plan.newLength || *length > plan.newLength - offset) return std::nullopt;
        plan.writes.push_back({offset, {data->begin(), data->end()}});
        at += 12 + *length;
    }
    Fingerprint& target = plan.target;
    const auto u32 = [&](std::uint64_t where) { return view.U32(where).value_or(0xFFFFFFFF); };
    if (u32(at) != 0) target.id = File::Identity{U64(view, at + 4), U64(view, at + 12)};
    target.prefixLength = u32(at + 20);
    const std::uint32_t pages = u32(at + 24);
    at += 28;
    if (target.prefixLength > kPrefixSize || pages != (target.prefixLength + kPage - 1) / kPage) return std::nullopt;
    for (std::uint32_t i = 0; i < pages; ++i) {
        const std::uint32_t states = u32(at);
        if (states > plan.writes.size() + 1 || !view.Sub(at + 4, std::uint64_t{states} * 4)) return std::nullopt;
        auto& page = target.pages.emplace_back();
        for (std::uint32_t k = 0; k < states; ++k) page.push_back(u32(at + 4 + 4 * k));
        at += 4 + 4 * std::uint64_t{states};
    }
    target.endLength = u32(at);
    target.endCrc = u32(at + 4);
    if (at + 8 != view.size() || target.endLength > kSampleSize) return std::nullopt;
    // What the writer made of a file no larger than the library's limit.
    const rewrite::Move& m = plan.move;
    if (plan.fileLength > kMaxImageFileLength || plan.newLength > kMaxImageFileLength || m.tailLength > plan.fileLength ||
        m.oldEnd > plan.fileLength || m.newEnd + m.tailLength > plan.newLength) {
        return std::nullopt;
    }
    // The checks are written in the file too.
    const auto inFile = [&](std::uint64_t field) { return field <= plan.newLength && plan.newLength - field >= 4; };
    if ((plan.checksum && !inFile(plan.checksumField)) || (plan.installerCrc != 0 && !inFile(plan.installerCrc))) {
        return std::nullopt;
    }
    return plan;
}

std::uint64_t RecordAt(std::uint64_t staticSize) { return AlignUp64(staticSize, kPage); }
std::uint64_t SlotAt(std::uint64_t staticSize, const EditPlan& plan, std::uint32_t slot) {
    return RecordAt(staticSize) + kPage + slot * SlotSize(plan);
}

// One write of a few bytes inside one page: a killed process has made it
// whole or not at all.
bool WriteRecord(File& journal, std::uint64_t at, const Record& record) {
    std::array<std::byte, kRecordSize> out{};
    StoreU32(out.data(), record.state);
    StoreU32(out.data() + 4, record.slot);
    StoreU32(out.data() + 8, static_cast<std::uint32_t>(record.at));
    StoreU32(out.data() + 12, static_cast<std::uint32_t>(record.at >> 32));
    StoreU32(out.data() + 16, record.length);
    StoreU32(out.data() + 20, record.sample.length);
    StoreU32(out.data() + 24, static_cast<std::uint32_t>(record.sample.at));
    StoreU32(out.data() + 28, static_cast<std::uint32_t>(record.sample.at >> 32));
    StoreU32(out.data() + 32, record.sample.crc);
    Crc32 crc;
    crc.Add(std::span(out).first(kRecordSize - 4));
    StoreU32(out.data() + kRecordSize - 4, crc.Value());
    return journal.WriteAt(at, out) && journal.Flush();
}

std::optional<Record> ReadRecord(File& journal, std::uint64_t at) {
    std::array<std::byte, kRecordSize> bytes{};
    if (!journal.ReadAt(at, bytes)) return std::nullopt;
    Crc32 crc;
    crc.Add(std::span(bytes).first(kRecordSize - 4));
    if (LoadU32(bytes.data() + kRecordSize - 4) != crc.Value()) return std::nullopt;
    const ByteView view(bytes);
    Record r{LoadU32(bytes.data()), LoadU32(bytes.data() + 4), U64(view, 8), LoadU32(bytes.data() + 16),
             {U64(view, 24), LoadU32(bytes.data() + 20), LoadU32(bytes.data() + 32)}};
    if (r.state > kMoved || (r.slot != kNoSlot && r.slot > 1) || r.sample.length > kSampleSize) return std::nullopt;
    return r;
}

// Before each write of the move: the bytes it must not lose go to the slot
// the last record does not name, then the record names the write.
class Log final : public rewrite::MoveLog {
public:
    Log(File& target, File& journal, std::uint64_t staticSize, const EditPlan& plan, std::uint32_t lastSlot)
        : target_(target), journal_(journal), staticSize_(staticSize), plan_(plan), next_(lastSlot == 0 ? 1 : 0) {}

    bool Before(std::uint64_t at, std::uint32_t held, std::span<const std::byte> kept) override {
        // The write before this one is out of our hands first.
        if (!target_.Flush()) return false;
        Record record{kMoving, kNoSlot, at, held, last_};
        if (!kept.empty()) {
            record.slot = next_;
            next_ ^= 1;
            if (!journal_.WriteAt(SlotAt(staticSize_, plan_, record.slot), kept)) return false;
        }
        if (!WriteRecord(journal_, RecordAt(staticSize_), record)) return false;
        touched_ = true;
        return true;
    }
    void Wrote(std::uint64_t at, std::span<const std::byte> bytes) override {
        if (tailSum_ != nullptr) tailSum_->Add(plan_.move.newEnd + at, bytes);
        // The next record names these bytes as they now are: a file put in
        // place of the target since will not hold them there.
        last_ = {plan_.move.newEnd + at, 0, 0};
        if (!bytes.empty()) {
            last_.length = static_cast<std::uint32_t>(std::min<std::size_t>(kSampleSize, bytes.size()));
            last_.crc = CrcOf(bytes.first(last_.length));
        } else if (at < plan_.move.tailLength) {
            // Copied inside the kernel: read back.
            std::array<std::byte, kSampleSize> back{};
            const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(kSampleSize, plan_.move.tailLength - at));
            const std::span<std::byte> read = std::span(back).first(length);
            if (target_.ReadAt(last_.at, read)) last_ = {last_.at, length, CrcOf(read)};
        }
    }
    [[nodiscard]] bool WantsBytes() const override { return tailSum_ != nullptr; }
    [[nodiscard]] bool Touched() const { return touched_; }
    // The tail's part of the checksum, summed as it is written.
    void SumTail(PeChecksum* sum) { tailSum_ = sum; }

private:
    File& target_;
    File& journal_;
    std::uint64_t staticSize_;
    const EditPlan& plan_;
    std::uint32_t next_;
    bool touched_ = false;
    PeChecksum* tailSum_ = nullptr;
    Sample last_;
};

// What remains once the tail is in place; `tailSum` holds the checksum of
// the whole tail when the move wrote it all in this run.
bool Finish(File& target, const EditPlan& plan, const OperationHooks& hooks, const PeChecksum* tailSum) {
    if (plan.newLength < plan.fileLength && !target.SetLength(plan.newLength)) return false;
    for (const Write& w : plan.writes) {
        if (!target.WriteAt(w.offset, w.bytes)) return false;
    }
    hooks.Pump();
    return target.Flush() && UpdateChecks(target, plan.newLength, plan.checksumField, plan.checksum, plan.installerCrc,
                                          tailSum, plan.move.newEnd);
}

// Whether the checksum can take the tail's bytes as the move writes them:
// the whole tail moves in this run, and nothing written after the move
// lands in it.
bool SumsTailOnTheWay(const EditPlan& plan, const Record& from, const rewrite::MoveResume* resume) {
    const rewrite::Move& m = plan.move;
    if (!plan.checksum || plan.installerCrc != 0 || from.state != kBegun || resume != nullptr || m.tailLength == 0 ||
        m.newEnd == m.oldEnd || m.newEnd + m.tailLength != plan.newLength) {
        return false;
    }
    return std::all_of(plan.writes.begin(), plan.writes.end(),
                       [&](const Write& w) { return w.offset + w.bytes.size() <= m.newEnd; });
}

// From `from` to the end; `resume` for a move that was under way.
Outcome Run(File& target, File& journal, std::uint64_t staticSize, const EditPlan& plan, const Record& from,
            const rewrite::MoveResume* resume, const OperationHooks& hooks, bool& outOfMemory) {
    bool touched = from.state != kBegun;
    // Before anything has changed but the length, a failure puts that back.
    const auto stop = [&] {
        if (touched) return Outcome::Interrupted;
        if (plan.newLength > plan.fileLength) (void)target.SetLength(plan.fileLength);
        return Outcome::Untouched;
    };
    try {
        if (from.state == kBegun && plan.newLength > plan.fileLength && !target.Grow(plan.fileLength, plan.newLength)) {
            return stop();
        }
        std::optional<PeChecksum> tailSum;
        if (SumsTailOnTheWay(plan, from, resume)) tailSum.emplace(plan.checksumField);
        if (from.state != kMoved) {
            Log log(target, journal, staticSize, plan, from.slot);
            log.SumTail(tailSum ? &*tailSum : nullptr);
            const bool moved = rewrite::MoveTail(target, plan.move, hooks, &log, resume);
            touched = touched || log.Touched();
            if (!moved || !WriteRecord(journal, RecordAt(staticSize), Record{kMoved, kNoSlot, 0, 0, {}})) return stop();
            touched = true;
        }
        return Finish(target, plan, hooks, tailSum ? &*tailSum : nullptr) ? Outcome::Done : Outcome::Interrupted;
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
        return stop();
    }
}

}  // namespace

bool UpdateChecks(File& file, std::uint64_t length, std::uint64_t checksumField, bool checksum, std::uint64_t installerCrc,
                  const PeChecksum* summed, std::uint64_t summedFrom) {
    if (!checksum && installerCrc == 0) return true;
    PeChecksum sum = summed != nullptr && installerCrc == 0 ? *summed : PeChecksum(checksumField);
    const std::uint64_t readTo = summed != nullptr && installerCrc == 0 ? std::min(summedFrom, length) : length;
    Crc32 crc;
    // Read over, never zeroed first: a small file costs no more than its size.
    const auto bufferSize = static_cast<std::size_t>(std::min<std::uint64_t>(readTo, 1u << 20));
    const auto buffer = std::make_unique_for_overwrite<std::byte[]>(bufferSize);
    std::array<std::byte, 4> crcBytes{};
    for (std::uint64_t at = 0; at < readTo;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, readTo - at));
        const std::span<std::byte> chunk(buffer.get(), piece);
        if (!file.ReadAt(at, chunk)) return false;
        if (installerCrc != 0) {
            const std::uint64_t from = std::max<std::uint64_t>(at, kInstallerCrcStart);
            const std::uint64_t to = std::min(at + piece, installerCrc);
            if (from < to) crc.Add(chunk.subspan(static_cast<std::size_t>(from - at), static_cast<std::size_t>(to - from)));
            StoreU32(crcBytes.data(), crc.Value());
            // The CRC lies after everything it covers, so it is known here.
            for (std::size_t k = 0; k < crcBytes.size(); ++k) {
                const std::uint64_t byte = installerCrc + k;
                if (byte >= at && byte < at + piece) chunk[static_cast<std::size_t>(byte - at)] = crcBytes[k];
            }
        }
        if (checksum) sum.Add(at, chunk);
        at += piece;
    }
    if (installerCrc != 0 && !file.WriteAt(installerCrc, crcBytes)) return false;
    if (checksum) {
        std::array<std::byte, 4> field{};
        StoreU32(field.data(), sum.Finish(length));
        if (!file.WriteAt(checksumField, field)) return false;
    }
    return file.Flush();
}

bool TakeFingerprint(File& target, EditPlan& plan) {
    Fingerprint& f = plan.target;
    f = {};
    f.id = target.Id();
    const rewrite::Move& m = plan.move;
    // Bytes no step of the edit touches but the plan's own writes.
    f.prefixLength = static_cast<std::uint32_t>(std::min({kPrefixSize, m.oldEnd, m.newEnd, plan.fileLength}));
    std::vector<std::byte> prefix(f.prefixLength);
    if (!target.ReadAt(0, prefix)) return false;
    MaskChecks(prefix, plan);
    for (const std::uint32_t crc : PageCrcs(prefix)) f.pages.push_back({crc});
    // Each write, in the order Finish makes them, may have reached any page
    // it covers.
    for (const Write& w : plan.writes) {
        if (w.offset >= prefix.size()) continue;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(w.bytes.size(), prefix.size() - w.offset));
        std::copy_n(w.bytes.begin(), length, prefix.begin() + static_cast<std::ptrdiff_t>(w.offset));
        MaskChecks(prefix, plan);
        const std::size_t first = static_cast<std::size_t>(w.offset / kPage);
        const std::size_t last = static_cast<std::size_t>((w.offset + length - 1) / kPage);
        for (std::size_t page = first; length != 0 && page <= last; ++page) {
            auto& states = f.pages[page];
            const std::uint32_t crc = PageCrc(prefix, page);
            if (std::find(states.begin(), states.end(), crc) == states.end()) states.push_back(crc);
        }
    }
    f.endLength = static_cast<std::uint32_t>(std::min<std::uint64_t>(kSampleSize, plan.fileLength));
    std::array<std::byte, kSampleSize> end{};
    if (!target.ReadAt(plan.fileLength - f.endLength, std::span(end).first(f.endLength))) return false;
    f.endCrc = CrcOf(std::span(end).first(f.endLength));
    return true;
}

bool Begin(File& journal, const EditPlan& plan) {
    const std::uint64_t staticSize = StaticSize(plan);
    // The slots' space is taken now: a move that ran out of it halfway could
    // not go on, nor go back.
    const std::uint64_t length =
        plan.move.tailLength == 0 ? RecordAt(staticSize) + kPage : SlotAt(staticSize, plan, 1) + SlotSize(plan);
    return journal.Seek(0) && WriteStatic(journal, plan) && WriteRecord(journal, RecordAt(staticSize), {}) &&
           journal.Grow(RecordAt(staticSize) + kRecordSize, length);
}

Outcome CarryOut(File& target, File& journal, const EditPlan& plan, const OperationHooks& hooks, bool& outOfMemory) {
    return Run(target, journal, StaticSize(plan), plan, Record{}, nullptr, hooks, outOfMemory);
}

namespace {

bool SampleHolds(File& target, const Sample& sample) {
    if (sample.length == 0) return true;
    std::array<std::byte, kSampleSize> bytes{};
    const std::span<std::byte> read = std::span(bytes).first(sample.length);
    return target.ReadAt(sample.at, read) && CrcOf(read) == sample.crc;
}

// Whether `target`, of `length` bytes, is the file the journal was made for,
// in a state the edit can have left it in: the same file, of a length the
// edit gives it at this step, its first pages as they were or as the
// edit's writes make them, and the bytes the move wrote last still there
// (before the move, the file's last bytes).
bool IsTarget(File& target, std::uint64_t length, const EditPlan& plan, const Record& record) {
    const Fingerprint& f = plan.target;
    if (const auto id = target.Id(); f.id && id && *id != *f.id) return false;
    const bool shrinks = plan.newLength < plan.fileLength;
    const bool grows = plan.newLength > plan.fileLength;
    const bool expected = record.state == kBegun    ? length == plan.fileLength || (grows && length == plan.newLength)
                          : record.state == kMoving ? length == (shrinks ? plan.fileLength : plan.newLength)
                                                    : length == plan.newLength || (shrinks && length == plan.fileLength);
    if (!expected) return false;
    std::vector<std::byte> prefix(f.prefixLength);
    if (!target.ReadAt(0, prefix)) return false;
    MaskChecks(prefix, plan);
    const std::vector<std::uint32_t> crcs = PageCrcs(prefix);
    for (std::size_t page = 0; page < crcs.size(); ++page) {
        const auto& states = f.pages[page];
        if (std::find(states.begin(), states.end(), crcs[page]) == states.end()) return false;
    }
    if (record.state == kBegun) return SampleHolds(target, {plan.fileLength - f.endLength, f.endLength, f.endCrc});
    return record.state != kMoving || SampleHolds(target, record.sample);
}

Found Replay(File& journal, const std::string& targetPath) {
    std::uint64_t staticSize = 0;
    bool otherVersion = false;
    const std::optional<EditPlan> plan = ReadPlan(journal, staticSize, otherVersion);
    // Cut short while it was written: the edit had not begun.
    if (!plan) return otherVersion ? Found::Foreign : Found::Damaged;
    const std::optional<Record> record = ReadRecord(journal, RecordAt(staticSize));
    if (!record) return Found::Damaged;
    auto target = File::Open(targetPath.c_str(), File::Mode::ReadWrite);
    if (!target) return Found::Failed;
    const auto length = target->Length();
    if (!length) return Found::Failed;
    // Any other file at that path was put there since, and the journal is
    // not about it.
    if (!IsTarget(*target, *length, *plan, *record)) return Found::Foreign;
    if (record->state == kBegun) {
        return *length == plan->fileLength || target->SetLength(plan->fileLength) ? Found::PutBack : Found::Failed;
    }
    std::vector<std::byte> held;
    rewrite::MoveResume resume{record->at, record->length, {}};
    if (record->state == kMoving) {
        // A write that holds nothing in a slot may be longer than one: the
        // move checks it against the pieces it makes.
        if (record->slot != kNoSlot) {
            if (record->length > SlotSize(*plan)) return Found::Failed;
            held.resize(record->length);
            if (!journal.ReadAt(SlotAt(staticSize, *plan, record->slot), held)) return Found::Failed;
            resume.held = held;
        }
    }
    bool outOfMemory = false;
    const Outcome outcome =
        Run(*target, journal, staticSize, *plan, *record, record->state == kMoving ? &resume : nullptr, {}, outOfMemory);
    if (outOfMemory) throw std::bad_alloc();
    return outcome == Outcome::Done ? Found::Finished : Found::Failed;
}

}  // namespace

Found Play(File& journal, const std::string& targetPath) { return Replay(journal, targetPath); }

}  // namespace vorn::journal
