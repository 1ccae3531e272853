// Inputs that once broke the library, each kept under the name of what it
// broke and run through the operation that broke it. A folder holds the
// inputs of one operation; any file added there is run too. The folders
// named after a fuzz target run through that target's own body.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/bodies.h"
#include "vornutils.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<char>;

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> Inputs(const char* folder) {
    std::vector<fs::path> inputs;
    if (!fs::is_directory(fs::path(VORNUTILS_REGRESSIONS) / folder)) return inputs;
    for (const auto& entry : fs::directory_iterator(fs::path(VORNUTILS_REGRESSIONS) / folder)) inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

class Regressions : public testing::Test {
protected:
    void SetUp() override {
        library_ = dlopen(VORNUTILS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        query_ = reinterpret_cast<decltype(&CUtil_22)>(dlsym(library_, "CUtil_22"));
        update_ = reinterpret_cast<decltype(&CUtil_23)>(dlsym(library_, "CUtil_23"));
        ASSERT_TRUE(query_ != nullptr && update_ != nullptr);
        work_ = fs::temp_directory_path() / ("vornutils-regressions-" + std::to_string(getpid()));
        fs::create_directories(work_);
    }
    void TearDown() override {
        fs::remove_all(work_);
        if (library_ != nullptr) dlclose(library_);
    }

    void* library_ = nullptr;
    decltype(&CUtil_22) query_ = nullptr;
    decltype(&CUtil_23) update_ = nullptr;
    fs::path work_;
};

// The version read, then written back as read: either the write succeeds and
// the file still reads as the same version information, or it fails and
// the file is as it was. Never a success that leaves no image, and never a
// file grown far beyond what the resources need.
TEST_F(Regressions, VersionWrittenBackAsRead) {
    for (const fs::path& input : Inputs("version-roundtrip")) {
        SCOPED_TRACE(input.filename().string());
        const fs::path copy = work_ / input.filename();
        fs::copy_file(input, copy, fs::copy_options::overwrite_existing);
        const Bytes before = ReadAll(copy);
        VersionInfoBlock block{};
        if (query_(copy.c_str(), &block) != VornSuccess) continue;
        const int32_t written = update_(copy.c_str(), &block);
        const Bytes after = ReadAll(copy);
        if (written != VornSuccess) {
            EXPECT_EQ(after, before) << "failed with " << written << " and changed the file";
            continue;
        }
        VersionInfoBlock again{};
        ASSERT_EQ(query_(copy.c_str(), &again), VornSuccess) << "the written file no longer reads";
        EXPECT_EQ(std::memcmp(&block, &again, sizeof block), 0);
        EXPECT_LT(after.size(), before.size() + (1u << 20));
    }
}

// What a campaign found, run through the code of the target that found it.
TEST(FuzzFindings, EachRunsCleanThroughItsTarget) {
    for (const vorn::fuzz::Target& target : vorn::fuzz::kTargets) {
        for (const fs::path& input : Inputs(target.name)) {
            const Bytes bytes = ReadAll(input);
            const char* broken = target.body(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            EXPECT_EQ(broken, nullptr) << target.name << "/" << input.filename().string() << ": " << broken;
        }
    }
}

}  // namespace
