// Windowing and module services for the POSIX build: message boxes routed to a
// replaceable handler, and module handles/paths for self-registration.
#pragma once

#include "winapi/types.h"

#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Shows a modal message box. On POSIX the box is the installed handler's
// business; the default prints caption and text to stderr and answers IDOK.
DVAPI int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
DVAPI int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x1
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x2
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x4
#define MAX_PATH 260

// Module handle of the shared object containing `address` (FROM_ADDRESS form only).
DVAPI BOOL GetModuleHandleExW(DWORD flags, LPCWSTR nameOrAddress, HMODULE* module);
DVAPI DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD chars);
DVAPI DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD chars);
DVAPI DWORD GetLastError();
DVAPI void SetLastError(DWORD error);
