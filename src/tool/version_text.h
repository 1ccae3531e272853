// Version information in words: the names of flags, file types and systems
// that the options take and the listing shows, and the listing itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vornutils/version.h"

namespace vorn::tool {

// A number, decimal or 0x hex, up to 0xFFFFFFFF.
std::optional<std::uint32_t> ParseNumber(std::string_view text);
// Comma-separated flag names (debug, prerelease, ...), or a number.
std::optional<std::uint32_t> ParseFlags(std::string_view text);
// A file type name (app, dll, ...), or a number.
std::optional<std::uint32_t> ParseType(std::string_view text);

// "1.2.3.4" of the two halves of a version.
std::string VersionText(std::uint32_t ms, std::uint32_t ls);

std::string Hex(const vornutils::version::Raw& bytes);
std::optional<vornutils::version::Raw> FromHex(std::string_view hex);
// A value whose length is a multiple of 4 as pairs of 16-bit words, as
// Translation holds language and code page; nullopt for others.
std::optional<std::vector<std::pair<std::uint16_t, std::uint16_t>>> WordPairs(const vornutils::version::Raw& value);

// The listing of `vornres version FILE`; null: the file has none.
void PrintVersion(const std::string& file, const vornutils::VersionEntry* entry);

}  // namespace vorn::tool
