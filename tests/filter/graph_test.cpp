// End to end on the POSIX runtime: the registered Duoview2 module in a host's
// graph with the synthetic test cameras. Connecting "Output1" attaches both
// cameras, frames flow as composed pairs into a fake downstream pin, and
// disconnecting removes the cameras again.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

#include "filter/stereo_interfaces.h"
#include "filter_fakes.h"

namespace {

struct LoadedModule {
    explicit LoadedModule(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedModule() {
        if (handle) dlclose(handle);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    HRESULT call(const char* name) const {
        auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(handle, name));
        return entry ? entry() : E_NOTIMPL;
    }
    void* handle;
};

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

TEST(StereoGraph, HostConnectsTheVirtualCameraAndReceivesComposedPairs) {
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
    LoadedModule cameras(DV_TESTCAMS_MODULE);
    LoadedModule product(DV_MODULE_PATH);
    ASSERT_NE(cameras.handle, nullptr) << dlerror();
    ASSERT_NE(product.handle, nullptr) << dlerror();
    ASSERT_EQ(cameras.call("DllRegisterServer"), S_OK);
    ASSERT_EQ(product.call("DllRegisterServer"), S_OK);
    {
        ComPtr<IGraphBuilder> graph;
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        ComPtr<IMediaControl> control;
        ASSERT_EQ(graph.As(&control), S_OK);
        ComPtr<IBaseFilter> vcam;
        ASSERT_EQ(CoCreateInstance(CLSID_StereoCameraFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(vcam.GetAddressOf())),
                  S_OK);
        ComPtr<FakeSinkFilter> sink(new FakeSinkFilter);
        ASSERT_TRUE(SUCCEEDED(graph->AddFilter(vcam.Get(), kVirtualCameraName)));
        ASSERT_TRUE(SUCCEEDED(graph->AddFilter(sink.Get(), L"Sink")));
        ComPtr<IPin> output = pinNamed(vcam.Get(), L"Output1");
        ComPtr<IPin> input1 = pinNamed(vcam.Get(), L"Input1");
        ComPtr<IPin> input2 = pinNamed(vcam.Get(), L"Input2");
        ASSERT_TRUE(output && input1 && input2);

        for (int attachment = 0; attachment < 2; ++attachment) {
            ASSERT_EQ(graph->ConnectDirect(output.Get(), sink->pin, nullptr), S_OK) << "attachment " << attachment;
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
        EXPECT_EQ(graph->RemoveFilter(vcam.Get()), S_OK);
        EXPECT_EQ(graph->RemoveFilter(sink.Get()), S_OK);
    }
    EXPECT_EQ(product.call("DllCanUnloadNow"), S_OK);
    EXPECT_EQ(product.call("DllUnregisterServer"), S_OK);
    EXPECT_EQ(cameras.call("DllUnregisterServer"), S_OK);
}

}  // namespace
