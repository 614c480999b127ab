// Message dispatch: sent messages (control emulation first, then the dialog
// or window procedure, then the default procedure), the per-thread posted
// queues and the pump. Locking as in window_model.h.
#include "window_model.h"

namespace dvwin {

std::wstring textFrom(LPARAM lParam, bool ansi) {
    if (!lParam) return std::wstring();
    if (ansi) return fromUtf8(reinterpret_cast<const char*>(lParam));
    return std::wstring(reinterpret_cast<const wchar_t*>(lParam));
}

LRESULT sendMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam, bool ansi) {
    WNDPROC windowProcedure = nullptr;
    DLGPROC dialogProcedure = nullptr;
    Kind kind;
    {
        std::lock_guard<std::mutex> hold(guard);
        Window* w = findOrFail(handle);
        if (!w) return 0;
        kind = w->kind;
        bool handled = false;
        const LRESULT r = controlMessageLocked(w, message, wParam, lParam, ansi, &handled);
        if (handled) return r;
        windowProcedure = w->windowProcedure;
        dialogProcedure = w->dialogProcedure;
    }
    if (message == BM_CLICK && kind == Kind::Button) {
        // A click: an automatic check box toggles, then the parent hears BN_CLICKED.
        HWND parent = nullptr;
        int id = 0;
        {
            std::lock_guard<std::mutex> hold(guard);
            Window* w = find(handle);
            if (!w || !w->enabled) return 0;
            if ((w->style & BS_TYPEMASK) == BS_AUTOCHECKBOX)
                w->check = w->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
            parent = w->parent;
            id = w->id;
        }
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(handle));
        return 0;
    }
    if (dialogProcedure) return dialogProcedure(handle, message, wParam, lParam);
    if (windowProcedure) return windowProcedure(handle, message, wParam, lParam);
    return ansi ? DefWindowProcA(handle, message, wParam, lParam)
                : DefWindowProcW(handle, message, wParam, lParam);
}

}  // namespace dvwin

using namespace dvwin;

// ---- messages ----------------------------------------------------------------

DVAPI LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return sendMessage(window, message, wParam, lParam, false);
}

DVAPI LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return sendMessage(window, message, wParam, lParam, true);
}

DVAPI LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND control = GetDlgItem(dialog, id);
    return control ? sendMessage(control, message, wParam, lParam, false) : 0;
}

DVAPI LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND control = GetDlgItem(dialog, id);
    return control ? sendMessage(control, message, wParam, lParam, true) : 0;
}

DVAPI BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = findOrFail(window);
    if (!w) return FALSE;
    queues[w->thread].push_back({MSG{window, message, wParam, lParam, 0, {0, 0}}});
    return TRUE;
}

DVAPI BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(window, message, wParam, lParam);
}

DVAPI BOOL PeekMessageW(MSG* msg, HWND window, UINT first, UINT last, UINT remove) {
    if (!msg) return FALSE;
    std::lock_guard<std::mutex> hold(guard);
    auto q = queues.find(std::this_thread::get_id());
    if (q == queues.end()) return FALSE;
    auto& queue = q->second;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (window && it->msg.hwnd != window) continue;
        if ((first || last) && (it->msg.message < first || it->msg.message > last)) continue;
        *msg = it->msg;
        if (remove & PM_REMOVE) queue.erase(it);
        return TRUE;
    }
    return FALSE;
}

DVAPI LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;
    return sendMessage(msg->hwnd, msg->message, msg->wParam, msg->lParam, false);
}

DVAPI BOOL TranslateMessage(const MSG* /*msg*/) {
    return FALSE;
}

DVAPI LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_SETTEXT:
        return SetWindowTextW(window, reinterpret_cast<LPCWSTR>(lParam));
    case WM_GETTEXT:
        return GetWindowTextW(window, reinterpret_cast<LPWSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return GetWindowTextLengthW(window);
    default:
        return 0;
    }
}

DVAPI LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETTEXT:
        return SetWindowTextA(window, reinterpret_cast<LPCSTR>(lParam));
    case WM_GETTEXT:
        return GetWindowTextA(window, reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

DVAPI UINT dvPumpMessages() {
    UINT count = 0;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
        ++count;
    }
    return count;
}
