// vornres: the library's operations on the command line.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "tool/options.h"
#include "tool/output.h"
#include "tool/rcedit_command.h"
#include "tool/resource_command.h"
#include "tool/version_command.h"
#include "vornutils/text.h"

namespace {

using namespace vorn::tool;

// ---- info -------------------------------------------------------------

// A type or name for the listing: "12 RT_RCDATA", "12" or "\"NAME\"".
std::string IdText(const vornutils::ResourceId& id, bool isType) {
    if (!id.IsNumber()) return "\"" + id.Text() + "\"";
    const std::string_view label = isType ? id.TypeLabel() : std::string_view();
    return id.ToString() + (label.empty() ? std::string() : " RT_" + std::string(label));
}

const char* MachineLabel(std::uint16_t machine) {
    switch (machine) {
        case 0x014C: return "x86";
        case 0x8664: return "x64";
        case 0xAA64: return "ARM64";
        case 0x01C4: return "ARMv7";
        case 0x0200: return "IA-64";
        default: return nullptr;
    }
}

void PrintInfoJson(const std::string& file, const vornutils::Image& image, const char* format, const char* machine) {
    const MemoryReserve memory;
    const vornutils::ImageInfo& info = image.Info();
    Json out = {{"file", vornutils::SystemToUtf8(file)},
                {"format", format},
                {"machine", machine},
                {"dll", info.isDll},
                {"sections", Json::array()},
                {"resourceSection", nullptr},
                {"appendedBytes", info.appendedBytes},
                {"installerTag", info.installerTag},
                {"resources", Json::array()}};
    if (info.hasResources) {
        out["resourceSection"] = {{"rva", info.resourceRva}, {"offset", info.resourceOffset}, {"size", info.resourceSize}};
    }
    for (const vornutils::SectionInfo& s : info.sections) {
        out["sections"].push_back({{"name", s.name}, {"virtualAddress", s.virtualAddress}, {"virtualSize", s.virtualSize},
                                   {"rawOffset", s.rawOffset}, {"rawSize", s.rawSize}});
    }
    for (const vornutils::ResourceInfo& r : image.Resources().List()) {
        const std::string_view label = r.key.type.TypeLabel();
        out["resources"].push_back({{"type", IdJson(r.key.type)},
                                    {"typeLabel", label.empty() ? Json(nullptr) : Json("RT_" + std::string(label))},
                                    {"name", IdJson(r.key.name)},
                                    {"language", r.key.language},
                                    {"codePage", r.codePage},
                                    {"size", r.size}});
    }
    PrintJson(out);
}

void PrintInfoText(const std::string& file, const vornutils::Image& image, const char* format, const char* machine) {
    const vornutils::ImageInfo& info = image.Info();
    std::printf("%s\n  %s, %s%s\n\nsections (%zu)\n  %-8s  %10s  %10s  %10s  %10s\n", file.c_str(), format, machine,
                info.isDll ? ", DLL" : "", info.sections.size(), "name", "virt addr", "virt size", "raw offset", "raw size");
    for (const vornutils::SectionInfo& s : info.sections) {
        std::printf("  %-8s  0x%08X  0x%08X  0x%08X  0x%08X\n", s.name.c_str(), s.virtualAddress, s.virtualSize,
                    s.rawOffset, s.rawSize);
    }
    if (info.hasResources) {
        std::printf("\nresource section  RVA 0x%08X, file offset 0x%08X, %u bytes\n", info.resourceRva,
                    info.resourceOffset, info.resourceSize);
    } else {
        std::printf("\nresource section  none\n");
    }
    std::printf("appended bytes    %llu\ninstaller tag     %s\n", static_cast<unsigned long long>(info.appendedBytes),
                info.installerTag ? "yes" : "no");
    const auto resources = image.Resources().List();
    std::printf("\nresources (%zu)\n  %-24s  %-16s  %8s  %9s  %10s\n", resources.size(), "type", "name", "language",
                "code page", "size");
    for (const vornutils::ResourceInfo& r : resources) {
        std::printf("  %-24s  %-16s  %8d  %9u  %10u\n", IdText(r.key.type, true).c_str(), IdText(r.key.name, false).c_str(),
                    r.key.language, r.codePage, r.size);
    }
}

int RunInfo(const std::string& file, bool json) {
    const auto image = vornutils::Image::Open(file);
    if (!image) return Report(image.error());
    Tell(*image);
    const vornutils::ImageInfo& info = image->Info();
    const char* machine = MachineLabel(info.machine);
    char machineHex[8];
    std::snprintf(machineHex, sizeof machineHex, "0x%04X", info.machine);
    const char* format = info.pe32Plus ? "PE32+" : "PE32";
    if (json) {
        PrintInfoJson(file, *image, format, machine ? machine : machineHex);
    } else {
        PrintInfoText(file, *image, format, machine ? machine : machineHex);
    }
    return 0;
}

// ---- icons ------------------------------------------------------------

int RunIcon(const std::string& file, const std::string& from, const std::string& fromModule, bool fromModuleGiven,
            const std::string& group, const WriteOptions& write) {
    auto image = vornutils::Image::Open(file);
    if (!image) return Report(image.error());
    Tell(*image);
    if (const int refused = RefuseSigned(*image, write); refused != 0) return refused;
    const std::string& source = fromModuleGiven ? fromModule : from;
    const auto replaced = fromModuleGiven ? vornutils::ReplaceMainIconFromModule(*image, fromModule, group)
                                          : vornutils::ReplaceMainIcon(*image, from);
    if (!replaced) return Report(replaced.error());
    MoveLine line;
    const auto report = image->Commit(CommitOptionsOf(write, &line));
    if (!report) return Report(report.error());
    Tell(file, *report);
    std::printf("%s: main icon replaced from %s%s%s\n", file.c_str(), source.c_str(), write.output.empty() ? "" : ", written to ",
                write.output.c_str());
    return 0;
}

int RunIcons(const std::string& file, bool json) {
    const auto image = vornutils::Image::Open(file);
    if (!image) return Report(image.error());
    Tell(*image);
    const std::vector<std::string> names = vornutils::IconGroups(*image);
    if (json) {
        const MemoryReserve memory;
        Json groups = Json::array();
        for (const std::string& name : names) groups.push_back(name);
        PrintJson({{"file", vornutils::SystemToUtf8(file)}, {"groups", groups}});
    } else {
        for (const std::string& name : names) std::printf("%s\n", name.c_str());
    }
    return 0;
}

// The image count of an .ico file's header.
unsigned IcoImageCount(const std::vector<std::byte>& ico) {
    return ico.size() < 6 ? 0 : std::to_integer<unsigned>(ico[4]) | std::to_integer<unsigned>(ico[5]) << 8;
}

struct FileCloser {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};

int RunExtractIcon(const std::string& file, const std::string& group, const std::string& output) {
    const auto image = vornutils::Image::Open(file);
    if (!image) return Report(image.error());
    Tell(*image);
    const auto extracted = vornutils::ExtractIcon(*image, group);
    if (!extracted) return Report(extracted.error());
    const std::vector<std::byte>& ico = *extracted;
    std::unique_ptr<std::FILE, FileCloser> stream(std::fopen(output.c_str(), "wb"));
    const bool opened = stream != nullptr;
    bool written = opened && std::fwrite(ico.data(), 1, ico.size(), stream.get()) == ico.size();
    // Closing flushes, so its failure is a write failure too.
    written = opened && std::fclose(stream.release()) == 0 && written;
    if (!written) {
        std::fprintf(stderr, "vornres: %s: cannot be created or written; check the folder, its permissions and free space\n",
                     output.c_str());
        if (opened) std::remove(output.c_str());  // no half-written icon left behind
        return static_cast<int>(vornutils::Code::FileAccessFailed);
    }
    std::printf("%s: %u images, %zu bytes written to %s\n", file.c_str(), IcoImageCount(ico),
                ico.size(), output.c_str());
    return 0;
}

// ---- Command line -----------------------------------------------------

constexpr const char* kFooter =
    "Exit status: 0 success; 1 the new resource section cannot be built (or would hold nothing); 2 out of "
    "memory; 3 not a program, or missing; 4 no resource section and no room for one; 5 cannot be read or "
    "written, or 2 GiB or larger; 6 resources before code; 7 no icon group to extract; 8 icon source or "
    "group not found; 9 damaged icon group; 10 unusable icon; 13 damaged resources; 14 version information "
    "too long; 15 damaged version information; 64 a usage error; 65 not found (--get's string, the "
    "resource or table of --language without --create, nothing to --delete, the resource named); 77 a signed file edited "
    "without --strip-signature or --keep-signature. The README lists them per command.\n"
    "vornres rcedit FILE ... takes the flags of rcedit (--set-version-string, --set-file-version, "
    "--set-product-version, --set-icon, --get-version-string).";

int Run(int argc, char** argv) {
    const std::string version = std::string("vornres ") + VORNUTILS_VERSION + " (VornUtils " + VORNUTILS_VERSION + ")";
    CLI::App app{"Edits the resources of Windows programs and DLLs (PE32 and PE32+).", "vornres"};
    app.set_version_flag("--version", version, "Print the version and exit");
    app.require_subcommand(1);
    // On Windows CLI11 would take "/path" for an option; paths come first.
    app.allow_windows_style_options(false);
    app.footer(kFooter);

    std::string file;
    bool json = false;
    const auto addFile = [&](CLI::App* command) { command->add_option("FILE", file, "The program")->required(); };
    const auto addJson = [&](CLI::App* command) { command->add_flag("--json", json, "Print one JSON object"); };

    CLI::App* info = app.add_subcommand("info", "Show the sections, the resource section and the resources");
    addFile(info);
    addJson(info);

    VersionOptions versionOptions;
    CLI::App* versionCommand = app.add_subcommand("version", "Show the version information, or change it");
    addFile(versionCommand);
    AddVersionOptions(*versionCommand, versionOptions);

    std::string from, fromModule, group;
    CLI::App* icon = app.add_subcommand("icon", "Replace the main icon (the first icon group)");
    addFile(icon);
    CLI::Option_group* source = icon->add_option_group("source", "Where the new icon comes from (exactly one)");
    source->add_option("--from", from, "An .ico file")->type_name("ICON.ico");
    CLI::Option* moduleOption =
        source->add_option("--from-module", fromModule, "A program or DLL whose icon group to take")->type_name("MODULE");
    source->require_option(1);
    icon->add_option("--group", group, "The module's icon group: a name, or #12 for id 12 (default: its first)")
        ->needs(moduleOption);
    WriteOptions write;
    AddWriteOptions(*icon, write);
    AddWriteOptions(*versionCommand, versionOptions.write);

    CLI::App* icons = app.add_subcommand("icons", "List the icon groups, one name per line");
    addFile(icons);
    addJson(icons);

    std::string output;
    CLI::App* extract = app.add_subcommand("extract-icon", "Write an icon group as an .ico file");
    addFile(extract);
    extract->add_option("--group", group, "A name, or #12 for id 12 (default: the first group)");
    extract->add_option("-o,--output", output, "The .ico file to write")->required()->type_name("OUT.ico");

    ResourceOptions resourceOptions;
    AddResourcesCommand(app, resourceOptions);

    if (argc > 1 && std::string_view(argv[1]) == "rcedit") return RunRcedit(argc, argv);
    try {
        const MemoryReserve memory;
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // --help and --version end parsing this way too.
        if (error.get_exit_code() == 0) return app.exit(error);
        std::string message = error.what();
        if (argc > 1 && argv[1][0] != '-') {
            const auto commands = app.get_subcommands([&](const CLI::App* command) { return command->get_name() == argv[1]; });
            if (commands.empty()) message = std::string("unknown command '") + argv[1] + "'";
        }
        std::fprintf(stderr, "vornres: %s; see vornres --help\n", message.c_str());
        return kUsageError;
    }

    if (versionCommand->parsed()) {
        if (const std::string problem = CheckVersionOptions(versionOptions); !problem.empty()) {
            std::fprintf(stderr, "vornres: %s; see vornres version --help\n", problem.c_str());
            return kUsageError;
        }
    }
    if (resourceOptions.command != ResourceOptions::Command::None) return RunResources(resourceOptions);
    if (info->parsed()) return RunInfo(file, json);
    if (versionCommand->parsed()) return RunVersion(file, versionOptions);
    if (icon->parsed()) return RunIcon(file, from, fromModule, moduleOption->count() > 0, group, write);
    if (icons->parsed()) return RunIcons(file, json);
    return RunExtractIcon(file, group, output);
}

}  // namespace

int main(int argc, char** argv) {
    vornutils::ReportFileSizeLimitAsFailure();
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "vornres: out of memory; close other programs and try again\n");
        return static_cast<int>(vornutils::Code::OutOfMemory);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vornres: internal error: %s\n", error.what());
        return kInternalError;
    }
}
