#include "vornutils/text.h"

#include "base/text_codec.h"
#include "platform/platform.h"

namespace vornutils {

std::string WideToUtf8(std::u16string_view wide) { return vorn::WideToUtf8(wide); }
std::optional<std::u16string> Utf8ToWide(std::string_view utf8) { return vorn::Utf8ToWide(utf8); }
std::string SystemToUtf8(std::string_view text) { return vorn::SystemToUtf8(text); }
std::optional<std::u16string> SystemToWide(std::string_view text) { return vorn::platform::AnsiToWide(text); }

std::string WideToDisplay(std::u16string_view wide) {
    auto text = vorn::platform::WideToAnsi(wide);
    return text ? std::move(*text) : vorn::WideToUtf8(wide);
}

}  // namespace vornutils
