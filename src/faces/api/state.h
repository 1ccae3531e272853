// What the public image and resource set hold: an open image of the image
// layer, whose table is the resource set.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image/image.h"
#include "vornutils/editing.h"

namespace vornutils {

struct ResourceSet::Table {
    vorn::Image image;

    [[nodiscard]] const vorn::ResourceEntry* Find(const ResourceKey& key) const;
    // The entry of `key`, added when there is none; null when the key's
    // texts cannot be held in the system's code page.
    vorn::ResourceEntry* Place(const ResourceKey& key, std::optional<std::uint32_t> codePage);
};

struct Image::State {
    std::string path;
    ResourceSet::Table table;
    ResourceSet set{table};
    ImageInfo info;
    std::vector<std::string> notes;
};

}  // namespace vornutils
