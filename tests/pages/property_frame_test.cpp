// The pages as a host shows them: the registered Duoview2 module, its filter
// and output pin from class activation, and the stand-in's modal property
// frame driven by a script that plays the user.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>

#include "../../pages/dialog_templates.h"
#include "page_test_support.h"

namespace {

using namespace pagetest;

// The product module, loaded and registered once for this program.
class ProductModule : public ::testing::Environment {
public:
    void SetUp() override {
        handle = dlopen(DV_PRODUCT_MODULE, RTLD_NOW);
        ASSERT_NE(nullptr, handle) << dlerror();
        auto registerServer = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllRegisterServer"));
        ASSERT_NE(nullptr, registerServer);
        ASSERT_HRESULT_SUCCEEDED(registerServer());
        canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow"));
    }
    // Unloads the module as a host does once it holds no object of it (class
    // activation's own load first, then ours).
    void TearDown() override {
        CoFreeUnusedLibraries();
        if (handle) dlclose(handle);
        handle = nullptr;
    }
    static inline void* handle = nullptr;
    static inline HRESULT (*canUnload)() = nullptr;
};
const auto* const productModule = ::testing::AddGlobalTestEnvironment(new ProductModule);

// The script the frame runs: a std::function called with frame and page.
std::function<void(HWND, HWND)> currentScript;
int framesSeen = 0;
void CALLBACK runScript(HWND frame, HWND page, void*) {
    ++framesSeen;
    if (currentScript) currentScript(frame, page);
}

class PropertyFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(CoInitialize(nullptr));
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_StereoCameraFilter, nullptr, CLSCTX_INPROC_SERVER,
                                                  IID_IBaseFilter,
                                                  reinterpret_cast<void**>(filter.GetAddressOf())));
        ASSERT_HRESULT_SUCCEEDED(filter.As(&imageControl));
        ASSERT_HRESULT_SUCCEEDED(filter->FindPin(L"Output1", pin.GetAddressOf()));
        ASSERT_HRESULT_SUCCEEDED(pin.As(&cameraSelection));
        imageControl->SetImageMode(3);
        imageControl->SetSwapFlag(0);
        cameraSelection->SetSizeIndex(0);
        clearStoredSettings();
        framesSeen = 0;
        previous = dvSetPropertyFrameScript(&runScript, nullptr);
        owner = CreateWindowExW(0, L"Static", L"Host", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr, nullptr,
                                nullptr);
    }
    void TearDown() override {
        dvSetPropertyFrameScript(previous, nullptr);
        currentScript = nullptr;
        DestroyWindow(owner);
        cameraSelection.Reset();
        pin.Reset();
        imageControl.Reset();
        filter.Reset();
        EXPECT_EQ(S_OK, ProductModule::canUnload());  // no object of the module is left
        CoUninitialize();
    }
    // Shows the pages `object` names, in a frame owned by `owner`.
    HRESULT showPages(IUnknown* object) {
        ComPtr<ISpecifyPropertyPages> specify;
        ComPtr<IUnknown>(object).As(&specify);
        EXPECT_TRUE(specify);
        if (!specify) return E_NOINTERFACE;
        CAUUID pages{0, nullptr};
        EXPECT_HRESULT_SUCCEEDED(specify->GetPages(&pages));
        const HRESULT hr = OleCreatePropertyFrame(owner, 0, 0, L"Vanto 3D Virtual Camera2", 1, &object,
                                                  pages.cElems, pages.pElems, 0, 0, nullptr);
        CoTaskMemFree(pages.pElems);
        return hr;
    }
    int mode() {
        int m = -1;
        imageControl->GetImageMode(&m);
        return m;
    }
    static DWORD stored(const char* name) {
        DWORD value = 0xDEAD;
        readStoredDword(name, &value);
        return value;
    }
    static void press(HWND frame, int button) {
        SendMessageW(frame, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    }

    ComPtr<IBaseFilter> filter;
    ComPtr<IStereoImageControl> imageControl;
    ComPtr<IPin> pin;
    ComPtr<ICameraSelection> cameraSelection;
    HWND owner = nullptr;
    DvPropertyFrameScript previous = nullptr;
};

TEST_F(PropertyFrameTest, ImageTypePageInTheFrameCommitsOnOk) {
    currentScript = [&](HWND frame, HWND page) {
        ASSERT_NE(nullptr, page);
        EXPECT_EQ(1u, dvPropertyFramePageCount(frame));
        wchar_t title[64] = {};
        GetWindowTextW(frame, title, 64);
        EXPECT_STREQ(L"Vanto 3D Virtual Camera2", title);
        // The page has placed the frame before the user sees it.
        RECT rect{};
        GetWindowRect(frame, &rect);
        EXPECT_EQ(1920 - 10, rect.right);
        EXPECT_EQ(1080 - 40, rect.bottom);
        HWND apply = GetDlgItem(frame, DV_PROPFRAME_APPLY);
        EXPECT_FALSE(IsWindowEnabled(apply));
        EXPECT_EQ(3, SendDlgItemMessageA(page, IDC_IMAGE_MODE_LIST, CB_GETCURSEL, 0, 0));
        ASSERT_TRUE(dvUserSelectComboItem(GetDlgItem(page, IDC_IMAGE_MODE_LIST), 11));
        EXPECT_EQ(11, mode());
        EXPECT_TRUE(IsWindowEnabled(apply));  // the page told its site
        press(frame, IDOK);
    };
    ASSERT_EQ(S_OK, showPages(filter.Get()));
    EXPECT_EQ(1, framesSeen);
    EXPECT_EQ(11, mode());
    EXPECT_EQ(11u, stored("camMode"));
}

TEST_F(PropertyFrameTest, CancelAndClosingUndoWhatWasNotApplied) {
    currentScript = [&](HWND frame, HWND page) {
        dvUserSelectComboItem(GetDlgItem(page, IDC_IMAGE_MODE_LIST), 2);
        press(frame, DV_PROPFRAME_APPLY);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(frame, DV_PROPFRAME_APPLY)));
        dvUserSelectComboItem(GetDlgItem(page, IDC_IMAGE_MODE_LIST), 9);
        SendMessageW(GetDlgItem(page, IDC_SWAP_CAMERAS), BM_CLICK, 0, 0);
        press(frame, IDCANCEL);
    };
    ASSERT_EQ(S_OK, showPages(filter.Get()));
    EXPECT_EQ(1, framesSeen);
    EXPECT_EQ(2, mode());
    EXPECT_EQ(2u, stored("camMode"));
    EXPECT_EQ(0u, stored("camPosition"));

    // A frame the user just closes writes the values it read.
    currentScript = [&](HWND, HWND page) { dvUserSelectComboItem(GetDlgItem(page, IDC_IMAGE_MODE_LIST), 4); };
    clearStoredSettings();
    ASSERT_EQ(S_OK, showPages(filter.Get()));
    EXPECT_EQ(2, framesSeen);
    EXPECT_EQ(2, mode());
    EXPECT_EQ(2u, stored("camMode"));
}

TEST_F(PropertyFrameTest, CameraSelectionPageOfTheOutputPinChangesTheResolution) {
    currentScript = [&](HWND frame, HWND page) {
        ASSERT_NE(nullptr, page);
        EXPECT_NE(nullptr, GetDlgItem(page, IDC_RESOLUTION_LIST));
        ASSERT_TRUE(dvUserSelectComboItem(GetDlgItem(page, IDC_RESOLUTION_LIST), 1));
        int size = -1;
        cameraSelection->GetSizeIndex(&size);
        EXPECT_EQ(1, size);
        press(frame, IDOK);
    };
    ASSERT_EQ(S_OK, showPages(pin.Get()));
    EXPECT_EQ(1, framesSeen);
    int size = -1;
    cameraSelection->GetSizeIndex(&size);
    EXPECT_EQ(1, size);
    EXPECT_EQ(1u, stored("camSize"));
}

TEST_F(PropertyFrameTest, PagesThatRefuseTheObjectAreLeftOutAndGraphEditHostsAreMovedAside) {
    SetWindowTextW(owner, L"filters.grf - GraphEdit");
    const CLSID both[2] = {CLSID_ImageTypePage, CLSID_CameraSelectionPage};
    currentScript = [&](HWND frame, HWND page) {
        EXPECT_EQ(1u, dvPropertyFramePageCount(frame));  // the filter is no output pin
        EXPECT_NE(nullptr, GetDlgItem(page, IDC_IMAGE_MODE_LIST));
        RECT frameRect{}, ownerRect{};
        GetWindowRect(frame, &frameRect);
        GetWindowRect(owner, &ownerRect);
        EXPECT_EQ(10, ownerRect.left);
        EXPECT_EQ(frameRect.top, ownerRect.top);
        EXPECT_EQ(frameRect.left - 10, ownerRect.right);
    };
    IUnknown* object = filter.Get();
    ASSERT_EQ(S_OK, OleCreatePropertyFrame(owner, 0, 0, L"Both", 1, &object, 2, both, 0, 0, nullptr));
    EXPECT_EQ(1, framesSeen);               // the checks above ran
    EXPECT_EQ(3u, stored("camMode"));       // closed without change: rewritten
    EXPECT_EQ(0xDEADu, stored("camSize"));  // the camera page never held the pin
}

TEST_F(PropertyFrameTest, TabSwitchDeactivatesOnePageAndActivatesTheOther) {
    // Both pages on the output pin: only the camera page accepts it. Use the
    // filter's page twice instead, so that two pages exist.
    const CLSID twice[2] = {CLSID_ImageTypePage, CLSID_ImageTypePage};
    currentScript = [&](HWND frame, HWND first) {
        ASSERT_EQ(2u, dvPropertyFramePageCount(frame));
        dvUserSelectComboItem(GetDlgItem(first, IDC_IMAGE_MODE_LIST), 6);
        HWND second = dvPropertyFrameSelectPage(frame, 1);
        ASSERT_NE(nullptr, second);
        EXPECT_FALSE(IsWindow(first));
        EXPECT_EQ(second, dvPropertyFrameActivePage(frame));
        EXPECT_EQ(6, SendDlgItemMessageA(second, IDC_IMAGE_MODE_LIST, CB_GETCURSEL, 0, 0));
        press(frame, IDOK);
    };
    IUnknown* object = filter.Get();
    ASSERT_EQ(S_OK, OleCreatePropertyFrame(owner, 0, 0, L"Twice", 1, &object, 2, twice, 0, 0, nullptr));
    EXPECT_EQ(1, framesSeen);
    EXPECT_EQ(6, mode());
    EXPECT_EQ(6u, stored("camMode"));
}

TEST_F(PropertyFrameTest, FrameArgumentsAreChecked) {
    EXPECT_EQ(E_POINTER, OleCreatePropertyFrame(owner, 0, 0, L"x", 1, nullptr, 0, nullptr, 0, 0, nullptr));
    IUnknown* object = filter.Get();
    EXPECT_EQ(E_POINTER, OleCreatePropertyFrame(owner, 0, 0, L"x", 1, &object, 1, nullptr, 0, 0, nullptr));
    // No page at all: the frame still opens (empty) and closes.
    EXPECT_EQ(S_OK, OleCreatePropertyFrame(owner, 0, 0, L"x", 1, &object, 0, nullptr, 0, 0, nullptr));
    EXPECT_EQ(1, framesSeen);
}

}  // namespace
