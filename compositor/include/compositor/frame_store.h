// The frame store: the process-wide video format and the two working images
// the composition modes use as scratch space.
//
// Locking: the format step (`applySizeIndex`, `releaseWorkImages`) and every
// composition (`composeStereoFrame`) take the frame store's own lock, so the
// working images are never released or replaced while a composition uses them.
// It is a leaf lock: nothing else is taken while it is held, so callers may
// hold `filterLock`, `pinSettingsLock` or nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The selected picture size and frame timing, shared by every filter instance
// of the module. Fields are written only by the format step; each read is a
// single atomic load (use `currentVideoFormat` for a consistent set).
struct VideoFormat {
    std::atomic<int32_t> width{320};
    std::atomic<int32_t> height{240};
    std::atomic<int32_t> frameInterval{333333};  // 100-ns units per frame
    std::atomic<int32_t> frameRate{30};          // frames per second
};

extern VideoFormat videoFormat;

// One consistent reading of `videoFormat`, taken under the frame store lock.
struct VideoFormatValues {
    int32_t width;
    int32_t height;
    int32_t frameInterval;
    int32_t frameRate;
};
VideoFormatValues currentVideoFormat();

// The format step for the size setting `sizeIndex`: updates `videoFormat`
// (0: 320 x 240, 1: 640 x 480, any other value: unchanged) and
// re-creates both working images at that size, even when it has not changed.
// A working image whose creation fails is absent afterwards. Waits for a
// composition in progress to finish first.
void applySizeIndex(int32_t sizeIndex);

// Releases both working images if they exist (module unload). Safe to call
// when none was ever created.
void releaseWorkImages();

// What exists of a working image, for diagnostics and tests.
struct WorkImageInfo {
    bool exists;
    int width;
    int height;
    int channels;
    std::ptrdiff_t stride;
    std::uintptr_t address;  // of its first pixel; 0 when absent
};
WorkImageInfo workPictureInfo();
WorkImageInfo workPlaneInfo();
