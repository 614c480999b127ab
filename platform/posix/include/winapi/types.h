// Windows base types, result codes and GUIDs for the POSIX build.
// Layouts match the Windows ABI (LONG and HRESULT are 32-bit, structures keep
// their Windows sizes); wide characters are the host's wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>

#if defined(DV_PLATFORM_BUILD)
#define DVAPI extern "C" __attribute__((visibility("default")))
#else
#define DVAPI extern "C"
#endif

#define WINAPI
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define CALLBACK
#define STDAPI extern "C" HRESULT
#define STDMETHOD(name) virtual HRESULT STDMETHODCALLTYPE name
#define STDMETHOD_(type, name) virtual type STDMETHODCALLTYPE name
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef char CHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t REFERENCE_TIME;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t SIZE_T;
typedef int32_t HRESULT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef wchar_t WCHAR;
typedef WCHAR OLECHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HBITMAP__* HBITMAP;
typedef struct HDC__* HDC;
typedef struct HICON__* HICON;
typedef struct HMENU__* HMENU;
typedef struct HFONT__* HFONT;
typedef struct HBRUSH__* HBRUSH;
typedef struct HGDIOBJ__* HGDIOBJ;
typedef LONG OAFilterState;
typedef LONG_PTR OAEVENT;
typedef LONG_PTR OAHWND;
typedef DWORD LCID;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// ---- result codes -----------------------------------------------------
#define _HRESULT_TYPEDEF_(x) ((HRESULT)(uint32_t)(x))
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_FROM_WIN32(x) \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((uint32_t)(x)&0x0000FFFFu) | 0x80070000u)))

#define S_OK _HRESULT_TYPEDEF_(0x00000000L)
#define S_FALSE _HRESULT_TYPEDEF_(0x00000001L)
#define E_NOTIMPL _HRESULT_TYPEDEF_(0x80004001L)
#define E_NOINTERFACE _HRESULT_TYPEDEF_(0x80004002L)
#define E_POINTER _HRESULT_TYPEDEF_(0x80004003L)
#define E_ABORT _HRESULT_TYPEDEF_(0x80004004L)
#define E_FAIL _HRESULT_TYPEDEF_(0x80004005L)
#define E_UNEXPECTED _HRESULT_TYPEDEF_(0x8000FFFFL)
#define E_ACCESSDENIED _HRESULT_TYPEDEF_(0x80070005L)
#define E_HANDLE _HRESULT_TYPEDEF_(0x80070006L)
#define E_OUTOFMEMORY _HRESULT_TYPEDEF_(0x8007000EL)
#define E_INVALIDARG _HRESULT_TYPEDEF_(0x80070057L)
#define RPC_E_CHANGED_MODE _HRESULT_TYPEDEF_(0x80010106L)
#define CO_E_NOTINITIALIZED _HRESULT_TYPEDEF_(0x800401F0L)
#define CLASS_E_NOAGGREGATION _HRESULT_TYPEDEF_(0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE _HRESULT_TYPEDEF_(0x80040111L)
#define REGDB_E_CLASSNOTREG _HRESULT_TYPEDEF_(0x80040154L)
#define REGDB_E_READREGDB _HRESULT_TYPEDEF_(0x80040150L)
#define SELFREG_E_CLASS _HRESULT_TYPEDEF_(0x80040201L)
#define MK_E_NOOBJECT _HRESULT_TYPEDEF_(0x800401E5L)
#define STG_E_INVALIDPOINTER _HRESULT_TYPEDEF_(0x80030009L)
#define DISP_E_TYPEMISMATCH _HRESULT_TYPEDEF_(0x80020005L)
#define DISP_E_BADVARTYPE _HRESULT_TYPEDEF_(0x80020008L)
#define CO_E_DLLNOTFOUND _HRESULT_TYPEDEF_(0x800401F8L)
#define CO_E_ERRORINDLL _HRESULT_TYPEDEF_(0x800401F9L)
#define CO_E_CLASSSTRING _HRESULT_TYPEDEF_(0x800401F3L)

#define VFW_S_NO_MORE_ITEMS _HRESULT_TYPEDEF_(0x00040103L)
#define VFW_S_DUPLICATE_NAME _HRESULT_TYPEDEF_(0x0004022DL)
#define VFW_S_STATE_INTERMEDIATE _HRESULT_TYPEDEF_(0x00040237L)
#define VFW_S_CANT_CUE _HRESULT_TYPEDEF_(0x00040268L)
#define VFW_E_INVALIDMEDIATYPE _HRESULT_TYPEDEF_(0x80040200L)
#define VFW_E_INVALIDSUBTYPE _HRESULT_TYPEDEF_(0x80040201L)
#define VFW_E_NEED_OWNER _HRESULT_TYPEDEF_(0x80040202L)
#define VFW_E_ENUM_OUT_OF_SYNC _HRESULT_TYPEDEF_(0x80040203L)
#define VFW_E_ALREADY_CONNECTED _HRESULT_TYPEDEF_(0x80040204L)
#define VFW_E_FILTER_ACTIVE _HRESULT_TYPEDEF_(0x80040205L)
#define VFW_E_NO_TYPES _HRESULT_TYPEDEF_(0x80040206L)
#define VFW_E_NO_ACCEPTABLE_TYPES _HRESULT_TYPEDEF_(0x80040207L)
#define VFW_E_INVALID_DIRECTION _HRESULT_TYPEDEF_(0x80040208L)
#define VFW_E_NOT_CONNECTED _HRESULT_TYPEDEF_(0x80040209L)
#define VFW_E_NO_ALLOCATOR _HRESULT_TYPEDEF_(0x8004020AL)
#define VFW_E_RUNTIME_ERROR _HRESULT_TYPEDEF_(0x8004020BL)
#define VFW_E_BUFFER_NOTSET _HRESULT_TYPEDEF_(0x8004020CL)
#define VFW_E_BUFFER_OVERFLOW _HRESULT_TYPEDEF_(0x8004020DL)
#define VFW_E_BADALIGN _HRESULT_TYPEDEF_(0x8004020EL)
#define VFW_E_ALREADY_COMMITTED _HRESULT_TYPEDEF_(0x8004020FL)
#define VFW_E_BUFFERS_OUTSTANDING _HRESULT_TYPEDEF_(0x80040210L)
#define VFW_E_NOT_COMMITTED _HRESULT_TYPEDEF_(0x80040211L)
#define VFW_E_SIZENOTSET _HRESULT_TYPEDEF_(0x80040212L)
#define VFW_E_NO_CLOCK _HRESULT_TYPEDEF_(0x80040213L)
#define VFW_E_NO_SINK _HRESULT_TYPEDEF_(0x80040214L)
#define VFW_E_NO_INTERFACE _HRESULT_TYPEDEF_(0x80040215L)
#define VFW_E_NOT_FOUND _HRESULT_TYPEDEF_(0x80040216L)
#define VFW_E_CANNOT_CONNECT _HRESULT_TYPEDEF_(0x80040217L)
#define VFW_E_CANNOT_RENDER _HRESULT_TYPEDEF_(0x80040218L)
#define VFW_E_CHANGING_FORMAT _HRESULT_TYPEDEF_(0x80040219L)
#define VFW_E_NOT_STOPPED _HRESULT_TYPEDEF_(0x80040224L)
#define VFW_E_NOT_PAUSED _HRESULT_TYPEDEF_(0x80040225L)
#define VFW_E_NOT_RUNNING _HRESULT_TYPEDEF_(0x80040226L)
#define VFW_E_WRONG_STATE _HRESULT_TYPEDEF_(0x80040227L)
#define VFW_E_START_TIME_AFTER_END _HRESULT_TYPEDEF_(0x80040228L)
#define VFW_E_INVALID_RECT _HRESULT_TYPEDEF_(0x80040229L)
#define VFW_E_NO_CAPTURE_HARDWARE _HRESULT_TYPEDEF_(0x80040273L)
#define VFW_E_TYPE_NOT_ACCEPTED _HRESULT_TYPEDEF_(0x8004022AL)
#define VFW_E_TIMEOUT _HRESULT_TYPEDEF_(0x8004022EL)
#define VFW_E_NOT_IN_GRAPH _HRESULT_TYPEDEF_(0x8004025FL)
#define VFW_S_NO_STOP_TIME _HRESULT_TYPEDEF_(0x00040270L)
#define VFW_E_SAMPLE_TIME_NOT_SET _HRESULT_TYPEDEF_(0x80040249L)
#define VFW_E_MEDIA_TIME_NOT_SET _HRESULT_TYPEDEF_(0x80040251L)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_DATA 13L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_NOACCESS 998L
#define ERROR_KEY_DELETED 1018L
#define ERROR_CANTWRITE 1013L
#define ERROR_DEVICE_NOT_CONNECTED 1167L

#define INFINITE 0xFFFFFFFF

// ---- GUIDs --------------------------------------------------------------
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) {
    return !IsEqualGUID(a, b);
}

// Each module gets its own copy of every GUID constant (C++17 inline variables),
// so no data crosses a module boundary.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// ---- plain structures -------------------------------------------------------
struct RECT {
    LONG left, top, right, bottom;
};
typedef RECT* LPRECT;
typedef const RECT* LPCRECT;
struct POINT {
    LONG x, y;
};
struct SIZE {
    LONG cx, cy;
};
typedef SIZE* LPSIZE;
union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};
struct FILETIME {
    DWORD dwLowDateTime, dwHighDateTime;
};
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG* LPMSG;

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
typedef BITMAPINFOHEADER* PBITMAPINFOHEADER;
struct RGBQUAD {
    BYTE rgbBlue, rgbGreen, rgbRed, rgbReserved;
};
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};
#define BI_RGB 0L
#define BI_RLE8 1L
#define BI_RLE4 2L
#define BI_BITFIELDS 3L

#define MAKEFOURCC(a, b, c, d) \
    ((DWORD)(BYTE)(a) | ((DWORD)(BYTE)(b) << 8) | ((DWORD)(BYTE)(c) << 16) | ((DWORD)(BYTE)(d) << 24))

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b) \
    ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
