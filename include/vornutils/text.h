// Text conversions for programs over the editing library: its texts are
// UTF-8, version texts UTF-16, and a command line holds the system's code
// page (the ANSI code page on Windows, UTF-8 elsewhere).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vornutils {

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string WideToUtf8(std::u16string_view wide);
// nullopt for text that is not UTF-8.
std::optional<std::u16string> Utf8ToWide(std::string_view utf8);

// Text of the system's code page as UTF-8; kept as it is where it cannot
// be converted.
std::string SystemToUtf8(std::string_view text);
// nullopt where the text is not of the system's code page.
std::optional<std::u16string> SystemToWide(std::string_view text);
// UTF-16 for a terminal: the system's code page, or UTF-8 where that
// cannot hold the text.
std::string WideToDisplay(std::u16string_view wide);

}  // namespace vornutils
