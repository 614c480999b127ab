// The frame store's state, shared by the format step and the compositor
// inside this library.
#pragma once

#include <memory>
#include <mutex>

#include "compositor/image.h"
#include "compositor/kernels.h"

namespace framestore {

// A working image and the memory behind it (owned here; absent when `view`
// is empty).
struct WorkImage {
    std::unique_ptr<uint8_t[]> storage;
    pix::ImageView view;
};

// Bilinear plans for the rectangles the modes resize into, for the current
// `VideoFormat` (source W x H in every case).
struct ModePlans {
    pix::ResizePlan halfWidth;   // W/2 x H      (side by side)
    pix::ResizePlan halfHeight;  // W x H/2      (up and down)
    pix::ResizePlan quarter;     // W/2 x H/2    (with ratio)
    pix::ResizePlan inset;       // 3W/8 x 3H/8  (picture in picture, nested modes)
};

struct State {
    std::mutex lock;  // excludes the format step from compositions
    WorkImage workPicture;
    WorkImage workPlane;
    ModePlans plans;
    bool failPictureCreation = false;
    bool failPlaneCreation = false;
};

State& state();

}  // namespace framestore
