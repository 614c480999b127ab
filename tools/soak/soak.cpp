// duoview2-soak: keeps the virtual camera busy the way a long video call with
// a restless user does, and checks that nothing hangs, leaks or loses order.
//
//   duoview2-soak [--seconds S] [--seed N] [--product PATH] [--testcams PATH]
//
// Set-up: registers the product and the test cameras, stores "Duoview Test
// Camera A" (30 fps) as the left and "Duoview Test Camera B" (15 fps) as the
// right camera, opens "Vanto 3D Virtual Camera2" through the device enumerator
// and connects Output1 to a renderer of its own in a filter graph.
// Threads for S seconds (default 60):
//   main      Run / Pause / Stop, and disconnect + reconnect of Output1
//   settings  image mode, swap flag (IStereoImageControl) and size index
//             (ICameraSelection) at random
//   format    IAMStreamConfig::SetFormat(GetFormat()) and SetFormat of either
//             capture size, whatever state the graph is in
//   watchdog  fails the run (exit 3) after 30 s without any progress, after
//             printing what each thread was doing (and, where gdb is
//             installed, every thread's stack)
// Checks at the end (exit 1 when one fails): frames were delivered; media
// times only ever increase; no media-time gap while the graph ran undisturbed
// (a gap is a composed pair that was not delivered); after everything is
// released the product's DllCanUnloadNow answers S_OK (no object left alive).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "components.h"
#include "filter/stereo_interfaces.h"
#include "framework/framework.h"
#include "host_sink.h"
#include "platform/registry_key.h"

namespace {

const char* const leftCamera = "Duoview Test Camera A";
const char* const rightCamera = "Duoview Test Camera B";

using Clock = std::chrono::steady_clock;

// What each thread is doing, for the watchdog's report. Written by its own
// thread, read by the watchdog; plain C strings with static storage.
struct ThreadActivity {
    std::atomic<const char*> main{"starting"};
    std::atomic<const char*> settings{"starting"};
    std::atomic<const char*> format{"starting"};
};

// Frames as the renderer sees them. onFrame runs on the delivering thread;
// `epoch` is advanced by the threads that disturb the stream (state changes,
// reconnections), so a media-time gap between two frames of one epoch is a
// pair lost while nothing explained it.
class SoakConsumer final : public FrameConsumer {
public:
    std::atomic<uint64_t> epoch{0};
    std::atomic<long> frames{0};

    void onFrame(const SinkFrame& frame) override {
        frames.fetch_add(1);
        if (!frame.mediaTimeValid) return;
        std::lock_guard<std::mutex> hold(guard);
        const uint64_t now = epoch.load();
        if (haveLast) {
            if (frame.mediaStart <= lastStart) ++backwards;
            if (frame.mediaStart > lastStart + 1) {
                gaps += frame.mediaStart - lastStart - 1;
                if (now == lastEpoch) steadyGaps += frame.mediaStart - lastStart - 1;
            }
        }
        haveLast = true;
        lastStart = frame.mediaStart;
        lastEpoch = now;
    }
    void onEndOfStream() override {}

    struct Counts {
        long long gaps, steadyGaps, backwards;
    };
    Counts counts() {
        std::lock_guard<std::mutex> hold(guard);
        return Counts{gaps, steadyGaps, backwards};
    }

private:
    std::mutex guard;
    bool haveLast = false;
    LONGLONG lastStart = 0;
    uint64_t lastEpoch = 0;
    long long gaps = 0, steadyGaps = 0, backwards = 0;
};

struct Options {
    double seconds = 60;
    unsigned seed = 1;
    std::string productPath, testCamsPath;
};

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            options->seconds = std::atof(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            options->seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--product" && hasValue) {
            options->productPath = argv[++i];
        } else if (arg == "--testcams" && hasValue) {
            options->testCamsPath = argv[++i];
        } else {
            return false;
        }
    }
    return options->seconds > 0;
}

bool setTestCameraRate(const char* camera, DWORD framesPerSecond) {
    const std::string path = std::string("Software\\Duoview2\\TestCameras\\") + camera;
    RegistryKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, key.receive(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), "FramesPerSecond", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&framesPerSecond),
                          sizeof framesPerSecond) == ERROR_SUCCESS;
}

// The graph with the virtual camera and the renderer; connect() and
// disconnect() are called by the main thread only.
struct SoakGraph {
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IBaseFilter> camera;
    ComPtr<IBaseFilter> sink;
    HostSinkFilter* sinkObject = nullptr;  // weak: `sink` holds it
    ComPtr<IPin> output;

    // With the current type from GetFormat (as hosts that set a resolution
    // do), else with no type (the pins negotiate, as RenderStream does). The
    // current type can be of another size than the size index the settings
    // thread chose since; such a connection is refused.
    HRESULT connect(bool withCurrentType = true) {
        ComPtr<IAMStreamConfig> config;
        output.As(&config);
        AM_MEDIA_TYPE* format = nullptr;
        HRESULT hr = !config ? E_NOINTERFACE : withCurrentType ? config->GetFormat(&format) : S_OK;
        if (FAILED(hr)) return hr;
        hr = graph->ConnectDirect(output.Get(), sinkObject->inputPin(), format);
        deleteMediaType(format);
        return hr;
    }
    void disconnect() {
        graph->Disconnect(output.Get());
        graph->Disconnect(sinkObject->inputPin());
    }
};

#ifdef _WIN32
// A crash reports where it happened (module and offset, for addr2line), since
// Wine's own debugger may not get a console to write to.
LONG WINAPI reportCrash(EXCEPTION_POINTERS* info) {
    void* address = info->ExceptionRecord->ExceptionAddress;
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(address), &module))
        GetModuleFileNameA(module, name, sizeof name);
    std::printf("duoview2-soak: CRASH: exception 0x%08lx at %p = %s+0x%llx (thread %lu)\n",
                static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), address, name,
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address) -
                                                reinterpret_cast<uintptr_t>(module)),
                static_cast<unsigned long>(GetCurrentThreadId()));
    void* frames[32];
    const USHORT count = RtlCaptureStackBackTrace(0, 32, frames, nullptr);
    for (USHORT i = 0; i < count; ++i) {
        HMODULE frameModule = nullptr;
        char frameName[MAX_PATH] = "?";
        if (GetModuleHandleExA(
                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                static_cast<LPCSTR>(frames[i]), &frameModule))
            GetModuleFileNameA(frameModule, frameName, sizeof frameName);
        std::printf("  #%u %s+0x%llx\n", i, frameName,
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(frames[i]) -
                                                    reinterpret_cast<uintptr_t>(frameModule)));
    }
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 4);
    return EXCEPTION_EXECUTE_HANDLER;
}
#endif

void dumpStacks() {
#ifndef _WIN32
    if (std::system("command -v gdb >/dev/null 2>&1") == 0) {
        const std::string command =
            "gdb -p " + std::to_string(getpid()) +
            " -batch -ex 'thread apply all bt 30' 2>/dev/null | grep -E '^(Thread|#)'";
        std::fflush(stdout);
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "duoview2-soak: gdb could not attach\n");
    }
#endif
}

int run(const Options& options) {
    const std::string productPath = options.productPath.empty()
                                        ? findModule(DV_SOAK_PRODUCT_FILE, DV_SOAK_PRODUCT_RELPATH)
                                        : absolutePath(options.productPath);
    const std::string camsPath = options.testCamsPath.empty()
                                     ? findModule(DV_SOAK_TESTCAMS_FILE, DV_SOAK_TESTCAMS_RELPATH)
                                     : absolutePath(options.testCamsPath);
    for (const std::string& path : {productPath, camsPath}) {
        const HRESULT hr = path.empty() ? E_FAIL : callModuleEntry(path, "DllRegisterServer");
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-soak: cannot register %s (%s)\n", path.c_str(),
                         hresultText(hr).c_str());
            return 1;
        }
    }
    if (!setTestCameraRate(leftCamera, 30) || !setTestCameraRate(rightCamera, 15) ||
        writeStoredName("lcamName", leftCamera) != ERROR_SUCCESS ||
        writeStoredName("rcamName", rightCamera) != ERROR_SUCCESS) {
        std::fprintf(stderr, "duoview2-soak: cannot store the settings\n");
        return 1;
    }

    SoakConsumer consumer;
    ThreadActivity activity;
    std::atomic<long> mainOps{0};
    std::atomic<bool> finished{false};
    long counts[5] = {};  // run, pause, stop, reconnect, failed operations (main thread only)
    std::atomic<long> settingsChanges{0}, formatChanges{0}, formatRefusals{0};
#ifdef _WIN32
    // Wine's graph manager runs IFilterGraph::Reconnect synchronously on the
    // caller's thread, and its IMediaControl::Stop faults (a null read inside
    // quartz) when a reconnection on another thread adds and removes the
    // cameras meanwhile; Windows runs Reconnect on a thread of the graph's
    // own. So under Wine the format thread's SetFormat and the main thread's
    // graph calls take turns.
    std::mutex graphTurns;
    using GraphTurn = std::unique_lock<std::mutex>;
#else
    struct GraphTurn {
        explicit GraphTurn(int) {}
    };
    int graphTurns = 0;
#endif
    {
        std::vector<VideoDevice> devices;
        listVideoDevices(&devices);
        const int index = findDevice(devices, virtualCameraName());
        if (index < 0) {
            std::fprintf(stderr, "duoview2-soak: the virtual camera is not listed\n");
            return 1;
        }
        SoakGraph g;
        HRESULT hr = devices[size_t(index)].moniker->BindToObject(
            nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(g.camera.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(g.graph.GetAddressOf()));
        if (FAILED(hr)) {
            std::fprintf(stderr, "duoview2-soak: no camera or graph (%s)\n", hresultText(hr).c_str());
            return 1;
        }
        g.sinkObject = new HostSinkFilter(&consumer);
        g.sink = ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(g.sinkObject));
        g.camera->FindPin(L"Output1", g.output.GetAddressOf());
        g.graph.As(&g.control);
        ComPtr<IStereoImageControl> image;
        ComPtr<ICameraSelection> selection;
        ComPtr<IAMStreamConfig> config;
        g.camera.As(&image);
        if (g.output) {
            g.output.As(&selection);
            g.output.As(&config);
        }
        if (!g.output || !g.control || !image || !selection || !config ||
            FAILED(hr = g.graph->AddFilter(g.camera.Get(), L"Vanto 3D Virtual Camera2")) ||
            FAILED(hr = g.graph->AddFilter(g.sink.Get(), L"Soak Renderer")) || FAILED(hr = g.connect())) {
            std::fprintf(stderr, "duoview2-soak: the graph cannot be built (%s)\n", hresultText(hr).c_str());
            return 1;
        }
        std::printf("duoview2-soak: %.0f s, seed %u; left %s at 30 fps, right %s at 15 fps\n",
                    options.seconds, options.seed, leftCamera, rightCamera);
        std::fflush(stdout);

        std::thread settingsThread([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            std::mt19937 rng(options.seed * 7 + 1);
            while (!finished) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 40));
                switch (rng() % 3) {
                case 0:
                    activity.settings = "SetImageMode";
                    image->SetImageMode(int(rng() % 12));
                    break;
                case 1:
                    activity.settings = "SetSwapFlag";
                    image->SetSwapFlag(int(rng() % 2));
                    break;
                default:
                    activity.settings = "SetSizeIndex";
                    selection->SetSizeIndex(rng() % 2);
                    break;
                }
                activity.settings = "sleeping";
                settingsChanges.fetch_add(1);
            }
            CoUninitialize();
        });
        std::thread formatThread([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            std::mt19937 rng(options.seed * 13 + 5);
            while (!finished) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 400));
                activity.format = "GetFormat";
                AM_MEDIA_TYPE* format = nullptr;
                if (SUCCEEDED(config->GetFormat(&format)) && format) {
                    if (rng() % 2 && format->pbFormat && format->cbFormat >= sizeof(VIDEOINFOHEADER)) {
                        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(format->pbFormat);
                        const bool large = rng() % 2;
                        info->bmiHeader.biWidth = large ? 640 : 320;
                        info->bmiHeader.biHeight = large ? 480 : 240;
                        info->bmiHeader.biSizeImage =
                            DWORD(info->bmiHeader.biWidth * 3 * info->bmiHeader.biHeight);
                        format->lSampleSize = info->bmiHeader.biSizeImage;
                    }
                    consumer.epoch.fetch_add(1);
                    activity.format = "SetFormat";
                    GraphTurn turn(graphTurns);
                    if (FAILED(config->SetFormat(format))) formatRefusals.fetch_add(1);
                    consumer.epoch.fetch_add(1);
                    deleteMediaType(format);
                }
                activity.format = "sleeping";
                formatChanges.fetch_add(1);
            }
            CoUninitialize();
        });
        std::thread watchdog([&] {
            // Every thread completes an operation at least every half second;
            // one that has not for 30 s is stuck, whatever the others do.
            const std::atomic<long>* counters[] = {&mainOps, &settingsChanges, &formatChanges};
            long last[3] = {-1, -1, -1};
            Clock::time_point lastProgress[3] = {Clock::now(), Clock::now(), Clock::now()};
            while (!finished) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                for (int i = 0; i < 3; ++i) {
                    const long now = counters[i]->load();
                    if (now != last[i]) {
                        last[i] = now;
                        lastProgress[i] = Clock::now();
                    } else if (!finished && Clock::now() - lastProgress[i] > std::chrono::seconds(30)) {
                        std::printf(
                            "duoview2-soak: HANG: a thread made no progress for 30 s (main: %s, settings: "
                            "%s, "
                            "format: %s)\n",
                            activity.main.load(), activity.settings.load(), activity.format.load());
                        dumpStacks();
                        std::fflush(stdout);
                        std::_Exit(3);
                    }
                }
            }
        });

        std::mt19937 rng(options.seed);
        const auto begin = Clock::now();
        auto lastReport = begin;
        bool connected = true;
        while (Clock::now() - begin < std::chrono::duration<double>(options.seconds)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 300));
            const unsigned pick = rng() % 10;
            consumer.epoch.fetch_add(1);
            HRESULT result = S_OK;
            GraphTurn turn(graphTurns);
            if (pick < 4) {
                activity.main = "Run";
                result = g.control->Run();
                ++counts[0];
            } else if (pick < 6) {
                activity.main = "Pause";
                result = g.control->Pause();
                ++counts[1];
            } else if (pick < 8) {
                activity.main = "Stop";
                result = g.control->Stop();
                ++counts[2];
            } else {
                activity.main = "Stop before reconnecting";
                g.control->Stop();
                activity.main = "Disconnect";
                g.disconnect();
                activity.main = "Connect";
                result = g.connect(rng() % 2 == 0);
                connected = SUCCEEDED(result);
                ++counts[3];
            }
            if (FAILED(result) && ++counts[4] <= 5)
                std::printf("  %s failed (%s)\n", activity.main.load(), hresultText(result).c_str());
            consumer.epoch.fetch_add(1);
            activity.main = "sleeping";
            mainOps.fetch_add(1);
            if (!connected) {  // a refused reconnection is tried again at once
                activity.main = "Connect again";
                connected = SUCCEEDED(g.connect(false));
            }
            if (Clock::now() - lastReport > std::chrono::seconds(10)) {
                lastReport = Clock::now();
                std::printf("  %.0f s: %ld frames, %ld graph operations, %ld settings, %ld formats\n",
                            std::chrono::duration<double>(lastReport - begin).count(), consumer.frames.load(),
                            mainOps.load(), settingsChanges.load(), formatChanges.load());
                std::fflush(stdout);
            }
        }
        activity.main = "final Stop";
        g.control->Stop();
        finished = true;
        settingsThread.join();
        formatThread.join();
        activity.main = "final Disconnect";
        g.disconnect();
        g.graph->RemoveFilter(g.sink.Get());
        g.graph->RemoveFilter(g.camera.Get());
        watchdog.join();
    }
    const SoakConsumer::Counts c = consumer.counts();
    const HRESULT unload = callModuleEntry(productPath, "DllCanUnloadNow");
    std::printf(
        "duoview2-soak: %ld frames; operations: run %ld, pause %ld, stop %ld, reconnect %ld (%ld failed), "
        "settings %ld, formats %ld (%ld refused); media-time gaps %lld (%lld while undisturbed), "
        "out of order %lld; DllCanUnloadNow %s\n",
        consumer.frames.load(), counts[0], counts[1], counts[2], counts[3], counts[4], settingsChanges.load(),
        formatChanges.load(), formatRefusals.load(), c.gaps, c.steadyGaps, c.backwards,
        unload == S_OK ? "S_OK" : hresultText(unload).c_str());
    bool ok = true;
    auto check = [&](bool good, const char* what) {
        if (!good) std::printf("duoview2-soak: FAILED: %s\n", what);
        ok = ok && good;
    };
    check(consumer.frames.load() > 0, "no frame was delivered");
    check(c.backwards == 0, "media times went backwards");
    check(c.steadyGaps == 0, "composed pairs were lost while the graph ran undisturbed");
    check(unload == S_OK, "objects of the product are still alive after everything was released");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: duoview2-soak [--seconds S] [--seed N] [--product PATH] [--testcams PATH]\n");
        return 2;
    }
#ifndef _WIN32
    if (const char* dir = std::getenv("DV_REGISTRY_DIR"); !dir || !*dir) {
        char folder[] = "/tmp/duoview2-soak-XXXXXX";
        if (!mkdtemp(folder)) return 1;
        setenv("DV_REGISTRY_DIR", folder, 1);
    }
#endif
#ifdef _WIN32
    SetUnhandledExceptionFilter(reportCrash);
#endif
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int status = run(options);
    CoUninitialize();
    std::printf("duoview2-soak: %s\n", status == 0 ? "PASSED" : "FAILED");
    return status;
}
