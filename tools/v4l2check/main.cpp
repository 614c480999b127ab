// dv_v4l2_check: checks what V4L2 readers got from a loopback device.
//
//   dv_v4l2_check --size WxH --format yuyv|rgb24 --expect passthrough|MODE[:SWAP]
//                 --left REF.yuyv --right REF.yuyv
//                 --reader NAME=FRAMES[,TIMES] [--reader ...]
//                 [--skip N] [--tolerance MEAN] [--far-share SHARE]
//                 [--min-frames N] [--min-fps F]
//
// REF files are raw top-down YUYV frames of the two cameras read directly
// (the last whole frame is used); FRAMES are raw frames of --format as a
// reader wrote them; TIMES (optional) holds one time stamp in seconds per
// frame, one a line (as many as FRAMES holds frames). Every frame after the first N must be within the
// tolerance of the expected picture (the compositor applied to the references, through the reader's pixel
// format and back), and no other mode may match the first checked frame better. Prints one line per reader;
// exit status 0 when all pass, 1 when one fails, 2 for a bad command line or unreadable file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "compositor/frame_store.h"
#include "compositor/image_mode.h"
#include "framework/runtime_settings.h"
#include "v4l2check.h"

using namespace v4l2check;

namespace {

struct Reader {
    std::string name, frames, times;
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "dv_v4l2_check: %s (see the comment at the top of tools/v4l2check/main.cpp)\n", why);
    std::exit(2);
}

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::vector<double> readTimes(const std::string& path) {
    std::vector<double> out;
    std::ifstream in(path);
    double v;
    while (in >> v)
        out.push_back(v);
    return out;
}

Picture lastFrame(const std::string& path, int w, int h) {
    std::vector<uint8_t> bytes;
    const size_t n = frameBytes(PixelFormat::Yuyv, w, h);
    if (!readFile(path, bytes) || bytes.size() < n) {
        std::fprintf(stderr, "dv_v4l2_check: %s holds no whole %dx%d YUYV frame\n", path.c_str(), w, h);
        std::exit(2);
    }
    return decodeFrame(PixelFormat::Yuyv, bytes.data() + (bytes.size() / n - 1) * n, w, h);
}

}  // namespace

int main(int argc, char** argv) {
    int width = 0, height = 0, skip = 0, minFrames = 1;
    double tolerance = 8, farShare = 0.03, minFps = 0;
    PixelFormat format = PixelFormat::Yuyv;
    Expectation want;
    bool haveExpect = false;
    std::string leftPath, rightPath;
    std::vector<Reader> readers;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) usage(("missing value of " + arg).c_str());
        const std::string value = argv[++i];
        if (arg == "--size") {
            if (std::sscanf(value.c_str(), "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0 ||
                width % 2)
                usage("bad --size");
        } else if (arg == "--format") {
            if (value != "yuyv" && value != "rgb24") usage("bad --format");
            format = value == "yuyv" ? PixelFormat::Yuyv : PixelFormat::Rgb24;
        } else if (arg == "--expect") {
            haveExpect = true;
            if (value == "passthrough") {
                want = Expectation{};
            } else if (std::sscanf(value.c_str(), "%d:%d", &want.mode, &want.swap) < 1 || want.mode < 0 ||
                       want.mode >= imageModeCount) {
                usage("bad --expect");
            }
        } else if (arg == "--left") {
            leftPath = value;
        } else if (arg == "--right") {
            rightPath = value;
        } else if (arg == "--reader") {
            const size_t eq = value.find('='), comma = value.find(',');
            if (eq == std::string::npos) usage("bad --reader");
            Reader r{value.substr(0, eq),
                     value.substr(eq + 1, comma == std::string::npos ? comma : comma - eq - 1),
                     comma == std::string::npos ? "" : value.substr(comma + 1)};
            readers.push_back(r);
        } else if (arg == "--skip") {
            skip = std::atoi(value.c_str());
        } else if (arg == "--tolerance") {
            tolerance = std::atof(value.c_str());
        } else if (arg == "--far-share") {
            farShare = std::atof(value.c_str());
        } else if (arg == "--min-frames") {
            minFrames = std::atoi(value.c_str());
        } else if (arg == "--min-fps") {
            minFps = std::atof(value.c_str());
        } else {
            usage(("unknown option " + arg).c_str());
        }
    }
    if (!width || !haveExpect || leftPath.empty() || rightPath.empty() || readers.empty())
        usage("--size, --expect, --left, --right and --reader are required");

    const Picture left = lastFrame(leftPath, width, height), right = lastFrame(rightPath, width, height);
    std::vector<Expectation> all{Expectation{}};
    for (int mode = 0; mode < imageModeCount; ++mode)
        for (int swap = 0; swap < 2; ++swap)
            all.push_back(Expectation{mode, swap});
    const std::vector<Candidate> candidates = makeCandidates(all, left, right, format);
    const Candidate* target = nullptr;
    for (const Candidate& c : candidates)
        if (c.expectation.mode == want.mode && (want.mode < 0 || c.expectation.swap == want.swap))
            target = &c;
    if (!target) usage("the compositor has no picture for --expect at --size");
    releaseWorkImages();
    const Difference leftToRight = compare(left, right);
    std::printf("check: expect %s at %dx%d; the two references differ by %.1f on average\n",
                describe(want).c_str(), width, height, leftToRight.meanAbs);

    const size_t frameSize = frameBytes(format, width, height);
    bool allPass = true;
    for (const Reader& r : readers) {
        std::vector<uint8_t> bytes;
        if (!readFile(r.frames, bytes)) {
            std::printf("check %s: FAIL, cannot read %s\n", r.name.c_str(), r.frames.c_str());
            allPass = false;
            continue;
        }
        const size_t count = bytes.size() / frameSize;
        int checked = 0, good = 0;
        double worstMean = 0, worstFar = 0;
        std::string nearestText = "none";
        bool nearestOk = false;
        for (size_t i = static_cast<size_t>(skip); i < count; ++i) {
            const Picture got = decodeFrame(format, bytes.data() + i * frameSize, width, height);
            const Difference d = compare(target->picture, got);
            if (checked == 0) {
                const Match m = nearest(candidates, got);
                nearestText = describe(m.candidate->expectation);
                // An equal picture under another name (left image = passthrough) is as good.
                nearestOk = compare(m.candidate->picture, target->picture).meanAbs <= tolerance / 4;
            }
            ++checked;
            worstMean = std::max(worstMean, d.meanAbs);
            worstFar = std::max(worstFar, d.farShare);
            good += d.meanAbs <= tolerance && d.farShare <= farShare ? 1 : 0;
        }
        std::string rateText = "no time stamps";
        bool rateOk = true;
        if (!r.times.empty()) {
            const double fps = frameRate(readTimes(r.times));
            char text[64];
            std::snprintf(text, sizeof text, "%.1f fps", fps);
            rateText = text;
            const size_t stamps = readTimes(r.times).size();
            rateOk = fps >= minFps;
            if (stamps != count) {
                // A reader that repeats frames to keep a nominal rate writes more frames than it got.
                std::snprintf(text, sizeof text, "%.1f fps, but %zu time stamps", fps, stamps);
                rateText = text;
                rateOk = false;
            }
        }
        const bool pass =
            checked >= minFrames && good == checked && nearestOk && rateOk && bytes.size() % frameSize == 0;
        std::printf(
            "check %s: %s, %zu frames of %zu bytes%s, %d/%d match (worst mean diff %.2f, worst far share "
            "%.4f), nearest: %s, %s\n",
            r.name.c_str(), pass ? "ok" : "FAIL", count, frameSize,
            bytes.size() % frameSize ? " (trailing partial frame)" : "", good, checked, worstMean, worstFar,
            nearestText.c_str(), rateText.c_str());
        allPass = allPass && pass;
    }
    return allPass ? 0 : 1;
}
