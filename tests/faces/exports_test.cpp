// The exports as a host reaches them: the shared library loaded at run time,
// each function resolved by name through a pointer declared like the header.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>

#include "vornutils.h"

namespace {

// Everything a host may resolve; each new export is added here.
const std::set<std::string> kExportedNames{"CUtil_11", "CUtil_12", "CUtil_13", "CUtil_14", "CUtil_21", "CUtil_22", "CUtil_23"};

using ExchangeFn = void(VORNUTILS_CDECL*)(int32_t*, int32_t*);
using NormalizeFn = void(VORNUTILS_CDECL*)(VornRect*, VornRect);
using OffsetFn = void(VORNUTILS_CDECL*)(VornRect*, VornRect, int32_t, int32_t);
using EqualFn = int32_t(VORNUTILS_CDECL*)(VornRect, VornRect);
static_assert(std::is_same_v<ExchangeFn, decltype(&CUtil_11)>);
static_assert(std::is_same_v<NormalizeFn, decltype(&CUtil_12)>);
static_assert(std::is_same_v<OffsetFn, decltype(&CUtil_13)>);
static_assert(std::is_same_v<EqualFn, decltype(&CUtil_14)>);

class Exports : public testing::Test {
protected:
    void SetUp() override {
        library_ = dlopen(VORNUTILS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (library_ != nullptr) dlclose(library_);
    }
    template <class Function>
    Function Resolve(const char* name) {
        return reinterpret_cast<Function>(dlsym(library_, name));
    }
    void* library_ = nullptr;
};

auto Tie(const VornRect& r) { return std::make_tuple(r.left, r.top, r.right, r.bottom); }

TEST_F(Exports, ExchangeSwapsAndLeavesAnAliasedValue) {
    const auto exchange = Resolve<ExchangeFn>("CUtil_11");
    ASSERT_NE(exchange, nullptr);
    int32_t a = 3;
    int32_t b = 7;
    exchange(&a, &b);
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 3);
    exchange(&a, &a);
    EXPECT_EQ(a, 7);
}

TEST_F(Exports, RectangleHelpers) {
    const auto normalize = Resolve<NormalizeFn>("CUtil_12");
    const auto offset = Resolve<OffsetFn>("CUtil_13");
    const auto equal = Resolve<EqualFn>("CUtil_14");
    ASSERT_NE(normalize, nullptr);
    ASSERT_NE(offset, nullptr);
    ASSERT_NE(equal, nullptr);

    // Neighbours catch a write past the one result rectangle.
    VornRect out[3] = {{-9, -9, -9, -9}, {-9, -9, -9, -9}, {-9, -9, -9, -9}};
    normalize(&out[1], VornRect{10, 20, 5, 30});
    EXPECT_EQ(Tie(out[1]), std::make_tuple(4, 20, 11, 30));
    offset(&out[1], VornRect{1, 2, 3, 4}, 10, -1);
    EXPECT_EQ(Tie(out[1]), std::make_tuple(11, 1, 13, 3));
    EXPECT_EQ(Tie(out[0]), std::make_tuple(-9, -9, -9, -9));
    EXPECT_EQ(Tie(out[2]), std::make_tuple(-9, -9, -9, -9));

    const VornRect base{1, 2, 3, 4};
    EXPECT_EQ(equal(base, VornRect{1, 2, 3, 4}), 1);
    // Each coordinate on its own must decide.
    for (int field = 0; field < 4; ++field) {
        VornRect other = base;
        int32_t* coordinates[] = {&other.left, &other.top, &other.right, &other.bottom};
        *coordinates[field] += 1;
        EXPECT_EQ(equal(base, other), 0) << "coordinate " << field;
    }
}

// The defined dynamic symbols of the library, read with nm, without versions.
std::set<std::string> DefinedSymbols(std::set<std::string>* functions) {
    const std::string command = std::string("nm -D --defined-only '") + VORNUTILS_SHARED_LIBRARY + "' 2>/dev/null";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> all;
    if (!pipe) return all;
    char line[1024];
    while (fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) continue;
        name = name.substr(0, name.find('@'));
        all.insert(name);
        // Global (capital) text and indirect functions are callable entry points.
        if ((type == "T" || type == "W" || type == "i") && name[0] != '_') functions->insert(name);
    }
    return all;
}

TEST_F(Exports, NothingElseLooksLikeApi) {
    std::set<std::string> functions;
    const std::set<std::string> all = DefinedSymbols(&functions);
    ASSERT_FALSE(all.empty()) << "nm listed no symbols";
    EXPECT_EQ(functions, kExportedNames);
    for (const std::string& name : all) EXPECT_EQ(name.find("vorn"), std::string::npos) << name;
    for (const std::string& name : kExportedNames) EXPECT_NE(dlsym(library_, name.c_str()), nullptr) << name;
    EXPECT_EQ(dlsym(library_, "_ZN4vorn16OpenImageForEditEPKcRNS_5ImageEb"), nullptr);
    EXPECT_EQ(dlsym(library_, "_ZN4vorn13NormalizeRectE8VornRect"), nullptr);
}

}  // namespace
