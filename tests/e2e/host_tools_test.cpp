// The host program's own pieces: command line, PNG snapshots (the built-in
// encoder and reader that the Windows build uses) and the Y4M video.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef DV_TEST_LIBPNG
#include <png.h>
#endif

#include "components.h"
#include "options.h"
#include "picture_files.h"

namespace {

// --left/--right as the run and settings commands resolve them, over a list
// with two webcams of one model.
TEST(HostCameraPair, TwoCamerasOfOneModelAreTwoCameras) {
    std::vector<VideoDevice> devices;
    for (const char* name : {"Test Camera A", "vivid", "Test Camera B", "vivid"})
        devices.push_back(VideoDevice{name, nullptr});
    const struct {
        const char* left;
        const char* right;
        int wantLeft, wantRight;
        bool same;
    } cases[] = {
        {"vivid", "vivid", 1, 3, false},       // the first is left, the next of that name right
        {"VIVID", "viv", 1, 3, false},         // spelt differently, still the two of one model
        {"Camera A", "Camera A", 0, 0, true},  // one camera with its name alone
        {"Test Camera A", "camera a", 0, 0, true},
        {"Camera A", "vivid", 0, 1, false},
        {"", "vivid", -1, 1, false},
        {"Nothing", "Nothing", -1, -1, true},  // equal texts naming nothing
        {"Nothing", "vivid", -1, 1, false},
        {"Camera", "vivid", -1, 1, false},  // ambiguous part of a name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.left) + " / " + c.right);
        const CameraPair pair = resolveCameraPair(devices, c.left, c.right);
        EXPECT_EQ(pair.left, c.wantLeft);
        EXPECT_EQ(pair.right, c.wantRight);
        EXPECT_EQ(pair.same, c.same);
    }
    EXPECT_EQ(nameOccurrence(devices, 3), 1);
    EXPECT_EQ(nthDeviceNamed(devices, "vivid", 1), 3);
    EXPECT_EQ(nthDeviceNamed(devices, "vivid", 2), -1);
}

bool parse(std::vector<std::string> args, HostOptions* options, std::string* error) {
    return parseHostOptions(args, options, error);
}

TEST(HostOptions, RunOptionsAreParsed) {
    HostOptions o;
    std::string error;
    ASSERT_TRUE(
        parse({"--mode", "7", "--swap", "1", "--size", "640x480", "--left", "Cam L", "--right", "Cam R",
               "--seconds", "1.5", "--frames", "12", "--snapshot-every", "0", "--out", "x/y"},
              &o, &error))
        << error;
    EXPECT_EQ(o.command, HostCommand::run);
    EXPECT_EQ(o.mode, 7);
    EXPECT_EQ(o.swap, 1);
    EXPECT_EQ(o.sizeIndex, 1);
    EXPECT_EQ(o.leftName, "Cam L");
    EXPECT_EQ(o.rightName, "Cam R");
    EXPECT_DOUBLE_EQ(o.seconds, 1.5);
    EXPECT_EQ(o.maxFrames, 12);
    EXPECT_EQ(o.snapshotEvery, 0);
    EXPECT_EQ(o.outDir, "x/y");

    HostOptions defaults;
    ASSERT_TRUE(parse({}, &defaults, &error));
    EXPECT_EQ(defaults.mode, -1);
    EXPECT_EQ(defaults.swap, -1);
    EXPECT_EQ(defaults.sizeIndex, -1);
    EXPECT_EQ(defaults.outDir, "duoview2-out");
}

TEST(HostOptions, CommandsAndTheirOwnOptions) {
    HostOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--list"}, &o, &error));
    EXPECT_EQ(o.command, HostCommand::list);
    ASSERT_TRUE(parse({"settings", "--mode", "2", "--dialog"}, &o, &error));
    EXPECT_EQ(o.command, HostCommand::settings);
    EXPECT_TRUE(o.dialog);
    EXPECT_EQ(o.mode, 2);
    EXPECT_FALSE(parse({"--dialog"}, &o, &error));
    EXPECT_FALSE(parse({"settings", "--list"}, &o, &error));
    ASSERT_TRUE(parse({"--unregister"}, &o, &error));
    EXPECT_EQ(o.command, HostCommand::unregister);
}

TEST(HostOptions, BadValuesAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--mode", "12"},  {"--mode", "-1"},      {"--mode", "nothing"}, {"--swap", "2"},
        {"--size", "2"},   {"--size", "800x600"}, {"--seconds", "0"},    {"--seconds", "abc"},
        {"--frames", "0"}, {"--left", ""},        {"--out", ""},         {"--mode"},
        {"--bogus"},       {"settings", "extra"}, {"--trace", "4"},
    };
    for (const auto& args : bad) {
        HostOptions o;
        std::string error;
        EXPECT_FALSE(parse(args, &o, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(HostOptions, TraceLevelIsOptionalAndLeavesTheNextArgumentAlone) {
    struct Case {
        std::vector<std::string> args;
        int level;
        HostCommand command;
    };
    const Case cases[] = {
        {{}, -1, HostCommand::run},
        {{"--trace"}, 2, HostCommand::run},
        {{"--trace", "0"}, 0, HostCommand::run},
        {{"--trace", "3", "--frames", "5"}, 3, HostCommand::run},
        {{"--trace", "--list"}, 2, HostCommand::list},
        {{"settings", "--trace", "1"}, 1, HostCommand::settings},
    };
    for (const Case& c : cases) {
        HostOptions o;
        std::string error;
        ASSERT_TRUE(parse(c.args, &o, &error)) << error;
        EXPECT_EQ(o.traceLevel, c.level) << c.args.size();
        EXPECT_EQ(o.command, c.command) << c.args.size();
    }
}

// --output and its companions; a run with --output and no limit goes on
// until interrupted. Where no V4L2 devices exist the option is refused.
TEST(HostOptions, OutputOptionsAndTheUnboundedRun) {
    struct Case {
        std::vector<std::string> args;
        bool accepted;
        bool unbounded;
        const char* format;
        bool record;
    };
#ifdef __linux__
    const Case cases[] = {
        {{}, true, false, "yuyv", false},
        {{"--output", "/dev/video5"}, true, true, "yuyv", false},
        {{"--output", "Vanto 3D Virtual Camera2", "--seconds", "2"}, true, false, "yuyv", false},
        {{"--frames", "3", "--output", "/dev/video5"}, true, false, "yuyv", false},
        {{"--output", "L", "--output-format", "rgb24", "--record"}, true, true, "rgb24", true},
        {{"--output-format", "rgb24"}, false, false, "", false},
        {{"--record"}, false, false, "", false},
        {{"--output", "L", "--output-format", "nv12"}, false, false, "", false},
        {{"--output", ""}, false, false, "", false},
        {{"--output"}, false, false, "", false},
    };
#else
    const Case cases[] = {
        {{}, true, false, "yuyv", false},
        {{"--output", "/dev/video5"}, false, false, "", false},
    };
#endif
    for (const Case& c : cases) {
        const std::string args = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
        HostOptions o;
        std::string error;
        ASSERT_EQ(parse(c.args, &o, &error), c.accepted) << args << ": " << error;
        if (!c.accepted) {
            EXPECT_FALSE(error.empty()) << args;
            continue;
        }
        EXPECT_EQ(runsUntilInterrupted(o), c.unbounded) << args;
        EXPECT_EQ(o.outputFormat, c.format) << args;
        EXPECT_EQ(o.record, c.record) << args;
    }
#ifndef __linux__
    HostOptions o;
    std::string error;
    parse({"--output", "/dev/video5"}, &o, &error);
    EXPECT_NE(error.find("Linux only"), std::string::npos) << error;
#endif
}

TEST(HostOptions, ModesByNumberNameOrUniqueBeginning) {
    EXPECT_EQ(parseImageMode("0"), 0);
    EXPECT_EQ(parseImageMode("11"), 11);
    EXPECT_EQ(parseImageMode("Picture In Picture"), 3);
    EXPECT_EQ(parseImageMode("picture-in-picture"), 3);
    EXPECT_EQ(parseImageMode("color anaglyph"), 4);
    EXPECT_EQ(parseImageMode("SideBySide"), 2);  // exact beats the longer "SideBySide with Ratio"
    EXPECT_EQ(parseImageMode("sidebyside with ratio"), 7);
    EXPECT_EQ(parseImageMode("up"), -1);  // Up And Down or UpAndDown with Ratio
    EXPECT_EQ(parseImageMode("2D in 3D"), 10);
    EXPECT_EQ(parseImageMode(""), -1);
    EXPECT_EQ(parseSizeIndex("320x240"), 0);
    EXPECT_EQ(parseSizeIndex("1"), 1);
    EXPECT_EQ(parseSizeIndex("640X480"), -1);
}

// A bottom-up B, G, R picture whose pixels encode their position.
struct TestPicture {
    int width, height;
    std::ptrdiff_t stride;
    std::vector<uint8_t> bytes;
    TestPicture(int w, int h)
        : width(w), height(h), stride((w * 3 + 3) & ~3), bytes(static_cast<size_t>(stride) * h, 0xEE) {
        for (int row = 0; row < h; ++row)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = &bytes[static_cast<size_t>(row) * stride + 3 * x];
                p[0] = static_cast<uint8_t>(x * 7 + row);        // B
                p[1] = static_cast<uint8_t>(x * 3 + row * 5);    // G
                p[2] = static_cast<uint8_t>(255 - x - row * 2);  // R
            }
    }
    BgrPicture view() const { return BgrPicture{bytes.data(), width, height, stride}; }
    // R, G, B of screen pixel (x, line), line 0 = top = buffer row height-1.
    void rgbAt(int x, int line, uint8_t out[3]) const {
        const uint8_t* p = &bytes[static_cast<size_t>(height - 1 - line) * stride + 3 * x];
        out[0] = p[2];
        out[1] = p[1];
        out[2] = p[0];
    }
};

TEST(PngFiles, RoundTripFlipsToTopDownRgb) {
    // 203 x 130: rows padded to 612 bytes, more than one deflate block stored.
    const TestPicture picture(203, 130);
    const std::string path = "host_tools_test.png";
    ASSERT_TRUE(writePngFile(path, picture.view()));
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(readPngFile(path, &width, &height, &rgb)) << pngEncoderName();
    ASSERT_EQ(width, 203);
    ASSERT_EQ(height, 130);
    ASSERT_EQ(rgb.size(), size_t{203} * 130 * 3);
    long wrong = 0;
    for (int line = 0; line < height; ++line)
        for (int x = 0; x < width; ++x) {
            uint8_t expected[3];
            picture.rgbAt(x, line, expected);
            for (int c = 0; c < 3; ++c)
                wrong += rgb[(static_cast<size_t>(line) * width + x) * 3 + c] != expected[c];
        }
    EXPECT_EQ(wrong, 0);

#ifdef DV_TEST_LIBPNG
    // An independent decoder agrees (checksums, zlib framing, chunk layout).
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr)) << image.message;
    EXPECT_EQ(decoded, rgb);
#endif
    std::remove(path.c_str());
}

TEST(PngFiles, TruncatedOrForeignFilesAreRefused) {
    const TestPicture picture(20, 10);
    const std::string path = "host_tools_test_cut.png";
    ASSERT_TRUE(writePngFile(path, picture.view()));
    std::vector<uint8_t> bytes;
    {
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        uint8_t buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(f);
    }
    for (size_t keep : {size_t{0}, size_t{7}, size_t{40}, bytes.size() / 2}) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, keep, f);
        std::fclose(f);
        int w = 0, h = 0;
        std::vector<uint8_t> rgb;
        EXPECT_FALSE(readPngFile(path, &w, &h, &rgb)) << "kept " << keep << " bytes";
    }
    // Foreign files: not a PNG at all, and whole PNGs of a kind other than
    // 8-bit RGB (the IHDR data starts at byte 16: bit depth at 24, colour type at 25).
    ASSERT_GT(bytes.size(), 26u);
    std::vector<uint8_t> rgba = bytes, deep = bytes;
    rgba[25] = 6;   // RGB with alpha
    deep[24] = 16;  // 16 bits per channel
    const std::string text = "P6\n20 10\n255\n";
    for (const auto& foreign : {std::vector<uint8_t>(text.begin(), text.end()), rgba, deep}) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(foreign.data(), 1, foreign.size(), f);
        std::fclose(f);
        int w = 0, h = 0;
        std::vector<uint8_t> rgb;
        EXPECT_FALSE(readPngFile(path, &w, &h, &rgb)) << foreign.size() << " bytes";
    }
    std::remove(path.c_str());
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
    EXPECT_FALSE(readPngFile("no-such-file.png", &w, &h, &rgb));
}

TEST(Y4mVideo, ConversionMatchesFullRangeBt601) {
    uint8_t y, cb, cr;
    rgbToYCbCr(255, 255, 255, &y, &cb, &cr);
    EXPECT_EQ(y, 255);
    EXPECT_EQ(cb, 128);
    EXPECT_EQ(cr, 128);
    rgbToYCbCr(0, 0, 0, &y, &cb, &cr);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(cb, 128);
    EXPECT_EQ(cr, 128);
    rgbToYCbCr(255, 0, 0, &y, &cb, &cr);  // 76.2, 85.0, 255.5
    EXPECT_EQ(y, 76);
    EXPECT_EQ(cb, 85);
    EXPECT_EQ(cr, 255);
    rgbToYCbCr(0, 0, 255, &y, &cb, &cr);  // 29.1, 255.5, 107.3
    EXPECT_EQ(y, 29);
    EXPECT_EQ(cb, 255);
    EXPECT_EQ(cr, 107);
}

TEST(Y4mVideo, FramesAreTopDownPlanesWithAveragedChroma) {
    const TestPicture picture(6, 4);
    const std::string path = "host_tools_test.y4m";
    Y4mWriter writer;
    ASSERT_TRUE(writer.open(path, 6, 4, 333333));
    ASSERT_TRUE(writer.writeFrame(picture.view()));
    ASSERT_TRUE(writer.writeFrame(picture.view()));
    EXPECT_FALSE(writer.writeFrame(TestPicture(4, 4).view()));  // another size
    EXPECT_EQ(writer.framesWritten(), 2);
    ASSERT_TRUE(writer.close());

    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char header[100] = {};
    ASSERT_NE(std::fgets(header, sizeof header, f), nullptr);
    EXPECT_STREQ(header, "YUV4MPEG2 W6 H4 F30:1 Ip A1:1 C420jpeg XYSCSS=420JPEG XCOLORRANGE=FULL\n");
    std::vector<uint8_t> frame(6 + 24 + 6 + 6);  // "FRAME\n", Y 6x4, Cb 3x2, Cr 3x2
    ASSERT_EQ(std::fread(frame.data(), 1, frame.size(), f), frame.size());
    EXPECT_EQ(std::string(frame.begin(), frame.begin() + 6), "FRAME\n");
    for (int line = 0; line < 4; ++line)
        for (int x = 0; x < 6; ++x) {
            uint8_t rgb[3], y, cb, cr;
            picture.rgbAt(x, line, rgb);
            rgbToYCbCr(rgb[0], rgb[1], rgb[2], &y, &cb, &cr);
            EXPECT_EQ(frame[6 + line * 6 + x], y) << x << "," << line;
        }
    // Chroma of the top-left 2x2 block: the conversion of the mean colour.
    double r = 0, g = 0, b = 0;
    for (int line = 0; line < 2; ++line)
        for (int x = 0; x < 2; ++x) {
            uint8_t rgb[3];
            picture.rgbAt(x, line, rgb);
            r += rgb[0] / 4.0;
            g += rgb[1] / 4.0;
            b += rgb[2] / 4.0;
        }
    EXPECT_NEAR(frame[6 + 24], 128 - 0.168736 * r - 0.331264 * g + 0.5 * b, 0.51);
    EXPECT_NEAR(frame[6 + 24 + 6], 128 + 0.5 * r - 0.418688 * g - 0.081312 * b, 0.51);
    // The second frame follows, then the file ends.
    ASSERT_EQ(std::fread(frame.data(), 1, frame.size(), f), frame.size());
    EXPECT_EQ(std::fgetc(f), EOF);
    std::fclose(f);
    std::remove(path.c_str());
}

}  // namespace
