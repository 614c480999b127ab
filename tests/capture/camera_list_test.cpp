// The camera list: enumeration through device monikers and property bags,
// the build-once rule, and the matching of stored names to list positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/camera_list.h"
#include "capture_fakes.h"
#include "framework/runtime_settings.h"

using namespace capture_test;

namespace {

class CameraListTest : public ::testing::Test {
protected:
    void SetUp() override {
        releaseCameraList();
        liveBefore = liveObjectCount();
    }
    void TearDown() override {
        releaseCameraList();
        devices.Reset();
        EXPECT_EQ(liveObjectCount(), liveBefore);
    }

    // Lists `names` through a fake device enumerator.
    void listDevices(const std::vector<std::wstring>& names) {
        devices = makeDeviceEnum();
        for (const std::wstring& name : names)
            devices->devices.push_back(makeMoniker(name));
        ASSERT_EQ(enumerateCamerasFrom(devices.Get()), S_FALSE);  // Next's answer at the end
        ASSERT_EQ(cameraList.size(), names.size());
    }

    std::pair<int32_t, int32_t> match(const char* left, const char* right) {
        matchCameraNames(left, right);
        return {runtimeSettings.leftCameraIndex, runtimeSettings.rightCameraIndex};
    }

    LONG liveBefore = 0;
    ComPtr<TestDeviceEnum> devices;
};

using Indices = std::pair<int32_t, int32_t>;

TEST_F(CameraListTest, EnumerationKeepsOrderNamesAndOneMonikerReferencePerEntry) {
    listDevices({L"Vanto 3D Virtual Camera2", L"USB Camera", L"HD Webcam"});
    EXPECT_STREQ(cameraList[0].name, "Vanto 3D Virtual Camera2");
    EXPECT_STREQ(cameraList[1].name, "USB Camera");
    EXPECT_STREQ(cameraList[2].name, "HD Webcam");
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cameraList[i].moniker.Get(), static_cast<IMoniker*>(devices->devices[i].Get()));
        // The enumerator's fake, the test's vector and the list: 2 references.
        devices->devices[i]->AddRef();
        EXPECT_EQ(devices->devices[i]->Release(), 2u);
    }

    const char* kept = cameraList[1].name;
    releaseCameraList();
    EXPECT_EQ(cameraList.size(), 0u);
    devices->devices[1]->AddRef();
    EXPECT_EQ(devices->devices[1]->Release(), 1u);
    // Name buffers outlive the list.
    EXPECT_STREQ(kept, "USB Camera");
}

TEST_F(CameraListTest, UnreadableDevicesAreLeftOut) {
    devices = makeDeviceEnum();
    for (const wchar_t* name : {L"first", L"no bag", L"read fails", L"not a string", L"last"})
        devices->devices.push_back(makeMoniker(name));
    devices->devices[1]->storageResult = E_FAIL;
    devices->devices[2]->readResult = E_INVALIDARG;
    devices->devices[3]->nameIsNumber = true;
    enumerateCamerasFrom(devices.Get());
    ASSERT_EQ(cameraList.size(), 2u);
    EXPECT_STREQ(cameraList[0].name, "first");
    EXPECT_STREQ(cameraList[1].name, "last");
    // The skipped monikers were released: only the test's vector holds them.
    for (int i = 1; i <= 3; ++i) {
        devices->devices[i]->AddRef();
        EXPECT_EQ(devices->devices[i]->Release(), 1u) << i;
    }
}

// The device's "CLSID" is what recognises the virtual camera's own entry;
// a bag without one, or with text that is no class id, gives GUID_NULL.
TEST_F(CameraListTest, EachEntryKeepsTheFilterClassItsDeviceNames) {
    const CLSID named = {0x2c651615, 0xc765, 0x413e, {0x8a, 0x80, 0xc8, 0xa2, 0x32, 0xf9, 0x50, 0x11}};
    WCHAR text[40] = {};
    ASSERT_GT(StringFromGUID2(named, text, 40), 0);
    devices = makeDeviceEnum();
    for (const wchar_t* name : {L"named", L"no class", L"not a class id"})
        devices->devices.push_back(makeMoniker(name));
    devices->devices[0]->classIdText = text;
    devices->devices[2]->classIdText = L"{not a class id}";
    enumerateCamerasFrom(devices.Get());
    ASSERT_EQ(cameraList.size(), 3u);
    EXPECT_EQ(cameraList[0].classId, named);
    EXPECT_EQ(cameraList[1].classId, GUID_NULL);
    EXPECT_EQ(cameraList[2].classId, GUID_NULL);

    EXPECT_TRUE(cameraList.isOfClass(0, named));
    EXPECT_FALSE(cameraList.isOfClass(1, named));
    EXPECT_FALSE(cameraList.isOfClass(1, GUID_NULL));  // "names no class" never matches
    EXPECT_FALSE(cameraList.isOfClass(3, named));
    EXPECT_FALSE(cameraList.isOfClass(-1, named));
}

TEST_F(CameraListTest, EmptyOrFailingCategoryLeavesTheListEmpty) {
    devices = makeDeviceEnum();
    EXPECT_EQ(enumerateCamerasFrom(devices.Get()), S_FALSE);
    EXPECT_EQ(cameraList.size(), 0u);

    devices->devices.push_back(makeMoniker(L"cam"));
    devices->result = E_OUTOFMEMORY;
    EXPECT_EQ(enumerateCamerasFrom(devices.Get()), E_OUTOFMEMORY);
    EXPECT_EQ(cameraList.size(), 0u);
    EXPECT_EQ(enumerateCamerasFrom(nullptr), E_POINTER);
}

TEST_F(CameraListTest, LongNamesAreCutAt255Bytes) {
    const std::wstring longName(300, L'x');
    const std::wstring exact(255, L'y');
    listDevices({longName, exact, L""});
    EXPECT_EQ(std::string(cameraList[0].name), std::string(255, 'x'));
    EXPECT_EQ(std::string(cameraList[1].name), std::string(255, 'y'));
    EXPECT_STREQ(cameraList[2].name, "");

    // A stored name of 300 characters matches nothing; its first 255 bytes do.
    // (On the right side: found at 0 it would give (1, 0), not found (0, 1).)
    const std::string stored300(300, 'x');
    EXPECT_EQ(match("NONE", stored300.c_str()), Indices(0, 1));
    const std::string stored255(255, 'x');
    EXPECT_EQ(match("zzz", stored255.c_str()), Indices(1, 0));
}

TEST_F(CameraListTest, ContainsAndAtCheckTheRange) {
    listDevices({L"a", L"b", L"c"});
    EXPECT_TRUE(cameraList.contains(0));
    EXPECT_TRUE(cameraList.contains(2));
    EXPECT_FALSE(cameraList.contains(3));
    EXPECT_FALSE(cameraList.contains(-1));
    EXPECT_EQ(cameraList.at(3), nullptr);
    EXPECT_EQ(cameraList.at(-7), nullptr);
    ASSERT_NE(cameraList.at(2), nullptr);
    EXPECT_STREQ(cameraList.at(2)->name, "c");
}

// The fill-in table and the walk, one row per case.
struct MatchCase {
    const char* label;
    std::vector<std::wstring> devices;
    const char* left;
    const char* right;
    Indices expected;
};

TEST_F(CameraListTest, MatchingFollowsTheFillInTable) {
    const std::vector<MatchCase> cases = {
        {"both found", {L"V", L"A", L"B"}, "A", "B", {1, 2}},
        {"both found, reversed", {L"V", L"A", L"B"}, "B", "A", {2, 1}},
        {"left at 0 only", {L"A", L"B", L"C"}, "A", "Z", {0, 1}},
        {"left at 2 only", {L"X", L"Y", L"A"}, "A", "Z", {2, 0}},
        {"right at 0 only", {L"B", L"X", L"Y"}, "Z", "B", {1, 0}},
        {"right at 2 only", {L"X", L"Y", L"B"}, "Z", "B", {0, 2}},
        {"neither", {L"X", L"Y", L"W"}, "Z", "Q", {0, 1}},
        {"two devices of one name", {L"V", L"Cam", L"Cam"}, "Cam", "Cam", {1, 2}},
        {"both names of one device at 2", {L"X", L"Y", L"Cam"}, "Cam", "Cam", {2, 0}},
        {"one entry is never both", {L"V", L"Cam"}, "Cam", "Cam", {1, 0}},
        {"first start: NONE", {L"V", L"A", L"B"}, "NONE", "NONE", {0, 1}},
        {"a device named NONE", {L"V", L"NONE"}, "NONE", "NONE", {1, 0}},
        {"case differs", {L"V", L"cam", L"CAM"}, "Cam", "CAM", {0, 2}},
        {"no trimming", {L"V", L"Cam ", L"B"}, "Cam", "B", {0, 2}},
        {"empty list", {}, "A", "B", {0, 1}},
        {"single device", {L"A"}, "A", "B", {0, 1}},
        {"stops once both are found", {L"A", L"B", L"A", L"B"}, "A", "B", {0, 1}},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.label);
        releaseCameraList();
        listDevices(c.devices);
        EXPECT_EQ(match(c.left, c.right), c.expected);
        EXPECT_NE(runtimeSettings.leftCameraIndex.load(), runtimeSettings.rightCameraIndex.load());
    }
}

TEST_F(CameraListTest, NullNamesMatchLikeNone) {
    listDevices({L"V", L"NONE", L"B"});
    EXPECT_EQ(match(nullptr, "B"), Indices(1, 2));
    EXPECT_EQ(match("B", nullptr), Indices(2, 1));
}

TEST_F(CameraListTest, MatchingOverwritesPreviousIndices) {
    listDevices({L"V", L"A", L"B"});
    runtimeSettings.leftCameraIndex = 42;
    runtimeSettings.rightCameraIndex = -9;
    EXPECT_EQ(match("B", "A"), Indices(2, 1));
    EXPECT_EQ(match("NONE", "NONE"), Indices(0, 1));
}

#ifndef _WIN32
// The system device enumerator of the platform, fed by IFilterMapper2 in the
// test's own registry folder.
void registerDevice(IFilterMapper2* mapper, const wchar_t* instance, const wchar_t* name, int n) {
    const CLSID filter = {
        0x5d3e1a40u + static_cast<unsigned>(n), 0x1111, 0x4222, {0x83, 0x33, 0, 0, 0, 0, 0, 1}};
    REGFILTER2 data{};
    data.dwVersion = 2;
    data.dwMerit = MERIT_DO_NOT_USE;
    data.cPins2 = 0;
    data.rgPins2 = nullptr;
    ASSERT_EQ(mapper->RegisterFilter(filter, name, nullptr, &CLSID_VideoInputDeviceCategory, instance, &data),
              S_OK);
}

TEST_F(CameraListTest, SystemDeviceEnumeratorIsReadOncePerLoad) {
    ComPtr<IFilterMapper2> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, iidOf<IFilterMapper2>(),
                               reinterpret_cast<void**>(mapper.GetAddressOf())),
              S_OK);

    // Empty category: built, empty.
    EXPECT_TRUE(ensureCameraList());
    EXPECT_EQ(cameraList.size(), 0u);
    EXPECT_FALSE(ensureCameraList());

    registerDevice(mapper.Get(), L"1-virtual", L"Vanto 3D Virtual Camera2", 1);
    registerDevice(mapper.Get(), L"2-left", L"Left Cam", 2);
    // Already built in this load: a new device is not listed.
    EXPECT_FALSE(ensureCameraList());
    EXPECT_EQ(cameraList.size(), 0u);

    // Unload and load again.
    releaseCameraList();
    EXPECT_TRUE(ensureCameraList());
    ASSERT_EQ(cameraList.size(), 2u);
    EXPECT_STREQ(cameraList[0].name, "Vanto 3D Virtual Camera2");
    EXPECT_STREQ(cameraList[1].name, "Left Cam");
    EXPECT_TRUE(cameraList[1].moniker);

    registerDevice(mapper.Get(), L"3-right", L"Right Cam", 3);
    EXPECT_FALSE(ensureCameraList());
    EXPECT_EQ(cameraList.size(), 2u);
}
#endif

}  // namespace
