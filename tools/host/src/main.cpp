// duoview2-host: uses the virtual camera "Vanto 3D Virtual Camera2" exactly
// as a video application does - device enumerator, moniker, filter graph,
// media control and events - and records what it delivers. See hostUsage().
#include <cerrno>
#include <chrono>
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
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "components.h"
#include "framework/runtime_settings.h"
#include "filter/stereo_interfaces.h"
#include "framework/framework.h"
#include "host_sink.h"
#include "options.h"
#include "recorder.h"
#include "settings_command.h"

namespace {

const char* const testCameraLeft = "Duoview Test Camera A";
const char* const testCameraRight = "Duoview Test Camera B";
// What the camera selection page says when both sides name one camera.
const char* const sameCameraText = "Left and Right camera can not be the same one, please reselect.";

// Whether --left and --right both name the same camera: the same text, or
// two texts that `devices` resolves to one entry. A name that resolves to
// nothing (yet) is not refused here.
bool sameCameraRequested(const HostOptions& options, const std::vector<VideoDevice>* devices) {
    if (options.leftName.empty() || options.rightName.empty())
        return false;
    if (options.leftName == options.rightName)
        return true;
    if (!devices)
        return false;
    const int left = findDevice(*devices, options.leftName);
    return left >= 0 && left == findDevice(*devices, options.rightName);
}

// Exit status 2 (a bad command line) with the page's text.
int refuseSameCamera(const HostOptions& options) {
    std::fprintf(stderr, "duoview2-host: --left \"%s\" and --right \"%s\" name one camera: %s\n",
                 options.leftName.c_str(), options.rightName.c_str(), sameCameraText);
    return 2;
}

// Creates `path` and any missing parent folders.
bool makeFolder(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/' && path[at] != '\\')
            continue;
        const std::string part = path.substr(0, at);
        if (part.size() == 2 && part[1] == ':')
            continue;  // a drive letter
#ifdef _WIN32
        const int made = _mkdir(part.c_str());
#else
        const int made = mkdir(part.c_str(), 0777);
#endif
        if (made != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Keeps COM initialised for the host's main thread.
struct ComScope {
    explicit ComScope(DWORD model) : hr(CoInitializeEx(nullptr, model)) {}
    ~ComScope() {
        if (SUCCEEDED(hr))
            CoUninitialize();
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
        if (process != GetCurrentProcessId() || !IsWindowVisible(window))
            return TRUE;
        WCHAR className[16] = {};
        GetClassNameW(window, className, 16);
        // A message box is a dialog with its text in control 0xFFFF.
        if (std::wcscmp(className, L"#32770") != 0 || !GetDlgItem(window, 0xFFFF))
            return TRUE;
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
        const char* deviceName;
        const CLSID* classId;  // checked when known
    };
    std::string productPath = options.productPath.empty()
                                  ? findModule(DV_HOST_PRODUCT_FILE, DV_HOST_PRODUCT_RELPATH)
                                  : absolutePath(options.productPath);
    std::string camsPath = options.testCamsPath.empty()
                               ? findModule(DV_HOST_TESTCAMS_FILE, DV_HOST_TESTCAMS_RELPATH)
                               : absolutePath(options.testCamsPath);
    const std::string vcamName = virtualCameraName();
    const Module modules[] = {
        {"virtual camera", productPath, vcamName.c_str(), &CLSID_StereoCameraFilter},
        {"test cameras", camsPath, testCameraLeft, nullptr},
    };
    *changed = false;
    for (const Module& module : modules) {
        bool listed = false;
        for (const VideoDevice& device : devices)
            listed = listed || device.name == module.deviceName;
        const bool serverOk = !module.classId || fileExists(registeredServerPath(*module.classId));
        const bool forced = (module.classId && !options.productPath.empty()) ||
                            (!module.classId && !options.testCamsPath.empty());
        if (listed && serverOk && !forced)
            continue;
        if (module.path.empty()) {
            std::fprintf(stderr,
                         "duoview2-host: %s: not registered, and the module was not found (use --%s PATH)\n",
                         module.what, module.classId ? "product" : "testcams");
            if (module.classId)
                return false;
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
    };
    int status = 0;
    for (const std::string& path : paths) {
        if (path.empty())
            continue;
        const HRESULT hr = callModuleEntry(path, "DllUnregisterServer");
        std::printf("unregistered %s: %s\n", path.c_str(), SUCCEEDED(hr) ? "ok" : hresultText(hr).c_str());
        if (FAILED(hr))
            status = 1;
    }
    return status;
}

// Stores the settings given on the command line (and the test cameras when
// no usable camera names are stored) where the filter reads them.
bool storeRequestedSettings(const HostOptions& options, const std::vector<VideoDevice>& devices) {
    // Names that became resolvable only through the registration are checked
    // here, still before anything is stored.
    if (sameCameraRequested(options, &devices)) {
        refuseSameCamera(options);
        return false;
    }
    if (options.mode >= 0)
        writeStoredNumber("camMode", static_cast<DWORD>(options.mode));
    if (options.swap >= 0)
        writeStoredNumber("camPosition", static_cast<DWORD>(options.swap));
    if (options.sizeIndex >= 0)
        writeStoredNumber("camSize", static_cast<DWORD>(options.sizeIndex));
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

ComPtr<IPin> findPin(IBaseFilter* filter, const wchar_t* name) {
    ComPtr<IPin> pin;
    filter->FindPin(name, pin.GetAddressOf());
    return pin;
}

void printProgress(const StreamRecorder::Progress& p, double elapsed, double total, bool tty) {
    std::printf("%sframes %ld  %.1f fps  dropped %ld  time gaps %ld  %.1f/%.0f s%s", tty ? "\r" : "",
                p.frames, p.recentFps, p.mediaTimeGaps, p.frameTimeGaps, elapsed, total, tty ? "   " : "\n");
    std::fflush(stdout);
}

int runCommand(const HostOptions& options, std::vector<VideoDevice>& devices) {
    if (!storeRequestedSettings(options, devices))
        return 2;
    const std::string vcamName = virtualCameraName();
    const int vcamIndex = findDevice(devices, vcamName);
    if (vcamIndex < 0) {
        std::fprintf(stderr, "duoview2-host: \"%s\" is not listed by the device enumerator\n",
                     vcamName.c_str());
        return 1;
    }

    // Open the virtual camera as an application does: bind its moniker.
    ComPtr<IBaseFilter> camera;
    HRESULT hr = devices[static_cast<size_t>(vcamIndex)].moniker->BindToObject(
        nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(camera.GetAddressOf()));
    if (FAILED(hr)) {
        std::fprintf(stderr, "duoview2-host: cannot create the virtual camera (%s)\n",
                     hresultText(hr).c_str());
        return 1;
    }
    ComPtr<IPin> output = findPin(camera.Get(), L"Output1");
    ComPtr<IStereoImageControl> imageControl;
    ComPtr<ICameraSelection> selection;
    ComPtr<IAMStreamConfig> streamConfig;
    if (!output || FAILED(ComPtr<IBaseFilter>(camera).As(&imageControl)) || FAILED(output.As(&selection)) ||
        FAILED(output.As(&streamConfig))) {
        std::fprintf(stderr, "duoview2-host: the virtual camera lacks Output1 or its private interfaces\n");
        return 1;
    }
    int mode = -1, swap = -1, sizeIndex = -1, left = -1, right = -1;
    imageControl->GetImageMode(&mode);
    imageControl->GetSwapFlag(&swap);
    selection->GetSizeIndex(&sizeIndex);
    selection->GetCameraIndices(&left, &right);
    auto nameAt = [&](int index) {
        return index >= 0 && static_cast<size_t>(index) < devices.size()
                   ? devices[static_cast<size_t>(index)].name
                   : std::string("(none)");
    };
    const char* modeName = imageModeName(mode);
    std::printf("virtual camera: mode %d (%s), swap %d, size %s, left \"%s\", right \"%s\"\n", mode,
                modeName ? modeName : "?", swap, sizeIndex == 1 ? "640x480" : "320x240", nameAt(left).c_str(),
                nameAt(right).c_str());

    ComPtr<IGraphBuilder> graph;
    hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                          reinterpret_cast<void**>(graph.GetAddressOf()));
    if (FAILED(hr)) {
        std::fprintf(stderr, "duoview2-host: no filter graph manager (%s)\n", hresultText(hr).c_str());
        return 1;
    }
    StreamRecorder recorder(options.outDir, options.snapshotEvery);
    auto* sinkObject = new HostSinkFilter(&recorder);
    ComPtr<IBaseFilter> sink(static_cast<IBaseFilter*>(sinkObject));
    const std::wstring vcamWide(virtualCameraFriendlyName);
    if (FAILED(hr = graph->AddFilter(camera.Get(), vcamWide.c_str())) ||
        FAILED(hr = graph->AddFilter(sink.Get(), L"Duoview2 Host Renderer"))) {
        std::fprintf(stderr, "duoview2-host: AddFilter failed (%s)\n", hresultText(hr).c_str());
        return 1;
    }

    // Ask for the output format the camera currently offers (the stored size).
    AM_MEDIA_TYPE* format = nullptr;
    hr = streamConfig->GetFormat(&format);
    const VIDEOINFOHEADER* offered = format ? videoInfoOf(*format) : nullptr;
    if (FAILED(hr) || !offered) {
        std::fprintf(stderr, "duoview2-host: IAMStreamConfig::GetFormat failed (%s)\n",
                     hresultText(hr).c_str());
        deleteMediaType(format);
        return 1;
    }
    sinkObject->expectSize(offered->bmiHeader.biWidth, offered->bmiHeader.biHeight);
    hr = graph->ConnectDirect(output.Get(), sinkObject->inputPin(), format);
    deleteMediaType(format);
    if (FAILED(hr)) {
        std::fprintf(stderr,
                     "duoview2-host: connecting Output1 failed (%s): the cameras could not be attached "
                     "(two cameras besides the virtual one are needed; see --list)\n",
                     hresultText(hr).c_str());
        graph->RemoveFilter(sink.Get());
        graph->RemoveFilter(camera.Get());
        return 1;
    }
    AM_MEDIA_TYPE agreed{};
    sinkObject->inputPin()->ConnectionMediaType(&agreed);
    const VIDEOINFOHEADER* info = videoInfoOf(agreed);
    const int width = info ? info->bmiHeader.biWidth : 0, height = info ? info->bmiHeader.biHeight : 0;
    const int64_t interval = info ? info->AvgTimePerFrame : 0;
    freeMediaType(agreed);
    if (!makeFolder(options.outDir) || !recorder.start(width, height, interval)) {
        std::fprintf(stderr, "duoview2-host: cannot write %s\n", recorder.videoPath().c_str());
        return 1;
    }
    std::printf("connected: Output1 -> renderer, %dx%d RGB24, %.2f fps nominal\n", width, height,
                interval > 0 ? 1e7 / static_cast<double>(interval) : 0.0);

    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    graph.As(&control);
    graph.As(&events);
    if (!control || !events) {
        std::fprintf(stderr, "duoview2-host: the graph offers no IMediaControl/IMediaEvent\n");
        return 1;
    }
    const auto begin = std::chrono::steady_clock::now();
    hr = control->Run();
    if (FAILED(hr)) {
        std::fprintf(stderr, "duoview2-host: Run failed (%s)\n", hresultText(hr).c_str());
        control->Stop();
        return 1;
    }
    const bool tty = isatty(fileno(stdout)) != 0;
    double elapsed = 0, lastPrint = -1;
    std::string stopReason = "time";
    for (;;) {
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        const StreamRecorder::Progress progress = recorder.progress();
        if (elapsed - lastPrint >= (tty ? 0.25 : 1.0)) {
            printProgress(progress, elapsed, options.seconds, tty);
            lastPrint = elapsed;
        }
        if (elapsed >= options.seconds)
            break;
        if (options.maxFrames > 0 && progress.frames >= options.maxFrames) {
            stopReason = "frames";
            break;
        }
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        bool ended = false;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT) {
                ended = true;
                stopReason = code == EC_COMPLETE ? "end of stream"
                                                 : "graph error " + hresultText(static_cast<HRESULT>(p1));
            }
        }
        if (ended)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    control->Stop();
    const StreamRecorder::Progress final = recorder.progress();
    printProgress(final, elapsed, options.seconds, tty);
    if (tty)
        std::printf("\n");
    const bool written = recorder.finish();

    graph->RemoveFilter(sink.Get());
    graph->RemoveFilter(camera.Get());

    const std::vector<std::string> pictures = recorder.snapshots();
    std::printf(
        "summary: %ld frames in %.2f s (stopped by %s), %.1f fps average, dropped %ld (media-time gaps), "
        "time gaps %ld\n",
        final.frames, elapsed, stopReason.c_str(), final.averageFps, final.mediaTimeGaps,
        final.frameTimeGaps);
    std::printf("video: %s (%dx%d, C420jpeg, %ld frames)\n", recorder.videoPath().c_str(), width, height,
                final.frames);
    std::printf("snapshots (%s):", pngEncoderName());
    for (const std::string& path : pictures)
        std::printf(" %s", path.c_str());
    std::printf("\n");
    if (!written)
        std::fprintf(stderr, "duoview2-host: some output could not be written\n");
    return final.frames > 0 && written ? 0 : 1;
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
    // A run never silently puts another camera on one side: refused before
    // anything is registered or built. (The settings command leaves this
    // check to the camera selection page.)
    const bool run = options.command == HostCommand::run;
    if (run && sameCameraRequested(options, nullptr))
        return refuseSameCamera(options);
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
    if (options.command == HostCommand::unregister)
        return unregisterCommand(options);

    int status = 1;
    {
        std::vector<VideoDevice> devices;
        HRESULT hr = listVideoDevices(&devices);
        if (SUCCEEDED(hr) && run && sameCameraRequested(options, &devices))
            return refuseSameCamera(options);
        bool changed = false;
        // Listing only looks: it registers nothing, so it also shows what a
        // registration or its removal did.
        const bool registers = options.command != HostCommand::list;
        if (SUCCEEDED(hr) && (!registers || ensureRegistered(options, devices, &changed))) {
            if (changed)
                hr = listVideoDevices(&devices);
            if (FAILED(hr)) {
                std::fprintf(stderr, "duoview2-host: device enumeration failed (%s)\n",
                             hresultText(hr).c_str());
            } else if (options.command == HostCommand::list) {
                status = listCommand(devices);
            } else if (settings) {
#ifdef _WIN32
                // With --dialog the user answers the boxes in the frames.
                std::unique_ptr<MessageBoxAnswerer> answerer;
                if (!options.dialog)
                    answerer = std::make_unique<MessageBoxAnswerer>();
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
