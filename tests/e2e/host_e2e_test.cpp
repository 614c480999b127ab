// End to end: the host program opens "Vanto 3D Virtual Camera2" through the
// device enumerator, runs it in the platform's filter graph on the test
// cameras and records what it delivers; these tests check the recorded
// pictures against the test cameras' known eye pictures composed by the
// compositor, in several modes, sizes and camera choices.
//
// POSIX: the graph is the platform stand-in's; registration goes through the
// modules' DllRegisterServer in the test's own registry folder
// (DV_REGISTRY_DIR, inherited by the host). Windows (under Wine): the graph is
// the platform's own; the ctest fixtures registered both modules with
// regsvr32 before and remove them afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "components.h"
#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "filter/stereo_interfaces.h"
#include "framework/runtime_settings.h"
#include "picture_files.h"
#include "picture_support/picture_support.h"
#include "testcams/test_cameras.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif
#ifdef DV_HOST_V4L2_OUTPUT
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "compositor/yuyv_pack.h"
#include "fake_v4l2_device.h"
#endif

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#endif

namespace {

const char* const cameraA = "Duoview Test Camera A";  // left eye
const char* const cameraB = "Duoview Test Camera B";  // right eye

std::string hostProgram() {
    std::string path = DV_HOST_PROGRAM;  // relative to the test's working folder
#ifdef _WIN32
    for (char& c : path)
        if (c == '/') c = '\\';
#endif
    return path;
}

struct HostRun {
    int status = -1;
    std::string output;
};

// Runs the host with `arguments` (already quoted for the shell) and
// collects its standard output and error.
HostRun runHost(const std::string& arguments) {
    HostRun run;
    const std::string command = hostProgram() + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.output.append(buffer, n);
    const int status = pclose(pipe);
#ifdef _WIN32
    run.status = status;
#else
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return run;
}

std::vector<std::string> listedNames() {
    std::vector<VideoDevice> devices;
    EXPECT_EQ(listVideoDevices(&devices), S_OK);
    std::vector<std::string> names;
    for (const VideoDevice& device : devices)
        names.push_back(device.name);
    return names;
}

bool listed(const std::string& name) {
    for (const std::string& n : listedNames())
        if (n == name) return true;
    return false;
}

// A picture as the checks compare it: top line first, R, G, B.
struct RgbPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// What the virtual camera should deliver: the test cameras' frames (eye
// pictures stamped with `stamp`) composed in `mode` by the compositor.
RgbPicture expectedPicture(int mode, int swap, int leftEye, int rightEye, int sizeIndex, uint32_t stamp) {
    runtimeSettings.sizeIndex = sizeIndex;
    applySizeIndex(runtimeSettings.sizeIndex);
    const int width = sizeIndex == 1 ? 640 : 320, height = sizeIndex == 1 ? 480 : 240;
    const TestPictureFormat format{width, height, 24};
    std::vector<BYTE> left(testPictureSize(format)), right(testPictureSize(format));
    renderTestFrame(leftEye, format, stamp, left.data());
    renderTestFrame(rightEye, format, stamp, right.data());

    const picture_support::Rgb24Type type(width, height);
    picture_support::BufferSample leftSample(left), rightSample(right);
    StereoFormats formats;
    formats.left = &type.mt;
    formats.right = &type.mt;
    composeStereoFrame(&leftSample, &rightSample, formats, CompositionChoice{mode, swap != 0});

    RgbPicture out;
    out.width = width;
    out.height = height;
    out.rgb.resize(static_cast<size_t>(width) * height * 3);
    const int stride = testPictureStride(format);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = &left[static_cast<size_t>(height - 1 - y) * stride];
        for (int x = 0; x < width; ++x) {
            uint8_t* px = &out.rgb[(static_cast<size_t>(y) * width + x) * 3];
            px[0] = row[3 * x + 2];
            px[1] = row[3 * x + 1];
            px[2] = row[3 * x];
        }
    }
    return out;
}

// The pixels the frame-number stamps can reach in this composition: those
// that differ between all-black and all-white stamps. The two cameras count
// their frames independently, so the stamps of a delivered pair are not known.
std::vector<bool> stampMask(int mode, int swap, int leftEye, int rightEye, int sizeIndex) {
    const RgbPicture black = expectedPicture(mode, swap, leftEye, rightEye, sizeIndex, 0);
    const RgbPicture white = expectedPicture(mode, swap, leftEye, rightEye, sizeIndex, 0xFFFFFFFFu);
    std::vector<bool> mask(static_cast<size_t>(black.width) * black.height);
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = std::memcmp(&black.rgb[3 * i], &white.rgb[3 * i], 3) != 0;
    return mask;
}

struct Comparison {
    long mismatches = 0;  // unmasked pixels with a channel off by more than the tolerance
    long masked = 0;
    std::string first;  // where the first mismatch is
};

Comparison compare(const RgbPicture& actual, const RgbPicture& expected, const std::vector<bool>& mask,
                   int tolerance) {
    Comparison result;
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width; ++x) {
            if (mask[static_cast<size_t>(y) * expected.width + x]) {
                ++result.masked;
                continue;
            }
            const uint8_t* a = actual.at(x, y);
            const uint8_t* e = expected.at(x, y);
            for (int c = 0; c < 3; ++c) {
                if (std::abs(a[c] - e[c]) <= tolerance) continue;
                if (result.mismatches++ == 0)
                    result.first = "(" + std::to_string(x) + ", " + std::to_string(y) + ") channel " +
                                   std::to_string(c) + ": " + std::to_string(a[c]) + " instead of " +
                                   std::to_string(e[c]);
                break;
            }
        }
    }
    return result;
}

RgbPicture readSnapshot(const std::string& path) {
    RgbPicture picture;
    EXPECT_TRUE(readPngFile(path, &picture.width, &picture.height, &picture.rgb)) << path;
    return picture;
}

// Registers both modules unless the platform's registration (regsvr32,
// run by the ctest fixture under Wine) already did.
void ensureRegistered() {
#ifndef _WIN32
    if (!listed(virtualCameraName())) {
        ASSERT_EQ(callModuleEntry(DV_PRODUCT_MODULE, "DllRegisterServer"), S_OK);
    }
    if (!listed(cameraA)) {
        ASSERT_EQ(callModuleEntry(DV_TESTCAMS_MODULE, "DllRegisterServer"), S_OK);
    }
#endif
    ASSERT_TRUE(listed(virtualCameraName()));
    ASSERT_TRUE(listed(cameraA));
    ASSERT_TRUE(listed(cameraB));
}

class HostEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ensureRegistered();
    }
    void TearDown() override { CoUninitialize(); }

    // Runs the host for a few frames and checks every snapshot against the
    // expected composition.
    void runAndCheck(int mode, int swap, int sizeIndex, const char* left, const char* right, int leftEye,
                     int rightEye) {
        const std::string out = "e2e-out/mode" + std::to_string(mode) + "-swap" + std::to_string(swap) +
                                "-size" + std::to_string(sizeIndex) + "-" + std::string(left).substr(20) +
                                std::string(right).substr(20);
        const HostRun run =
            runHost("--mode " + std::to_string(mode) + " --swap " + std::to_string(swap) + " --size " +
                    std::to_string(sizeIndex) + " --left \"" + left + "\" --right \"" + right +
                    "\" --frames 4 --seconds 20 --snapshot-every 2 --out " + out);
        EXPECT_EQ(run.status, 0) << run.output;
        const char* name = imageModeName(mode);
        EXPECT_NE(run.output.find("virtual camera: mode " + std::to_string(mode) + " (" + name + "), swap " +
                                  std::to_string(swap)),
                  std::string::npos)
            << run.output;
        if (run.status != 0) return;

        const RgbPicture expected = expectedPicture(mode, swap, leftEye, rightEye, sizeIndex, 0);
        const RgbPicture swapped = expectedPicture(mode, swap ? 0 : 1, leftEye, rightEye, sizeIndex, 0);
        const std::vector<bool> mask = stampMask(mode, swap, leftEye, rightEye, sizeIndex);
        for (const char* file : {"/frame-000001.png", "/frame-000003.png", "/last.png"}) {
            SCOPED_TRACE(out + file);
            const RgbPicture actual = readSnapshot(out + file);
            ASSERT_EQ(actual.width, expected.width);
            ASSERT_EQ(actual.height, expected.height);
            const Comparison result = compare(actual, expected, mask, 2);
            EXPECT_EQ(result.mismatches, 0) << "first at " << result.first;
            // The stamps cover a small part of the picture only, and the
            // comparison tells the two eyes apart.
            EXPECT_LT(result.masked, static_cast<long>(mask.size() / 10));
            EXPECT_GT(compare(actual, swapped, mask, 2).mismatches, static_cast<long>(mask.size() / 50));
        }
        // The host stops after at least 4 frames; one more may arrive meanwhile.
        const size_t at = run.output.find("summary: ");
        ASSERT_NE(at, std::string::npos) << run.output;
        const long frames = std::strtol(run.output.c_str() + at + 9, nullptr, 10);
        EXPECT_GE(frames, 4);
        checkVideo(out + "/duoview2.y4m", expected, mask, frames);
    }

    // The Y4M stream: its header, `frames` frames, and the first frame's luma
    // and chroma (BT.601 full range, top line first; chroma of each 2 x 2
    // block the mean colour's) against the expected picture.
    void checkVideo(const std::string& path, const RgbPicture& expected, const std::vector<bool>& mask,
                    long frames) {
        FILE* file = std::fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr) << path;
        char header[128] = {};
        ASSERT_NE(std::fgets(header, sizeof header, file), nullptr);
        const std::string expectedHeader = "YUV4MPEG2 W" + std::to_string(expected.width) + " H" +
                                           std::to_string(expected.height) +
                                           " F30:1 Ip A1:1 C420jpeg XYSCSS=420JPEG XCOLORRANGE=FULL\n";
        EXPECT_EQ(std::string(header), expectedHeader);
        const size_t lumaSize = static_cast<size_t>(expected.width) * expected.height;
        const size_t frameSize = lumaSize + 2 * (lumaSize / 4);
        char marker[8] = {};
        std::vector<uint8_t> planes(frameSize);
        long count = 0;
        long lumaMismatches = 0, chromaMismatches = 0, chromaChecked = 0;
        while (std::fread(marker, 1, 6, file) == 6) {
            ASSERT_EQ(std::string(marker, 6), "FRAME\n");
            ASSERT_EQ(std::fread(planes.data(), 1, frameSize, file), frameSize);
            if (++count > 1) continue;
            for (int y = 0; y < expected.height; ++y) {
                for (int x = 0; x < expected.width; ++x) {
                    const size_t i = static_cast<size_t>(y) * expected.width + x;
                    if (mask[i]) continue;
                    const uint8_t* p = expected.at(x, y);
                    const double luma = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
                    if (std::abs(planes[i] - luma) > 1.0) ++lumaMismatches;
                }
            }
            // Chroma planes (Cb, then Cr) of half width and height; blocks
            // that a stamp pixel reaches are left out.
            const int chromaWidth = expected.width / 2, chromaHeight = expected.height / 2;
            const uint8_t* cbPlane = planes.data() + lumaSize;
            const uint8_t* crPlane = cbPlane + static_cast<size_t>(chromaWidth) * chromaHeight;
            for (int cy = 0; cy < chromaHeight; ++cy) {
                for (int cx = 0; cx < chromaWidth; ++cx) {
                    double r = 0, g = 0, b = 0;
                    bool masked = false;
                    for (int dy = 0; dy < 2; ++dy) {
                        for (int dx = 0; dx < 2; ++dx) {
                            const int x = 2 * cx + dx, y = 2 * cy + dy;
                            masked = masked || mask[static_cast<size_t>(y) * expected.width + x];
                            const uint8_t* p = expected.at(x, y);
                            r += p[0] / 4.0;
                            g += p[1] / 4.0;
                            b += p[2] / 4.0;
                        }
                    }
                    if (masked) continue;
                    ++chromaChecked;
                    const size_t c = static_cast<size_t>(cy) * chromaWidth + cx;
                    const double cb = 128 - 0.168736 * r - 0.331264 * g + 0.5 * b;
                    const double cr = 128 + 0.5 * r - 0.418688 * g - 0.081312 * b;
                    if (std::abs(cbPlane[c] - cb) > 1.0 || std::abs(crPlane[c] - cr) > 1.0)
                        ++chromaMismatches;
                }
            }
        }
        std::fclose(file);
        EXPECT_EQ(count, frames);
        EXPECT_EQ(lumaMismatches, 0);
        EXPECT_GT(chromaChecked, static_cast<long>(lumaSize / 8));
        EXPECT_EQ(chromaMismatches, 0) << "of " << chromaChecked << " chroma samples";
    }
};

TEST_F(HostEndToEnd, DeviceEnumeratorListsTheVirtualCameraAndTheTestCameras) {
    const HostRun run = runHost("--list");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find(": " + virtualCameraName() + "\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(std::string(": ") + cameraA + "\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(std::string(": ") + cameraB + "\n"), std::string::npos) << run.output;
}

TEST_F(HostEndToEnd, ComposedFramesMatchTheTestCamerasInSeveralModes) {
    for (int mode : {LeftImage, SideBySide, ColorAnaglyph, UpAndDown}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        runAndCheck(mode, 0, 0, cameraA, cameraB, 0, 1);
    }
}

TEST_F(HostEndToEnd, LargeSizeSwapAndCameraChoiceReachTheFilter) {
    // 640 x 480, picture in picture with the cameras swapped.
    runAndCheck(PictureInPicture, 1, 1, cameraA, cameraB, 0, 1);
    // The cameras chosen the other way round: B (right eye) as the left camera.
    runAndCheck(GrayAnaglyph, 0, 0, cameraB, cameraA, 1, 0);
}

TEST_F(HostEndToEnd, SettingsPersistForTheNextRun) {
    HostRun run = runHost("--mode 6 --swap 1 --size 0 --frames 1 --out e2e-out/persist-1");
    ASSERT_EQ(run.status, 0) << run.output;
    const StoredSettings stored = readStoredSettings();
    EXPECT_TRUE(stored.hasMode && stored.mode == 6);
    EXPECT_TRUE(stored.hasSwap && stored.swap == 1);
    EXPECT_TRUE(stored.hasSize && stored.size == 0);
    // A run without options uses what is stored.
    run = runHost("--frames 1 --seconds 60 --out e2e-out/persist-2");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("virtual camera: mode 6 (True Anaglyph 3D Image), swap 1, size 320x240"),
              std::string::npos)
        << run.output;
}

TEST_F(HostEndToEnd, SettingsCommandChangesThemThroughThePropertyPages) {
    HostRun run = runHost(std::string("settings --mode 4 --swap 1 --size 1 --left \"") + cameraB +
                          "\" --right \"" + cameraA + "\"");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("mode: 4 (Color Anaglyph 3D Image)\nswap: 1\nresolution: 1 (640x480)"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(std::string("left: ") + cameraB + "\nright: " + cameraA), std::string::npos)
        << run.output;
    // The pages stored what they took, in the product's own format.
    const StoredSettings stored = readStoredSettings();
    EXPECT_TRUE(stored.hasMode && stored.mode == 4);
    EXPECT_TRUE(stored.hasSwap && stored.swap == 1);
    EXPECT_TRUE(stored.hasSize && stored.size == 1);
    EXPECT_EQ(stored.leftName, cameraB);
    EXPECT_EQ(stored.rightName, cameraA);

    // Showing changes nothing; a run opens the camera with these settings.
    run = runHost("settings");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(std::string(": ") + cameraB), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("stored:"), std::string::npos) << run.output;
    // Bounded by the frame, not by the default 3 s: under emulation the graph
    // may take longer than that to start.
    run = runHost("--frames 1 --seconds 60 --out e2e-out/after-settings");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(
        run.output.find(
            std::string("virtual camera: mode 4 (Color Anaglyph 3D Image), swap 1, size 640x480, left \"") +
            cameraB + "\", right \"" + cameraA + "\""),
        std::string::npos)
        << run.output;
}

TEST_F(HostEndToEnd, SettingsCommandLeavesTheCheckingToThePages) {
    HostRun run = runHost(std::string("settings --left \"") + cameraA + "\" --right \"" + cameraB + "\"");
    ASSERT_EQ(run.status, 0) << run.output;
    // The same camera on both sides: the camera selection page refuses it
    // with its message, and the host reports the refusal.
    run = runHost(std::string("settings --left \"") + cameraB + "\" --right \"" + cameraB + "\"");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("can not be the same one"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("did not take"), std::string::npos) << run.output;
    // The refused choice left the stored pair as the first command set it.
    const StoredSettings stored = readStoredSettings();
    EXPECT_EQ(stored.leftName, cameraA);
    EXPECT_EQ(stored.rightName, cameraB);
}

TEST_F(HostEndToEnd, RefusesUnknownCamerasAndModes) {
    HostRun run = runHost("--left \"No Such Camera\" --frames 1 --out e2e-out/refused");
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("names no camera"), std::string::npos) << run.output;
    run = runHost("--mode 12");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("unknown image mode"), std::string::npos) << run.output;
}

// One camera on both sides, however it is spelt, is a bad command line: the
// page's message on stderr, exit status 2, nothing stored and nothing run.
TEST_F(HostEndToEnd, RefusesTheSameCameraOnBothSides) {
    ASSERT_EQ(writeStoredNumber("camMode", 9), ERROR_SUCCESS);  // each run asks for 5
    const StoredSettings before = readStoredSettings();
    const struct {
        const char* left;
        const char* right;
    } cases[] = {
        {cameraA, cameraA},
        {cameraB, "duoview test camera b"},  // exact, then without case
        {"camera a", cameraA},               // a unique part of the name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.left) + " / " + c.right);
        const HostRun run = runHost(std::string("--left \"") + c.left + "\" --right \"" + c.right +
                                    "\" --mode 5 --frames 1 --out e2e-out/same-camera");
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find("Left and Right camera can not be the same one, please reselect."),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(run.output.find("connected:"), std::string::npos) << run.output;
        const StoredSettings after = readStoredSettings();
        EXPECT_EQ(after.leftName, before.leftName);
        EXPECT_EQ(after.rightName, before.rightName);
        EXPECT_TRUE(after.hasMode);
        EXPECT_EQ(after.mode, 9u);
    }
}

#ifdef DV_HOST_V4L2_OUTPUT
std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The value of `key` in the fake device's report ("key value" lines).
std::string reportValue(const std::string& report, const std::string& key) {
    const size_t at = report.find(key + " ");
    if (at == std::string::npos) return "(missing)";
    const size_t from = at + key.size() + 1;
    return report.substr(from, report.find('\n', from) - from);
}

// The device's count on the host's latest progress line ("out N, ...").
long writtenSoFar(const std::string& log) {
    const size_t at = log.rfind("  out ");
    return at == std::string::npos ? 0 : std::strtol(log.c_str() + at + 6, nullptr, 10);
}

// With --output and no --seconds the host streams until interrupted: SIGINT
// stops the graph, releases the device (STREAMOFF, buffers unmapped, node
// closed), prints the summary and exits 0. The device (the in-memory one,
// through the host's test hook) received the delivered pictures as YUYV,
// the last one byte for byte the packing of the last snapshot.
TEST_F(HostEndToEnd, OutputRunsUntilSigintAndReleasesTheDevice) {
    const std::string out = "e2e-out/output-sigint";
    const std::string deviceFolder = "e2e-out/output-sigint-device";
    const std::string logPath = "e2e-out/output-sigint.log";
    for (const char* folder : {"e2e-out", "e2e-out/output-sigint", "e2e-out/output-sigint-device"})
        ::mkdir(folder, 0777);
    std::remove((deviceFolder + "/report.txt").c_str());
    std::remove((out + "/last.png").c_str());
    const std::string program = hostProgram();
    const std::vector<std::string> args = {
        program,   "--mode", "2",        "--size",          "0",        "--left",           cameraA,
        "--right", cameraB,  "--output", fakeLoopbackLabel, "--record", "--snapshot-every", "0",
        "--out",   out};
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(log, 0);
    ::setenv("DV_HOST_FAKE_V4L2_DIR", deviceFolder.c_str(), 1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::unsetenv("DV_HOST_FAKE_V4L2_DIR");
    ::close(log);
    ASSERT_GT(child, 0);

    // Until the device has taken a few pictures (or the host ended early).
    int status = 0;
    bool exited = false;
    const auto begin = std::chrono::steady_clock::now();
    while (writtenSoFar(readText(logPath)) < 3 && !exited &&
           std::chrono::steady_clock::now() - begin < std::chrono::seconds(90)) {
        exited = ::waitpid(child, &status, WNOHANG) == child;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(exited) << "the host ended without a signal:\n" << readText(logPath);
    ::kill(child, SIGINT);
    const auto stopping = std::chrono::steady_clock::now();
    while (!exited && std::chrono::steady_clock::now() - stopping < std::chrono::seconds(60)) {
        exited = ::waitpid(child, &status, WNOHANG) == child;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the host did not stop after SIGINT:\n" << readText(logPath);
    }
    const std::string output = readText(logPath);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("(stopped by SIGINT)"), std::string::npos) << output;
    EXPECT_NE(
        output.find("output: " + deviceFolder + "/video0 (\"" + fakeLoopbackLabel + "\"), 320x240 YUYV"),
        std::string::npos)
        << output;
    EXPECT_NE(output.find(" frames written, 0 dropped (no free buffer), 0 failed\n"), std::string::npos)
        << output;

    const std::string report = readText(deviceFolder + "/report.txt");
    EXPECT_EQ(reportValue(report, "format"), "320x240 YUYV 640 153600") << report;
    EXPECT_GE(std::strtol(reportValue(report, "frames").c_str(), nullptr, 10), 3) << report;
    const struct {
        const char* key;
        const char* value;
    } released[] = {{"stamps-increasing", "1"},
                    {"streamoffs", "1"},
                    {"mapped", "0"},
                    {"open-files", "0"},
                    {"errors", "0"}};
    for (const auto& r : released)
        EXPECT_EQ(reportValue(report, r.key), r.value) << r.key << "\n" << report;

    const RgbPicture last = readSnapshot(out + "/last.png");
    ASSERT_EQ(last.width, 320);
    ASSERT_EQ(last.height, 240);
    const std::ptrdiff_t stride = pix::pictureStride(last.width);
    std::vector<uint8_t> bgr(static_cast<size_t>(stride) * last.height);
    for (int y = 0; y < last.height; ++y)
        for (int x = 0; x < last.width; ++x)
            for (int c = 0; c < 3; ++c)
                bgr[static_cast<size_t>((last.height - 1 - y) * stride + 3 * x + c)] = last.at(x, y)[2 - c];
    std::vector<uint8_t> yuyv(static_cast<size_t>(pix::yuyvRowBytes(last.width)) * last.height);
    ASSERT_TRUE(pix::packBgrToYuyv(pix::ImageView{last.width, last.height, 3, stride, bgr.data()},
                                   yuyv.data(), pix::yuyvRowBytes(last.width), yuyv.size()));
    const std::string raw = readText(deviceFolder + "/last-frame.raw");
    ASSERT_EQ(raw.size(), yuyv.size());
    EXPECT_EQ(std::memcmp(raw.data(), yuyv.data(), yuyv.size()), 0);
}
#endif

#ifdef _WIN32
TEST_F(HostEndToEnd, OutputIsRefusedOnWindows) {
    const HostRun run = runHost("--output /dev/video0");
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("Linux only"), std::string::npos) << run.output;
}
#endif

#ifndef _WIN32
// Under Wine the ctest fixture does the same with regsvr32 /u.
TEST_F(HostEndToEnd, UnregisterRemovesTheVirtualCameraFromTheEnumerator) {
    const HostRun run = runHost("--unregister");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_FALSE(listed(virtualCameraName()));
    EXPECT_FALSE(listed(cameraA));
    const HostRun list = runHost("--list");
    EXPECT_EQ(list.output.find(": " + virtualCameraName() + "\n"), std::string::npos) << list.output;
}
#endif

}  // namespace
