// Test helper: runs the trace at a chosen level for the lifetime of the
// object, with every line captured instead of written to the platform output.
// One instance at a time; the environment variable and the sink are
// process-wide.
#pragma once

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/trace.h"

// Sets (value non-null) or removes an environment variable of this process as
// the trace reads it.
inline void setTraceEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

class TraceCapture {
public:
    // `level` as DV_TRACE would hold it; null leaves the variable unset.
    explicit TraceCapture(const char* level) {
        setTraceEnvironment("DV_TRACE", level);
        dvTraceReload();
        previous = dvSetTraceSink(&TraceCapture::collect);
        take();
    }
    ~TraceCapture() {
        dvSetTraceSink(previous);
        setTraceEnvironment("DV_TRACE", nullptr);
        dvTraceReload();
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // The lines written since the last call.
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> hold(guard());
        std::vector<std::string> taken;
        taken.swap(store());
        return taken;
    }

private:
    static std::mutex& guard() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::string>& store() {
        static std::vector<std::string> lines;
        return lines;
    }
    static void collect(const char* line) {
        std::lock_guard<std::mutex> hold(guard());
        store().emplace_back(line);
    }

    TraceSink previous = nullptr;
};
