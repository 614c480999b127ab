// The per-user store as a file on disk: arbitrary store files through the
// parser and every read call, and arbitrary stored settings values (any type,
// any length, names without terminators) through the filter's settings load
// and save.
//
// Beyond the sanitizers' checks: reads agree with each other (enumerated and
// queried values are the same bytes, a size query answers the size a read
// then fills), and whatever is stored, a load yields settings inside their
// ranges, and what a save writes loads back unchanged.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "compositor/frame_store.h"
#include "compositor/image_mode.h"
#include "filter/settings_store.h"
#include "framework/runtime_settings.h"
#include "fuzz_input.h"
#include "platform/messagebox.h"
#include "platform/win.h"

namespace {

std::string storeFolder;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_registry: %s\n", what);
    std::abort();
}

int quietBox(const char*, const char*, unsigned) {
    return IDOK;
}

void writeStoreFile(const std::vector<uint8_t>& bytes) {
    std::ofstream out(storeFolder + "/HKCU.dvreg", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void clearStore() {
    for (const char* name : {"/HKCU.dvreg", "/HKCU.dvreg.corrupt", "/HKCU.dvreg.tmp"})
        std::remove((storeFolder + name).c_str());
}

// Reads every value of `key` both ways and walks its subkeys.
void readTree(HKEY key, int depth) {
    for (DWORD index = 0;; ++index) {
        std::vector<wchar_t> nameBuffer(16384);  // heap: this walk recurses up to 512 levels
        wchar_t* name = nameBuffer.data();
        DWORD nameChars = 16384;
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS st = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, nullptr, &size);
        if (st == ERROR_NO_MORE_ITEMS) break;
        if (st != ERROR_SUCCESS) fail("RegEnumValueW failed on a value it counted");
        if (index > 100000) fail("value enumeration does not end");
        std::vector<BYTE> enumerated(size + 1);
        DWORD enumeratedSize = size;
        nameChars = 16384;
        if (RegEnumValueW(key, index, name, &nameChars, nullptr, &type, enumerated.data(), &enumeratedSize) !=
            ERROR_SUCCESS)
            fail("RegEnumValueW refused the size it asked for");

        DWORD queriedType = 0;
        DWORD needed = 0;
        if (RegQueryValueExW(key, name, nullptr, &queriedType, nullptr, &needed) != ERROR_SUCCESS)
            fail("an enumerated value cannot be queried");
        std::vector<BYTE> queried(needed + 1);
        DWORD got = needed;
        if (RegQueryValueExW(key, name, nullptr, &queriedType, queried.data(), &got) != ERROR_SUCCESS)
            fail("RegQueryValueExW refused the size it asked for");
        if (queriedType != type || got != enumeratedSize ||
            !std::equal(queried.begin(), queried.begin() + got, enumerated.begin()))
            fail("enumerated and queried value differ");
        if (needed > 0) {
            DWORD small = needed - 1;
            if (RegQueryValueExW(key, name, nullptr, &queriedType, queried.data(), &small) != ERROR_MORE_DATA)
                fail("a short buffer is not reported");
        }
        // The narrow read of the same value.
        std::vector<char> narrow(512);
        DWORD narrowSize = static_cast<DWORD>(narrow.size());
        RegQueryValueExA(key, nullptr, nullptr, &queriedType, reinterpret_cast<BYTE*>(narrow.data()),
                         &narrowSize);
    }
    for (DWORD index = 0;; ++index) {
        std::vector<wchar_t> nameBuffer(256);
        wchar_t* name = nameBuffer.data();
        DWORD nameChars = 256;
        const LSTATUS st = RegEnumKeyExW(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (st == ERROR_NO_MORE_ITEMS) break;
        if (st != ERROR_SUCCESS) fail("RegEnumKeyExW failed on a key it counted");
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS)
            fail("an enumerated key cannot be opened");
        if (depth < 600) readTree(child, depth + 1);
        RegCloseKey(child);
    }
}

void checkLoadedSettings() {
    const int32_t mode = runtimeSettings.imageMode;
    const int32_t size = runtimeSettings.sizeIndex;
    if (mode < 0 || mode >= imageModeCount) fail("loaded image mode out of range");
    if (runtimeSettings.swapCameras != 0 && runtimeSettings.swapCameras != 1)
        fail("loaded swap flag not 0 or 1");
    if (size != 0 && size != 1) fail("loaded size index out of range");
    if (currentVideoFormat().width != (size == 0 ? 320 : 640))
        fail("frame store does not follow the size index");
    if (runtimeSettings.leftCameraIndex == runtimeSettings.rightCameraIndex) fail("one camera on both sides");
}

void storeSettingsValues(FuzzInput& in) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, settingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        fail("settings key cannot be created");
    static const char* const names[] = {"camMode", "camPosition", "camSize", "lcamName", "rcamName", "other"};
    static const DWORD types[] = {REG_DWORD,     REG_SZ,       REG_BINARY, REG_NONE,
                                  REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD};
    const int count = 1 + static_cast<int>(in.pick(8));
    for (int i = 0; i < count && !in.exhausted(); ++i) {
        const char* name = names[in.pick(std::size(names))];
        const DWORD type = in.pick(4) ? types[in.pick(std::size(types))] : in.u32();
        const std::vector<uint8_t> data = in.bytes(in.flag() ? 8 : 255);
        std::vector<uint8_t> longer;
        const std::vector<uint8_t>* stored = &data;
        if (in.pick(8) == 0) {  // a name longer than any accepted one
            longer.assign(250 + in.byte(), static_cast<uint8_t>('A' + in.pick(26)));
            stored = &longer;
        }
        RegSetValueExA(key, name, 0, type, stored->data(), static_cast<DWORD>(stored->size()));
    }
    RegCloseKey(key);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dvSetMessageBoxHandler(quietBox);
    const char* dir = std::getenv("DV_REGISTRY_DIR");
    if (dir && *dir) {
        storeFolder = dir;
    } else {
        char pattern[] = "/tmp/dv-fuzz-registry-XXXXXX";
        if (!mkdtemp(pattern)) fail("no temporary folder");
        storeFolder = pattern;
        setenv("DV_REGISTRY_DIR", pattern, 1);
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    clearStore();
    if (in.flag()) {
        storeSettingsValues(in);
    } else {
        writeStoreFile(in.rest());
    }
    HKEY user = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &user) == ERROR_SUCCESS) {
        readTree(user, 0);
        RegCloseKey(user);
    }

    loadSettings();
    checkLoadedSettings();
    const int32_t mode = runtimeSettings.imageMode;
    const int32_t swap = runtimeSettings.swapCameras;
    const int32_t sizeIndex = runtimeSettings.sizeIndex;
    saveImageSettings();
    saveCameraSettings();
    loadSettings();
    checkLoadedSettings();
    if (runtimeSettings.imageMode != mode || runtimeSettings.swapCameras != swap ||
        runtimeSettings.sizeIndex != sizeIndex)
        fail("saved settings do not load back");
    return 0;
}
