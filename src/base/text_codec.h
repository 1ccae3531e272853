// The one UTF-8 and UTF-16 codec of the library.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string WideToUtf8(std::u16string_view wide);
// UTF-8 to UTF-16; nullopt for text that is not UTF-8 (overlong forms and
// encoded surrogates included).
std::optional<std::u16string> Utf8ToWide(std::string_view utf8);

}  // namespace vorn
