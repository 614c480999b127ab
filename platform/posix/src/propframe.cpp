// The modal property frame of the headless window model (OleCreatePropertyFrame)
// and the script hook that plays its user.
//
// Threads: a frame lives on the thread that called OleCreatePropertyFrame and
// is driven only there (its window procedure, its pages, the script).
// `framesGuard` protects the frame table and the installed script; it is
// never held while a page or the script runs.
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/win.h"

namespace {

struct Frame;

// The site each page receives. Holds a plain pointer to its frame, cleared
// when the frame ends (a page that keeps its site longer sees a dead site).
class FrameSite final : public IPropertyPageSite {
public:
    FrameSite(Frame* frame, LCID locale) : frame(frame), locale(locale) {}

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
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = --refs;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP OnStatusChange(DWORD flags) override;
    STDMETHODIMP GetLocaleID(LCID* out) override {
        if (!out) return E_POINTER;
        *out = locale;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG* /*msg*/) override { return S_FALSE; }

    Frame* frame;  // not counted: the frame owns the site's first reference

private:
    ~FrameSite() = default;
    std::atomic<LONG> refs{1};
    LCID locale;
};

struct PageSlot {
    ComPtr<IPropertyPage> page;
    ComPtr<FrameSite> site;
};

struct Frame {
    HWND window = nullptr;
    HWND tab = nullptr;
    HWND applyButton = nullptr;
    RECT pageRect{};
    std::vector<PageSlot> pages;
    int active = -1;
    bool closed = false;
};

std::mutex framesGuard;
std::map<HWND, Frame*> frames;
DvPropertyFrameScript installedScript = nullptr;
void* installedContext = nullptr;

Frame* frameOf(HWND window) {
    std::lock_guard<std::mutex> hold(framesGuard);
    auto it = frames.find(window);
    return it == frames.end() ? nullptr : it->second;
}

STDMETHODIMP FrameSite::OnStatusChange(DWORD flags) {
    if (frame && (flags & PROPPAGESTATUS_DIRTY)) EnableWindow(frame->applyButton, TRUE);
    return S_OK;
}

HWND activePageWindow(Frame* f) {
    return f->active >= 0 ? FindWindowExW(f->tab, nullptr, nullptr, nullptr) : nullptr;
}

bool activate(Frame* f, int index) {
    if (index < 0 || static_cast<size_t>(index) >= f->pages.size()) return false;
    if (FAILED(f->pages[static_cast<size_t>(index)].page->Activate(f->tab, &f->pageRect, TRUE))) return false;
    f->active = index;
    f->pages[static_cast<size_t>(index)].page->Show(SW_SHOW);
    return true;
}

void deactivate(Frame* f) {
    if (f->active < 0) return;
    f->pages[static_cast<size_t>(f->active)].page->Deactivate();
    f->active = -1;
}

// Applies every dirty page; true when all succeeded.
bool applyAll(Frame* f) {
    bool ok = true;
    for (auto& slot : f->pages) {
        if (slot.page->IsPageDirty() != S_OK) continue;
        if (FAILED(slot.page->Apply())) ok = false;
    }
    if (ok) EnableWindow(f->applyButton, FALSE);
    return ok;
}

void close(Frame* f) {
    if (f->closed) return;
    f->closed = true;
    deactivate(f);
}

INT_PTR CALLBACK frameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    Frame* f = frameOf(window);
    if (!f) return FALSE;
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (applyAll(f)) close(f);
            return TRUE;
        case DV_PROPFRAME_APPLY:
            applyAll(f);
            return TRUE;
        case IDCANCEL:
            close(f);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_CLOSE:
        close(f);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

DVAPI DvPropertyFrameScript dvSetPropertyFrameScript(DvPropertyFrameScript script, void* context) {
    std::lock_guard<std::mutex> hold(framesGuard);
    DvPropertyFrameScript previous = installedScript;
    installedScript = script;
    installedContext = context;
    return previous;
}

DVAPI UINT dvPropertyFramePageCount(HWND frame) {
    Frame* f = frameOf(frame);
    return f ? static_cast<UINT>(f->pages.size()) : 0;
}

DVAPI HWND dvPropertyFrameActivePage(HWND frame) {
    Frame* f = frameOf(frame);
    return f ? activePageWindow(f) : nullptr;
}

DVAPI HWND dvPropertyFrameSelectPage(HWND frame, UINT index) {
    Frame* f = frameOf(frame);
    if (!f || f->closed || index >= f->pages.size()) return nullptr;
    if (f->active == static_cast<int>(index)) return activePageWindow(f);
    deactivate(f);
    if (!activate(f, static_cast<int>(index))) return nullptr;
    dvPumpMessages();
    return activePageWindow(f);
}

DVAPI HRESULT OleCreatePropertyFrame(HWND owner, UINT x, UINT y, LPCOLESTR caption, ULONG objectCount,
                                     IUnknown** objects, ULONG pageCount, const CLSID* pageIds, LCID locale,
                                     DWORD /*reserved*/, LPVOID /*reserved2*/) {
    if ((objectCount && !objects) || (pageCount && !pageIds)) return E_POINTER;

    Frame frame;
    SIZE largest{0, 0};
    for (ULONG i = 0; i < pageCount; ++i) {
        ComPtr<IPropertyPage> page;
        if (FAILED(CoCreateInstance(pageIds[i], nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                    reinterpret_cast<void**>(page.GetAddressOf()))))
            continue;
        ComPtr<FrameSite> site;
        site.Attach(new FrameSite(&frame, locale));
        if (FAILED(page->SetPageSite(site.Get()))) continue;
        if (FAILED(page->SetObjects(objectCount, objects))) {
            page->SetPageSite(nullptr);
            continue;
        }
        PROPPAGEINFO info{};
        info.cb = sizeof info;
        if (SUCCEEDED(page->GetPageInfo(&info))) {
            largest.cx = std::max(largest.cx, info.size.cx);
            largest.cy = std::max(largest.cy, info.size.cy);
            CoTaskMemFree(info.pszTitle);
            CoTaskMemFree(info.pszDocString);
            CoTaskMemFree(info.pszHelpFile);
        }
        frame.pages.push_back({page, site});
    }

    // Layout: the tab control holds the page rectangle; the buttons sit below it.
    constexpr int margin = 7, tabTop = 24, buttonWidth = 75, buttonHeight = 23;
    const int tabWidth = static_cast<int>(largest.cx) + 8;
    const int tabHeight = static_cast<int>(largest.cy) + tabTop + 4;
    const int width = std::max(tabWidth + 2 * margin, 3 * (buttonWidth + margin) + margin);
    const int height = tabHeight + 3 * margin + buttonHeight;
    RECT ownerRect{0, 0, 0, 0};
    if (owner) GetWindowRect(owner, &ownerRect);
    frame.window = CreateWindowExW(
        WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, L"#32770", caption ? caption : L"",
        WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, ownerRect.left + static_cast<int>(x),
        ownerRect.top + static_cast<int>(y), width, height, owner, nullptr, nullptr, nullptr);
    if (!frame.window) {
        for (auto& slot : frame.pages) {
            slot.page->SetObjects(0, nullptr);
            slot.page->SetPageSite(nullptr);
            slot.site->frame = nullptr;
        }
        return E_OUTOFMEMORY;
    }
    frame.tab = CreateWindowExW(WS_EX_CONTROLPARENT, L"Static", L"", WS_CHILD | WS_VISIBLE, margin, margin,
                                tabWidth, tabHeight, frame.window,
                                reinterpret_cast<HMENU>(static_cast<intptr_t>(0x3020)), nullptr, nullptr);
    const int buttonsTop = margin + tabHeight + margin;
    const int okLeft = width - 3 * (buttonWidth + margin);
    CreateWindowExW(0, L"Button", L"OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, okLeft,
                    buttonsTop, buttonWidth, buttonHeight, frame.window,
                    reinterpret_cast<HMENU>(static_cast<intptr_t>(IDOK)), nullptr, nullptr);
    CreateWindowExW(0, L"Button", L"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                    okLeft + buttonWidth + margin, buttonsTop, buttonWidth, buttonHeight, frame.window,
                    reinterpret_cast<HMENU>(static_cast<intptr_t>(IDCANCEL)), nullptr, nullptr);
    frame.applyButton = CreateWindowExW(
        0, L"Button", L"&Apply", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_DISABLED,
        okLeft + 2 * (buttonWidth + margin), buttonsTop, buttonWidth, buttonHeight, frame.window,
        reinterpret_cast<HMENU>(static_cast<intptr_t>(DV_PROPFRAME_APPLY)), nullptr, nullptr);
    frame.pageRect = {4, tabTop, 4 + static_cast<LONG>(largest.cx), tabTop + static_cast<LONG>(largest.cy)};
    SetWindowLongPtrW(frame.window, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&frameProcedure));
    {
        std::lock_guard<std::mutex> hold(framesGuard);
        frames[frame.window] = &frame;
    }

    activate(&frame, 0);
    ShowWindow(frame.window, SW_SHOW);
    dvPumpMessages();  // the pages' posted messages run once the frame is laid out

    DvPropertyFrameScript script;
    void* context;
    {
        std::lock_guard<std::mutex> hold(framesGuard);
        script = installedScript;
        context = installedContext;
    }
    if (script && !frame.closed) script(frame.window, activePageWindow(&frame), context);
    // The modal loop: run what is queued; once nothing is left the user closes the frame.
    while (!frame.closed) {
        if (!IsWindow(frame.window))
            close(&frame);  // destroyed behind the frame's back
        else if (!dvPumpMessages())
            SendMessageW(frame.window, WM_CLOSE, 0, 0);
    }

    {
        std::lock_guard<std::mutex> hold(framesGuard);
        frames.erase(frame.window);
    }
    DestroyWindow(frame.window);
    for (auto& slot : frame.pages) {
        slot.page->SetObjects(0, nullptr);
        slot.page->SetPageSite(nullptr);
        slot.site->frame = nullptr;
        slot.page.Reset();
    }
    return S_OK;
}
