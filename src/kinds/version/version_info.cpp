#include "kinds/version/version_info.h"

#include <cstdio>

#include "platform/platform.h"

namespace vorn {

ResultCode CreateDefaultVersionInfo(VersionInfo& record, std::uint16_t language, std::uint16_t codePage,
                                    std::uint32_t fileVersionMS, std::uint32_t fileVersionLS) {
    try {
        VersionInfo made;
        made.fileVersionMS = fileVersionMS;
        made.fileVersionLS = fileVersionLS;
        made.fileOS = kVosWindows32;

        VersionItem translation;
        translation.key = "Translation";
        translation.kind = ItemKind::VarItem;
        translation.varValue = language | (std::uint32_t{codePage} << 16);
        made.items.push_back(translation);
        if (language != 0 || codePage != 0) {
            translation.varValue = 0;
            made.items.push_back(translation);
        }

        char text[64];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", fileVersionMS >> 16, fileVersionMS & 0xFFFF,
                      fileVersionLS >> 16, fileVersionLS & 0xFFFF);
        VersionItem fileVersion;
        fileVersion.key = "FileVersion";
        fileVersion.value = text;
        fileVersion.language = language;
        fileVersion.codePage = codePage;
        made.items.push_back(std::move(fileVersion));

        record = std::move(made);
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode SetVersionString(VersionInfo& record, std::uint16_t language, std::uint16_t codePage,
                            const std::string& key, const std::string& value) {
    try {
        for (VersionItem& item : record.items) {
            if (item.kind == ItemKind::StringItem && item.language == language && item.codePage == codePage &&
                platform::CompareIgnoreAsciiCase(item.key, key) == 0) {
                item.value = value;
                return ResultCode::Success;
            }
        }
        VersionItem added;
        // A new string joins the table its pair already has, if any.
        for (const VersionItem& item : record.items) {
            if (item.kind == ItemKind::StringItem && item.language == language && item.codePage == codePage) {
                added.reported = item.reported;
                added.block = item.block;
                break;
            }
        }
        added.key = key;
        added.value = value;
        added.language = language;
        added.codePage = codePage;
        record.items.push_back(std::move(added));
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

void FreeVersionInfo(VersionInfo& record) { record = VersionInfo{}; }

}  // namespace vorn
