// The settings store: load with every kind of stored value, the two save
// operations, and the private interfaces that change the runtime settings.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture/camera_list.h"
#include "compositor/frame_store.h"
#include "filter/composed_video_pin.h"
#include "filter/settings_store.h"
#include "filter_fakes.h"
#include "framework/runtime_settings.h"

namespace {

const char* const vendorKey = "Software\\VANTO Automation";

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart = liveObjectCount();
        RegDeleteTreeA(HKEY_CURRENT_USER, vendorKey);
        useCameras({});
        runtimeSettings.sizeIndex = 0;
        applySizeIndex(runtimeSettings.sizeIndex);
    }
    void TearDown() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, vendorKey);
        releaseCameraList();
        runtimeSettings.sizeIndex = 0;
        applySizeIndex(runtimeSettings.sizeIndex);
        EXPECT_EQ(liveObjectCount(), liveAtStart);
    }

    // The camera list as the settings load will find it (built once, so the
    // load does not enumerate again).
    static void useCameras(std::initializer_list<const wchar_t*> names) {
        releaseCameraList();
        ensureCameraList();
        cameraList.clear();
        for (const wchar_t* name : names)
            ASSERT_TRUE(cameraList.append(name, nullptr));
    }

    static HKEY settingsKey() {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static void store(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = settingsKey();
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void storeDword(const char* name, DWORD value) { store(name, REG_DWORD, &value, sizeof(value)); }
    static void storeName(const char* name, const std::string& text) {
        store(name, REG_SZ, text.data(), static_cast<DWORD>(text.size()));
    }
    // The stored value's type and bytes; false when missing.
    static bool stored(const char* name, DWORD* type, std::string* bytes) {
        HKEY key = settingsKey();
        char data[512];
        DWORD size = sizeof(data);
        const LSTATUS status =
            RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return false;
        bytes->assign(data, size);
        return true;
    }
    static DWORD storedDword(const char* name) {
        DWORD type = 0;
        std::string bytes;
        EXPECT_TRUE(stored(name, &type, &bytes)) << name;
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        DWORD value = 0xDEADBEEF;
        if (bytes.size() == sizeof(value)) std::memcpy(&value, bytes.data(), sizeof(value));
        return value;
    }
    static std::string storedName(const char* name) {
        DWORD type = 0;
        std::string bytes;
        if (!stored(name, &type, &bytes)) return "<missing>";
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        return std::string(bytes.c_str());  // up to a terminator, if one was returned
    }

    LONG liveAtStart = 0;
};

// ---- load ----------------------------------------------------------------------

TEST_F(SettingsTest, AbsentKeyGivesDefaultsAndCreatesTheKey) {
    runtimeSettings.imageMode = 9;
    runtimeSettings.swapCameras = 1;
    runtimeSettings.sizeIndex = 1;
    runtimeSettings.leftCameraIndex = 5;
    runtimeSettings.rightCameraIndex = 5;
    loadSettings();
    EXPECT_EQ(runtimeSettings.imageMode, 3);
    EXPECT_EQ(runtimeSettings.swapCameras, 0);
    EXPECT_EQ(runtimeSettings.sizeIndex, 0);
    EXPECT_EQ(videoFormat.width, 320);
    EXPECT_EQ(videoFormat.height, 240);
    // No camera installed: the indices are still 0 and 1.
    EXPECT_EQ(runtimeSettings.leftCameraIndex, 0);
    EXPECT_EQ(runtimeSettings.rightCameraIndex, 1);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, settingsKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(SettingsTest, ImageModeTakesZeroToElevenOnly) {
    const struct {
        DWORD stored;
        int32_t expected;
    } cases[] = {{0, 0},   {1, 1},  {2, 2},  {3, 3},          {4, 4},
                 {11, 11}, {12, 3}, {40, 3}, {0xFFFFFFFF, 3}, {0x80000000, 3}};
    for (const auto& c : cases) {
        storeDword("camMode", c.stored);
        runtimeSettings.imageMode = -7;
        loadSettings();
        EXPECT_EQ(runtimeSettings.imageMode, c.expected) << "camMode " << c.stored;
    }
}

TEST_F(SettingsTest, DwordValuesOfAnotherTypeOrSizeCountAsMissing) {
    // A string, a 4-byte binary value, a 2-byte and an 8-byte DWORD-typed value.
    store("camMode", REG_SZ, "5", 1);
    store("camPosition", REG_BINARY, "\x01\x00\x00\x00", 4);
    const WORD shortSize = 1;
    store("camSize", REG_DWORD, &shortSize, sizeof(shortSize));
    loadSettings();
    EXPECT_EQ(runtimeSettings.imageMode, 3);
    EXPECT_EQ(runtimeSettings.swapCameras, 0);
    EXPECT_EQ(runtimeSettings.sizeIndex, 0);

    const ULONGLONG wide = 1;
    store("camSize", REG_DWORD, &wide, sizeof(wide));
    store("camMode", REG_DWORD, &wide, sizeof(wide));
    loadSettings();
    EXPECT_EQ(runtimeSettings.sizeIndex, 0);
    EXPECT_EQ(runtimeSettings.imageMode, 3);
}

TEST_F(SettingsTest, SwapFlagBecomesZeroOrOne) {
    storeDword("camPosition", 7);
    loadSettings();
    EXPECT_EQ(runtimeSettings.swapCameras, 1);
    storeDword("camPosition", 0);
    loadSettings();
    EXPECT_EQ(runtimeSettings.swapCameras, 0);
}

TEST_F(SettingsTest, SizeIndexAboveOneBecomesZeroAndSetsTheVideoFormat) {
    storeDword("camSize", 1);
    loadSettings();
    EXPECT_EQ(runtimeSettings.sizeIndex, 1);
    EXPECT_EQ(videoFormat.width, 640);
    EXPECT_EQ(videoFormat.height, 480);
    EXPECT_TRUE(workPictureInfo().exists);
    EXPECT_EQ(workPictureInfo().width, 640);

    for (DWORD bad : {DWORD{2}, DWORD{0xFFFFFFFF}}) {
        storeDword("camSize", bad);
        loadSettings();
        EXPECT_EQ(runtimeSettings.sizeIndex, 0) << bad;
        EXPECT_EQ(videoFormat.width, 320);
        EXPECT_EQ(workPlaneInfo().height, 240);
    }
}

TEST_F(SettingsTest, StoredNamesResolveToCameraPositions) {
    useCameras({L"Cam A", L"Cam B", L"Cam C"});
    storeName("lcamName", "Cam C");
    storeName("rcamName", "Cam A");
    loadSettings();
    EXPECT_EQ(runtimeSettings.leftCameraIndex, 2);
    EXPECT_EQ(runtimeSettings.rightCameraIndex, 0);

    // Case matters; nothing found gives 0 and 1.
    storeName("lcamName", "cam c");
    storeName("rcamName", "CAM A");
    loadSettings();
    EXPECT_EQ(runtimeSettings.leftCameraIndex, 0);
    EXPECT_EQ(runtimeSettings.rightCameraIndex, 1);
}

TEST_F(SettingsTest, EmbeddedZeroEndsAStoredName) {
    useCameras({L"Cam A", L"Cam B", L"Cam C"});
    store("lcamName", REG_SZ, "Cam B\0junk", 10);
    storeName("rcamName", "Cam C");
    loadSettings();
    EXPECT_EQ(runtimeSettings.leftCameraIndex, 1);
    EXPECT_EQ(runtimeSettings.rightCameraIndex, 2);
}

// A camera listed as "NONE" makes the substitution visible: an unusable
// stored name becomes "NONE" and matches it.
TEST_F(SettingsTest, UnusableNamesBecomeNone) {
    useCameras({L"Cam A", L"Cam B", L"NONE"});
    const std::string tooLong(257, 'x');
    const DWORD number = 2;
    const struct {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {"empty", REG_SZ, "", 0},
        {"a lone terminator", REG_SZ, "", 1},
        {"257 bytes", REG_SZ, tooLong.data(), 257},
        {"a DWORD", REG_DWORD, &number, sizeof(number)},
        {"binary", REG_BINARY, "NONE", 4},
    };
    for (const auto& c : cases) {
        store("lcamName", c.type, c.data, c.size);
        storeName("rcamName", "Cam B");
        loadSettings();
        EXPECT_EQ(runtimeSettings.leftCameraIndex, 2) << c.what;
        EXPECT_EQ(runtimeSettings.rightCameraIndex, 1) << c.what;
    }
}

TEST_F(SettingsTest, NameOfExactly256BytesIsAccepted) {
    useCameras({L"Cam A", L"Cam B", L"NONE"});
    storeName("lcamName", std::string(256, 'y'));
    loadSettings();
    // Accepted (not "NONE"), matching nothing; the right name is missing and
    // so "NONE", found at 2.
    EXPECT_EQ(runtimeSettings.leftCameraIndex, 0);
    EXPECT_EQ(runtimeSettings.rightCameraIndex, 2);
}

// ---- save ----------------------------------------------------------------------

TEST_F(SettingsTest, SaveImageSettingsWritesModeAndSwapUnchecked) {
    runtimeSettings.imageMode = 40;
    runtimeSettings.swapCameras = 7;
    saveImageSettings();
    EXPECT_EQ(storedDword("camMode"), 40u);
    EXPECT_EQ(storedDword("camPosition"), 7u);
    // The next load validates them.
    loadSettings();
    EXPECT_EQ(runtimeSettings.imageMode, 3);
    EXPECT_EQ(runtimeSettings.swapCameras, 1);
}

TEST_F(SettingsTest, SaveCameraSettingsWritesSizeAndListedNamesOnly) {
    useCameras({L"Cam A", L"Cam B", L"Cam C"});
    storeName("rcamName", "Old Right");
    runtimeSettings.sizeIndex = 1;
    runtimeSettings.leftCameraIndex = 2;
    runtimeSettings.rightCameraIndex = 3;  // the number of cameras: no entry
    saveCameraSettings();
    // The format step ran once more.
    EXPECT_EQ(videoFormat.width, 640);
    EXPECT_EQ(storedDword("camSize"), 1u);
    EXPECT_EQ(storedName("lcamName"), "Cam C");
    EXPECT_EQ(storedName("rcamName"), "Old Right");

    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(stored("lcamName", &type, &bytes));
    EXPECT_EQ(bytes.substr(0, 5), "Cam C");

    runtimeSettings.leftCameraIndex = -1;
    runtimeSettings.rightCameraIndex = 0;
    saveCameraSettings();
    EXPECT_EQ(storedName("lcamName"), "Cam C");
    EXPECT_EQ(storedName("rcamName"), "Cam A");

    // Round trip through the load.
    loadSettings();
    EXPECT_EQ(runtimeSettings.sizeIndex, 1);
    EXPECT_EQ(runtimeSettings.leftCameraIndex, 2);
    EXPECT_EQ(runtimeSettings.rightCameraIndex, 0);
}

// ---- private interfaces ------------------------------------------------------------

TEST_F(SettingsTest, ImageControlReadsAndWritesTheRuntimeSettings) {
    StereoCameraFilter* raw = nullptr;
    ComPtr<IBaseFilter> filter = makeStereoFilter(&raw);
    ComPtr<IStereoImageControl> control;
    ASSERT_HRESULT_SUCCEEDED(filter.As(&control));
    EXPECT_EQ(control->GetImageMode(nullptr), E_POINTER);
    EXPECT_EQ(control->GetSwapFlag(nullptr), E_POINTER);
    int value = -1;
    EXPECT_EQ(control->GetImageMode(&value), S_OK);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(control->SetImageMode(40), S_OK);
    EXPECT_EQ(runtimeSettings.imageMode, 40);
    EXPECT_EQ(control->GetImageMode(&value), S_OK);
    EXPECT_EQ(value, 40);
    EXPECT_EQ(control->SetSwapFlag(7), S_OK);
    EXPECT_EQ(control->GetSwapFlag(&value), S_OK);
    EXPECT_EQ(value, 7);
    saveImageSettings();
    EXPECT_EQ(storedDword("camMode"), 40u);
}

TEST_F(SettingsTest, CameraSelectionReadsAndWritesTheRuntimeSettings) {
    StereoCameraFilter* raw = nullptr;
    ComPtr<IBaseFilter> filter = makeStereoFilter(&raw);
    ComPtr<ICameraSelection> selection;
    ASSERT_HRESULT_SUCCEEDED(ComPtr<IPin>(raw->visibleOutput()).As(&selection));

    int left = -9, right = -9;
    EXPECT_EQ(selection->GetCameraIndices(nullptr, &right), E_POINTER);
    EXPECT_EQ(selection->GetCameraIndices(&left, nullptr), E_POINTER);
    EXPECT_EQ(selection->SetCameraIndices(-4, 99), S_OK);
    EXPECT_EQ(selection->GetCameraIndices(&left, &right), S_OK);
    EXPECT_EQ(left, -4);
    EXPECT_EQ(right, 99);

    int size = -1;
    EXPECT_EQ(selection->GetSizeIndex(nullptr), E_POINTER);
    EXPECT_EQ(selection->SetSizeIndex(1), S_OK);
    EXPECT_EQ(selection->GetSizeIndex(&size), S_OK);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(videoFormat.width, 640);
    // An index other than 0 or 1 keeps the format but re-creates the images.
    EXPECT_EQ(selection->SetSizeIndex(5), S_OK);
    EXPECT_EQ(runtimeSettings.sizeIndex, 5);
    EXPECT_EQ(videoFormat.width, 640);
    EXPECT_EQ(workPictureInfo().width, 640);
    EXPECT_TRUE(workPictureInfo().exists);
}

TEST_F(SettingsTest, EachNewFilterRereadsTheSettings) {
    storeDword("camMode", 7);
    StereoCameraFilter* first = nullptr;
    ComPtr<IBaseFilter> one = makeStereoFilter(&first);
    EXPECT_EQ(runtimeSettings.imageMode, 7);
    ComPtr<IStereoImageControl> control;
    ASSERT_HRESULT_SUCCEEDED(one.As(&control));
    control->SetImageMode(1);

    storeDword("camMode", 10);
    ComPtr<IBaseFilter> two = makeStereoFilter(nullptr);
    int mode = -1;
    control->GetImageMode(&mode);
    EXPECT_EQ(mode, 10);  // the first instance sees the second one's load
}

TEST_F(SettingsTest, OutputPinStartsWithTheStoredResolution) {
    storeDword("camSize", 1);
    StereoCameraFilter* raw = nullptr;
    ComPtr<IBaseFilter> filter = makeStereoFilter(&raw);
    AM_MEDIA_TYPE* type = nullptr;
    ComPtr<IAMStreamConfig> config;
    ASSERT_HRESULT_SUCCEEDED(ComPtr<IPin>(raw->visibleOutput()).As(&config));
    ASSERT_EQ(config->GetFormat(&type), S_OK);
    ASSERT_NE(type, nullptr);
    const VIDEOINFOHEADER* info = videoInfoOf(*type);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->bmiHeader.biWidth, 640);
    EXPECT_EQ(info->bmiHeader.biHeight, 480);
    deleteMediaType(type);
}

}  // namespace
