// Eye pictures and frame-number stamps of the test cameras.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "testcams/test_cameras.h"

#include "stereo_scene.h"

namespace {

// Renders eye `eye` as bottom-up B,G,R rows of `stride` bytes.
void renderEye(int eye, int width, int height, uint8_t* bgrBottomUp, std::ptrdiff_t stride) {
    stereo_scene::renderStereoEye(eye, width, height, bgrBottomUp, static_cast<int>(stride), 0);
}

using PictureKey = std::tuple<int, int, int, int>;  // eye, width, height, bit count

std::mutex& cacheLock() {
    static std::mutex lock;
    return lock;
}

std::map<PictureKey, std::shared_ptr<const std::vector<uint8_t>>>& cache() {
    static std::map<PictureKey, std::shared_ptr<const std::vector<uint8_t>>> pictures;
    return pictures;
}

}  // namespace

int testPictureStride(const TestPictureFormat& format) {
    return ((format.width * format.bitCount + 31) / 32) * 4;
}

size_t testPictureSize(const TestPictureFormat& format) {
    return static_cast<size_t>(testPictureStride(format)) * static_cast<size_t>(std::abs(format.height));
}

int stampCellWidth(int width) {
    return std::max(1, width / 32);
}

int stampRows(int height) {
    return std::min(8, std::abs(height));
}

std::shared_ptr<const std::vector<uint8_t>> testEyePicture(int eye, const TestPictureFormat& format) {
    const PictureKey key{eye, format.width, format.height, format.bitCount};
    {
        std::lock_guard<std::mutex> hold(cacheLock());
        auto found = cache().find(key);
        if (found != cache().end()) return found->second;
    }
    const int width = format.width;
    const int rows = std::abs(format.height);
    const std::ptrdiff_t bgrStride = ((width * 24 + 31) / 32) * 4;
    std::vector<uint8_t> bgr(static_cast<size_t>(bgrStride) * rows);
    renderEye(eye, width, rows, bgr.data(), bgrStride);

    auto picture = std::make_shared<std::vector<uint8_t>>(testPictureSize(format), 0);
    const int stride = testPictureStride(format);
    const int bytesPerPixel = format.bitCount / 8;
    for (int y = 0; y < rows; ++y) {
        // Bottom-up source row y is screen line rows-1-y; a top-down frame
        // keeps the screen's top line first.
        const int target = format.height < 0 ? rows - 1 - y : y;
        const uint8_t* from = bgr.data() + y * bgrStride;
        uint8_t* to = picture->data() + static_cast<size_t>(target) * stride;
        for (int x = 0; x < width; ++x) {
            std::memcpy(to + x * bytesPerPixel, from + 3 * x, 3);
            if (bytesPerPixel == 4) to[x * 4 + 3] = 0xFF;
        }
    }
    std::lock_guard<std::mutex> hold(cacheLock());
    auto inserted = cache().emplace(key, std::move(picture));
    return inserted.first->second;
}

void stampFrameNumber(uint8_t* frame, const TestPictureFormat& format, uint32_t frameNumber) {
    const int cell = stampCellWidth(format.width);
    const int bytesPerPixel = format.bitCount / 8;
    const int stride = testPictureStride(format);
    const int cells = std::min(32, format.width / cell);
    uint8_t* row = frame;
    for (int bit = 0; bit < cells; ++bit) {
        const uint8_t value = (frameNumber >> (31 - bit)) & 1u ? 0xFF : 0x00;
        std::memset(row + bit * cell * bytesPerPixel, value, static_cast<size_t>(cell) * bytesPerPixel);
    }
    const size_t stampBytes = static_cast<size_t>(cells) * cell * bytesPerPixel;
    for (int y = 1; y < stampRows(format.height); ++y)
        std::memcpy(frame + y * stride, row, stampBytes);
}

void renderTestFrame(int eye, const TestPictureFormat& format, uint32_t frameNumber, uint8_t* frame) {
    auto picture = testEyePicture(eye, format);
    std::memcpy(frame, picture->data(), picture->size());
    stampFrameNumber(frame, format, frameNumber);
}

uint32_t readFrameStamp(const uint8_t* row, int width, int bytesPerPixel) {
    const int cell = stampCellWidth(width);
    const int cells = std::min(32, width / cell);
    uint32_t value = 0;
    for (int bit = 0; bit < cells; ++bit) {
        const uint8_t* pixel = row + (bit * cell + cell / 2) * bytesPerPixel;
        const uint8_t largest = std::max({pixel[0], pixel[1], pixel[2]});
        if (largest >= 128) value |= 1u << (31 - bit);
    }
    return value;
}
