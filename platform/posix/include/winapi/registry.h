// The registry for the POSIX build: HKEY_CLASSES_ROOT, HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE, each kept as one file (HKCR.dvreg, HKCU.dvreg,
// HKLM.dvreg) in a per-user folder: $DV_REGISTRY_DIR if set, else
// $XDG_CONFIG_HOME/duoview2/registry, else ~/.config/duoview2/registry.
// Writes replace a file atomically under a lock shared with other processes;
// content that cannot be parsed reads as missing. String values are UTF-8 in
// the A calls and wchar_t in the W calls (sizes in bytes of that form).
#pragma once

#include "winapi/types.h"

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

typedef DWORD REGSAM;
typedef LONG LSTATUS;
struct SECURITY_ATTRIBUTES;

DVAPI LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result);
DVAPI LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result);
DVAPI LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options, REGSAM sam,
                              SECURITY_ATTRIBUTES* security, PHKEY result, LPDWORD disposition);
DVAPI LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM sam,
                              SECURITY_ATTRIBUTES* security, PHKEY result, LPDWORD disposition);
DVAPI LSTATUS RegCloseKey(HKEY key);
DVAPI LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                               LPDWORD size);
DVAPI LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                               LPDWORD size);
DVAPI LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                             DWORD size);
DVAPI LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
DVAPI LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name);
DVAPI LSTATUS RegDeleteValueA(HKEY key, LPCSTR name);
DVAPI LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
DVAPI LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
DVAPI LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey);
DVAPI LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subKey);
DVAPI LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                            LPWSTR cls, LPDWORD classChars, FILETIME* lastWrite);
DVAPI LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved,
                            LPDWORD type, LPBYTE data, LPDWORD size);

#ifdef UNICODE
#define RegOpenKeyEx RegOpenKeyExW
#define RegCreateKeyEx RegCreateKeyExW
#define RegQueryValueEx RegQueryValueExW
#define RegSetValueEx RegSetValueExW
#define RegDeleteValue RegDeleteValueW
#define RegDeleteKey RegDeleteKeyW
#define RegDeleteTree RegDeleteTreeW
#define RegEnumKeyEx RegEnumKeyExW
#endif
