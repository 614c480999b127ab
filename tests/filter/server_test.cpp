// The component server: class objects, the factory, unload decisions and
// (un)registration with the keys and device entries it leaves behind.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "filter/component_server.h"
#include "filter/stereo_interfaces.h"
#include "filter_fakes.h"

namespace {

const wchar_t* const filterClassKey = L"CLSID\\{2C651615-C765-413E-8A80-C8A232F95000}";
// Video input device entry and general filter entry written by the filter mapper.
const wchar_t* const deviceEntryKey =
    L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\Vanto 3D Virtual Camera2";
const wchar_t* const generalEntryKey =
    L"CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\{2C651615-C765-413E-8A80-C8A232F95000}";

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart = liveObjectCount();
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\VANTO Automation");
    }
    void TearDown() override {
        EXPECT_EQ(serverLockCount(), 0);
        EXPECT_EQ(liveObjectCount(), liveAtStart);
    }

    static ComPtr<IClassFactory> factoryFor(REFCLSID classId) {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(serverGetClassObject(classId, IID_IClassFactory,
                                       reinterpret_cast<void**>(factory.GetAddressOf())),
                  S_OK);
        return factory;
    }
    static bool keyExists(const wchar_t* path) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static std::wstring stringValue(const std::wstring& path, const wchar_t* name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return L"<no key>";
        WCHAR data[600] = {};
        DWORD size = sizeof(data) - sizeof(WCHAR);
        DWORD type = 0;
        const LSTATUS status =
            RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return L"<no value>";
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        return data;
    }
    // How many entries of `category` the device enumerator lists under `name`.
    static int devicesNamed(REFCLSID category, const wchar_t* name) {
        ComPtr<ICreateDevEnum> devices;
        if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                    reinterpret_cast<void**>(devices.GetAddressOf()))))
            return -1;
        ComPtr<IEnumMoniker> monikers;
        if (devices->CreateClassEnumerator(category, monikers.GetAddressOf(), 0) != S_OK) return 0;
        int count = 0;
        ComPtr<IMoniker> moniker;
        while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            ComPtr<IPropertyBag> bag;
            if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                              reinterpret_cast<void**>(bag.GetAddressOf()))))
                continue;
            VARIANT value;
            VariantInit(&value);
            if (SUCCEEDED(bag->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR &&
                std::wstring(value.bstrVal) == name)
                ++count;
            VariantClear(&value);
        }
        return count;
    }

    LONG liveAtStart = 0;
};

// A controlling unknown for aggregation; counts its references.
class OuterUnknown final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

// ---- class objects ------------------------------------------------------------

TEST_F(ServerTest, ClassObjectsForKnownClassesOnly) {
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(serverGetClassObject(CLSID_StereoCameraFilter, IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(serverGetClassObject(CLSID_StereoCameraFilter, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(serverGetClassObject(IID_IStereoImageControl, IID_IClassFactory, &out),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, static_cast<HRESULT>(0x80040111));

    ASSERT_EQ(serverGetClassObject(CLSID_StereoCameraFilter, IID_IUnknown, &out), S_OK);
    auto* unknown = static_cast<IUnknown*>(out);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(unknown->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(factory.Get()), unknown);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(factory->QueryInterface(IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    // Each call makes a new factory, counted as a live object.
    ComPtr<IClassFactory> other = factoryFor(CLSID_StereoCameraFilter);
    EXPECT_NE(other.Get(), factory.Get());
    EXPECT_EQ(liveObjectCount(), liveAtStart + 2);
}

TEST_F(ServerTest, ClassTableSearch) {
    ASSERT_GE(classTableSize, 1u);
    const ClassEntry* entry = findClassEntry(CLSID_StereoCameraFilter);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(std::wstring(entry->name), L"VantoDuoviewFilter");
    EXPECT_EQ(entry->setup, &stereoFilterSetup);
    // A class identifier that differs in its last byte only is another class.
    CLSID neighbour = CLSID_StereoCameraFilter;
    neighbour.Data4[7] ^= 1;
    EXPECT_EQ(findClassEntry(neighbour), nullptr);
    EXPECT_EQ(findClassEntry(GUID_NULL), nullptr);
}

TEST_F(ServerTest, CreateInstanceRules) {
    ComPtr<IClassFactory> factory = factoryFor(CLSID_StereoCameraFilter);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, nullptr), E_POINTER);

    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf())),
        S_OK);
    EXPECT_EQ(refsOf(filter.Get()), 1u);
    CLSID id{};
    filter->GetClassID(&id);
    EXPECT_EQ(id, CLSID_StereoCameraFilter);
    filter = nullptr;

    // An interface the object does not offer: the new object is gone again.
    void* out = reinterpret_cast<void*>(0x1);
    const LONG before = liveObjectCount();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(liveObjectCount(), before);
}

TEST_F(ServerTest, AggregationHandsOutTheInnerUnknownOnly) {
    ComPtr<IClassFactory> factory = factoryFor(CLSID_StereoCameraFilter);
    OuterUnknown outer;
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IBaseFilter, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    ASSERT_NE(inner, nullptr);
    // Interfaces of the inner object count on the outer one.
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    EXPECT_EQ(outer.refs, 2u);
    filter->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(inner->Release(), 0u);
}

TEST_F(ServerTest, CanUnloadOnlyWithoutObjectsAndServerLocks) {
    EXPECT_EQ(serverCanUnloadNow(), S_OK);
    {
        ComPtr<IClassFactory> factory = factoryFor(CLSID_StereoCameraFilter);
        EXPECT_EQ(serverCanUnloadNow(), S_FALSE);
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter,
                                          reinterpret_cast<void**>(filter.GetAddressOf())),
                  S_OK);
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
        EXPECT_EQ(serverLockCount(), 1);
    }
    // Every object is gone, the lock is still held.
    EXPECT_EQ(liveObjectCount(), liveAtStart);
    EXPECT_EQ(serverCanUnloadNow(), S_FALSE);
    {
        ComPtr<IClassFactory> factory = factoryFor(CLSID_StereoCameraFilter);
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    }
    EXPECT_EQ(serverCanUnloadNow(), S_OK);
}

// ---- registration ---------------------------------------------------------------

TEST_F(ServerTest, RegisterWritesServerKeysAndBothFilterEntries) {
    serverUnregister();
    ASSERT_EQ(serverRegister(), S_OK);
    ASSERT_EQ(serverRegister(), S_OK);  // twice: still one of each

    EXPECT_EQ(stringValue(filterClassKey, nullptr), L"VantoDuoviewFilter");
    const std::wstring serverKey = std::wstring(filterClassKey) + L"\\InprocServer32";
    EXPECT_EQ(stringValue(serverKey, L"ThreadingModel"), L"Both");
    const std::wstring path = stringValue(serverKey, nullptr);
    EXPECT_FALSE(path.empty());
    EXPECT_NE(path[0], L'<');

    // Every class of the table has its server keys; only the filter has a
    // filter mapper entry.
    for (size_t i = 0; i < classTableSize; ++i) {
        WCHAR text[40] = {};
        StringFromGUID2(*classTable[i].classId, text, 40);
        const std::wstring key = std::wstring(L"CLSID\\") + text;
        EXPECT_EQ(stringValue(key, nullptr), classTable[i].name);
        EXPECT_EQ(stringValue(key + L"\\InprocServer32", nullptr), path);
    }
    EXPECT_TRUE(keyExists(generalEntryKey));
    EXPECT_EQ(stringValue(generalEntryKey, L"FriendlyName"), L"Vanto 3D Virtual Camera2");
    EXPECT_TRUE(keyExists(deviceEntryKey));
    EXPECT_EQ(devicesNamed(CLSID_VideoInputDeviceCategory, L"Vanto 3D Virtual Camera2"), 1);
    EXPECT_EQ(devicesNamed(CLSID_LegacyAmFilterCategory, L"Vanto 3D Virtual Camera2"), 1);

    EXPECT_EQ(serverUnregister(), S_OK);
    EXPECT_FALSE(keyExists(filterClassKey));
    EXPECT_FALSE(keyExists(generalEntryKey));
    EXPECT_FALSE(keyExists(deviceEntryKey));
    EXPECT_EQ(devicesNamed(CLSID_VideoInputDeviceCategory, L"Vanto 3D Virtual Camera2"), 0);
    for (size_t i = 0; i < classTableSize; ++i) {
        WCHAR text[40] = {};
        StringFromGUID2(*classTable[i].classId, text, 40);
        EXPECT_FALSE(keyExists((std::wstring(L"CLSID\\") + text).c_str()));
    }
}

#ifndef _WIN32
// The video input device entry's record, as the POSIX filter mapper keeps it
// (little-endian words; see platform/posix/src/devenum.cpp): the device is
// never picked by merit, and its one output pin is a capture pin of 24-bit
// RGB video, so capture graph builders find it.
TEST_F(ServerTest, DeviceEntryRecordsMeritAndTheCaptureOutputPin) {
    serverUnregister();
    ASSERT_EQ(serverRegister(), S_OK);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, deviceEntryKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE data[1024] = {};
    DWORD size = sizeof data, type = 0;
    const LSTATUS status = RegQueryValueExW(key, L"FilterData", nullptr, &type, data, &size);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS);
    ASSERT_EQ(type, static_cast<DWORD>(REG_BINARY));

    size_t at = 0;
    auto word = [&]() -> DWORD {
        DWORD w = 0;
        if (at + 4 <= size) std::memcpy(&w, data + at, 4);
        at += 4;
        return w;
    };
    auto guid = [&]() -> GUID {
        GUID g{};
        if (at + 16 <= size) std::memcpy(&g, data + at, 16);
        at += 16;
        return g;
    };
    EXPECT_EQ(word(), 2u) << "version";
    EXPECT_EQ(word(), static_cast<DWORD>(MERIT_DO_NOT_USE)) << "merit";
    ASSERT_EQ(word(), 3u) << "pins";
    for (int pin = 0; pin < 3; ++pin) {
        SCOPED_TRACE(pin);
        const bool output = pin == 2;
        EXPECT_EQ(word(), output ? static_cast<DWORD>(REG_PINFLAG_B_OUTPUT) : 0u) << "flags";
        EXPECT_EQ(word(), 1u) << "instances";
        ASSERT_EQ(word(), 1u) << "media types";
        ASSERT_EQ(word(), 0u) << "mediums";
        EXPECT_EQ(guid(), output ? PIN_CATEGORY_CAPTURE : GUID_NULL) << "category";
        EXPECT_EQ(guid(), MEDIATYPE_Video);
        EXPECT_EQ(guid(), MEDIASUBTYPE_RGB24);
    }
    EXPECT_EQ(at, static_cast<size_t>(size)) << "nothing after the pins";
    EXPECT_EQ(serverUnregister(), S_OK);
}
#endif

TEST_F(ServerTest, UnregisteringWhatWasNeverRegistered) {
    serverUnregister();
    ASSERT_FALSE(keyExists(deviceEntryKey));
    // The general step counts "not found" as success; what remains is the
    // device unregistration's own answer.
    EXPECT_EQ(serverUnregister(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(keyExists(filterClassKey));
}

TEST_F(ServerTest, FilterSetupRecord) {
    EXPECT_EQ(*stereoFilterSetup.classId, CLSID_StereoCameraFilter);
    EXPECT_EQ(std::wstring(stereoFilterSetup.name), L"Vanto 3D Virtual Camera2");
    EXPECT_EQ(stereoFilterSetup.merit, static_cast<DWORD>(MERIT_DO_NOT_USE));
    ASSERT_EQ(stereoFilterSetup.pinCount, 3u);
    const wchar_t* names[] = {L"Input1", L"Input2", L"Output1"};
    const wchar_t* peers[] = {L"Output1", L"Output2", L"Input1"};
    for (UINT i = 0; i < 3; ++i) {
        const REGFILTERPINS& pin = stereoFilterSetup.pins[i];
        EXPECT_EQ(std::wstring(pin.strName), names[i]);
        EXPECT_EQ(std::wstring(pin.strConnectsToPin), peers[i]);
        EXPECT_EQ(pin.bOutput, i == 2 ? TRUE : FALSE);
        EXPECT_EQ(pin.bRendered | pin.bZero | pin.bMany, FALSE);
        ASSERT_EQ(pin.nMediaTypes, 1u);
        EXPECT_EQ(*pin.lpMediaType[0].clsMajorType, MEDIATYPE_Video);
        EXPECT_EQ(*pin.lpMediaType[0].clsMinorType, MEDIASUBTYPE_RGB24);
    }
}

}  // namespace
