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

std::string ToUtf8(std::string_view ansi) { return SystemToUtf8(ansi); }

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
    std::fprintf(stderr, "vornres: %s: %s\n", file.c_str(), api::Explain(file, code, job).c_str());
    return ToInt(code);
}

// ---- Progress ---------------------------------------------------------

ImageAccess MakeAccess(MoveLine& line) {
    ImageAccess access;
    access.kinds = kKinds;
    if (platform::StandardErrorIsTerminal()) {
        access.hooks.moved = &DrawMove;
        access.hooks.context = &line;
    }
    return access;
}

int PrepareEdit(const std::string& file, const WriteOptions& o, Edit& edit, ImageAccess& access) {
    if (!o.output.empty()) RecoverInterruptedEdit(o.output.c_str());
    edit.commit.output = o.output.empty() ? file : o.output;
    const vornutils::CommitOptions chosen = CommitOptionsOf(o, nullptr);
    edit.commit.signature = chosen.signature;
    edit.commit.checksum = chosen.checksum;
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
    return RefuseSignedFile(file);
}

bool IsSigned(const PeHeaders& headers) {
    const DataDirectory certificates = headers.Directory(pe::kCertificateDirectoryIndex);
    return certificates.virtualAddress != 0 || certificates.size != 0;
}

void ReportEdit(const std::string& file, const Edit& edit) { Tell(file, edit.report); }

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
