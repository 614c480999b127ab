// The window table: classes, creation and destruction, parents and children,
// lookups. Locking as in window_model.h.
#include "window_model.h"

namespace dvwin {

std::mutex guard;
std::map<HWND, std::unique_ptr<Window>> windows;
std::map<std::wstring, WNDCLASSW> classes;
std::map<std::pair<HINSTANCE, WORD>, TemplateData> dialogTemplates;
std::map<std::pair<HINSTANCE, UINT>, std::wstring> stringResources;
std::map<std::thread::id, std::deque<Posted>> queues;
HWND desktopHandle = nullptr;

namespace {
uintptr_t nextHandle = 0x10010;  // under guard

HWND newHandleLocked() {
    HWND handle = reinterpret_cast<HWND>(nextHandle);
    nextHandle += 4;
    return handle;
}
}  // namespace

Window* find(HWND handle) {
    auto it = windows.find(handle);
    return it == windows.end() ? nullptr : it->second.get();
}

Window* findOrFail(HWND handle) {
    Window* w = find(handle);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

HWND desktopLocked() {
    if (!desktopHandle) {
        auto w = std::make_unique<Window>();
        w->handle = newHandleLocked();
        w->kind = Kind::Desktop;
        w->className = L"#32769";
        w->rect = {0, 0, desktopWidth, desktopHeight};
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

HWND createWindow(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style,
                  RECT rect, HWND parent, int id, HINSTANCE instance, LPVOID param) {
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
        w->handle = newHandleLocked();
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
    for (HWND child : w->children)
        destroyLocked(child, order);
}

}  // namespace dvwin

using namespace dvwin;

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

DVAPI HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                           int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    const int id = (style & WS_CHILD) ? static_cast<int>(reinterpret_cast<intptr_t>(menu)) : 0;
    return createWindow(exStyle, className, title ? title : L"", style, RECT{x, y, x + width, y + height},
                        parent, id, instance, param);
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
    for (HWND h : order)
        sendMessage(h, WM_DESTROY, 0, 0, false);
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        sendMessage(*it, WM_NCDESTROY, 0, 0, false);
    // Owned top-level windows go with their owner.
    std::vector<HWND> owned;
    {
        std::lock_guard<std::mutex> hold(guard);
        for (auto& [h, w] : windows)
            if (!(w->style & WS_CHILD) && std::find(order.begin(), order.end(), w->parent) != order.end())
                owned.push_back(h);
    }
    for (HWND h : owned)
        DestroyWindow(h);
    std::lock_guard<std::mutex> hold(guard);
    Window* w = find(window);
    if (w && (w->style & WS_CHILD)) {
        if (Window* parent = find(w->parent)) {
            auto& siblings = parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), window), siblings.end());
        }
    }
    for (HWND h : order)
        windows.erase(h);
    for (auto& [thread, queue] : queues) {
        (void)thread;
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [&](const Posted& p) {
                                       return std::find(order.begin(), order.end(), p.msg.hwnd) !=
                                              order.end();
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
    if (!w) return nullptr;
    // A child's parent; a popup's owner; an overlapped window has none.
    if ((w->style & WS_CHILD) || (w->style & WS_POPUP)) return w->parent;
    return nullptr;
}

DVAPI HWND GetDlgItem(HWND dialog, int id) {
    std::lock_guard<std::mutex> hold(guard);
    Window* w = findOrFail(dialog);
    if (!w) return nullptr;
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
