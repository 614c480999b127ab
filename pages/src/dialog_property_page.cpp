#include "pages/dialog_property_page.h"

#include <cwchar>

namespace {

// Used when a page's template cannot be created (GetPageInfo's fallback).
constexpr LONG defaultPageWidth = 340;
constexpr LONG defaultPageHeight = 150;
constexpr int titleChars = 256;

DialogPropertyPage* pageOf(HWND window) {
    return reinterpret_cast<DialogPropertyPage*>(GetWindowLongPtrW(window, DWLP_USER));
}

}  // namespace

DialogPropertyPage::DialogPropertyPage(IUnknown* outer, int dialogId, int titleId)
    : ComponentCore(outer), titleId(titleId), dialogId(dialogId) {}

DialogPropertyPage::~DialogPropertyPage() = default;

// ---- IUnknown (non-delegating) -------------------------------------------------

HRESULT DialogPropertyPage::nonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IPropertyPage) return getInterface(static_cast<IPropertyPage*>(this), ppv);
    return ComponentCore::nonDelegatingQueryInterface(riid, ppv);
}

ULONG DialogPropertyPage::nonDelegatingAddRef() {
    const LONG count = referenceCount.fetch_add(1) + 1;
    return static_cast<ULONG>(count < 1 ? 1 : count);
}

ULONG DialogPropertyPage::nonDelegatingRelease() {
    const LONG count = referenceCount.fetch_sub(1) - 1;
    if (count != 0) return static_cast<ULONG>(count < 1 ? 1 : count);
    // References taken and dropped during tear-down must not come back here.
    referenceCount.store(1);
    SetPageSite(nullptr);
    SetObjects(0, nullptr);
    delete this;
    return 0;
}

// ---- IPropertyPage ----------------------------------------------------------------

STDMETHODIMP DialogPropertyPage::SetPageSite(IPropertyPageSite* site) {
    if (site) {
        if (pageSite) return E_UNEXPECTED;
        pageSite = site;
    } else {
        if (!pageSite) return E_UNEXPECTED;
        pageSite.Reset();
    }
    return S_OK;
}

STDMETHODIMP DialogPropertyPage::Activate(HWND parent, LPCRECT rect, BOOL /*modal*/) {
    if (!rect) return E_POINTER;
    if (!objectsSet) return E_UNEXPECTED;
    if (pageWindow) return E_UNEXPECTED;
    HWND window = CreateDialogParamW(pageResourceModule(), MAKEINTRESOURCEW(dialogId), parent,
                                     &dialogProcedure, reinterpret_cast<LPARAM>(this));
    if (!window) return E_OUTOFMEMORY;
    pageWindow = window;
    initControls();
    Move(rect);
    return Show(SW_SHOWNORMAL);
}

STDMETHODIMP DialogPropertyPage::Deactivate() {
    if (!pageWindow) return E_UNEXPECTED;
    // The default handler lets the style change through only while pageWindow is null.
    HWND window = pageWindow;
    pageWindow = nullptr;
    const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    SetWindowLongW(window, GWL_EXSTYLE, exStyle & ~static_cast<LONG>(WS_EX_CONTROLPARENT));
    pageWindow = window;
    releaseControls();
    DestroyWindow(window);
    pageWindow = nullptr;
    dialogWindow = nullptr;
    return S_OK;
}

STDMETHODIMP DialogPropertyPage::GetPageInfo(PROPPAGEINFO* info) {
    if (!info) return E_POINTER;
    const std::wstring title = loadTitleString(titleId);
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((title.size() + 1) * sizeof(OLECHAR)));
    if (!copy) return E_OUTOFMEMORY;
    std::wmemcpy(copy, title.c_str(), title.size() + 1);
    info->cb = sizeof(PROPPAGEINFO);
    info->pszTitle = copy;
    info->size.cx = defaultPageWidth;
    info->size.cy = defaultPageHeight;
    info->pszDocString = nullptr;
    info->pszHelpFile = nullptr;
    info->dwHelpContext = 0;
    getDialogSize(dialogId, &dialogProcedure, 0, &info->size);
    return S_OK;
}

STDMETHODIMP DialogPropertyPage::SetObjects(ULONG count, IUnknown** objects) {
    if (count == 1) {
        if (!objects || !objects[0]) return E_POINTER;
        objectsSet = TRUE;
        return attachObject(objects[0]);
    }
    if (count == 0) {
        objectsSet = FALSE;
        return detachObject();
    }
    return E_UNEXPECTED;
}

STDMETHODIMP DialogPropertyPage::Show(UINT command) {
    if (!pageWindow) return E_UNEXPECTED;
    if (command != SW_HIDE && command != SW_SHOWNORMAL && command != SW_SHOW) return E_INVALIDARG;
    ShowWindow(pageWindow, static_cast<int>(command));
    InvalidateRect(pageWindow, nullptr, TRUE);
    return S_OK;
}

STDMETHODIMP DialogPropertyPage::Move(LPCRECT rect) {
    if (!rect) return E_POINTER;
    if (!pageWindow) return E_UNEXPECTED;
    MoveWindow(pageWindow, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
    return S_OK;
}

STDMETHODIMP DialogPropertyPage::IsPageDirty() {
    return dirty ? S_OK : S_FALSE;
}

STDMETHODIMP DialogPropertyPage::Apply() {
    if (!objectsSet) return E_UNEXPECTED;
    if (!pageSite) return E_UNEXPECTED;
    if (!dirty) return S_OK;
    const HRESULT hr = commitChanges();
    if (SUCCEEDED(hr)) dirty = FALSE;
    return hr;
}

STDMETHODIMP DialogPropertyPage::Help(LPCOLESTR /*directory*/) {
    return E_NOTIMPL;
}

STDMETHODIMP DialogPropertyPage::TranslateAccelerator(MSG* /*message*/) {
    return E_NOTIMPL;
}

// ---- dialog ------------------------------------------------------------------------

INT_PTR CALLBACK DialogPropertyPage::dialogProcedure(HWND window, UINT message, WPARAM wParam,
                                                     LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        auto* page = reinterpret_cast<DialogPropertyPage*>(lParam);
        if (!page) return TRUE;
        page->dialogWindow = window;
    }
    DialogPropertyPage* page = pageOf(window);
    if (!page) return TRUE;
    return page->handleMessage(window, message, wParam, lParam);
}

INT_PTR DialogPropertyPage::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DialogPropertyPage* page = pageOf(window);
    if (!page || !page->pageWindow) return 0;
    if (message == WM_STYLECHANGING && wParam == static_cast<WPARAM>(GWL_EXSTYLE)) {
        reinterpret_cast<STYLESTRUCT*>(lParam)->styleNew |= WS_EX_CONTROLPARENT;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void DialogPropertyPage::markDirty() {
    dirty = TRUE;
    if (pageSite) pageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

// ---- helpers -----------------------------------------------------------------------

bool getDialogSize(int dialogId, DLGPROC procedure, LPARAM param, SIZE* size) {
    HWND window = CreateDialogParamW(pageResourceModule(), MAKEINTRESOURCEW(dialogId), GetDesktopWindow(),
                                     procedure, param);
    if (!window) return false;
    RECT rect{};
    GetWindowRect(window, &rect);
    DestroyWindow(window);
    if (size) {
        size->cx = rect.right - rect.left;
        size->cy = rect.bottom - rect.top;
    }
    return true;
}

std::wstring loadTitleString(int id) {
    WCHAR buffer[titleChars] = {};
    const int length = LoadStringW(pageResourceModule(), static_cast<UINT>(id), buffer, titleChars);
    return std::wstring(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}
