// End to end on the POSIX runtime: the registered Duoview2 module in a host's
// graph with the synthetic test cameras. Connecting "Output1" attaches both
// cameras, frames flow as composed pairs into a fake downstream pin, and
// disconnecting removes the cameras again. A format the host sets through
// IAMStreamConfig is the one the cameras and the host then run at, and
// setting it from one thread while another pauses and stops the graph
// neither deadlocks nor breaks the graph.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "../platform/loaded_module.h"
#include "filter/stereo_interfaces.h"
#include "filter_fakes.h"

namespace {

ComPtr<IBaseFilter> findFilter(IGraphBuilder* graph, const wchar_t* name) {
    ComPtr<IBaseFilter> filter;
    graph->FindFilterByName(name, filter.GetAddressOf());
    return filter;
}

ComPtr<IPin> pinNamed(IBaseFilter* filter, const wchar_t* name) {
    ComPtr<IPin> pin;
    EXPECT_EQ(filter->FindPin(name, pin.GetAddressOf()), S_OK) << std::string(name, name + wcslen(name));
    return pin;
}

bool isConnected(IPin* pin) {
    ComPtr<IPin> peer;
    return pin->ConnectedTo(peer.GetAddressOf()) == S_OK;
}

// Both modules registered, a graph holding the virtual camera and a fake
// sink, unconnected. TearDown takes everything apart again and checks that
// the product can be unloaded.
class HostGraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
        ASSERT_NE(cameras.handle, nullptr) << dlerror();
        ASSERT_NE(product.handle, nullptr) << dlerror();
        ASSERT_EQ(cameras.call("DllRegisterServer"), S_OK);
        ASSERT_EQ(product.call("DllRegisterServer"), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(graph.As(&control), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_StereoCameraFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(vcam.GetAddressOf())),
                  S_OK);
        sink = new FakeSinkFilter;
        ASSERT_TRUE(SUCCEEDED(graph->AddFilter(vcam.Get(), virtualCameraFriendlyName)));
        ASSERT_TRUE(SUCCEEDED(graph->AddFilter(sink.Get(), L"Sink")));
        output = pinNamed(vcam.Get(), L"Output1");
        input1 = pinNamed(vcam.Get(), L"Input1");
        input2 = pinNamed(vcam.Get(), L"Input2");
        ASSERT_TRUE(output && input1 && input2);
        ASSERT_EQ(output.As(&config), S_OK);
    }

    void TearDown() override {
        if (control) {
            EXPECT_TRUE(SUCCEEDED(control->Stop()));
        }
        if (graph && vcam) {
            EXPECT_EQ(graph->RemoveFilter(vcam.Get()), S_OK);
        }
        if (graph && sink) {
            EXPECT_EQ(graph->RemoveFilter(sink.Get()), S_OK);
        }
        config = nullptr;
        output = nullptr;
        input1 = nullptr;
        input2 = nullptr;
        vcam = nullptr;
        sink = nullptr;
        control = nullptr;
        graph = nullptr;
        EXPECT_EQ(product.call("DllCanUnloadNow"), S_OK);
        EXPECT_EQ(product.call("DllUnregisterServer"), S_OK);
        EXPECT_EQ(cameras.call("DllUnregisterServer"), S_OK);
    }

    // Width and height of `pin`'s connection type (0 x 0 when unconnected).
    static std::pair<LONG, LONG> connectedSize(IPin* pin) {
        AM_MEDIA_TYPE agreed{};
        std::pair<LONG, LONG> size{0, 0};
        if (pin->ConnectionMediaType(&agreed) == S_OK && videoInfoOf(agreed))
            size = {videoInfoOf(agreed)->bmiHeader.biWidth, videoInfoOf(agreed)->bmiHeader.biHeight};
        freeMediaType(agreed);
        return size;
    }

    // Runs the graph until `count` more composed frames reached the sink, then
    // stops it; every one of them must hold `bytes` bytes.
    void runAndExpectFrames(size_t count, LONG bytes) {
        const size_t before = sink->pin->deliveryCount();
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        EXPECT_TRUE(sink->pin->waitForDeliveries(before + count, 10000));
        ASSERT_TRUE(SUCCEEDED(control->Stop()));
        const auto got = sink->pin->deliveriesSoFar();
        ASSERT_GE(got.size(), before + count);
        for (size_t i = before; i < got.size(); ++i)
            EXPECT_EQ(got[i].length, bytes) << i;
    }

    // The capability type at `index` of Output1's IAMStreamConfig.
    MediaFormat capabilityType(int index) {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        MediaFormat result;
        EXPECT_EQ(config->GetStreamCaps(index, &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
        if (type) result.assign(*type);
        deleteMediaType(type);
        return result;
    }

    LoadedModule cameras{DV_TESTCAMS_MODULE};
    LoadedModule product{DV_MODULE_PATH};
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IBaseFilter> vcam;
    ComPtr<FakeSinkFilter> sink;
    ComPtr<IPin> output, input1, input2;
    ComPtr<IAMStreamConfig> config;
};

TEST_F(HostGraphTest, HostConnectsTheVirtualCameraAndReceivesComposedPairs) {
    for (int attachment = 0; attachment < 2; ++attachment) {
        ASSERT_EQ(graph->ConnectDirect(output.Get(), sink->pin, nullptr), S_OK)
            << "attachment " << attachment;
        // Both cameras joined the host's graph and feed the input pins.
        EXPECT_TRUE(findFilter(graph.Get(), L"Stereo Camera 1"));
        EXPECT_TRUE(findFilter(graph.Get(), L"Stereo Camera 2"));
        EXPECT_TRUE(isConnected(input1.Get()));
        EXPECT_TRUE(isConnected(input2.Get()));
        AM_MEDIA_TYPE agreed{};
        ASSERT_EQ(sink->pin->ConnectionMediaType(&agreed), S_OK);
        ASSERT_NE(videoInfoOf(agreed), nullptr);
        EXPECT_EQ(videoInfoOf(agreed)->bmiHeader.biWidth, 320);
        EXPECT_EQ(videoInfoOf(agreed)->bmiHeader.biHeight, 240);
        EXPECT_EQ(videoInfoOf(agreed)->bmiHeader.biBitCount, 24);
        freeMediaType(agreed);

        const size_t before = sink->pin->deliveryCount();
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        EXPECT_TRUE(sink->pin->waitForDeliveries(before + 10, 10000));
        ASSERT_TRUE(SUCCEEDED(control->Stop()));
        const auto got = sink->pin->deliveriesSoFar();
        ASSERT_GE(got.size(), before + 10);
        for (size_t i = before + 1; i < got.size(); ++i) {
            EXPECT_EQ(got[i].mediaStart, got[i - 1].mediaStart + 1) << i;
            EXPECT_EQ(got[i].mediaEnd, got[i].mediaStart);
        }

        // Disconnecting the output pin takes the cameras out again.
        EXPECT_EQ(graph->Disconnect(output.Get()), S_OK);
        EXPECT_EQ(graph->Disconnect(sink->pin), S_OK);
        EXPECT_FALSE(findFilter(graph.Get(), L"Stereo Camera 1"));
        EXPECT_FALSE(findFilter(graph.Get(), L"Stereo Camera 2"));
        EXPECT_FALSE(isConnected(input1.Get()));
        EXPECT_FALSE(isConnected(input2.Get()));
    }
}

TEST_F(HostGraphTest, TheSizeSetThroughStreamConfigIsTheSizeThatRuns) {
    ComPtr<ICameraSelection> selection;
    ASSERT_EQ(output.As(&selection), S_OK);
    int sizeIndex = -1;

    // Capability 0 (640 x 480), as an application picks it from the list.
    MediaFormat large = capabilityType(0);
    ASSERT_EQ(config->SetFormat(large.raw()), S_OK);
    ASSERT_EQ(selection->GetSizeIndex(&sizeIndex), S_OK);
    EXPECT_EQ(sizeIndex, 1);
    ASSERT_EQ(graph->ConnectDirect(output.Get(), sink->pin, nullptr), S_OK);
    EXPECT_EQ(connectedSize(sink->pin), std::make_pair(LONG(640), LONG(480)));
    EXPECT_EQ(connectedSize(input1.Get()), std::make_pair(LONG(640), LONG(480)));
    EXPECT_EQ(connectedSize(input2.Get()), std::make_pair(LONG(640), LONG(480)));
    runAndExpectFrames(5, 640 * 480 * 3);

    // Another size from the list is refused and changes nothing.
    MediaFormat small = capabilityType(2);
    EXPECT_EQ(config->SetFormat(small.raw()), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(connectedSize(sink->pin), std::make_pair(LONG(640), LONG(480)));

    // Capability 4 (320 x 240) on the connected, stopped pin reconnects it
    // (and the cameras) at that size.
    MediaFormat medium = capabilityType(4);
    ASSERT_EQ(config->SetFormat(medium.raw()), S_OK);
    ASSERT_EQ(selection->GetSizeIndex(&sizeIndex), S_OK);
    EXPECT_EQ(sizeIndex, 0);
    EXPECT_TRUE(isConnected(output.Get()));
    EXPECT_EQ(connectedSize(sink->pin), std::make_pair(LONG(320), LONG(240)));
    EXPECT_EQ(connectedSize(input1.Get()), std::make_pair(LONG(320), LONG(240)));
    runAndExpectFrames(5, 320 * 240 * 3);
}

// Runs `work` on a thread of its own and waits up to `seconds` for it. A
// deadlock cannot be undone, so on time-out the test program ends at once
// with a failure rather than hanging until ctest kills it.
void runWithDeadline(const std::function<void()>& work, int seconds, const char* what) {
    std::mutex guard;
    std::condition_variable finished;
    bool done = false;
    std::thread runner([&] {
        work();
        std::lock_guard<std::mutex> hold(guard);
        done = true;
        finished.notify_all();
    });
    std::unique_lock<std::mutex> hold(guard);
    if (!finished.wait_for(hold, std::chrono::seconds(seconds), [&] { return done; })) {
        std::fprintf(stderr, "FAILED: %s did not finish within %d s (deadlock)\n", what, seconds);
        std::fflush(stderr);
        std::_Exit(1);
    }
    hold.unlock();
    runner.join();
}

TEST_F(HostGraphTest, SetFormatOnOneThreadWhileAnotherPausesAndStopsTheGraph) {
    ASSERT_EQ(graph->ConnectDirect(output.Get(), sink->pin, nullptr), S_OK);
    constexpr int rounds = 40;
    std::atomic<bool> stopSetting{false};
    std::atomic<int> formatsSet{0};
    std::atomic<int> setFailures{0};
    std::atomic<int> stateFailures{0};
    int cycles = 0;

    runWithDeadline(
        [&] {
            // A host's settings dialog: the current format set again, over
            // and over, on the connected pin.
            std::thread setter([&] {
                while (!stopSetting.load()) {
                    AM_MEDIA_TYPE* type = nullptr;
                    HRESULT hr = config->GetFormat(&type);
                    if (hr == S_OK) hr = type ? config->SetFormat(type) : E_POINTER;
                    deleteMediaType(type);
                    if (hr != S_OK) ++setFailures;
                    ++formatsSet;
                }
            });
            // The host's main thread cycling the graph meanwhile.
            while (cycles < rounds || formatsSet.load() < rounds) {
                if (FAILED(control->Pause())) ++stateFailures;
                if (FAILED(control->Stop())) ++stateFailures;
                ++cycles;
            }
            stopSetting = true;
            setter.join();
        },
        30, "SetFormat against Pause/Stop");

    EXPECT_EQ(setFailures.load(), 0);
    EXPECT_EQ(stateFailures.load(), 0);
    EXPECT_GE(formatsSet.load(), rounds);
    // The graph is whole afterwards and still delivers.
    EXPECT_TRUE(isConnected(output.Get()));
    EXPECT_TRUE(isConnected(input1.Get()));
    EXPECT_TRUE(isConnected(input2.Get()));
    EXPECT_EQ(connectedSize(sink->pin), std::make_pair(LONG(320), LONG(240)));
    runAndExpectFrames(5, 320 * 240 * 3);
}

}  // namespace
