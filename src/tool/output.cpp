#include "tool/output.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace vorn::tool {

void PrintJson(const Json& json) {
    std::printf("%s\n", json.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

Json IdJson(const vornutils::ResourceId& id) { return id.IsNumber() ? Json(id.Number()) : Json(id.Text()); }

int FailWith(const std::string& file, std::string_view message, int status) {
    std::fprintf(stderr, "vornres: %s: %.*s\n", file.c_str(), static_cast<int>(message.size()), message.data());
    return status;
}

namespace {

constexpr std::size_t kReserveSize = 1u << 20;
int reserveDepth = 0;
void* reserve = nullptr;
std::new_handler handlerBefore = nullptr;

void GiveBackReserve() {
    std::free(reserve);
    reserve = nullptr;
    std::set_new_handler(handlerBefore);
}

}  // namespace

MemoryReserve::MemoryReserve() {
    if (reserveDepth++ > 0) return;
    reserve = std::malloc(kReserveSize);
    if (reserve != nullptr) handlerBefore = std::set_new_handler(&GiveBackReserve);
}

MemoryReserve::~MemoryReserve() {
    if (--reserveDepth == 0 && reserve != nullptr) GiveBackReserve();
}

}  // namespace vorn::tool
