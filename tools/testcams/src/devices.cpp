// The device table of the test cameras.
#include <cctype>

#include "testcams/test_cameras.h"

namespace {

const TestCameraDevice devices[] = {
    {"A", &CLSID_DuoviewTestCameraA, L"Duoview Test Camera A", TestCameraKind::ordinary, 0, false},
    {"B", &CLSID_DuoviewTestCameraB, L"Duoview Test Camera B", TestCameraKind::ordinary, 1, false},
    {"C", &CLSID_DuoviewTestCameraC, L"Duoview Test Camera C", TestCameraKind::ordinary, 0, false},
    {"NoRGB24", &CLSID_DuoviewTestCameraNoRGB24, L"Duoview Test Camera NoRGB24", TestCameraKind::noRgb24, 0,
     true},
    {"TopDown", &CLSID_DuoviewTestCameraTopDown, L"Duoview Test Camera TopDown", TestCameraKind::topDownOnly,
     0, true},
    {"Stall", &CLSID_DuoviewTestCameraStall, L"Duoview Test Camera Stall", TestCameraKind::stalled, 0, true},
};

bool sameKey(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

}  // namespace

const TestCameraDevice* testCameraDevices() {
    return devices;
}

int testCameraDeviceCount() {
    return static_cast<int>(sizeof(devices) / sizeof(devices[0]));
}

const TestCameraDevice* findTestCamera(REFCLSID classId) {
    for (const TestCameraDevice& device : devices)
        if (*device.classId == classId) return &device;
    return nullptr;
}

const TestCameraDevice* findTestCameraByKey(const char* key) {
    if (!key) return nullptr;
    for (const TestCameraDevice& device : devices)
        if (sameKey(device.key, key)) return &device;
    return nullptr;
}
