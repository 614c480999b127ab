// The framework and pairing overhead per output frame, measured without
// cameras: the real StereoCameraFilter (its sources linked in, as the product
// module carries them) in the POSIX graph manager, its "Input1" and "Input2"
// connected to two small source pins of this program and "Output1" to a sink
// that only runs the framework's receive checks and counts.
//
// One thread does everything: it takes a pre-filled buffer from the left
// source's committed allocator and delivers it to "Input1", then the same on
// the right to "Input2", whose Receive runs the pairing step, composition and
// the delivery on "Output1" to the sink (ReceiveCanBlock S_FALSE: no worker),
// all before Receive returns. So the thread's CPU time per output frame is
// composition + framework + pairing + delivery, with nothing of a camera's
// own work (no picture is filled, no timed wait, no wake-up).
//
// Composition is timed on its own with composeStereoFrame over the same
// buffers (the allocators' samples, taken in the same rotation), and the
// difference is the overhead. Allocations are counted over the measured
// frames, after a warm-up.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "capture/rgb24_format.h"
#include "compositor/compose.h"
#include "counting_malloc.h"
#include "filter/composed_video_pin.h"
#include "filter/stereo_camera_filter.h"
#include "filter/stereo_interfaces.h"
#include "framework/framework.h"
#include "framework/runtime_settings.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

namespace {

// {3F0C9A52-6B1D-4E27-8C41-5D2E9B7A0C11}
const GUID CLSID_DirectSource = {
    0x3f0c9a52, 0x6b1d, 0x4e27, {0x8c, 0x41, 0x5d, 0x2e, 0x9b, 0x7a, 0x0c, 0x11}};
// {3F0C9A52-6B1D-4E27-8C41-5D2E9B7A0C12}
const GUID CLSID_DirectSink = {0x3f0c9a52, 0x6b1d, 0x4e27, {0x8c, 0x41, 0x5d, 0x2e, 0x9b, 0x7a, 0x0c, 0x12}};

constexpr LONG sourceBuffers = 3;

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// The sources' type: the 24-bit RGB type the filter's own pins propose.
MediaFormat rgb24Format(int width, int height) {
    MediaFormat f;
    buildRgb24Format(width, height, &f);
    return f;
}

// ---- source: one output pin, buffers from its committed allocator -------------
class DirectSourcePin final : public OutputPinCore {
public:
    DirectSourcePin(FilterCore* filter, CriticalSection* lock, const MediaFormat& format)
        : OutputPinCore(filter, lock, nullptr, L"Out"), format(format) {}
    HRESULT acceptFormat(const AM_MEDIA_TYPE& type) override {
        const VIDEOINFOHEADER* info = videoInfoOf(type);
        return info && info->bmiHeader.biBitCount == 24 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT proposeFormat(int position, MediaFormat* out) override {
        if (!out) return E_POINTER;
        if (position < 0) return E_INVALIDARG;
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        *out = format;
        return S_OK;
    }
    HRESULT sizeBuffers(IMemAllocator* bufferAllocator, ALLOCATOR_PROPERTIES*) override {
        ALLOCATOR_PROPERTIES request{sourceBuffers, static_cast<LONG>(format.sampleSize()), 1, 0};
        ALLOCATOR_PROPERTIES actual{};
        return bufferAllocator->SetProperties(&request, &actual);
    }
    IMemAllocator* bufferAllocator() const { return allocator.Get(); }

    MediaFormat format;
};

class DirectSource final : public FilterCore {
public:
    explicit DirectSource(const MediaFormat& format)
        : FilterCore(CLSID_DirectSource, &filterLock), pin(new DirectSourcePin(this, &filterLock, format)) {}
    ~DirectSource() override { delete pin; }
    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override { return index == 0 ? pin : nullptr; }

    // Fills every buffer of the committed allocator once with `value`.
    bool prefill(BYTE value) {
        std::vector<ComPtr<IMediaSample>> all(sourceBuffers);
        for (auto& sample : all) {
            BYTE* data = nullptr;
            if (FAILED(pin->obtainOutputBuffer(sample.GetAddressOf(), nullptr, nullptr, 0)) ||
                FAILED(sample->GetPointer(&data)))
                return false;
            for (LONG i = 0; i < sample->GetSize(); ++i)
                data[i] = static_cast<BYTE>(value + i * 7);
        }
        return true;
    }
    // One frame: a buffer from the allocator, delivered on this thread; the
    // sample goes back to the allocator when the last holder lets go.
    HRESULT deliver() {
        ComPtr<IMediaSample> sample;
        HRESULT hr = pin->obtainOutputBuffer(sample.GetAddressOf(), nullptr, nullptr, 0);
        if (FAILED(hr)) return hr;
        sample->SetActualDataLength(static_cast<LONG>(pin->format.sampleSize()));
        return pin->sendSample(sample.Get());
    }

    CriticalSection filterLock;
    DirectSourcePin* pin;
};

// ---- sink: the framework's receive checks, then a count ------------------------
class DirectSinkPin final : public InputPinCore {
public:
    DirectSinkPin(FilterCore* filter, CriticalSection* lock) : InputPinCore(filter, lock, nullptr, L"In") {}
    HRESULT acceptFormat(const AM_MEDIA_TYPE& type) override {
        return videoInfoOf(type) ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP Receive(IMediaSample* sample) override {
        const HRESULT hr = InputPinCore::Receive(sample);
        if (hr == S_OK) frames.fetch_add(1, std::memory_order_release);
        if (!canBlock && sample != lastSample) {
            ++distinctSamples;
            lastSample = sample;
        }
        return hr;
    }
    // Identity only (not counted): the buffers the path delivers.
    void resetSamples() {
        distinctSamples = 0;
        lastSample = nullptr;
    }
    // S_OK makes Output1's delivery queue use its worker thread.
    STDMETHODIMP ReceiveCanBlock() override { return canBlock ? S_OK : S_FALSE; }

    bool canBlock = false;  // set before connecting
    std::atomic<long> frames{0};
    // Synchronous delivery only (the driving thread).
    long distinctSamples = 0;  // changes of buffer since resetSamples
    IMediaSample* lastSample = nullptr;
};

class DirectSink final : public FilterCore {
public:
    DirectSink() : FilterCore(CLSID_DirectSink, &filterLock), pin(new DirectSinkPin(this, &filterLock)) {}
    ~DirectSink() override { delete pin; }
    int pinCount() override { return 1; }
    PinCore* pinAt(int index) override { return index == 0 ? pin : nullptr; }

    CriticalSection filterLock;
    DirectSinkPin* pin;
};

void storeSizeIndex(DWORD sizeIndex) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\VANTO Automation\\stereoWebcam", 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, "camSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&sizeIndex),
                   sizeof(sizeIndex));
    RegCloseKey(key);
}

// The graph: two sources -> the stereo filter -> the sink, running.
struct DirectGraph {
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IBaseFilter> stereoRef, leftRef, rightRef, sinkRef;
    StereoCameraFilter* stereo = nullptr;
    DirectSource* left = nullptr;
    DirectSource* right = nullptr;
    DirectSink* sink = nullptr;
    ComPtr<IStereoImageControl> imageControl;

    bool build(int sizeIndex, bool worker) {
        storeSizeIndex(static_cast<DWORD>(sizeIndex));  // the input pins take the stored size only
        HRESULT hr = S_OK;
        ComponentCore* object = StereoCameraFilter::create(nullptr, &hr);
        if (!object || FAILED(hr)) return report("create the filter", hr);
        object->nonDelegatingQueryInterface(IID_IBaseFilter,
                                            reinterpret_cast<void**>(stereoRef.GetAddressOf()));
        stereo = static_cast<StereoCameraFilter*>(object);
        if (FAILED(hr = stereoRef.As(&imageControl))) return report("IStereoImageControl", hr);
        const MediaFormat format = sizeIndex == 1 ? rgb24Format(640, 480) : rgb24Format(320, 240);
        left = new DirectSource(format);
        leftRef = static_cast<IBaseFilter*>(left);
        right = new DirectSource(format);
        rightRef = static_cast<IBaseFilter*>(right);
        sink = new DirectSink;
        sinkRef = static_cast<IBaseFilter*>(sink);
        sink->pin->canBlock = worker;

        hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                              reinterpret_cast<void**>(graph.GetAddressOf()));
        if (FAILED(hr) || FAILED(hr = graph.As(&control))) return report("the graph", hr);
        graph->AddFilter(stereoRef.Get(), virtualCameraFriendlyName);
        graph->AddFilter(leftRef.Get(), L"Direct Source L");
        graph->AddFilter(rightRef.Get(), L"Direct Source R");
        graph->AddFilter(sinkRef.Get(), L"Direct Sink");
        // Inputs first: with "Input1" connected, connecting "Output1" attaches no camera.
        if (FAILED(hr = graph->ConnectDirect(left->pin, stereo->leftInput(), &format.get())))
            return report("connect Input1", hr);
        if (FAILED(hr = graph->ConnectDirect(right->pin, stereo->rightInput(), &format.get())))
            return report("connect Input2", hr);
        if (FAILED(hr = graph->ConnectDirect(stereo->visibleOutput(), sink->pin, nullptr)))
            return report("connect Output1", hr);
        if (FAILED(hr = control->Run())) return report("run", hr);
        if (!left->prefill(0x20) || !right->prefill(0x90)) return report("fill the buffers", E_FAIL);
        return true;
    }
    void tearDown() {
        if (control) control->Stop();
        if (graph) {
            for (IBaseFilter* f : {sinkRef.Get(), stereoRef.Get(), leftRef.Get(), rightRef.Get()})
                if (f) graph->RemoveFilter(f);
        }
        imageControl.Reset();
        control.Reset();
        graph.Reset();
    }
    // One output frame: left, then right (the right Receive pairs and delivers).
    bool frame() { return left->deliver() == S_OK && right->deliver() == S_OK; }

    static bool report(const char* what, HRESULT hr) {
        std::fprintf(stderr, "direct drive: %s failed (0x%08X)\n", what, static_cast<unsigned>(hr));
        return false;
    }
};

// composeStereoFrame alone, on the buffers the path composes: the platform's
// allocator hands out its most recently released buffer, so the path runs on
// one left and one right buffer, which are the first GetBuffer answers here
// (checked against the samples that reached the sink).
double composeMicroseconds(DirectGraph& g, long frames, bool* sameBuffers) {
    ComPtr<IMediaSample> l, r;
    if (FAILED(g.left->pin->obtainOutputBuffer(l.GetAddressOf(), nullptr, nullptr, 0)) ||
        FAILED(g.right->pin->obtainOutputBuffer(r.GetAddressOf(), nullptr, nullptr, 0)))
        return -1;
    if (sameBuffers) *sameBuffers = g.sink->pin->distinctSamples == 1 && g.sink->pin->lastSample == l.Get();
    StereoFormats formats;
    formats.left = &g.stereo->leftInput()->connectionMediaFormat().get();
    formats.right = &g.stereo->rightInput()->connectionMediaFormat().get();
    const double start = threadCpuSeconds();
    for (long i = 0; i < frames; ++i)
        composeStereoFrame(l.Get(), r.Get(), formats,
                           CompositionChoice{runtimeSettings.imageMode, runtimeSettings.swapCameras != 0});
    return (threadCpuSeconds() - start) * 1e6 / static_cast<double>(frames);
}

struct RunFigures {
    double threadUs = 0;   // thread CPU per output frame
    double processUs = 0;  // process CPU per output frame
    double allocations = 0;
    bool ok = false;
};

// `frames` output frames; with Output1's worker, until the sink has them all
// (the driving thread sleeps meanwhile).
RunFigures measure(DirectGraph& g, long frames) {
    RunFigures f;
    const long before = g.sink->pin->frames.load(std::memory_order_acquire);
    const long allocs = countedAllocations();
    const double process = processCpuSeconds();
    const double start = threadCpuSeconds();
    for (long i = 0; i < frames; ++i)
        if (!g.frame()) return f;
    for (int wait = 0; wait < 100000 && g.sink->pin->frames.load(std::memory_order_acquire) - before < frames;
         ++wait)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    f.threadUs = (threadCpuSeconds() - start) * 1e6 / static_cast<double>(frames);
    f.processUs = (processCpuSeconds() - process) * 1e6 / static_cast<double>(frames);
    f.allocations = static_cast<double>(countedAllocations() - allocs) / static_cast<double>(frames);
    const long arrived = g.sink->pin->frames.load(std::memory_order_acquire) - before;
    f.ok = arrived == frames;
    if (!f.ok)
        std::fprintf(stderr, "direct drive: %ld frames reached the sink, %ld expected\n", arrived, frames);
    return f;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

// One table: both sizes, five modes; false when a graph failed or frames were lost.
bool runTable(long frames, int runs, bool worker) {
    std::printf("%-8s %-24s %17s %17s %18s %8s %8s\n", "", "", "------ total ----", "----- compose ---",
                "---- overhead ----", "process", "allocs");
    std::printf("%-8s %-24s %8s %8s %8s %8s %9s %8s %8s %8s\n", "size", "mode", "median", "min", "median",
                "min", "median", "min", "/thread", "/frame");
    bool allOk = true;
    for (int sizeIndex : {0, 1}) {
        DirectGraph g;
        if (!g.build(sizeIndex, worker)) {
            g.tearDown();
            return false;
        }
        for (int mode : {LeftImage, PictureInPicture, ColorAnaglyph, SideBySide, UpAndDownRatio}) {
            g.imageControl->SetImageMode(mode);
            runtimeSettings.swapCameras = 0;
            measure(g, 500);  // warm-up: caches, lazily made working images, spare queue nodes
            composeMicroseconds(g, 200, nullptr);
            std::vector<double> totals, composes, processRatio;
            double allocations = 0;
            bool ok = true, sameBuffers = true;
            for (int run = 0; run < runs; ++run) {
                g.sink->pin->resetSamples();
                const RunFigures f = measure(g, frames);
                ok = ok && f.ok;
                totals.push_back(worker ? f.processUs : f.threadUs);
                processRatio.push_back(f.threadUs > 0 ? f.processUs / f.threadUs : 0);
                allocations += f.allocations / runs;
                bool same = false;
                composes.push_back(composeMicroseconds(g, frames, &same));
                sameBuffers = sameBuffers && (worker || same);
            }
            allOk = allOk && ok;
            const double total = median(totals), compose = median(composes);
            const double totalMin = *std::min_element(totals.begin(), totals.end());
            const double composeMin = *std::min_element(composes.begin(), composes.end());
            std::printf("%-8s %-24.24s %8.2f %8.2f %8.2f %8.2f %9.2f %8.2f %8.2f %8.3f%s%s\n",
                        sizeIndex ? "640x480" : "320x240", imageModeName(mode), total, totalMin, compose,
                        composeMin, total - compose, totalMin - composeMin, median(processRatio), allocations,
                        ok ? "" : "  (frames lost)", sameBuffers ? "" : "  (other buffers)");
        }
        g.tearDown();
    }
    return allOk;
}

int main(int argc, char** argv) {
    long frames = 4000;
    int runs = 5;
    if (argc > 1 && std::atol(argv[1]) > 0) frames = std::atol(argv[1]);
    if (argc > 2 && std::atoi(argv[2]) > 0) runs = std::atoi(argv[2]);
    char registry[] = "/tmp/dv-directdrive-XXXXXX";
    if (const char* dir = std::getenv("DV_REGISTRY_DIR"); !dir || !*dir) {
        if (!mkdtemp(registry)) return 1;
        setenv("DV_REGISTRY_DIR", registry, 1);
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    std::printf(
        "direct drive: two source pins (pre-filled buffers, %ld each) -> StereoCameraFilter -> sink,\n",
        static_cast<long>(sourceBuffers));
    std::printf(
        "POSIX graph manager, all synchronous on one thread; %ld output frames per run, %d runs per row\n",
        frames, runs);
    std::printf("after a 500-frame warm-up. Per output frame: microseconds of thread CPU time, median and\n");
    std::printf("minimum over the runs (overhead: median - median, min - min).\n\n");
    bool allOk = runTable(frames, runs, false);
    std::printf(
        "\nOutput1 through its delivery queue's worker thread (the sink answers ReceiveCanBlock S_OK, as a\n"
        "renderer does): process CPU, so the worker's share and the wake-ups count, and the driver may wait\n"
        "for a buffer. overhead = process - compose.\n\n");
    allOk = runTable(frames, runs, true) && allOk;
    std::printf(
        "\ntotal: the whole synchronous path per output frame (two GetBuffer, two input-pin Receive, "
        "pairing,\n"
        "composition, Output1's delivery queue, the sink's receive checks, two sample releases).\n"
        "compose: composeStereoFrame alone on the buffers the path uses. overhead = total - compose:\n"
        "framework + pairing + delivery (target: at most 10 us). process/thread: process over thread CPU\n"
        "(1.00: no other thread worked). allocs: allocations per output frame over the measured runs.\n");
    CoUninitialize();
    return allOk ? 0 : 1;
}
