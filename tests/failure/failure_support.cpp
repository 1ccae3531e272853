#include "failure_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

int VornresMain(int argc, char** argv);

namespace vorn::test {

ByteVec ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    ByteVec bytes(error ? 0 : size);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void Invocation::Bind() {
    line_ = args;
    line_.insert(line_.begin(), "vornres");
    argv_.clear();
    for (std::string& arg : line_) argv_.push_back(arg.data());
    argv_.push_back(nullptr);
}

int Invocation::operator()() {
    if (direct) return direct();
    std::fflush(stdout);
    std::fflush(stderr);
    const int out = dup(1), err = dup(2), null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    const int status = VornresMain(static_cast<int>(argv_.size()) - 1, argv_.data());
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    close(null);
    return status;
}

}  // namespace vorn::test
