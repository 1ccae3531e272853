// vornres version: the whole version resource, read and written.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tool/options.h"
#include "vornutils/version.h"

namespace vorn::tool {

struct VersionOptions {
    bool json = false;
    std::string get;
    std::vector<std::string> sets;     // KEY=TEXT
    std::vector<std::string> removes;  // KEY
    std::string fileVersion;
    std::string productVersion;
    bool fixedOnly = false;  // the version options set the fixed numbers only
    std::string fileFlags;
    std::string fileType;
    int language = -1;  // -1: what Windows shows
    int codePage = -1;  // -1: the table's, or 1200 for a new one
    bool create = false;
    bool allLanguages = false;
    std::string fromJson;
    bool deleteResource = false;  // --delete
    WriteOptions write;

    [[nodiscard]] bool Edits() const;
};

void AddVersionOptions(CLI::App& command, VersionOptions& options);

// Checks the combination of options; empty when it is sound.
std::string CheckVersionOptions(const VersionOptions& options);

// The edit the options describe, or the message of a usage error.
std::optional<std::string> ChangesOf(const VersionOptions& options, vornutils::VersionChanges& changes);

// Reports a failure of a version edit, with what the options can do about
// it; a resource or table the options name that the file lacks is
// kNotFound.
int ReportVersionFailure(const vornutils::Error& error);

// Prints the value of one string of the version information shown (or of
// --language): 0, or kNotFound once reported.
int PrintVersionString(const vornutils::Image& image, const VersionOptions& options);

// Shows the version information, or edits it: the whole edit is laid out
// and checked before the one commit writes the file.
int RunVersion(const std::string& file, const VersionOptions& options);

}  // namespace vorn::tool
