#include "tool/rcedit_command.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "tool/options.h"
#include "tool/version_command.h"

namespace vorn::tool {

namespace {

int Usage(const std::string& what) {
    std::fprintf(stderr, "vornres: %s; see vornres --help\n", what.c_str());
    return kUsageError;
}

struct RceditOptions {
    std::string file;
    VersionOptions version;
    std::string icon;
    std::string get;
};

// The peer's own flags, each with its arguments; the file comes first.
// Empty: parsed; else the message of a usage error.
std::string Parse(int argc, char** argv, RceditOptions& o) {
    if (argc < 3 || argv[2][0] == '-') {
        return "usage: vornres rcedit FILE [--set-version-string KEY VALUE]... [--set-file-version V] "
               "[--set-product-version V] [--set-icon ICO] [--get-version-string KEY]";
    }
    o.file = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string_view flag = argv[i];
        const auto argument = [&](int count) { return i + count < argc; };
        // Only a string's value may be empty; an empty version, icon or key
        // is a script's unset variable.
        const auto given = [&](std::string& into) {
            into = argv[++i];
            return !into.empty();
        };
        bool filled = true;
        if (flag == "--set-version-string" && argument(2)) {
            if (argv[i + 1][0] == '\0') return "rcedit: --set-version-string needs a KEY";
            o.version.sets.push_back(std::string(argv[i + 1]) + "=" + argv[i + 2]);
            i += 2;
        } else if (flag == "--set-file-version" && argument(1)) {
            filled = given(o.version.fileVersion);
        } else if (flag == "--set-product-version" && argument(1)) {
            filled = given(o.version.productVersion);
        } else if (flag == "--set-icon" && argument(1)) {
            filled = given(o.icon);
        } else if (flag == "--get-version-string" && argument(1)) {
            filled = given(o.get);
        } else {
            return "rcedit: unknown option or missing argument '" + std::string(flag) + "'";
        }
        if (!filled) return "rcedit: " + std::string(flag) + " was given an empty value; give one";
    }
    return {};
}

}  // namespace

int RunRcedit(int argc, char** argv) {
    RceditOptions o;
    if (const std::string problem = Parse(argc, argv, o); !problem.empty()) return Usage(problem);
    vornutils::VersionChanges changes;
    if (const auto problem = ChangesOf(o.version, changes)) return Usage(*problem);
    if (o.get.empty() && !o.version.Edits() && o.icon.empty()) return 0;
    auto image = vornutils::Image::Open(o.file);
    if (!image) return Report(image.error());
    Tell(*image);
    if (!o.get.empty()) {
        VersionOptions read;
        read.get = o.get;
        return PrintVersionString(*image, read);
    }

    // Every input is read and every edit applied before the file is written
    // once: a failure anywhere leaves it as it was. The peer edits signed
    // files too; the signature's bytes stay, with a warning.
    bool changed = false;
    if (o.version.Edits()) {
        const auto edited = vornutils::EditVersion(*image, changes);
        if (!edited) return ReportVersionFailure(edited.error());
        changed = *edited;
    }
    if (!o.icon.empty()) {
        if (const auto replaced = vornutils::ReplaceMainIcon(*image, o.icon); !replaced) return Report(replaced.error());
    } else if (!changed) {
        return 0;  // quiet, as the peer is
    }
    MoveLine line;
    const auto report = image->Commit(CommitOptionsOf(o.version.write, &line));
    if (!report) return Report(report.error());
    Tell(o.file, *report);
    return 0;
}

}  // namespace vorn::tool
