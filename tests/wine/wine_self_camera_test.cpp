// The virtual camera chosen as one of its own cameras, in the platform's own
// DirectShow (Wine): the product and the test cameras registered with
// regsvr32, the filter graph manager, SampleGrabber and NullRenderer.
// Connecting "Output1" is refused with the attachment's message box, the
// graph keeps exactly its filters, and the same filter given two real
// cameras then connects and delivers frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "filter/stereo_interfaces.h"
#include "framework/device_enumeration.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

#include <qedit.h>

EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;
DV_DECLARE_IID(ISampleGrabber, IID_ISampleGrabber);

namespace {

constexpr const char* settingsKey = "Software\\VANTO Automation\\stereoWebcam";

// Runs regsvr32 /s (or /s /u) on a library given by its Unix path; its exit code.
DWORD regsvr32(const char* unixPath, bool unregister) {
    std::wstring path = L"Z:";
    for (const char* c = unixPath; *c; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    std::wstring command =
        std::wstring(L"regsvr32.exe /s ") + (unregister ? L"/u " : L"") + L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return GetLastError() | 0x80000000u;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFFu;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

std::vector<std::wstring> videoInputNames() {
    std::vector<std::wstring> names;
    const HRESULT hr = forEachVideoInputDevice(
        [&](IMoniker*, IPropertyBag*, const wchar_t* name) { names.emplace_back(name ? name : L"?"); });
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    return names;
}

int indexOf(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

// A stored camera name: read before the test, written for it, put back after.
struct StoredName {
    explicit StoredName(const char* value) : value(value) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
        char data[300] = {};
        DWORD type = 0, size = sizeof(data) - 1;
        existed = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
                      ERROR_SUCCESS &&
                  type == REG_SZ;
        if (existed) previous.assign(data, size);
        RegCloseKey(key);
    }
    ~StoredName() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
        if (existed)
            RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(previous.data()),
                           static_cast<DWORD>(previous.size()));
        else
            RegDeleteValueA(key, value);
        RegCloseKey(key);
    }
    void set(const std::string& name) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.data()),
                                 static_cast<DWORD>(name.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    const char* value;
    bool existed = false;
    std::string previous;
};

// Answers every message box of this process with OK from its own thread and
// records caption and text (a message box is a #32770 dialog with its text
// in control 0xFFFF).
class MessageBoxWatcher {
public:
    struct Box {
        std::string caption, text;
    };
    MessageBoxWatcher() : worker([this] { run(); }) {}
    ~MessageBoxWatcher() {
        stopping = true;
        worker.join();
    }
    std::vector<Box> take() {
        std::lock_guard<std::mutex> hold(lock);
        std::vector<Box> all;
        all.swap(boxes);
        return all;
    }

private:
    static BOOL CALLBACK visit(HWND window, LPARAM self) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
        WCHAR className[16] = {};
        GetClassNameW(window, className, 16);
        if (std::wcscmp(className, L"#32770") != 0 || !GetDlgItem(window, 0xFFFF)) return TRUE;
        Box box;
        char caption[256] = {}, text[1024] = {};
        GetWindowTextA(window, caption, sizeof caption);
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        box.caption = caption;
        box.text = text;
        auto* watcher = reinterpret_cast<MessageBoxWatcher*>(self);
        {
            std::lock_guard<std::mutex> hold(watcher->lock);
            watcher->boxes.push_back(box);
        }
        // Hidden at once, so that the next round does not record it again.
        ShowWindow(window, SW_HIDE);
        PostMessageW(window, WM_COMMAND, IDOK, 0);
        return TRUE;
    }
    void run() {
        while (!stopping) {
            EnumWindows(visit, reinterpret_cast<LPARAM>(this));
            Sleep(50);
        }
    }
    std::mutex lock;
    std::vector<Box> boxes;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

class FrameCounter : public ISampleGrabberCB {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *ppv = static_cast<ISampleGrabberCB*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample*) override {
        ++frames;
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return E_NOTIMPL; }
    std::atomic<long> frames{0};
};

ComPtr<IPin> pinOf(IBaseFilter* filter, PIN_DIRECTION wanted) {
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.GetAddressOf()))) return nullptr;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted) return pin;
    }
    return nullptr;
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
    const bool connected = pin->ConnectedTo(peer.GetAddressOf()) == S_OK;
    return connected;
}

TEST(WineSelfAsCamera, RefusedWithoutTouchingTheGraphThenRealCamerasStream) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        // Registered here unless already listed (the host's end-to-end
        // fixture may hold them); only what this test registered is removed.
        const std::vector<std::wstring> listed = videoInputNames();
        const bool registerProduct = indexOf(listed, virtualCameraFriendlyName) < 0;
        const bool registerCameras = indexOf(listed, L"Duoview Test Camera A") < 0;
        if (registerProduct) {
            ASSERT_EQ(regsvr32(DV_PRODUCT_DLL, false), 0u);
        }
        if (registerCameras) {
            ASSERT_EQ(regsvr32(DV_TESTCAMS_DLL, false), 0u);
        }
        const std::vector<std::wstring> names = videoInputNames();
        const int self = indexOf(names, virtualCameraFriendlyName);
        const int cameraA = indexOf(names, L"Duoview Test Camera A");
        const int cameraB = indexOf(names, L"Duoview Test Camera B");
        ASSERT_GE(self, 0);
        ASSERT_GE(cameraA, 0);
        ASSERT_GE(cameraB, 0);

        StoredName left("lcamName"), right("rcamName");
        left.set("Vanto 3D Virtual Camera2");
        right.set("Duoview Test Camera B");
        MessageBoxWatcher watcher;
        {
            ComPtr<IGraphBuilder> graph;
            ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                       reinterpret_cast<void**>(graph.GetAddressOf())),
                      S_OK);
            ComPtr<IBaseFilter> vcam, grabberFilter, renderer;
            ASSERT_EQ(CoCreateInstance(CLSID_StereoCameraFilter, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IBaseFilter, reinterpret_cast<void**>(vcam.GetAddressOf())),
                      S_OK);
            ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       reinterpret_cast<void**>(grabberFilter.GetAddressOf())),
                      S_OK);
            ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       reinterpret_cast<void**>(renderer.GetAddressOf())),
                      S_OK);
            ASSERT_EQ(graph->AddFilter(vcam.Get(), virtualCameraFriendlyName), S_OK);
            ASSERT_EQ(graph->AddFilter(grabberFilter.Get(), L"Grabber"), S_OK);
            ASSERT_EQ(graph->AddFilter(renderer.Get(), L"Renderer"), S_OK);
            ComPtr<ISampleGrabber> grabber;
            ASSERT_EQ(grabberFilter.As(&grabber), S_OK);
            AM_MEDIA_TYPE wantedType{};
            wantedType.majortype = MEDIATYPE_Video;
            wantedType.subtype = MEDIASUBTYPE_RGB24;
            wantedType.formattype = FORMAT_VideoInfo;
            ASSERT_EQ(grabber->SetMediaType(&wantedType), S_OK);
            FrameCounter counter;
            ASSERT_EQ(grabber->SetCallback(&counter, 0), S_OK);

            ComPtr<IPin> output;
            ASSERT_EQ(vcam->FindPin(L"Output1", output.GetAddressOf()), S_OK);
            ComPtr<ICameraSelection> selection;
            ASSERT_EQ(output.As(&selection), S_OK);
            ComPtr<IPin> grabberIn = pinOf(grabberFilter.Get(), PINDIR_INPUT);
            ComPtr<IPin> grabberOut = pinOf(grabberFilter.Get(), PINDIR_OUTPUT);
            ComPtr<IPin> rendererIn = pinOf(renderer.Get(), PINDIR_INPUT);
            ASSERT_TRUE(grabberIn && grabberOut && rendererIn);
            const std::vector<std::wstring> before = filterNames(graph.Get());
            ASSERT_EQ(before.size(), 3u);

            struct Case {
                const char* what;
                int left, right;
                bool fromStore;
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
                int leftIndex = -1, rightIndex = -1;
                ASSERT_EQ(selection->GetCameraIndices(&leftIndex, &rightIndex), S_OK);
                ASSERT_EQ(leftIndex, c.left);
                ASSERT_EQ(rightIndex, c.right);

                EXPECT_EQ(graph->ConnectDirect(output.Get(), grabberIn.Get(), nullptr),
                          VFW_E_TYPE_NOT_ACCEPTED);
                const std::vector<MessageBoxWatcher::Box> shown = watcher.take();
                ASSERT_EQ(shown.size(), 1u);
                EXPECT_EQ(shown[0].caption, "Error");
                EXPECT_EQ(shown[0].text, c.message);
                EXPECT_EQ(filterNames(graph.Get()), before);
                EXPECT_FALSE(isConnected(output.Get()));
                ASSERT_EQ(selection->GetCameraIndices(&leftIndex, &rightIndex), S_OK);
                EXPECT_EQ(leftIndex, c.left);
                EXPECT_EQ(rightIndex, c.right);

                // The same filter with two real cameras connects and streams.
                ASSERT_EQ(selection->SetCameraIndices(cameraA, cameraB), S_OK);
                ASSERT_EQ(graph->ConnectDirect(output.Get(), grabberIn.Get(), nullptr), S_OK);
                ASSERT_EQ(graph->ConnectDirect(grabberOut.Get(), rendererIn.Get(), nullptr), S_OK);
                EXPECT_EQ(filterNames(graph.Get()).size(), 5u);
                ComPtr<IMediaControl> control;
                ASSERT_EQ(graph.As(&control), S_OK);
                const long start = counter.frames;
                ASSERT_TRUE(SUCCEEDED(control->Run()));
                const DWORD begin = GetTickCount();
                while (counter.frames < start + 5 && GetTickCount() - begin < 15000)
                    Sleep(10);
                EXPECT_TRUE(SUCCEEDED(control->Stop()));
                EXPECT_GE(counter.frames - start, 5);
                EXPECT_EQ(graph->Disconnect(grabberOut.Get()), S_OK);
                EXPECT_EQ(graph->Disconnect(rendererIn.Get()), S_OK);
                EXPECT_EQ(graph->Disconnect(output.Get()), S_OK);
                EXPECT_EQ(graph->Disconnect(grabberIn.Get()), S_OK);
                EXPECT_EQ(filterNames(graph.Get()), before);
                EXPECT_TRUE(watcher.take().empty());
            }
            grabber->SetCallback(nullptr, 0);
            graph->RemoveFilter(vcam.Get());
            graph->RemoveFilter(grabberFilter.Get());
            graph->RemoveFilter(renderer.Get());
        }
        if (registerCameras) {
            EXPECT_EQ(regsvr32(DV_TESTCAMS_DLL, true), 0u);
        }
        if (registerProduct) {
            EXPECT_EQ(regsvr32(DV_PRODUCT_DLL, true), 0u);
        }
    }
    CoUninitialize();
}

}  // namespace
