// Per-window state: enabled, visible, position and size, text, styles and
// the window and dialog longs. Locking as in window_model.h.
#include "window_model.h"

using namespace dvwin;

// ---- window state -----------------------------------------------------------------

DVAPI BOOL EnableWindow(HWND window, BOOL enable) {
    bool wasDisabled;
    {
        std::lock_guard<std::mutex> hold(guard);
        Window* w = find(window);
        if (!w) return FALSE;
        wasDisabled = !w->enabled;
        w->enabled = enable != FALSE;
        if (w->enabled)
            w->style &= ~static_cast<DWORD>(WS_DISABLED);
        else
            w->style |= WS_DISABLED;
    }
    if (wasDisabled == (enable != FALSE)) SendMessageW(window, WM_ENABLE, enable ? TRUE : FALSE, 0);
    return wasDisabled ? TRUE : FALSE;
}

DVAPI BOOL IsWindowEnabled(HWND window) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    return w && w->enabled ? TRUE : FALSE;
}

DVAPI BOOL ShowWindow(HWND window, int command) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w) return FALSE;
    const bool was = w->visible;
    w->visible = command != SW_HIDE;
    if (w->visible)
        w->style |= WS_VISIBLE;
    else
        w->style &= ~static_cast<DWORD>(WS_VISIBLE);
    return was ? TRUE : FALSE;
}

DVAPI BOOL IsWindowVisible(HWND window) {
    std::lock_guard<std::mutex> hold(guard);
    // Visible only when it and every ancestor are.
    for (Window* w = find(window); w; w = (w->style & WS_CHILD) ? find(w->parent) : nullptr)
        if (!w->visible) return FALSE;
    return find(window) ? TRUE : FALSE;
}

DVAPI BOOL InvalidateRect(HWND window, const RECT* /*rect*/, BOOL /*erase*/) {
    return window ? IsWindow(window) : TRUE;
}

DVAPI BOOL UpdateWindow(HWND window) {
    return IsWindow(window);
}

DVAPI BOOL GetWindowRect(HWND window, LPRECT rect) {
    if (!rect) return FALSE;
    std::lock_guard<std::mutex> hold(guard);
    desktopLocked();
    Window* w = findOrFail(window);
    if (!w) return FALSE;
    POINT origin{0, 0};
    if (w->style & WS_CHILD) {
        if (Window* parent = find(w->parent)) origin = clientOrigin(parent);
    }
    *rect = {w->rect.left + origin.x, w->rect.top + origin.y, w->rect.right + origin.x,
             w->rect.bottom + origin.y};
    return TRUE;
}

DVAPI BOOL GetClientRect(HWND window, LPRECT rect) {
    if (!rect) return FALSE;
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w) return FALSE;
    *rect = {0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

DVAPI BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL /*repaint*/) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w || w->kind == Kind::Desktop) return FALSE;
    w->rect = {x, y, x + width, y + height};
    return TRUE;
}

DVAPI BOOL SetWindowPos(HWND window, HWND /*insertAfter*/, int x, int y, int width, int height, UINT flags) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w || w->kind == Kind::Desktop) return FALSE;
    RECT r = w->rect;
    if (!(flags & SWP_NOMOVE)) {
        r.right += x - r.left;
        r.bottom += y - r.top;
        r.left = x;
        r.top = y;
    }
    if (!(flags & SWP_NOSIZE)) {
        r.right = r.left + width;
        r.bottom = r.top + height;
    }
    w->rect = r;
    if (flags & SWP_SHOWWINDOW) w->visible = true;
    if (flags & SWP_HIDEWINDOW) w->visible = false;
    return TRUE;
}

DVAPI int GetWindowTextW(HWND window, LPWSTR text, int chars) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w) {
        if (text && chars > 0) text[0] = 0;
        return 0;
    }
    return copyOut(w->text, text, chars);
}

DVAPI int GetWindowTextA(HWND window, LPSTR text, int chars) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w) {
        if (text && chars > 0) text[0] = 0;
        return 0;
    }
    return copyOut(toUtf8(w->text), text, chars);
}

DVAPI int GetWindowTextLengthW(HWND window) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    return w ? static_cast<int>(w->text.size()) : 0;
}

DVAPI BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w) return FALSE;
    w->text = text ? text : L"";
    return TRUE;
}

DVAPI BOOL SetWindowTextA(HWND window, LPCSTR text) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (!w) return FALSE;
    w->text = text ? fromUtf8(text) : std::wstring();
    return TRUE;
}

DVAPI LONG_PTR GetWindowLongPtrW(HWND window, int index) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = findOrFail(window);
    if (!w) return 0;
    switch (index) {
    case GWL_STYLE:
        return static_cast<LONG>(w->style);
    case GWL_EXSTYLE:
        return static_cast<LONG>(w->exStyle);
    case GWLP_ID:
        return w->id;
    case GWLP_USERDATA:
        return w->userData;
    case GWLP_HINSTANCE:
        return reinterpret_cast<LONG_PTR>(w->instance);
    default:
        break;
    }
    if (w->kind == Kind::Dialog) {
        if (index == DWLP_USER) return w->dialogUser;
        if (index == DWLP_MSGRESULT) return w->messageResult;
        if (index == DWLP_DLGPROC) return reinterpret_cast<LONG_PTR>(w->dialogProcedure);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

DVAPI LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    if (index == GWL_STYLE || index == GWL_EXSTYLE) {
        // The window may edit the new style while it changes (WM_STYLECHANGING).
        STYLESTRUCT change{};
        {
            std::lock_guard<std::mutex> hold(guard);
            Window* w = findOrFail(window);
            if (!w) return 0;
            change.styleOld = index == GWL_STYLE ? w->style : w->exStyle;
        }
        change.styleNew = static_cast<DWORD>(value);
        SendMessageW(window, WM_STYLECHANGING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
        {
            std::lock_guard<std::mutex> hold(guard);
            Window* w = find(window);
            if (!w) return 0;
            if (index == GWL_STYLE)
                w->style = change.styleNew;
            else
                w->exStyle = change.styleNew;
        }
        SendMessageW(window, WM_STYLECHANGED, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
        return static_cast<LONG>(change.styleOld);
    }
    std::lock_guard<std::mutex> hold(guard);
    Window* w = findOrFail(window);
    if (!w) return 0;
    LONG_PTR old = 0;
    switch (index) {
    case GWLP_ID:
        old = w->id;
        w->id = static_cast<int>(value);
        return old;
    case GWLP_USERDATA:
        old = w->userData;
        w->userData = value;
        return old;
    default:
        break;
    }
    if (w->kind == Kind::Dialog) {
        if (index == DWLP_USER) {
            old = w->dialogUser;
            w->dialogUser = value;
            return old;
        }
        if (index == DWLP_MSGRESULT) {
            old = w->messageResult;
            w->messageResult = value;
            return old;
        }
        if (index == DWLP_DLGPROC) {
            old = reinterpret_cast<LONG_PTR>(w->dialogProcedure);
            w->dialogProcedure = reinterpret_cast<DLGPROC>(value);
            return old;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

DVAPI LONG GetWindowLongW(HWND window, int index) {
    return static_cast<LONG>(GetWindowLongPtrW(window, index));
}

DVAPI LONG SetWindowLongW(HWND window, int index, LONG value) {
    const LONG_PTR v = (index == GWL_STYLE || index == GWL_EXSTYLE)
                           ? static_cast<LONG_PTR>(static_cast<DWORD>(value))
                           : static_cast<LONG_PTR>(value);
    return static_cast<LONG>(SetWindowLongPtrW(window, index, v));
}
