#include "faces/exports/version_exports.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "kinds/version/version_info.h"

namespace vorn {

namespace {

constexpr std::uint16_t kDefaultLanguage = 1033;
constexpr std::uint16_t kDefaultCodePage = 1252;

}  // namespace

std::string VersionSlotString(const VersionBlockText& text) {
    return std::string(text, strnlen(text, sizeof(VersionBlockText) - 1));
}

ResultCode QueryVersion(const char* path, VersionInfoBlock* block, const ImageAccess& access) {
    if (path == nullptr || *path == '\0') return ResultCode::NotPeImage;
    if (block == nullptr) return ResultCode::BadVersionRecord;
    VersionInfo record;
    ResultCode code = LoadVersionInfo(path, record, access.kinds);
    if (code == ResultCode::NoVersionResource) {
        code = CreateDefaultVersionInfo(record, kDefaultLanguage, kDefaultCodePage, 0x00010000, 0);
    }
    if (code != ResultCode::Success) return code;

    VersionInfoBlock filled;
    std::memset(&filled, 0, sizeof filled);
    filled.versionMajor = static_cast<std::uint16_t>(record.fileVersionMS >> 16);
    filled.versionMinor = static_cast<std::uint16_t>(record.fileVersionMS & 0xFFFF);
    filled.versionRelease = static_cast<std::uint16_t>(record.fileVersionLS >> 16);
    filled.versionBuild = static_cast<std::uint16_t>(record.fileVersionLS & 0xFFFF);
    bool translationTaken = false;
    for (const VersionItem& item : record.items) {
        // Strings of later StringTables are kept for a rewrite, not reported.
        if (!item.reported) continue;
        if (!translationTaken && item.key == "Translation") {
            std::uint32_t value = item.varValue;
            if (item.kind == ItemKind::StringItem) {
                // A string of that name: the first four bytes of its text.
                unsigned char bytes[4] = {};
                std::memcpy(bytes, item.value.data(), std::min<std::size_t>(4, item.value.size()));
                value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
            }
            filled.language = static_cast<std::uint16_t>(value & 0xFFFF);
            filled.codePage = static_cast<std::uint16_t>(value >> 16);
            translationTaken = true;
        }
        if (item.kind != ItemKind::StringItem) continue;
        for (const VersionTextSlot& slot : kVersionTextSlots) {
            if (item.key == slot.key) {
                VersionBlockText& text = filled.*slot.slot;
                std::memset(text, 0, sizeof text);
                std::memcpy(text, item.value.data(), std::min(item.value.size(), sizeof text - 1));
            }
        }
    }
    if (!translationTaken) filled.language = kDefaultLanguage;
    *block = filled;
    return ResultCode::Success;
}

ResultCode UpdateVersion(const char* path, const VersionInfoBlock* block, const ImageAccess& access) {
    if (path == nullptr) return ResultCode::NotPeImage;
    if (block == nullptr) return ResultCode::BadVersionRecord;
    VersionInfo record;
    ResultCode code = LoadVersionInfo(path, record, access.kinds);
    if (code == ResultCode::NoVersionResource) code = CreateDefaultVersionInfo(record, block->language, block->codePage, 0, 0);
    if (code != ResultCode::Success) return code;

    record.fileVersionMS = (std::uint32_t{block->versionMajor} << 16) | block->versionMinor;
    record.fileVersionLS = (std::uint32_t{block->versionRelease} << 16) | block->versionBuild;
    for (const VersionTextSlot& slot : kVersionTextSlots) {
        const std::string text = VersionSlotString(block->*slot.slot);
        if (text.empty()) continue;
        code = SetVersionString(record, block->language, block->codePage, slot.key, text);
        if (code != ResultCode::Success) return code;
    }
    return WriteVersionInfo(path, record, access);
}

}  // namespace vorn
