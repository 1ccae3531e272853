#include "image/safe_commit.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "base/byte_view.h"
#include "format/checksum.h"
#include "format/pe_format.h"
#include "image/edit_journal.h"
#include "image/rewrite_plan.h"

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

ResultCode Fail(const std::string& newFile) {
    std::remove(newFile.c_str());
    return ResultCode::FileAccessFailed;
}

// Writes the whole result into `out`: the bytes before the section, the
// section, the tail, then the headers at their new places.
bool WriteNewFile(File& source, File& out, const PeHeaders& headers, const ImageLayout& layout,
                  const rewrite::Plan& plan, std::span<const std::byte> section, const OperationHooks& hooks) {
    const rewrite::Move& move = plan.move;
    const std::uint64_t lead = rewrite::LeadLength(layout, move);
    if (!out.CopyFrom(source, 0, 0, layout.resourceOffset - lead) ||
        (lead != 0 && (!out.Seek(move.oldEnd) || !rewrite::WritePadding(out, lead))) ||
        !out.WriteAt(layout.resourceOffset, section) || !rewrite::WritePadding(out, move.newRawSize - layout.resourceSize)) {
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

// Each lock waits for the edit that holds it, if one still runs; what is
// still there after that, a killed edit left. Finished when there was no
// journal.
journal::Found Recover(const std::string& target, std::string* keptAside = nullptr) {
    const std::string newPath = NewFilePath(target);
    if (auto left = File::Open(newPath.c_str(), File::Mode::Read)) {
        (void)left->Lock();
        if (left->IsAt(newPath.c_str())) RemoveHeld(*left, newPath);
    }
    const std::string journalPath = JournalPath(target);
    auto journal = File::Open(journalPath.c_str(), File::Mode::ReadWrite);
    if (!journal) return File::Open(journalPath.c_str(), File::Mode::Read) ? journal::Found::Failed : journal::Found::Finished;
    (void)journal->Lock();
    if (!journal->IsAt(journalPath.c_str())) return journal::Found::Finished;  // its edit ended
    const journal::Found found = journal::Play(*journal, target);
    if (found == journal::Found::Foreign) {
        // Kept for whoever knows which file it belongs to, never played.
        for (int n = 1; n < 100; ++n) {
            const std::string aside = journalPath + ".unmatched" + (n == 1 ? std::string() : "-" + std::to_string(n));
            if (File::Open(aside.c_str(), File::Mode::Read)) continue;
            if (!platform::ReplaceFileWith(journalPath.c_str(), aside.c_str())) break;
            if (keptAside != nullptr) *keptAside = aside;
            return found;
        }
        return journal::Found::Failed;
    }
    if (found != journal::Found::Failed) RemoveHeld(*journal, journalPath);
    return found;
}

}  // namespace

std::string JournalPath(const std::string& path) { return path + ".vornres-journal"; }
std::string NewFilePath(const std::string& path) { return path + ".vornres-new"; }

ResultCode CommitSafely(Image& image, std::vector<std::byte> section, const CommitOptions& options, CommitReport* report,
                        const OperationHooks& hooks) {
    CommitReport ignored;
    CommitReport& told = report != nullptr ? *report : ignored;
    told = {};
    try {
        const std::string target = platform::ResolvePath(options.output.empty() ? image.path.c_str() : options.output.c_str());
        const bool sameFile = target == platform::ResolvePath(image.path.c_str());
        PeHeaders& headers = image.headers;
        const std::uint32_t checksumBefore = headers.checkSum;
        const std::uint64_t checksumField = std::uint64_t{headers.OptionalHeaderOffset()} + kOptCheckSumOffset;

        // What the data after the image is, read before anything changes.
        const std::uint64_t imageEnd = ImageEnd(headers);
        std::optional<SelfCheck> installer = FindSelfCheck(image.stream, imageEnd, image.fileLength);
        const DataDirectory certificates = headers.Directory(kCertificateDirectoryIndex);
        const bool symbols = headers.pointerToSymbolTable >= imageEnd && headers.pointerToSymbolTable != 0;

        rewrite::Plan plan;
        if (const ResultCode code = rewrite::MakePlan(image.stream, headers, image.layout, image.fileLength, section,
                                                      options.signature, plan);
            code != ResultCode::Success) {
            return code;
        }
        // A result the process may not write is refused before anything is:
        // past the limit, a write would fail halfway.
        if (const auto limit = platform::FileSizeLimit(); limit && *limit < std::max(plan.fileLength, plan.newLength)) {
            return ResultCode::FileAccessFailed;
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
        const std::uint64_t installerCrc = installer ? installer->CrcOffset() : 0;

        bool checksum = options.checksum == ChecksumHandling::Update ||
                        (options.checksum == ChecksumHandling::UpdateWhenSet && checksumBefore != 0);
        if (options.checksum == ChecksumHandling::Zero) headers.checkSum = 0;
        if (checksum || options.checksum == ChecksumHandling::Zero) StorePeHeaders(headers);
        told.checksumUpdated = checksum;

        if (sameFile) {
            // In the file itself, behind a journal of everything it writes.
            journal::EditPlan edit;
            edit.fileLength = plan.fileLength;
            edit.newLength = plan.newLength;
            edit.move = plan.move;
            edit.checksumField = checksumField;
            edit.checksum = checksum;
            edit.installerCrc = installerCrc;
            const ImageLayout& layout = image.layout;
            if (const std::uint64_t lead = rewrite::LeadLength(layout, plan.move); lead != 0) {
                edit.writes.push_back({plan.move.oldEnd, std::vector<std::byte>(static_cast<std::size_t>(lead))});
            }
            edit.writes.push_back({layout.resourceOffset, std::move(section)});
            if (plan.move.newRawSize > layout.resourceSize) {
                edit.writes.push_back({std::uint64_t{layout.resourceOffset} + layout.resourceSize,
                                       std::vector<std::byte>(plan.move.newRawSize - layout.resourceSize)});
            }
            edit.writes.push_back({0, {headers.dosHeader.begin(), headers.dosHeader.end()}});
            edit.writes.push_back({headers.peOffset, headers.peHeaders});
            if (!plan.data.debug.empty()) edit.writes.push_back({plan.data.debugOffset, plan.data.debug});
            if (plan.data.hasInstallerTable) {
                edit.writes.push_back({plan.data.installerTable, {plan.data.installer.begin(), plan.data.installer.end()}});
            }
            if (!journal::TakeFingerprint(image.stream, edit)) return ResultCode::FileAccessFailed;
            const std::string journalPath = JournalPath(target);
            auto journal = CreateHeld(journalPath);
            if (!journal) return ResultCode::FileAccessFailed;
            // Still ours once written: a process that found it empty took it
            // for a killed edit's and removed it.
            bool begun = false;
            try {
                begun = journal::Begin(*journal, edit) && journal->IsAt(journalPath.c_str());
            } catch (const std::bad_alloc&) {
                RemoveHeld(*journal, journalPath);
                throw;
            }
            if (!begun) {
                RemoveHeld(*journal, journalPath);
                return ResultCode::FileAccessFailed;
            }
            told.inPlace = true;
            bool outOfMemory = false;
            const journal::Outcome outcome = journal::CarryOut(image.stream, *journal, edit, hooks, outOfMemory);
            image.stream.Close();
            const ResultCode failure = outOfMemory ? ResultCode::OutOfMemory : ResultCode::FileAccessFailed;
            if (outcome == journal::Outcome::Interrupted) {
                // Finished from the journal now if it can be, else by the
                // next command that opens the file.
                journal->Close();
                return Recover(target) == journal::Found::Finished ? ResultCode::Success : failure;
            }
            // Spoilt first, for a system that removes it only once closed:
            // found in between, it must not be acted on.
            static constexpr std::array<std::byte, 8> kSpoilt{};
            (void)(journal->WriteAt(0, kSpoilt) && journal->Flush());
            RemoveHeld(*journal, journalPath);
            return outcome == journal::Outcome::Done ? ResultCode::Success : failure;
        }

        const std::string newFile = NewFilePath(target);
        auto out = CreateHeld(newFile);
        if (!out) return ResultCode::FileAccessFailed;
        if (!out->TakeAttributesOf(image.path.c_str()) ||
            !WriteNewFile(image.stream, *out, headers, image.layout, plan, section, hooks) ||
            !journal::UpdateChecks(*out, plan.newLength, checksumField, checksum, installerCrc) ||
            !out->Flush()) {
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

ResultCode CopyImageFile(Image& image, const std::string& output) {
    try {
        const std::string target = platform::ResolvePath(output.c_str());
        const std::string newFile = NewFilePath(target);
        auto out = CreateHeld(newFile);
        if (!out) return ResultCode::FileAccessFailed;
        if (!out->TakeAttributesOf(image.path.c_str()) || !out->CopyFrom(image.stream, 0, 0, image.fileLength) ||
            !out->Flush()) {
            out->Close();
            return Fail(newFile);
        }
        bool replaced = platform::ReplaceFileWith(newFile.c_str(), target.c_str());
        out->Close();
        if (!replaced) replaced = platform::ReplaceFileWith(newFile.c_str(), target.c_str());
        return replaced ? ResultCode::Success : Fail(newFile);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

bool RecoverInterruptedEdit(const char* path, std::string* keptAside) {
    return Recover(platform::ResolvePath(path), keptAside) != journal::Found::Failed;
}

}  // namespace vorn
