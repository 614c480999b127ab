// Shared pieces of the property page tests: a recording page site, the real
// filter with its output pin, the camera list, the message box recorder, a
// frame-shaped window to activate pages in, and registry readers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/camera_list.h"
#include "filter/stereo_camera_filter.h"
#include "filter/stereo_interfaces.h"
#include "framework/component.h"
#include "platform/com_ptr.h"
#include "platform/messagebox.h"
#include "platform/win.h"

// GoogleTest defines these on Windows only.
#ifndef EXPECT_HRESULT_SUCCEEDED
#define EXPECT_HRESULT_SUCCEEDED(expr) EXPECT_GE(static_cast<HRESULT>(expr), 0)
#define ASSERT_HRESULT_SUCCEEDED(expr) ASSERT_GE(static_cast<HRESULT>(expr), 0)
#endif

namespace pagetest {

// A page site that counts its status changes. Its own count (not the module's).
class RecordingSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPropertyPageSite) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // lives on the test's stack
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        statusChanges.push_back(flags);
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
    std::vector<DWORD> statusChanges;
};

// Message boxes shown while it exists, answered with IDOK.
class MessageBoxRecorder {
public:
    struct Box {
        std::string text, caption;
        unsigned type;
    };
    MessageBoxRecorder() {
        boxes().clear();
        previous = dvSetMessageBoxHandler(&record);
    }
    ~MessageBoxRecorder() { dvSetMessageBoxHandler(previous); }
    static std::vector<Box>& boxes() {
        static std::vector<Box> all;
        return all;
    }

private:
    static int record(const char* text, const char* caption, unsigned type) {
        boxes().push_back({text, caption, type});
        return IDOK;
    }
    MessageBoxHandler previous;
};

// The virtual camera filter of this program (its own module copy), with the
// two private interfaces the pages talk to.
struct RealFilter {
    RealFilter() {
        HRESULT hr = S_OK;
        ComponentCore* object = StereoCameraFilter::create(nullptr, &hr);
        EXPECT_HRESULT_SUCCEEDED(hr);
        unknown = object->innerUnknown();  // one reference, held here
        EXPECT_HRESULT_SUCCEEDED(unknown.As(&filter));
        EXPECT_HRESULT_SUCCEEDED(unknown.As(&imageControl));
        ComPtr<IPin> output;
        EXPECT_HRESULT_SUCCEEDED(filter->FindPin(L"Output1", output.GetAddressOf()));
        EXPECT_HRESULT_SUCCEEDED(output.As(&cameraSelection));
        pin = output;
    }
    int mode() const {
        int m = -100;
        imageControl->GetImageMode(&m);
        return m;
    }
    int swap() const {
        int s = -100;
        imageControl->GetSwapFlag(&s);
        return s;
    }
    ComPtr<IUnknown> unknown;
    ComPtr<IBaseFilter> filter;
    ComPtr<IStereoImageControl> imageControl;
    ComPtr<IPin> pin;
    ComPtr<ICameraSelection> cameraSelection;
};

// Replaces the camera list's entries (the list was built once already). The
// entry at `virtualCamera`, if any, is the virtual camera's own device (its
// class is the filter's, as the product registers it).
inline void setCameras(const std::vector<std::wstring>& names, int virtualCamera = -1) {
    cameraList.clear();
    for (size_t i = 0; i < names.size(); ++i)
        cameraList.append(names[i].c_str(), nullptr,
                          static_cast<int>(i) == virtualCamera ? CLSID_StereoCameraFilter : GUID_NULL);
}

// A frame-shaped window: an owner, a frame popup owned by it, and the page
// container inside the frame (a page's dialog is a child of the container).
struct FrameWindows {
    explicit FrameWindows(const wchar_t* ownerTitle = L"Host") {
        owner = CreateWindowExW(0, L"Static", ownerTitle, WS_POPUP | WS_VISIBLE, 50, 60, 700, 500, nullptr,
                                nullptr, nullptr, nullptr);
        frame = CreateWindowExW(0, L"#32770", L"Properties", WS_POPUP | WS_CAPTION, 100, 100, 450, 420, owner,
                                nullptr, nullptr, nullptr);
        container = CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE, 7, 7, 420, 360, frame, nullptr,
                                    nullptr, nullptr);
    }
    ~FrameWindows() {
        if (IsWindow(owner)) DestroyWindow(owner);  // takes the owned frame with it
    }
    RECT pageRect{4, 24, 404, 374};
    HWND owner, frame, container;
};

// Registry values of the settings key (HKCU\Software\VANTO Automation\stereoWebcam).
bool readStoredDword(const char* name, DWORD* value);
bool readStoredName(const char* name, std::string* value);
void clearStoredSettings();

// Drives a page as a property frame does up to an active page.
void openPage(IPropertyPage* page, IPropertyPageSite* site, IUnknown* object, const FrameWindows& windows);
// Closes it as the frame does: Deactivate, SetObjects(0), SetPageSite(null).
void closePage(IPropertyPage* page);

}  // namespace pagetest
