// Every image mode at both sizes, with and without swap, at every
// instruction-set level, against digests of the native build's results,
// with no image library: the mode test the compositor gets on every target,
// including the Windows build. Where the image library is at hand (native
// builds) the same synthetic pairs are also checked against the literal
// rendition of each mode's steps, so the digests stand for checked results.
//
// The digests live in compose_digests.inc; scripts/update-compose-digests.sh
// rewrites it from the native build (DV_WRITE_COMPOSE_DIGESTS names the file
// to write; the test then records instead of comparing).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "compositor/kernels.h"
#include "compositor/kernels_testing.h"
#include "picture_support/picture_support.h"
#include "synthetic_pictures.h"
#ifdef DV_COMPOSE_REFERENCE
#include "test_support.h"
#endif

namespace {

struct ComposeDigest {
    int sizeIndex;
    int32_t mode;
    int swap;
    uint64_t vectorLevels;  // the AVX2 and SSSE3 kernels (identical results)
    uint64_t portable;      // the portable kernels
};

const std::vector<ComposeDigest> recordedDigests = {
#include "compose_digests.inc"
};

// The left sample's buffer after composing the synthetic pair of this size
// in `mode` with `swap`, at the kernel level currently selected.
std::vector<BYTE> composeSyntheticPair(int sizeIndex, int32_t mode, int swap) {
    const int width = sizeIndex == 0 ? 320 : 640, height = width * 3 / 4;
    const picture_support::Rgb24Type type(width, height);
    std::vector<BYTE> left(type.info.bmiHeader.biSizeImage), right(type.info.bmiHeader.biSizeImage);
    synthetic::Rng(0x1000u + static_cast<uint64_t>(sizeIndex)).fill(left.data(), left.size());
    synthetic::Rng(0x2000u + static_cast<uint64_t>(sizeIndex)).fill(right.data(), right.size());
    picture_support::BufferSample l(left), r(right);
    composeStereoFrame(&l, &r, StereoFormats{&type.mt, &type.mt}, CompositionChoice{mode, swap != 0});
    return left;
}

uint64_t digestOf(const std::vector<BYTE>& bytes) {
    return synthetic::fnv1a64(bytes.data(), bytes.size());
}

class ComposeDigests : public ::testing::Test {
protected:
    void TearDown() override {
        pix::useKernelIsaForTesting(nullptr);
        applySizeIndex(0);
    }
};

TEST_F(ComposeDigests, EveryModeSizeAndSwapAtEveryLevelMatchesTheRecordedDigest) {
    const char* writeTo = std::getenv("DV_WRITE_COMPOSE_DIGESTS");
    const bool recording = writeTo && *writeTo;
    std::string table;
    int checked = 0;
    for (int sizeIndex = 0; sizeIndex < 2; ++sizeIndex) {
        applySizeIndex(sizeIndex);
        for (int32_t mode = 0; mode < imageModeCount; ++mode) {
            for (int swap = 0; swap < 2; ++swap) {
                SCOPED_TRACE("size " + std::to_string(sizeIndex) + " mode " + std::to_string(mode) +
                             " swap " + std::to_string(swap));
                const ComposeDigest* recorded = nullptr;
                for (const ComposeDigest& d : recordedDigests)
                    if (d.sizeIndex == sizeIndex && d.mode == mode && d.swap == swap) recorded = &d;
                uint64_t levelDigests[2] = {0, 0};  // vector levels, portable
                bool haveVector = false;
                for (const char* isa : {"avx2", "ssse3", "baseline"}) {
                    if (!pix::useKernelIsaForTesting(isa)) continue;
                    const bool portable = std::string(isa) == "baseline";
                    const uint64_t digest = digestOf(composeSyntheticPair(sizeIndex, mode, swap));
                    if (!portable && haveVector) {
                        EXPECT_EQ(digest, levelDigests[0]) << isa << " differs from the other vector level";
                    }
                    levelDigests[portable ? 1 : 0] = digest;
                    haveVector = haveVector || !portable;
                    if (recording) continue;
                    ASSERT_NE(recorded, nullptr)
                        << "no recorded digest; run scripts/update-compose-digests.sh";
                    EXPECT_EQ(digest, portable ? recorded->portable : recorded->vectorLevels) << isa;
                    ++checked;
                }
                // The level the kernels choose by themselves, as they run in the product.
                pix::useKernelIsaForTesting(nullptr);
                if (!recording && recorded) {
                    const bool portable = std::string(pix::kernelIsa()) == "baseline";
                    EXPECT_EQ(digestOf(composeSyntheticPair(sizeIndex, mode, swap)),
                              portable ? recorded->portable : recorded->vectorLevels)
                        << "automatic choice " << pix::kernelIsa();
                }
                if (recording) {
                    ASSERT_TRUE(haveVector) << "recording needs a processor with the vector levels";
                    char line[128];
                    std::snprintf(line, sizeof line,
                                  "{%d, %d, %d, 0x%016" PRIx64 "ull, 0x%016" PRIx64 "ull},\n", sizeIndex,
                                  static_cast<int>(mode), swap, levelDigests[0], levelDigests[1]);
                    table += line;
                }
            }
        }
    }
    if (recording) {
        FILE* out = std::fopen(writeTo, "w");
        ASSERT_NE(out, nullptr) << writeTo;
        std::fputs(
            "// Digests (64-bit FNV-1a) of the left buffer after composing the synthetic\n"
            "// pair of tests/compositor/compose_digest_test.cpp: size index, image mode,\n"
            "// swap flag, vector kernel levels, portable kernels. Written by\n"
            "// scripts/update-compose-digests.sh from the native build; do not edit.\n",
            out);
        std::fputs(table.c_str(), out);
        ASSERT_EQ(std::fclose(out), 0);
        std::printf("wrote %s\n", writeTo);
    } else {
        EXPECT_GE(checked, 2 * imageModeCount * 2) << "every case at one level at least";
    }
}

#ifdef DV_COMPOSE_REFERENCE
// The digests' synthetic pairs, composed at the automatically chosen level,
// are the stated steps within 1 (as the random pairs of compose_test are).
TEST_F(ComposeDigests, SyntheticPairsMatchTheStatedStepsWithinOne) {
    using namespace testing_support;
    for (int sizeIndex = 0; sizeIndex < 2; ++sizeIndex) {
        applySizeIndex(sizeIndex);
        const int width = sizeIndex == 0 ? 320 : 640, height = width * 3 / 4;
        for (int32_t mode = 0; mode < imageModeCount; ++mode) {
            for (int swap = 0; swap < 2; ++swap) {
                Picture left(width, height), right(width, height);
                synthetic::Rng(0x1000u + static_cast<uint64_t>(sizeIndex))
                    .fill(left.bytes.data(), left.bytes.size());
                synthetic::Rng(0x2000u + static_cast<uint64_t>(sizeIndex))
                    .fill(right.bytes.data(), right.bytes.size());
                cv::Mat expected = left.copy(), expectedRight = right.copy();
                referenceCompose(expected, expectedRight, mode, swap != 0);
                std::vector<BYTE> composed = composeSyntheticPair(sizeIndex, mode, swap);
                const cv::Mat got(height, width, CV_8UC3, composed.data(), static_cast<size_t>(left.stride));
                EXPECT_LE(maxDifference(got, expected), 1)
                    << "size " << sizeIndex << " mode " << mode << " swap " << swap;
            }
        }
    }
}
#endif

}  // namespace
