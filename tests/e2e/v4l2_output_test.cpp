// The host's V4L2 output writer against the in-memory output device: finding
// the node by path or label, the format and rate it sets, the buffer cycle
// and its time stamps, dropping when the device holds every buffer, and the
// failures it must report with the device released again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compositor/yuyv_pack.h"
#include "fake_v4l2_device.h"
#include "v4l2_output.h"

namespace {

const char* const label = "Vanto 3D Virtual Camera2";
constexpr uint32_t captureCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

FakeV4l2Devices::Node node(const std::string& path, const std::string& card,
                           uint32_t caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING) {
    FakeV4l2Devices::Node n;
    n.path = path;
    n.card = card;
    n.deviceCaps = caps;
    return n;
}

// A bottom-up B, G, R picture with random content, and the frame the sink
// would hand over for it.
struct Picture {
    Picture(int width, int height, unsigned seed)
        : width(width), height(height), bytes(static_cast<size_t>(pix::pictureStride(width)) * height) {
        std::mt19937 random(seed);
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(random());
    }
    SinkFrame frame(bool timeValid, REFERENCE_TIME start) const {
        SinkFrame f{};
        f.pixels = bytes.data();
        f.width = width;
        f.height = height;
        f.stride = pix::pictureStride(width);
        f.timeValid = timeValid;
        f.start = start;
        f.stop = start + 333333;
        return f;
    }
    std::vector<uint8_t> packed(OutputPixelFormat format) const {
        const pix::ImageView view{width, height, 3, pix::pictureStride(width),
                                  const_cast<uint8_t*>(bytes.data())};
        const std::ptrdiff_t line = format == OutputPixelFormat::yuyv ? pix::yuyvRowBytes(width) : width * 3;
        std::vector<uint8_t> out(static_cast<size_t>(line) * height);
        const bool ok = format == OutputPixelFormat::yuyv
                            ? pix::packBgrToYuyv(view, out.data(), line, out.size())
                            : pix::packBgrToRgb24(view, out.data(), line, out.size());
        EXPECT_TRUE(ok);
        return out;
    }
    int width, height;
    std::vector<uint8_t> bytes;
};

long indexOf(const std::vector<std::string>& calls, const std::string& call) {
    const auto at = std::find(calls.begin(), calls.end(), call);
    return at == calls.end() ? -1 : static_cast<long>(at - calls.begin());
}

// Two capture nodes (one carrying the loopback's label, as a second
// loopback created without exclusive caps would not, but a webcam might),
// an output node of another label, a busy node and the loopback itself.
void addMachineNodes(FakeV4l2Devices& fake) {
    fake.addNode(node("/dev/video0", "Integrated Camera", captureCaps));
    fake.addNode(node("/dev/video1", label, captureCaps));
    fake.addNode(node("/dev/video2", "Other Loopback"));
    FakeV4l2Devices::Node busy = node("/dev/video3", "Busy One");
    busy.openErrno = EBUSY;
    fake.addNode(busy);
    fake.addNode(node("/dev/video4", label));
}

TEST(V4l2Output, FindsTheNodeByPathOrLabel) {
    struct Case {
        const char* destination;
        const char* path;                   // null: refused
        std::vector<const char*> inReason;  // parts of the refusal
    } cases[] = {
        {label, "/dev/video4", {}},
        {"/dev/video2", "/dev/video2", {}},
        {"/dev/video0", nullptr, {"/dev/video0", "Integrated Camera", "is not a video output device"}},
        {"/dev/video9", nullptr, {"/dev/video9", "No such file"}},
        {"/dev/video3", nullptr, {"Device or resource busy"}},
        {"Missing Label",
         nullptr,
         {"no video output device has the card label \"Missing Label\"", "/dev/video0 \"Integrated Camera\"",
          "/dev/video2 \"Other Loopback\" (output)", "/dev/video3 (Device or resource busy)"}},
    };
    for (const Case& c : cases) {
        FakeV4l2Devices fake;
        addMachineNodes(fake);
        OutputNode found;
        std::string error;
        const bool ok = resolveOutputNode(fake, c.destination, &found, &error);
        EXPECT_EQ(ok, c.path != nullptr) << c.destination << ": " << error;
        if (c.path) {
            EXPECT_EQ(found.path, c.path) << c.destination;
        }
        for (const char* part : c.inReason)
            EXPECT_NE(error.find(part), std::string::npos) << c.destination << ": " << error;
        EXPECT_EQ(fake.openFiles, 0) << c.destination;
    }
    FakeV4l2Devices empty;
    OutputNode found;
    std::string error;
    EXPECT_FALSE(resolveOutputNode(empty, label, &found, &error));
    EXPECT_NE(error.find("no /dev/video* nodes"), std::string::npos) << error;
}

// Per pixel format: the format set, the rate, the buffer cycle (every
// buffer queued once before the first DQBUF, STREAMON after the first QBUF),
// time stamps from the samples' times and always increasing, the bytes of
// the last picture, and everything released on close.
TEST(V4l2Output, StreamsThePicturesWithIncreasingStamps) {
    struct Case {
        OutputPixelFormat format;
        uint32_t fourcc, line;
        uint32_t quantization;
    } cases[] = {
        {OutputPixelFormat::yuyv, V4L2_PIX_FMT_YUYV, 2 * 34, V4L2_QUANTIZATION_LIM_RANGE},
        {OutputPixelFormat::rgb24, V4L2_PIX_FMT_RGB24, 3 * 34, V4L2_QUANTIZATION_FULL_RANGE},
    };
    // Sample start times: regular, one going back, one without a time.
    const struct {
        bool valid;
        REFERENCE_TIME start;
    } times[] = {{true, 0},  {true, 333333},  {true, 666666},  {true, 600000},
                 {false, 0}, {true, 1333332}, {true, 1666665}, {true, 1999998}};
    for (const Case& c : cases) {
        SCOPED_TRACE(outputPixelFormatName(c.format));
        FakeV4l2Devices fake;
        addMachineNodes(fake);
        V4l2OutputWriter writer(fake, c.format);
        std::string error;
        ASSERT_TRUE(writer.open(OutputNode{"/dev/video4", label}, 34, 20, 333333, &error)) << error;
        EXPECT_TRUE(writer.warning().empty()) << writer.warning();
        const v4l2_pix_format& pix = fake.format.fmt.pix;
        EXPECT_EQ(fake.format.type, V4L2_BUF_TYPE_VIDEO_OUTPUT);
        EXPECT_EQ(pix.width, 34u);
        EXPECT_EQ(pix.height, 20u);
        EXPECT_EQ(pix.pixelformat, c.fourcc);
        EXPECT_EQ(pix.field, static_cast<uint32_t>(V4L2_FIELD_NONE));
        EXPECT_EQ(pix.bytesperline, c.line);
        EXPECT_EQ(pix.sizeimage, c.line * 20);
        EXPECT_EQ(pix.colorspace, static_cast<uint32_t>(V4L2_COLORSPACE_SMPTE170M));
        EXPECT_EQ(pix.quantization, c.quantization);
        EXPECT_EQ(fake.timePerFrame.numerator, 333333u);
        EXPECT_EQ(fake.timePerFrame.denominator, 10000000u);
        EXPECT_EQ(fake.buffersGranted, 4u);
        EXPECT_EQ(fake.buffersMapped, 4u);

        std::vector<Picture> pictures;
        for (unsigned i = 0; i < sizeof times / sizeof times[0]; ++i)
            pictures.emplace_back(34, 20, i);
        // Picture i is queued (i + 1) ms after its start; the one without a
        // time has no latency.
        REFERENCE_TIME clockNow = 0;
        writer.setStreamClock([&clockNow](REFERENCE_TIME* now) {
            *now = clockNow;
            return true;
        });
        for (size_t i = 0; i < pictures.size(); ++i) {
            clockNow = times[i].start + static_cast<REFERENCE_TIME>(i + 1) * 10000;
            writer.onFrame(pictures[i].frame(times[i].valid, times[i].start));
        }
        const V4l2OutputWriter::Latency lag = writer.latency();
        EXPECT_EQ(lag.frames, 7);
        EXPECT_NEAR(lag.meanMs, (1 + 2 + 3 + 4 + 6 + 7 + 8) / 7.0, 1e-9);
        EXPECT_NEAR(lag.maxMs, 8.0, 1e-9);
        EXPECT_EQ(writer.framesWritten(), static_cast<long>(pictures.size()));
        EXPECT_EQ(writer.framesDropped(), 0);
        EXPECT_EQ(writer.framesFailed(), 0) << writer.failureText();
        EXPECT_EQ(fake.lastFrame, pictures.back().packed(c.format));

        ASSERT_EQ(fake.queued.size(), pictures.size());
        for (size_t i = 0; i < fake.queued.size(); ++i) {
            EXPECT_EQ(fake.queued[i].bytesUsed, c.line * 20) << i;
            EXPECT_EQ(fake.queued[i].field, static_cast<uint32_t>(V4L2_FIELD_NONE)) << i;
            if (i > 0) {
                EXPECT_GT(fake.queued[i].stampMicros, fake.queued[i - 1].stampMicros) << i;
            }
        }
        // The regular steps keep the samples' spacing on the monotonic clock.
        EXPECT_EQ(fake.queued[1].stampMicros - fake.queued[0].stampMicros, 33333);
        EXPECT_EQ(fake.queued[7].stampMicros - fake.queued[6].stampMicros, 33333);
        EXPECT_EQ(fake.queued[0].index, 0u);
        EXPECT_EQ(fake.queued[3].index, 3u);
        EXPECT_LT(indexOf(fake.calls, "QBUF 3"), indexOf(fake.calls, "DQBUF 0"));
        EXPECT_LT(indexOf(fake.calls, "QBUF 0"), indexOf(fake.calls, "STREAMON"));
        EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "STREAMON"), 1);

        writer.close();
        writer.close();
        EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "STREAMOFF"), 1);
        EXPECT_GE(indexOf(fake.calls, "REQBUFS 0"), 0);
        EXPECT_EQ(fake.calls.back(), "close /dev/video4");
        EXPECT_FALSE(fake.streaming);
        EXPECT_EQ(fake.buffersMapped, 0u);
        EXPECT_EQ(fake.openFiles, 0);
        EXPECT_EQ(fake.errors, 0);
    }
}

// With every buffer held by the device the delivery thread does not wait:
// the pictures are dropped and counted, and writing resumes once a buffer
// comes back. A picture of another size is a failure, not a crash.
TEST(V4l2Output, DropsWhenTheDeviceHoldsEveryBuffer) {
    FakeV4l2Devices fake;
    fake.addNode(node("/dev/video4", label));
    fake.holdBuffers(true);
    V4l2OutputWriter writer(fake, OutputPixelFormat::yuyv, 3);
    std::string error;
    ASSERT_TRUE(writer.open(OutputNode{"/dev/video4", label}, 16, 8, 0, &error)) << error;
    EXPECT_EQ(fake.timePerFrame.denominator, 0u);  // no interval: no S_PARM
    const Picture picture(16, 8, 1);
    for (int i = 0; i < 5; ++i)
        writer.onFrame(picture.frame(true, i * 333333));
    EXPECT_EQ(writer.framesWritten(), 3);
    EXPECT_EQ(writer.framesDropped(), 2);
    fake.holdBuffers(false);
    writer.onFrame(picture.frame(true, 5 * 333333));
    EXPECT_EQ(writer.framesWritten(), 4);
    EXPECT_EQ(writer.framesFailed(), 0);

    const Picture other(18, 8, 2);
    writer.onFrame(other.frame(true, 6 * 333333));
    EXPECT_EQ(writer.framesFailed(), 1);
    EXPECT_EQ(writer.framesWritten(), 4);
    writer.close();
    EXPECT_NE(writer.failureText().find("18x8 does not match"), std::string::npos) << writer.failureText();
    EXPECT_EQ(fake.buffersMapped, 0u);
    EXPECT_EQ(fake.openFiles, 0);
}

// Each refusal names its cause, and the device is left closed and unmapped.
TEST(V4l2Output, OpenFailuresAreReportedAndReleaseTheDevice) {
    struct Case {
        const char* what;
        FakeV4l2Devices::Node device;
        std::vector<const char*> inReason;
    };
    auto with = [](auto change) {
        FakeV4l2Devices::Node n = node("/dev/video4", label);
        change(n);
        return n;
    };
    const Case cases[] = {
        {"busy on open",
         with([](auto& n) { n.openErrno = EBUSY; }),
         {"/dev/video4: cannot open", "Device or resource busy", "another program"}},
        {"a capture device",
         with([](auto& n) { n.deviceCaps = captureCaps; }),
         {"not a video output device"}},
        {"no streaming", with([](auto& n) { n.deviceCaps = V4L2_CAP_VIDEO_OUTPUT; }), {"does not stream"}},
        {"buffers busy",
         with([](auto& n) { n.requestErrno = EBUSY; }),
         {"VIDIOC_REQBUFS failed", "another program"}},
        {"size not taken", with([](auto& n) { n.forcedWidth = 640; }), {"does not take 320x240 YUYV"}},
    };
    for (const Case& c : cases) {
        FakeV4l2Devices fake;
        fake.addNode(c.device);
        V4l2OutputWriter writer(fake, OutputPixelFormat::yuyv);
        std::string error;
        EXPECT_FALSE(writer.open(OutputNode{"/dev/video4", label}, 320, 240, 333333, &error)) << c.what;
        for (const char* part : c.inReason)
            EXPECT_NE(error.find(part), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(fake.openFiles, 0) << c.what;
        EXPECT_EQ(fake.buffersMapped, 0u) << c.what;
        const Picture picture(320, 240, 3);
        writer.onFrame(picture.frame(true, 0));
        EXPECT_EQ(writer.framesWritten(), 0) << c.what;
    }

    // A refused rate is only a warning: the stream still runs.
    FakeV4l2Devices fake;
    fake.addNode(with([](auto& n) { n.parmErrno = EINVAL; }));
    V4l2OutputWriter writer(fake, OutputPixelFormat::yuyv);
    std::string error;
    ASSERT_TRUE(writer.open(OutputNode{"/dev/video4", label}, 320, 240, 333333, &error)) << error;
    EXPECT_NE(writer.warning().find("VIDIOC_S_PARM"), std::string::npos) << writer.warning();
}

}  // namespace
