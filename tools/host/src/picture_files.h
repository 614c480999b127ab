// Picture and video files of the host: PNG snapshots and a Y4M video of
// 24-bit B, G, R bottom-up pictures (as they travel through the graph).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A picture as it travels through the graph: B, G, R, row 0 = bottom line.
struct BgrPicture {
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;
};

// Writes `picture` as an 8-bit RGB PNG (top line first, as PNG stores it).
// With libpng (POSIX) the data are deflate-compressed; without it (the
// Windows build) the encoder here stores them uncompressed in deflate's
// stored blocks, which every PNG reader accepts. False on an I/O error.
bool writePngFile(const std::string& path, const BgrPicture& picture);

// Reads an 8-bit RGB PNG written by writePngFile (with libpng: any PNG,
// converted to RGB) into `rgb` (top line first, width x 3 bytes per row).
// False when the file cannot be read or uses what the built-in reader does
// not decode (compressed data, filters, other colour types).
bool readPngFile(const std::string& path, int* width, int* height, std::vector<uint8_t>* rgb);

// Whether writePngFile compresses (libpng) or stores.
const char* pngEncoderName();

// A YUV4MPEG2 video, 4:2:0 with JPEG (full-range BT.601) YCbCr and centred
// chroma ("C420jpeg", marked XCOLORRANGE=FULL): what mpv and ffmpeg play as
// yuvj420p. Frames are
// flipped to top line first. Odd sizes are padded to even ones by repeating
// the last column and row.
class Y4mWriter {
public:
    Y4mWriter() = default;
    ~Y4mWriter();
    Y4mWriter(const Y4mWriter&) = delete;
    Y4mWriter& operator=(const Y4mWriter&) = delete;

    // Creates the file and writes the stream header. The frame rate is
    // 10^7 / frameInterval (100-ns units) as a fraction. False on an I/O error.
    bool open(const std::string& path, int width, int height, int64_t frameInterval);
    // Appends one frame of the size given to open (false otherwise or on an
    // I/O error). Allocates nothing: the planes are sized by open.
    bool writeFrame(const BgrPicture& picture);
    // Flushes and closes; false if any write failed.
    bool close();
    long framesWritten() const { return frames; }

private:
    FILE* file = nullptr;
    int width = 0, height = 0;
    int chromaWidth = 0, chromaHeight = 0;
    std::vector<uint8_t> planes;  // Y, Cb, Cr of one frame
    long frames = 0;
    bool failed = false;
};

// Full-range BT.601 (JFIF) conversion of one pixel, rounded.
void rgbToYCbCr(int r, int g, int b, uint8_t* y, uint8_t* cb, uint8_t* cr);
