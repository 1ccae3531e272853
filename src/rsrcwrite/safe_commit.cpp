#include "rsrcwrite/safe_commit.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "pe/byte_view.h"
#include "pe/checksum.h"
#include "pe/pe_format.h"
#include "rsrcwrite/rewrite_plan.h"

namespace vorn {

namespace {

using namespace pe;

// A self-checking installer's first header, in the data after the image
// at a multiple of 512 bytes: u32 flags, u32 0xDEADBEEF, "NullsoftInst",
// u32 header length, u32 length of everything from this header on, the
// CRC included. The CRC-32 covers the file from byte 512 up to the CRC,
// which are its last four bytes.
constexpr std::uint32_t kInstallerAlignment = 512;
constexpr std::uint32_t kInstallerHeaderSize = 28;
constexpr std::uint32_t kInstallerSignature = 0xDEADBEEF;
constexpr char kInstallerMagic[] = "NullsoftInst";
constexpr std::uint32_t kInstallerFlagsMask = 0x0F;
constexpr std::uint32_t kInstallerNoCrc = 0x04;
constexpr std::uint32_t kInstallerForceCrc = 0x08;
constexpr std::uint32_t kInstallerCrcStart = 512;
// How far after the image the header is looked for.
constexpr std::uint64_t kInstallerSearch = 64 * 1024;

struct SelfCheck {
    std::uint64_t header = 0;  // file offset of the first header
    std::uint32_t flags = 0;
    std::uint32_t length = 0;  // from the header to the end of the CRC
    [[nodiscard]] bool Checked() const { return (flags & kInstallerForceCrc) != 0 || (flags & kInstallerNoCrc) == 0; }
    [[nodiscard]] std::uint64_t CrcOffset() const { return header + length - 4; }
};

// Where the image's own data ends: the headers and every section's data.
std::uint64_t ImageEnd(const PeHeaders& headers) {
    std::uint64_t end = headers.HeadersEnd();
    for (const SectionHeader& s : headers.sections) {
        if (s.pointerToRawData != 0 && s.sizeOfRawData != 0) {
            end = std::max(end, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
        }
    }
    return end;
}

std::optional<SelfCheck> FindSelfCheck(File& file, std::uint64_t imageEnd, std::uint64_t length) {
    const std::uint64_t first = (imageEnd + kInstallerAlignment - 1) / kInstallerAlignment * kInstallerAlignment;
    for (std::uint64_t at = first; at < first + kInstallerSearch && at + kInstallerHeaderSize <= length;
         at += kInstallerAlignment) {
        std::array<std::byte, kInstallerHeaderSize> h{};
        if (!file.ReadAt(at, h)) return std::nullopt;
        if (LoadU32(h.data() + 4) != kInstallerSignature || std::memcmp(h.data() + 8, kInstallerMagic, 12) != 0) continue;
        SelfCheck check{at, LoadU32(h.data()), LoadU32(h.data() + 24)};
        if ((check.flags & ~kInstallerFlagsMask) != 0 || check.length < kInstallerHeaderSize + 4 ||
            at + check.length > length) {
            return std::nullopt;
        }
        return check;
    }
    return std::nullopt;
}

// One pass over the finished file: the installer's CRC when it has one,
// then the PE checksum over the bytes with that CRC in place.
bool UpdateChecks(File& file, std::uint64_t length, std::uint64_t checksumField, bool checksum,
                  const std::optional<SelfCheck>& installer) {
    if (!checksum && !installer) return true;
    PeChecksum sum(checksumField);
    Crc32 crc;
    // Read over, never zeroed first: a small file costs no more than its size.
    const auto bufferSize = static_cast<std::size_t>(std::min<std::uint64_t>(length, 1u << 20));
    const auto buffer = std::make_unique_for_overwrite<std::byte[]>(bufferSize);
    std::array<std::byte, 4> crcBytes{};
    for (std::uint64_t at = 0; at < length;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(bufferSize, length - at));
        const std::span<std::byte> chunk(buffer.get(), piece);
        if (!file.ReadAt(at, chunk)) return false;
        if (installer) {
            const std::uint64_t from = std::max<std::uint64_t>(at, kInstallerCrcStart);
            const std::uint64_t to = std::min(at + piece, installer->CrcOffset());
            if (from < to) crc.Add(chunk.subspan(static_cast<std::size_t>(from - at), static_cast<std::size_t>(to - from)));
            StoreU32(crcBytes.data(), crc.Value());
            // The CRC lies after everything it covers, so it is known here.
            for (std::size_t k = 0; k < crcBytes.size(); ++k) {
                const std::uint64_t byte = installer->CrcOffset() + k;
                if (byte >= at && byte < at + piece) chunk[static_cast<std::size_t>(byte - at)] = crcBytes[k];
            }
        }
        if (checksum) sum.Add(at, chunk);
        at += piece;
    }
    if (installer && !file.WriteAt(installer->CrcOffset(), crcBytes)) return false;
    if (checksum) {
        std::array<std::byte, 4> field{};
        StoreU32(field.data(), sum.Finish(length));
        if (!file.WriteAt(checksumField, field)) return false;
    }
    return file.Flush();
}

// ---- Leftovers ------------------------------------------------------------
//
// An edit keeps its new file or its journal open and locked from the moment
// it makes it until it is gone, so that another vornres process that finds
// one waits for the edit to end, and then only sees what a killed edit left.

// Removes the file at `path`, open in `file`, and closes it: while still
// locked where the system allows that, else once closed.
void RemoveHeld(File& file, const std::string& path) {
    const bool removed = std::remove(path.c_str()) == 0;
    file.Close();
    if (!removed) std::remove(path.c_str());
}

// A new, empty file at `path`, locked where the file system has locks;
// nullopt when it cannot be made, or when another process removed it before
// the lock was taken.
std::optional<File> CreateHeld(const std::string& path) {
    auto file = File::Open(path.c_str(), File::Mode::Create);
    if (file && ((void)file->Lock(), !file->IsAt(path.c_str()))) file.reset();
    return file;
}

// ---- Journal ------------------------------------------------------------
//
// "VORNJRN1", u64 the file's length, u32 the entry count, then per entry
// u64 offset, u32 length and the bytes as they were, then the CRC-32 of
// all of it. Complete on disk before the first byte of the file changes.

constexpr char kJournalMagic[8] = {'V', 'O', 'R', 'N', 'J', 'R', 'N', '1'};

struct JournalEntry {
    std::uint64_t offset = 0;
    std::vector<std::byte> bytes;
};

void Put(std::vector<std::byte>& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
}

// The journal, written, open and locked; nullopt when it could not be made.
std::optional<File> WriteJournal(const std::string& path, std::uint64_t length, const std::vector<JournalEntry>& entries) {
    std::vector<std::byte> out(reinterpret_cast<const std::byte*>(kJournalMagic),
                               reinterpret_cast<const std::byte*>(kJournalMagic) + sizeof kJournalMagic);
    Put(out, length, 8);
    Put(out, entries.size(), 4);
    for (const JournalEntry& e : entries) {
        Put(out, e.offset, 8);
        Put(out, e.bytes.size(), 4);
        out.insert(out.end(), e.bytes.begin(), e.bytes.end());
    }
    Crc32 crc;
    crc.Add(out);
    Put(out, crc.Value(), 4);
    auto file = CreateHeld(path);
    if (!file) return std::nullopt;
    // Still ours once written: a process that found it empty took it for a
    // killed edit's and removed it.
    if (!file->Write(out) || !file->Flush() || !file->IsAt(path.c_str())) {
        RemoveHeld(*file, path);
        return std::nullopt;
    }
    return file;
}

// The entries of a complete journal; nullopt for an incomplete or damaged one.
std::optional<std::pair<std::uint64_t, std::vector<JournalEntry>>> ReadJournal(File& file) {
    const auto size = file.Length();
    if (!size || *size < sizeof kJournalMagic + 16 || *size > kMaxImageFileLength) return std::nullopt;
    std::vector<std::byte> bytes(static_cast<std::size_t>(*size));
    if (!file.ReadAt(0, bytes)) return std::nullopt;
    Crc32 crc;
    crc.Add(std::span(bytes).first(bytes.size() - 4));
    if (std::memcmp(bytes.data(), kJournalMagic, sizeof kJournalMagic) != 0 ||
        LoadU32(bytes.data() + bytes.size() - 4) != crc.Value()) {
        return std::nullopt;
    }
    const ByteView view(Bytes(bytes).first(bytes.size() - 4));
    std::uint64_t at = sizeof kJournalMagic;
    const std::uint64_t length = std::uint64_t{*view.U32(at)} | (std::uint64_t{*view.U32(at + 4)} << 32);
    const std::uint32_t count = *view.U32(at + 8);
    at += 12;
    std::vector<JournalEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto low = view.U32(at), high = view.U32(at + 4), n = view.U32(at + 8);
        if (!low || !high || !n) return std::nullopt;
        const auto data = view.Sub(at + 12, *n);
        if (!data) return std::nullopt;
        entries.push_back({std::uint64_t{*low} | (std::uint64_t{*high} << 32), {data->begin(), data->end()}});
        at += 12 + *n;
    }
    return std::pair{length, std::move(entries)};
}

ResultCode Fail(const std::string& newFile) {
    std::remove(newFile.c_str());
    return ResultCode::FileAccessFailed;
}

// Writes the whole result into `out`: the bytes before the section, the
// section, the tail, then the headers at their new places.
bool WriteNewFile(File& source, File& out, const PeHeaders& headers, const ImageLayout& layout,
                  const rewrite::Plan& plan, std::span<const std::byte> section, const OperationHooks& hooks) {
    const rewrite::Move& move = plan.move;
    if (!out.CopyFrom(source, 0, 0, layout.resourceOffset) || !out.WriteAt(layout.resourceOffset, section) ||
        !rewrite::WritePadding(out, move.newRawSize - layout.resourceSize)) {
        return false;
    }
    constexpr std::uint64_t kPiece = 64u << 20;  // a progress report and a pump per piece
    for (std::uint64_t done = 0; done < move.tailLength;) {
        const std::uint64_t piece = std::min(kPiece, move.tailLength - done);
        if (!out.CopyFrom(source, move.oldEnd + done, move.newEnd + done, piece)) return false;
        done += piece;
        hooks.Pump();
        hooks.Move(done, move.tailLength);
    }
    // A file cut short of its section's alignment ends with zeros.
    if (move.tailLength == 0 && !out.SetLength(plan.newLength)) return false;
    return rewrite::WriteFixedHeaders(out, headers, plan.data);
}

}  // namespace

std::string JournalPath(const std::string& path) { return path + ".vornres-journal"; }
std::string NewFilePath(const std::string& path) { return path + ".vornres-new"; }

ResultCode CommitSafely(Image& image, const CommitOptions& options, CommitReport* report, const OperationHooks& hooks) {
    CommitReport ignored;
    CommitReport& told = report != nullptr ? *report : ignored;
    told = {};
    try {
        const std::string target = platform::ResolvePath(options.output.empty() ? image.path.c_str() : options.output.c_str());
        const bool sameFile = target == platform::ResolvePath(image.path.c_str());
        PeHeaders& headers = image.headers;
        const auto dosBefore = headers.dosHeader;
        const auto peBefore = headers.peHeaders;
        const std::uint32_t checksumBefore = headers.checkSum;
        const std::uint64_t checksumField = std::uint64_t{headers.OptionalHeaderOffset()} + kOptCheckSumOffset;

        // What the data after the image is, read before anything changes.
        const std::uint64_t imageEnd = ImageEnd(headers);
        std::optional<SelfCheck> installer = FindSelfCheck(image.stream, imageEnd, image.fileLength);
        const DataDirectory certificates = headers.Directory(kCertificateDirectoryIndex);
        const bool symbols = headers.pointerToSymbolTable >= imageEnd && headers.pointerToSymbolTable != 0;

        rewrite::Plan plan;
        if (const ResultCode code = rewrite::MakePlan(image.stream, headers, image.layout, image.fileLength, image.resourceBytes,
                                                      options.signature, plan);
            code != ResultCode::Success) {
            return code;
        }
        told.signatureMoved = plan.signatureMoved;
        told.signatureStripped = plan.signatureStripped;

        if (installer) {
            if (installer->header >= plan.move.oldEnd) installer->header += plan.move.newEnd - plan.move.oldEnd;
            if (!options.installerCrc || !installer->Checked()) {
                installer.reset();
            } else if (installer->header % kInstallerAlignment != 0 || installer->header < plan.move.newEnd) {
                told.installerProblem = "its data no longer starts at a multiple of 512 bytes, where its loader looks for it";
                installer.reset();
            }
        } else {
            std::uint64_t appended = image.fileLength > imageEnd ? image.fileLength - imageEnd : 0;
            if (certificates.virtualAddress >= imageEnd) appended -= std::min<std::uint64_t>(appended, certificates.size);
            const bool knownInstaller = std::memcmp(headers.dosHeader.data() + kInstallerTagOffset, kInstallerTag, 4) == 0;
            if (!symbols && !knownInstaller) told.unknownAppendedBytes = appended;
        }
        told.installerCrcUpdated = installer.has_value();

        bool checksum = options.checksum == ChecksumHandling::Update ||
                        (options.checksum == ChecksumHandling::UpdateWhenSet && checksumBefore != 0);
        if (options.checksum == ChecksumHandling::Zero) headers.checkSum = 0;
        if (checksum || options.checksum == ChecksumHandling::Zero) StorePeHeaders(headers);
        told.checksumUpdated = checksum;

        const std::span<const std::byte> section = image.resourceBytes;
        if (sameFile && plan.move.newEnd == plan.move.oldEnd && plan.newLength == plan.fileLength) {
            // Nothing moves: the bytes to be overwritten go to a journal first.
            std::vector<JournalEntry> entries;
            entries.push_back({0, {dosBefore.begin(), dosBefore.end()}});
            entries.push_back({headers.peOffset, peBefore});
            JournalEntry& old = entries.emplace_back();
            old.offset = image.layout.resourceOffset;
            old.bytes.resize(static_cast<std::size_t>(
                std::min<std::uint64_t>(plan.move.oldEnd, plan.fileLength) - image.layout.resourceOffset));
            if (!image.stream.ReadAt(old.offset, old.bytes)) return ResultCode::FileAccessFailed;
            if (!plan.data.debug.empty()) {
                JournalEntry& debug = entries.emplace_back();
                debug.offset = plan.data.debugOffset;
                debug.bytes.resize(plan.data.debug.size());
                if (!image.stream.ReadAt(debug.offset, debug.bytes)) return ResultCode::FileAccessFailed;
            }
            if (installer) {
                JournalEntry& crc = entries.emplace_back();
                crc.offset = installer->CrcOffset();
                crc.bytes.resize(4);
                if (!image.stream.ReadAt(crc.offset, crc.bytes)) return ResultCode::FileAccessFailed;
            }
            const std::string journalPath = JournalPath(target);
            auto journal = WriteJournal(journalPath, plan.fileLength, entries);
            if (!journal) return ResultCode::FileAccessFailed;
            ResultCode code = rewrite::ApplyInPlace(image.stream, headers, image.layout, plan, section, hooks);
            if (code == ResultCode::Success &&
                !UpdateChecks(image.stream, plan.newLength, checksumField, checksum, installer)) {
                code = ResultCode::FileAccessFailed;
            }
            image.stream.Close();
            if (code == ResultCode::Success) {
                // Spoilt first, for a system that removes it only once closed:
                // found in between, it must not undo the edit.
                static constexpr std::array<std::byte, sizeof kJournalMagic> kSpoilt{};
                (void)(journal->WriteAt(0, kSpoilt) && journal->Flush());
                RemoveHeld(*journal, journalPath);
            } else {
                // Played back now; kept if that fails, for the next open.
                journal->Close();
                (void)RecoverInterruptedEdit(target.c_str());
            }
            told.inPlace = true;
            return code;
        }

        const std::string newFile = NewFilePath(target);
        auto out = CreateHeld(newFile);
        if (!out) return ResultCode::FileAccessFailed;
        if (!out->TakeAttributesOf(image.path.c_str()) ||
            !WriteNewFile(image.stream, *out, headers, image.layout, plan, section, hooks) ||
            !UpdateChecks(*out, plan.newLength, checksumField, checksum, installer) || !out->Flush()) {
            out->Close();
            return Fail(newFile);
        }
        // Renamed while still open and locked where the system allows that,
        // else once both files are closed.
        bool replaced = platform::ReplaceFileWith(newFile.c_str(), target.c_str());
        out->Close();
        image.stream.Close();
        if (!replaced) replaced = platform::ReplaceFileWith(newFile.c_str(), target.c_str());
        if (!replaced) return Fail(newFile);
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

bool RecoverInterruptedEdit(const char* path) {
    const std::string target = platform::ResolvePath(path);
    // Each lock waits for the edit that holds it, if one still runs; what is
    // still there after that, a killed edit left.
    const std::string newPath = NewFilePath(target);
    if (auto left = File::Open(newPath.c_str(), File::Mode::Read)) {
        (void)left->Lock();
        if (left->IsAt(newPath.c_str())) RemoveHeld(*left, newPath);
    }
    const std::string journalPath = JournalPath(target);
    auto journal = File::Open(journalPath.c_str(), File::Mode::Read);
    if (!journal) return true;
    (void)journal->Lock();
    if (!journal->IsAt(journalPath.c_str())) return true;  // its edit ended
    if (const auto read = ReadJournal(*journal)) {
        auto file = File::Open(target.c_str(), File::Mode::ReadWrite);
        if (!file) return false;
        // An in-place edit keeps the length: a file of another length was put
        // there since, and the journal is not about it.
        const auto length = file->Length();
        if (!length) return false;
        if (*length != read->first) {
            file->Close();
            RemoveHeld(*journal, journalPath);
            return true;
        }
        for (const JournalEntry& e : read->second) {
            if (!file->WriteAt(e.offset, e.bytes)) return false;
        }
        if (!file->Flush()) return false;
    }
    RemoveHeld(*journal, journalPath);
    return true;
}

}  // namespace vorn
