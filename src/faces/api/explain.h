// Why an operation failed, in words for a user: what the file is, what went
// wrong and what to do. Looks at the file where the code alone cannot say.
#pragma once

#include <string>

#include "base/result_code.h"
#include "vornutils/editing.h"

namespace vorn::api {

// What the failing operation was doing, for messages that depend on it.
enum class Step { Read, Write, ReplaceIcon, IconFile, FirstGroupOfModule, ExtractIcon };

std::string Explain(const std::string& file, ResultCode code, Step step);

// The public API's Error for `code`, explained.
vornutils::Error Failure(ResultCode code, vornutils::FileRole role, const std::string& path, std::string what, Step step);

}  // namespace vorn::api
