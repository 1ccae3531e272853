// A test-side writer of .ico files: a 6-byte header (reserved, type, count),
// 16-byte entries (width, height, colours, reserved, planes, bpp, size,
// offset), then the images wherever the test wants them.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace vorn::test {

struct IcoImage {
    IcoImage(std::uint8_t w, std::uint8_t h, std::vector<std::uint8_t> bytes, std::uint16_t bpp = 32)
        : width(w), height(h), bitsPerPixel(bpp), data(std::move(bytes)) {}

    std::uint8_t width;  // 0 stands for 256
    std::uint8_t height;
    std::uint8_t colours = 0;
    std::uint8_t reserved = 0;
    std::uint16_t planes = 1;
    std::uint16_t bitsPerPixel;
    std::vector<std::uint8_t> data;
    std::optional<std::uint32_t> sizeField;    // written instead of data.size()
    std::optional<std::uint32_t> offsetField;  // written instead of the real offset
};

enum class IcoPlacement {
    InEntryOrder,  // images follow the directory in entry order
    Reversed,      // the last entry's image first, so offsets decrease
};

struct IcoLayout {
    std::uint16_t reserved = 0;
    std::uint16_t type = 1;            // 1 icon, 2 cursor
    std::optional<std::uint16_t> count;  // written instead of images.size()
    std::vector<IcoImage> images;
    IcoPlacement placement = IcoPlacement::InEntryOrder;
};

// A recognisable image payload of `size` bytes, different for each `seed`.
std::vector<std::uint8_t> IconPayload(std::size_t size, std::uint8_t seed);

// A valid 32-bit icon image (BITMAPINFOHEADER, colour pixels, AND mask) that
// independent icon readers accept.
std::vector<std::uint8_t> IconBitmap(std::uint8_t width, std::uint8_t height, std::uint8_t seed);

std::vector<std::uint8_t> WriteIco(const IcoLayout& layout);

// File offsets at which WriteIco placed each image's bytes, in entry order.
std::vector<std::uint32_t> IcoImageOffsets(const IcoLayout& layout);

}  // namespace vorn::test
