// Dialogs created from the templates modules register (dialog units mapped
// with the dialog font's base units). Locking as in window_model.h.
#include "window_model.h"

using namespace dvwin;

DVAPI HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC procedure,
                              LPARAM param) {
    TemplateData tpl;
    {
        std::lock_guard<std::mutex> hold(guard);
        if (!IS_INTRESOURCE(name)) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        auto it = dialogTemplates.find({instance, static_cast<WORD>(reinterpret_cast<uintptr_t>(name))});
        if (it == dialogTemplates.end()) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        tpl = it->second;
    }
    auto toPixels = [](short x, short y, short cx, short cy) {
        RECT r{x, y, x + cx, y + cy};
        r.left = r.left * dialogBaseX / 4;
        r.right = r.right * dialogBaseX / 4;
        r.top = r.top * dialogBaseY / 8;
        r.bottom = r.bottom * dialogBaseY / 8;
        return r;
    };
    const DWORD exStyle = (tpl.style & DS_CONTROL) ? WS_EX_CONTROLPARENT : 0;
    HWND dialog = createWindow(exStyle, L"#32770", L"", tpl.style & ~WS_VISIBLE,
                               toPixels(0, 0, tpl.cx, tpl.cy), parent, 0, instance, nullptr);
    if (!dialog) return nullptr;
    HWND firstTabStop = nullptr;
    for (const auto& c : tpl.controls) {
        const DWORD style = c.style | WS_CHILD | WS_VISIBLE;
        HWND control = createWindow(0, c.className, c.text, style, toPixels(c.x, c.y, c.cx, c.cy), dialog,
                                    c.id, instance, nullptr);
        if (!control) {
            DestroyWindow(dialog);
            return nullptr;
        }
        if (!firstTabStop && (style & WS_TABSTOP)) firstTabStop = control;
    }
    {
        std::lock_guard<std::mutex> hold(guard);
        find(dialog)->dialogProcedure = procedure;
    }
    if (procedure) procedure(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), param);
    if ((tpl.style & WS_VISIBLE) && IsWindow(dialog)) ShowWindow(dialog, SW_SHOW);
    return IsWindow(dialog) ? dialog : nullptr;
}

DVAPI BOOL MapDialogRect(HWND dialog, LPRECT rect) {
    if (!rect || !IsWindow(dialog)) return FALSE;
    rect->left = rect->left * dialogBaseX / 4;
    rect->right = rect->right * dialogBaseX / 4;
    rect->top = rect->top * dialogBaseY / 8;
    rect->bottom = rect->bottom * dialogBaseY / 8;
    return TRUE;
}

DVAPI LONG GetDialogBaseUnits() {
    return MAKELONG(8, 16);
}

DVAPI BOOL dvRegisterDialogTemplate(HINSTANCE instance, const DvDialogTemplate* tpl) {
    if (!tpl || (tpl->controlCount && !tpl->controls)) return FALSE;
    TemplateData data;
    data.style = tpl->style;
    data.cx = tpl->cx;
    data.cy = tpl->cy;
    for (UINT i = 0; i < tpl->controlCount; ++i) {
        const DvDialogControl& c = tpl->controls[i];
        data.controls.push_back({c.id, fromUtf8(c.className ? c.className : ""),
                                 fromUtf8(c.text ? c.text : ""), c.style, c.x, c.y, c.cx, c.cy});
    }
    std::lock_guard<std::mutex> hold(guard);
    dialogTemplates[{instance, tpl->id}] = std::move(data);
    return TRUE;
}
