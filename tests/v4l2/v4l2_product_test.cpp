// End to end on POSIX: the virtual camera with two fake V4L2 webcams as its
// left and right cameras, found through the device enumerator, bound through
// the registered V4L2 source module, composed and streamed into a sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../platform/loaded_module.h"
#include "fake_v4l2.h"
#include "filter/stereo_interfaces.h"
#include "platform/messagebox.h"
#include "test_sink.h"

namespace {

std::vector<std::string>& shownBoxes() {
    static std::vector<std::string> boxes;
    return boxes;
}

int recordBox(const char* text, const char*, unsigned) {
    shownBoxes().push_back(text);
    return IDOK;
}

void storeName(const char* value, const std::string& name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\VANTO Automation\\stereoWebcam", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.data()),
                             static_cast<DWORD>(name.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(V4l2Product, TwoFakeWebcamsComposeIntoTheVirtualCamera) {
    FakeNode left;
    left.name = "video0";
    left.card = "Webcam";
    left.formats = {{V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}, {30}}};
    left.luma = 81, left.cb = 90, left.cr = 240;  // red: B 0, G 0, R 254
    FakeNode right = left;
    right.name = "video2";
    right.luma = 41, right.cb = 240, right.cr = 110;  // blue: B 255, G 0, R 0
    FakeV4l2 fake({left, right});

    LoadedModule sources(DV_V4L2_MODULE);
    LoadedModule product(DV_MODULE_PATH);
    ASSERT_EQ(sources.call("DllRegisterServer"), S_OK);
    ASSERT_EQ(product.call("DllRegisterServer"), S_OK);
    // Two webcams of one model share their name: the first is the left one,
    // the second the right one.
    storeName("lcamName", "Webcam");
    storeName("rcamName", "Webcam");

    MessageBoxHandler previous = dvSetMessageBoxHandler(&recordBox);
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
        auto* sink = new TestSinkFilter;
        sink->keepPictures = true;
        ComPtr<IBaseFilter> sinkFilter(static_cast<IBaseFilter*>(sink));
        ASSERT_EQ(graph->AddFilter(vcam.Get(), virtualCameraFriendlyName), S_OK);
        ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"Sink"), S_OK);
        ComPtr<IPin> output;
        ASSERT_EQ(vcam->FindPin(L"Output1", output.GetAddressOf()), S_OK);
        ComPtr<ICameraSelection> selection;
        ASSERT_EQ(output.As(&selection), S_OK);
        int leftIndex = -1, rightIndex = -1;
        ASSERT_EQ(selection->GetCameraIndices(&leftIndex, &rightIndex), S_OK);
        EXPECT_NE(leftIndex, rightIndex);

        ASSERT_EQ(graph->ConnectDirect(output.Get(), sink->inputPin(), nullptr), S_OK);
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        EXPECT_EQ(fake.streamingNodes(), 2);
        ASSERT_TRUE(sink->waitForFrames(5, 10000));
        ASSERT_TRUE(SUCCEEDED(control->Stop()));
        EXPECT_EQ(fake.openDescriptors(), 0);

        // Picture in picture (the default mode): the left camera's red with the
        // right camera's blue inset.
        const ReceivedFrame frame = sink->frames().back();
        size_t red = 0, blue = 0;
        for (size_t i = 0; i + 2 < frame.bytes.size(); i += 3) {
            red += frame.bytes[i] < 8 && frame.bytes[i + 1] < 8 && frame.bytes[i + 2] > 245;
            blue += frame.bytes[i] > 245 && frame.bytes[i + 1] < 8 && frame.bytes[i + 2] < 8;
        }
        const size_t pixels = frame.bytes.size() / 3;
        EXPECT_GT(red, pixels / 2);
        EXPECT_GT(blue, pixels / 50);

        EXPECT_EQ(graph->Disconnect(output.Get()), S_OK);
        EXPECT_EQ(graph->Disconnect(sink->inputPin()), S_OK);
        EXPECT_EQ(graph->RemoveFilter(vcam.Get()), S_OK);
        EXPECT_EQ(graph->RemoveFilter(sinkFilter.Get()), S_OK);
    }
    dvSetMessageBoxHandler(previous);
    for (const std::string& box : shownBoxes())
        ADD_FAILURE() << "unexpected message: " << box;
    EXPECT_EQ(product.call("DllUnregisterServer"), S_OK);
    EXPECT_EQ(sources.call("DllUnregisterServer"), S_OK);
}

}  // namespace
