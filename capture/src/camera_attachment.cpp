#include "capture/camera_attachment.h"

#include <cstdint>
#include <mutex>
#include <utility>

#include "capture/camera_frame_pin.h"
#include "capture/camera_list.h"
#include "compositor/frame_store.h"
#include "compositor/runtime_settings.h"
#include "framework/media_format.h"
#include "platform/trace.h"

namespace {

// The attached camera filters, one reference each while set. Written while
// the output pin connects and disconnects (filter lock), read by the image
// type page on its own thread: `cameraGuard` protects only the two pointers
// and is never held while calling out, so a camera's last Release happens
// outside it.
std::mutex cameraGuard;
ComPtr<IBaseFilter> leftCameraFilter;
ComPtr<IBaseFilter> rightCameraFilter;

ComPtr<IBaseFilter>& cameraSlot(bool left) {
    return left ? leftCameraFilter : rightCameraFilter;
}

// Replaces the attached camera of one side; the previous one is released
// after the guard is let go.
void setAttachedCamera(bool left, ComPtr<IBaseFilter> camera) {
    {
        std::lock_guard<std::mutex> hold(cameraGuard);
        cameraSlot(left).Swap(camera);
    }
}

ComPtr<IBaseFilter> takeAttachedCamera(bool left) {
    ComPtr<IBaseFilter> camera;
    std::lock_guard<std::mutex> hold(cameraGuard);
    cameraSlot(left).Swap(camera);
    return camera;
}

void showError(const char* text) {
    MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
}

// The texts and names of one side.
struct CameraSide {
    bool left;
    const wchar_t* graphName;
    const char* cannotFind;
    const char* cannotAdd;
    const char* noCaptureFormat;
};

const CameraSide leftSide{true, kLeftCameraName, "Can't find left camera", "failed add cam1",
                          "Left camera does not support RGB24 or video size is not 320x240 or 640x480, it may not work."};
const CameraSide rightSide{false, kRightCameraName, "Can't find right camera", "failed add cam2",
                           "Right camera does not support RGB24 or video size is not 320x240 or 640x480, it may not work"};

// Makes the camera of `side` the attached one: the filter already in the
// graph under the side's name, else a new filter from list entry `index`
// added under that name.
HRESULT findOrAddCamera(IFilterGraph* graph, const CameraSide& side, int32_t index, int32_t otherIndex) {
    setAttachedCamera(side.left, nullptr);

    ComPtr<IBaseFilter> camera;
    HRESULT hr = graph->FindFilterByName(side.graphName, camera.GetAddressOf());
    if (SUCCEEDED(hr) && camera) {
        // Reused unchanged (e.g. from a saved graph): whatever device it is.
        DV_TRACE(TraceLevel::state, "camera %s: reusing the graph's \"%s\"", side.left ? "left" : "right",
                 TraceText(side.graphName).text);
        setAttachedCamera(side.left, std::move(camera));
        return S_OK;
    }
    camera.Reset();

    if (index == otherIndex) {
        DV_TRACE(TraceLevel::error, "camera %s: both sides name list entry %d: %s",
                 side.left ? "left" : "right", index, TraceHr(E_FAIL).text);
        return E_FAIL;
    }
    // An index set without a range check (ICameraSelection) is a camera that
    // cannot be found, never a read outside the list.
    const CameraEntry* entry = cameraList.at(index);
    if (!entry || !entry->moniker) {
        DV_TRACE(TraceLevel::error, "camera %s: not found (list entry %d of %zu): %s",
                 side.left ? "left" : "right", index, cameraList.size(), TraceHr(E_FAIL).text);
        showError(side.cannotFind);
        return E_FAIL;
    }
    hr = entry->moniker->BindToObject(nullptr, nullptr, iidOf<IBaseFilter>(),
                                      reinterpret_cast<void**>(camera.GetAddressOf()));
    if (SUCCEEDED(hr) && !camera) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "camera %s: \"%s\" cannot be created: %s", side.left ? "left" : "right",
                 entry->name ? entry->name : "", TraceHr(hr).text);
        showError(side.cannotFind);
        return hr;
    }
    setAttachedCamera(side.left, camera);
    hr = graph->AddFilter(camera.Get(), side.graphName);
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "camera %s: \"%s\" not added to the graph: %s",
                 side.left ? "left" : "right", entry->name ? entry->name : "", TraceHr(hr).text);
        showError(side.cannotAdd);
        return hr;
    }
    DV_TRACE(TraceLevel::state, "camera %s: \"%s\" attached as \"%s\"", side.left ? "left" : "right",
             entry->name ? entry->name : "", TraceText(side.graphName).text);
    return S_OK;
}

// Sets the capture format of the attached camera of `side` and connects its
// first output pin to `input`. False when the camera has no output pin
// (nothing is then done); else *connected receives ConnectDirect's result.
bool formatAndConnect(IFilterGraph* graph, const CameraSide& side, IPin* input, const VideoFormatValues& format,
                      HRESULT* connected) {
    const ComPtr<IBaseFilter> camera = attachedCamera(side.left);
    const ComPtr<IPin> cameraPin = findFirstPin(camera.Get(), PINDIR_OUTPUT);
    if (!cameraPin) {
        DV_TRACE(TraceLevel::error, "camera %s: has no output pin: %s", side.left ? "left" : "right",
                 TraceHr(VFW_E_NOT_FOUND).text);
        return false;
    }
    const int formatSet =
        setCaptureFormat(cameraPin.Get(), MEDIASUBTYPE_RGB24, format.width, format.height, format.frameRate);
    if (formatSet < 0) {
        DV_TRACE(TraceLevel::error, "camera %s: capture format RGB24 %dx%d %d fps not set",
                 side.left ? "left" : "right", format.width, format.height, format.frameRate);
        showError(side.noCaptureFormat);
    }
    *connected = graph->ConnectDirect(cameraPin.Get(), input, nullptr);
    DV_TRACE(FAILED(*connected) ? TraceLevel::error : TraceLevel::state,
             "camera %s: connection to its input pin: %s", side.left ? "left" : "right",
             TraceHr(*connected).text);
    return true;
}

}  // namespace

ComPtr<IBaseFilter> attachedCamera(bool left) {
    std::lock_guard<std::mutex> hold(cameraGuard);
    return cameraSlot(left);
}

HRESULT attachCameras(FilterCore* owner, IPin* leftInput, IPin* rightInput) {
    if (!owner) return E_POINTER;
    IFilterGraph* graph = owner->filterGraph();
    if (!graph) return S_OK;
    if (!leftInput || !rightInput) return E_POINTER;
    // The list also holds this virtual camera: 3 entries are 2 other devices.
    if (cameraList.size() < 3) {
        DV_TRACE(TraceLevel::error,
                 "cameras: %zu video input devices, this one included; two others are needed: %s",
                 cameraList.size(), TraceHr(E_FAIL).text);
        return E_FAIL;
    }

    const int32_t leftIndex = runtimeSettings.leftCameraIndex;
    const int32_t rightIndex = runtimeSettings.rightCameraIndex;
    HRESULT hr = findOrAddCamera(graph, leftSide, leftIndex, rightIndex);
    if (FAILED(hr)) return hr;
    hr = findOrAddCamera(graph, rightSide, rightIndex, leftIndex);
    if (FAILED(hr)) return hr;

    const VideoFormatValues format = currentVideoFormat();
    HRESULT connected = S_OK;
    // The left connection's result is not examined.
    if (!formatAndConnect(graph, leftSide, leftInput, format, &connected)) return VFW_E_NOT_FOUND;
    if (!formatAndConnect(graph, rightSide, rightInput, format, &connected)) return VFW_E_NOT_FOUND;
    return connected;
}

int setCaptureFormat(IPin* cameraPin, const GUID& subtype, int width, int height, int framesPerSecond) {
    if (!cameraPin) return -1;
    ComPtr<IAMStreamConfig> config;
    if (FAILED(ComPtr<IPin>(cameraPin).As(&config)) || !config) return -1;

    int count = 0;
    int size = 0;
    if (FAILED(config->GetNumberOfCapabilities(&count, &size))) return -1;
    // Only a capability record of the known layout is read into our buffer.
    if (size != static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS))) return count == 0 ? -1 : 1;

    for (int index = 0; index < count; ++index) {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps;
        if (FAILED(config->GetStreamCaps(index, &type, reinterpret_cast<BYTE*>(&caps))) || !type) {
            deleteMediaType(type);
            continue;
        }
        const bool chosen = type->majortype == MEDIATYPE_Video && type->subtype == subtype &&
                            type->formattype == FORMAT_VideoInfo && type->pbFormat != nullptr &&
                            type->cbFormat >= sizeof(VIDEOINFOHEADER);
        if (!chosen) {
            deleteMediaType(type);
            continue;
        }

        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
        info->bmiHeader.biWidth = width;
        info->bmiHeader.biHeight = height;
        if (framesPerSecond > 0) info->AvgTimePerFrame = 10000000 / framesPerSecond;
        info->bmiHeader.biSizeImage = bitmapImageSize(info->bmiHeader);
        const HRESULT set = config->SetFormat(type);
        if (FAILED(set)) {
            DV_TRACE(TraceLevel::error, "camera: SetFormat(%s) failed: %s", TraceType(type).text,
                     TraceHr(set).text);
            showError("Set video format not successful");
        }
        deleteMediaType(type);
        return 1;
    }
    return -1;
}

ComPtr<IPin> findFirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
    if (!filter) return nullptr;
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.GetAddressOf())) || !pins) return nullptr;
    for (;;) {
        ComPtr<IPin> pin;
        ULONG fetched = 0;
        if (pins->Next(1, pin.GetAddressOf(), &fetched) != S_OK || fetched != 1 || !pin) return nullptr;
        PIN_DIRECTION pinDirection;
        if (SUCCEEDED(pin->QueryDirection(&pinDirection)) && pinDirection == direction) return pin;
    }
}

HRESULT detachCameras(FilterCore* owner, CameraFramePin* input1, CameraFramePin* input2) {
    IFilterGraph* graph = owner ? owner->filterGraph() : nullptr;
    HRESULT result = S_OK;
    for (CameraFramePin* input : {input1, input2}) {
        if (!input || !graph) continue;
        const ComPtr<IPin> cameraPin = input->connectedPeer();
        result = graph->Disconnect(input);
        if (cameraPin) result = graph->Disconnect(cameraPin.Get());
    }
    if (input1) input1->dropHeldFrame();
    if (input2) input2->dropHeldFrame();
    for (bool left : {true, false}) {
        const ComPtr<IBaseFilter> camera = takeAttachedCamera(left);
        if (camera && graph) result = graph->RemoveFilter(camera.Get());
        if (camera)
            DV_TRACE(FAILED(result) ? TraceLevel::error : TraceLevel::state, "camera %s: detached: %s",
                     left ? "left" : "right", TraceHr(result).text);
    }
    return result;
}
