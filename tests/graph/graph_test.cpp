// The test cameras in the POSIX runtime's graph: registration through their
// own DllRegisterServer, discovery through the device enumerator, streaming
// through CLSID_FilterGraph into a framework-built sink, state cycles,
// allocator commit/decommit, end of stream, flushing and stopping while the
// sink blocks.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "framework/device_enumeration.h"
#include "test_sink.h"
#include "testcams/test_camera_filter.h"

namespace {

using namespace std::chrono_literals;

// The component library, loaded the way a host would find its entry points.
struct TestCamsModule {
    void* handle = nullptr;
    HRESULT (*registerServer)() = nullptr;
    HRESULT (*unregisterServer)() = nullptr;
    HRESULT (*canUnloadNow)() = nullptr;

    TestCamsModule() {
        handle = dlopen(DV_TESTCAMS_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        registerServer = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllRegisterServer"));
        unregisterServer = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllUnregisterServer"));
        canUnloadNow = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow"));
    }
    ~TestCamsModule() {
        if (handle) dlclose(handle);
    }
};

std::vector<std::wstring> videoInputNames(std::vector<ComPtr<IMoniker>>* monikers = nullptr) {
    std::vector<std::wstring> names;
    const HRESULT hr =
        forEachVideoInputDevice([&](IMoniker* moniker, IPropertyBag* bag, const wchar_t* name) {
            EXPECT_NE(bag, nullptr);
            EXPECT_NE(name, nullptr);
            names.emplace_back(name ? name : L"?");
            if (monikers) monikers->push_back(ComPtr<IMoniker>(moniker));
        });
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    return names;
}

std::wstring classServerPath(REFCLSID clsid, std::wstring* threading) {
    WCHAR text[40];
    StringFromGUID2(clsid, text, 40);
    std::wstring path = std::wstring(L"CLSID\\") + text + L"\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return L"";
    WCHAR value[1024] = {};
    DWORD size = sizeof(value);
    RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    WCHAR model[64] = {};
    size = sizeof(model);
    RegQueryValueExW(key, L"ThreadingModel", nullptr, nullptr, reinterpret_cast<BYTE*>(model), &size);
    RegCloseKey(key);
    if (threading) *threading = model;
    return value;
}

void setCameraSetting(const WCHAR* deviceName, const WCHAR* value, DWORD data) {
    std::wstring path = std::wstring(DV_TESTCAMS_SETTINGS_KEY) + L"\\" + deviceName;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

MediaFormat rgb24(int width, int height) {
    MediaFormat type;
    type.setMajorType(MEDIATYPE_Video);
    type.setSubtype(MEDIASUBTYPE_RGB24);
    type.setFormatType(FORMAT_VideoInfo);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type.allocFormatBlock(sizeof(VIDEOINFOHEADER)));
    info->AvgTimePerFrame = 333333;
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = width;
    info->bmiHeader.biHeight = height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 24;
    info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
    return type;
}

ComPtr<IPin> firstPin(IBaseFilter* filter) {
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> pin;
    if (SUCCEEDED(filter->EnumPins(pins.GetAddressOf()))) pins->Next(1, pin.GetAddressOf(), nullptr);
    return pin;
}

// Polls `condition` every 2 ms; false if it does not hold within 10 s.
template <class Condition>
bool waitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Waits until no frame has reached `sink` for `quiet`; false when frames are
// still arriving after 10 s (a source that goes on delivering).
bool waitForQuietSink(TestSinkFilter* sink, std::chrono::milliseconds quiet) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    size_t seen = sink->frameCount();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - since < quiet) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
        const size_t now = sink->frameCount();
        if (now != seen) {
            seen = now;
            since = std::chrono::steady_clock::now();
        }
    }
    return true;
}

class GraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("DV_TESTCAMS_VARIANTS");
        unsetenv("DV_TESTCAMS_DEVICES");
        unsetenv("DV_TESTCAM_FPS");
        unsetenv("DV_TESTCAM_FRAMES");
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph2,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(graph.As(&control), S_OK);
        ASSERT_EQ(graph.As(&events), S_OK);
    }
    void TearDown() override {
        if (control) control->Stop();
        RegDeleteTreeW(HKEY_CURRENT_USER, DV_TESTCAMS_SETTINGS_KEY);
        unsetenv("DV_TESTCAM_FPS");
        camera = nullptr;
        sinkFilter = nullptr;
        control = nullptr;
        events = nullptr;
        graph = nullptr;
        EXPECT_EQ(liveObjectCount(), 0);
    }

    // A camera of this executable's own framework copy (for its test hooks)
    // and the sink, both in the graph and connected at `width` x `height`.
    void buildLinked(const CLSID& device, int width, int height) {
        ASSERT_EQ(createTestCamera(findTestCamera(device), nullptr, IID_IBaseFilter,
                                   reinterpret_cast<void**>(camera.GetAddressOf())),
                  S_OK);
        cameraObject = static_cast<TestCameraFilter*>(camera.Get());
        connect(width, height);
    }
    void connect(int width, int height) {
        sink = new TestSinkFilter;
        sinkFilter = static_cast<IBaseFilter*>(sink);
        sink->keepPictures = keepPictures;
        sink->receiveCanBlock = sinkCanBlock;
        sink->refuseGetAllocator = sinkRefusesAllocator;
        ASSERT_EQ(graph->AddFilter(camera.Get(), L"Camera"), S_OK);
        ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"Sink"), S_OK);
        ComPtr<IPin> out = firstPin(camera.Get());
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(out.As(&config), S_OK);
        ASSERT_EQ(config->SetFormat(rgb24(width, height).raw()), S_OK);
        ASSERT_EQ(graph->ConnectDirect(out.Get(), sink->inputPin(), nullptr), S_OK);
    }

    ComPtr<IFilterGraph2> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    ComPtr<IBaseFilter> camera;
    TestCameraFilter* cameraObject = nullptr;  // the same object as `camera` when linked
    ComPtr<IBaseFilter> sinkFilter;
    TestSinkFilter* sink = nullptr;  // the same object as `sinkFilter`
    bool keepPictures = false;
    bool sinkCanBlock = true;
    bool sinkRefusesAllocator = false;
};

TEST_F(GraphTest, RegistrationRoundTripThroughDeviceEnumeratorAndFilterMapper) {
    TestCamsModule module;
    ASSERT_NE(module.registerServer, nullptr) << dlerror();
    EXPECT_TRUE(videoInputNames().empty());

    ASSERT_EQ(module.registerServer(), S_OK);
    std::vector<ComPtr<IMoniker>> monikers;
    EXPECT_EQ(videoInputNames(&monikers),
              (std::vector<std::wstring>{L"Duoview Test Camera A", L"Duoview Test Camera B",
                                         L"Duoview Test Camera C"}));
    std::wstring threading;
    const std::wstring server = classServerPath(CLSID_DuoviewTestCameraA, &threading);
    EXPECT_NE(server.find(L"libDuoviewTestCams.so"), std::wstring::npos);
    EXPECT_EQ(threading, L"Both");
    {
        // The device binds to its own filter class through the moniker.
        ASSERT_EQ(monikers.size(), 3u);
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(monikers[1]->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                            reinterpret_cast<void**>(filter.GetAddressOf())),
                  S_OK);
        CLSID clsid = GUID_NULL;
        EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
        EXPECT_EQ(clsid, CLSID_DuoviewTestCameraB);
        EXPECT_EQ(module.canUnloadNow(), S_FALSE);
    }
    monikers.clear();
    EXPECT_EQ(module.canUnloadNow(), S_OK);

    setenv("DV_TESTCAMS_VARIANTS", "1", 1);
    ASSERT_EQ(module.registerServer(), S_OK);
    EXPECT_EQ(videoInputNames(),
              (std::vector<std::wstring>{L"Duoview Test Camera A", L"Duoview Test Camera B",
                                         L"Duoview Test Camera C", L"Duoview Test Camera NoRGB24",
                                         L"Duoview Test Camera Stall", L"Duoview Test Camera TopDown"}));
    unsetenv("DV_TESTCAMS_VARIANTS");

    ASSERT_EQ(module.unregisterServer(), S_OK);
    EXPECT_TRUE(videoInputNames().empty());
    EXPECT_EQ(classServerPath(CLSID_DuoviewTestCameraA, nullptr), L"");
    EXPECT_EQ(classServerPath(CLSID_DuoviewTestCameraStall, nullptr), L"");

    setenv("DV_TESTCAMS_DEVICES", "b, Stall", 1);
    ASSERT_EQ(module.registerServer(), S_OK);
    EXPECT_EQ(videoInputNames(),
              (std::vector<std::wstring>{L"Duoview Test Camera B", L"Duoview Test Camera Stall"}));
    EXPECT_EQ(classServerPath(CLSID_DuoviewTestCameraA, nullptr), L"");
    unsetenv("DV_TESTCAMS_DEVICES");
    ASSERT_EQ(module.unregisterServer(), S_OK);
    EXPECT_TRUE(videoInputNames().empty());
}

// The real component (CoCreateInstance through the registered class) in the
// runtime's graph: timed, exact frames; Stop/Pause/Run cycles.
TEST_F(GraphTest, RegisteredCameraStreamsTimedExactFramesThroughCycles) {
    TestCamsModule module;
    ASSERT_NE(module.registerServer, nullptr) << dlerror();
    ASSERT_EQ(module.registerServer(), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_DuoviewTestCameraA, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(camera.GetAddressOf())),
              S_OK);
    keepPictures = true;
    connect(320, 240);

    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->waitForFrames(15, 5000));
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
    auto frames = sink->frames();
    const TestPictureFormat format{320, 240, 24};
    std::vector<uint8_t> expected(testPictureSize(format));
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].stamp, i) << "no frame lost or repeated";
        ASSERT_TRUE(frames[i].timeValid);
        EXPECT_EQ(frames[i].stop - frames[i].start, 333333);
        if (i > 0) {
            EXPECT_GT(frames[i].start, frames[i - 1].start);
        }
        renderTestFrame(0, format, frames[i].stamp, expected.data());
        EXPECT_EQ(frames[i].bytes, expected) << "frame " << i;
    }
    const double seconds = (frames.back().start - frames.front().start) / 1e7;
    std::printf("[ figures  ] default rate: %zu frames, %.1f frames/s by sample times\n", frames.size(),
                (frames.size() - 1) / seconds);

    // Pause holds the stream, Run resumes it, Stop ends it; numbering restarts.
    size_t total = sink->frameCount();
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(SUCCEEDED(control->Pause()));
        // Frames already on their way when Pause returned may still arrive;
        // after that the stream stays quiet (at 30 frames/s a running source
        // would deliver several frames in any 150 ms).
        ASSERT_TRUE(waitForQuietSink(sink, 150ms)) << "a live source delivers nothing while paused";
        const size_t paused = sink->frameCount();
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        ASSERT_TRUE(sink->waitForFrames(paused + 3, 5000));
        ASSERT_TRUE(SUCCEEDED(control->Stop()));
        frames = sink->frames();
        EXPECT_EQ(frames[total].stamp, 0u) << "cycle " << cycle;
        EXPECT_TRUE(frames[total].discontinuity);
        total = frames.size();
    }
    EXPECT_EQ(graph->RemoveFilter(camera.Get()), S_OK);
    camera = nullptr;
    EXPECT_EQ(module.canUnloadNow(), S_OK);
    ASSERT_EQ(module.unregisterServer(), S_OK);
}

TEST_F(GraphTest, AllocatorCommittedOnPauseDecommittedOnStop) {
    buildLinked(CLSID_DuoviewTestCameraC, 160, 120);
    IMemAllocator* allocator = sink->inputPin()->agreedAllocator();
    ASSERT_NE(allocator, nullptr);
    ALLOCATOR_PROPERTIES props{};
    ASSERT_EQ(allocator->GetProperties(&props), S_OK);
    EXPECT_GE(props.cBuffers, 3);
    EXPECT_GE(props.cbBuffer, 160 * 3 * 120);

    ComPtr<IMediaSample> sample;
    EXPECT_EQ(allocator->GetBuffer(sample.GetAddressOf(), nullptr, nullptr, AM_GBF_NOWAIT),
              VFW_E_NOT_COMMITTED);
    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_TRUE(SUCCEEDED(control->Pause()));
        EXPECT_EQ(allocator->GetBuffer(sample.ReleaseAndGetAddressOf(), nullptr, nullptr, AM_GBF_NOWAIT),
                  S_OK);
        sample = nullptr;
        ASSERT_TRUE(SUCCEEDED(control->Stop()));
        EXPECT_EQ(allocator->GetBuffer(sample.ReleaseAndGetAddressOf(), nullptr, nullptr, AM_GBF_NOWAIT),
                  VFW_E_NOT_COMMITTED);
    }
}

// Like a renderer whose GetAllocator fails: the camera falls back to a
// memory allocator of its own and streams all the same.
TEST_F(GraphTest, SinkWithoutAllocatorGetsTheCamerasOwn) {
    sinkRefusesAllocator = true;
    buildLinked(CLSID_DuoviewTestCameraB, 320, 240);
    ASSERT_NE(sink->inputPin()->agreedAllocator(), nullptr);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->waitForFrames(3, 5000));
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
    EXPECT_EQ(sink->frames()[2].stamp, 2u);
}

TEST_F(GraphTest, EndOfStreamArrivesAfterQueuedSamples) {
    setCameraSetting(L"Duoview Test Camera A", L"FrameCount", 5);
    setCameraSetting(L"Duoview Test Camera A", DV_TESTCAMS_FPS_VALUE, 0);
    buildLinked(CLSID_DuoviewTestCameraA, 320, 240);
    sink->setBlocking(true);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->waitUntilBlocked(5000));
    // The camera queued two more behind the blocked one (three buffers).
    EXPECT_TRUE(waitUntil([&] { return cameraObject->capturePin()->stats().framesDelivered >= 3; }));
    EXPECT_EQ(cameraObject->capturePin()->stats().framesDelivered, 3u);
    EXPECT_EQ(sink->frameCount(), 1u);
    EXPECT_EQ(sink->endOfStreamCount(), 0);

    sink->setBlocking(false);
    sink->releaseBlocked();
    LONG code = 0;
    EXPECT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(sink->endOfStreamCount(), 1);
    EXPECT_EQ(sink->framesAtEndOfStream(), 5u);
    auto frames = sink->frames();
    ASSERT_EQ(frames.size(), 5u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].stamp, i);
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
}

// A flush while the sink blocks in Receive: the flush gets through, and the
// samples waiting behind the blocked one are discarded, not delivered.
void flushWhileBlocked(GraphTest* test, TestCameraFilter* cameraObject, TestSinkFilter* sink,
                       IMediaControl* control, bool worker) {
    (void)test;
    sink->setBlocking(true);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->waitUntilBlocked(5000));
    // With a worker, two more wait in the queue behind the blocked one (three
    // buffers); with direct delivery the camera's thread is inside Receive.
    const uint32_t queued = worker ? 3u : 0u;
    EXPECT_TRUE(waitUntil([&] { return cameraObject->capturePin()->stats().framesDelivered >= queued; }));
    std::this_thread::sleep_for(20ms);  // room for a wrong extra delivery to show
    EXPECT_EQ(cameraObject->capturePin()->stats().framesDelivered, queued);
    sink->setBlocking(false);
    auto flush = std::async(std::launch::async, [&] { return cameraObject->capturePin()->flushStream(); });
    ASSERT_EQ(flush.wait_for(5s), std::future_status::ready) << "flush stuck behind a blocked receive";
    EXPECT_EQ(flush.get(), S_OK);
    EXPECT_EQ(sink->flushCount(), 1);
    ASSERT_TRUE(sink->waitForFrames(4, 5000));
    auto frames = sink->frames();
    EXPECT_EQ(frames[0].stamp, 0u);
    // With a worker, frames 1 and 2 waited in the queue and were dropped (and
    // frame 3, if the freed buffer was filled before the flush ended).
    if (worker) {
        EXPECT_GE(frames[1].stamp, 3u);
        EXPECT_LE(frames[1].stamp, 4u);
    } else {
        EXPECT_EQ(frames[1].stamp, 1u);
    }
    for (size_t i = 2; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].stamp, frames[i - 1].stamp + 1);
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
}

TEST_F(GraphTest, FlushDiscardsQueuedSamplesWhileSinkBlocks) {
    setenv("DV_TESTCAM_FPS", "0", 1);
    sinkCanBlock = true;
    buildLinked(CLSID_DuoviewTestCameraA, 320, 240);
    flushWhileBlocked(this, cameraObject, sink, control.Get(), true);
}

TEST_F(GraphTest, FlushReleasesDirectDeliveryBlockedInSink) {
    setenv("DV_TESTCAM_FPS", "0", 1);
    sinkCanBlock = false;
    buildLinked(CLSID_DuoviewTestCameraA, 320, 240);
    flushWhileBlocked(this, cameraObject, sink, control.Get(), false);
}

TEST_F(GraphTest, StopWhileSinkBlocksInReceive) {
    for (bool worker : {true, false}) {
        SCOPED_TRACE(worker ? "worker" : "direct");
        sinkCanBlock = worker;
        buildLinked(CLSID_DuoviewTestCameraB, 160, 120);
        sink->setBlocking(true);
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        ASSERT_TRUE(sink->waitUntilBlocked(5000));
        auto stop = std::async(std::launch::async, [&] { return control->Stop(); });
        ASSERT_EQ(stop.wait_for(5s), std::future_status::ready);
        EXPECT_TRUE(SUCCEEDED(stop.get()));
        EXPECT_EQ(graph->RemoveFilter(camera.Get()), S_OK);
        EXPECT_EQ(graph->RemoveFilter(sinkFilter.Get()), S_OK);
        camera = nullptr;
        sinkFilter = nullptr;
    }
}

TEST_F(GraphTest, StalledCameraConnectsRunsAndStopsWithoutFrames) {
    buildLinked(CLSID_DuoviewTestCameraStall, 320, 240);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sink->frameCount(), 0u);
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
}

// Figures, not limits: frames per second as fast as buffers allow at 640x480.
TEST_F(GraphTest, ThroughputFigureAtFullSpeed) {
    setCameraSetting(L"Duoview Test Camera A", DV_TESTCAMS_FPS_VALUE, 0);
    buildLinked(CLSID_DuoviewTestCameraA, 640, 480);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->waitForFrames(200, 20000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    ASSERT_TRUE(SUCCEEDED(control->Stop()));
    auto frames = sink->frames();
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].stamp, i);
    std::printf("[ figures  ] 640x480 at full speed: %zu frames in %.3f s = %.0f frames/s\n", frames.size(),
                seconds, frames.size() / seconds);
}

}  // namespace
