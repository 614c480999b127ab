// Test and tool hook for message boxes. On POSIX, MessageBoxA/W call the
// installed handler (process-wide, in the platform library, so the handler a
// test installs is the one every component library calls). On Windows the
// real message box is shown and this hook does not exist.
#pragma once

#include "platform/win.h"

#ifndef _WIN32
// Called with UTF-8 text and caption and the MB_* style; returns the button id.
using MessageBoxHandler = int (*)(const char* text, const char* caption, unsigned type);
// Installs `handler` (null restores the default: caption and text to stderr,
// answer IDOK) and returns the previous one. Thread-safe.
DVAPI MessageBoxHandler dvSetMessageBoxHandler(MessageBoxHandler handler);
#endif
