// The icon kind through the public API.
#include "base/text_codec.h"
#include "faces/api/explain.h"
#include "faces/api/state.h"
#include "format/pe_format.h"
#include "kinds/icon/icon_export.h"
#include "kinds/icon/icon_replace.h"
#include "vornutils/editing.h"

namespace vornutils {

namespace {

using vorn::ResultCode;
using vorn::api::Step;

// A group name as the tables hold it; one the system's code page cannot
// hold names no group.
std::string SystemName(const std::string& group) {
    if (group.empty()) return group;
    return vorn::Utf8ToSystem(group).value_or("\x01");
}

// The group gives way to `set`; a file without an icon gets group 1.
Result<void> Replace(Image& target, vorn::IconSet& set) {
    ImageInternals::Table& table = ImageInternals::Of(target).table;
    vorn::ImageAccess access;
    access.createResources = true;
    const ResultCode code = vorn::ReplaceMainIconGroup(table.image, set, access);
    if (code != ResultCode::Success) {
        return vorn::api::Failure(code, FileRole::Target, table.image.path, "replace the icon", Step::ReplaceIcon);
    }
    table.changed = true;
    return {};
}

}  // namespace

Result<void> ReplaceMainIcon(Image& image, const std::string& icoPath) {
    vorn::IconSet set;
    // The images stay in the .ico file until the commit reads them into place.
    if (const ResultCode code = vorn::ReadIconFile(set, icoPath.c_str(), true); code != ResultCode::Success) {
        return vorn::api::Failure(code, FileRole::Source, icoPath, "read the icon", Step::IconFile);
    }
    return Replace(image, set);
}

Result<void> ReplaceMainIconFromModule(Image& image, const std::string& modulePath, const std::string& group) {
    vorn::IconSet set;
    const std::string name = SystemName(group);
    const ResultCode code = vorn::ReadModuleIconGroup(set, modulePath.c_str(), name.empty() ? nullptr : name.c_str(),
                                                      vorn::ImageKinds::Pe32OrPe32Plus);
    if (code != ResultCode::Success) {
        return vorn::api::Failure(code, FileRole::Source, modulePath, "read the icon group",
                       group.empty() ? Step::FirstGroupOfModule : Step::ReplaceIcon);
    }
    return Replace(image, set);
}

Result<std::vector<std::byte>> ExtractIcon(const Image& image, const std::string& group) {
    const vorn::Image& open = ImageInternals::Of(image).table.image;
    std::vector<std::byte> ico;
    const std::string name = SystemName(group);
    const ResultCode code = vorn::ExportIconGroup(open.table, name.empty() ? nullptr : name.c_str(), open.fileLength, ico);
    if (code != ResultCode::Success) return vorn::api::Failure(code, FileRole::Target, open.path, "extract the icon", Step::ExtractIcon);
    return ico;
}

std::vector<std::string> IconGroups(const Image& image) {
    std::vector<std::string> names;
    for (const vorn::ResourceEntry& entry : ImageInternals::Of(image).table.image.table.entries) {
        if (entry.typeId == vorn::pe::kRtGroupIcon) names.push_back(vorn::SystemToUtf8(vorn::IconGroupName(entry)));
    }
    return names;
}

}  // namespace vornutils
