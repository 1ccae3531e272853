// vornres version: the whole version resource, read and written, and the
// rcedit-compatible command over the same edits.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "image/image.h"
#include "tool/tool.h"

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
    bool quiet = false;  // no report of the result
    WriteOptions write;

    [[nodiscard]] bool Edits() const;
};

void AddVersionOptions(CLI::App& command, VersionOptions& options);

// Checks the combination of options; empty when it is sound.
std::string CheckVersionOptions(const VersionOptions& options);

// Shows the version information, or edits it: the whole edit is laid out
// and checked on the table before the one commit writes the file.
int RunVersion(const std::string& file, const VersionOptions& options, const ImageAccess& access);

// vornres rcedit FILE [--set-version-string KEY VALUE]... [--set-file-version V]
// [--set-product-version V] [--set-icon ICO] [--get-version-string KEY]:
// the version edits and the icon in one commit.
int RunRcedit(int argc, char** argv, const ImageAccess& access);

}  // namespace vorn::tool
