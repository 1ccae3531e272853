#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/platform.h"
#include "format/pe_format.h"
#include "image/safe_commit.h"
#include "tool/tool.h"

namespace vorn::tool {

// ---- Text -------------------------------------------------------------

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    static constexpr char32_t kLead[] = {0, 0xC0, 0xE0, 0xF0};
    const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
    for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) out += static_cast<char>(0x80 | ((c >> shift) & 0x3F));
}

}  // namespace

std::string WideToUtf8(std::u16string_view wide) {
    std::string out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string ToUtf8(std::string_view ansi) {
    const auto wide = platform::AnsiToWide(ansi);
    return wide ? WideToUtf8(*wide) : std::string(ansi);
}

std::optional<std::u16string> Utf8ToWide(std::string_view utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c0 = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = c0 < 0x80 ? 1 : (c0 & 0xE0) == 0xC0 ? 2 : (c0 & 0xF0) == 0xE0 ? 3 : (c0 & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || length > utf8.size() - i) return std::nullopt;
        char32_t cp = length == 1 ? c0 : c0 & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::string ToDisplay(std::u16string_view wide) {
    auto ansi = platform::WideToAnsi(wide);
    return ansi ? std::move(*ansi) : WideToUtf8(wide);
}

Json IdOrName(std::int32_t id, const ResourceName& name) {
    if (id != -1) return id;
    return name ? ToUtf8(*name) : std::string();
}

namespace {

constexpr std::size_t kReserveSize = 1u << 20;
int reserveDepth = 0;
void* reserve = nullptr;
std::new_handler handlerBefore = nullptr;

void GiveBackReserve() {
    std::free(reserve);
    reserve = nullptr;
    std::set_new_handler(handlerBefore);
}

}  // namespace

MemoryReserve::MemoryReserve() {
    if (reserveDepth++ > 0) return;
    reserve = std::malloc(kReserveSize);
    if (reserve != nullptr) handlerBefore = std::set_new_handler(&GiveBackReserve);
}

MemoryReserve::~MemoryReserve() {
    if (--reserveDepth == 0 && reserve != nullptr) GiveBackReserve();
}

void PrintJson(const Json& json) {
    std::printf("%s\n", json.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

// ---- Failures ---------------------------------------------------------

namespace {

// Why `file` is no image vornres can open (NotPeImage): what the system
// says of the path first, then what is wrong with its headers.
const char* ExplainNotImage(const std::string& file) {
    switch (platform::InspectPath(file.c_str())) {
        case platform::PathState::Missing: return "does not exist; check the path";
        case platform::PathState::Directory: return "is a directory, not a program; name a file";
        case platform::PathState::Unreadable: return "cannot be read; check its permissions";
        case platform::PathState::File: break;
    }
    switch (DiagnoseImage(file.c_str(), kKinds)) {
        case HeaderProblem::Empty: return "is empty; it is not a Windows program";
        case HeaderProblem::Truncated:
            return "is truncated: it ends inside its PE headers; use a complete copy of the file";
        case HeaderProblem::UnknownOptionalHeader:
            return "is a PE file of a kind vornres does not know (neither PE32 nor PE32+)";
        case HeaderProblem::NotPe:
        case HeaderProblem::Pe32Plus:
        case HeaderProblem::None: break;
    }
    return "is not a Windows program or DLL (no PE image); check the path";
}

// True when `file` ends before the resource section its headers describe.
bool ResourcesCutShort(const std::string& file) {
    Image image;
    ImageLayout layout;
    return OpenImageHeaders(file.c_str(), image, true, kKinds) == ResultCode::Success &&
           ReadImageLayout(image.headers, layout) == ResultCode::Success &&
           std::uint64_t{layout.resourceOffset} + layout.resourceSize > image.fileLength;
}

// The length of `file`; 0 when it cannot be read.
std::uint64_t FileLength(const std::string& file) {
    auto stream = File::Open(file.c_str(), File::Mode::Read);
    const auto length = stream ? stream->Length() : std::nullopt;
    return length.value_or(0);
}

std::string Explain(const std::string& file, ResultCode code, Job job) {
    switch (code) {
        case ResultCode::SectionBuildFailed:
            return "its new resource section cannot be built; the resources may be damaged or too large";
        case ResultCode::OutOfMemory: return "out of memory; close other programs and try again";
        case ResultCode::NotPeImage:
            if (job == Job::FirstGroupOfModule) {
                return std::string(ExplainNotImage(file)) + "; its first icon group cannot be found, name one with --group";
            }
            return ExplainNotImage(file);
        case ResultCode::NoResourceSection:
            return "has no resource section; only programs with resources can be read or edited";
        case ResultCode::FileAccessFailed: {
            const std::uint64_t length = FileLength(file);
            if (length > kMaxImageFileLength) {
                return "is 2 GiB or larger; vornres reads and edits only files below 2 GiB (a PE file's offsets are "
                       "32-bit and an edit must leave room to grow)";
            }
            if (job == Job::Read || job == Job::ExtractIcon) return "cannot be opened or read; check that it is readable";
            // A rewrite that would reach the limit fails the same way.
            const char* tooLarge = length > kMaxImageFileLength / 2 ? ", and that the edit does not make it 2 GiB or larger" : "";
            return std::string("cannot be opened for writing or written; check that it is not read-only or in use, that "
                               "its disk has room and that no file-size limit stops it") + tooLarge;
        }
        case ResultCode::ResourceBeforeCode:
            return "keeps its resources before its code, which cannot be rewritten safely; leave this file as it is";
        case ResultCode::NoIconGroup:
            return job == Job::ExtractIcon ? "has no icon group; there is no icon to extract"
                                           : "has no icon group to replace; only a program with an icon can get a new one";
        case ResultCode::IconSourceNotFound:
            if (job == Job::ExtractIcon) return "has no icon group of that name; 'vornres icons' lists them";
            return job == Job::IconFile ? "cannot be opened; check the path"
                                        : "cannot be loaded as a module or lacks that icon group; check the path and --group";
        case ResultCode::NotIconGroup: return "has a damaged icon group; it cannot be used";
        case ResultCode::BadIconSource:
            return job == Job::ExtractIcon ? "has an icon group whose images are missing or too large; it cannot be extracted"
                                           : "is not a usable icon (a damaged .ico file or icon group); use another icon";
        case ResultCode::BadSourceKind: return "was given an unknown icon source kind; this is a fault of vornres";
        case ResultCode::NoVersionResource: return "has no version information";
        case ResultCode::BadResourceData:
            if (ResourcesCutShort(file)) return "is truncated: it ends before its resource section does; use a complete copy";
            return "has damaged resources or headers; rebuild the program or use an undamaged copy";
        case ResultCode::BadVersionRecord:
            return "cannot take this version information: it would pass the 65535-byte limit; use shorter texts";
        case ResultCode::BadVersionResource: return "has damaged version information; rebuild its version resource first";
        case ResultCode::TextConversionFailed:
            return "has a text that cannot be converted between the system code page and Unicode; use other characters";
        case ResultCode::Success: break;
    }
    return "failed for an unknown reason";
}

}  // namespace

int RecoverEdit(const std::string& file) {
    std::string keptAside;
    if (!RecoverInterruptedEdit(file.c_str(), &keptAside)) {
        return FailWith(file, "was being edited when vornres was stopped, and the edit cannot be finished from its journal (" +
                                  JournalPath(file) + "): check that both are writable, then run vornres again",
                        ToInt(ResultCode::FileAccessFailed));
    }
    if (!keptAside.empty()) {
        std::fprintf(stderr,
                     "vornres: %s: warning: the journal of an interrupted edit, %s, was not made for the file now at this "
                     "path (another file was put in its place), so it was not applied; the file is as it was, and the "
                     "journal was kept as %s\n",
                     file.c_str(), JournalPath(file).c_str(), keptAside.c_str());
    }
    return 0;
}

int FailWith(const std::string& file, std::string_view message, int status) {
    std::fprintf(stderr, "vornres: %s: %.*s\n", file.c_str(), static_cast<int>(message.size()), message.data());
    return status;
}

int Fail(const std::string& file, ResultCode code, Job job) {
    std::fprintf(stderr, "vornres: %s: %s\n", file.c_str(), Explain(file, code, job).c_str());
    return ToInt(code);
}

// ---- Progress ---------------------------------------------------------

namespace {

void DrawMove(void* context, std::uint64_t done, std::uint64_t total) {
    auto& line = *static_cast<MoveLine*>(context);
    if (total < kProgressMinimum) return;
    if (done >= total) {
        if (line.width > 0) std::fprintf(stderr, "\r%*s\r", line.width, "");
        std::fflush(stderr);
        line = {};
        return;
    }
    const std::uint64_t mib = done >> 20;
    if (line.width > 0 && mib == line.shownMiB) return;
    line.shownMiB = mib;
    line.width = std::fprintf(stderr, "\rmoving data: %llu of %llu MiB", static_cast<unsigned long long>(mib),
                              static_cast<unsigned long long>((total + (1u << 20) - 1) >> 20)) - 1;
    std::fflush(stderr);
}

}  // namespace

ImageAccess MakeAccess(MoveLine& line) {
    ImageAccess access;
    access.kinds = kKinds;
    if (platform::StandardErrorIsTerminal()) {
        access.hooks.moved = &DrawMove;
        access.hooks.context = &line;
    }
    return access;
}

void AddWriteOptions(CLI::App& command, WriteOptions& o) {
    command.add_option("-o,--output", o.output, "Write the result to OUT and leave the input as it is")->type_name("OUT");
    CLI::Option* strip = command.add_flag("--strip-signature", o.stripSignature,
                                          "Remove the Authenticode signature, so that the file can be signed again");
    command.add_flag("--keep-signature", o.keepSignature,
                     "Keep the signature's bytes, moved with the data: the signature no longer holds")
        ->excludes(strip);
    command.add_option("--checksum", o.checksum,
                       "The PE checksum: keep, update or zero (default: update when the file has one)")
        ->check(CLI::IsMember({"keep", "update", "zero"}));
}

int PrepareEdit(const std::string& file, const WriteOptions& o, Edit& edit, ImageAccess& access) {
    if (!o.output.empty()) RecoverInterruptedEdit(o.output.c_str());
    edit.commit.output = o.output.empty() ? file : o.output;
    edit.commit.signature = o.stripSignature ? SignatureHandling::Strip : SignatureHandling::Move;
    edit.commit.checksum = o.checksum == "keep"     ? ChecksumHandling::Keep
                           : o.checksum == "update" ? ChecksumHandling::Update
                           : o.checksum == "zero"   ? ChecksumHandling::Zero
                                                    : ChecksumHandling::UpdateWhenSet;
    access.commit = &edit.commit;
    access.report = &edit.report;
    access.createResources = true;
    access.leaveIconImages = true;

    // A signature that an edit breaks is refused unless the user says what
    // to do with it; the check reads the headers only.
    if (o.stripSignature || o.keepSignature) return 0;
    Image image;
    if (const ResultCode code = OpenImageHeaders(file.c_str(), image, true, kKinds); code != ResultCode::Success) {
        return Fail(file, code, Job::Write);
    }
    if (!IsSigned(image.headers)) return 0;
    return FailWith(file,
                    "is signed, and an edit breaks its signature; add --strip-signature to remove it (then sign the "
                    "result again) or --keep-signature to keep its bytes although it no longer holds",
                    kSignedFile);
}

bool IsSigned(const PeHeaders& headers) {
    const DataDirectory certificates = headers.Directory(pe::kCertificateDirectoryIndex);
    return certificates.virtualAddress != 0 || certificates.size != 0;
}

void ReportEdit(const std::string& file, const Edit& edit) {
    const CommitReport& r = edit.report;
    const char* name = file.c_str();
    if (r.signatureMoved) std::fprintf(stderr, "vornres: %s: warning: the signature was kept but no longer holds; sign the file again\n", name);
    if (!r.installerProblem.empty()) {
        std::fprintf(stderr, "vornres: %s: warning: the installer checks itself and will now fail: %s\n", name,
                     r.installerProblem.c_str());
    }
    if (r.unknownAppendedBytes != 0) {
        std::fprintf(stderr,
                     "vornres: %s: warning: %llu bytes of data follow the program (an installer's payload?); "
                     "if they check the file, they may now fail\n",
                     name, static_cast<unsigned long long>(r.unknownAppendedBytes));
    }
}

int CopyUnchanged(const std::string& file, const WriteOptions& o) {
    if (o.output.empty() || platform::ResolvePath(o.output.c_str()) == platform::ResolvePath(file.c_str())) return 0;
    auto in = File::Open(file.c_str(), File::Mode::Read);
    const auto length = in ? in->Length() : std::nullopt;
    const std::string temporary = NewFilePath(platform::ResolvePath(o.output.c_str()));
    auto out = length ? File::Open(temporary.c_str(), File::Mode::Create) : std::nullopt;
    const bool copied = out && out->TakeAttributesOf(file.c_str()) && out->CopyFrom(*in, 0, 0, *length) && out->Flush();
    if (out) out->Close();
    if (!copied || !platform::ReplaceFileWith(temporary.c_str(), platform::ResolvePath(o.output.c_str()).c_str())) {
        std::remove(temporary.c_str());
        return FailWith(o.output, "cannot be created or written; check the folder, its permissions and free space",
                        ToInt(ResultCode::FileAccessFailed));
    }
    return 0;
}

}  // namespace vorn::tool
