// Prints the layout and the resource table of a PE32 file, as the library
// reads them.
#include <cstdio>
#include <string>

#include "image/image.h"
#include "format/pe_format.h"

namespace {

std::string Label(std::int32_t id, const vorn::ResourceName& name, bool isType) {
    if (id == -1 && name) return "\"" + *name + "\"";
    std::string text = std::to_string(id);
    const char* label = isType ? vorn::pe::ResourceTypeLabel(id) : nullptr;
    if (label != nullptr) text += std::string(" ") + label;
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    vorn::Image image;
    const vorn::ResultCode code = vorn::OpenImageForEdit(argv[1], image, true);
    if (code != vorn::ResultCode::Success) {
        std::fprintf(stderr, "%s: cannot read its resources (result code %d)\n", argv[1], vorn::ToInt(code));
        return vorn::ToInt(code);
    }
    const vorn::ImageLayout& layout = image.layout;
    std::printf("%s\n", argv[1]);
    std::printf("  sections %d, file alignment 0x%X, section alignment 0x%X\n", layout.sectionCount,
                layout.fileAlignment, layout.sectionAlignment);
    std::printf("  resources at RVA 0x%X, file offset 0x%X, %u bytes\n", layout.resourceRva, layout.resourceOffset,
                layout.resourceSize);
    const vorn::ResourceTable& table = image.table;
    std::printf("  %d resources of %d types%s%s\n", table.entryCount(), table.typeCount,
                table.hasIcons ? ", icons" : "", table.hasVersion ? ", version information" : "");
    std::printf("  %-24s %-14s %8s %9s %8s\n", "type", "name", "language", "code page", "size");
    for (const vorn::ResourceEntry& entry : table.entries) {
        std::printf("  %-24s %-14s %8d %9u %8u\n", Label(entry.typeId, entry.typeName, true).c_str(),
                    Label(entry.nameId, entry.name, false).c_str(), entry.language, entry.codePage, entry.size);
    }
    vorn::CloseImage(image);
    return 0;
}
