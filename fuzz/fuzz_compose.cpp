// Composition of one pair of samples from connection formats and buffers a
// peer could hand the filter: any format type and length, any picture
// geometry and bit count, buffers shorter or longer than the format claims,
// one sample on both sides, any image mode, swap value and size index, at
// every instruction-set level. Geometry is kept small so that an input runs in
// well under a millisecond; the two real sizes are swept once at start-up.
//
// Beyond the sanitizers' checks, two properties are asserted:
//  - a pair the compositor must leave alone (no usable 24-bit view on either
//    side, or a mode outside the twelve without swap) leaves the left buffer
//    unchanged;
//  - a composed picture agrees with the portable kernels' within 1 per byte.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "compositor/compose.h"
#include "compositor/frame_store.h"
#include "compositor/kernels_testing.h"
#include "fuzz_input.h"
#include "picture_support/picture_support.h"
#include "platform/messagebox.h"

namespace {

const char* const isaLevels[] = {"baseline", "ssse3", "avx2"};

int quietBox(const char*, const char*, unsigned) {
    return IDOK;
}

[[noreturn]] void fail(const char* what, int mode, int swap) {
    std::fprintf(stderr, "fuzz_compose: %s (mode %d, swap %d)\n", what, mode, swap);
    std::abort();
}

// A connection format with its own format block of exactly cbFormat bytes, so
// that reading past the block is caught.
struct FuzzFormat {
    std::vector<BYTE> block;
    AM_MEDIA_TYPE mt{};

    void build(FuzzInput& in) {
        static const LONG edgeSizes[] = {0,  1,  2,  3,  4,   5,         7,         8,    17,
                                         33, 64, -1, -3, -64, INT32_MIN, INT32_MAX, 40000};
        static const WORD bitCounts[] = {24, 24, 24, 24, 0, 1, 8, 16, 32, 48};
        VIDEOINFOHEADER info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth =
            in.flag() ? edgeSizes[in.pick(std::size(edgeSizes))] : 1 + LONG(in.byte() % 48);
        info.bmiHeader.biHeight =
            in.flag() ? edgeSizes[in.pick(std::size(edgeSizes))] : 1 + LONG(in.byte() % 40);
        if (in.flag())
            info.bmiHeader.biHeight = static_cast<LONG>(0u - static_cast<uint32_t>(info.bmiHeader.biHeight));
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = bitCounts[in.pick(std::size(bitCounts))];
        info.bmiHeader.biSizeImage = in.flag() ? in.u32() : 0;
        info.AvgTimePerFrame = in.flag() ? REFERENCE_TIME(in.i32()) : 333333;
        if (in.flag()) info.rcSource = RECT{in.i32(), in.i32(), in.i32(), in.i32()};

        mt.majortype = in.pick(8) ? MEDIATYPE_Video : GUID_NULL;
        mt.subtype = in.pick(8) ? MEDIASUBTYPE_RGB24 : MEDIASUBTYPE_RGB32;
        const size_t formatChoice = in.pick(10);
        mt.formattype = formatChoice < 8    ? FORMAT_VideoInfo
                        : formatChoice == 8 ? FORMAT_VideoInfo2
                                            : GUID_NULL;
        ULONG length = sizeof(info);
        switch (in.pick(8)) {
        case 0:
            length = 0;
            break;
        case 1:
            length = sizeof(info) - 1 - in.byte() % 40;
            break;
        case 2:
            length = sizeof(info) + in.byte() % 64;
            break;
        default:
            break;
        }
        block.assign(length, 0);
        std::copy_n(reinterpret_cast<const BYTE*>(&info), std::min<size_t>(length, sizeof(info)),
                    block.begin());
        mt.cbFormat = length;
        mt.pbFormat = length ? block.data() : nullptr;
        mt.bFixedSizeSamples = TRUE;
    }

    // Bytes of the picture the format claims, or a small number when that is
    // not something one would allocate.
    size_t claimedBytes() const {
        const VIDEOINFOHEADER* info = videoInfoOf(&mt);
        if (!info) return 64;
        const long long width = std::abs(static_cast<long long>(info->bmiHeader.biWidth));
        const long long height = std::abs(static_cast<long long>(info->bmiHeader.biHeight));
        if (width == 0 || height == 0 || width > 4096 || height > 4096) return 64;
        return static_cast<size_t>(((width * 3 + 3) & ~3LL) * height);
    }
};

// A sample buffer of the claimed size give or take a few bytes, filled from
// the input and then with a pattern.
std::vector<BYTE> makeBuffer(FuzzInput& in, const FuzzFormat& format) {
    long long size = static_cast<long long>(format.claimedBytes());
    switch (in.pick(6)) {
    case 0:
        size -= 1 + in.byte() % 16;
        break;
    case 1:
        size += 1 + in.byte() % 16;
        break;
    case 2:
        size = in.byte();
        break;
    default:
        break;
    }
    std::vector<BYTE> buffer(static_cast<size_t>(std::max(0LL, size)));
    const uint8_t seed = in.byte();
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<BYTE>(seed + i * 7 + (i >> 5));
    return buffer;
}

bool usableView(const FuzzFormat& format, std::vector<BYTE>& buffer) {
    pix::ImageView view;
    BYTE* data = buffer.empty() ? nullptr : buffer.data();
    return makePictureView(&format.mt, data, static_cast<LONG>(buffer.size()), view);
}

void composeOnce(FuzzInput& in) {
    FuzzFormat leftFormat, rightFormat;
    leftFormat.build(in);
    const bool sameFormat = in.flag();
    if (!sameFormat) rightFormat.build(in);
    const FuzzFormat& rightUsed = sameFormat ? leftFormat : rightFormat;

    std::vector<BYTE> leftBuffer = makeBuffer(in, leftFormat);
    const bool sameSample = in.pick(6) == 0;
    std::vector<BYTE> rightBuffer = sameSample ? std::vector<BYTE>() : makeBuffer(in, rightUsed);

    static const int32_t modes[] = {12, -1, INT32_MAX, INT32_MIN};
    const int32_t mode = in.pick(5) ? int32_t(in.pick(imageModeCount)) : modes[in.pick(std::size(modes))];
    static const int32_t swaps[] = {0, 1, 2, -1};
    const int32_t swap = swaps[in.pick(std::size(swaps))];
    const char* isa = isaLevels[in.pick(std::size(isaLevels))];

    const CompositionChoice choice{mode, swap != 0};
    if (in.pick(16) == 0) {
        static const int32_t sizes[] = {0, 1, 2, -1};
        applySizeIndex(sizes[in.pick(std::size(sizes))]);
    }

    std::vector<BYTE>& rightStore = sameSample ? leftBuffer : rightBuffer;
    const std::vector<BYTE> leftBefore = leftBuffer;
    const std::vector<BYTE> rightBefore = rightStore;
    const bool usable = usableView(leftFormat, leftBuffer) && usableView(rightUsed, rightStore);
    // The swap exchanges the pictures before the mode is looked at, so only an
    // unswapped pair in an unknown mode is left exactly as it was.
    const bool composes = usable && ((mode >= 0 && mode < imageModeCount) || swap != 0);

    picture_support::BufferSample leftSample(leftBuffer.empty() ? nullptr : leftBuffer.data(),
                                             static_cast<LONG>(leftBuffer.size()));
    picture_support::BufferSample rightSample(rightStore.empty() ? nullptr : rightStore.data(),
                                              static_cast<LONG>(rightStore.size()));
    StereoFormats formats{&leftFormat.mt, &rightUsed.mt};
    if (in.pick(16) == 0) formats.right = nullptr;

    const bool isaAvailable = pix::useKernelIsaForTesting(isa);
    composeStereoFrame(&leftSample, sameSample ? &leftSample : &rightSample, formats, choice);

    if (!composes || !formats.right) {
        if (leftBuffer != leftBefore)
            fail("a pair that composes nothing changed the left buffer", mode, swap);
    } else if (isaAvailable && !sameSample && std::string(isa) != "baseline") {
        std::vector<BYTE> portableLeft = leftBefore, portableRight = rightBefore;
        picture_support::BufferSample a(portableLeft.data(), static_cast<LONG>(portableLeft.size()));
        picture_support::BufferSample b(portableRight.data(), static_cast<LONG>(portableRight.size()));
        pix::useKernelIsaForTesting("baseline");
        composeStereoFrame(&a, &b, formats, choice);
        for (size_t i = 0; i < portableLeft.size(); ++i) {
            if (std::abs(int(portableLeft[i]) - int(leftBuffer[i])) > 1)
                fail("vector kernels differ from the portable ones by more than 1", mode, swap);
        }
    }
    pix::useKernelIsaForTesting(nullptr);
}

// Every mode, swap flag and level once at 320x240 and 640x480 in both size
// indices: the real sizes are too slow to fuzz under the sanitizers.
void sweepRealSizes() {
    for (int32_t sizeIndex : {0, 1}) {
        applySizeIndex(sizeIndex);
        for (const auto& size : {std::pair<int, int>{320, 240}, std::pair<int, int>{640, 480}}) {
            picture_support::Rgb24Type type(size.first, size.second);
            std::vector<BYTE> left(type.info.bmiHeader.biSizeImage), right(left.size());
            for (const char* isa : isaLevels) {
                if (!pix::useKernelIsaForTesting(isa)) continue;
                for (int32_t mode = 0; mode < imageModeCount; ++mode) {
                    for (int32_t swap : {0, 1}) {
                        for (size_t i = 0; i < left.size(); ++i) {
                            left[i] = static_cast<BYTE>(i * 13 + mode);
                            right[i] = static_cast<BYTE>(i * 5 + swap);
                        }
                        picture_support::BufferSample a(left), b(right);
                        composeStereoFrame(&a, &b, StereoFormats{&type.mt, &type.mt},
                                           CompositionChoice{mode, swap != 0});
                    }
                }
            }
        }
    }
    pix::useKernelIsaForTesting(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dvSetMessageBoxHandler(quietBox);
    if (!std::getenv("DV_FUZZ_NO_SWEEP")) sweepRealSizes();
    applySizeIndex(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int frames = 1 + in.pick(3);
    for (int i = 0; i < frames; ++i)
        composeOnce(in);
    return 0;
}
