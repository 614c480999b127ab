// duoview2-host: uses the virtual camera "Vanto 3D Virtual Camera2" exactly
// as a video application does - device enumerator, moniker, filter graph,
// media control and events - and records what it delivers. See hostUsage().
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "components.h"
#include "filter/stereo_interfaces.h"
#include "framework/framework.h"
#include "framework/runtime_settings.h"
#include "host_sink.h"
#include "options.h"
#include "recorder.h"
#include "settings_command.h"
#ifdef DV_HOST_V4L2_FILE
#include "platform/v4l2_io.h"
#endif
#ifdef DV_HOST_V4L2_OUTPUT
#include "fake_v4l2_device.h"
#include "v4l2_output.h"
#endif

namespace {

const char* const testCameraLeft = "Duoview Test Camera A";
const char* const testCameraRight = "Duoview Test Camera B";
// What the camera selection page says when both sides name one camera.
const char* const sameCameraText = "Left and Right camera can not be the same one, please reselect.";

// Whether --left and --right both name one camera, as `devices` resolves
// them (two cameras of one model that share a name are two cameras).
bool sameCameraRequested(const HostOptions& options, const std::vector<VideoDevice>& devices) {
    return resolveCameraPair(devices, options.leftName, options.rightName).same;
}

// Exit status 2 (a bad command line) with the page's text.
int refuseSameCamera(const HostOptions& options) {
    std::fprintf(stderr, "duoview2-host: --left \"%s\" and --right \"%s\" name one camera: %s\n",
                 options.leftName.c_str(), options.rightName.c_str(), sameCameraText);
    return 2;
}

// User plus system time of the whole process so far, in seconds (every
// thread: the cameras', the virtual camera's delivery, the output's); -1 when
// the system does not say.
double processCpuSeconds() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
#else
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#endif
}

// Creates `path` and any missing parent folders.
bool makeFolder(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/' && path[at] != '\\') continue;
        const std::string part = path.substr(0, at);
        if (part.size() == 2 && part[1] == ':') continue;  // a drive letter
#ifdef _WIN32
        const int made = _mkdir(part.c_str());
#else
        const int made = mkdir(part.c_str(), 0777);
#endif
        if (made != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Keeps COM initialised for the host's main thread.
struct ComScope {
    explicit ComScope(DWORD model) : hr(CoInitializeEx(nullptr, model)) {}
    ~ComScope() {
        if (SUCCEEDED(hr)) CoUninitialize();
    }
    HRESULT hr;
};

#ifdef _WIN32
// A console host has nobody to answer the product's message boxes (under Wine
// with the null display driver nobody can see them either): print each one
// and answer OK, as the POSIX platform's default handler does.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer() : worker([this] { run(); }) {}
    ~MessageBoxAnswerer() {
        stopping = true;
        worker.join();
    }

private:
    static BOOL CALLBACK visit(HWND window, LPARAM) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
        WCHAR className[16] = {};
        GetClassNameW(window, className, 16);
        // A message box is a dialog with its text in control 0xFFFF.
        if (std::wcscmp(className, L"#32770") != 0 || !GetDlgItem(window, 0xFFFF)) return TRUE;
        char caption[256] = {}, text[1024] = {};
        GetWindowTextA(window, caption, sizeof caption);
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);  // a message box's text control
        std::fprintf(stderr, "\nmessage box \"%s\": %s (answered OK)\n", caption, text);
        PostMessageW(window, WM_COMMAND, IDOK, 0);
        return TRUE;
    }
    void run() {
        while (!stopping) {
            EnumWindows(visit, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    std::atomic<bool> stopping{false};
    std::thread worker;
};
#endif

// Registers the product and the test cameras unless they already are (by a
// listed device whose class's server file exists).
bool ensureRegistered(const HostOptions& options, const std::vector<VideoDevice>& devices, bool* changed) {
    struct Module {
        const char* what;
        std::string path;
        const char* deviceName;  // null: the module lists no device of its own
        const CLSID* classId;    // checked when known
        bool forced;             // its path was given on the command line
        bool required;
    };
    std::string productPath = options.productPath.empty()
                                  ? findModule(DV_HOST_PRODUCT_FILE, DV_HOST_PRODUCT_RELPATH)
                                  : absolutePath(options.productPath);
    std::string camsPath = options.testCamsPath.empty()
                               ? findModule(DV_HOST_TESTCAMS_FILE, DV_HOST_TESTCAMS_RELPATH)
                               : absolutePath(options.testCamsPath);
    const std::string vcamName = virtualCameraName();
    const Module modules[] = {
        {"virtual camera", productPath, vcamName.c_str(), &CLSID_StereoCameraFilter,
         !options.productPath.empty(), true},
        {"test cameras", camsPath, testCameraLeft, nullptr, !options.testCamsPath.empty(), false},
#ifdef DV_HOST_V4L2_FILE
        // The source that V4L2 webcams (listed by the device enumerator) bind to.
        {"V4L2 camera source", findModule(DV_HOST_V4L2_FILE, DV_HOST_V4L2_RELPATH), nullptr,
         &CLSID_DvV4l2CaptureSource, false, false},
#endif
    };
    *changed = false;
    for (const Module& module : modules) {
        bool listed = !module.deviceName;
        for (const VideoDevice& device : devices)
            listed = listed || device.name == module.deviceName;
        const bool serverOk = !module.classId || fileExists(registeredServerPath(*module.classId));
        if (listed && serverOk && !module.forced) continue;
        if (module.path.empty()) {
            std::fprintf(stderr,
                         "duoview2-host: %s: not registered, and the module was not found (use --%s PATH)\n",
                         module.what, module.required ? "product" : "testcams");
            if (module.required) return false;
            continue;  // the user's own cameras may do
        }
        const HRESULT hr = callModuleEntry(module.path, "DllRegisterServer");
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: DllRegisterServer of %s failed (%s)\n", module.path.c_str(),
                         hresultText(hr).c_str());
            return false;
        }
        std::printf("registered %s: %s\n", module.what, module.path.c_str());
        *changed = true;
    }
    return true;
}

int listCommand(const std::vector<VideoDevice>& devices) {
    std::printf("video input devices (%zu):\n", devices.size());
    for (size_t i = 0; i < devices.size(); ++i)
        std::printf("  %zu: %s\n", i, devices[i].name.c_str());
    if (findDevice(devices, virtualCameraName()) < 0)
        std::printf("(\"%s\" is not registered; a run registers it)\n", virtualCameraName().c_str());
    return 0;
}

int unregisterCommand(const HostOptions& options) {
    const std::string paths[] = {
        options.productPath.empty() ? findModule(DV_HOST_PRODUCT_FILE, DV_HOST_PRODUCT_RELPATH)
                                    : options.productPath,
        options.testCamsPath.empty() ? findModule(DV_HOST_TESTCAMS_FILE, DV_HOST_TESTCAMS_RELPATH)
                                     : options.testCamsPath,
#ifdef DV_HOST_V4L2_FILE
        findModule(DV_HOST_V4L2_FILE, DV_HOST_V4L2_RELPATH),
#endif
    };
    int status = 0;
    for (const std::string& path : paths) {
        if (path.empty()) continue;
        const HRESULT hr = callModuleEntry(path, "DllUnregisterServer");
        std::printf("unregistered %s: %s\n", path.c_str(), SUCCEEDED(hr) ? "ok" : hresultText(hr).c_str());
        if (FAILED(hr)) status = 1;
    }
    return status;
}

// Stores the settings given on the command line (and the test cameras when
// no usable camera names are stored) where the filter reads them.
bool storeRequestedSettings(const HostOptions& options, const std::vector<VideoDevice>& devices) {
    // Names that became resolvable only through the registration are checked
    // here, still before anything is stored.
    if (sameCameraRequested(options, devices)) {
        refuseSameCamera(options);
        return false;
    }
    if (options.mode >= 0) writeStoredNumber("camMode", static_cast<DWORD>(options.mode));
    if (options.swap >= 0) writeStoredNumber("camPosition", static_cast<DWORD>(options.swap));
    if (options.sizeIndex >= 0) writeStoredNumber("camSize", static_cast<DWORD>(options.sizeIndex));
    const StoredSettings stored = readStoredSettings();
    const std::string vcamName = virtualCameraName();
    struct Side {
        const char* option;
        const char* valueName;
        const std::string& requested;
        const std::string& stored;
        const char* fallback;
    } sides[] = {{"--left", "lcamName", options.leftName, stored.leftName, testCameraLeft},
                 {"--right", "rcamName", options.rightName, stored.rightName, testCameraRight}};
    for (const Side& side : sides) {
        if (!side.requested.empty()) {
            const int index = findDevice(devices, side.requested);
            if (index < 0 || devices[static_cast<size_t>(index)].name == vcamName) {
                std::fprintf(stderr,
                             "duoview2-host: %s '%s' names no camera (or more than one); see --list\n",
                             side.option, side.requested.c_str());
                return false;
            }
            writeStoredName(side.valueName, devices[static_cast<size_t>(index)].name);
            continue;
        }
        // The product matches stored names exactly; with nothing usable
        // stored, the built-in test cameras stand in.
        bool usable = false;
        for (const VideoDevice& device : devices)
            usable = usable || (!side.stored.empty() && device.name == side.stored);
        if (!usable && findDevice(devices, side.fallback) >= 0)
            writeStoredName(side.valueName, side.fallback);
    }
    return true;
}

// The owned copy of a media type that an interface handed out from the task
// allocator; the handed-out structure is freed here.
MediaFormat adoptMediaType(AM_MEDIA_TYPE* type) {
    MediaFormat owned;
    if (type) {
        owned.assign(*type);
        deleteMediaType(type);
    }
    return owned;
}

// Hands every picture to the output device first (the least delay for its
// readers), then to the recorder. Both outlive the graph's streaming.
class FrameFanOut final : public FrameConsumer {
public:
    FrameFanOut(FrameConsumer* first, FrameConsumer* second) : first(first), second(second) {}
    void onFrame(const SinkFrame& frame) override {
        if (first) first->onFrame(frame);
        second->onFrame(frame);
    }
    void onEndOfStream() override {
        if (first) first->onEndOfStream();
        second->onEndOfStream();
    }

private:
    FrameConsumer* first;   // weak, may be null: the output device's writer
    FrameConsumer* second;  // weak: the recorder
};

#ifndef _WIN32
// While alive, SIGINT and SIGTERM ask the run to stop cleanly: the handler
// only stores the signal's number, which the main loop polls. The handler
// resets itself, so a second signal of the same kind ends the process as by
// default. One instance at a time, on the main thread.
class StopSignals {
public:
    StopSignals() {
        received.store(0);
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        sigaction(SIGINT, &action, &previousInt);
        sigaction(SIGTERM, &action, &previousTerm);
    }
    ~StopSignals() {
        sigaction(SIGINT, &previousInt, nullptr);
        sigaction(SIGTERM, &previousTerm, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // The signal received (0: none yet).
    static int signalNumber() { return received.load(); }

private:
    static void onSignal(int number) { received.store(number); }
    // Lock-free, so the handler may store it on whichever thread it runs.
    static std::atomic<int> received;
    static_assert(std::atomic<int>::is_always_lock_free, "a signal handler stores it");
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
};
std::atomic<int> StopSignals::received{0};
#endif

// One run of the virtual camera, in the steps the command takes. Each step
// prints its own failure and returns false; run() maps the first failure to
// the exit status. Lives on the main thread; the graph's delivery thread
// reaches only the recorder and the output writer, through the sink, between
// Run and Stop.
class RunSession {
public:
    RunSession(const HostOptions& options, const std::vector<VideoDevice>& devices)
        : options(options),
          devices(devices),
          recorder(options.outDir, options.snapshotEvery, options.output.empty() || options.record) {}
    // Takes down what the steps left built (after a failed step).
    ~RunSession() { takeDown(); }

    int run() {
        if (!applySettings()) return exitStatus(Outcome::badCommandLine);
        const bool done = findVirtualCamera() && buildGraph() && prepareOutputs() && stream();
        return exitStatus(done && report() ? Outcome::ok : Outcome::failed);
    }

private:
    enum class Outcome { ok, badCommandLine, failed };
    // 0 success, 1 no graph or no frames, 2 a bad command line.
    static int exitStatus(Outcome outcome) {
        return outcome == Outcome::ok ? 0 : outcome == Outcome::badCommandLine ? 2 : 1;
    }

    // The options into the product's settings, where the filter reads them.
    bool applySettings() { return storeRequestedSettings(options, devices); }

    // Binds the virtual camera and prints the settings it took.
    bool findVirtualCamera() {
        std::string error;
        if (!openVirtualCamera(devices, &camera, &error)) {
            std::fprintf(stderr, "duoview2-host: %s\n", error.c_str());
            return false;
        }
        int mode = -1, swap = -1, sizeIndex = -1, left = -1, right = -1;
        camera.imageControl->GetImageMode(&mode);
        camera.imageControl->GetSwapFlag(&swap);
        camera.selection->GetSizeIndex(&sizeIndex);
        camera.selection->GetCameraIndices(&left, &right);
        auto nameAt = [&](int index) {
            return index >= 0 && static_cast<size_t>(index) < devices.size()
                       ? devices[static_cast<size_t>(index)].name
                       : std::string("(none)");
        };
        const char* modeName = imageModeName(mode);
        std::printf("virtual camera: mode %d (%s), swap %d, size %s, left \"%s\", right \"%s\"\n", mode,
                    modeName ? modeName : "?", swap, sizeIndex == 1 ? "640x480" : "320x240",
                    nameAt(left).c_str(), nameAt(right).c_str());
        return true;
    }

    // A graph with the camera and the host's renderer, connected at the
    // format the camera offers (the stored size).
    bool buildGraph() {
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      reinterpret_cast<void**>(graph.GetAddressOf()));
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: no filter graph manager (%s)\n", hresultText(hr).c_str());
            return false;
        }
        sinkObject = new HostSinkFilter(&fanOut);
        sink = ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(sinkObject));
        const std::wstring vcamWide(virtualCameraFriendlyName);
        hr = graph->AddFilter(camera.filter.Get(), vcamWide.c_str());
        cameraAdded = SUCCEEDED(hr);
        if (SUCCEEDED(hr)) hr = graph->AddFilter(sink.Get(), L"Duoview2 Host Renderer");
        sinkAdded = cameraAdded && SUCCEEDED(hr);
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: AddFilter failed (%s)\n", hresultText(hr).c_str());
            return false;
        }
        AM_MEDIA_TYPE* offeredType = nullptr;
        hr = camera.streamConfig->GetFormat(&offeredType);
        MediaFormat offered = adoptMediaType(offeredType);
        const VIDEOINFOHEADER* offeredInfo = offered.videoInfo();
        if (FAILED(hr) || !offeredInfo) {
            std::fprintf(stderr, "duoview2-host: IAMStreamConfig::GetFormat failed (%s)\n",
                         hresultText(hr).c_str());
            return false;
        }
        sinkObject->expectSize(offeredInfo->bmiHeader.biWidth, offeredInfo->bmiHeader.biHeight);
        hr = graph->ConnectDirect(camera.output.Get(), sinkObject->inputPin(), offered.raw());
        if (FAILED(hr)) {
            std::fprintf(stderr,
                         "duoview2-host: connecting Output1 failed (%s): the cameras could not be attached "
                         "(two cameras besides the virtual one are needed; see --list)\n",
                         hresultText(hr).c_str());
            return false;
        }
        MediaFormat agreed;
        sinkObject->inputPin()->ConnectionMediaType(agreed.raw());
        const VIDEOINFOHEADER* info = agreed.videoInfo();
        width = info ? info->bmiHeader.biWidth : 0;
        height = info ? info->bmiHeader.biHeight : 0;
        interval = info ? info->AvgTimePerFrame : 0;
        return true;
    }

    // The recorder's files and, with --output, the V4L2 device.
    bool prepareOutputs() {
        if (!makeFolder(options.outDir) || !recorder.start(width, height, interval)) {
            std::fprintf(stderr, "duoview2-host: cannot write %s\n", recorder.videoPath().c_str());
            return false;
        }
        std::printf("connected: Output1 -> renderer, %dx%d RGB24, %.2f fps nominal\n", width, height,
                    interval > 0 ? 1e7 / static_cast<double>(interval) : 0.0);
        return options.output.empty() || openOutputDevice();
    }

#ifdef DV_HOST_V4L2_OUTPUT
    bool openOutputDevice() {
        // The test hook stands an in-memory device in for the kernel's.
        fakeDevices = FakeV4l2Devices::fromEnvironment(&fakeReportFolder);
        V4l2DeviceIo& io = fakeDevices ? *fakeDevices : systemV4l2Io();
        OutputPixelFormat format = OutputPixelFormat::yuyv;
        parseOutputPixelFormat(options.outputFormat, &format);
        OutputNode node;
        std::string error;
        if (!resolveOutputNode(io, options.output, &node, &error)) {
            std::fprintf(stderr, "duoview2-host: --output: %s\n", error.c_str());
            return false;
        }
        writer = std::make_unique<V4l2OutputWriter>(io, format);
        if (!writer->open(node, width, height, interval, &error)) {
            std::fprintf(stderr, "duoview2-host: --output: %s\n", error.c_str());
            writer.reset();
            return false;
        }
        if (!writer->warning().empty())
            std::fprintf(stderr, "duoview2-host: --output: %s\n", writer->warning().c_str());
        fanOut = FrameFanOut(writer.get(), &recorder);
        HostSinkFilter* clockOf = sinkObject;  // the graph holds it while it runs
        writer->setStreamClock(
            [clockOf](REFERENCE_TIME* now) { return clockOf && SUCCEEDED(clockOf->currentStreamTime(now)); });
        std::printf("output: %s (\"%s\"), %dx%d %s, %u bytes per line, %.2f fps\n", node.path.c_str(),
                    node.card.c_str(), width, height, outputPixelFormatName(format), writer->bytesPerLine(),
                    interval > 0 ? 1e7 / static_cast<double>(interval) : 0.0);
        return true;
    }
#else
    bool openOutputDevice() {
        // parseHostOptions refuses --output on such builds.
        std::fprintf(stderr, "duoview2-host: --output is not available in this build\n");
        return false;
    }
#endif

    void printProgress(const StreamRecorder::Progress& p, double elapsed, bool tty) const {
        std::printf("%sframes %ld  %.1f fps  dropped %ld  time gaps %ld  ", tty ? "\r" : "", p.frames,
                    p.recentFps, p.mediaTimeGaps, p.frameTimeGaps);
        if (runsUntilInterrupted(options))
            std::printf("%.1f s", elapsed);
        else
            std::printf("%.1f/%.0f s", elapsed, options.seconds);
#ifdef DV_HOST_V4L2_OUTPUT
        if (writer) std::printf("  out %ld, no buffer %ld", writer->framesWritten(), writer->framesDropped());
#endif
        std::printf("%s", tty ? "   " : "\n");
        std::fflush(stdout);
    }

    // Runs the graph until the time, the frame count, the end of the stream,
    // a graph error or (with --output) SIGINT/SIGTERM, then stops it and
    // releases the output device.
    bool stream() {
        ComPtr<IMediaEvent> events;
        graph.As(&control);
        graph.As(&events);
        if (!control || !events) {
            std::fprintf(stderr, "duoview2-host: the graph offers no IMediaControl/IMediaEvent\n");
            return false;
        }
#ifndef _WIN32
        std::unique_ptr<StopSignals> signals;
        if (!options.output.empty()) signals = std::make_unique<StopSignals>();
#endif
        const bool unbounded = runsUntilInterrupted(options);
        const auto begin = std::chrono::steady_clock::now();
        cpuAtRun = processCpuSeconds();
        const HRESULT hr = control->Run();
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: Run failed (%s)\n", hresultText(hr).c_str());
            return false;
        }
        const bool tty = isatty(fileno(stdout)) != 0;
        double lastPrint = -1;
        stopReason = "time";
        for (;;) {
            elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            const StreamRecorder::Progress progress = recorder.progress();
            if (elapsed - lastPrint >= (tty ? 0.25 : 1.0)) {
                printProgress(progress, elapsed, tty);
                lastPrint = elapsed;
            }
#ifndef _WIN32
            if (signals && StopSignals::signalNumber() != 0) {
                stopReason = StopSignals::signalNumber() == SIGINT ? "SIGINT" : "SIGTERM";
                break;
            }
#endif
            if (!unbounded && elapsed >= options.seconds) break;
            if (options.maxFrames > 0 && progress.frames >= options.maxFrames) {
                stopReason = "frames";
                break;
            }
            if (graphEnded(events.Get())) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stopGraph();
        finalProgress = recorder.progress();
        const double cpuAtStop = processCpuSeconds();
        if (cpuAtRun >= 0 && cpuAtStop >= 0) cpuWhileRunning = cpuAtStop - cpuAtRun;
        printProgress(finalProgress, elapsed, tty);
        if (tty) std::printf("\n");
        filesWritten = recorder.finish();
        takeDown();
        return true;
    }

    // Drains the graph's events; true when one ended the stream.
    bool graphEnded(IMediaEvent* events) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        bool ended = false;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT) {
                ended = true;
                endedByGraph = true;
                stopReason = code == EC_COMPLETE ? "end of stream"
                                                 : "graph error " + hresultText(static_cast<HRESULT>(p1));
            }
        }
        return ended;
    }

    // The summary; true when frames arrived and every output took them.
    bool report() {
        std::printf(
            "summary: %ld frames in %.2f s (stopped by %s), %.1f fps average, dropped %ld (media-time gaps), "
            "time gaps %ld\n",
            finalProgress.frames, elapsed, stopReason.c_str(), finalProgress.averageFps,
            finalProgress.mediaTimeGaps, finalProgress.frameTimeGaps);
        if (cpuWhileRunning >= 0 && finalProgress.frames > 0 && elapsed > 0)
            std::printf("cpu: %.2f s user+system while running, %.1f ms per frame, %.0f%% of one core\n",
                        cpuWhileRunning, 1e3 * cpuWhileRunning / static_cast<double>(finalProgress.frames),
                        100.0 * cpuWhileRunning / elapsed);
        bool outputOk = true;
#ifdef DV_HOST_V4L2_OUTPUT
        if (writer) {
            std::printf("output: %ld frames written, %ld dropped (no free buffer), %ld failed\n",
                        writer->framesWritten(), writer->framesDropped(), writer->framesFailed());
            const V4l2OutputWriter::Latency lag = writer->latency();
            if (lag.frames > 0)
                std::printf(
                    "output: latency from capture to the device: mean %.1f ms, max %.1f ms (%ld frames)\n",
                    lag.meanMs, lag.maxMs, lag.frames);
            if (writer->framesFailed() > 0)
                std::fprintf(stderr, "duoview2-host: --output: %s\n", writer->failureText().c_str());
            outputOk = writer->framesWritten() > 0 && writer->framesFailed() == 0;
        }
#endif
        if (options.output.empty() || options.record) {
            const std::vector<std::string> pictures = recorder.snapshots();
            std::printf("video: %s (%dx%d, C420jpeg, %ld frames)\n", recorder.videoPath().c_str(), width,
                        height, finalProgress.frames);
            std::printf("snapshots (%s):", pngEncoderName());
            for (const std::string& path : pictures)
                std::printf(" %s", path.c_str());
            std::printf("\n");
        }
        if (!filesWritten) std::fprintf(stderr, "duoview2-host: some output could not be written\n");
        // The cameras never end their stream on their own: an end before the
        // run's limit means one failed or was unplugged (the trace names it).
        if (endedByGraph)
            std::fprintf(stderr,
                         "duoview2-host: the stream ended before the run did (%s): a camera stopped "
                         "delivering, unplugged or failed; --trace 1 names it\n",
                         stopReason.c_str());
        return finalProgress.frames > 0 && filesWritten && outputOk && !endedByGraph;
    }

    void stopGraph() {
        if (control) {
            control->Stop();
            control.Reset();
        }
    }

    // Stops the graph if it runs, closes the output device and removes the
    // filters from the graph. Idempotent.
    void takeDown() {
        stopGraph();
#ifdef DV_HOST_V4L2_OUTPUT
        if (writer) writer->close();
        if (fakeDevices && !fakeDevices->writeReport(fakeReportFolder))
            std::fprintf(stderr, "duoview2-host: cannot write the fake device's report\n");
        fakeDevices.reset();
#endif
        if (sinkAdded) graph->RemoveFilter(sink.Get());
        if (cameraAdded) graph->RemoveFilter(camera.filter.Get());
        sinkAdded = cameraAdded = false;
    }

    const HostOptions& options;
    const std::vector<VideoDevice>& devices;
    VirtualCamera camera;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;  // set while the graph may run
    StreamRecorder recorder;
#ifdef DV_HOST_V4L2_OUTPUT
    std::unique_ptr<V4l2OutputWriter> writer;
    std::unique_ptr<FakeV4l2Devices> fakeDevices;  // the test hook's device, when set
    std::string fakeReportFolder;
#endif
    FrameFanOut fanOut{nullptr, &recorder};  // set before the graph runs
    HostSinkFilter* sinkObject = nullptr;    // weak: `sink` holds it
    ComPtr<IBaseFilter> sink;
    bool cameraAdded = false, sinkAdded = false;
    int width = 0, height = 0;
    int64_t interval = 0;
    double elapsed = 0;
    double cpuAtRun = -1, cpuWhileRunning = -1;  // process CPU seconds, from Run to Stop
    std::string stopReason;
    bool endedByGraph = false;  // the graph ended the stream (end of stream or error), not the run
    StreamRecorder::Progress finalProgress;
    bool filesWritten = false;
};

int runCommand(const HostOptions& options, std::vector<VideoDevice>& devices) {
    RunSession session(options, devices);
    return session.run();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    HostOptions options;
    std::string error;
    if (!parseHostOptions(args, &options, &error)) {
        std::fprintf(stderr, "duoview2-host: %s\n", error.c_str());
        return 2;
    }
    if (options.command == HostCommand::help) {
        std::fputs(hostUsage(), stdout);
        return 0;
    }
    if (options.traceLevel >= 0)
        std::printf("trace: level %d to %s\n", options.traceLevel,
                    enableProductTrace(options.traceLevel).c_str());
    // A run never silently puts another camera on one side: refused once the
    // devices are listed, before anything is registered or built (two equal
    // names may be two cameras of one model). The settings command leaves
    // this check to the camera selection page.
    const bool run = options.command == HostCommand::run;
#ifndef _WIN32
    // A private store unless the user chose one: the host never touches the
    // user's own registry by default.
    if (const char* dir = std::getenv("DV_REGISTRY_DIR"); !dir || !*dir) {
        if (!makeFolder(options.outDir)) {
            std::fprintf(stderr, "duoview2-host: cannot create %s\n", options.outDir.c_str());
            return 1;
        }
        const std::string registry = absolutePath(options.outDir) + "/registry";
        setenv("DV_REGISTRY_DIR", registry.c_str(), 1);
        std::printf("registry: %s\n", registry.c_str());
    }
#endif
    const bool settings = options.command == HostCommand::settings;
    ComScope com(settings ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
    if (FAILED(com.hr)) {
        std::fprintf(stderr, "duoview2-host: CoInitializeEx failed (%s)\n", hresultText(com.hr).c_str());
        return 1;
    }
    if (options.command == HostCommand::unregister) return unregisterCommand(options);

    int status = 1;
    {
        std::vector<VideoDevice> devices;
        HRESULT hr = listVideoDevices(&devices);
        if (SUCCEEDED(hr) && run && sameCameraRequested(options, devices)) return refuseSameCamera(options);
        bool changed = false;
        // Listing only looks: it registers nothing, so it also shows what a
        // registration or its removal did.
        const bool registers = options.command != HostCommand::list;
        if (SUCCEEDED(hr) && (!registers || ensureRegistered(options, devices, &changed))) {
            if (changed) hr = listVideoDevices(&devices);
            if (FAILED(hr)) {
                std::fprintf(stderr, "duoview2-host: device enumeration failed (%s)\n",
                             hresultText(hr).c_str());
            } else if (options.command == HostCommand::list) {
                status = listCommand(devices);
            } else if (settings) {
#ifdef _WIN32
                // With --dialog the user answers the boxes in the frames.
                std::unique_ptr<MessageBoxAnswerer> answerer;
                if (!options.dialog) answerer = std::make_unique<MessageBoxAnswerer>();
#endif
                status = settingsCommand(options, devices);
            } else {
#ifdef _WIN32
                MessageBoxAnswerer answerer;
#endif
                status = runCommand(options, devices);
            }
        } else if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-host: device enumeration failed (%s)\n", hresultText(hr).c_str());
        }
    }
    // The modules stay loaded until the process ends, as in most video
    // applications (no CoFreeUnusedLibraries at exit).
    return status;
}
