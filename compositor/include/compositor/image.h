// Plain image descriptors over memory owned by someone else.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pix {

// An 8-bit image with `channels` interleaved channels (3: bytes B, G, R).
// Row y starts at data + y * stride; rows are in buffer order (row 0 is the
// first row in memory, which for a bottom-up bitmap is the bottom line on
// screen). A default-constructed view is empty ("does not exist").
struct ImageView {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::ptrdiff_t stride = 0;
    uint8_t* data = nullptr;

    explicit operator bool() const { return data != nullptr && width > 0 && height > 0; }
    uint8_t* row(int y) const { return data + static_cast<std::ptrdiff_t>(y) * stride; }
    bool sameSize(const ImageView& o) const { return width == o.width && height == o.height; }
    std::size_t byteSize() const {
        return static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    }
};

// A rectangle in buffer coordinates (x from the first pixel of a row, y from
// the first row in memory).
struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Bytes per row of a 24-bit picture: width x 3 rounded up to a multiple of 4.
constexpr std::ptrdiff_t pictureStride(int width) {
    return (static_cast<std::ptrdiff_t>(width) * 3 + 3) & ~static_cast<std::ptrdiff_t>(3);
}

}  // namespace pix
