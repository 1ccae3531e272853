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

#include "icon/icon_export.h"
#include "icon/icon_replace.h"
#include "icon/icon_set.h"
#include "pe/byte_view.h"
#include "pe/image.h"
#include "pe/pe_format.h"
#include "platform/platform.h"
#include "version/version_exports.h"

namespace {

using vorn::kVersionTextSlots;
using vorn::ResultCode;
using vorn::VersionBlockText;
using vorn::VersionSlotString;
using vorn::VersionTextSlot;
using Json = nlohmann::json;

// sysexits.h values, outside the library's result codes 1..16.
constexpr int kUsageError = 64;
constexpr int kInternalError = 70;

// ---- Text -------------------------------------------------------------

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

// Library texts are in the ANSI code page (UTF-8 on POSIX); JSON wants
// UTF-8. What cannot be converted is kept and replaced when dumped.
std::string ToUtf8(std::string_view ansi) {
    const auto wide = vorn::platform::AnsiToWide(ansi);
    return wide ? WideToUtf8(*wide) : std::string(ansi);
}

void PrintJson(const Json& json) {
    std::printf("%s\n", json.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

// ---- Failures ---------------------------------------------------------

// What the failing command was doing, for messages that depend on it.
enum class Job { Read, Write, ReplaceIcon, IconFile, FirstGroupOfModule, ExtractIcon };

// vornres reads and edits PE32 and PE32+ images alike.
constexpr vorn::ImageKinds kKinds = vorn::ImageKinds::Pe32OrPe32Plus;

// Why `file` is no image vornres can open (NotPeImage): what the system
// says of the path first, then what is wrong with its headers.
const char* ExplainNotImage(const std::string& file) {
    switch (vorn::platform::InspectPath(file.c_str())) {
        case vorn::platform::PathState::Missing: return "does not exist; check the path";
        case vorn::platform::PathState::Directory: return "is a directory, not a program; name a file";
        case vorn::platform::PathState::Unreadable: return "cannot be read; check its permissions";
        case vorn::platform::PathState::File: break;
    }
    switch (vorn::DiagnoseImage(file.c_str(), kKinds)) {
        case vorn::HeaderProblem::Empty: return "is empty; it is not a Windows program";
        case vorn::HeaderProblem::Truncated:
            return "is truncated: it ends inside its PE headers; use a complete copy of the file";
        case vorn::HeaderProblem::UnknownOptionalHeader:
            return "is a PE file of a kind vornres does not know (neither PE32 nor PE32+)";
        case vorn::HeaderProblem::NotPe:
        case vorn::HeaderProblem::Pe32Plus:
        case vorn::HeaderProblem::None: break;
    }
    return "is not a Windows program or DLL (no PE image); check the path";
}

// True when `file` ends before the resource section its headers describe.
bool ResourcesCutShort(const std::string& file) {
    vorn::Image image;
    vorn::ImageLayout layout;
    return vorn::OpenImageHeaders(file.c_str(), image, true, kKinds) == ResultCode::Success &&
           vorn::ReadImageLayout(image.headers, layout) == ResultCode::Success &&
           std::uint64_t{layout.resourceOffset} + layout.resourceSize > image.fileLength;
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
        case ResultCode::FileAccessFailed:
            return job == Job::Read || job == Job::ExtractIcon
                       ? "cannot be opened or read, or is 2 GiB or larger; check that it is readable"
                       : "cannot be opened for writing or written; check that it is not read-only or in use";
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

int Fail(const std::string& file, ResultCode code, Job job) {
    std::fprintf(stderr, "vornres: %s: %s\n", file.c_str(), Explain(file, code, job).c_str());
    return vorn::ToInt(code);
}

// ---- Progress ---------------------------------------------------------

// Moves shorter than this are over before a line would be worth reading.
constexpr std::uint64_t kProgressMinimum = 4ull << 20;

struct MoveLine {
    int width = 0;  // characters on the line now; 0 when nothing is drawn
    std::uint64_t shownMiB = 0;
};

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

// How every command reaches its files: PE32 and PE32+, and on a terminal
// the progress of long moves.
vorn::ImageAccess MakeAccess(MoveLine& line) {
    vorn::ImageAccess access;
    access.kinds = kKinds;
    if (vorn::platform::StandardErrorIsTerminal()) {
        access.hooks.moved = &DrawMove;
        access.hooks.context = &line;
    }
    return access;
}

// ---- info -------------------------------------------------------------

// A type or name: its id, or its text when it is a string (id -1).
Json IdOrName(std::int32_t id, const vorn::ResourceName& name) {
    if (id != -1) return id;
    return name ? ToUtf8(*name) : std::string();
}

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

// ---- version ----------------------------------------------------------

const VersionTextSlot* FindSlot(std::string_view name) {
    for (const VersionTextSlot& slot : kVersionTextSlots) {
        if (vorn::platform::CompareIgnoreAsciiCase(slot.key, name) == 0) return &slot;
    }
    return nullptr;
}

// "NAME=TEXT" with a known NAME and a TEXT that fits the block's 256 bytes.
std::string CheckSet(const std::string& value) {
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos) return "expected NAME=TEXT, got '" + value + "'";
    const std::string name = value.substr(0, equals);
    if (FindSlot(name) == nullptr) {
        return "unknown name '" + name + "'; use FileVersion, FileDescription, LegalCopyright, CompanyName, Comments or LegalTrademarks";
    }
    if (value.size() - equals - 1 >= sizeof(VersionBlockText)) return "the text of " + name + " is 256 bytes or more; at most 255 fit";
    return {};
}

// "A.B.C.D", each part 0..65535.
std::optional<std::array<std::uint16_t, 4>> ParseFileVersion(std::string_view text) {
    std::array<std::uint16_t, 4> parts{};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t end = i + 1 < parts.size() ? text.find('.') : text.size();
        const std::string_view part = text.substr(0, end);
        if (end == std::string_view::npos || part.empty() || part.size() > 5) return std::nullopt;
        std::uint32_t value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
        }
        if (value > 0xFFFF) return std::nullopt;
        parts[i] = static_cast<std::uint16_t>(value);
        text.remove_prefix(std::min(text.size(), end + 1));
    }
    return parts;
}

struct VersionEdit {
    std::vector<std::string> sets;
    std::string fileVersion;
    int language = -1;  // -1: keep the file's
    int codePage = -1;

    [[nodiscard]] bool Any() const { return !sets.empty() || !fileVersion.empty() || language >= 0 || codePage >= 0; }
};

void PrintVersion(const std::string& file, const VersionInfoBlock& block, bool json) {
    char number[32];
    std::snprintf(number, sizeof number, "%u.%u.%u.%u", block.versionMajor, block.versionMinor, block.versionRelease,
                  block.versionBuild);
    if (json) {
        Json strings = Json::object();
        for (const VersionTextSlot& slot : kVersionTextSlots) {
            strings[slot.key] = ToUtf8(VersionSlotString(block.*slot.slot));
        }
        PrintJson({{"file", ToUtf8(file)}, {"fileVersion", number}, {"language", block.language},
                   {"codePage", block.codePage}, {"strings", strings}});
        return;
    }
    std::printf("%s\n  %-16s %s\n  %-16s %u (0x%04X)\n  %-16s %u\n", file.c_str(), "file version", number, "language",
                block.language, block.language, "code page", block.codePage);
    for (const VersionTextSlot& slot : kVersionTextSlots) {
        std::printf("  %-16s %s\n", slot.key, VersionSlotString(block.*slot.slot).c_str());
    }
}

int RunVersion(const std::string& file, const VersionEdit& edit, bool json, const vorn::ImageAccess& access) {
    VersionInfoBlock block{};
    if (const ResultCode code = vorn::QueryVersion(file.c_str(), &block, access); code != ResultCode::Success) {
        return Fail(file, code, Job::Read);
    }
    if (edit.Any()) {
        // Parsing has checked every value; what the user names replaces the
        // file's, the rest is written back as it was read.
        for (const std::string& set : edit.sets) {
            const std::size_t equals = set.find('=');
            VersionBlockText& text = block.*FindSlot(std::string_view(set).substr(0, equals))->slot;
            std::memset(text, 0, sizeof text);
            set.copy(text, sizeof text - 1, equals + 1);
        }
        if (const auto parts = ParseFileVersion(edit.fileVersion); parts) {
            block.versionMajor = (*parts)[0];
            block.versionMinor = (*parts)[1];
            block.versionRelease = (*parts)[2];
            block.versionBuild = (*parts)[3];
        }
        if (edit.language >= 0) block.language = static_cast<std::uint16_t>(edit.language);
        if (edit.codePage >= 0) block.codePage = static_cast<std::uint16_t>(edit.codePage);
        if (const ResultCode code = vorn::UpdateVersion(file.c_str(), &block, access); code != ResultCode::Success) {
            return Fail(file, code, Job::Write);
        }
        if (const ResultCode code = vorn::QueryVersion(file.c_str(), &block, access); code != ResultCode::Success) {
            return Fail(file, code, Job::Read);
        }
    }
    PrintVersion(file, block, json);
    return 0;
}

// ---- icons ------------------------------------------------------------

// True when `file` opens for editing, as ReplaceMainIcon opens its target.
bool OpensForEdit(const std::string& file) {
    vorn::Image image;
    const bool opens = vorn::OpenImageForEdit(file.c_str(), image, false, kKinds) == ResultCode::Success;
    vorn::CloseImage(image);
    return opens;
}

int RunIcon(const std::string& file, const std::string& from, const std::string& fromModule, bool fromModuleGiven,
            const std::string& group, const vorn::ImageAccess& access) {
    const std::string& source = fromModuleGiven ? fromModule : from;
    const bool firstGroup = fromModuleGiven && group.empty();
    const ResultCode code = vorn::ReplaceMainIcon(file.c_str(), source.c_str(),
                                                  fromModuleGiven ? vorn::IconSourceModule : vorn::IconSourceFile,
                                                  firstGroup ? nullptr : group.c_str(), access);
    if (code == ResultCode::Success) {
        std::printf("%s: main icon replaced from %s\n", file.c_str(), source.c_str());
        return 0;
    }
    if (code == ResultCode::IconSourceNotFound || code == ResultCode::BadIconSource) {
        return Fail(source, code, fromModuleGiven ? Job::ReplaceIcon : Job::IconFile);
    }
    // To find a module's first group the library reads it as an image and
    // passes on that image's codes, the same codes the target can fail with.
    if (firstGroup && code != ResultCode::NoIconGroup && code != ResultCode::NotIconGroup && OpensForEdit(file)) {
        return Fail(source, code, Job::FirstGroupOfModule);
    }
    return Fail(file, code, Job::ReplaceIcon);
}

int RunIcons(const std::string& file, bool json) {
    std::vector<std::string> names;
    if (const ResultCode code = vorn::ListIconGroups(file.c_str(), names, kKinds); code != ResultCode::Success) {
        return Fail(file, code, Job::Read);
    }
    if (json) {
        Json groups = Json::array();
        for (const std::string& name : names) groups.push_back(ToUtf8(name));
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
    std::vector<std::byte> ico;
    if (const ResultCode code = vorn::ExportIconGroup(file.c_str(), group.c_str(), ico, kKinds); code != ResultCode::Success) {
        return Fail(file, code, Job::ExtractIcon);
    }
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
    CLI::App app{"Edits the resources of Windows programs and DLLs (PE32 and PE32+) in place.", "vornres"};
    app.set_version_flag("--version", version, "Print the version and exit");
    app.require_subcommand(1);
    // On Windows CLI11 would take "/path" for an option; paths come first.
    app.allow_windows_style_options(false);
    app.footer("Exit status: 0 on success, 1..16 the library's result code, 64 a usage error.");

    std::string file;
    bool json = false;
    const auto addFile = [&](CLI::App* command) { command->add_option("FILE", file, "The program")->required(); };
    const auto addJson = [&](CLI::App* command) { command->add_flag("--json", json, "Print one JSON object"); };

    CLI::App* info = app.add_subcommand("info", "Show the sections, the resource section and the resources");
    addFile(info);
    addJson(info);

    VersionEdit edit;
    CLI::App* versionCommand = app.add_subcommand("version", "Show the version information, or change it");
    addFile(versionCommand);
    addJson(versionCommand);
    versionCommand->add_option("--set", edit.sets, "Set a text: FileVersion, FileDescription, LegalCopyright, "
                                                   "CompanyName, Comments or LegalTrademarks (any case); an empty TEXT "
                                                   "leaves the file's text as it is")
        ->type_name("NAME=TEXT")
        ->check(CLI::Validator([](std::string& value) { return CheckSet(value); }, "", "NAME=TEXT"));
    versionCommand->add_option("--file-version", edit.fileVersion, "Set the four numbers of the file version")
        ->type_name("A.B.C.D")
        ->check(CLI::Validator(
            [](std::string& value) {
                return ParseFileVersion(value) ? std::string() : "'" + value + "' is not A.B.C.D with each part 0..65535";
            },
            "", "A.B.C.D"));
    versionCommand->add_option("--language", edit.language, "Set the language id")->check(CLI::Range(0, 65535));
    versionCommand->add_option("--code-page", edit.codePage, "Set the code page")->check(CLI::Range(0, 65535));
    versionCommand->footer("Without --set, --file-version, --language or --code-page the version information is shown. "
                           "Otherwise what is not named keeps the file's value, and only non-empty texts are written: "
                           "an empty TEXT leaves the file's text as it is.");

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

    CLI::App* icons = app.add_subcommand("icons", "List the icon groups, one name per line");
    addFile(icons);
    addJson(icons);

    std::string output;
    CLI::App* extract = app.add_subcommand("extract-icon", "Write an icon group as an .ico file");
    addFile(extract);
    extract->add_option("--group", group, "A name, or #12 for id 12 (default: the first group)");
    extract->add_option("-o,--output", output, "The .ico file to write")->required()->type_name("OUT.ico");

    try {
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

    // Progress is for people watching a terminal, never for logs or pipes.
    MoveLine line;
    const vorn::ImageAccess access = MakeAccess(line);

    if (info->parsed()) return RunInfo(file, json);
    if (versionCommand->parsed()) return RunVersion(file, edit, json, access);
    if (icon->parsed()) return RunIcon(file, from, fromModule, moduleOption->count() > 0, group, access);
    if (icons->parsed()) return RunIcons(file, json);
    return RunExtractIcon(file, group, output);
}

}  // namespace

int main(int argc, char** argv) {
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
