// PNG snapshots and the Y4M video.
#include "picture_files.h"

#include <algorithm>
#include <cstring>
#include <memory>

#ifdef DV_HOST_HAVE_LIBPNG
#include <png.h>
#endif

namespace {

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

// One top-down RGB row from a bottom-up BGR picture.
void rgbRow(const BgrPicture& picture, int line, uint8_t* out) {
    const uint8_t* in =
        picture.pixels + static_cast<std::ptrdiff_t>(picture.height - 1 - line) * picture.stride;
    for (int x = 0; x < picture.width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

#ifndef DV_HOST_HAVE_LIBPNG
uint32_t crcTable[256];
bool crcReady = false;

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t n) {
    if (!crcReady) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            crcTable[i] = c;
        }
        crcReady = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = crcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

uint32_t getBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void putChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    putBe32(out, static_cast<uint32_t>(data.size()));
    const size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    putBe32(out, crc32Update(0, out.data() + typeAt, 4 + data.size()));
}
#endif

[[maybe_unused]] const uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

}  // namespace

#ifdef DV_HOST_HAVE_LIBPNG

const char* pngEncoderName() {
    return "libpng";
}

bool writePngFile(const std::string& path, const BgrPicture& picture) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(picture.width) * 3);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file.get());
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height),
                 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < picture.height; ++y) {
        rgbRow(picture, y, row.data());
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fflush(file.get()) == 0;
}

bool readPngFile(const std::string& path, int* width, int* height, std::vector<uint8_t>* rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb->assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, rgb->data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    return true;
}

#else

const char* pngEncoderName() {
    return "built-in (stored deflate blocks)";
}

bool writePngFile(const std::string& path, const BgrPicture& picture) {
    std::vector<uint8_t> out(pngSignature, pngSignature + 8);
    std::vector<uint8_t> header;
    putBe32(header, static_cast<uint32_t>(picture.width));
    putBe32(header, static_cast<uint32_t>(picture.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter choice, no interlace
    putChunk(out, "IHDR", header);

    // The raw scan lines (filter type 0 each), then zlib: header, stored
    // blocks of at most 65535 bytes, Adler-32.
    const size_t rowBytes = static_cast<size_t>(picture.width) * 3 + 1;
    std::vector<uint8_t> raw(rowBytes * static_cast<size_t>(picture.height));
    for (int y = 0; y < picture.height; ++y) {
        raw[rowBytes * y] = 0;
        rgbRow(picture, y, &raw[rowBytes * y + 1]);
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        z.push_back(at + n == raw.size() ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n));
        z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n));
        z.push_back(static_cast<uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                 raw.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    putBe32(z, (b << 16) | a);
    putChunk(out, "IDAT", z);
    putChunk(out, "IEND", {});

    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    return std::fwrite(out.data(), 1, out.size(), file.get()) == out.size() && std::fflush(file.get()) == 0;
}

bool readPngFile(const std::string& path, int* width, int* height, std::vector<uint8_t>* rgb) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() < 8 || std::memcmp(bytes.data(), pngSignature, 8) != 0) return false;
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> z;
    for (size_t at = 8; at + 12 <= bytes.size();) {
        const uint32_t length = getBe32(&bytes[at]);
        if (length > bytes.size() - at - 12) return false;
        const uint8_t* type = &bytes[at + 4];
        const uint8_t* data = &bytes[at + 8];
        if (std::memcmp(type, "IHDR", 4) == 0) {
            if (length != 13 || data[8] != 8 || data[9] != 2 || data[12] != 0) return false;
            w = getBe32(data);
            h = getBe32(data + 4);
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            z.insert(z.end(), data, data + length);
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            break;
        }
        at += 12 + length;
    }
    if (w == 0 || h == 0 || w > 100000 || h > 100000 || z.size() < 2) return false;
    std::vector<uint8_t> raw;
    size_t at = 2;
    for (bool last = false; !last;) {
        if (at + 5 > z.size() || (z[at] & 0x06) != 0) return false;  // stored blocks only
        last = (z[at] & 1) != 0;
        const size_t n = z[at + 1] | (size_t{z[at + 2]} << 8);
        at += 5;
        if (n > z.size() - at) return false;
        raw.insert(raw.end(), z.begin() + static_cast<std::ptrdiff_t>(at),
                   z.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    const size_t rowBytes = size_t{w} * 3 + 1;
    if (raw.size() != rowBytes * h) return false;
    rgb->clear();
    for (uint32_t y = 0; y < h; ++y) {
        if (raw[rowBytes * y] != 0) return false;  // filter type 0 only
        rgb->insert(rgb->end(), raw.begin() + static_cast<std::ptrdiff_t>(rowBytes * y + 1),
                    raw.begin() + static_cast<std::ptrdiff_t>(rowBytes * (y + 1)));
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

#endif

// ---- Y4M -------------------------------------------------------------------

void rgbToYCbCr(int r, int g, int b, uint8_t* y, uint8_t* cb, uint8_t* cr) {
    auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    *y = clamp((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
    *cb = clamp((-11059 * r - 21709 * g + 32768 * b + (128 << 16) + 32768) >> 16);
    *cr = clamp((32768 * r - 27439 * g - 5329 * b + (128 << 16) + 32768) >> 16);
}

Y4mWriter::~Y4mWriter() {
    close();
}

bool Y4mWriter::open(const std::string& path, int w, int h, int64_t frameInterval) {
    close();
    failed = false;
    frames = 0;
    if (w <= 0 || h <= 0) return false;
    file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    width = w;
    height = h;
    chromaWidth = (w + 1) / 2;
    chromaHeight = (h + 1) / 2;
    planes.assign(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(chromaWidth) * chromaHeight, 0);
    long long num = 10000000, den = frameInterval > 0 ? frameInterval : 333333;
    if (den == 333333 || den == 333334) {  // 30 frames per second as the cameras state it
        num = 30;
        den = 1;
    }
    if (std::fprintf(file, "YUV4MPEG2 W%d H%d F%lld:%lld Ip A1:1 C420jpeg XYSCSS=420JPEG XCOLORRANGE=FULL\n",
                     w, h, num, den) < 0)
        failed = true;
    return !failed;
}

bool Y4mWriter::writeFrame(const BgrPicture& picture) {
    if (!file || picture.width != width || picture.height != height || !picture.pixels) return false;
    uint8_t* yPlane = planes.data();
    uint8_t* cbPlane = yPlane + static_cast<size_t>(width) * height;
    uint8_t* crPlane = cbPlane + static_cast<size_t>(chromaWidth) * chromaHeight;
    // Output line `line` (top first) is buffer row height-1-line.
    auto pixel = [&](int x, int line) {
        x = std::min(x, width - 1);
        line = std::min(line, height - 1);
        return picture.pixels + static_cast<std::ptrdiff_t>(height - 1 - line) * picture.stride + 3 * x;
    };
    for (int cy = 0; cy < chromaHeight; ++cy) {
        for (int cx = 0; cx < chromaWidth; ++cx) {
            int r4 = 0, g4 = 0, b4 = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    const int x = 2 * cx + dx, line = 2 * cy + dy;
                    const uint8_t* p = pixel(x, line);
                    r4 += p[2];
                    g4 += p[1];
                    b4 += p[0];
                    if (x < width && line < height) {
                        uint8_t unusedCb, unusedCr;
                        rgbToYCbCr(p[2], p[1], p[0], &yPlane[static_cast<size_t>(line) * width + x],
                                   &unusedCb, &unusedCr);
                    }
                }
            }
            // The mean of the four pixels: scale the 16-bit weights by a further 4.
            auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
            const size_t c = static_cast<size_t>(cy) * chromaWidth + cx;
            cbPlane[c] = clamp((-11059 * r4 - 21709 * g4 + 32768 * b4 + (128 << 18) + (1 << 17)) >> 18);
            crPlane[c] = clamp((32768 * r4 - 27439 * g4 - 5329 * b4 + (128 << 18) + (1 << 17)) >> 18);
        }
    }
    if (std::fputs("FRAME\n", file) < 0 ||
        std::fwrite(planes.data(), 1, planes.size(), file) != planes.size()) {
        failed = true;
        return false;
    }
    ++frames;
    return true;
}

bool Y4mWriter::close() {
    if (!file) return !failed;
    if (std::fclose(file) != 0) failed = true;
    file = nullptr;
    return !failed;
}
