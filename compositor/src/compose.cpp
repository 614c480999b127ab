#include "compositor/compose.h"

#include <cstring>
#include <limits>
#include <mutex>

#include "compositor/kernels.h"
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

Rect insetRect(int w, int h) {
    return Rect{5 * w / 8, 0, 3 * w / 8, 3 * h / 8};
}

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
            sideBySide(swap);
            break;
        case PictureInPicture:
            // The right eye into the inset of A. With the swap the right eye
            // is A itself (resized in place, every source row read before it
            // is written), and the left eye's picture then fills the rest.
            insetThenOutside(q, q, swap);
            break;
        case ColorAnaglyph:
            for (int y = 0; y < h; ++y)
                pix::blendChannelsRow(bufferA.row(y), p.row(y), q.row(y), w, redFromFirst);
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
            upAndDownRatio(swap, p, q);
            break;
        case TwoDInThreeD:
            twoDInThreeD(swap);
            break;
        case ThreeDInTwoD:
            // The inset reads the virtual anaglyph (red of the left eye, green
            // and blue of the right eye) and lands in A, which is one of its
            // sources (in place: the plan reads every source row before
            // writing it). With the swap the left eye's picture, in B, then
            // fills the rest of A.
            insetThenOutside(p, q, swap);
            break;
        default:
            break;
        }
    }

private:
    std::size_t rowBytes() const { return static_cast<std::size_t>(w) * 3; }

    // The inset of A from `red` and `greenBlue` (resized in place when one of
    // them is A), and `outside(row, pixels)` for the first `pixels` pixels of
    // every row of A that the inset leaves alone: called for each row as soon
    // as no later inset row reads it, so that the row is still in cache.
    template <class Outside>
    void insetThen(const ImageView& red, const ImageView& greenBlue, Outside outside) {
        const Rect inset = insetRect(w, h);
        int done = 0;  // rows of A below this are finished
        for (int y = 0; y < inset.height; ++y) {
            if (!pix::resizeRowsWithPlan(red, greenBlue, bufferA, inset, plans.inset, y, y + 1)) break;
            const int firstNeeded = y + 1 < inset.height ? plans.inset.yOffset[y + 1] : h;
            for (; done < firstNeeded; ++done)
                outside(done, done < inset.height ? inset.x : w);
        }
        for (; done < h; ++done)
            outside(done, done < inset.height ? inset.x : w);
    }

    // With the swap the left eye's picture, in B, fills the rest of A.
    void insetThenOutside(const ImageView& red, const ImageView& greenBlue, bool swap) {
        if (!swap) {
            pix::resizeWithPlan(red, greenBlue, bufferA, insetRect(w, h), plans.inset);
            return;
        }
        insetThen(red, greenBlue, [this](int y, int pixels) {
            std::memcpy(bufferA.row(y), bufferB.row(y), static_cast<std::size_t>(pixels) * 3);
        });
    }

    // Each output row depends only on the same row of both pictures. The half
    // that comes from A itself is halved in place towards the start of the row
    // (without swap), or first into a workPicture row (with the swap, since it
    // lands in the right half, over pixels not yet read).
    void sideBySide(bool swap) {
        const int halfW = w / 2;
        const std::size_t halfBytes = static_cast<std::size_t>(halfW) * 3;
        if (!swap) {
            for (int y = 0; y < h; ++y) {
                pix::halveWidthRow(bufferA.row(y), bufferA.row(y), halfW);
                pix::halveWidthRow(bufferA.row(y) + halfBytes, bufferB.row(y), halfW);
            }
        } else {
            uint8_t* tmp = workPicture.row(0);
            for (int y = 0; y < h; ++y) {
                pix::halveWidthRow(tmp, bufferA.row(y), halfW);
                pix::halveWidthRow(bufferA.row(y), bufferB.row(y), halfW);
                std::memcpy(bufferA.row(y) + halfBytes, tmp, halfBytes);
            }
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
    // elsewhere, written straight into A. Output row H/4 + k reads rows 2k and
    // 2k + 1 of both pictures, and A is one of them; the rows are visited so
    // that no row of A is written while a later output row still needs it:
    // the two output rows that coincide with one of their own source rows
    // first (through a workPicture row), then the rows below them downwards
    // (each written above everything still to be read), then the rows above
    // them upwards (each written below), and the black bands last.
    void sideBySideRatio(const ImageView& p, const ImageView& q) {
        const int half = h / 2, quarterH = h / 4;
        const std::size_t halfBytes = static_cast<std::size_t>(w / 2) * 3;
        auto compose = [&](uint8_t* out, int k) {
            pix::quarterRow(out, p.row(2 * k), p.row(2 * k + 1), w / 2);
            pix::quarterRow(out + halfBytes, q.row(2 * k), q.row(2 * k + 1), w / 2);
        };
        uint8_t* tmp = workPicture.row(0);
        for (int k = quarterH - 1; k <= quarterH; ++k) {
            if (k < 0 || k >= half) continue;
            compose(tmp, k);
            std::memcpy(bufferA.row(quarterH + k), tmp, rowBytes());
        }
        // A band row turns black right after the last output row that reads
        // it (output row k reads rows 2k and 2k + 1, and each loop moves away
        // from the rows it has read), while it is still in cache.
        auto blackAfter = [&](int k) {
            for (int y = 2 * k; y <= 2 * k + 1; ++y)
                if (y < quarterH || y >= quarterH + half) std::memset(bufferA.row(y), 0, rowBytes());
        };
        for (int k = quarterH - 2; k >= 0; --k) {
            compose(bufferA.row(quarterH + k), k);
            blackAfter(k);
        }
        for (int k = quarterH + 1; k < half; ++k) {
            compose(bufferA.row(quarterH + k), k);
            blackAfter(k);
        }
    }

    // Left eye at W/2 x H/2 in rows H/2 .. H - 1, right eye in rows 0 .. H/2 - 1,
    // both in columns W/4 .. 3W/4 - 1, black bands at the sides, written
    // straight into A. The eye that is in A goes first, in the row order that
    // reads each of its rows before it is written (the one output row that is
    // also its own source through a workPicture row); the eye in B follows.
    void upAndDownRatio(bool swap, const ImageView& p, const ImageView& q) {
        const int half = h / 2;
        const std::size_t band = static_cast<std::size_t>(w / 4) * 3;
        const std::size_t middle = static_cast<std::size_t>(w / 2) * 3;
        auto compose = [&](uint8_t* out, const ImageView& eye, int k) {
            std::memset(out, 0, band);
            pix::quarterRow(out + band, eye.row(2 * k), eye.row(2 * k + 1), w / 2);
            std::memset(out + band + middle, 0, rowBytes() - band - middle);
        };
        uint8_t* tmp = workPicture.row(0);
        if (!swap) {
            // Left eye (A) into rows half + k: downwards, row H - 1 through tmp.
            compose(tmp, p, half - 1);
            std::memcpy(bufferA.row(h - 1), tmp, rowBytes());
            for (int k = half - 2; k >= 0; --k)
                compose(bufferA.row(half + k), p, k);
            for (int k = 0; k < half; ++k)
                compose(bufferA.row(k), q, k);
        } else {
            // Right eye (A) into rows k: upwards, row 0 through tmp.
            compose(tmp, q, 0);
            std::memcpy(bufferA.row(0), tmp, rowBytes());
            for (int k = 1; k < half; ++k)
                compose(bufferA.row(k), q, k);
            for (int k = 0; k < half; ++k)
                compose(bufferA.row(half + k), p, k);
        }
    }

    // Colour anaglyph of the whole frame with the left eye's own picture as
    // the inset, in A. Without swap the left eye is A: each row gets its
    // anaglyph only once the inset no longer reads the row's own colours.
    // With the swap the left eye is B and both steps read only parts of A
    // that they do not write.
    void twoDInThreeD(bool swap) {
        const ImageView& leftEye = swap ? bufferB : bufferA;
        const ImageView& rightEye = swap ? bufferA : bufferB;
        insetThen(leftEye, leftEye, [&](int y, int pixels) {
            pix::blendChannelsRow(bufferA.row(y), leftEye.row(y), rightEye.row(y), pixels, redFromFirst);
        });
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

bool makePictureView(const AM_MEDIA_TYPE* mt, BYTE* data, LONG bufferSize, pix::ImageView& view) {
    view = pix::ImageView{};
    const VIDEOINFOHEADER* vih = videoInfoOf(mt);
    if (vih == nullptr || data == nullptr || vih->bmiHeader.biBitCount != 24) return false;
    const LONG width = vih->bmiHeader.biWidth;
    const LONG rawHeight = vih->bmiHeader.biHeight;
    if (width <= 0 || width > maxPictureDimension || rawHeight == 0 ||
        rawHeight == std::numeric_limits<LONG>::min())
        return false;
    const LONG height = rawHeight < 0 ? -rawHeight : rawHeight;
    if (height > maxPictureDimension) return false;
    const std::ptrdiff_t stride = pix::pictureStride(width);
    if (bufferSize < 0 || static_cast<long long>(stride) * height > static_cast<long long>(bufferSize))
        return false;
    view.width = width;
    view.height = height;
    view.channels = 3;
    view.stride = stride;
    view.data = data;
    return true;
}

HRESULT composeStereoFrame(IMediaSample* left, IMediaSample* right, const StereoFormats& formats,
                           const CompositionChoice& choice) {
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
    const uint32_t mode = static_cast<uint32_t>(choice.imageMode);
    const bool swap = choice.swapCameras;
    const ImageView& wp = store.workPicture.view;
    const ImageView& plane = store.workPlane.view;
    if (FusedComposer::applies(a, b, wp, plane, store.plans))
        FusedComposer(a, b, wp, plane, store.plans).run(swap, mode);
    else
        StepwiseComposer(a, b, wp, plane).run(swap, mode);
    return S_OK;
}
