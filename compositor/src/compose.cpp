#include "compositor/compose.h"

#include <climits>
#include <cstring>
#include <mutex>

#include "compositor/kernels.h"
#include "compositor/runtime_settings.h"
#include "frame_store_state.h"

namespace {

using pix::ImageView;
using pix::Rect;

constexpr int maxPictureDimension = 1 << 15;

// Channel numbers of B, G, R in a 3-channel picture.
constexpr int blue = 0, green = 1, red = 2;
constexpr unsigned redFromFirst = 1u << red;

bool needsWorkPicture(uint32_t mode) {
    return mode == SideBySide || mode == GrayAnaglyph || mode == TrueAnaglyph || mode == SideBySideRatio ||
           mode == UpAndDown || mode == UpAndDownRatio;
}

bool needsWorkPlane(uint32_t mode) {
    return mode == ColorAnaglyph || mode == GrayAnaglyph || mode == TrueAnaglyph || mode == TwoDInThreeD ||
           mode == ThreeDInTwoD;
}

Rect insetRect(int w, int h) { return Rect{5 * w / 8, 0, 3 * w / 8, 3 * h / 8}; }

bool overlaps(const ImageView& a, const ImageView& b) {
    return a.data < b.data + b.byteSize() && b.data < a.data + a.byteSize();
}

// ---- the mode steps as stated, on safe primitives ---------------------------
// Used whenever the pictures and working images are not all of one size (or
// the fast path's plans are missing). Every copy between images of different
// sizes is a no-op and every resize clips to its target image.
class StepwiseComposer {
public:
    StepwiseComposer(const ImageView& l, const ImageView& r, const ImageView& wp, const ImageView& plane)
        : left(l), right(r), workPicture(wp), workPlane(plane) {}

    void run(bool swap, uint32_t mode) {
        if (swap && workPicture) {
            pix::copyImage(left, workPicture);
            pix::copyImage(right, left);
            pix::copyImage(workPicture, right);
        }
        if (mode >= static_cast<uint32_t>(imageModeCount)) return;
        if ((needsWorkPicture(mode) && !workPicture) || (needsWorkPlane(mode) && !workPlane)) return;
        const int w = left.width, h = left.height;
        switch (mode) {
            case LeftImage:
                break;
            case RightImage:
                pix::copyImage(right, left);
                break;
            case SideBySide:
                pix::resizeBilinear(left, workPicture, Rect{0, 0, w / 2, h});
                pix::resizeBilinear(right, workPicture, Rect{w / 2, 0, w / 2, h});
                pix::copyImage(workPicture, left);
                break;
            case PictureInPicture:
                pix::resizeBilinear(right, left, insetRect(w, h));
                break;
            case ColorAnaglyph:
                buildColorAnaglyph();
                pix::copyImage(right, left);
                break;
            case GrayAnaglyph:
            case TrueAnaglyph:
                extractLuma(left);
                pix::copyChannel(workPlane, 0, left, red);
                extractLuma(right);
                pix::copyChannel(workPlane, 0, left, blue);
                if (mode == TrueAnaglyph) pix::fillImage(workPlane, 0);
                pix::copyChannel(workPlane, 0, left, green);
                break;
            case SideBySideRatio:
                pix::fillImage(workPicture, 0);
                pix::resizeBilinear(left, workPicture, Rect{0, h / 4, w / 2, h / 2});
                pix::resizeBilinear(right, workPicture, Rect{w / 2, h / 4, w / 2, h / 2});
                pix::copyImage(workPicture, left);
                break;
            case UpAndDown:
                pix::resizeBilinear(left, workPicture, Rect{0, h / 2, w, h / 2});
                pix::resizeBilinear(right, workPicture, Rect{0, 0, w, h / 2});
                pix::copyImage(workPicture, left);
                break;
            case UpAndDownRatio:
                pix::fillImage(workPicture, 0);
                pix::resizeBilinear(left, workPicture, Rect{w / 4, h / 2, w / 2, h / 2});
                pix::resizeBilinear(right, workPicture, Rect{w / 4, 0, w / 2, h / 2});
                pix::copyImage(workPicture, left);
                break;
            case TwoDInThreeD:
                buildColorAnaglyph();
                pix::resizeBilinear(left, right, insetRect(right.width, right.height));
                pix::copyImage(right, left);
                break;
            case ThreeDInTwoD:
                buildColorAnaglyph();
                pix::resizeBilinear(right, left, insetRect(w, h));
                break;
            default:
                break;
        }
    }

private:
    void buildColorAnaglyph() {
        pix::copyChannel(left, red, workPlane, 0);
        pix::copyChannel(workPlane, 0, right, red);
    }
    void extractLuma(const ImageView& picture) {
        pix::convertToYCrCb(picture, workPicture);
        pix::copyChannel(workPicture, 0, workPlane, 0);
    }

    const ImageView& left;
    const ImageView& right;
    const ImageView& workPicture;
    const ImageView& workPlane;
};

// ---- fused composition for the normal case ----------------------------------
// All four images have one size W x H (W and H multiples of 8), the two samples
// do not share memory, and the frame store's plans are built for W x H. The
// result in the left buffer is that of the stated steps; the right buffer and
// the working images end with other scratch content than the steps would leave.
class FusedComposer {
public:
    FusedComposer(const ImageView& a, const ImageView& b, const ImageView& wp, const ImageView& plane,
                  framestore::ModePlans& p)
        : bufferA(a), bufferB(b), workPicture(wp), workPlane(plane), plans(p), w(a.width), h(a.height) {}

    static bool applies(const ImageView& a, const ImageView& b, const ImageView& wp, const ImageView& plane,
                        const framestore::ModePlans& p) {
        if (!a.sameSize(b) || overlaps(a, b)) return false;
        if ((wp && !wp.sameSize(a)) || (plane && !plane.sameSize(a))) return false;
        const int w = a.width, h = a.height;
        if (w % 8 != 0 || h % 8 != 0) return false;
        return p.inset.matches(w, h, 3 * w / 8, 3 * h / 8);
    }

    void run(bool swapRequested, uint32_t mode) {
        // The exchange goes through workPicture and so happens only when it exists.
        const bool swap = swapRequested && static_cast<bool>(workPicture);
        // The left eye's picture and the right eye's, wherever they are.
        const ImageView& p = swap ? bufferB : bufferA;
        const ImageView& q = swap ? bufferA : bufferB;
        const bool known = mode < static_cast<uint32_t>(imageModeCount) &&
                           !(needsWorkPicture(mode) && !workPicture) && !(needsWorkPlane(mode) && !workPlane);
        if (!known) mode = LeftImage;
        switch (mode) {
            case LeftImage:
                if (swap) pix::copyImage(bufferB, bufferA);
                break;
            case RightImage:
                if (!swap) pix::copyImage(bufferB, bufferA);
                break;
            case SideBySide:
                sideBySide(p, q);
                break;
            case PictureInPicture:
                // Resize the right eye into the left eye's picture; with the swap
                // the left eye is in B, which then goes to A whole.
                pix::resizeWithPlan(q, q, p, insetRect(w, h), plans.inset);
                if (swap) pix::copyImage(bufferB, bufferA);
                break;
            case ColorAnaglyph:
                for (int y = 0; y < h; ++y) pix::blendChannelsRow(bufferA.row(y), p.row(y), q.row(y), w, redFromFirst);
                break;
            case GrayAnaglyph:
            case TrueAnaglyph:
                for (int y = 0; y < h; ++y)
                    pix::lumaAnaglyphRow(bufferA.row(y), p.row(y), q.row(y), w, mode == TrueAnaglyph);
                break;
            case SideBySideRatio:
                sideBySideRatio(p, q);
                break;
            case UpAndDown:
                upAndDown(swap);
                break;
            case UpAndDownRatio:
                upAndDownRatio(p, q);
                break;
            case TwoDInThreeD:
                twoDInThreeD(swap);
                break;
            case ThreeDInTwoD:
                // The inset reads the virtual anaglyph (red of the left eye, green
                // and blue of the right eye) and lands in the left eye's picture.
                // In place: the plan reads every source row before writing it.
                pix::resizeWithPlan(p, q, p, insetRect(w, h), plans.inset);
                if (swap) pix::copyImage(bufferB, bufferA);
                break;
            default:
                break;
        }
    }

private:
    std::size_t rowBytes() const { return static_cast<std::size_t>(w) * 3; }

    // Each output row depends only on the same row of both pictures: build it
    // in a workPicture row and move it to A while it is still in cache.
    void sideBySide(const ImageView& p, const ImageView& q) {
        const std::ptrdiff_t half = static_cast<std::ptrdiff_t>(w / 2) * 3;
        for (int y = 0; y < h; ++y) {
            uint8_t* tmp = workPicture.row(y);
            pix::halveWidthRow(tmp, p.row(y), w / 2);
            pix::halveWidthRow(tmp + half, q.row(y), w / 2);
            std::memcpy(bufferA.row(y), tmp, rowBytes());
        }
    }

    // Output row H/2 + k is the mean of left-eye rows 2k and 2k + 1, row k that of
    // the right eye's. Written straight into A in an order that reads every
    // row of A before overwriting it: the half that comes from A first (top
    // half downwards, or bottom half upwards), then the half from B.
    void upAndDown(bool swap) {
        const int half = h / 2;
        const int bytes = w * 3;
        if (!swap) {
            for (int k = half - 1; k >= 0; --k)
                pix::averageRowsRow(bufferA.row(half + k), bufferA.row(2 * k), bufferA.row(2 * k + 1), bytes);
            for (int k = 0; k < half; ++k)
                pix::averageRowsRow(bufferA.row(k), bufferB.row(2 * k), bufferB.row(2 * k + 1), bytes);
        } else {
            for (int k = 0; k < half; ++k)
                pix::averageRowsRow(bufferA.row(k), bufferA.row(2 * k), bufferA.row(2 * k + 1), bytes);
            for (int k = 0; k < half; ++k)
                pix::averageRowsRow(bufferA.row(half + k), bufferB.row(2 * k), bufferB.row(2 * k + 1), bytes);
        }
    }

    // Both pictures at W/2 x H/2 side by side in rows H/4 .. 3H/4 - 1, black
    // elsewhere: the pictures are built in workPicture (which only the scratch
    // rows hold) and then moved into place with the black rows around them.
    void sideBySideRatio(const ImageView& p, const ImageView& q) {
        const int half = h / 2, quarterH = h / 4;
        const std::ptrdiff_t halfBytes = static_cast<std::ptrdiff_t>(w / 2) * 3;
        for (int k = 0; k < half; ++k) {
            uint8_t* tmp = workPicture.row(k);
            pix::quarterRow(tmp, p.row(2 * k), p.row(2 * k + 1), w / 2);
            pix::quarterRow(tmp + halfBytes, q.row(2 * k), q.row(2 * k + 1), w / 2);
        }
        for (int y = 0; y < h; ++y) {
            if (y >= quarterH && y < quarterH + half)
                std::memcpy(bufferA.row(y), workPicture.row(y - quarterH), rowBytes());
            else
                std::memset(bufferA.row(y), 0, rowBytes());
        }
    }

    // Left eye at W/2 x H/2 in rows H/2 .. H - 1, right eye in rows 0 .. H/2 - 1,
    // both in columns W/4 .. 3W/4 - 1, black bands at the sides.
    void upAndDownRatio(const ImageView& p, const ImageView& q) {
        const int half = h / 2;
        const std::ptrdiff_t band = static_cast<std::ptrdiff_t>(w / 4) * 3;
        const std::ptrdiff_t middle = static_cast<std::ptrdiff_t>(w / 2) * 3;
        for (int k = 0; k < half; ++k) {
            pix::quarterRow(workPicture.row(half + k), p.row(2 * k), p.row(2 * k + 1), w / 2);
            pix::quarterRow(workPicture.row(k), q.row(2 * k), q.row(2 * k + 1), w / 2);
        }
        for (int y = 0; y < h; ++y) {
            uint8_t* out = bufferA.row(y);
            std::memset(out, 0, band);
            std::memcpy(out + band, workPicture.row(y), middle);
            std::memset(out + band + middle, 0, rowBytes() - band - middle);
        }
    }

    // Colour anaglyph of the whole frame with the left eye's own picture as
    // the inset. The inset is resized first into the part of the right eye's
    // buffer that the anaglyph will not read (B without swap, A with swap),
    // then the anaglyph is written around it.
    void twoDInThreeD(bool swap) {
        const Rect inset = insetRect(w, h);
        const std::ptrdiff_t insetStart = static_cast<std::ptrdiff_t>(inset.x) * 3;
        if (!swap) {
            pix::resizeWithPlan(bufferA, bufferA, bufferB, inset, plans.inset);
            for (int y = 0; y < h; ++y) {
                if (y < inset.height) {
                    pix::blendChannelsRow(bufferA.row(y), bufferA.row(y), bufferB.row(y), inset.x, redFromFirst);
                    std::memcpy(bufferA.row(y) + insetStart, bufferB.row(y) + insetStart,
                                static_cast<std::size_t>(inset.width) * 3);
                } else {
                    pix::blendChannelsRow(bufferA.row(y), bufferA.row(y), bufferB.row(y), w, redFromFirst);
                }
            }
        } else {
            pix::resizeWithPlan(bufferB, bufferB, bufferA, inset, plans.inset);
            for (int y = 0; y < h; ++y) {
                const int pixels = y < inset.height ? inset.x : w;
                pix::blendChannelsRow(bufferA.row(y), bufferB.row(y), bufferA.row(y), pixels, redFromFirst);
            }
        }
    }

    const ImageView& bufferA;  // left sample's buffer: receives the result
    const ImageView& bufferB;  // right sample's buffer: scratch afterwards
    const ImageView& workPicture;
    const ImageView& workPlane;
    framestore::ModePlans& plans;
    const int w;
    const int h;
};

}  // namespace

const VIDEOINFOHEADER* videoInfoOf(const AM_MEDIA_TYPE* mt) {
    if (mt == nullptr || !IsEqualGUID(mt->formattype, FORMAT_VideoInfo) || mt->pbFormat == nullptr ||
        mt->cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
}

bool makePictureView(const AM_MEDIA_TYPE* mt, BYTE* data, LONG bufferSize, pix::ImageView& view) {
    view = pix::ImageView{};
    const VIDEOINFOHEADER* vih = videoInfoOf(mt);
    if (vih == nullptr || data == nullptr || vih->bmiHeader.biBitCount != 24) return false;
    const LONG width = vih->bmiHeader.biWidth;
    const LONG rawHeight = vih->bmiHeader.biHeight;
    if (width <= 0 || width > maxPictureDimension || rawHeight == 0 || rawHeight == LONG_MIN) return false;
    const LONG height = rawHeight < 0 ? -rawHeight : rawHeight;
    if (height > maxPictureDimension) return false;
    const std::ptrdiff_t stride = pix::pictureStride(width);
    if (bufferSize < 0 || static_cast<long long>(stride) * height > static_cast<long long>(bufferSize)) return false;
    view.width = width;
    view.height = height;
    view.channels = 3;
    view.stride = stride;
    view.data = data;
    return true;
}

HRESULT composeStereoFrame(IMediaSample* left, IMediaSample* right, const StereoFormats& formats) {
    BYTE* leftData = nullptr;
    BYTE* rightData = nullptr;
    if (left != nullptr) left->GetPointer(&leftData);
    if (right != nullptr) right->GetPointer(&rightData);
    if (leftData == nullptr || rightData == nullptr) {
        MessageBoxA(nullptr, "One or both data pointer null", "null pointer", MB_OK | MB_ICONWARNING);
        return S_OK;
    }
    const VIDEOINFOHEADER* leftInfo = videoInfoOf(formats.left);
    const VIDEOINFOHEADER* rightInfo = videoInfoOf(formats.right);
    if (leftInfo == nullptr || rightInfo == nullptr || leftInfo->bmiHeader.biBitCount != 24 ||
        rightInfo->bmiHeader.biBitCount != 24)
        return S_OK;
    pix::ImageView a, b;
    if (!makePictureView(formats.left, leftData, left->GetSize(), a) ||
        !makePictureView(formats.right, rightData, right->GetSize(), b))
        return S_OK;

    framestore::State& store = framestore::state();
    std::lock_guard<std::mutex> guard(store.lock);
    const uint32_t mode = static_cast<uint32_t>(runtimeSettings.imageMode.load(std::memory_order_relaxed));
    const bool swap = runtimeSettings.swapCameras.load(std::memory_order_relaxed) != 0;
    const ImageView& wp = store.workPicture.view;
    const ImageView& plane = store.workPlane.view;
    if (FusedComposer::applies(a, b, wp, plane, store.plans))
        FusedComposer(a, b, wp, plane, store.plans).run(swap, mode);
    else
        StepwiseComposer(a, b, wp, plane).run(swap, mode);
    return S_OK;
}
