// The twelve image modes the compositor composes, by number. The numbers are
// also the stored setting (camMode) and the positions of the image type page's
// list.
#pragma once

#include <cstdint>

enum ImageMode : int32_t {
    LeftImage = 0,
    RightImage = 1,
    SideBySide = 2,
    PictureInPicture = 3,
    ColorAnaglyph = 4,
    GrayAnaglyph = 5,
    TrueAnaglyph = 6,
    SideBySideRatio = 7,
    UpAndDown = 8,
    UpAndDownRatio = 9,
    TwoDInThreeD = 10,
    ThreeDInTwoD = 11,
};

constexpr int32_t imageModeCount = 12;
constexpr int32_t defaultImageMode = PictureInPicture;
