// Loading a module by path and finding its exported functions, as a host
// program does before calling a component library's DllRegisterServer.
//
// A module handle is the module's load address, as everywhere in this
// stand-in (GetModuleHandleExW, GetModuleFileName), so the handle of a module
// loaded here names the same module there. Loads are counted: each
// successful LoadLibrary needs one FreeLibrary. A module that class
// activation (CoCreateInstance) also loaded is the same loaded module; it
// stays loaded while either holds it.
#pragma once

#include "winapi/types.h"

typedef INT_PTR(WINAPI* FARPROC)();

// Loads the shared library at `path` (UTF-8 for the A form) with its
// dependencies resolved at once; null on failure (GetLastError:
// ERROR_MOD_NOT_FOUND, or ERROR_INVALID_PARAMETER for a null path).
DVAPI HMODULE LoadLibraryW(LPCWSTR path);
DVAPI HMODULE LoadLibraryA(LPCSTR path);
// The exported function `name` of `module` (null: the main program and its
// global scope); null on failure (GetLastError: ERROR_PROC_NOT_FOUND, or
// ERROR_INVALID_HANDLE for a handle this stand-in did not hand out).
DVAPI FARPROC GetProcAddress(HMODULE module, LPCSTR name);
// Drops one load of `module`; the library is unloaded when none is left.
// FALSE (ERROR_INVALID_HANDLE) for a handle that is not loaded.
DVAPI BOOL FreeLibrary(HMODULE module);
