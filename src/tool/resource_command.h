// vornres resources and vornres resource: any resource by type, name and
// language, through the public API only.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tool/options.h"

namespace vorn::tool {

struct ResourceOptions {
    enum class Command { None, List, One };
    Command command = Command::None;
    std::string file;
    bool json = false;
    std::vector<std::string> get, set, remove;  // TYPE NAME
    std::string from;
    int language = -1;  // -1: the one Windows shows, or neutral for a new resource
    bool allLanguages = false;
    WriteOptions write;
};

// Adds the two commands to `app`; their options go to `options`, which
// must outlive the parse.
void AddResourcesCommand(CLI::App& app, ResourceOptions& options);

// Runs the command the parse chose.
int RunResources(const ResourceOptions& options);

}  // namespace vorn::tool
