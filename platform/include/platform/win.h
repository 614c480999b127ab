// The one include for Windows API names. On Windows these are the real SDK
// headers; on POSIX, the stand-in under platform/posix declares the same names
// with the same layouts and method sets.
#pragma once

#ifdef _WIN32
#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <dshow.h>
#include <ole2.h>
#include <olectl.h>
#include <windows.h>
#else
#include "winapi/com.h"
#include "winapi/dshow.h"
#include "winapi/library.h"
#include "winapi/registry.h"
#include "winapi/types.h"
#include "winapi/user.h"
#include "winapi/window.h"
#endif

static_assert(sizeof(LONG) == 4 && sizeof(HRESULT) == 4 && sizeof(DWORD) == 4, "32-bit LONG/HRESULT/DWORD");
static_assert(sizeof(GUID) == 16, "GUID layout");
static_assert(sizeof(REFERENCE_TIME) == 8, "REFERENCE_TIME is 64-bit");
static_assert(sizeof(RECT) == 16, "RECT layout");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER layout");
static_assert(sizeof(VIDEOINFOHEADER) == 88, "VIDEOINFOHEADER layout");
static_assert(sizeof(VIDEO_STREAM_CONFIG_CAPS) == 128, "VIDEO_STREAM_CONFIG_CAPS layout");
