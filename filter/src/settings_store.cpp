#include "filter/settings_store.h"

#include <cstring>
#include <string>

#include "capture/camera_list.h"
#include "compositor/frame_store.h"
#include "compositor/image_mode.h"
#include "framework/runtime_settings.h"
#include "platform/registry_key.h"
#include "platform/trace.h"
#include "platform/win.h"

namespace {

// Longest stored camera name accepted, in bytes of data (no terminator).
constexpr DWORD nameDataBytes = 256;

// Opens the settings key with full access, creating it when missing. An empty
// holder when that fails.
RegistryKey openSettingsKey() {
    RegistryKey key;
    const LSTATUS status =
        RegCreateKeyExA(HKEY_CURRENT_USER, settingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.receive(), nullptr);
    if (status != ERROR_SUCCESS) {
        DV_TRACE(TraceLevel::error,
                 "settings: HKCU\\%s not opened (error %ld); defaults are used, nothing is stored",
                 settingsKeyPath, static_cast<long>(status));
        key.reset();
    }
    return key;
}

// A REG_DWORD value of exactly 4 bytes, else `fallback`.
DWORD readDword(const RegistryKey& key, const char* name, DWORD fallback) {
    if (!key) return fallback;
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
        return fallback;
    if (type != REG_DWORD || size != sizeof(value)) return fallback;
    return value;
}

// A REG_SZ value of 1 to 256 data bytes, ended at the returned length or at
// an embedded zero byte; anything else gives "NONE". A terminator that the
// platform appends when it returns the text is not part of the length.
std::string readName(const RegistryKey& key, const char* name) {
    if (!key) return noCameraName;
    char data[nameDataBytes + 2];  // room for a terminator and one byte more to see a longer name
    DWORD type = REG_NONE;
    DWORD size = sizeof(data);
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS)
        return noCameraName;
    if (type != REG_SZ || size > sizeof(data)) return noCameraName;
    DWORD length = size;
    if (length > 0 && data[length - 1] == 0) --length;
    if (length == 0 || length > nameDataBytes) return noCameraName;
    const void* zero = std::memchr(data, 0, length);
    return std::string(data, zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : length);
}

void writeDword(const RegistryKey& key, const char* name, DWORD value) {
    const LSTATUS status =
        RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    if (status != ERROR_SUCCESS)
        DV_TRACE(TraceLevel::error, "settings: %s = %lu not stored (error %ld)", name,
                 static_cast<unsigned long>(value), static_cast<long>(status));
}

// Stores the name of the camera list entry at `index`, if there is one.
void writeCameraName(const RegistryKey& key, const char* valueName, int32_t index) {
    const CameraEntry* entry = cameraList.at(index);
    if (!entry || !entry->name) return;
    const size_t length = std::strlen(entry->name);
    const LSTATUS status =
        RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry->name),
                       static_cast<DWORD>(length));
    if (status != ERROR_SUCCESS)
        DV_TRACE(TraceLevel::error, "settings: %s = \"%s\" not stored (error %ld)", valueName, entry->name,
                 static_cast<long>(status));
}

}  // namespace

void loadSettings() {
    runtimeSettings.imageMode = defaultImageMode;
    runtimeSettings.swapCameras = 0;

    const RegistryKey key = openSettingsKey();
    const DWORD storedMode = readDword(key, "camMode", defaultImageMode);
    const DWORD storedPosition = readDword(key, "camPosition", 0);
    const DWORD storedSize = readDword(key, "camSize", 0);

    // The format follows the stored resolution before any pin exists.
    runtimeSettings.sizeIndex = storedSize > 1 ? 0 : static_cast<int32_t>(storedSize);
    applySizeIndex(runtimeSettings.sizeIndex);

    runtimeSettings.imageMode =
        storedMode < static_cast<DWORD>(imageModeCount) ? static_cast<int32_t>(storedMode) : defaultImageMode;
    runtimeSettings.swapCameras = storedPosition != 0 ? 1 : 0;

    ensureCameraList();

    const std::string leftName = readName(key, "lcamName");
    const std::string rightName = readName(key, "rcamName");
    matchCameraNames(leftName.c_str(), rightName.c_str());
    DV_TRACE(TraceLevel::state,
             "settings: mode %d, swap %d, size index %d, left \"%s\" -> entry %d, right \"%s\" -> entry %d",
             runtimeSettings.imageMode.load(), runtimeSettings.swapCameras.load(),
             runtimeSettings.sizeIndex.load(), leftName.c_str(), runtimeSettings.leftCameraIndex.load(),
             rightName.c_str(), runtimeSettings.rightCameraIndex.load());
}

void saveImageSettings() {
    const RegistryKey key = openSettingsKey();
    if (!key) return;
    writeDword(key, "camMode", static_cast<DWORD>(runtimeSettings.imageMode.load()));
    writeDword(key, "camPosition", static_cast<DWORD>(runtimeSettings.swapCameras.load()));
}

void saveCameraSettings() {
    applySizeIndex(runtimeSettings.sizeIndex);
    const RegistryKey key = openSettingsKey();
    if (!key) return;
    writeDword(key, "camSize", static_cast<DWORD>(runtimeSettings.sizeIndex.load()));
    writeCameraName(key, "lcamName", runtimeSettings.leftCameraIndex.load());
    writeCameraName(key, "rcamName", runtimeSettings.rightCameraIndex.load());
}
