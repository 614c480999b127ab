// The whole frame path, measured: two unthrottled test cameras (A, B) ->
// "Vanto 3D Virtual Camera2" (pairing, composition, delivery) -> a sink that
// only counts, in the POSIX graph manager, registered and opened as the host
// program does it.
//
// Figures per configuration (size x mode), over a steady window after a
// warm-up:
//  - output frames per second and process CPU time per output frame;
//  - camera frames per output frame (from the cameras' frame-number stamps,
//    read in the product's frame callback): unthrottled cameras make frames
//    that the pairing step does not keep;
//  - composition: composeStereoFrame timed in this process on the same
//    pictures (the same compositor code as the product's copy);
//  - camera fill: the test camera's per-frame work (copy of its picture and
//    the stamp), timed here;
//  - the rest = CPU per output frame - composition - camera frames x fill:
//    framework, allocator, pairing, delivery and the sink's receive checks.
//    Mode 0 ("Left Image", no swap) composes nothing, so its CPU per frame
//    is that rest plus the cameras' own work, without any estimate of
//    composition.
//  - allocations per output frame in the window: malloc, calloc, realloc
//    and aligned allocations of every module are counted (this program's
//    own malloc replaces the C library's for the whole process).
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "components.h"
#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "counting_malloc.h"
#include "filter/stereo_interfaces.h"
#include "framework/runtime_settings.h"
#include "host_sink.h"
#include "picture_support/picture_support.h"
#include "testcams/test_cameras.h"

namespace {

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// The latest stamps seen by the frame callback (camera streaming thread,
// inside the filter's lock).
std::atomic<uint32_t> leftStamp{0}, rightStamp{0};

// Thread CPU time at the frame callback, on the pairing thread. With
// synchronous delivery the sink receives the composed frame on the same
// thread, so the difference is composition plus the output side of the
// path (sendSample, delivery, the sink pin's receive checks).
thread_local double callbackCpu = -1;
std::atomic<long long> pairToSinkNs{0};
std::atomic<long> pairToSinkCount{0};

int STDMETHODCALLTYPE readStamps(StereoImageHeader* left, StereoImageHeader* right) {
    const auto* leftRow = reinterpret_cast<const uint8_t*>(left->imageData);
    const auto* rightRow = reinterpret_cast<const uint8_t*>(right->imageData);
    leftStamp.store(readFrameStamp(leftRow, left->width, 3), std::memory_order_relaxed);
    rightStamp.store(readFrameStamp(rightRow, right->width, 3), std::memory_order_relaxed);
    callbackCpu = threadCpuSeconds();
    return 0;
}

class CountingConsumer final : public FrameConsumer {
public:
    void onFrame(const SinkFrame&) override {
        frames.fetch_add(1, std::memory_order_relaxed);
        if (callbackCpu >= 0) {
            pairToSinkNs.fetch_add(static_cast<long long>((threadCpuSeconds() - callbackCpu) * 1e9),
                                   std::memory_order_relaxed);
            pairToSinkCount.fetch_add(1, std::memory_order_relaxed);
            callbackCpu = -1;
        }
    }
    void onEndOfStream() override { ended = true; }
    std::atomic<long> frames{0};
    std::atomic<bool> ended{false};
};

struct PathFigures {
    bool ok = false;
    double fps = 0;
    double cpuPerFrameUs = 0;
    double leftPerOutput = 0, rightPerOutput = 0;
    double allocationsPerFrame = 0;
    double pairToSinkUs = 0;  // thread CPU from the frame callback to the sink
    long frames = 0;
};

struct Snapshot {
    long frames;
    double cpu;
    std::chrono::steady_clock::time_point wall;
    long allocs;
    uint32_t left, right;
    long long pairNs;
    long pairCount;
};

Snapshot snapshot(const CountingConsumer& consumer) {
    return Snapshot{consumer.frames.load(), processCpuSeconds(),   std::chrono::steady_clock::now(),
                    countedAllocations(),   leftStamp.load(),      rightStamp.load(),
                    pairToSinkNs.load(),    pairToSinkCount.load()};
}

// One run of the graph with the stored settings (mode, size) for `seconds`
// after `warmup` seconds.
PathFigures runPath(int mode, int sizeIndex, double warmup, double seconds, bool synchronousDelivery) {
    PathFigures figures;
    writeStoredNumber("camMode", static_cast<DWORD>(mode));
    writeStoredNumber("camPosition", 0);
    writeStoredNumber("camSize", static_cast<DWORD>(sizeIndex));
    writeStoredName("lcamName", "Duoview Test Camera A");
    writeStoredName("rcamName", "Duoview Test Camera B");

    std::vector<VideoDevice> devices;
    listVideoDevices(&devices);
    char vcamName[256] = {};
    std::wcstombs(vcamName, virtualCameraFriendlyName, sizeof vcamName - 1);
    const int index = findDevice(devices, vcamName);
    if (index < 0) return figures;
    ComPtr<IBaseFilter> camera;
    if (FAILED(devices[static_cast<size_t>(index)].moniker->BindToObject(
            nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(camera.GetAddressOf()))))
        return figures;
    ComPtr<IStereoFrameCallback> callback;
    if (FAILED(camera.As(&callback))) return figures;
    callback->SetFrameCallback(readStamps);

    ComPtr<IGraphBuilder> graph;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     reinterpret_cast<void**>(graph.GetAddressOf()));
    CountingConsumer consumer;
    auto* sinkObject = new HostSinkFilter(&consumer);
    ComPtr<IBaseFilter> sink(static_cast<IBaseFilter*>(sinkObject));
    sinkObject->setReceiveCanBlock(!synchronousDelivery);
    ComPtr<IPin> output;
    camera->FindPin(L"Output1", output.GetAddressOf());
    ComPtr<IAMStreamConfig> config;
    if (!graph || !output || FAILED(output.As(&config))) return figures;
    graph->AddFilter(camera.Get(), virtualCameraFriendlyName);
    graph->AddFilter(sink.Get(), L"Counting Sink");
    AM_MEDIA_TYPE* format = nullptr;
    config->GetFormat(&format);
    const HRESULT connected = graph->ConnectDirect(output.Get(), sinkObject->inputPin(), format);
    deleteMediaType(format);
    ComPtr<IMediaControl> control;
    graph.As(&control);
    if (FAILED(connected) || !control || FAILED(control->Run())) {
        std::fprintf(stderr, "graph did not run (connect %s)\n", hresultText(connected).c_str());
        return figures;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    const Snapshot a = snapshot(consumer);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Snapshot b = snapshot(consumer);
    control->Stop();
    callback->SetFrameCallback(nullptr);
    graph->RemoveFilter(sink.Get());
    graph->RemoveFilter(camera.Get());

    figures.frames = b.frames - a.frames;
    if (figures.frames <= 0) return figures;
    const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
    figures.fps = figures.frames / wall;
    figures.cpuPerFrameUs = (b.cpu - a.cpu) * 1e6 / figures.frames;
    figures.leftPerOutput = static_cast<double>(b.left - a.left) / figures.frames;
    figures.rightPerOutput = static_cast<double>(b.right - a.right) / figures.frames;
    figures.allocationsPerFrame = static_cast<double>(b.allocs - a.allocs) / figures.frames;
    if (b.pairCount > a.pairCount)
        figures.pairToSinkUs = (b.pairNs - a.pairNs) * 1e-3 / (b.pairCount - a.pairCount);
    figures.ok = true;
    return figures;
}

// The picture format of the cameras at a size index.
TestPictureFormat pictureFormat(int sizeIndex) {
    return sizeIndex == 1 ? TestPictureFormat{640, 480, 24} : TestPictureFormat{320, 240, 24};
}

// CPU microseconds of one composeStereoFrame in `mode` at `sizeIndex`, on
// this thread (median of 5 batches).
double composeMicroseconds(int mode, int sizeIndex) {
    applySizeIndex(sizeIndex);
    const TestPictureFormat format = pictureFormat(sizeIndex);
    std::vector<BYTE> left(testPictureSize(format)), right(testPictureSize(format));
    renderTestFrame(0, format, 1, left.data());
    renderTestFrame(1, format, 1, right.data());
    const picture_support::Rgb24Type type(format.width, format.height);
    picture_support::BufferSample l(left), r(right);
    StereoFormats formats;
    formats.left = &type.mt;
    formats.right = &type.mt;
    const int rounds = sizeIndex == 1 ? 100 : 400;
    std::vector<double> batches;
    for (int batch = 0; batch < 5; ++batch) {
        const double start = threadCpuSeconds();
        for (int i = 0; i < rounds; ++i)
            composeStereoFrame(&l, &r, formats, CompositionChoice{mode, false});
        batches.push_back((threadCpuSeconds() - start) * 1e6 / rounds);
    }
    std::sort(batches.begin(), batches.end());
    return batches[2];
}

// CPU microseconds of a test camera's per-frame work: copying its picture
// into a buffer and stamping the frame number.
double fillMicroseconds(int sizeIndex) {
    const TestPictureFormat format = pictureFormat(sizeIndex);
    const auto picture = testEyePicture(0, format);
    std::vector<uint8_t> buffer(testPictureSize(format));
    const int rounds = sizeIndex == 1 ? 400 : 1600;
    std::vector<double> batches;
    for (int batch = 0; batch < 5; ++batch) {
        const double start = threadCpuSeconds();
        for (int i = 0; i < rounds; ++i) {
            std::memcpy(buffer.data(), picture->data(), buffer.size());
            stampFrameNumber(buffer.data(), format, static_cast<uint32_t>(i));
        }
        batches.push_back((threadCpuSeconds() - start) * 1e6 / rounds);
    }
    std::sort(batches.begin(), batches.end());
    return batches[2];
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 2.0;
    if (argc > 1) seconds = std::atof(argv[1]) > 0 ? std::atof(argv[1]) : seconds;
    char registry[] = "/tmp/dv-wholepath-XXXXXX";
    if (const char* dir = std::getenv("DV_REGISTRY_DIR"); !dir || !*dir) {
        if (!mkdtemp(registry)) return 1;
        setenv("DV_REGISTRY_DIR", registry, 1);
    }
    setenv("DV_TESTCAM_FPS", "0", 0);  // unthrottled cameras unless the caller chose a rate
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    if (FAILED(callModuleEntry(DV_PRODUCT_MODULE, "DllRegisterServer")) ||
        FAILED(callModuleEntry(DV_TESTCAMS_MODULE, "DllRegisterServer"))) {
        std::fprintf(stderr, "registration failed\n");
        return 1;
    }
    std::printf(
        "whole path: test cameras A + B -> \"Vanto 3D Virtual Camera2\" -> counting sink, POSIX graph "
        "manager,\nsynchronous delivery to the sink (ReceiveCanBlock = S_FALSE), %.1f s per row after 0.5 s "
        "warm-up, %u CPUs\n",
        seconds, std::thread::hardware_concurrency());
    const char* rates[] = {"0", "1000"};
    for (const char* rate : rates) {
        setenv("DV_TESTCAM_FPS", rate, 1);
        std::printf("\ncameras at %s\n",
                    std::strcmp(rate, "0") == 0 ? "full speed (unthrottled)" : "1000 frames per second each");
        std::printf("%-8s %-24s %7s %9s %12s %8s %8s %9s %9s %9s\n", "size", "mode", "out fps", "CPU/frame",
                    "cam frames", "compose", "cam fill", "rest", "out side", "allocs");
        std::printf("%-8s %-24s %7s %9s %12s %8s %8s %9s %9s %9s\n", "", "", "", "(us)", "per out L+R",
                    "(us)", "(us)", "(us)", "(us)", "per frame");
        for (int sizeIndex : {0, 1}) {
            const double fill = fillMicroseconds(sizeIndex);
            for (int mode : {LeftImage, PictureInPicture, ColorAnaglyph, SideBySide, UpAndDownRatio}) {
                const double compose = mode == LeftImage ? 0.0 : composeMicroseconds(mode, sizeIndex);
                const PathFigures f = runPath(mode, sizeIndex, 0.5, seconds, true);
                if (!f.ok) {
                    std::printf("%-8s %-24s failed\n", sizeIndex ? "640x480" : "320x240",
                                imageModeName(mode));
                    continue;
                }
                const double cameraWork = (f.leftPerOutput + f.rightPerOutput) * fill;
                std::printf("%-8s %-24.24s %7.0f %9.1f %5.2f+%-6.2f %8.1f %8.1f %9.1f %9.1f %9.2f\n",
                            sizeIndex ? "640x480" : "320x240", imageModeName(mode), f.fps, f.cpuPerFrameUs,
                            f.leftPerOutput, f.rightPerOutput, compose, fill,
                            f.cpuPerFrameUs - compose - cameraWork, f.pairToSinkUs - compose,
                            f.allocationsPerFrame);
            }
        }
    }
    std::printf(
        "\ncompose: composeStereoFrame timed in this process on the same pictures; cam fill: a test "
        "camera's\n"
        "copy + stamp per frame; rest = CPU/frame - compose - (L+R camera frames per output) x cam fill:\n"
        "framework, allocators, both cameras' delivery threads and waits, input pins, pairing, output\n"
        "delivery and sink checks; out side = thread CPU from the product's frame callback to the sink's\n"
        "receive minus compose: sendSample, delivery and the sink pin's checks (target for the framework\n"
        "and pairing overhead: at most 10 us per output frame).\n");
    // Let the platform unload the modules, as a well-behaved host does.
    CoFreeUnusedLibraries();
    CoUninitialize();
    return 0;
}
