// Camera frame conversion at 640x480 on one core: our YUYV and NV12 kernels at
// each instruction-set level beside the memcpy of one B, G, R frame, the V4L2
// conversion library and ffmpeg's scaler on the same YUYV frame. Prints
// figures only (Google Benchmark); nothing here is a test.
#include <benchmark/benchmark.h>
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "compositor/image.h"
#include "compositor/yuv_convert.h"

namespace {

constexpr int width = 640;
constexpr int height = 480;
const std::ptrdiff_t bgrStride = pix::pictureStride(width);

std::vector<uint8_t> randomBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::mt19937 rng(7);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

const std::vector<uint8_t>& yuyvFrame() {
    static const std::vector<uint8_t> frame = randomBytes(static_cast<size_t>(width) * height * 2);
    return frame;
}

void setFrameCounters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * bgrStride * height);
}

void BM_MemcpyBgrFrame(benchmark::State& state) {
    const std::vector<uint8_t> src = randomBytes(static_cast<size_t>(bgrStride) * height);
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        // Both buffers escape, so the copy cannot be dropped or shortened.
        benchmark::DoNotOptimize(dst.data());
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    setFrameCounters(state);
}
BENCHMARK(BM_MemcpyBgrFrame);

const char* const levels[] = {"baseline", "ssse3", "avx2", "avx512"};

void BM_YuyvToBgr(benchmark::State& state) {
    const char* isa = levels[state.range(0)];
    if (!pix::useYuvConvertIsaForTesting(isa)) {
        state.SkipWithError("level not supported here");
        return;
    }
    state.SetLabel(isa);
    std::vector<uint8_t> dst(static_cast<size_t>(bgrStride) * height);
    const pix::BgrTarget target{dst.data(), bgrStride, width, height, true};
    for (auto _ : state) {
        pix::convertYuyvToBgr(yuyvFrame().data(), width * 2, target);
        benchmark::ClobberMemory();
    }
    pix::useYuvConvertIsaForTesting(nullptr);
    setFrameCounters(state);
}
BENCHMARK(BM_YuyvToBgr)->DenseRange(0, 3);

void BM_Nv12ToBgr(benchmark::State& state) {
    const char* isa = levels[state.range(0)];
    if (!pix::useYuvConvertIsaForTesting(isa)) {
        state.SkipWithError("level not supported here");
        return;
    }
    state.SetLabel(isa);
    const std::vector<uint8_t> src = randomBytes(static_cast<size_t>(width) * height * 3 / 2);
    std::vector<uint8_t> dst(static_cast<size_t>(bgrStride) * height);
    const pix::BgrTarget target{dst.data(), bgrStride, width, height, true};
    for (auto _ : state) {
        pix::convertNv12ToBgr(src.data(), width, src.data() + width * height, width, target);
        benchmark::ClobberMemory();
    }
    pix::useYuvConvertIsaForTesting(nullptr);
    setFrameCounters(state);
}
BENCHMARK(BM_Nv12ToBgr)->DenseRange(0, 2);

// The library with no real device behind it: a capture device that answers
// its capability query and nothing else.
int noDeviceIoctl(void*, int, unsigned long request, void* arg) {
    if (request == VIDIOC_QUERYCAP) {
        auto* caps = static_cast<v4l2_capability*>(arg);
        std::memset(caps, 0, sizeof *caps);
        caps->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
        caps->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
    }
    errno = EINVAL;
    return -1;
}

void BM_LibV4lConvertYuyvToBgr24(benchmark::State& state) {
    libv4l_dev_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.ioctl = noDeviceIoctl;
    v4lconvert_data* data = v4lconvert_create_with_dev_ops(-1, nullptr, &ops);
    if (!data) {
        state.SkipWithError("v4lconvert_create failed");
        return;
    }
    v4l2_format from{};
    from.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    from.fmt.pix.width = width;
    from.fmt.pix.height = height;
    from.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    from.fmt.pix.bytesperline = width * 2;
    from.fmt.pix.sizeimage = width * height * 2;
    from.fmt.pix.field = V4L2_FIELD_NONE;
    v4l2_format to = from;
    to.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    to.fmt.pix.bytesperline = width * 3;
    to.fmt.pix.sizeimage = width * height * 3;
    std::vector<uint8_t> src = yuyvFrame();
    std::vector<uint8_t> dst(to.fmt.pix.sizeimage);
    for (auto _ : state) {
        if (v4lconvert_convert(data, &from, &to, src.data(), static_cast<int>(src.size()), dst.data(),
                               static_cast<int>(dst.size())) < 0) {
            state.SkipWithError(v4lconvert_get_error_message(data));
            break;
        }
        benchmark::ClobberMemory();
    }
    v4lconvert_destroy(data);
    setFrameCounters(state);
}
BENCHMARK(BM_LibV4lConvertYuyvToBgr24);

void BM_SwscaleYuyv422ToBgr24(benchmark::State& state) {
    SwsContext* context = sws_getContext(width, height, AV_PIX_FMT_YUYV422, width, height, AV_PIX_FMT_BGR24,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context) {
        state.SkipWithError("sws_getContext failed");
        return;
    }
    std::vector<uint8_t> dst(static_cast<size_t>(width) * height * 3);
    const uint8_t* srcPlanes[1] = {yuyvFrame().data()};
    const int srcStrides[1] = {width * 2};
    uint8_t* dstPlanes[1] = {dst.data()};
    const int dstStrides[1] = {width * 3};
    for (auto _ : state) {
        sws_scale(context, srcPlanes, srcStrides, 0, height, dstPlanes, dstStrides);
        benchmark::ClobberMemory();
    }
    sws_freeContext(context);
    setFrameCounters(state);
}
BENCHMARK(BM_SwscaleYuyv422ToBgr24);

}  // namespace

BENCHMARK_MAIN();
