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

#include "kinds/icon/icon_export.h"
#include "kinds/icon/icon_replace.h"
#include "kinds/icon/icon_set.h"
#include "base/byte_view.h"
#include "image/image.h"
#include "format/pe_format.h"
#include "platform/platform.h"
#include "image/safe_commit.h"
#include "tool/tool.h"
#include "tool/resource_command.h"
#include "tool/version_command.h"

namespace {

using namespace vorn::tool;
using vorn::ResultCode;

// ---- info -------------------------------------------------------------

std::string IdOrNameText(std::int32_t id, const vorn::ResourceName& name, bool isType) {
    if (id == -1) return "\"" + (name ? *name : std::string()) + "\"";
    const char* label = isType ? vorn::pe::ResourceTypeLabel(id) : nullptr;
    return std::to_string(id) + (label ? std::string(" ") + label : std::string());
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

int RunInfo(const std::string& file, bool json) {
    vorn::Image image;
    if (const ResultCode code = vorn::OpenImageHeaders(file.c_str(), image, true, kKinds); code != ResultCode::Success) {
        return Fail(file, code, Job::Read);
    }
    // The sections are shown whatever the resources are.
    const vorn::PeHeaders headers = image.headers;
    const std::uint64_t length = image.fileLength;
    const ResultCode resources = vorn::LoadImageResources(image);
    if (resources != ResultCode::Success && resources != ResultCode::NoResourceSection) {
        return Fail(file, resources, Job::Read);
    }
    const bool hasResources = resources == ResultCode::Success;
    const vorn::ImageLayout& layout = image.layout;
    std::uint64_t imageEnd = headers.HeadersEnd();
    for (const vorn::SectionHeader& s : headers.sections) {
        if (s.sizeOfRawData != 0) imageEnd = std::max(imageEnd, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
    }
    const std::uint64_t appended = length > imageEnd ? length - imageEnd : 0;
    // The tag an installer's loader looks for.
    const bool installerTag =
        std::memcmp(headers.dosHeader.data() + vorn::pe::kInstallerTagOffset, vorn::pe::kInstallerTag, 4) == 0;
    const char* format = headers.pe32Plus ? "PE32+" : "PE32";
    const char* machine = MachineLabel(headers.machine);
    char machineHex[8];
    std::snprintf(machineHex, sizeof machineHex, "0x%04X", headers.machine);

    if (json) {
        const MemoryReserve memory;
        Json out = {{"file", ToUtf8(file)},
                    {"format", format},
                    {"machine", machine ? machine : machineHex},
                    {"dll", headers.IsDll()},
                    {"sections", Json::array()},
                    {"resourceSection", nullptr},
                    {"appendedBytes", appended},
                    {"installerTag", installerTag},
                    {"resources", Json::array()}};
        if (hasResources) {
            out["resourceSection"] = {{"rva", layout.resourceRva}, {"offset", layout.resourceOffset}, {"size", layout.resourceSize}};
        }
        for (const vorn::SectionHeader& s : headers.sections) {
            out["sections"].push_back({{"name", ToUtf8(s.Name())}, {"virtualAddress", s.virtualAddress},
                                       {"virtualSize", s.virtualSize}, {"rawOffset", s.pointerToRawData},
                                       {"rawSize", s.sizeOfRawData}});
        }
        for (const vorn::ResourceEntry& e : image.table.entries) {
            const char* label = e.typeId == -1 ? nullptr : vorn::pe::ResourceTypeLabel(e.typeId);
            out["resources"].push_back({{"type", IdOrName(e.typeId, e.typeName)},
                                        {"typeLabel", label ? Json(label) : Json(nullptr)},
                                        {"name", IdOrName(e.nameId, e.name)},
                                        {"language", e.language},
                                        {"codePage", e.codePage},
                                        {"size", e.size}});
        }
        PrintJson(out);
    } else {
        std::printf("%s\n  %s, %s%s\n\nsections (%zu)\n  %-8s  %10s  %10s  %10s  %10s\n", file.c_str(), format,
                    machine ? machine : machineHex, headers.IsDll() ? ", DLL" : "", headers.sections.size(), "name",
                    "virt addr", "virt size", "raw offset", "raw size");
        for (const vorn::SectionHeader& s : headers.sections) {
            std::printf("  %-8s  0x%08X  0x%08X  0x%08X  0x%08X\n", s.Name().c_str(), s.virtualAddress, s.virtualSize,
                        s.pointerToRawData, s.sizeOfRawData);
        }
        if (hasResources) {
            std::printf("\nresource section  RVA 0x%08X, file offset 0x%08X, %u bytes\n", layout.resourceRva,
                        layout.resourceOffset, layout.resourceSize);
        } else {
            std::printf("\nresource section  none\n");
        }
        std::printf("appended bytes    %llu\ninstaller tag     %s\n", static_cast<unsigned long long>(appended),
                    installerTag ? "yes" : "no");
        std::printf("\nresources (%d)\n  %-24s  %-16s  %8s  %9s  %10s\n", image.table.entryCount(), "type", "name",
                    "language", "code page", "size");
        for (const vorn::ResourceEntry& e : image.table.entries) {
            std::printf("  %-24s  %-16s  %8d  %9u  %10u\n", IdOrNameText(e.typeId, e.typeName, true).c_str(),
                        IdOrNameText(e.nameId, e.name, false).c_str(), e.language, e.codePage, e.size);
        }
    }
    vorn::CloseImage(image);
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
    const std::vector<std::string> names = vornutils::IconGroups(*image);
    if (json) {
        const MemoryReserve memory;
        Json groups = Json::array();
        for (const std::string& name : names) groups.push_back(name);
        PrintJson({{"file", ToUtf8(file)}, {"groups", groups}});
    } else {
        for (const std::string& name : names) std::printf("%s\n", name.c_str());
    }
    return 0;
}

struct FileCloser {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};

int RunExtractIcon(const std::string& file, const std::string& group, const std::string& output) {
    const auto image = vornutils::Image::Open(file);
    if (!image) return Report(image.error());
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
        return vorn::ToInt(ResultCode::FileAccessFailed);
    }
    std::printf("%s: %u images, %zu bytes written to %s\n", file.c_str(), vorn::LoadU16(ico.data() + vorn::kIconCountOffset),
                ico.size(), output.c_str());
    return 0;
}

// ---- Command line -----------------------------------------------------

int Run(int argc, char** argv) {
    const std::string version = std::string("vornres ") + VORNUTILS_VERSION + " (VornUtils " + VORNUTILS_VERSION + ")";
    CLI::App app{"Edits the resources of Windows programs and DLLs (PE32 and PE32+).", "vornres"};
    app.set_version_flag("--version", version, "Print the version and exit");
    app.require_subcommand(1);
    // On Windows CLI11 would take "/path" for an option; paths come first.
    app.allow_windows_style_options(false);
    app.footer("Exit status: 0 success; 1 the new resource section cannot be built (or would hold nothing); 2 out of "
               "memory; 3 not a program, or missing; 4 no resource section and no room for one; 5 cannot be read or "
               "written, or 2 GiB or larger; 6 resources before code; 7 no icon group to extract; 8 icon source or "
               "group not found; 9 damaged icon group; 10 unusable icon; 13 damaged resources; 14 version information "
               "too long; 15 damaged version information; 64 a usage error; 65 not found (--get's string, the "
               "resource or table of --language without --create, nothing to --delete, the resource named); 77 a signed file edited "
               "without --strip-signature or --keep-signature. The README lists them per command.\n"
               "vornres rcedit FILE ... takes the flags of rcedit (--set-version-string, --set-file-version, "
               "--set-product-version, --set-icon, --get-version-string).");

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

    if (argc > 1 && std::string_view(argv[1]) == "rcedit") {
        MoveLine line;
        return RunRcedit(argc, argv, MakeAccess(line));
    }
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
    // An edit of this file that was killed is finished before anything reads it.
    if (const int status = RecoverEdit(file); status != 0) return status;
    // Progress is for people watching a terminal, never for logs or pipes.
    MoveLine line;
    const vorn::ImageAccess access = MakeAccess(line);

    if (info->parsed()) return RunInfo(file, json);
    if (versionCommand->parsed()) return RunVersion(file, versionOptions, access);
    if (icon->parsed()) return RunIcon(file, from, fromModule, moduleOption->count() > 0, group, write);
    if (icons->parsed()) return RunIcons(file, json);
    return RunExtractIcon(file, group, output);
}

}  // namespace

int main(int argc, char** argv) {
    vorn::platform::ReportFileSizeLimitAsFailure();
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "vornres: out of memory; close other programs and try again\n");
        return vorn::ToInt(ResultCode::OutOfMemory);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vornres: internal error: %s\n", error.what());
        return kInternalError;
    }
}
