// Camera name matching: random device names (any wide characters, any
// length) appended to the camera list as the device enumeration appends them,
// and random stored names matched against that list.
//
// Properties: a name in the list is always terminated inside its 256-byte
// buffer; the two positions differ; a stored name that is in the list picks
// its first entry, and the right name the first matching entry other than the
// left camera's.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/camera_list.h"
#include "framework/runtime_settings.h"
#include "fuzz_input.h"

namespace {

// Each appended name takes a buffer that lives until the module is unloaded;
// past this many the list is reused as it stands so a long run stays bounded.
constexpr size_t appendBudget = 200000;
size_t appended = 0;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_names: %s\n", what);
    std::abort();
}

std::wstring wideName(FuzzInput& in) {
    std::wstring name;
    const size_t length = in.pick(4) ? in.pick(12) : in.byte() + in.byte();
    static const wchar_t specials[] = {
        L'\xE9',           L'\x4E2D',   L'\xD800', L'\xDFFF', wchar_t(0x10FFFF),
        wchar_t(0x110000), wchar_t(-1), L' ',      L'\x7F'};
    for (size_t i = 0; i < length; ++i) {
        const size_t kind = in.pick(8);
        wchar_t c = kind == 0 ? specials[in.pick(std::size(specials))] : wchar_t('A' + in.pick(4));
        name += c ? c : L'a';
    }
    return name;
}

std::string storedName(FuzzInput& in) {
    if (in.flag() && cameraList.size() > 0) {  // often a name that is in the list, or a prefix of one
        const std::string listed = cameraList[in.pick(cameraList.size())].name;
        return in.pick(4) ? listed : listed.substr(0, listed.size() / 2);
    }
    std::string name;
    const size_t length = in.pick(12);
    for (size_t i = 0; i < length; ++i)
        name += char('A' + in.pick(4));
    return in.pick(8) ? name : std::string("NONE");
}

int firstMatch(const std::string& name, int32_t skip) {
    for (size_t i = 0; i < cameraList.size(); ++i) {
        if (int32_t(i) != skip && std::strcmp(cameraList[i].name, name.c_str()) == 0) return int(i);
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    if (appended < appendBudget) {
        releaseCameraList();
        const size_t count = in.pick(7);
        for (size_t i = 0; i < count; ++i) {
            const std::wstring name = wideName(in);
            if (!cameraList.append(in.pick(16) ? name.c_str() : nullptr, nullptr)) fail("append failed");
            ++appended;
        }
    }
    for (size_t i = 0; i < cameraList.size(); ++i) {
        if (!cameraList[i].name || !std::memchr(cameraList[i].name, 0, cameraNameBufferSize))
            fail("a listed name is not terminated in its buffer");
    }

    const std::string left = storedName(in);
    const std::string right = storedName(in);
    const bool nullLeft = in.pick(16) == 0;
    matchCameraNames(nullLeft ? nullptr : left.c_str(), right.c_str());
    const int32_t leftIndex = runtimeSettings.leftCameraIndex;
    const int32_t rightIndex = runtimeSettings.rightCameraIndex;
    if (leftIndex == rightIndex) fail("one position for both cameras");

    const int leftMatch = firstMatch(nullLeft ? std::string("NONE") : left, -1);
    if (leftMatch >= 0 && leftIndex != leftMatch) fail("left camera is not the first entry of its name");
    const int rightMatch = firstMatch(right, leftMatch);
    if (rightMatch >= 0 && rightIndex != rightMatch)
        fail("right camera is not the first other entry of its name");
    if (leftMatch < 0 && rightMatch < 0 && (leftIndex != 0 || rightIndex != 1))
        fail("unmatched names do not give the first two positions");
    return 0;
}
