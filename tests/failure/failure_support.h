// What the failure and hostile-size tests share: one call of an export or
// of vornres, prepared before the allocations that count.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/pe_writer.h"

namespace vorn::test {

ByteVec ReadFile(const std::filesystem::path& path);

// vornres with `args` (its own name left out), or a direct call. Bind()
// builds the argument vector, so that calling allocates nothing of the
// test's own; vornres's output is thrown away.
struct Invocation {
    std::vector<std::string> args;
    std::function<int()> direct;

    void Bind();
    int operator()();

private:
    std::vector<std::string> line_;
    std::vector<char*> argv_;
};

}  // namespace vorn::test
