// The test cameras in the platform's own DirectShow (Wine): registered with
// regsvr32, found through the system device enumerator by friendly name,
// streamed through the filter graph manager into SampleGrabber and
// NullRenderer, and gone again after regsvr32 /u.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "framework/device_enumeration.h"
#include "platform/com_ptr.h"
#include "platform/win.h"
#include "testcams/test_cameras.h"

#include <qedit.h>

EXTERN_C const CLSID CLSID_SampleGrabber;
EXTERN_C const CLSID CLSID_NullRenderer;
DV_DECLARE_IID(ISampleGrabber, IID_ISampleGrabber);

namespace {

// Runs regsvr32 /s (or /s /u) on the test camera library; its exit code.
DWORD regsvr32(bool unregister) {
    std::string unixPath = DV_TESTCAMS_DLL;
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
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

struct Device {
    std::wstring name;
    ComPtr<IMoniker> moniker;
};

std::vector<Device> videoInputDevices() {
    std::vector<Device> devices;
    const HRESULT hr = forEachVideoInputDevice([&](IMoniker* moniker, IPropertyBag*, const wchar_t* name) {
        if (name) devices.push_back({name, ComPtr<IMoniker>(moniker)});
    });
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    return devices;
}

std::vector<std::wstring> testCameraNames() {
    std::vector<std::wstring> names;
    for (const Device& device : videoInputDevices())
        if (device.name.rfind(L"Duoview Test Camera", 0) == 0) names.push_back(device.name);
    return names;
}

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

struct Grabbed {
    uint32_t stamp;
    long length;
    bool timeValid;
    REFERENCE_TIME start;
    std::vector<uint8_t> bytes;  // the first few frames only
};

// Records every sample SampleGrabber hands over (on the streaming thread).
class FrameRecorder : public ISampleGrabberCB {
public:
    explicit FrameRecorder(int width) : width(width) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ISampleGrabberCB) {
            *ppv = static_cast<ISampleGrabberCB*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample* sample) override {
        BYTE* data = nullptr;
        if (FAILED(sample->GetPointer(&data))) return S_OK;
        Grabbed frame{};
        frame.stamp = readFrameStamp(data, width, 3);
        frame.length = sample->GetActualDataLength();
        REFERENCE_TIME stop = 0;
        frame.timeValid = sample->GetTime(&frame.start, &stop) == S_OK;
        std::lock_guard<std::mutex> hold(lock);
        if (frames.size() < 3) frame.bytes.assign(data, data + frame.length);
        frames.push_back(std::move(frame));
        return S_OK;
    }
    STDMETHODIMP BufferCB(double, BYTE*, long) override { return E_NOTIMPL; }

    size_t count() {
        std::lock_guard<std::mutex> hold(lock);
        return frames.size();
    }
    std::vector<Grabbed> take() {
        std::lock_guard<std::mutex> hold(lock);
        return frames;
    }

private:
    int width;
    std::mutex lock;
    std::vector<Grabbed> frames;
};

class WineGraphTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }

    // Camera `name` -> SampleGrabber (RGB24) -> NullRenderer at width x height;
    // runs until `wanted` frames were grabbed; checks them against the eye picture.
    void streamThroughSampleGrabber(const std::wstring& name, int eye, int width, int height, size_t wanted) {
        ComPtr<IMoniker> moniker;
        for (const Device& device : videoInputDevices())
            if (device.name == name) moniker = device.moniker;
        ASSERT_TRUE(moniker) << "device not listed";

        ComPtr<IGraphBuilder> graph;
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(graph.GetAddressOf())),
                  S_OK);
        ComPtr<IBaseFilter> camera, grabberFilter, renderer;
        ASSERT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                        reinterpret_cast<void**>(camera.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(grabberFilter.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(renderer.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(graph->AddFilter(camera.Get(), name.c_str()), S_OK);
        ASSERT_EQ(graph->AddFilter(grabberFilter.Get(), L"Grabber"), S_OK);
        ASSERT_EQ(graph->AddFilter(renderer.Get(), L"Renderer"), S_OK);

        ComPtr<ISampleGrabber> grabber;
        ASSERT_EQ(grabberFilter.As(&grabber), S_OK);
        AM_MEDIA_TYPE wantedType{};
        wantedType.majortype = MEDIATYPE_Video;
        wantedType.subtype = MEDIASUBTYPE_RGB24;
        wantedType.formattype = FORMAT_VideoInfo;
        ASSERT_EQ(grabber->SetMediaType(&wantedType), S_OK);
        FrameRecorder recorder(width);
        ASSERT_EQ(grabber->SetCallback(&recorder, 0), S_OK);

        ComPtr<IPin> cameraOut = pinOf(camera.Get(), PINDIR_OUTPUT);
        ASSERT_TRUE(cameraOut);
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(cameraOut.As(&config), S_OK);
        int count = 0, size = 0;
        ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
        EXPECT_EQ(size, static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)));
        AM_MEDIA_TYPE* format = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps;
        ASSERT_EQ(config->GetStreamCaps(1, &format, reinterpret_cast<BYTE*>(&caps)), S_OK);
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(format->pbFormat);
        info->bmiHeader.biWidth = width;
        info->bmiHeader.biHeight = height;
        info->bmiHeader.biSizeImage = static_cast<DWORD>(((width * 24 + 31) / 32) * 4 * height);
        EXPECT_EQ(config->SetFormat(format), S_OK);
        CoTaskMemFree(format->pbFormat);
        CoTaskMemFree(format);

        ComPtr<IPin> grabberIn = pinOf(grabberFilter.Get(), PINDIR_INPUT);
        ComPtr<IPin> grabberOut = pinOf(grabberFilter.Get(), PINDIR_OUTPUT);
        ComPtr<IPin> rendererIn = pinOf(renderer.Get(), PINDIR_INPUT);
        ASSERT_EQ(graph->ConnectDirect(cameraOut.Get(), grabberIn.Get(), nullptr), S_OK);
        ASSERT_EQ(graph->ConnectDirect(grabberOut.Get(), rendererIn.Get(), nullptr), S_OK);

        AM_MEDIA_TYPE connected{};
        ASSERT_EQ(grabber->GetConnectedMediaType(&connected), S_OK);
        ASSERT_EQ(connected.formattype, FORMAT_VideoInfo);
        const auto* agreed = reinterpret_cast<const VIDEOINFOHEADER*>(connected.pbFormat);
        EXPECT_EQ(agreed->bmiHeader.biWidth, width);
        EXPECT_EQ(agreed->bmiHeader.biHeight, height);
        CoTaskMemFree(connected.pbFormat);

        ComPtr<IMediaControl> control;
        ASSERT_EQ(graph.As(&control), S_OK);
        const DWORD begin = GetTickCount();
        ASSERT_TRUE(SUCCEEDED(control->Run()));  // S_FALSE under Wine
        while (recorder.count() < wanted && GetTickCount() - begin < 15000)
            Sleep(10);
        const DWORD elapsed = GetTickCount() - begin;
        EXPECT_TRUE(SUCCEEDED(control->Stop()));  // VFW_S_CANT_CUE under Wine
        std::vector<Grabbed> frames = recorder.take();
        ASSERT_GE(frames.size(), wanted);

        const TestPictureFormat pictureFormat{width, height, 24};
        std::vector<uint8_t> expected(testPictureSize(pictureFormat));
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].length, static_cast<long>(expected.size()));
            EXPECT_EQ(frames[i].stamp, i) << "frames in order, none lost";
            EXPECT_TRUE(frames[i].timeValid);
            if (i > 0 && frames[i].timeValid && frames[i - 1].timeValid) {
                EXPECT_GT(frames[i].start, frames[i - 1].start);
            }
            if (!frames[i].bytes.empty()) {
                renderTestFrame(eye, pictureFormat, frames[i].stamp, expected.data());
                EXPECT_TRUE(frames[i].bytes == expected) << "picture of frame " << i;
            }
        }
        const double seconds = (frames.back().start - frames.front().start) / 1e7;
        std::printf(
            "[ figures  ] Wine %ls %dx%d: %zu frames grabbed in %lu ms; %.1f frames/s by sample times\n",
            name.c_str(), width, height, frames.size(), static_cast<unsigned long>(elapsed),
            seconds > 0 ? (frames.size() - 1) / seconds : 0.0);
        grabber->SetCallback(nullptr, 0);
        graph->RemoveFilter(camera.Get());
        graph->RemoveFilter(grabberFilter.Get());
        graph->RemoveFilter(renderer.Get());
    }
};

TEST_F(WineGraphTest, Regsvr32RegistersDevicesThatStreamThroughSampleGrabberAndUnregisters) {
    ASSERT_EQ(regsvr32(true), 0u);  // a clean start in a prefix that may remember a failed run
    EXPECT_TRUE(testCameraNames().empty());

    ASSERT_EQ(regsvr32(false), 0u);
    const std::vector<Device> devices = videoInputDevices();
    ASSERT_GE(devices.size(), 3u);
    // Ordinary devices first, in order (the prefix has no other video inputs).
    EXPECT_EQ(devices[0].name, L"Duoview Test Camera A");
    EXPECT_EQ(devices[1].name, L"Duoview Test Camera B");
    EXPECT_EQ(devices[2].name, L"Duoview Test Camera C");
    EXPECT_EQ(testCameraNames().size(), 3u) << "variants only on request";

    streamThroughSampleGrabber(L"Duoview Test Camera A", 0, 320, 240, 10);
    streamThroughSampleGrabber(L"Duoview Test Camera B", 1, 640, 480, 10);

    ASSERT_EQ(regsvr32(true), 0u);
    EXPECT_TRUE(testCameraNames().empty());
    ComPtr<IBaseFilter> gone;
    EXPECT_TRUE(FAILED(CoCreateInstance(CLSID_DuoviewTestCameraA, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IBaseFilter, reinterpret_cast<void**>(gone.GetAddressOf()))));
}

TEST_F(WineGraphTest, VariantsAreListedAfterTheOrdinaryDevicesOnRequest) {
    SetEnvironmentVariableW(L"DV_TESTCAMS_VARIANTS", L"1");
    ASSERT_EQ(regsvr32(false), 0u);
    SetEnvironmentVariableW(L"DV_TESTCAMS_VARIANTS", nullptr);
    EXPECT_EQ(testCameraNames(),
              (std::vector<std::wstring>{L"Duoview Test Camera A", L"Duoview Test Camera B",
                                         L"Duoview Test Camera C", L"Duoview Test Camera NoRGB24",
                                         L"Duoview Test Camera Stall", L"Duoview Test Camera TopDown"}));
    ASSERT_EQ(regsvr32(true), 0u);
    EXPECT_TRUE(testCameraNames().empty());
}

}  // namespace
