// One libFuzzer target; VORNUTILS_FUZZ_BODY names the body it runs.
#include <cstdio>
#include <cstdlib>

#include "bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const char* broken = vorn::fuzz::VORNUTILS_FUZZ_BODY(data, size)) {
        std::fprintf(stderr, "vornutils fuzz: %s\n", broken);
        std::abort();
    }
    return 0;
}
