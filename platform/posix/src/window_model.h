// Internal to the headless window model (window_*.cpp, not exported): the
// window table, the class, template and string tables, the posted-message
// queues, and the helpers the window model's sources share.
//
// Lock: `guard` protects every table and queue declared here. It is never held
// while a window or dialog procedure runs; every procedure call copies what it
// needs and releases the lock first. Helpers named ...Locked, and those that
// say so, expect `guard` held; the others take it themselves.
#pragma once

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

namespace dvwin {

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
    LONG_PTR userData = 0;              // GWLP_USERDATA
    LONG_PTR dialogUser = 0;            // DWLP_USER
    LONG_PTR messageResult = 0;         // DWLP_MSGRESULT
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

inline constexpr LONG desktopWidth = 1920;
inline constexpr LONG desktopHeight = 1080;
inline constexpr int dialogBaseX = 6;  // dialog font ("MS Sans Serif", 8 points) base units
inline constexpr int dialogBaseY = 13;

extern std::mutex guard;
extern std::map<HWND, std::unique_ptr<Window>> windows;
extern std::map<std::wstring, WNDCLASSW> classes;  // key: upper-cased name
extern std::map<std::pair<HINSTANCE, WORD>, TemplateData> dialogTemplates;
extern std::map<std::pair<HINSTANCE, UINT>, std::wstring> stringResources;
extern std::map<std::thread::id, std::deque<Posted>> queues;
extern HWND desktopHandle;

// The window `handle` names, or null; guard must be held.
Window* find(HWND handle);
// find, with ERROR_INVALID_WINDOW_HANDLE as the last error when there is no
// such window; guard must be held.
Window* findOrFail(HWND handle);
// The desktop exists from the first call on; guard must be held.
HWND desktopLocked();
// The kind of a predefined class (upper-cased name); *known false for others.
Kind predefinedKind(const std::wstring& upperName, bool* known);
// Screen origin of `w`'s client area; guard must be held.
POINT clientOrigin(const Window* w);
// The text a message parameter points at, UTF-8 when `ansi`.
std::wstring textFrom(LPARAM lParam, bool ansi);

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
LRESULT controlMessageLocked(Window* w, UINT message, WPARAM wParam, LPARAM lParam, bool ansi, bool* handled);
// Sends a message; `ansi` tells how text parameters are encoded. guard must
// NOT be held.
LRESULT sendMessage(HWND handle, UINT message, WPARAM wParam, LPARAM lParam, bool ansi);
// Creates one window; guard must NOT be held. Sends WM_CREATE to registered
// classes. Returns null on failure.
HWND createWindow(DWORD exStyle, const std::wstring& className, const std::wstring& title, DWORD style,
                  RECT rect, HWND parent, int id, HINSTANCE instance, LPVOID param);
// Appends `handle` and its descendants (parents first) to *order; guard must be held.
void destroyLocked(HWND handle, std::vector<HWND>* order);

}  // namespace dvwin
