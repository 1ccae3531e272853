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

// Text of the system's code page (UTF-8 on POSIX) as UTF-8; kept as it is
// where it cannot be converted.
std::string SystemToUtf8(std::string_view text);
// UTF-8 as text of the system's code page; nullopt where that cannot hold it.
std::optional<std::string> Utf8ToSystem(std::string_view utf8);

}  // namespace vorn
