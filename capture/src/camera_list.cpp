#include "capture/camera_list.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "framework/device_enumeration.h"
#include "framework/runtime_settings.h"

CameraList cameraList;

namespace {

// Name buffers of every entry ever listed. Entries (and their copies held by
// readers such as the camera selection page) point into it, so buffers are
// never handed back while the module is loaded; std::deque keeps addresses
// stable as it grows.
using NameBuffer = std::array<char, cameraNameBufferSize>;

std::mutex& namePoolLock() {
    static std::mutex lock;
    return lock;
}

std::deque<NameBuffer>& namePool() {
    static std::deque<NameBuffer> pool;
    return pool;
}

char* newNameBuffer() {
    std::lock_guard<std::mutex> hold(namePoolLock());
    try {
        namePool().emplace_back();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    NameBuffer& buffer = namePool().back();
    buffer.fill('\0');
    return buffer.data();
}

// Build-once state of ensureCameraList.
std::mutex buildLock;
bool listBuilt = false;  // guarded by buildLock

// The filter class named by the bag's "CLSID" string, or GUID_NULL.
CLSID readClassId(IPropertyBag* bag) {
    CLSID classId = GUID_NULL;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(bag->Read(L"CLSID", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal &&
        FAILED(CLSIDFromString(value.bstrVal, &classId)))
        classId = GUID_NULL;
    VariantClear(&value);
    return classId;
}

}  // namespace

bool CameraList::append(const wchar_t* wideName, IMoniker* moniker, REFCLSID classId) {
    char* name = newNameBuffer();
    if (!name) return false;
    // wcstombs writes no partial character and does not terminate a cut
    // result; the buffer is zeroed, so byte 255 always terminates. A name
    // that does not convert keeps what converted before the failure.
    // wcstombs keeps no conversion state between calls (only the locale,
    // which the process sets before any camera list is made).
    if (wideName) std::wcstombs(name, wideName, cameraNameBufferSize - 1);  // NOLINT(concurrency-mt-unsafe)
    name[cameraNameBufferSize - 1] = '\0';
    try {
        entries.push_back(CameraEntry{name, ComPtr<IMoniker>(moniker), classId});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CameraList::isOfClass(int32_t index, REFCLSID classId) const {
    const CameraEntry* entry = at(index);
    return entry && classId != GUID_NULL && entry->classId == classId;
}

void CameraList::clear() {
    std::vector<CameraEntry> released;
    released.swap(entries);  // storage freed and monikers released here
}

namespace {

// Appends a device whose name can be read; a device that cannot be appended
// (out of memory) is left out like one without a name.
void listCamera(IMoniker* moniker, IPropertyBag* bag, const wchar_t* friendlyName) {
    if (friendlyName) cameraList.append(friendlyName, moniker, readClassId(bag));
}

}  // namespace

HRESULT enumerateCamerasFrom(ICreateDevEnum* devices) {
    return forEachVideoInputDevice(devices, listCamera);
}

HRESULT enumerateCameras() {
    return forEachVideoInputDevice(listCamera);
}

bool ensureCameraList() {
    std::lock_guard<std::mutex> hold(buildLock);
    if (listBuilt) return false;
    listBuilt = true;
    enumerateCameras();
    return true;
}

void matchCameraNames(const char* leftName, const char* rightName) {
    if (!leftName) leftName = "NONE";
    if (!rightName) rightName = "NONE";

    int32_t left = -1;
    int32_t right = -1;
    bool leftFound = false;
    bool rightFound = false;
    for (size_t i = 0; i < cameraList.size(); ++i) {
        if (leftFound && rightFound) break;
        const char* name = cameraList[i].name;
        if (!name) continue;
        if (!leftFound && std::strcmp(leftName, name) == 0) {
            left = static_cast<int32_t>(i);
            leftFound = true;
            continue;  // one entry is never both cameras
        }
        if (!rightFound && std::strcmp(rightName, name) == 0) {
            right = static_cast<int32_t>(i);
            rightFound = true;
        }
    }

    if (leftFound && !rightFound) {
        right = left == 0 ? 1 : 0;
    } else if (!leftFound && rightFound) {
        left = right == 0 ? 1 : 0;
    } else if (!leftFound && !rightFound) {
        left = 0;
        right = 1;
    }
    runtimeSettings.leftCameraIndex = left;
    runtimeSettings.rightCameraIndex = right;
}

void releaseCameraList() {
    std::lock_guard<std::mutex> hold(buildLock);
    cameraList.clear();
    listBuilt = false;
}
