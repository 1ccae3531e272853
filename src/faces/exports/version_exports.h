// The two version exports: reading version information into the host's
// block, and writing the block's version information into a file.
#pragma once

#include <string>

#include "base/result_code.h"
#include "image/image.h"
#include "vornutils.h"

namespace vorn {

// The block's six texts and the keys they are stored under, in this order.
using VersionBlockText = char[256];
struct VersionTextSlot {
    const char* key;
    VersionBlockText VersionInfoBlock::*slot;
};
inline constexpr VersionTextSlot kVersionTextSlots[] = {
    {"FileVersion", &VersionInfoBlock::fileVersion},       {"FileDescription", &VersionInfoBlock::fileDescription},
    {"LegalCopyright", &VersionInfoBlock::legalCopyright}, {"CompanyName", &VersionInfoBlock::companyName},
    {"Comments", &VersionInfoBlock::comments},             {"LegalTrademarks", &VersionInfoBlock::legalTrademarks},
};

// The text of a slot: up to its NUL, at most 255 bytes.
std::string VersionSlotString(const VersionBlockText& text);

ResultCode QueryVersion(const char* path, VersionInfoBlock* block, const ImageAccess& access = {});
ResultCode UpdateVersion(const char* path, const VersionInfoBlock* block, const ImageAccess& access = {});

}  // namespace vorn
