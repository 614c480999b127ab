// Every instruction-set level of the pixel kernels against the portable
// level, with no image library: this is the pixel test the kernels get on
// every target, including the Windows build (another compiler, its runtime
// dispatch, its thread stacks). Each level runs on the main thread and on a
// thread the test starts, over buffers that start off any alignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "compositor/kernels.h"
#include "compositor/kernels_testing.h"
#include "synthetic_pictures.h"

namespace {

using synthetic::Rng;

// A byte buffer whose data start `misalign` bytes past a 64-byte boundary.
class Bytes {
public:
    Bytes(size_t size, size_t misalign) : storage(size + 128), size(size) {
        const auto base = reinterpret_cast<uintptr_t>(storage.data());
        start = storage.data() + ((64 - base % 64) % 64) + misalign;
    }
    uint8_t* data() { return start; }
    void fill(Rng& rng) { rng.fill(start, size); }
    std::vector<uint8_t> contents() const { return std::vector<uint8_t>(start, start + size); }

private:
    std::vector<uint8_t> storage;
    uint8_t* start;
    size_t size;
};

// A 3-channel picture over a Bytes buffer with rows `padding` bytes longer than needed.
struct Picture {
    Picture(int width, int height, size_t misalign, int padding = 0)
        : stride(width * 3 + padding), bytes(static_cast<size_t>(stride) * height, misalign) {
        view.width = width;
        view.height = height;
        view.channels = 3;
        view.stride = stride;
        view.data = bytes.data();
    }
    int stride;
    Bytes bytes;
    pix::ImageView view;
};

// Row lengths around every vector step and its tails (16 and 32 pixels,
// 96-byte blocks), and the modes' row lengths.
const int rowPixels[] = {1,  2,  7,  15, 16, 17, 18,  31,  32,  33,  34, 35,
                         42, 43, 50, 51, 53, 54, 100, 120, 320, 400, 640};

// The output of every dispatched kernel over fixed inputs, by kernel name.
// Runs entirely on the calling thread at the level currently selected.
std::map<std::string, std::vector<uint8_t>> runEveryKernel() {
    std::map<std::string, std::vector<uint8_t>> out;
    auto append = [&out](const std::string& name, const Bytes& b) {
        const std::vector<uint8_t> c = b.contents();
        out[name].insert(out[name].end(), c.begin(), c.end());
    };
    Rng rng(0x5eed);
    for (const int pixels : rowPixels) {
        for (const size_t misalign : {size_t{0}, size_t{1}, size_t{3}}) {
            const size_t rowBytes = static_cast<size_t>(pixels) * 3;
            Bytes a(2 * rowBytes, misalign), b(2 * rowBytes, misalign + 5), dst(2 * rowBytes, misalign + 2);
            a.fill(rng);
            b.fill(rng);

            for (unsigned mask = 0; mask < 8; ++mask) {
                pix::blendChannelsRow(dst.data(), a.data(), b.data(), pixels, mask);
                append("blendChannelsRow", dst);
            }
            for (const bool greenIsZero : {false, true}) {
                pix::lumaAnaglyphRow(dst.data(), a.data(), b.data(), pixels, greenIsZero);
                append("lumaAnaglyphRow", dst);
            }
            pix::averageRowsRow(dst.data(), a.data(), b.data(), static_cast<int>(rowBytes));
            append("averageRowsRow", dst);
            // Half of a row twice as long: pixels output pixels from 2 x pixels input.
            pix::halveWidthRow(dst.data(), a.data(), pixels);
            append("halveWidthRow", dst);
            pix::quarterRow(dst.data(), a.data(), b.data(), pixels);
            append("quarterRow", dst);

            // In place, towards the start of the row.
            Bytes inPlace(2 * rowBytes, misalign);
            std::memcpy(inPlace.data(), a.data(), 2 * rowBytes);
            pix::halveWidthRow(inPlace.data(), inPlace.data(), pixels);
            append("halveWidthRow in place", inPlace);
            std::memcpy(inPlace.data(), a.data(), 2 * rowBytes);
            pix::quarterRow(inPlace.data(), inPlace.data(), b.data(), pixels);
            append("quarterRow in place", inPlace);
            std::memcpy(inPlace.data(), a.data(), 2 * rowBytes);
            pix::lumaAnaglyphRow(inPlace.data(), inPlace.data(), b.data(), pixels, false);
            append("lumaAnaglyphRow in place", inPlace);
        }
    }

    // The planned resize (vertical blend and horizontal gather), red from
    // one picture and green and blue from another, shrinking and enlarging.
    struct ResizeCase {
        int srcW, srcH, dstW, dstH;
    };
    const ResizeCase resizes[] = {{640, 480, 240, 180}, {320, 240, 120, 90}, {640, 480, 320, 480},
                                  {320, 240, 320, 120}, {97, 61, 33, 17},    {320, 240, 400, 300}};
    for (const ResizeCase& c : resizes) {
        Picture red(c.srcW, c.srcH, 1, 4), greenBlue(c.srcW, c.srcH, 3), dst(c.dstW + 5, c.dstH + 2, 2, 8);
        red.bytes.fill(rng);
        greenBlue.bytes.fill(rng);
        dst.bytes.fill(rng);
        pix::ResizePlan plan;
        if (!plan.build(c.srcW, c.srcH, c.dstW, c.dstH)) {
            out["plan.build failed"] = {};
            continue;
        }
        const pix::Rect target{3, 1, c.dstW, c.dstH};
        if (!pix::resizeWithPlan(red.view, greenBlue.view, dst.view, target, plan))
            out["resize refused"] = {};
        append("resizeWithPlan", dst.bytes);
        pix::resizeWithPlan(greenBlue.view, greenBlue.view, dst.view, target, plan);
        append("resizeWithPlan one source", dst.bytes);
        if (c.dstH <= c.srcH && c.dstW <= c.srcW) {
            // In place over its own source, target at row 0.
            pix::resizeWithPlan(greenBlue.view, greenBlue.view, greenBlue.view,
                                pix::Rect{0, 0, c.dstW, c.dstH}, plan);
            append("resizeWithPlan in place", greenBlue.bytes);
        }
    }
    return out;
}

// The kernels' outputs at `isa`, or an empty map when this processor lacks it.
std::map<std::string, std::vector<uint8_t>> outputsAt(const char* isa) {
    if (!pix::useKernelIsaForTesting(isa)) return {};
    auto out = runEveryKernel();
    pix::useKernelIsaForTesting(nullptr);
    return out;
}

// The first difference of more than `tolerance` between two outputs of one kernel.
std::string firstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& expected,
                            int tolerance) {
    if (got.size() != expected.size())
        return "length " + std::to_string(got.size()) + " != " + std::to_string(expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const int d = got[i] > expected[i] ? got[i] - expected[i] : expected[i] - got[i];
        if (d > tolerance)
            return "byte " + std::to_string(i) + ": " + std::to_string(got[i]) + " vs " +
                   std::to_string(expected[i]);
    }
    return {};
}

class IsaLevel : public ::testing::TestWithParam<const char*> {};

TEST_P(IsaLevel, EqualsPortableKernelsOnMainAndOwnThread) {
    const char* isa = GetParam();
    if (!pix::useKernelIsaForTesting(isa)) GTEST_SKIP() << isa << " not available here";
    pix::useKernelIsaForTesting(nullptr);

    const auto portable = outputsAt("baseline");
    ASSERT_FALSE(portable.empty());
    const auto onMain = outputsAt(isa);
    std::map<std::string, std::vector<uint8_t>> onThread;
    std::thread worker([&onThread, isa] { onThread = outputsAt(isa); });
    worker.join();
    // The SSSE3 quarter, which vector levels share bit for bit.
    const auto ssse3 = outputsAt("ssse3");

    ASSERT_EQ(onMain.size(), portable.size()) << "a kernel failed or refused at " << isa;
    for (const auto& [name, expected] : portable) {
        SCOPED_TRACE(name);
        ASSERT_EQ(onMain.count(name), 1u);
        // The quarter is a mean of two rounded means in the vector forms,
        // one rounded mean of four in the portable one: within 1.
        const bool quarter = name.rfind("quarterRow", 0) == 0;
        EXPECT_EQ(firstDifference(onMain.at(name), expected, quarter ? 1 : 0), "")
            << isa << " against portable";
        EXPECT_EQ(firstDifference(onThread.at(name), onMain.at(name), 0), "")
            << isa << " on a thread of its own";
        if (quarter && !ssse3.empty()) {
            EXPECT_EQ(firstDifference(onMain.at(name), ssse3.at(name), 0), "") << isa << " against ssse3";
        }
    }
}

TEST(PortableKernels, GiveTheSameOnAnyThread) {
    const auto onMain = outputsAt("baseline");
    std::map<std::string, std::vector<uint8_t>> onThread;
    std::thread worker([&onThread] { onThread = outputsAt("baseline"); });
    worker.join();
    EXPECT_TRUE(onMain == onThread);
    EXPECT_EQ(onMain.count("resizeWithPlan"), 1u);
}

#if defined(__i386__)
// 32-bit Windows promises 4-byte stack alignment only: a thread, a window
// procedure or a host's callback may enter the product with its stack 4, 8 or
// 12 bytes off a 16-byte boundary. dv_call_with_stack_offset calls fn(arg)
// with the stack that far off at the callee's entry, as such a caller would.
extern "C" void dvCallWithStackOffset(void (*fn)(void*), void* arg,
                                      unsigned offset) asm("dv_call_with_stack_offset");
asm(R"(
    .text
    .globl dv_call_with_stack_offset
dv_call_with_stack_offset:
    pushl %ebp
    movl %esp, %ebp
    movl 8(%ebp), %eax
    movl 12(%ebp), %edx
    andl $-16, %esp
    subl $12, %esp
    subl 16(%ebp), %esp
    pushl %edx
    call *%eax
    movl %ebp, %esp
    popl %ebp
    ret
)");

struct OffStackRun {
    const char* isa;
    std::map<std::string, std::vector<uint8_t>> outputs;
    uintptr_t alignedLocalAddress = 0;
};

void runOffStack(void* arg) {
    auto* run = static_cast<OffStackRun*>(arg);
    // Realigned entry or not: a 16-byte aligned local shows it.
    alignas(16) volatile uint8_t probe[16] = {};
    run->alignedLocalAddress = reinterpret_cast<uintptr_t>(&probe[0]);
    run->outputs = outputsAt(run->isa);
}

TEST_P(IsaLevel, SameOutputsWhenEnteredWithAStackAlignedToFourBytesOnly) {
    const char* isa = GetParam();
    if (!pix::useKernelIsaForTesting(isa)) GTEST_SKIP() << isa << " not available here";
    pix::useKernelIsaForTesting(nullptr);
    const auto onMain = outputsAt(isa);
    ASSERT_FALSE(onMain.empty());
    for (const unsigned offset : {4u, 8u, 12u}) {
        SCOPED_TRACE("stack off by " + std::to_string(offset));
        OffStackRun run{isa, {}, 0};
        std::thread worker([&run, offset] { dvCallWithStackOffset(&runOffStack, &run, offset); });
        worker.join();
        EXPECT_EQ(run.alignedLocalAddress % 16, 0u) << "the callee did not realign its frame";
        EXPECT_TRUE(run.outputs == onMain) << isa << " kernels differ on a stack off by " << offset;
    }
}
#else
TEST_P(IsaLevel, SameOutputsWhenEnteredWithAStackAlignedToFourBytesOnly) {
    GTEST_SKIP() << "stacks are 16-byte aligned at every entry on this target";
}
#endif

INSTANTIATE_TEST_SUITE_P(Levels, IsaLevel, ::testing::Values("avx2", "ssse3"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
