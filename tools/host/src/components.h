// What the host needs of the system around the virtual camera: the modules
// and their registration, the video input devices, and the product's stored
// settings. Everything goes through platform calls, as in any video
// application; nothing here knows the product's internals.
//
// Threads: all of it runs on the host's main thread, inside CoInitializeEx.
#pragma once

#include <string>
#include <vector>

#include "filter/stereo_interfaces.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

// ---- modules ---------------------------------------------------------------

// The folder of the running program (no trailing separator).
std::string programFolder();
// An absolute, normalised form of `path` (unchanged if that fails).
std::string absolutePath(const std::string& path);
bool fileExists(const std::string& path);
// The first existing file among: `fileName` next to the program, then
// `buildTreeRelative` taken from the program's folder. Empty if neither exists.
std::string findModule(const std::string& fileName, const std::string& buildTreeRelative);

// Loads the module at `path` (LoadLibraryW), calls its entry point `entry`
// (DllRegisterServer or DllUnregisterServer, found with GetProcAddress) and
// frees the module again. The entry point's result, or the failure to load
// (HRESULT_FROM_WIN32 of the system error) or to find the entry point.
HRESULT callModuleEntry(const std::string& path, const char* entry);

// The registered server path of class `clsid` (HKCR\CLSID\{clsid}\InprocServer32),
// empty when the class is not registered.
std::string registeredServerPath(REFCLSID clsid);

// ---- devices ---------------------------------------------------------------

struct VideoDevice {
    std::string name;  // friendly name, converted with wcstombs as the product converts it
    ComPtr<IMoniker> moniker;
};

// The video input devices in the system device enumerator's order (the
// product builds its camera list in the same order). An empty category is
// S_OK with no devices; a failure of the enumerator is returned.
HRESULT listVideoDevices(std::vector<VideoDevice>* devices);

// The virtual camera's friendly name as VideoDevice::name spells it.
std::string virtualCameraName();

// The index of the device called `name`: exact match first, then a unique
// match ignoring case, then a unique entry containing `name` ignoring case;
// devices that share one name count as one entry (the first is returned).
// -1 when none or ambiguous.
int findDevice(const std::vector<VideoDevice>& devices, const std::string& name);

// How many devices before `index` carry the same name as devices[index]
// (0 for the first of them). Two webcams of one model share a name; the
// product tells them apart by this order.
int nameOccurrence(const std::vector<VideoDevice>& devices, int index);
// The index of the `occurrence`-th device called exactly `name`, or -1.
int nthDeviceNamed(const std::vector<VideoDevice>& devices, const std::string& name, int occurrence);

// The cameras that --left and --right ask for (-1: not given or not found).
// When both texts lead to one device and another device carries exactly its
// name, they mean two cameras of one model: the first is the left camera and
// the next one of that name the right, as the product matches two equal
// stored names. `same` is set when both sides would be one camera (two equal
// texts that name nothing count as one camera).
struct CameraPair {
    int left = -1;
    int right = -1;
    bool same = false;
};
CameraPair resolveCameraPair(const std::vector<VideoDevice>& devices, const std::string& leftName,
                             const std::string& rightName);

// The virtual camera as an application opens it: its moniker bound, and the
// output pin and private interfaces the host drives.
struct VirtualCamera {
    ComPtr<IBaseFilter> filter;
    ComPtr<IPin> output;  // "Output1"
    ComPtr<IStereoImageControl> imageControl;
    ComPtr<ICameraSelection> selection;
    ComPtr<IAMStreamConfig> streamConfig;
};

// Finds the virtual camera among `devices` and binds it. The filter reads
// the stored settings when it is created, so store first. False with a
// one-line reason in *error.
bool openVirtualCamera(const std::vector<VideoDevice>& devices, VirtualCamera* camera, std::string* error);

// ---- the product's stored settings ----------------------------------------

// The five values of HKCU\Software\VANTO Automation\stereoWebcam as stored;
// a missing value has its `has` flag false (names: empty).
struct StoredSettings {
    bool hasMode = false, hasSwap = false, hasSize = false;
    DWORD mode = 0, swap = 0, size = 0;
    std::string leftName, rightName;
};
StoredSettings readStoredSettings();
// Writes one DWORD value (camMode, camPosition, camSize) in the product's format.
LSTATUS writeStoredNumber(const char* valueName, DWORD value);
// Writes one name value (lcamName, rcamName): REG_SZ whose data are the
// name's bytes without a terminating zero, as the product writes it.
LSTATUS writeStoredName(const char* valueName, const std::string& name);

// "0x80040111"-style text of a result code.
std::string hresultText(HRESULT hr);

// ---- the product's trace ------------------------------------------------------

// Turns the product's trace on at `level` (0..3) for this process: sets
// DV_TRACE (and, on Windows, DV_TRACE_FILE=1) in the process environment,
// which the product reads when it first traces, and returns where the lines
// go ("stderr", or the OutputDebugString/log file pair on Windows).
std::string enableProductTrace(int level);
