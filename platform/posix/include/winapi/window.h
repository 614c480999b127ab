// Windows, dialogs and the property frame for the POSIX build: a headless
// window model. Windows exist as data (class, id, text, styles, rectangle,
// parent, enabled and visible flags); the predefined controls keep their state
// (combo box items with item data and selection, button check state); dialog
// templates and string resources are registered by the module that owns them;
// messages are sent synchronously or posted to the creating thread's queue.
// Nothing is drawn. Names, values and results follow the Windows API.
//
// Threads: every function may be called from any thread. A window belongs to
// the thread that created it; PostMessageW queues to that thread, and
// PeekMessageW/DispatchMessageW (or dvPumpMessages) run the queue of the
// calling thread. Window procedures are called without any internal lock held,
// so they may create, destroy and message windows themselves.
#pragma once

#include "winapi/types.h"

// ---- messages -----------------------------------------------------------
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_MOVE 0x0003
#define WM_SIZE 0x0005
#define WM_ENABLE 0x000A
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_SHOWWINDOW 0x0018
#define WM_STYLECHANGING 0x007C
#define WM_STYLECHANGED 0x007D
#define WM_NCDESTROY 0x0082
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_USER 0x0400
#define WM_APP 0x8000

// ---- combo box ----------------------------------------------------------
#define CB_ADDSTRING 0x0143
#define CB_DELETESTRING 0x0144
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_INSERTSTRING 0x014A
#define CB_RESETCONTENT 0x014B
#define CB_SETCURSEL 0x014E
#define CB_GETITEMDATA 0x0150
#define CB_SETITEMDATA 0x0151
#define CB_FINDSTRINGEXACT 0x0158
#define CB_OKAY 0
#define CB_ERR (-1)
#define CB_ERRSPACE (-2)
#define CBN_SELCHANGE 1
#define CBN_DBLCLK 2
#define CBN_SETFOCUS 3
#define CBN_KILLFOCUS 4
#define CBN_DROPDOWN 7
#define CBN_CLOSEUP 8
#define CBN_SELENDOK 9

// ---- buttons ------------------------------------------------------------
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_CLICK 0x00F5
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BST_INDETERMINATE 0x0002
#define BN_CLICKED 0

// ---- static controls ----------------------------------------------------
#define STM_SETIMAGE 0x0172
#define STM_GETIMAGE 0x0173
#define IMAGE_BITMAP 0

// ---- styles -------------------------------------------------------------
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_OVERLAPPEDWINDOW \
    (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | 0x00020000L | 0x00010000L)
#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_CONTROLPARENT 0x00010000L

#define DS_3DLOOK 0x0004L
#define DS_SETFONT 0x0040L
#define DS_MODALFRAME 0x0080L
#define DS_CONTROL 0x0400L

#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_CHECKBOX 0x00000002L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_GROUPBOX 0x00000007L
#define BS_TYPEMASK 0x0000000FL

#define CBS_SIMPLE 0x0001L
#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_SORT 0x0100L
#define CBS_HASSTRINGS 0x0200L

#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_RIGHT 0x00000002L
#define SS_BITMAP 0x0000000EL
#define SS_TYPEMASK 0x0000001FL
#define SS_NOPREFIX 0x00000080L
#define SS_CENTERIMAGE 0x00000200L
#define SS_SUNKEN 0x00001000L

// ---- window operations --------------------------------------------------
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_SHOW 5

#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SWP_NOREDRAW 0x0008
#define SWP_NOACTIVATE 0x0010
#define SWP_SHOWWINDOW 0x0040
#define SWP_HIDEWINDOW 0x0080
#define HWND_TOP ((HWND)0)
#define HWND_DESKTOP ((HWND)0)

#define GWLP_WNDPROC (-4)
#define GWLP_HINSTANCE (-6)
#define GWLP_ID (-12)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_USERDATA (-21)
#define GWL_ID GWLP_ID
#define GWL_USERDATA GWLP_USERDATA

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef WORD ATOM;
typedef HICON HCURSOR;

// Dialog window slots (GetWindowLongPtr on a dialog), 64-bit layout.
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC (DWLP_MSGRESULT + (int)sizeof(LRESULT))
#define DWLP_USER (DWLP_DLGPROC + (int)sizeof(DLGPROC))

struct STYLESTRUCT {
    DWORD styleOld;
    DWORD styleNew;
};
typedef STYLESTRUCT* LPSTYLESTRUCT;

struct WNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
};

struct IUnknown;

// ---- window classes and windows -----------------------------------------
// Registers a window class (name compared without case). The predefined
// classes "Button", "ComboBox", "Static" and "#32770" (dialog) always exist.
DVAPI ATOM RegisterClassW(const WNDCLASSW* windowClass);
DVAPI BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);
// Creates a window of a registered or predefined class. `menu` is the control
// id of a child window. Sends WM_CREATE to a registered class's procedure;
// creation fails (null) when it answers -1.
DVAPI HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                           int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
// Creates a modeless dialog from template `name` (an integer resource) that
// `instance` registered with dvRegisterDialogTemplate, sends WM_INITDIALOG
// with `param` to `procedure`, and returns the dialog. Null with
// ERROR_RESOURCE_NAME_NOT_FOUND when the template does not exist.
DVAPI HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR name, HWND parent, DLGPROC procedure, LPARAM param);
// Sends WM_DESTROY and WM_NCDESTROY (the window first, then its children),
// then removes the window, its children and their queued messages.
DVAPI BOOL DestroyWindow(HWND window);
DVAPI BOOL IsWindow(HWND window);
DVAPI HWND GetDesktopWindow();  // 1920 x 1080 at 0, 0
// The parent of a child window, the owner of a top-level window.
DVAPI HWND GetParent(HWND window);
DVAPI HWND GetDlgItem(HWND dialog, int id);
DVAPI int GetDlgCtrlID(HWND window);
DVAPI int GetClassNameW(HWND window, LPWSTR name, int chars);
// First child of `parent` (null: the top-level windows) after `after` whose
// class and title match (null matches any).
DVAPI HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title);

// ---- messages -----------------------------------------------------------
DVAPI LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DVAPI LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DVAPI LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
DVAPI LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
DVAPI BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DVAPI BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DVAPI BOOL PeekMessageW(MSG* msg, HWND window, UINT first, UINT last, UINT remove);
DVAPI LRESULT DispatchMessageW(const MSG* msg);
DVAPI BOOL TranslateMessage(const MSG* msg);
DVAPI LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DVAPI LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---- controls -----------------------------------------------------------
DVAPI BOOL CheckDlgButton(HWND dialog, int id, UINT check);
DVAPI UINT IsDlgButtonChecked(HWND dialog, int id);
DVAPI UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int chars);

// ---- window state -------------------------------------------------------
DVAPI BOOL EnableWindow(HWND window, BOOL enable);  // nonzero when it was disabled
DVAPI BOOL IsWindowEnabled(HWND window);
DVAPI BOOL ShowWindow(HWND window, int command);  // nonzero when it was visible
DVAPI BOOL IsWindowVisible(HWND window);
DVAPI BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase);
DVAPI BOOL UpdateWindow(HWND window);
// Screen coordinates of the whole window.
DVAPI BOOL GetWindowRect(HWND window, LPRECT rect);
// 0, 0, width, height (the model has no non-client area).
DVAPI BOOL GetClientRect(HWND window, LPRECT rect);
// x, y relative to the parent's client area (the screen for top-level windows).
DVAPI BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
DVAPI BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int width, int height, UINT flags);
DVAPI int GetWindowTextW(HWND window, LPWSTR text, int chars);
DVAPI int GetWindowTextA(HWND window, LPSTR text, int chars);
DVAPI int GetWindowTextLengthW(HWND window);
DVAPI BOOL SetWindowTextW(HWND window, LPCWSTR text);
DVAPI BOOL SetWindowTextA(HWND window, LPCSTR text);
// GWL_STYLE / GWL_EXSTYLE changes send WM_STYLECHANGING (whose STYLESTRUCT
// the procedure may edit) and WM_STYLECHANGED, as on Windows.
DVAPI LONG GetWindowLongW(HWND window, int index);
DVAPI LONG SetWindowLongW(HWND window, int index, LONG value);
DVAPI LONG_PTR GetWindowLongPtrW(HWND window, int index);
DVAPI LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value);
// Dialog units to pixels with the dialog font's base units (6 x 13 pixels).
DVAPI BOOL MapDialogRect(HWND dialog, LPRECT rect);
// The system font's base units: MAKELONG(8, 16).
DVAPI LONG GetDialogBaseUnits();

// ---- resources ----------------------------------------------------------
// String `id` of `instance` (registered with dvRegisterStringResource), cut to
// fit `chars` including the terminator; returns the characters copied, 0 when
// the string does not exist.
DVAPI int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int chars);
DVAPI int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int chars);

// ---- OLE property frame ---------------------------------------------------
// A modal property frame (see the frame section of the stand-in API below):
// creates each page (CoCreateInstance of `pages`, IPropertyPage), hands it a
// site and the objects, activates the first page inside the frame window
// (owned by `owner`, at x, y, titled `caption`), runs the "user" and returns
// when the frame closes. Pages that cannot be created are left out.
// E_POINTER for null arrays with non-zero counts.
DVAPI HRESULT OleCreatePropertyFrame(HWND owner, UINT x, UINT y, LPCOLESTR caption, ULONG objectCount,
                                     IUnknown** objects, ULONG pageCount, const CLSID* pages, LCID locale,
                                     DWORD reserved, LPVOID reserved2);

// ==== Stand-in API (POSIX only; no Windows counterpart) ====================

// One control of a dialog template, in dialog units, as a CONTROL statement
// of a resource script states it (the model adds WS_CHILD | WS_VISIBLE).
// `className` is "Button", "ComboBox" or "Static"; `text` is UTF-8.
// The fields follow the CONTROL statement's order, which the templates'
// aggregate initialisers rely on; the padding is the price.
struct DvDialogControl {  // NOLINT(clang-analyzer-optin.performance.Padding)
    int id;               // -1 for controls that are never addressed
    const char* className;
    const char* text;
    DWORD style;
    short x, y, cx, cy;
};
struct DvDialogTemplate {
    WORD id;
    DWORD style;  // DS_CONTROL gives the dialog WS_EX_CONTROLPARENT
    short cx, cy;
    const DvDialogControl* controls;
    UINT controlCount;
};
// Registers (replaces) template `tpl->id` of `instance`; the data is copied.
DVAPI BOOL dvRegisterDialogTemplate(HINSTANCE instance, const DvDialogTemplate* tpl);
// Registers (replaces) string resource `id` of `instance`; UTF-8, copied.
DVAPI BOOL dvRegisterStringResource(HINSTANCE instance, UINT id, const char* text);
// Forgets every template and string of `instance` (module unload).
DVAPI void dvUnregisterModuleResources(HINSTANCE instance);

// Runs the posted messages of the calling thread's queue until it is empty
// (messages posted meanwhile included); returns how many were dispatched.
DVAPI UINT dvPumpMessages();

// What the user does: makes item `index` the selection of combo box `combo`
// and sends its parent WM_COMMAND(MAKEWPARAM(id, CBN_SELCHANGE), combo), as
// a click into the open list would. FALSE when `combo` is not a combo box or
// `index` is out of range (nothing is sent then). A click on a button or a
// check box is BM_CLICK, which is implemented as on Windows.
DVAPI BOOL dvUserSelectComboItem(HWND combo, int index);

// The property frame: a top-level window "#32770" owned by OleCreatePropertyFrame's
// `owner`, titled with the caption, holding a tab control (the parent of each
// page's dialog) and the buttons IDOK, IDCANCEL and DV_PROPFRAME_APPLY (enabled
// while a page has reported PROPPAGESTATUS_DIRTY through its site).
//
// Order of the calls on each page, as the platform's frame makes them:
//   CoCreateInstance, SetPageSite(site), SetObjects(n, objects), GetPageInfo;
//   the first page: Activate(tab, page rectangle, TRUE), Show(SW_SHOW); the
//   posted messages are then run (a page's WM_APP runs before the script).
//   The script runs (see below). On the frame:
//     WM_COMMAND IDOK      every page with IsPageDirty() == S_OK gets Apply;
//                          if all succeeded the frame closes
//     WM_COMMAND DV_PROPFRAME_APPLY   the same without closing
//     WM_COMMAND IDCANCEL, WM_CLOSE   the frame closes
//   Closing: Deactivate on the active page, the frame window is destroyed,
//   then for each page SetObjects(0, null), SetPageSite(null), Release.
// When the script returns with the frame still open, the posted messages are
// run and then the frame closes as if the user closed it (WM_CLOSE), so
// without a script the frame opens and closes at once, committing nothing.
#define DV_PROPFRAME_APPLY 0x3021

// Called once per frame (nested frames included), on the frame's thread,
// with the frame window and the active page's dialog window (null when no
// page could be activated). It may send messages to both, switch pages with
// dvPropertyFrameSelectPage and pump messages.
typedef void(CALLBACK* DvPropertyFrameScript)(HWND frame, HWND page, void* context);
// Installs the script for every later frame of the process (null: none) and
// returns the previous one. Not meant to be changed while a frame is open.
DVAPI DvPropertyFrameScript dvSetPropertyFrameScript(DvPropertyFrameScript script, void* context);
// Number of pages of frame `frame` (0 for a window that is no frame).
DVAPI UINT dvPropertyFramePageCount(HWND frame);
// The active page's dialog window, or null.
DVAPI HWND dvPropertyFrameActivePage(HWND frame);
// Deactivates the active page and activates page `index` as a tab switch does;
// returns its dialog window (null if `index` is out of range or Activate failed).
DVAPI HWND dvPropertyFrameSelectPage(HWND frame, UINT index);
