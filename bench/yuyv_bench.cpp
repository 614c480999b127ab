// The output packers per size: BGR to YUYV at every instruction-set level this
// processor has, BGR to RGB24, and memcpy of one frame of the source as the
// base of the ratios; measured interleaved in one process, medians over many
// repetitions, one thread.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "compositor/yuyv_pack.h"

namespace {

double timeMicros(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(end - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Candidate {
    std::string name;
    const char* isa;  // the YUYV level, or null for the others
    std::function<void()> run;
    std::vector<double> times;
};

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    std::printf(
        "BGR (bottom-up) to YUYV / RGB24 (top-down), %d interleaved repetitions, medians in microseconds\n",
        repetitions);
    std::printf("%-10s %-16s %10s %8s\n", "size", "conversion", "median", "x memcpy");
    const int sizes[][2] = {{320, 240}, {640, 480}, {1280, 720}};
    for (const auto& size : sizes) {
        const int width = size[0], height = size[1];
        const std::ptrdiff_t stride = pix::pictureStride(width);
        std::vector<uint8_t> bgr(static_cast<size_t>(stride) * height);
        std::mt19937 random(7);
        for (uint8_t& byte : bgr)
            byte = static_cast<uint8_t>(random());
        const pix::ImageView src{width, height, 3, stride, bgr.data()};
        std::vector<uint8_t> copy(bgr.size());
        std::vector<uint8_t> yuyv(static_cast<size_t>(pix::yuyvRowBytes(width)) * height);
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3 * height);

        std::vector<Candidate> candidates;
        candidates.push_back(
            {"memcpy", nullptr, [&] { std::memcpy(copy.data(), bgr.data(), bgr.size()); }, {}});
        for (const char* isa : {"baseline", "ssse3", "avx2"}) {
            if (!pix::useYuyvPackIsaForTesting(isa)) continue;
            candidates.push_back(
                {std::string("yuyv ") + isa,
                 isa,
                 [&] { pix::packBgrToYuyv(src, yuyv.data(), pix::yuyvRowBytes(width), yuyv.size()); },
                 {}});
        }
        candidates.push_back(
            {"rgb24", nullptr, [&] { pix::packBgrToRgb24(src, rgb.data(), width * 3, rgb.size()); }, {}});
        for (int r = 0; r < repetitions; ++r) {
            for (Candidate& c : candidates) {
                if (c.isa) pix::useYuyvPackIsaForTesting(c.isa);
                c.times.push_back(timeMicros(c.run));
            }
        }
        pix::useYuyvPackIsaForTesting(nullptr);
        const double base = median(candidates[0].times);
        char label[32];
        std::snprintf(label, sizeof label, "%dx%d", width, height);
        for (const Candidate& c : candidates) {
            const double m = median(c.times);
            std::printf("%-10s %-16s %10.1f %8.2f\n", label, c.name.c_str(), m, base > 0 ? m / base : 0.0);
        }
    }
    std::printf("automatic choice: %s\n", pix::yuyvPackIsa());
    return 0;
}
