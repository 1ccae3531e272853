#include "support/ico_writer.h"

#include <algorithm>

namespace vorn::test {

namespace {

void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    Put16(out, at, static_cast<std::uint16_t>(v));
    Put16(out, at + 2, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace

std::vector<std::uint8_t> IconPayload(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
    return out;
}

std::vector<std::uint8_t> IconBitmap(std::uint8_t width, std::uint8_t height, std::uint8_t seed) {
    const std::size_t w = width == 0 ? 256 : width;
    const std::size_t h = height == 0 ? 256 : height;
    const std::size_t maskRow = (w + 31) / 32 * 4;  // rows padded to 32 bits
    std::vector<std::uint8_t> out(40 + w * h * 4 + maskRow * h, 0);
    Put32(out, 0, 40);
    Put32(out, 4, static_cast<std::uint32_t>(w));
    Put32(out, 8, static_cast<std::uint32_t>(2 * h));  // colour and mask stacked
    Put16(out, 12, 1);
    Put16(out, 14, 32);
    const std::vector<std::uint8_t> pixels = IconPayload(w * h * 4, seed);
    std::copy(pixels.begin(), pixels.end(), out.begin() + 40);
    return out;
}

std::vector<std::uint32_t> IcoImageOffsets(const IcoLayout& layout) {
    const std::size_t n = layout.images.size();
    std::vector<std::uint32_t> offsets(n);
    auto at = static_cast<std::uint32_t>(6 + 16 * n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = layout.placement == IcoPlacement::Reversed ? n - 1 - k : k;
        offsets[i] = at;
        at += static_cast<std::uint32_t>(layout.images[i].data.size());
    }
    return offsets;
}

std::vector<std::uint8_t> WriteIco(const IcoLayout& layout) {
    const std::vector<std::uint32_t> offsets = IcoImageOffsets(layout);
    std::size_t total = 6 + 16 * layout.images.size();
    for (const IcoImage& image : layout.images) total += image.data.size();
    std::vector<std::uint8_t> out(total, 0);
    Put16(out, 0, layout.reserved);
    Put16(out, 2, layout.type);
    Put16(out, 4, layout.count.value_or(static_cast<std::uint16_t>(layout.images.size())));
    for (std::size_t i = 0; i < layout.images.size(); ++i) {
        const IcoImage& image = layout.images[i];
        const std::size_t e = 6 + 16 * i;
        out[e] = image.width;
        out[e + 1] = image.height;
        out[e + 2] = image.colours;
        out[e + 3] = image.reserved;
        Put16(out, e + 4, image.planes);
        Put16(out, e + 6, image.bitsPerPixel);
        Put32(out, e + 8, image.sizeField.value_or(static_cast<std::uint32_t>(image.data.size())));
        Put32(out, e + 12, image.offsetField.value_or(offsets[i]));
        std::copy(image.data.begin(), image.data.end(), out.begin() + offsets[i]);
    }
    return out;
}

}  // namespace vorn::test
