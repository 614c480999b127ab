#include "capture/camera_attachment.h"

#include <cstdint>
#include <mutex>
#include <utility>

#include "capture/camera_frame_pin.h"
#include "capture/camera_list.h"
#include "compositor/frame_store.h"
#include "framework/media_format.h"
#include "framework/runtime_settings.h"
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
    const char* isItself;
};

const CameraSide leftSide{
    true,
    leftCameraName,
    "Can't find left camera",
    "failed add cam1",
    "Left camera does not support RGB24 or video size is not 320x240 or 640x480, it may not work.",
    selfAsLeftCameraText};
const CameraSide rightSide{
    false,
    rightCameraName,
    "Can't find right camera",
    "failed add cam2",
    "Right camera does not support RGB24 or video size is not 320x240 or 640x480, it may not work",
    selfAsRightCameraText};

// Whether `filter` is an instance of `ownClass` (the attaching filter's class).
bool isOwnClass(IBaseFilter* filter, REFCLSID ownClass) {
    CLSID classId = GUID_NULL;
    return filter && ownClass != GUID_NULL && SUCCEEDED(filter->GetClassID(&classId)) && classId == ownClass;
}

// What one attachment did to the host's graph for one side, so that a failed
// attachment can take back exactly that and nothing else.
struct SideWork {
    const CameraSide* side = nullptr;
    int32_t index = -1;
    ComPtr<IBaseFilter> present;  // found in the graph under the side's name
    ComPtr<IBaseFilter> added;    // created and added by this attachment
    ComPtr<IPin> cameraPin;       // connected to `input` by this attachment
    IPin* input = nullptr;
};

const char* sideName(const SideWork& side) {
    return side.side->left ? "left" : "right";
}

// Takes back what `work` records, right side first: the connections made,
// the filters added. Filters found in the graph stay there. Both attached
// camera references are cleared.
void rollBack(IFilterGraph* graph, SideWork (&work)[2]) {
    for (int i = 1; i >= 0; --i) {
        SideWork& side = work[i];
        if (side.cameraPin) {
            graph->Disconnect(side.input);
            graph->Disconnect(side.cameraPin.Get());
        }
        if (side.added) graph->RemoveFilter(side.added.Get());
        setAttachedCamera(side.side->left, nullptr);
    }
}

// The checks of one side that change nothing: the filter already in the
// graph under the side's name, else the list entry it would be created from.
HRESULT checkSide(IFilterGraph* graph, SideWork& side, int32_t otherIndex, REFCLSID ownClass) {
    setAttachedCamera(side.side->left, nullptr);
    HRESULT hr = graph->FindFilterByName(side.side->graphName, side.present.GetAddressOf());
    if (SUCCEEDED(hr) && side.present) {
        // Reused unchanged (e.g. from a saved graph), whatever device it is,
        // unless it is another instance of the attaching filter.
        if (isOwnClass(side.present.Get(), ownClass)) {
            side.present.Reset();
            DV_TRACE(TraceLevel::error, "camera %s: the graph's \"%s\" is this virtual camera: %s",
                     sideName(side), TraceText(side.side->graphName).text,
                     TraceHr(VFW_E_TYPE_NOT_ACCEPTED).text);
            showError(side.side->isItself);
            return VFW_E_TYPE_NOT_ACCEPTED;
        }
        DV_TRACE(TraceLevel::state, "camera %s: reusing the graph's \"%s\"", sideName(side),
                 TraceText(side.side->graphName).text);
        return S_OK;
    }
    side.present.Reset();

    if (side.index == otherIndex) {
        DV_TRACE(TraceLevel::error, "camera %s: both sides name list entry %d: %s", sideName(side),
                 side.index, TraceHr(E_FAIL).text);
        return E_FAIL;
    }
    // An index set without a range check (ICameraSelection) is a camera that
    // cannot be found, never a read outside the list.
    const CameraEntry* entry = cameraList.at(side.index);
    if (!entry || !entry->moniker) {
        DV_TRACE(TraceLevel::error, "camera %s: not found (list entry %d of %zu): %s", sideName(side),
                 side.index, cameraList.size(), TraceHr(E_FAIL).text);
        showError(side.side->cannotFind);
        return E_FAIL;
    }
    if (cameraList.isOfClass(side.index, ownClass)) {
        DV_TRACE(TraceLevel::error, "camera %s: list entry %d \"%s\" is this virtual camera: %s",
                 sideName(side), side.index, entry->name ? entry->name : "",
                 TraceHr(VFW_E_TYPE_NOT_ACCEPTED).text);
        showError(side.side->isItself);
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    return S_OK;
}

// Makes the camera of `side` the attached one: the filter found by
// checkSide, else a new filter from its list entry added under the side's
// name.
HRESULT findOrAddCamera(IFilterGraph* graph, SideWork& side, REFCLSID ownClass) {
    if (side.present) {
        setAttachedCamera(side.side->left, side.present);
        return S_OK;
    }
    const CameraEntry* entry = cameraList.at(side.index);
    ComPtr<IBaseFilter> camera;
    HRESULT hr = entry->moniker->BindToObject(nullptr, nullptr, iidOf<IBaseFilter>(),
                                              reinterpret_cast<void**>(camera.GetAddressOf()));
    if (SUCCEEDED(hr) && !camera) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "camera %s: \"%s\" cannot be created: %s", sideName(side),
                 entry->name ? entry->name : "", TraceHr(hr).text);
        showError(side.side->cannotFind);
        return hr;
    }
    // A device whose property bag does not name its class is recognised by
    // the filter it creates, still before it joins the graph.
    if (isOwnClass(camera.Get(), ownClass)) {
        DV_TRACE(TraceLevel::error, "camera %s: \"%s\" creates this virtual camera: %s", sideName(side),
                 entry->name ? entry->name : "", TraceHr(VFW_E_TYPE_NOT_ACCEPTED).text);
        showError(side.side->isItself);
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    hr = graph->AddFilter(camera.Get(), side.side->graphName);
    if (FAILED(hr)) {
        DV_TRACE(TraceLevel::error, "camera %s: \"%s\" not added to the graph: %s", sideName(side),
                 entry->name ? entry->name : "", TraceHr(hr).text);
        showError(side.side->cannotAdd);
        return hr;
    }
    DV_TRACE(TraceLevel::state, "camera %s: \"%s\" attached as \"%s\"", sideName(side),
             entry->name ? entry->name : "", TraceText(side.side->graphName).text);
    side.added = camera;
    setAttachedCamera(side.side->left, std::move(camera));
    return S_OK;
}

// Sets the capture format of the attached camera of `side` and connects its
// first output pin to the side's input. False when the camera has no output
// pin (nothing is then done); else *connected receives ConnectDirect's
// result.
bool formatAndConnect(IFilterGraph* graph, SideWork& side, const VideoFormatValues& format,
                      HRESULT* connected) {
    const ComPtr<IBaseFilter> camera = attachedCamera(side.side->left);
    const ComPtr<IPin> cameraPin = findFirstPin(camera.Get(), PINDIR_OUTPUT);
    if (!cameraPin) {
        DV_TRACE(TraceLevel::error, "camera %s: has no output pin: %s", sideName(side),
                 TraceHr(VFW_E_NOT_FOUND).text);
        return false;
    }
    const int formatSet =
        setCaptureFormat(cameraPin.Get(), MEDIASUBTYPE_RGB24, format.width, format.height, format.frameRate);
    if (formatSet < 0) {
        DV_TRACE(TraceLevel::error, "camera %s: capture format RGB24 %dx%d %d fps not set", sideName(side),
                 format.width, format.height, format.frameRate);
        showError(side.side->noCaptureFormat);
    }
    *connected = graph->ConnectDirect(cameraPin.Get(), side.input, nullptr);
    DV_TRACE(FAILED(*connected) ? TraceLevel::error : TraceLevel::state,
             "camera %s: connection to its input pin: %s", sideName(side), TraceHr(*connected).text);
    if (SUCCEEDED(*connected)) side.cameraPin = cameraPin;
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

    CLSID ownClass = GUID_NULL;
    if (FAILED(owner->GetClassID(&ownClass))) ownClass = GUID_NULL;
    SideWork work[2];
    work[0].side = &leftSide;
    work[0].index = runtimeSettings.leftCameraIndex;
    work[0].input = leftInput;
    work[1].side = &rightSide;
    work[1].index = runtimeSettings.rightCameraIndex;
    work[1].input = rightInput;

    // Nothing joins the graph before both sides have passed their checks.
    for (int i = 0; i < 2; ++i) {
        const HRESULT hr = checkSide(graph, work[i], work[1 - i].index, ownClass);
        if (FAILED(hr)) {
            rollBack(graph, work);
            return hr;
        }
    }
    for (SideWork& side : work) {
        const HRESULT hr = findOrAddCamera(graph, side, ownClass);
        if (FAILED(hr)) {
            rollBack(graph, work);
            return hr;
        }
    }

    const VideoFormatValues format = currentVideoFormat();
    HRESULT connected = S_OK;
    // The left connection's result is not examined; a failure of the right
    // one fails the attachment.
    HRESULT hr = S_OK;
    if (!formatAndConnect(graph, work[0], format, &connected) ||
        !formatAndConnect(graph, work[1], format, &connected))
        hr = VFW_E_NOT_FOUND;
    else
        hr = connected;
    if (FAILED(hr)) rollBack(graph, work);
    return hr;
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
