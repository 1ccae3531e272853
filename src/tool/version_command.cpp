#include "tool/version_command.h"

#include <cstdio>

#include "tool/output.h"
#include "tool/version_json.h"
#include "tool/version_text.h"
#include "vornutils/text.h"

namespace vorn::tool {

namespace {

int Usage(const std::string& what) {
    std::fprintf(stderr, "vornres: %s; see vornres --help\n", what.c_str());
    return kUsageError;
}

std::optional<std::uint16_t> Given(int value) {
    return value >= 0 ? std::optional(static_cast<std::uint16_t>(value)) : std::nullopt;
}

vornutils::VersionScope ScopeOf(const VersionOptions& o) { return {Given(o.language), o.allLanguages}; }

int ShowVersion(const std::string& file, const VersionOptions& o) {
    const auto image = vornutils::Image::Open(file);
    if (!image) return Report(image.error());
    Tell(*image);
    if (!o.get.empty()) return PrintVersionString(*image, o);
    const auto read = vornutils::ReadVersions(*image, ScopeOf(o));
    if (!read) return Report(read.error());
    const vornutils::VersionEntry* shown = read->empty() ? nullptr : &read->front();
    if (o.json) {
        const MemoryReserve memory;
        PrintJson({{"file", vornutils::SystemToUtf8(file)}, {"versionInfo", shown ? VersionJson(*shown) : Json(nullptr)}});
    } else {
        PrintVersion(file, shown);
    }
    return 0;
}

// Applies the options' edit to the image's resources: whether anything
// changed.
vornutils::Result<bool> Apply(vornutils::Image& image, const VersionOptions& o, const vornutils::VersionChanges& changes,
                              std::optional<vornutils::VersionEntry>& fromJson) {
    if (o.deleteResource) {
        auto removed = vornutils::RemoveVersions(image, ScopeOf(o));
        if (!removed) return removed.error();
        return true;
    }
    if (fromJson) return vornutils::WriteVersion(image, std::move(*fromJson), ScopeOf(o));
    if (!o.Edits()) return false;
    return vornutils::EditVersion(image, changes);
}

}  // namespace

bool VersionOptions::Edits() const {
    return !sets.empty() || !removes.empty() || !fileVersion.empty() || !productVersion.empty() || !fileFlags.empty() ||
           !fileType.empty() || !fromJson.empty() || deleteResource;
}

void AddVersionOptions(CLI::App& command, VersionOptions& o) {
    // An empty value is most often a variable a script left unset: refused,
    // so that no file ships unstamped while the run says it succeeded.
    const CLI::Validator nonEmpty(
        [](std::string& value) { return value.empty() ? std::string("an empty value sets nothing; give one") : std::string(); },
        "", "NonEmpty");
    command.add_flag("--json", o.json, "Print the version information as one JSON object (see the README)");
    command.add_option("--get", o.get, "Print the value of one string, for scripts")->type_name("KEY")->check(nonEmpty);
    command.add_option("--set", o.sets, "Set a string, any key; an empty TEXT sets an empty string")
        ->type_name("KEY=TEXT")
        ->check(CLI::Validator(
            [](std::string& value) {
                return value.find('=') == std::string::npos || value.front() == '='
                           ? "expected KEY=TEXT, got '" + value + "'"
                           : std::string();
            },
            "", "KEY=TEXT"));
    command.add_option("--remove", o.removes, "Remove a string")->type_name("KEY");
    command.add_option("--file-version", o.fileVersion,
                       "Set the file version: 1 to 4 numbers (10.7 is 10.7.0.0), and the FileVersion string")
        ->type_name("A.B.C.D")
        ->check(nonEmpty);
    command.add_option("--product-version", o.productVersion,
                       "Set the product version and the ProductVersion string")
        ->type_name("A.B.C.D")
        ->check(nonEmpty);
    command.add_flag("--fixed-only", o.fixedOnly,
                     "--file-version and --product-version set the numbers only, not the strings");
    command.add_option("--file-flags", o.fileFlags,
                       "Set the flags: a number, or names joined by commas: debug, prerelease, patched, "
                       "privatebuild, infoinferred, specialbuild")
        ->type_name("FLAGS")
        ->check(nonEmpty);
    command.add_option("--file-type", o.fileType, "Set the file type: app, dll, drv, font, vxd, static-lib, unknown or a number")
        ->type_name("TYPE")
        ->check(nonEmpty);
    command.add_option("--language", o.language,
                       "Work on the version resource and string table of this language id (default: what Windows shows)")
        ->check(CLI::Range(0, 65535));
    command.add_option("--code-page", o.codePage, "The code page of a table that is created (default 1200, Unicode)")
        ->check(CLI::Range(0, 65535));
    command.add_flag("--create", o.create, "Create the resource or table of --language when the file has none");
    command.add_flag("--all-languages", o.allLanguages, "Apply the edit to every version resource and string table");
    command.add_option("--from-json", o.fromJson,
                       "Write the version information of a JSON file made by --json, replacing the file's")
        ->type_name("FILE.json")
        ->check(nonEmpty);
    command.add_flag("--delete", o.deleteResource,
                     "Remove the version resource shown (of --language; every one with --all-languages)");
    command.footer(
        "Without edits the version information is shown. An edit changes only what it names: to leave a string "
        "alone, do not name it. By default the edit goes to what Windows shows: the version resource a neutral "
        "lookup finds, and in it the string table that its first Translation pair names. A file without version "
        "information gets a complete one; --language N of a language the file lacks is refused (exit 65) unless "
        "--create is given. An edit that changes nothing leaves the file as it was, unless --strip-signature "
        "removes a signature.");
}

std::string CheckVersionOptions(const VersionOptions& o) {
    const bool valueEdits = !o.sets.empty() || !o.removes.empty() || !o.fileVersion.empty() || !o.productVersion.empty() ||
                            !o.fileFlags.empty() || !o.fileType.empty();
    if (!o.get.empty() && (o.Edits() || o.write.stripSignature)) {
        return "--get only reads; leave out the edits and --strip-signature";
    }
    if (o.deleteResource && (valueEdits || !o.fromJson.empty() || o.create)) {
        return "--delete removes the version information; leave out the other edits and --create";
    }
    if (!o.fromJson.empty() && valueEdits) {
        return "--from-json replaces the whole version information; leave out the other edits";
    }
    if (o.allLanguages && (o.language >= 0 || o.create || !o.fromJson.empty())) {
        return "--all-languages edits every language; leave out --language, --create and --from-json";
    }
    if (o.create && o.language < 0) return "--create needs --language";
    return {};
}

std::optional<std::string> ChangesOf(const VersionOptions& o, vornutils::VersionChanges& c) {
    const auto version = [](const std::string& text, const char* option,
                            std::optional<vornutils::VersionNumber>& out) -> std::optional<std::string> {
        if (text.empty()) return std::nullopt;
        out = vornutils::VersionNumber::Parse(text);
        if (!out) return std::string(option) + " '" + text + "' is not 1 to 4 numbers 0..65535 joined by dots";
        return std::nullopt;
    };
    if (auto e = version(o.fileVersion, "--file-version", c.fileVersion)) return e;
    if (auto e = version(o.productVersion, "--product-version", c.productVersion)) return e;
    c.versionStrings = !o.fixedOnly;
    if (!o.fileFlags.empty() && !(c.fileFlags = ParseFlags(o.fileFlags))) {
        return "--file-flags '" + o.fileFlags + "' is neither a number nor names among debug, prerelease, patched, "
               "privatebuild, infoinferred, specialbuild";
    }
    if (!o.fileType.empty() && !(c.fileType = ParseType(o.fileType))) {
        return "--file-type '" + o.fileType + "' is neither a number nor one of app, dll, drv, font, vxd, static-lib, unknown";
    }
    for (const std::string& set : o.sets) {
        const std::size_t equals = set.find('=');
        const auto key = vornutils::SystemToWide(set.substr(0, equals));
        const auto value = vornutils::SystemToWide(set.substr(equals + 1));
        if (!key || !value) return "--set '" + set + "' is not text of the system's code page";
        c.strings.push_back({*key, *value});
    }
    for (const std::string& remove : o.removes) {
        const auto key = vornutils::SystemToWide(remove);
        if (!key) return "--remove '" + remove + "' is not text of the system's code page";
        c.strings.push_back({*key, std::nullopt});
    }
    c.scope = ScopeOf(o);
    c.codePage = Given(o.codePage);
    c.create = o.create;
    return std::nullopt;
}

int ReportVersionFailure(const vornutils::Error& error) {
    if (error.code != vornutils::Code::NoVersionResource) return Report(error);
    const std::string hint = error.what == "find the version information" ? "; add --create to create it"
                             : error.what == "find the string table"      ? "; add --create to create one"
                                                                          : "";
    return FailWith(error.path, error.detail + hint, kNotFound);
}

int PrintVersionString(const vornutils::Image& image, const VersionOptions& o) {
    auto read = vornutils::ReadVersions(image, ScopeOf(o));
    if (!read) return Report(read.error());
    vornutils::version::StringTable* table = nullptr;
    if (!read->empty()) {
        auto& resource = read->front().resource;
        table = o.language >= 0 ? vornutils::version::TableForLanguage(resource, *Given(o.language), Given(o.codePage))
                                : vornutils::version::ShownTable(resource);
    }
    const auto key = vornutils::SystemToWide(o.get);
    const vornutils::version::VersionString* s = table != nullptr && key ? table->Find(*key) : nullptr;
    if (s == nullptr) {
        return FailWith(image.Path(), read->empty() ? "has no version information, so no string " + o.get
                                                    : "has no string " + o.get + " in its version information",
                        kNotFound);
    }
    std::printf("%s\n", vornutils::WideToDisplay(s->value).c_str());
    return 0;
}

int RunVersion(const std::string& file, const VersionOptions& o) {
    vornutils::VersionChanges changes;
    if (const auto problem = ChangesOf(o, changes)) return Usage(*problem);
    std::optional<vornutils::VersionEntry> fromJson;
    if (!o.fromJson.empty()) {
        if (const int refused = ReadVersionJsonFile(o.fromJson, fromJson); refused != 0) return refused;
    }
    // A signature to strip is a change of its own, made even when the
    // resources stay as they are.
    if (!o.Edits() && !o.write.stripSignature) return ShowVersion(file, o);

    auto image = vornutils::Image::Open(file);
    if (!image) return Report(image.error());
    Tell(*image);
    if (const int refused = RefuseSigned(*image, o.write); refused != 0) return refused;
    const auto changed = Apply(*image, o, changes, fromJson);
    if (!changed) return ReportVersionFailure(changed.error());
    MoveLine line;
    const auto report = image->Commit(CommitOptionsOf(o.write, &line));
    if (!report) return Report(report.error());
    const std::string& result = o.write.output.empty() ? file : o.write.output;
    Tell(result, *report);
    if (!*changed) {
        std::printf("%s: version information unchanged%s%s%s\n", file.c_str(),
                    report->signatureStripped ? ", signature removed" : "", o.write.output.empty() ? "" : ", written to ",
                    o.write.output.c_str());
        return 0;
    }
    VersionOptions show;
    show.json = o.json;
    show.language = o.allLanguages ? -1 : o.language;
    return ShowVersion(result, show);
}

}  // namespace vorn::tool
