// The diagnostics channel (see platform/trace.h). Built into the platform
// library on POSIX and into the static library `dvtrace` on Windows.
#include "platform/trace.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/registry_key.h"

#ifndef _WIN32
#include <sys/syscall.h>
#include <unistd.h>
#endif

// Declared DV_TRACE_API in the header (exported from the platform library on
// POSIX); the brace form makes this the definition.
extern "C" {
std::atomic<int> dvTraceGate{INT_MAX};
}

namespace {

// The product's per-user settings key (the settings store uses the same).
constexpr const char* settingsKey = "Software\\VANTO Automation\\stereoWebcam";
constexpr size_t lineBytes = 1024;

// Guards reading the settings and, on Windows, the log file handle. Never held
// while a sink other than the file runs.
std::mutex& configGuard() {
    static std::mutex guard;
    return guard;
}
bool configRead = false;  // under configGuard
std::atomic<TraceSink> installedSink{nullptr};

#ifdef _WIN32
bool fileWanted = false;  // under configGuard

// The open log file; closed when the module is unloaded. Under configGuard.
struct LogFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool failed = false;  // opening failed once: not tried again until a reload
    ~LogFile() { close(); }
    void close() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        failed = false;
    }
};
LogFile logFile;
#endif

// A variable's text in `out`; false when it is not set or empty.
bool readEnvironment(const char* name, char* out, size_t size) {
#ifdef _WIN32
    // The process environment block, which SetEnvironmentVariable changes
    // (the C runtime's copy may lag behind it).
    const DWORD length = GetEnvironmentVariableA(name, out, static_cast<DWORD>(size));
    return length > 0 && length < size;
#else
    // Nothing in the product sets the environment; hosts set it before
    // they start threads.
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    if (!value || !*value) return false;
    std::snprintf(out, size, "%s", value);
    return true;
#endif
}

int levelFromText(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text) return static_cast<int>(TraceLevel::state);
    if (value < 0) return 0;
    return value > 3 ? 3 : static_cast<int>(value);
}

// A REG_DWORD value of the settings key, or -1 when there is none.
long readRegistryDword(const RegistryKey& key, const char* name) {
    if (!key) return -1;
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return -1;
    return static_cast<long>(value);
}

// Caller holds configGuard.
void readConfig() {
    RegistryKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, settingsKey, 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
        key.reset();

    char text[32];
    int level = 0;
    if (readEnvironment("DV_TRACE", text, sizeof(text))) {
        level = levelFromText(text);
    } else {
        const long stored = readRegistryDword(key, "TraceLevel");
        if (stored > 0) level = stored > 3 ? 3 : static_cast<int>(stored);
    }
#ifdef _WIN32
    if (readEnvironment("DV_TRACE_FILE", text, sizeof(text)))
        fileWanted = std::strcmp(text, "0") != 0;
    else
        fileWanted = readRegistryDword(key, "TraceFile") > 0;
    logFile.close();
#endif
    configRead = true;
    dvTraceGate.store(level, std::memory_order_relaxed);
}

int currentLevel() {
    const int gate = dvTraceGate.load(std::memory_order_relaxed);
    if (gate != INT_MAX) return gate;
    std::lock_guard<std::mutex> hold(configGuard());
    if (!configRead) readConfig();
    return dvTraceGate.load(std::memory_order_relaxed);
}

unsigned long currentThreadId() {
#ifdef _WIN32
    return GetCurrentThreadId();
#elif defined(SYS_gettid)
    return static_cast<unsigned long>(syscall(SYS_gettid));
#else
    return static_cast<unsigned long>(getpid());
#endif
}

const char* levelName(int level) {
    switch (level) {
    case 1:
        return "error";
    case 2:
        return "state";
    default:
        return "verbose";
    }
}

void platformOutput(const char* line) {
#ifdef _WIN32
    OutputDebugStringA(line);
    std::lock_guard<std::mutex> hold(configGuard());
    if (!fileWanted) return;
    if (logFile.handle == INVALID_HANDLE_VALUE && !logFile.failed) {
        char path[MAX_PATH + 16];
        if (dvTraceLogPath(path, sizeof(path)))
            logFile.handle =
                CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        logFile.failed = logFile.handle == INVALID_HANDLE_VALUE;
    }
    if (logFile.handle == INVALID_HANDLE_VALUE) return;
    // One write per line, ended "\r\n" for Windows editors; appends from
    // several processes stay whole lines.
    char fileLine[lineBytes + 2];
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') --length;
    std::memcpy(fileLine, line, length);
    fileLine[length++] = '\r';
    fileLine[length++] = '\n';
    DWORD written = 0;
    WriteFile(logFile.handle, fileLine, static_cast<DWORD>(length), &written, nullptr);
#else
    std::fputs(line, stderr);
#endif
}

// Appends the UTF-8 form of `code` if it fits before `end` (which leaves room
// for the terminator).
char* appendUtf8(char* at, const char* end, unsigned long code) {
    char bytes[4];
    int count;
    if (code < 0x80) {
        bytes[0] = static_cast<char>(code);
        count = 1;
    } else if (code < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (code >> 6));
        bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
        count = 2;
    } else if (code < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (code >> 12));
        bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
        count = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (code >> 18));
        bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
        count = 4;
    }
    if (end - at < count) return nullptr;
    std::memcpy(at, bytes, static_cast<size_t>(count));
    return at + count;
}

struct NamedResult {
    HRESULT code;
    const char* name;
};

// The codes this component and its hosts commonly return.
const NamedResult resultNames[] = {
    {S_OK, "S_OK"},
    {S_FALSE, "S_FALSE"},
    {E_FAIL, "E_FAIL"},
    {E_POINTER, "E_POINTER"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {VFW_E_NOT_FOUND, "VFW_E_NOT_FOUND"},
    {VFW_E_NOT_CONNECTED, "VFW_E_NOT_CONNECTED"},
    {VFW_E_ALREADY_CONNECTED, "VFW_E_ALREADY_CONNECTED"},
    {VFW_E_NOT_STOPPED, "VFW_E_NOT_STOPPED"},
    {VFW_E_TYPE_NOT_ACCEPTED, "VFW_E_TYPE_NOT_ACCEPTED"},
    {VFW_E_NO_ACCEPTABLE_TYPES, "VFW_E_NO_ACCEPTABLE_TYPES"},
    {VFW_E_CANNOT_CONNECT, "VFW_E_CANNOT_CONNECT"},
    {VFW_E_NO_ALLOCATOR, "VFW_E_NO_ALLOCATOR"},
    {VFW_E_NOT_COMMITTED, "VFW_E_NOT_COMMITTED"},
    {VFW_E_SIZENOTSET, "VFW_E_SIZENOTSET"},
    {VFW_E_BUFFERS_OUTSTANDING, "VFW_E_BUFFERS_OUTSTANDING"},
    {VFW_E_WRONG_STATE, "VFW_E_WRONG_STATE"},
    {VFW_E_RUNTIME_ERROR, "VFW_E_RUNTIME_ERROR"},
    {VFW_E_ENUM_OUT_OF_SYNC, "VFW_E_ENUM_OUT_OF_SYNC"},
    {VFW_E_NOT_IN_GRAPH, "VFW_E_NOT_IN_GRAPH"},
};

const char* subtypeName(const GUID& subtype, char* fourCc) {
    if (subtype == MEDIASUBTYPE_RGB24) return "RGB24";
    if (subtype == MEDIASUBTYPE_RGB32) return "RGB32";
    if (subtype == MEDIASUBTYPE_RGB565) return "RGB565";
    if (subtype == MEDIASUBTYPE_RGB555) return "RGB555";
    if (subtype == MEDIASUBTYPE_RGB8) return "RGB8";
    // A FOURCC subtype: XXXXXXXX-0000-0010-8000-00AA00389B71.
    static const unsigned char fourCcTail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    if (subtype.Data2 == 0 && subtype.Data3 == 0x10 && std::memcmp(subtype.Data4, fourCcTail, 8) == 0) {
        for (int i = 0; i < 4; ++i) {
            const char c = static_cast<char>((subtype.Data1 >> (8 * i)) & 0xFF);
            fourCc[i] = c > 0x20 && c < 0x7F ? c : '?';
        }
        fourCc[4] = 0;
        return fourCc;
    }
    return nullptr;
}

}  // namespace

DV_TRACE_API bool dvTraceEnabled(int level) {
    return level > 0 && currentLevel() >= level;
}

DV_TRACE_API int dvTraceLevel() {
    return currentLevel();
}

DV_TRACE_API void dvTraceReload() {
    std::lock_guard<std::mutex> hold(configGuard());
    readConfig();
}

DV_TRACE_API TraceSink dvSetTraceSink(TraceSink sink) {
    return installedSink.exchange(sink);
}

DV_TRACE_API void dvTraceWrite(int level, const char* format, ...) {
    if (!dvTraceEnabled(level)) return;
    char line[lineBytes];
    int used = std::snprintf(line, sizeof(line), "Duoview2 [%lu] %s: ", currentThreadId(), levelName(level));
    if (used < 0) return;
    va_list args;
    va_start(args, format);
    const int message = std::vsnprintf(line + used, sizeof(line) - static_cast<size_t>(used), format, args);
    va_end(args);
    size_t length = message < 0 ? static_cast<size_t>(used)
                                : std::strlen(line);  // a long message was cut at the buffer's end
    if (length > sizeof(line) - 2) length = sizeof(line) - 2;
    line[length++] = '\n';
    line[length] = 0;
    const TraceSink sink = installedSink.load();
    if (sink)
        sink(line);
    else
        platformOutput(line);
}

#ifdef _WIN32
DV_TRACE_API bool dvTraceLogPath(char* out, DWORD size) {
    if (!out || size == 0) return false;
    static const char logFileName[] = "Duoview2.log";
    const DWORD folder = GetTempPathA(size, out);
    if (folder == 0 || folder + sizeof(logFileName) > size) return false;
    std::memcpy(out + folder, logFileName, sizeof(logFileName));
    return true;
}
#endif

DV_TRACE_API void dvFormatHresult(HRESULT hr, char* out, size_t size) {
    if (!out || size == 0) return;
    for (const NamedResult& known : resultNames) {
        if (known.code == hr) {
            std::snprintf(out, size, "0x%08lX %s", static_cast<unsigned long>(static_cast<uint32_t>(hr)),
                          known.name);
            return;
        }
    }
    std::snprintf(out, size, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
}

DV_TRACE_API void dvFormatMediaType(const AM_MEDIA_TYPE* type, char* out, size_t size) {
    if (!out || size == 0) return;
    if (!type) {
        std::snprintf(out, size, "(none)");
        return;
    }
    if (type->majortype != MEDIATYPE_Video) {
        std::snprintf(out, size, "(not video)");
        return;
    }
    char fourCc[5];
    const char* name = subtypeName(type->subtype, fourCc);
    char unknown[16];
    if (!name) {
        std::snprintf(unknown, sizeof(unknown), "{%08lX-...}",
                      static_cast<unsigned long>(type->subtype.Data1));
        name = unknown;
    }
    if (type->formattype != FORMAT_VideoInfo || !type->pbFormat || type->cbFormat < sizeof(VIDEOINFOHEADER)) {
        std::snprintf(out, size, "%s (no VIDEOINFOHEADER)", name);
        return;
    }
    VIDEOINFOHEADER info;
    std::memcpy(&info, type->pbFormat, sizeof(info));  // the block need not be aligned
    const long long interval = info.AvgTimePerFrame;
    if (interval > 0)
        std::snprintf(out, size, "%s %ldx%ld %u bit %lld (%.2f fps)", name,
                      static_cast<long>(info.bmiHeader.biWidth), static_cast<long>(info.bmiHeader.biHeight),
                      static_cast<unsigned>(info.bmiHeader.biBitCount), interval,
                      1e7 / static_cast<double>(interval));
    else
        std::snprintf(out, size, "%s %ldx%ld %u bit (no frame interval)", name,
                      static_cast<long>(info.bmiHeader.biWidth), static_cast<long>(info.bmiHeader.biHeight),
                      static_cast<unsigned>(info.bmiHeader.biBitCount));
}

DV_TRACE_API void dvFormatWide(const wchar_t* text, char* out, size_t size) {
    if (!out || size == 0) return;
    if (!text) {
        std::snprintf(out, size, "(null)");
        return;
    }
    char* at = out;
    char* const end = out + size - 1;
    for (const wchar_t* from = text; *from && at; ++from) {
        // A UTF-16 or UTF-32 code unit, not a character byte.
        unsigned long code = static_cast<unsigned long>(*from);  // NOLINT(bugprone-signed-char-misuse)
        if (sizeof(wchar_t) == 2 && code >= 0xD800 && code < 0xDC00 && from[1] >= 0xDC00 &&
            from[1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned long>(from[1]) - 0xDC00);
            ++from;
        }
        if ((code >= 0xD800 && code < 0xE000) || code > 0x10FFFF) code = 0xFFFD;
        char* next = appendUtf8(at, end, code);
        if (!next) break;
        at = next;
    }
    *at = 0;
}
