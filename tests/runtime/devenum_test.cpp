// Filter mapper registrations seen through the system device enumerator,
// monikers and property bags.
#include <string>
#include <vector>

#include "test_support.h"

namespace {

DEFINE_GUID(CLSID_CameraA, 0x2c651615, 0xc765, 0x413e, 0x8a, 0x80, 0xc8, 0xa2, 0x32, 0xf9, 0x50, 0x00);
DEFINE_GUID(CLSID_CustomCategory, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);

const REGPINTYPES rgb24 = {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};

class Devices : public FreshRegistry {
protected:
    void SetUp() override {
        FreshRegistry::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                   reinterpret_cast<void**>(mapper.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                   reinterpret_cast<void**>(devices.GetAddressOf())),
                  S_OK);
    }
    REGFILTER2 captureRecord() {
        static REGFILTERPINS2 pins[2] = {};
        pins[0].cInstances = 1;
        pins[0].nMediaTypes = 1;
        pins[0].lpMediaType = &rgb24;
        pins[1].dwFlags = REG_PINFLAG_B_OUTPUT;
        pins[1].cInstances = 1;
        pins[1].nMediaTypes = 1;
        pins[1].lpMediaType = &rgb24;
        pins[1].clsPinCategory = &PIN_CATEGORY_CAPTURE;
        REGFILTER2 rf{};
        rf.dwVersion = 2;
        rf.dwMerit = MERIT_DO_NOT_USE;
        rf.cPins2 = 2;
        rf.rgPins2 = pins;
        return rf;
    }
    std::vector<ComPtr<IMoniker>> list(REFCLSID category, HRESULT expected = S_OK) {
        std::vector<ComPtr<IMoniker>> out;
        ComPtr<IEnumMoniker> e;
        EXPECT_EQ(devices->CreateClassEnumerator(category, e.GetAddressOf(), 0), expected);
        if (!e) return out;
        IMoniker* m = nullptr;
        while (e->Next(1, &m, nullptr) == S_OK) {
            ComPtr<IMoniker> owned;
            owned.Attach(m);
            out.push_back(owned);
        }
        return out;
    }
    std::wstring readText(IMoniker* m, const wchar_t* name, HRESULT* hr) {
        ComPtr<IPropertyBag> bag;
        *hr = m->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                               reinterpret_cast<void**>(bag.GetAddressOf()));
        if (FAILED(*hr)) return L"";
        VARIANT v;
        VariantInit(&v);
        *hr = bag->Read(name, &v, nullptr);
        std::wstring text;
        if (SUCCEEDED(*hr)) {
            EXPECT_EQ(v.vt, VT_BSTR);
            if (v.vt == VT_BSTR) text.assign(v.bstrVal, SysStringLen(v.bstrVal));
        }
        VariantClear(&v);
        return text;
    }
    ComPtr<IFilterMapper2> mapper;
    ComPtr<ICreateDevEnum> devices;
};

TEST_F(Devices, EmptyCategoryAnswersSFalse) {
    IEnumMoniker* e = reinterpret_cast<IEnumMoniker*>(1);
    EXPECT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &e, 0), S_FALSE);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, nullptr, 0), E_POINTER);
}

TEST_F(Devices, RegisteredCapturesAreEnumeratedAndBound) {
    const REGFILTER2 rf = captureRecord();
    IMoniker* created = nullptr;
    ASSERT_EQ(mapper->RegisterFilter(CLSID_SystemClock, L"Vanto 3D Virtual Camera2", &created,
                                     &CLSID_VideoInputDeviceCategory, L"Vanto 3D Virtual Camera2", &rf),
              S_OK);
    ASSERT_NE(created, nullptr);
    ASSERT_EQ(mapper->RegisterFilter(CLSID_FilterGraph, L"A Camera", nullptr, &CLSID_VideoInputDeviceCategory,
                                     L"A Camera", &rf),
              S_OK);

    const auto monikers = list(CLSID_VideoInputDeviceCategory);
    ASSERT_EQ(monikers.size(), 2u);
    HRESULT hr;
    EXPECT_EQ(readText(monikers[0].Get(), L"FriendlyName", &hr), L"A Camera");  // in key order
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(readText(monikers[1].Get(), L"FriendlyName", &hr), L"Vanto 3D Virtual Camera2");
    EXPECT_EQ(readText(monikers[1].Get(), L"CLSID", &hr), L"{E436EBB1-524F-11CE-9F53-0020AF0BA770}");
    readText(monikers[1].Get(), L"NoSuchValue", &hr);
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(monikers[1]->IsEqual(created), S_OK);
    EXPECT_EQ(monikers[0]->IsEqual(created), S_FALSE);
    created->Release();

    LPOLESTR display = nullptr;
    ASSERT_EQ(monikers[0]->GetDisplayName(nullptr, nullptr, &display), S_OK);
    EXPECT_STREQ(display, L"@device:sw:{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\A Camera");
    CoTaskMemFree(display);

    // Binding creates the registered class.
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(monikers[1]->BindToObject(nullptr, nullptr, IID_IReferenceClock,
                                        reinterpret_cast<void**>(clock.GetAddressOf())),
              S_OK);
    REFERENCE_TIME t = 0;
    EXPECT_TRUE(SUCCEEDED(clock->GetTime(&t)));
    ComPtr<IFilterGraph> graph;
    EXPECT_EQ(monikers[0]->BindToObject(nullptr, nullptr, IID_IFilterGraph,
                                        reinterpret_cast<void**>(graph.GetAddressOf())),
              S_OK);

    // FilterData holds the record: version, merit, pins, then the first pin.
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CLASSES_ROOT,
                      L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\Vanto 3D Virtual Camera2", 0,
                      KEY_READ, &key),
        ERROR_SUCCESS);
    BYTE data[512];
    DWORD size = sizeof data;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"FilterData", nullptr, &type, data, &size), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    DWORD words[5];
    ASSERT_GE(size, sizeof words);
    std::memcpy(words, data, sizeof words);
    EXPECT_EQ(words[0], 2u);
    EXPECT_EQ(words[1], static_cast<DWORD>(MERIT_DO_NOT_USE));
    EXPECT_EQ(words[2], 2u);
    EXPECT_EQ(words[3], 0u);  // first pin's flags: input
    EXPECT_EQ(words[4], 1u);  // instances

    // Unregistering removes the entry; a second time it is not found.
    ASSERT_EQ(mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, L"A Camera", CLSID_FilterGraph),
              S_OK);
    EXPECT_EQ(mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, L"A Camera", CLSID_FilterGraph),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(list(CLSID_VideoInputDeviceCategory).size(), 1u);
    ASSERT_EQ(mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, L"Vanto 3D Virtual Camera2",
                                       CLSID_SystemClock),
              S_OK);
    list(CLSID_VideoInputDeviceCategory, S_FALSE);
    // A moniker to a removed entry fails to bind.
    ComPtr<IUnknown> gone;
    EXPECT_EQ(monikers[0]->BindToObject(nullptr, nullptr, IID_IUnknown,
                                        reinterpret_cast<void**>(gone.GetAddressOf())),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(Devices, DefaultCategoryAndInstanceName) {
    REGFILTERPINS pin{};
    pin.bOutput = TRUE;
    pin.nMediaTypes = 1;
    pin.lpMediaType = &rgb24;
    REGFILTER2 rf{};
    rf.dwVersion = 1;
    rf.dwMerit = MERIT_NORMAL;
    rf.cPins = 1;
    rf.rgPins = &pin;
    ASSERT_EQ(mapper->RegisterFilter(CLSID_CameraA, L"General", nullptr, nullptr, nullptr, &rf), S_OK);
    const auto monikers = list(CLSID_LegacyAmFilterCategory);
    ASSERT_EQ(monikers.size(), 1u);
    LPOLESTR display = nullptr;
    ASSERT_EQ(monikers[0]->GetDisplayName(nullptr, nullptr, &display), S_OK);
    EXPECT_STREQ(
        display,
        L"@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{2C651615-C765-413E-8A80-C8A232F95000}");
    CoTaskMemFree(display);
    ASSERT_EQ(mapper->UnregisterFilter(nullptr, nullptr, CLSID_CameraA), S_OK);
    list(CLSID_LegacyAmFilterCategory, S_FALSE);

    rf.dwVersion = 3;
    EXPECT_EQ(mapper->RegisterFilter(CLSID_CameraA, L"General", nullptr, nullptr, nullptr, &rf),
              E_INVALIDARG);
    EXPECT_EQ(mapper->RegisterFilter(CLSID_CameraA, L"General", nullptr, nullptr, nullptr, nullptr),
              E_POINTER);
    rf.dwVersion = 1;
    rf.rgPins = nullptr;
    EXPECT_EQ(mapper->RegisterFilter(CLSID_CameraA, L"General", nullptr, nullptr, nullptr, &rf), E_POINTER);
    list(CLSID_LegacyAmFilterCategory, S_FALSE);  // nothing written by a refused call
}

TEST_F(Devices, CategoriesAndBagWrites) {
    ASSERT_EQ(mapper->CreateCategory(CLSID_CustomCategory, MERIT_NORMAL, L"Custom"), S_OK);
    const auto categories = list(CLSID_ActiveMovieCategories);
    ASSERT_EQ(categories.size(), 1u);
    HRESULT hr;
    EXPECT_EQ(readText(categories[0].Get(), L"FriendlyName", &hr), L"Custom");
    ComPtr<IPropertyBag> bag;
    ASSERT_EQ(categories[0]->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                           reinterpret_cast<void**>(bag.GetAddressOf())),
              S_OK);
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(bag->Read(L"Merit", &v, nullptr), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, MERIT_NORMAL);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(L"Renamed");
    ASSERT_EQ(bag->Write(L"FriendlyName", &v), S_OK);
    VariantClear(&v);
    EXPECT_EQ(readText(categories[0].Get(), L"FriendlyName", &hr), L"Renamed");
    VariantInit(&v);
    v.vt = VT_I4;
    EXPECT_EQ(bag->Read(L"FriendlyName", &v, nullptr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(bag->Read(nullptr, &v, nullptr), E_POINTER);
}

}  // namespace
