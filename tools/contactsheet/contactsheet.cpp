// dv_contactsheet [output.png]: renders the built-in stereo scene at both
// resolutions, composes it in every image mode and writes one labelled
// contact sheet (default contact-sheet.png in the current folder).
#include <png.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "framework/runtime_settings.h"
#include "picture_support/picture_support.h"
#include "stereo_scene.h"

namespace {

// A bottom-up 24-bit picture with its media type.
struct Frame {
    Frame(int w, int h)
        : width(w),
          height(h),
          stride(static_cast<int>(pix::pictureStride(w))),
          bytes(static_cast<size_t>(stride) * h),
          type(w, h) {}
    int width, height, stride;
    std::vector<BYTE> bytes;
    picture_support::Rgb24Type type;
};

// The sheet: a top-down RGB image.
struct Sheet {
    Sheet(int w, int h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3, 40) {}
    int width, height;
    std::vector<uint8_t> rgb;

    // Places a bottom-up BGR frame with its top-left corner at (x, y).
    void place(const Frame& f, int x, int y) {
        for (int row = 0; row < f.height; ++row) {
            const uint8_t* src = f.bytes.data() + static_cast<size_t>(f.height - 1 - row) * f.stride;
            uint8_t* dst = rgb.data() + (static_cast<size_t>(y + row) * width + x) * 3;
            for (int px = 0; px < f.width; ++px) {
                dst[3 * px] = src[3 * px + 2];
                dst[3 * px + 1] = src[3 * px + 1];
                dst[3 * px + 2] = src[3 * px];
            }
        }
    }

    // Writes a label (drawn into a small bottom-up strip, then placed).
    void label(const std::string& text, int x, int y, int maxWidth) {
        Frame strip(maxWidth, 18);
        std::memset(strip.bytes.data(), 40, strip.bytes.size());
        stereo_scene::drawText(strip.bytes.data(), strip.stride, strip.width, strip.height, 2, 2, text, 2,
                               255, 255, 255);
        place(strip, x, y);
    }

    bool writePng(const char* path) const {
        FILE* file = std::fopen(path, "wb");
        if (!file) return false;
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png ? png_create_info_struct(png) : nullptr;
        if (!png || !info || setjmp(png_jmpbuf(png))) {
            png_destroy_write_struct(&png, &info);
            std::fclose(file);
            return false;
        }
        png_init_io(png, file);
        png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < height; ++y)
            png_write_row(png, const_cast<png_bytep>(rgb.data() + static_cast<size_t>(y) * width * 3));
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        return std::fclose(file) == 0;
    }
};

constexpr int labelHeight = 22;
constexpr int gap = 8;

}  // namespace

int main(int argc, char** argv) {
    const char* output = argc > 1 ? argv[1] : "contact-sheet.png";
    const int frameNumber = 7;
    const int sizes[2][2] = {{320, 240}, {640, 480}};
    // Layout: inputs (four 320 pictures), the 320 modes in a 6 x 2 grid, the
    // 640 modes in a 4 x 3 grid.
    const int sheetWidth = gap + 4 * (640 + gap);
    const int sheetHeight =
        gap + (240 + labelHeight + gap) * 3 + (480 + labelHeight + gap) * 3 + 2 * labelHeight;
    Sheet sheet(sheetWidth, sheetHeight);
    int top = gap;

    for (int s = 0; s < 2; ++s) {
        const int w = sizes[s][0], h = sizes[s][1];
        Frame leftEye(w, h), rightEye(w, h);
        stereo_scene::renderStereoEye(0, w, h, leftEye.bytes.data(), leftEye.stride, frameNumber);
        stereo_scene::renderStereoEye(1, w, h, rightEye.bytes.data(), rightEye.stride, frameNumber);
        const std::string sizeText = std::to_string(w) + "x" + std::to_string(h);
        if (s == 0) {
            sheet.label("INPUT LEFT " + sizeText, gap, top, 320);
            sheet.place(leftEye, gap, top + labelHeight);
            sheet.label("INPUT RIGHT " + sizeText, gap + (320 + gap), top, 320);
            sheet.place(rightEye, gap + (320 + gap), top + labelHeight);
            top += labelHeight + 240 + gap;
        }
        sheet.label("IMAGE MODES AT " + sizeText, gap, top, 640);
        top += labelHeight;
        applySizeIndex(s);
        const int columns = s == 0 ? 6 : 4;
        for (int mode = 0; mode < imageModeCount; ++mode) {
            Frame left(w, h), right(w, h);
            left.bytes = leftEye.bytes;
            right.bytes = rightEye.bytes;
            picture_support::BufferSample ls(left.bytes), rs(right.bytes);
            composeStereoFrame(&ls, &rs, StereoFormats{&left.type.mt, &right.type.mt},
                               CompositionChoice{mode, false});
            const int x = gap + (mode % columns) * (w + gap);
            const int y = top + (mode / columns) * (h + labelHeight + gap);
            sheet.label(std::to_string(mode) + " " + imageModeName(mode), x, y, w);
            sheet.place(left, x, y + labelHeight);
        }
        top += (12 / columns) * (h + labelHeight + gap);
    }
    releaseWorkImages();
    if (!sheet.writePng(output)) {
        std::fprintf(stderr, "dv_contactsheet: cannot write %s\n", output);
        return 1;
    }
    std::printf("%s\n", output);
    return 0;
}
