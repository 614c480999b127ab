// The virtual camera chosen as one of its own cameras, in the POSIX runtime's
// graph with the registered product and test cameras: connecting "Output1"
// is refused with the attachment's message and leaves the graph as it was
// (no second instance of the filter, no camera), the stored positions stay,
// and the same filter given two real cameras then connects and streams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../platform/loaded_module.h"
#include "filter/stereo_interfaces.h"
#include "framework/device_enumeration.h"
#include "platform/messagebox.h"
#include "test_sink.h"

namespace {

struct Box {
    std::string text, caption;
    unsigned type;
};

std::vector<Box>& shownBoxes() {
    static std::vector<Box> boxes;
    return boxes;
}

int recordBox(const char* text, const char* caption, unsigned type) {
    shownBoxes().push_back({text, caption, type});
    return IDOK;
}

// The friendly names of the video input devices, in the order the product lists them.
std::vector<std::wstring> videoInputNames() {
    std::vector<std::wstring> names;
    const HRESULT hr = forEachVideoInputDevice([&](IMoniker*, IPropertyBag*, const wchar_t* name) {
        if (name) names.emplace_back(name);
    });
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    return names;
}

int indexOf(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
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

std::vector<std::wstring> filterNames(IFilterGraph* graph) {
    std::vector<std::wstring> names;
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(filters.GetAddressOf()))) return names;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        FILTER_INFO info{};
        if (SUCCEEDED(filter->QueryFilterInfo(&info))) {
            names.emplace_back(info.achName);
            if (info.pGraph) info.pGraph->Release();
        }
    }
    return names;
}

bool isConnected(IPin* pin) {
    ComPtr<IPin> peer;
    return pin->ConnectedTo(peer.GetAddressOf()) == S_OK;
}

TEST(SelfAsCamera, RefusedWithoutTouchingTheGraphThenRealCamerasStream) {
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
    LoadedModule cameras(DV_TESTCAMS_MODULE);
    LoadedModule product(DV_MODULE_PATH);
    ASSERT_NE(cameras.handle, nullptr) << dlerror();
    ASSERT_NE(product.handle, nullptr) << dlerror();
    ASSERT_EQ(cameras.call("DllRegisterServer"), S_OK);
    ASSERT_EQ(product.call("DllRegisterServer"), S_OK);
    const std::vector<std::wstring> names = videoInputNames();
    const int self = indexOf(names, virtualCameraFriendlyName);
    const int cameraA = indexOf(names, L"Duoview Test Camera A");
    const int cameraB = indexOf(names, L"Duoview Test Camera B");
    ASSERT_GE(self, 0);
    ASSERT_GE(cameraA, 0);
    ASSERT_GE(cameraB, 0);
    // As the camera selection page stores them: the virtual camera as the left one.
    storeName("lcamName", "Vanto 3D Virtual Camera2");
    storeName("rcamName", "Duoview Test Camera B");

    MessageBoxHandler previous = dvSetMessageBoxHandler(&recordBox);
    shownBoxes().clear();
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
        ComPtr<IBaseFilter> sinkFilter(static_cast<IBaseFilter*>(sink));
        ASSERT_EQ(graph->AddFilter(vcam.Get(), virtualCameraFriendlyName), S_OK);
        ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"Sink"), S_OK);
        ComPtr<IPin> output;
        ASSERT_EQ(vcam->FindPin(L"Output1", output.GetAddressOf()), S_OK);
        ComPtr<ICameraSelection> selection;
        ASSERT_EQ(output.As(&selection), S_OK);
        ComPtr<IPin> input1;
        ASSERT_EQ(vcam->FindPin(L"Input1", input1.GetAddressOf()), S_OK);
        const std::vector<std::wstring> before = filterNames(graph.Get());
        ASSERT_EQ(before.size(), 2u);

        struct Case {
            const char* what;
            int left, right;
            bool fromStore;  // the indices come from the stored names
            const char* message;
        };
        const Case cases[] = {
            {"stored as the left camera", self, cameraB, true,
             "The virtual camera cannot use itself as the left camera"},
            {"chosen as the right camera", cameraA, self, false,
             "The virtual camera cannot use itself as the right camera"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            if (!c.fromStore) {
                ASSERT_EQ(selection->SetCameraIndices(c.left, c.right), S_OK);
            }
            int left = -1, right = -1;
            ASSERT_EQ(selection->GetCameraIndices(&left, &right), S_OK);
            ASSERT_EQ(left, c.left);
            ASSERT_EQ(right, c.right);

            shownBoxes().clear();
            EXPECT_EQ(graph->ConnectDirect(output.Get(), sink->inputPin(), nullptr), VFW_E_TYPE_NOT_ACCEPTED);
            ASSERT_EQ(shownBoxes().size(), 1u);
            EXPECT_EQ(shownBoxes()[0].text, c.message);
            EXPECT_EQ(shownBoxes()[0].caption, "Error");
            EXPECT_EQ(shownBoxes()[0].type, static_cast<unsigned>(MB_ICONERROR));
            shownBoxes().clear();
            EXPECT_EQ(filterNames(graph.Get()), before);
            EXPECT_FALSE(isConnected(output.Get()));
            EXPECT_FALSE(isConnected(input1.Get()));
            // The positions stay as they were.
            ASSERT_EQ(selection->GetCameraIndices(&left, &right), S_OK);
            EXPECT_EQ(left, c.left);
            EXPECT_EQ(right, c.right);

            // The same filter with two real cameras connects and streams.
            ASSERT_EQ(selection->SetCameraIndices(cameraA, cameraB), S_OK);
            ASSERT_EQ(graph->ConnectDirect(output.Get(), sink->inputPin(), nullptr), S_OK);
            EXPECT_EQ(filterNames(graph.Get()).size(), 4u);
            const size_t frames = sink->frameCount();
            ASSERT_TRUE(SUCCEEDED(control->Run()));
            EXPECT_TRUE(sink->waitForFrames(frames + 5, 10000));
            ASSERT_TRUE(SUCCEEDED(control->Stop()));
            EXPECT_EQ(graph->Disconnect(output.Get()), S_OK);
            EXPECT_EQ(graph->Disconnect(sink->inputPin()), S_OK);
            EXPECT_EQ(filterNames(graph.Get()), before);
            for (const Box& box : shownBoxes())
                ADD_FAILURE() << "unexpected message: " << box.text;
        }
        EXPECT_EQ(graph->RemoveFilter(vcam.Get()), S_OK);
        EXPECT_EQ(graph->RemoveFilter(sinkFilter.Get()), S_OK);
    }
    dvSetMessageBoxHandler(previous);
    EXPECT_EQ(product.call("DllCanUnloadNow"), S_OK);
    EXPECT_EQ(product.call("DllUnregisterServer"), S_OK);
    EXPECT_EQ(cameras.call("DllUnregisterServer"), S_OK);
}

}  // namespace
