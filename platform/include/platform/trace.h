// The diagnostics channel: one line per event, off unless the user asks for it.
//
// Level (read once per process, lazily; dvTraceReload reads it again):
//   the environment variable DV_TRACE if it is set and not empty (a number is
//   the level, clamped to 0..3; any other text means TraceLevel::state), else
//   the REG_DWORD value TraceLevel under
//   HKCU\Software\VANTO Automation\stereoWebcam, else off.
// Output: on Windows OutputDebugStringA, plus the file Duoview2.log in the
//   user's temporary folder (GetTempPath) when DV_TRACE_FILE is set to a value
//   other than "0", or, without that variable, when the REG_DWORD value
//   TraceFile under the same key is non-zero. On POSIX stderr.
// Line: "Duoview2 [<thread id>] <level>: <message>".
//
// A disabled trace costs one relaxed load and a compare: DV_TRACE evaluates
// its arguments only when the level is on. Formatting uses a fixed buffer on
// the stack; nothing is allocated. Every function here is thread-safe. On
// POSIX the state lives once per process in the platform library; on Windows
// each module that links it has its own copy (each reads the same settings).
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/win.h"

enum class TraceLevel : int { off = 0, error = 1, state = 2, verbose = 3 };

#ifdef _WIN32
#define DV_TRACE_API extern "C"
#ifdef __MINGW_PRINTF_FORMAT
#define DV_TRACE_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define DV_TRACE_PRINTF(f, a)
#endif
#else
#define DV_TRACE_API DVAPI
#define DV_TRACE_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

// The effective level once it has been read; larger than every level before
// that, so that the first check takes the slow path that reads it.
DV_TRACE_API std::atomic<int> dvTraceGate;

// True when lines of `level` are written (reads the settings on first use).
DV_TRACE_API bool dvTraceEnabled(int level);
// The effective level, 0..3 (reads the settings on first use).
DV_TRACE_API int dvTraceLevel();
// Reads the environment and the registry again (tests, tools). On Windows a
// log file opened before is closed; the next line opens it again if wanted.
DV_TRACE_API void dvTraceReload();
// Formats one message and writes it as a line of `level`, if that level is on.
DV_TRACE_API void dvTraceWrite(int level, const char* format, ...) DV_TRACE_PRINTF(2, 3);

// Receives each finished line (with its '\n') instead of the platform output.
// Called on the tracing thread, possibly on several threads at once.
using TraceSink = void (*)(const char* line);
// Installs `sink` (null restores the platform output) and returns the previous
// one (null for the platform output).
DV_TRACE_API TraceSink dvSetTraceSink(TraceSink sink);

#ifdef _WIN32
// The log file's path (whether or not the file sink is on); false when the
// temporary folder is unknown or the path does not fit `size` bytes.
DV_TRACE_API bool dvTraceLogPath(char* out, DWORD size);
#endif

// Text helpers; each writes a terminated text of at most size - 1 bytes.
// "0x80004005 E_FAIL" (the name only for well-known codes).
DV_TRACE_API void dvFormatHresult(HRESULT hr, char* out, size_t size);
// "RGB24 640x480 24 bit 333333 (30.00 fps)"; "(none)" for null; major or
// format types other than video / VIDEOINFOHEADER are named as such.
DV_TRACE_API void dvFormatMediaType(const AM_MEDIA_TYPE* type, char* out, size_t size);
// A wide (UTF-16 on Windows, UTF-32 on POSIX) text as UTF-8; "(null)" for null.
DV_TRACE_API void dvFormatWide(const wchar_t* text, char* out, size_t size);

// Stack buffers for the helpers, to be used as arguments of DV_TRACE:
//   DV_TRACE(TraceLevel::error, "x failed: %s", TraceHr(hr).text);
struct TraceHr {
    explicit TraceHr(HRESULT hr) { dvFormatHresult(hr, text, sizeof(text)); }
    char text[48];
};
struct TraceType {
    explicit TraceType(const AM_MEDIA_TYPE* type) { dvFormatMediaType(type, text, sizeof(text)); }
    char text[96];
};
struct TraceText {
    explicit TraceText(const wchar_t* wide) { dvFormatWide(wide, text, sizeof(text)); }
    char text[160];
};

#define DV_TRACE(level, ...)                                                                               \
    do {                                                                                                   \
        if (__builtin_expect(dvTraceGate.load(std::memory_order_relaxed) >= static_cast<int>(level), 0) && \
            dvTraceEnabled(static_cast<int>(level)))                                                       \
            dvTraceWrite(static_cast<int>(level), __VA_ARGS__);                                            \
    } while (0)
