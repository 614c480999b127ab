// Process-wide current settings and the names of the image modes.
#pragma once

#include <atomic>
#include <cstdint>

// The five current settings of the process. Written by the settings store and
// the property pages; read without a lock by the streaming side, which hands
// the compositor the values it needs. Every field is a 32-bit value held in an
// atomic so that those unlocked reads are well defined; plain assignment and
// conversion work as for an int32_t.
struct RuntimeSettings {
    std::atomic<int32_t> imageMode{3};         // an image mode number (0..11, 3: Picture In Picture)
    std::atomic<int32_t> swapCameras{0};       // non-zero: second camera is the left eye
    std::atomic<int32_t> sizeIndex{0};         // 0 = 320 x 240, 1 = 640 x 480
    std::atomic<int32_t> leftCameraIndex{0};   // position in CameraList
    std::atomic<int32_t> rightCameraIndex{0};  // position in CameraList
};

// The one instance per module (each component library has its own).
extern RuntimeSettings runtimeSettings;

// The name the image type page shows for image mode `mode` (0..11, numbered
// as the compositor's ImageMode), or null for a number outside 0..11.
const char* imageModeName(int32_t mode);
