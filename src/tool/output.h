// What the commands of vornres print: JSON, and failures in the tool's own
// words.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vornutils/editing.h"

namespace vorn::tool {

// Objects keep their keys in the order they were written.
using Json = nlohmann::ordered_json;

// Text that is not UTF-8 is replaced as it is dumped.
void PrintJson(const Json& json);
// A type or name: its number, or its text.
Json IdJson(const vornutils::ResourceId& id);

// Reports a failure as "vornres: FILE: message"; returns `status`.
int FailWith(const std::string& file, std::string_view message, int status);

// nlohmann::json and CLI11 do not survive an allocation failure everywhere:
// json leaks the object it had begun when its initializer-list constructor
// fails, and allocates while it destroys a value, and CLI11 copies strings
// in noexcept functions while it parses, so that a failure there ends the
// process. While a MemoryReserve lives, the first failure is met by giving
// back a reserve held for it, so that the work in hand completes.
class MemoryReserve {
public:
    MemoryReserve();
    ~MemoryReserve();
    MemoryReserve(const MemoryReserve&) = delete;
    MemoryReserve& operator=(const MemoryReserve&) = delete;
};

}  // namespace vorn::tool
