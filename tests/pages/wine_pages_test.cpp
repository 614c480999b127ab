// The pages on Windows (run under Wine with the null graphics driver): the
// Win32 resources, the pages created directly and through the registered
// Duoview2.dll, and both pages in the platform's own modal property frame,
// which a watcher thread operates and closes.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "../../pages/dialog_templates.h"
#include "filter/stereo_camera_filter.h"
#include "filter/stereo_interfaces.h"
#include "pages/camera_selection_page.h"
#include "pages/image_type_page.h"
#include "platform/com_ptr.h"
#include "platform/win.h"

namespace {

constexpr const char* settingsKeyText = "Software\\VANTO Automation\\stereoWebcam";

DWORD storedDword(const char* name) {
    HKEY key = nullptr;
    DWORD value = 0xDEAD, type = 0, size = sizeof value;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKeyText, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        value = 0xDEAD;
    RegCloseKey(key);
    return value;
}

void clearStore() {
    RegDeleteKeyA(HKEY_CURRENT_USER, settingsKeyText);
}

class CountingSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IPropertyPageSite) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        if (flags & PROPPAGESTATUS_DIRTY) ++dirtyReports;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* id) override {
        *id = 0;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
    ULONG refs = 0;
    int dirtyReports = 0;
};

// Chooses item `index` of list `id` in `dialog` as a user would.
void choose(HWND dialog, int id, int index) {
    HWND list = GetDlgItem(dialog, id);
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

class WinePagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        clearStore();
        host = CreateWindowExW(0, L"Static", L"Host", WS_POPUP | WS_VISIBLE, 0, 0, 600, 500, nullptr, nullptr,
                               nullptr, nullptr);
        ASSERT_NE(nullptr, host) << "no windows: is the null graphics driver set in the prefix?";
    }
    void TearDown() override {
        DestroyWindow(host);
        CoUninitialize();
    }
    HWND host = nullptr;
};

// Drives `page` on `object` through a whole session: choose, Apply, close.
void runSession(IPropertyPage* page, IUnknown* object, HWND parent, int list, int index, CountingSite* site) {
    ASSERT_EQ(S_OK, page->SetPageSite(site));
    ASSERT_EQ(S_OK, page->SetObjects(1, &object));
    PROPPAGEINFO info{};
    ASSERT_EQ(S_OK, page->GetPageInfo(&info));
    EXPECT_GT(info.size.cx, 0);
    EXPECT_NE(340, info.size.cx);  // the template exists, so its real size is reported
    CoTaskMemFree(info.pszTitle);
    const RECT rect{0, 0, info.size.cx, info.size.cy};
    ASSERT_EQ(S_OK, page->Activate(parent, &rect, TRUE));
    pump();
    HWND dialog = FindWindowExW(parent, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, dialog);
    ASSERT_NE(nullptr, GetDlgItem(dialog, list));
    EXPECT_GT(SendDlgItemMessageW(dialog, list, CB_GETCOUNT, 0, 0), index);
    choose(dialog, list, index);
    EXPECT_EQ(S_OK, page->IsPageDirty());
    EXPECT_EQ(1, site->dirtyReports);
    EXPECT_EQ(S_OK, page->Apply());
    EXPECT_EQ(S_FALSE, page->IsPageDirty());
    EXPECT_EQ(S_OK, page->Deactivate());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(S_OK, page->SetObjects(0, nullptr));
    EXPECT_EQ(S_OK, page->SetPageSite(nullptr));
}

TEST_F(WinePagesTest, ResourcesOfThisProgramMakeTheImageTypePage) {
    HRESULT hr = S_OK;
    ComponentCore* filterObject = StereoCameraFilter::create(nullptr, &hr);
    ASSERT_TRUE(filterObject);
    ComPtr<IUnknown> filter(filterObject->innerUnknown());
    ComPtr<IPropertyPage> page;
    ASSERT_TRUE(SUCCEEDED(ComPtr<IUnknown>(ImageTypePage::create(nullptr, &hr)->innerUnknown()).As(&page)));

    // The template's controls and the logo exist as Win32 windows.
    HWND probe =
        CreateDialogParamW(pageResourceModule(), MAKEINTRESOURCEW(IDD_IMAGE_TYPE_PAGE), host, nullptr, 0);
    ASSERT_NE(nullptr, probe);
    wchar_t text[64] = {};
    GetDlgItemTextW(probe, IDC_LEFT_CAMERA_SETTINGS, text, 64);
    EXPECT_STREQ(L"Left Camera Settings", text);
    bool logoFound = false;
    for (HWND c = GetWindow(probe, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (SendMessageW(c, STM_GETIMAGE, IMAGE_BITMAP, 0)) logoFound = true;
    EXPECT_TRUE(logoFound) << "the logo bitmap (resource 112) did not load";
    DestroyWindow(probe);
    EXPECT_EQ(L"VANTO 3D Lumra Property Page", loadTitleString(IDS_IMAGE_TYPE_PAGE_TITLE));

    CountingSite site;
    runSession(page.Get(), filter.Get(), host, IDC_IMAGE_MODE_LIST, 11, &site);
    EXPECT_EQ(11u, storedDword("camMode"));
    page.Reset();
    filter.Reset();
    EXPECT_EQ(0, liveObjectCount());
}

class RegisteredModuleTest : public WinePagesTest {
protected:
    void SetUp() override {
        WinePagesTest::SetUp();
        module = LoadLibraryA(DV_PRODUCT_MODULE);
        ASSERT_NE(nullptr, module) << "cannot load " << DV_PRODUCT_MODULE;
        auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
        ASSERT_NE(nullptr, registerServer);
        ASSERT_TRUE(SUCCEEDED(registerServer()));
        ASSERT_TRUE(
            SUCCEEDED(CoCreateInstance(CLSID_StereoCameraFilter, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf()))));
        ASSERT_TRUE(SUCCEEDED(filter.As(&imageControl)));
        ASSERT_TRUE(SUCCEEDED(filter->FindPin(L"Output1", pin.GetAddressOf())));
        ASSERT_TRUE(SUCCEEDED(pin.As(&cameraSelection)));
        imageControl->SetImageMode(3);
        cameraSelection->SetSizeIndex(0);
    }
    void TearDown() override {
        cameraSelection.Reset();
        pin.Reset();
        imageControl.Reset();
        filter.Reset();
        FreeLibrary(module);
        WinePagesTest::TearDown();
    }
    HMODULE module = nullptr;
    ComPtr<IBaseFilter> filter;
    ComPtr<IStereoImageControl> imageControl;
    ComPtr<IPin> pin;
    ComPtr<ICameraSelection> cameraSelection;
};

TEST_F(RegisteredModuleTest, PagesCreatedThroughTheRegistryCommitAndStore) {
    {
        ComPtr<IPropertyPage> page;
        ASSERT_TRUE(
            SUCCEEDED(CoCreateInstance(CLSID_ImageTypePage, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                       reinterpret_cast<void**>(page.GetAddressOf()))));
        CountingSite site;
        runSession(page.Get(), filter.Get(), host, IDC_IMAGE_MODE_LIST, 4, &site);
        int mode = -1;
        imageControl->GetImageMode(&mode);
        EXPECT_EQ(4, mode);
        EXPECT_EQ(4u, storedDword("camMode"));
    }
    {
        ComPtr<IPropertyPage> page;
        ASSERT_TRUE(
            SUCCEEDED(CoCreateInstance(CLSID_CameraSelectionPage, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IPropertyPage, reinterpret_cast<void**>(page.GetAddressOf()))));
        CountingSite site;
        runSession(page.Get(), pin.Get(), host, IDC_RESOLUTION_LIST, 1, &site);
        int size = -1;
        cameraSelection->GetSizeIndex(&size);
        EXPECT_EQ(1, size);
        EXPECT_EQ(1u, storedDword("camSize"));
    }
}

// Pages created through the registry, given their object and let go of it
// without being activated: the running settings and the store keep their values.
TEST_F(RegisteredModuleTest, PagesNeverActivatedLeaveSettingsAndStoreAlone) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, settingsKeyText, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    const DWORD storedMode = 9, storedSize = 0;
    RegSetValueExA(key, "camMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&storedMode), sizeof(DWORD));
    RegSetValueExA(key, "camSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&storedSize), sizeof(DWORD));
    RegCloseKey(key);
    imageControl->SetImageMode(6);
    cameraSelection->SetSizeIndex(1);
    for (const CLSID* pageClass : {&CLSID_ImageTypePage, &CLSID_CameraSelectionPage}) {
        ComPtr<IPropertyPage> page;
        ASSERT_TRUE(SUCCEEDED(CoCreateInstance(*pageClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                               reinterpret_cast<void**>(page.GetAddressOf()))));
        IUnknown* object = pageClass == &CLSID_ImageTypePage ? static_cast<IUnknown*>(filter.Get())
                                                             : static_cast<IUnknown*>(pin.Get());
        ASSERT_EQ(S_OK, page->SetObjects(1, &object));
        PROPPAGEINFO info{};
        ASSERT_EQ(S_OK, page->GetPageInfo(&info));
        CoTaskMemFree(info.pszTitle);
        EXPECT_EQ(S_OK, page->SetObjects(0, nullptr));
    }
    int mode = -1, size = -1;
    imageControl->GetImageMode(&mode);
    cameraSelection->GetSizeIndex(&size);
    EXPECT_EQ(6, mode);
    EXPECT_EQ(1, size);
    EXPECT_EQ(9u, storedDword("camMode"));
    EXPECT_EQ(0u, storedDword("camSize"));
}

// Finds the first visible dialog-class window of this process whose title is `title`.
struct FrameSearch {
    const wchar_t* title;
    HWND found;
};
BOOL CALLBACK findFrame(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<FrameSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t cls[16] = {}, title[128] = {};
    GetClassNameW(window, cls, 16);
    GetWindowTextW(window, title, 128);
    if (process == GetCurrentProcessId() && std::wstring(cls) == L"#32770" &&
        std::wstring(title).find(search->title) != std::wstring::npos) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Finds the descendant of `root` that has control id `id` and a dialog parent.
HWND findControl(HWND root, int id) {
    for (HWND c = GetWindow(root, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(c) == id) {
            wchar_t cls[16] = {};
            GetClassNameW(c, cls, 16);
            if (std::wstring(cls) == L"ComboBox") return c;
        }
        if (HWND inner = findControl(c, id)) return inner;
    }
    return nullptr;
}

TEST_F(RegisteredModuleTest, BothPagesOpenInThePlatformsPropertyFrame) {
    for (bool onPin : {false, true}) {
        const int list = onPin ? IDC_RESOLUTION_LIST : IDC_IMAGE_MODE_LIST;
        std::atomic<bool> changed{false}, closed{false};
        std::atomic<int> seenDuringFrame{-1};
        RECT frameRect{}, desktop{};
        std::thread watcher([&] {
            // Polls of 10 ms, each with a generous limit (a Wine prefix can be slow to start).
            FrameSearch search{L"Duoview2 pages", nullptr};
            for (int i = 0; i < 3000 && !search.found; ++i) {
                EnumWindows(&findFrame, reinterpret_cast<LPARAM>(&search));
                if (!search.found) Sleep(10);
            }
            if (!search.found) return;
            HWND combo = nullptr;
            for (int i = 0; i < 1000 && !combo; ++i) {
                combo = findControl(search.found, list);
                if (!combo) Sleep(10);
            }
            // The page places the frame from a message it posts at Activate:
            // wait until the frame has moved there (checked again below).
            GetWindowRect(GetDesktopWindow(), &desktop);
            for (int i = 0; i < 1000; ++i) {
                GetWindowRect(search.found, &frameRect);
                if (frameRect.right == desktop.right - 10 && frameRect.bottom == desktop.bottom - 40) break;
                Sleep(10);
            }
            if (combo) {
                SendMessageW(combo, CB_SETCURSEL, 1, 0);
                SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(list, CBN_SELCHANGE),
                             reinterpret_cast<LPARAM>(combo));
                changed = true;
                int value = -1;
                if (onPin)
                    cameraSelection->GetSizeIndex(&value);
                else
                    imageControl->GetImageMode(&value);
                seenDuringFrame = value;
            }
            PostMessageW(search.found, WM_COMMAND, IDOK, 0);
            closed = true;
        });
        ComPtr<ISpecifyPropertyPages> specify;
        if (onPin)
            ASSERT_TRUE(SUCCEEDED(pin.As(&specify)));
        else
            ASSERT_TRUE(SUCCEEDED(filter.As(&specify)));
        CAUUID pages{0, nullptr};
        ASSERT_TRUE(SUCCEEDED(specify->GetPages(&pages)));
        IUnknown* object = onPin ? static_cast<IUnknown*>(pin.Get()) : static_cast<IUnknown*>(filter.Get());
        const HRESULT hr = OleCreatePropertyFrame(host, 0, 0, L"Duoview2 pages", 1, &object, pages.cElems,
                                                  pages.pElems, 0, 0, nullptr);
        CoTaskMemFree(pages.pElems);
        watcher.join();
        EXPECT_EQ(S_OK, hr);
        EXPECT_TRUE(changed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(1, seenDuringFrame);  // the change reached the filter at once
        // Placed in the lower right corner of the desktop.
        EXPECT_EQ(desktop.right - 10, frameRect.right);
        EXPECT_EQ(desktop.bottom - 40, frameRect.bottom);
        // The frame never applied, so closing restored and stored the values read at Activate.
        int value = -1;
        if (onPin)
            cameraSelection->GetSizeIndex(&value);
        else
            imageControl->GetImageMode(&value);
        EXPECT_EQ(onPin ? 0 : 3, value);
        EXPECT_EQ(onPin ? 0u : 3u, storedDword(onPin ? "camSize" : "camMode"));
    }
}

}  // namespace
