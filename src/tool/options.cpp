#include "tool/options.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vorn::tool {

namespace {

bool StandardErrorIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

}  // namespace

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

vornutils::CommitOptions CommitOptionsOf(const WriteOptions& o, MoveLine* line) {
    vornutils::CommitOptions commit;
    commit.output = o.output;
    commit.signature = o.stripSignature ? vornutils::SignatureHandling::Strip : vornutils::SignatureHandling::Move;
    commit.checksum = o.checksum == "keep"     ? vornutils::ChecksumHandling::Keep
                      : o.checksum == "update" ? vornutils::ChecksumHandling::Update
                      : o.checksum == "zero"   ? vornutils::ChecksumHandling::Zero
                                               : vornutils::ChecksumHandling::UpdateWhenSet;
    if (line != nullptr && StandardErrorIsTerminal()) {
        commit.progress = [line](std::uint64_t done, std::uint64_t total) { DrawMove(line, done, total); };
    }
    return commit;
}

int RefuseSigned(const vornutils::Image& image, const WriteOptions& o) {
    if (!image.Info().isSigned || o.stripSignature || o.keepSignature) return 0;
    std::fprintf(stderr,
                 "vornres: %s: is signed, and an edit breaks its signature; add --strip-signature to remove it (then "
                 "sign the result again) or --keep-signature to keep its bytes although it no longer holds\n",
                 image.Path().c_str());
    return kSignedFile;
}

int Report(const vornutils::Error& error) {
    for (const std::string& note : error.notes) {
        std::fprintf(stderr, "vornres: %s: warning: %s\n", error.path.c_str(), note.c_str());
    }
    std::fprintf(stderr, "vornres: %s\n", error.Message().c_str());
    return static_cast<int>(error.code);
}

void Tell(const vornutils::Image& image) {
    for (const std::string& note : image.Notes()) {
        std::fprintf(stderr, "vornres: %s: warning: %s\n", image.Path().c_str(), note.c_str());
    }
}

void Tell(const std::string& file, const vornutils::CommitReport& r) {
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

}  // namespace vorn::tool
