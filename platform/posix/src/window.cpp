// The headless window model: window table, classes, dialogs from registered
// templates, the predefined controls, message queues and string resources.
//
// Lock: `guard` protects the window table, the class table, the resource
// table and the queues. It is never held while a window or dialog procedure
// runs; every procedure call copies what it needs and releases the lock first.
#include "platform/win.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime.h"

namespace {

using dvrt::fromUtf8;
using dvrt::toUtf8;

enum class Kind { Desktop, Generic, Dialog, Button, ComboBox, Static };

struct ComboItem {
    std::wstring text;
    LRESULT data = 0;
};

struct Window {
    HWND handle = nullptr;
    HWND parent = nullptr;  // parent of a child window, owner of a top-level one
    Kind kind = Kind::Generic;
    std::wstring className;
    std::wstring text;
    int id = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT rect{};  // relative to the parent's client area (screen for top-level)
    bool enabled = true;
    bool visible = false;
    HINSTANCE instance = nullptr;
    WNDPROC windowProcedure = nullptr;  // registered classes
    DLGPROC dialogProcedure = nullptr;  // dialogs
    LONG_PTR userData = 0;               // GWLP_USERDATA
    LONG_PTR dialogUser = 0;             // DWLP_USER
    LONG_PTR messageResult = 0;          // DWLP_MSGRESULT
    std::thread::id thread;
    std::vector<HWND> children;  // in creation order
    // Combo box state.
    std::vector<ComboItem> items;
    int selection = CB_ERR;
    // Button state.
    UINT check = BST_UNCHECKED;
};

struct TemplateData {
    DWORD style = 0;
    short cx = 0, cy = 0;
    struct Control {
        int id;
        std::wstring className;
        std::wstring text;
        DWORD style;
        short x, y, cx, cy;
    };
    std::vector<Control> controls;
};

struct Posted {
    MSG msg;
};

constexpr LONG kDesktopWidth = 1920;
constexpr LONG kDesktopHeight = 1080;
constexpr int kDialogBaseX = 6;  // dialog font ("MS Sans Serif", 8 points) base units
constexpr int kDialogBaseY = 13;

std::mutex guard;
std::map<HWND, std::unique_ptr<Window>> windows;
std::map<std::wstring, WNDCLASSW> classes;  // key: upper-cased name
std::map<std::pair<HINSTANCE, WORD>, TemplateData> dialogTemplates;
std::map<std::pair<HINSTANCE, UINT>, std::wstring> stringResources;
std::map<std::thread::id, std::deque<Posted>> queues;
uintptr_t nextHandle = 0x10010;
HWND desktopHandle = nullptr;

Window* find(HWND handle) {
    auto it = windows.find(handle);
    return it == windows.end() ? nullptr : it->second.get();
}

// find, with ERROR_INVALID_WINDOW_HANDLE as the last error when there is no
// such window; guard must be held.
Window* findOrFail(HWND handle) {
    Window* w = find(handle);
    if (!w)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

// The desktop exists from the first call on; guard must be held.
HWND desktopLocked() {
    if (!desktopHandle) {
        auto w = std::make_unique<Window>();
        w->handle = reinterpret_cast<HWND>(nextHandle);
        nextHandle += 4;
        w->kind = Kind::Desktop;
        w->className = L"#32769";
        w->rect = {0, 0, kDesktopWidth, kDesktopHeight};
        w->visible = true;
        desktopHandle = w->handle;
        windows.emplace(w->handle, std::move(w));
    }
    return desktopHandle;
}

Kind predefinedKind(const std::wstring& upperName, bool* known) {
    *known = true;
    if (upperName == L"BUTTON") return Kind::Button;
    if (upperName == L"COMBOBOX") return Kind::ComboBox;
    if (upperName == L"STATIC") return Kind::Static;
    if (upperName == L"#32770") return Kind::Dialog;
    *known = false;
    return Kind::Generic;
}

// Screen origin of `w`'s client area; guard must be held.
POINT clientOrigin(const Window* w) {
    POINT p{0, 0};
    while (w && w->kind != Kind::Desktop) {
        p.x += w->rect.left;
        p.y += w->rect.top;
        if (!(w->style & WS_CHILD)) break;
        w = find(w->parent);
    }
    return p;
}

std::wstring textFrom(LPARAM lParam, bool ansi) {
    if (!lParam) return std::wstring();
    if (ansi) return fromUtf8(reinterpret_cast<const char*>(lParam));
    return std::wstring(reinterpret_cast<const wchar_t*>(lParam));
}

// Copies `text` to a caller buffer of `chars` characters, always terminated.
template <class Char>
int copyOut(const std::basic_string<Char>& text, Char* out, int chars) {
    if (!out || chars <= 0) return 0;
    const int n = std::min<int>(static_cast<int>(text.size()), chars - 1);
    std::copy(text.begin(), text.begin() + n, out);
    out[n] = 0;
    return n;
}

// Control messages of the predefined classes. `handled` is false for messages
// the control leaves to DefWindowProc. Runs under guard; never calls out.
LRESULT controlMessageLocked(Window* w, UINT message, WPARAM wParam, LPARAM lParam, bool ansi, bool* handled) {
    *handled = true;
    if (w->kind == Kind::ComboBox) {
        auto& items = w->items;
        const auto count = static_cast<LRESULT>(items.size());
        const auto index = static_cast<LRESULT>(static_cast<intptr_t>(wParam));
        switch (message) {
            case CB_ADDSTRING:
                items.push_back({textFrom(lParam, ansi), 0});
                return count;
            case CB_INSERTSTRING: {
                if (index < -1 || index > count) return CB_ERR;
                const size_t at = index == -1 ? items.size() : static_cast<size_t>(index);
                items.insert(items.begin() + static_cast<ptrdiff_t>(at), {textFrom(lParam, ansi), 0});
                if (w->selection != CB_ERR && static_cast<size_t>(w->selection) >= at) ++w->selection;
                return static_cast<LRESULT>(at);
            }
            case CB_DELETESTRING:
                if (index < 0 || index >= count) return CB_ERR;
                items.erase(items.begin() + index);
                if (w->selection == index) w->selection = CB_ERR;
                else if (w->selection > index) --w->selection;
                return count - 1;
            case CB_GETCOUNT:
                return count;
            case CB_RESETCONTENT:
                items.clear();
                w->selection = CB_ERR;
                return CB_OKAY;
            case CB_GETCURSEL:
                return w->selection;
            case CB_SETCURSEL:
                // An index outside the list clears the selection and answers CB_ERR.
                if (index < 0 || index >= count) {
                    w->selection = CB_ERR;
                    return CB_ERR;
                }
                w->selection = static_cast<int>(index);
                return index;
            case CB_GETITEMDATA:
                if (index < 0 || index >= count) return CB_ERR;
                return items[static_cast<size_t>(index)].data;
            case CB_SETITEMDATA:
                if (index < 0 || index >= count) return CB_ERR;
                items[static_cast<size_t>(index)].data = lParam;
                return CB_OKAY;
            case CB_GETLBTEXTLEN:
                if (index < 0 || index >= count) return CB_ERR;
                return ansi ? static_cast<LRESULT>(toUtf8(items[static_cast<size_t>(index)].text).size())
                            : static_cast<LRESULT>(items[static_cast<size_t>(index)].text.size());
            case CB_GETLBTEXT: {
                // The buffer must hold the whole text (as on Windows, no size is given).
                if (index < 0 || index >= count || !lParam) return CB_ERR;
                const std::wstring& t = items[static_cast<size_t>(index)].text;
                if (ansi) {
                    const std::string a = toUtf8(t);
                    std::memcpy(reinterpret_cast<char*>(lParam), a.c_str(), a.size() + 1);
                    return static_cast<LRESULT>(a.size());
                }
                std::memcpy(reinterpret_cast<wchar_t*>(lParam), t.c_str(), (t.size() + 1) * sizeof(wchar_t));
                return static_cast<LRESULT>(t.size());
            }
            case CB_FINDSTRINGEXACT: {
                const std::wstring wanted = dvrt::upperCase(textFrom(lParam, ansi));
                for (LRESULT i = std::max<LRESULT>(index + 1, 0); i < count; ++i)
                    if (dvrt::upperCase(items[static_cast<size_t>(i)].text) == wanted) return i;
                for (LRESULT i = 0; i < std::min<LRESULT>(index + 1, count); ++i)
                    if (dvrt::upperCase(items[static_cast<size_t>(i)].text) == wanted) return i;
                return CB_ERR;
            }
            default:
                break;
        }
    } else if (w->kind == Kind::Button) {
        switch (message) {
            case BM_GETCHECK:
                return w->check;
            case BM_SETCHECK:
                w->check = static_cast<UINT>(wParam);
                return 0;
            default:
                break;
        }
    }
    *handled = false;
    return 0;
}

// Sends a message; `ansi` tells how text parameters are encoded.
LRESULT sendMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam, bool ansi) {
    WNDPROC windowProcedure = nullptr;
    DLGPROC dialogProcedure = nullptr;
    Kind kind;
    {
        std::lock_guard<std::mutex> hold(guard);
        Window* w = findOrFail(handle);
        if (!w)
            return 0;
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
    return ansi ? DefWindowProcA(handle, message, wParam, lParam) : DefWindowProcW(handle, message, wParam, lParam);
}

// Creates one window; guard must NOT be held. Sends WM_CREATE to registered
// classes. Returns null on failure.
HWND createWindow(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style, RECT rect,
                  HWND parent, int id, HINSTANCE instance, LPVOID param) {
    HWND handle = nullptr;
    WNDPROC procedure = nullptr;
    {
        std::lock_guard<std::mutex> hold(guard);
        desktopLocked();
        const std::wstring upper = dvrt::upperCase(className);
        bool predefined = false;
        const Kind kind = predefinedKind(upper, &predefined);
        if (!predefined) {
            auto it = classes.find(upper);
            if (it == classes.end()) {
                SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
                return nullptr;
            }
            procedure = it->second.lpfnWndProc;
        }
        if ((style & WS_CHILD) && !find(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if (parent && !find(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        auto w = std::make_unique<Window>();
        w->handle = reinterpret_cast<HWND>(nextHandle);
        nextHandle += 4;
        w->parent = parent;
        w->kind = kind;
        w->className = className;
        w->text = title;
        w->id = id;
        w->style = style;
        w->exStyle = exStyle;
        w->rect = rect;
        w->enabled = !(style & WS_DISABLED);
        w->visible = (style & WS_VISIBLE) != 0;
        w->instance = instance;
        w->windowProcedure = procedure;
        w->thread = std::this_thread::get_id();
        if (style & WS_CHILD) find(parent)->children.push_back(w->handle);
        handle = w->handle;
        windows.emplace(handle, std::move(w));
    }
    if (procedure) {
        if (procedure(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(param)) == -1) {
            DestroyWindow(handle);
            return nullptr;
        }
    }
    return handle;
}

void destroyLocked(HWND handle, std::vector<HWND>* order) {
    Window* w = find(handle);
    if (!w) return;
    order->push_back(handle);
    for (HWND child : w->children) destroyLocked(child, order);
}

}  // namespace


// ---- classes and windows ---------------------------------------------------

DVAPI ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    if (!windowClass || !windowClass->lpszClassName || !windowClass->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> hold(guard);
    const std::wstring upper = dvrt::upperCase(windowClass->lpszClassName);
    bool predefined = false;
    predefinedKind(upper, &predefined);
    if (predefined || classes.count(upper)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    WNDCLASSW copy = *windowClass;
    copy.lpszClassName = nullptr;  // the key keeps the name
    copy.lpszMenuName = nullptr;
    classes.emplace(upper, copy);
    return static_cast<ATOM>(0xC000 + classes.size());
}

DVAPI BOOL UnregisterClassW(LPCWSTR className, HINSTANCE /*instance*/) {
    if (!className) return FALSE;
    std::lock_guard<std::mutex> hold(guard);
    return classes.erase(dvrt::upperCase(className)) ? TRUE : FALSE;
}

DVAPI HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width,
                           int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    const int id = (style & WS_CHILD) ? static_cast<int>(reinterpret_cast<intptr_t>(menu)) : 0;
    return createWindow(exStyle, className, title ? title : L"", style, RECT{x, y, x + width, y + height}, parent, id,
                        instance, param);
}

DVAPI HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC procedure, LPARAM param) {
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
        r.left = r.left * kDialogBaseX / 4;
        r.right = r.right * kDialogBaseX / 4;
        r.top = r.top * kDialogBaseY / 8;
        r.bottom = r.bottom * kDialogBaseY / 8;
        return r;
    };
    const DWORD exStyle = (tpl.style & DS_CONTROL) ? WS_EX_CONTROLPARENT : 0;
    HWND dialog = createWindow(exStyle, L"#32770", L"", tpl.style & ~WS_VISIBLE, toPixels(0, 0, tpl.cx, tpl.cy),
                               parent, 0, instance, nullptr);
    if (!dialog) return nullptr;
    HWND firstTabStop = nullptr;
    for (const auto& c : tpl.controls) {
        const DWORD style = c.style | WS_CHILD | WS_VISIBLE;
        HWND control = createWindow(0, c.className, c.text, style, toPixels(c.x, c.y, c.cx, c.cy), dialog, c.id,
                                    instance, nullptr);
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

DVAPI BOOL DestroyWindow(HWND window) {
    std::vector<HWND> order;
    {
        std::lock_guard<std::mutex> hold(guard);
        if (!find(window) || window == desktopHandle) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        destroyLocked(window, &order);
    }
    // WM_DESTROY goes to the window first, then to its children.
    for (HWND h : order) sendMessage(h, WM_DESTROY, 0, 0, false);
    for (auto it = order.rbegin(); it != order.rend(); ++it) sendMessage(*it, WM_NCDESTROY, 0, 0, false);
    // Owned top-level windows go with their owner.
    std::vector<HWND> owned;
    {
        std::lock_guard<std::mutex> hold(guard);
        for (auto& [h, w] : windows)
            if (!(w->style & WS_CHILD) && std::find(order.begin(), order.end(), w->parent) != order.end())
                owned.push_back(h);
    }
    for (HWND h : owned) DestroyWindow(h);
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (w && (w->style & WS_CHILD)) {
        if (Window* parent = find(w->parent)) {
            auto& siblings = parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), window), siblings.end());
        }
    }
    for (HWND h : order) windows.erase(h);
    for (auto& [thread, queue] : queues) {
        (void)thread;
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [&](const Posted& p) {
                                       return std::find(order.begin(), order.end(), p.msg.hwnd) != order.end();
                                   }),
                    queue.end());
    }
    return TRUE;
}

DVAPI BOOL IsWindow(HWND window) {
    std::lock_guard<std::mutex> hold(guard);
    return find(window) ? TRUE : FALSE;
}

DVAPI HWND GetDesktopWindow() {
    std::lock_guard<std::mutex> hold(guard);
    return desktopLocked();
}

DVAPI HWND GetParent(HWND window) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = findOrFail(window);
    if (!w)
        return nullptr;
    // A child's parent; a popup's owner; an overlapped window has none.
    if ((w->style & WS_CHILD) || (w->style & WS_POPUP)) return w->parent;
    return nullptr;
}

DVAPI HWND GetDlgItem(HWND dialog, int id) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = findOrFail(dialog);
    if (!w)
        return nullptr;
    for (HWND child : w->children)
        if (Window* c = find(child); c && c->id == id) return child;
    return nullptr;
}

DVAPI int GetDlgCtrlID(HWND window) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    return w && (w->style & WS_CHILD) ? w->id : 0;
}

DVAPI int GetClassNameW(HWND window, LPWSTR name, int chars) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    return w ? copyOut(w->className, name, chars) : 0;
}

DVAPI HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title) {
    std::lock_guard<std::mutex> hold(guard);
    std::vector<HWND> candidates;
    if (parent && parent != desktopHandle) {
        Window* p = find(parent);
        if (!p) return nullptr;
        candidates = p->children;
    } else {
        for (auto& [h, w] : windows)
            if (!(w->style & WS_CHILD) && w->kind != Kind::Desktop) candidates.push_back(h);
    }
    bool passed = after == nullptr;
    for (HWND h : candidates) {
        if (!passed) {
            passed = h == after;
            continue;
        }
        Window* w = find(h);
        if (className && !dvrt::equalNoCase(w->className, className)) continue;
        if (title && w->text != title) continue;
        return h;
    }
    return nullptr;
}

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
    if (!w)
        return FALSE;
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

DVAPI BOOL TranslateMessage(const MSG* /*msg*/) { return FALSE; }

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

DVAPI BOOL dvUserSelectComboItem(HWND combo, int index) {
    HWND parent = nullptr;
    int id = 0;
    {
        std::lock_guard<std::mutex> hold(guard);
        Window* w = find(combo);
        if (!w || w->kind != Kind::ComboBox || !w->enabled || index < 0 ||
            static_cast<size_t>(index) >= w->items.size())
            return FALSE;
        w->selection = index;
        parent = w->parent;
        id = w->id;
    }
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return TRUE;
}

// ---- controls -------------------------------------------------------------------

DVAPI BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    HWND control = GetDlgItem(dialog, id);
    if (!control) return FALSE;
    SendMessageW(control, BM_SETCHECK, check, 0);
    return TRUE;
}

DVAPI UINT IsDlgButtonChecked(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control ? static_cast<UINT>(SendMessageW(control, BM_GETCHECK, 0, 0)) : 0;
}

DVAPI UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int chars) {
    HWND control = GetDlgItem(dialog, id);
    if (!control) {
        if (text && chars > 0) text[0] = 0;
        return 0;
    }
    return static_cast<UINT>(GetWindowTextW(control, text, chars));
}

// ---- window state -----------------------------------------------------------------

DVAPI BOOL EnableWindow(HWND window, BOOL enable) {
    bool wasDisabled;
    {
        std::lock_guard<std::mutex> hold(guard);
        Window* w = find(window);
        if (!w) return FALSE;
        wasDisabled = !w->enabled;
        w->enabled = enable != FALSE;
        if (w->enabled) w->style &= ~static_cast<DWORD>(WS_DISABLED);
        else w->style |= WS_DISABLED;
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
    if (w->visible) w->style |= WS_VISIBLE;
    else w->style &= ~static_cast<DWORD>(WS_VISIBLE);
    return was ? TRUE : FALSE;
}

DVAPI BOOL IsWindowVisible(HWND window) {
    std::lock_guard<std::mutex> hold(guard);
    // Visible only when it and every ancestor are.
    for (Window* w = find(window); w; w = (w->style & WS_CHILD) ? find(w->parent) : nullptr)
        if (!w->visible) return FALSE;
    return find(window) ? TRUE : FALSE;
}

DVAPI BOOL InvalidateRect(HWND window, const RECT* /*rect*/, BOOL /*erase*/) { return window ? IsWindow(window) : TRUE; }

DVAPI BOOL UpdateWindow(HWND window) { return IsWindow(window); }

DVAPI BOOL GetWindowRect(HWND window, LPRECT rect) {
    if (!rect) return FALSE;
    std::lock_guard<std::mutex> hold(guard);
    desktopLocked();
    Window* w = findOrFail(window);
    if (!w)
        return FALSE;
    POINT origin{0, 0};
    if (w->style & WS_CHILD) {
        if (Window* parent = find(w->parent)) origin = clientOrigin(parent);
    }
    *rect = {w->rect.left + origin.x, w->rect.top + origin.y, w->rect.right + origin.x, w->rect.bottom + origin.y};
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
    if (!w)
        return 0;
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
            if (!w)
                return 0;
            change.styleOld = index == GWL_STYLE ? w->style : w->exStyle;
        }
        change.styleNew = static_cast<DWORD>(value);
        SendMessageW(window, WM_STYLECHANGING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
        {
            std::lock_guard<std::mutex> hold(guard);
            Window* w = find(window);
            if (!w) return 0;
            if (index == GWL_STYLE) w->style = change.styleNew;
            else w->exStyle = change.styleNew;
        }
        SendMessageW(window, WM_STYLECHANGED, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&change));
        return static_cast<LONG>(change.styleOld);
    }
    std::lock_guard<std::mutex> hold(guard);
    Window* w = findOrFail(window);
    if (!w)
        return 0;
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

DVAPI LONG GetWindowLongW(HWND window, int index) { return static_cast<LONG>(GetWindowLongPtrW(window, index)); }

DVAPI LONG SetWindowLongW(HWND window, int index, LONG value) {
    const LONG_PTR v = (index == GWL_STYLE || index == GWL_EXSTYLE) ? static_cast<LONG_PTR>(static_cast<DWORD>(value))
                                                                     : static_cast<LONG_PTR>(value);
    return static_cast<LONG>(SetWindowLongPtrW(window, index, v));
}

DVAPI BOOL MapDialogRect(HWND dialog, LPRECT rect) {
    if (!rect || !IsWindow(dialog)) return FALSE;
    rect->left = rect->left * kDialogBaseX / 4;
    rect->right = rect->right * kDialogBaseX / 4;
    rect->top = rect->top * kDialogBaseY / 8;
    rect->bottom = rect->bottom * kDialogBaseY / 8;
    return TRUE;
}

DVAPI LONG GetDialogBaseUnits() { return MAKELONG(8, 16); }

// ---- resources -------------------------------------------------------------------

DVAPI BOOL dvRegisterDialogTemplate(HINSTANCE instance, const DvDialogTemplate* tpl) {
    if (!tpl || (tpl->controlCount && !tpl->controls)) return FALSE;
    TemplateData data;
    data.style = tpl->style;
    data.cx = tpl->cx;
    data.cy = tpl->cy;
    for (UINT i = 0; i < tpl->controlCount; ++i) {
        const DvDialogControl& c = tpl->controls[i];
        data.controls.push_back({c.id, fromUtf8(c.className ? c.className : ""), fromUtf8(c.text ? c.text : ""),
                                 c.style, c.x, c.y, c.cx, c.cy});
    }
    std::lock_guard<std::mutex> hold(guard);
    dialogTemplates[{instance, tpl->id}] = std::move(data);
    return TRUE;
}

DVAPI BOOL dvRegisterStringResource(HINSTANCE instance, UINT id, const char* text) {
    if (!text) return FALSE;
    std::lock_guard<std::mutex> hold(guard);
    stringResources[{instance, id}] = fromUtf8(text);
    return TRUE;
}

DVAPI void dvUnregisterModuleResources(HINSTANCE instance) {
    std::lock_guard<std::mutex> hold(guard);
    for (auto it = dialogTemplates.begin(); it != dialogTemplates.end();)
        it = it->first.first == instance ? dialogTemplates.erase(it) : std::next(it);
    for (auto it = stringResources.begin(); it != stringResources.end();)
        it = it->first.first == instance ? stringResources.erase(it) : std::next(it);
}

DVAPI int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int chars) {
    if (!buffer || chars <= 0) return 0;
    std::lock_guard<std::mutex> hold(guard);
    auto it = stringResources.find({instance, id});
    if (it == stringResources.end()) {
        buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    return copyOut(it->second, buffer, chars);
}

DVAPI int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int chars) {
    if (!buffer || chars <= 0) return 0;
    std::lock_guard<std::mutex> hold(guard);
    auto it = stringResources.find({instance, id});
    if (it == stringResources.end()) {
        buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    return copyOut(toUtf8(it->second), buffer, chars);
}
