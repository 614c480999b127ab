#include "compositor/frame_store.h"

#include <new>

#include "compositor/frame_store_testing.h"
#include "frame_store_state.h"

VideoFormat videoFormat;

namespace framestore {

// Destroyed with the module's other statics. The module's unload routine
// calls releaseWorkImages() before that on unload, and leaves it out at
// process exit, when this state may already be gone.
State& state() {
    static State s;
    return s;
}

namespace {

constexpr std::size_t storageAlignment = 64;

// Creates an 8-bit image with rows padded to 4 bytes, or leaves `image` empty
// when the memory cannot be had.
void createImage(WorkImage& image, int width, int height, int channels, bool fail) {
    image = WorkImage{};
    if (fail || width <= 0 || height <= 0) return;
    const std::ptrdiff_t stride = (static_cast<std::ptrdiff_t>(width) * channels + 3) & ~std::ptrdiff_t{3};
    const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[bytes + storageAlignment]);
    if (!storage) return;
    const std::uintptr_t raw = reinterpret_cast<std::uintptr_t>(storage.get());
    const std::uintptr_t aligned = (raw + storageAlignment - 1) & ~(std::uintptr_t{storageAlignment} - 1);
    image.view.width = width;
    image.view.height = height;
    image.view.channels = channels;
    image.view.stride = stride;
    image.view.data = storage.get() + (aligned - raw);
    image.storage = std::move(storage);
}

void buildPlans(ModePlans& plans, int w, int h) {
    plans.halfWidth.build(w, h, w / 2, h);
    plans.halfHeight.build(w, h, w, h / 2);
    plans.quarter.build(w, h, w / 2, h / 2);
    plans.inset.build(w, h, 3 * w / 8, 3 * h / 8);
}

WorkImageInfo infoOf(const WorkImage& image) {
    const pix::ImageView& v = image.view;
    if (!v) return WorkImageInfo{false, 0, 0, 0, 0, 0};
    return WorkImageInfo{true,       v.width,  v.height,
                         v.channels, v.stride, reinterpret_cast<std::uintptr_t>(v.data)};
}

}  // namespace
}  // namespace framestore

VideoFormatValues currentVideoFormat() {
    std::lock_guard<std::mutex> guard(framestore::state().lock);
    return VideoFormatValues{videoFormat.width, videoFormat.height, videoFormat.frameInterval,
                             videoFormat.frameRate};
}

void applySizeIndex(int32_t sizeIndex) {
    framestore::State& s = framestore::state();
    std::lock_guard<std::mutex> guard(s.lock);
    switch (sizeIndex) {
    case 0:
        videoFormat.width = 320;
        videoFormat.height = 240;
        videoFormat.frameInterval = 333333;
        videoFormat.frameRate = 30;
        break;
    case 1:
        videoFormat.width = 640;
        videoFormat.height = 480;
        videoFormat.frameInterval = 333333;
        videoFormat.frameRate = 30;
        break;
    default:
        break;
    }
    const int w = videoFormat.width;
    const int h = videoFormat.height;
    // Release before creating, so that at most one of each exists at a time.
    s.workPlane = framestore::WorkImage{};
    framestore::createImage(s.workPlane, w, h, 1, s.failPlaneCreation);
    s.workPicture = framestore::WorkImage{};
    framestore::createImage(s.workPicture, w, h, 3, s.failPictureCreation);
    framestore::buildPlans(s.plans, w, h);
}

void releaseWorkImages() {
    framestore::State& s = framestore::state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.workPlane = framestore::WorkImage{};
    s.workPicture = framestore::WorkImage{};
    s.plans = framestore::ModePlans{};
}

WorkImageInfo workPictureInfo() {
    std::lock_guard<std::mutex> guard(framestore::state().lock);
    return framestore::infoOf(framestore::state().workPicture);
}

WorkImageInfo workPlaneInfo() {
    std::lock_guard<std::mutex> guard(framestore::state().lock);
    return framestore::infoOf(framestore::state().workPlane);
}

void setWorkImageCreationFailure(bool failPicture, bool failPlane) {
    std::lock_guard<std::mutex> guard(framestore::state().lock);
    framestore::state().failPictureCreation = failPicture;
    framestore::state().failPlaneCreation = failPlane;
}
