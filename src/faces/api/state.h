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
    bool changed = false;  // anything was set or removed since the open

    [[nodiscard]] const vorn::ResourceEntry* Find(const ResourceKey& key) const;
    // The entry of `key`, added when there is none; null when the key's
    // texts cannot be held in the system's code page.
    vorn::ResourceEntry* Place(const ResourceKey& key, std::optional<std::uint32_t> codePage);
    // Gives an entry the type, name and language of `key`; false when its
    // texts cannot be held in the system's code page.
    static bool Label(vorn::ResourceEntry& entry, const ResourceKey& key);
};

struct Image::State {
    std::string path;
    ResourceSet::Table table;
    ResourceSet set{table};
    ImageInfo info;
    std::vector<std::string> notes;
};

// How the kinds' functions reach what an Image holds.
struct ImageInternals {
    using Table = ResourceSet::Table;
    static Image::State& Of(Image& image) { return *image.state_; }
    static const Image::State& Of(const Image& image) { return *image.state_; }
};

// The key of a resource of the table.
ResourceKey KeyOf(const vorn::ResourceEntry& entry);

}  // namespace vornutils
