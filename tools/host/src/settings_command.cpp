// duoview2-host settings: shows the virtual camera's settings and changes
// them by driving its own property pages as a user would - pick the entry,
// apply, close - so that the pages validate the choice, the running filter
// follows it and the pages store it in the product's settings.
#include "settings_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dialog_templates.h"
#include "filter/stereo_interfaces.h"
#include "framework/framework.h"
#include "framework/runtime_settings.h"

namespace {

// The site the host gives a page: records the status the page reports.
// Lives on the stack of the driving code, which outlives the page's use of
// it (SetPageSite(null) before it goes).
class HostPageSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPropertyPageSite) {
            *ppv = static_cast<IPropertyPageSite*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        if (flags & PROPPAGESTATUS_DIRTY) dirtyReported = true;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override {
        if (!lcid) return E_POINTER;
        *lcid = 0x0409;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** container) override {
        if (container) *container = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

    bool dirtyReported = false;
};

// Runs the messages waiting for this thread (a page may post to itself).
void pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The position of the entry reading `text` in combo box `id` of `dialog`, or -1.
// The `occurrence`-th entry (0: the first) whose text is `text`, or -1.
int findComboEntry(HWND dialog, int id, const std::string& text, int occurrence = 0) {
    const LRESULT count = SendDlgItemMessageA(dialog, id, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char entry[512] = {};
        if (SendDlgItemMessageA(dialog, id, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >=
            static_cast<LRESULT>(sizeof entry))
            continue;
        SendDlgItemMessageA(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(i),
                            reinterpret_cast<LPARAM>(entry));
        if (text == entry && occurrence-- == 0) return static_cast<int>(i);
    }
    return -1;
}

// What a click into the open list does: the selection changes and the
// dialog hears CBN_SELCHANGE.
void userSelects(HWND dialog, int id, int index) {
    HWND combo = GetDlgItem(dialog, id);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    pumpMessages();
}

// One page of `object`, driven like a property frame with a user in it:
// created, sited, given the object, activated in a hidden parent window;
// then `act` works its controls; then Apply if it is dirty, Deactivate, and
// the page lets go of the object (which stores the settings).
template <class Act>
HRESULT drivePage(REFCLSID pageClass, IUnknown* object, Act act) {
    ComPtr<IPropertyPage> page;
    HRESULT hr = CoCreateInstance(pageClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                  reinterpret_cast<void**>(page.GetAddressOf()));
    if (FAILED(hr)) return hr;
    HostPageSite site;
    HWND parent = CreateWindowExW(0, L"#32770", L"Duoview2 host settings", WS_POPUP, 0, 0, 640, 480, nullptr,
                                  nullptr, nullptr, nullptr);
    if (!parent) return E_FAIL;
    page->SetPageSite(&site);
    hr = page->SetObjects(1, &object);
    PROPPAGEINFO info{};
    info.cb = sizeof(info);
    if (SUCCEEDED(hr)) hr = page->GetPageInfo(&info);
    CoTaskMemFree(info.pszTitle);
    CoTaskMemFree(info.pszDocString);
    CoTaskMemFree(info.pszHelpFile);
    if (SUCCEEDED(hr)) {
        RECT area{0, 0, info.size.cx, info.size.cy};
        hr = page->Activate(parent, &area, TRUE);
    }
    if (SUCCEEDED(hr)) {
        page->Show(SW_SHOW);
        pumpMessages();
        HWND dialog = FindWindowExW(parent, nullptr, nullptr, nullptr);
        hr = dialog ? act(dialog) : E_FAIL;
        if (SUCCEEDED(hr) && page->IsPageDirty() == S_OK) hr = page->Apply();
        page->Deactivate();
    }
    page->SetObjects(0, nullptr);
    page->SetPageSite(nullptr);
    page.Reset();
    DestroyWindow(parent);
    pumpMessages();
    return hr;
}

struct Current {
    int mode = -1, swap = -1, size = -1, left = -1, right = -1;
};

Current readCurrent(IStereoImageControl* image, ICameraSelection* selection) {
    Current c;
    image->GetImageMode(&c.mode);
    image->GetSwapFlag(&c.swap);
    selection->GetSizeIndex(&c.size);
    selection->GetCameraIndices(&c.left, &c.right);
    return c;
}

void show(const Current& c, const std::vector<VideoDevice>& devices) {
    const char* modeName = imageModeName(c.mode);
    std::printf("mode: %d (%s)\n", c.mode, modeName ? modeName : "?");
    std::printf("swap: %d\n", c.swap);
    std::printf("resolution: %d (%s)\n", c.size, c.size == 1 ? "640x480" : c.size == 0 ? "320x240" : "?");
    std::printf("cameras:\n");
    for (size_t i = 0; i < devices.size(); ++i) {
        const int index = static_cast<int>(i);
        std::printf("  %zu: %-40s%s%s\n", i, devices[i].name.c_str(), index == c.left ? " <- left" : "",
                    index == c.right ? " <- right" : "");
    }
    auto nameAt = [&](int index) {
        return index >= 0 && static_cast<size_t>(index) < devices.size()
                   ? devices[static_cast<size_t>(index)].name
                   : std::string("(none)");
    };
    std::printf("left: %s\nright: %s\n", nameAt(c.left).c_str(), nameAt(c.right).c_str());
}

#ifdef _WIN32
// The real property frames of the filter and of its output pin.
HRESULT openFrames(IBaseFilter* filter, IPin* output) {
    IUnknown* objects[2] = {filter, output};
    for (IUnknown* object : objects) {
        ComPtr<ISpecifyPropertyPages> specify;
        if (FAILED(object->QueryInterface(IID_ISpecifyPropertyPages,
                                          reinterpret_cast<void**>(specify.GetAddressOf()))))
            continue;
        CAUUID pages{};
        if (FAILED(specify->GetPages(&pages))) continue;
        const HRESULT hr = OleCreatePropertyFrame(nullptr, 0, 0, virtualCameraFriendlyName, 1, &object,
                                                  pages.cElems, pages.pElems, 0, 0, nullptr);
        CoTaskMemFree(pages.pElems);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}
#endif

}  // namespace

int settingsCommand(const HostOptions& options, const std::vector<VideoDevice>& devices) {
    VirtualCamera camera;
    std::string error;
    if (!openVirtualCamera(devices, &camera, &error)) {
        std::fprintf(stderr, "duoview2-host: %s\n", error.c_str());
        return 1;
    }
    const ComPtr<IBaseFilter>& filter = camera.filter;
    const ComPtr<IPin>& output = camera.output;
    HRESULT hr = S_OK;

    if (options.dialog) {
#ifdef _WIN32
        hr = openFrames(filter.Get(), output.Get());
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: OleCreatePropertyFrame failed (%s)\n",
                         hresultText(hr).c_str());
            return 1;
        }
#else
        std::fprintf(stderr, "duoview2-host: settings --dialog opens the property frames on Windows only\n");
        return 2;
#endif
    }

    const CameraPair wanted = resolveCameraPair(devices, options.leftName, options.rightName);
    int wantedLeft = wanted.left, wantedRight = wanted.right;
    for (int side = 0; side < 2; ++side) {
        const std::string& name = side == 0 ? options.leftName : options.rightName;
        if (!name.empty() && (side == 0 ? wantedLeft : wantedRight) < 0) {
            std::fprintf(stderr, "duoview2-host: %s '%s' names no camera (or more than one)\n",
                         side ? "--right" : "--left", name.c_str());
            return 2;
        }
    }
    const bool imageChange = options.mode >= 0 || options.swap >= 0;
    const bool cameraChange = options.sizeIndex >= 0 || wantedLeft >= 0 || wantedRight >= 0;

    if (imageChange) {
        const ComPtr<IUnknown> object(static_cast<IUnknown*>(filter.Get()));
        hr = drivePage(CLSID_ImageTypePage, object.Get(), [&](HWND dialog) {
            if (options.mode >= 0) {
                const int entry = findComboEntry(dialog, IDC_IMAGE_MODE_LIST, imageModeName(options.mode));
                if (entry < 0) return E_FAIL;
                userSelects(dialog, IDC_IMAGE_MODE_LIST, entry);
            }
            if (options.swap >= 0 &&
                (IsDlgButtonChecked(dialog, IDC_SWAP_CAMERAS) == BST_CHECKED) != (options.swap == 1)) {
                SendDlgItemMessageW(dialog, IDC_SWAP_CAMERAS, BM_CLICK, 0, 0);
                pumpMessages();
            }
            return S_OK;
        });
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: the image type page failed (%s)\n", hresultText(hr).c_str());
            return 1;
        }
    }
    if (cameraChange) {
        const ComPtr<IUnknown> object(static_cast<IUnknown*>(static_cast<IPin*>(output.Get())));
        hr = drivePage(CLSID_CameraSelectionPage, object.Get(), [&](HWND dialog) {
            auto choose = [&](int id, int index) {
                // Entries follow the device order, so the n-th entry of a
                // shared name is the n-th device of that name.
                const int entry = findComboEntry(dialog, id, devices[static_cast<size_t>(index)].name,
                                                 nameOccurrence(devices, index));
                if (entry >= 0) userSelects(dialog, id, entry);
                return entry >= 0;
            };
            // The page refuses a camera that the other side has, so each step
            // changes a side whose new camera the other side does not hold;
            // an exchange of the two goes through a third entry on the right.
            auto selected = [&](int id) {
                char entry[512] = {};
                const LRESULT at = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
                if (at < 0) return -1;
                SendDlgItemMessageA(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(at),
                                    reinterpret_cast<LPARAM>(entry));
                int occurrence = 0;
                for (LRESULT i = 0; i < at; ++i) {
                    char before[512] = {};
                    SendDlgItemMessageA(dialog, id, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                        reinterpret_cast<LPARAM>(before));
                    occurrence += std::strcmp(before, entry) == 0 ? 1 : 0;
                }
                return nthDeviceNamed(devices, entry, occurrence);
            };
            if (wantedLeft >= 0 && wantedLeft == wantedRight) {
                // Not a valid pair: let the page say so.
                if (!choose(IDC_LEFT_CAMERA_LIST, wantedLeft) || !choose(IDC_RIGHT_CAMERA_LIST, wantedRight))
                    return E_FAIL;
            }
            for (int step = 0; step < 4 && !(wantedLeft >= 0 && wantedLeft == wantedRight); ++step) {
                const int left = selected(IDC_LEFT_CAMERA_LIST), right = selected(IDC_RIGHT_CAMERA_LIST);
                const bool leftDone = wantedLeft < 0 || left == wantedLeft;
                const bool rightDone = wantedRight < 0 || right == wantedRight;
                if (leftDone && rightDone) break;
                if (!leftDone && wantedLeft != right) {
                    if (!choose(IDC_LEFT_CAMERA_LIST, wantedLeft)) return E_FAIL;
                } else if (!rightDone && wantedRight != left) {
                    if (!choose(IDC_RIGHT_CAMERA_LIST, wantedRight)) return E_FAIL;
                } else {
                    int spare = 0;
                    while (spare == left || spare == right)
                        ++spare;
                    if (static_cast<size_t>(spare) >= devices.size() || !choose(IDC_RIGHT_CAMERA_LIST, spare))
                        return E_FAIL;
                }
            }
            if (options.sizeIndex >= 0) {
                const LRESULT count = SendDlgItemMessageW(dialog, IDC_RESOLUTION_LIST, CB_GETCOUNT, 0, 0);
                if (options.sizeIndex >= count) return E_FAIL;
                userSelects(dialog, IDC_RESOLUTION_LIST, options.sizeIndex);
            }
            return S_OK;
        });
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: the camera selection page failed (%s)\n",
                         hresultText(hr).c_str());
            return 1;
        }
    }

    const Current after = readCurrent(camera.imageControl.Get(), camera.selection.Get());
    show(after, devices);
    if (!imageChange && !cameraChange) return 0;

    // What the pages stored, and whether they took every requested value.
    const StoredSettings stored = readStoredSettings();
    std::printf("stored: mode %lu, swap %lu, size %lu, left \"%s\", right \"%s\"\n",
                static_cast<unsigned long>(stored.mode), static_cast<unsigned long>(stored.swap),
                static_cast<unsigned long>(stored.size), stored.leftName.c_str(), stored.rightName.c_str());
    bool refused = false;
    auto check = [&](bool requested, int got, int wanted, const char* what) {
        if (!requested || got == wanted) return;
        std::fprintf(stderr, "duoview2-host: the page did not take %s %d (it stays %d)\n", what, wanted, got);
        refused = true;
    };
    check(options.mode >= 0, after.mode, options.mode, "mode");
    check(options.swap >= 0, after.swap, options.swap, "swap");
    check(options.sizeIndex >= 0, after.size, options.sizeIndex, "size");
    check(wantedLeft >= 0, after.left, wantedLeft, "left camera");
    check(wantedRight >= 0, after.right, wantedRight, "right camera");
    return refused ? 1 : 0;
}
