#include "framework/runtime_settings.h"

#include <iterator>

RuntimeSettings runtimeSettings;

const char* imageModeName(int32_t mode) {
    static const char* const names[] = {
        "Left Image",
        "Right Image",
        "Side By Side",
        "Picture In Picture",
        "Color Anaglyph 3D Image",
        "Gray Anaglyph 3D Image",
        "True Anaglyph 3D Image",
        "SideBySide with Ratio",
        "Up And Down",
        "UpAndDown with Ratio",
        "2D in 3D",
        "3D in 2D",
    };
    if (mode < 0 || mode >= static_cast<int32_t>(std::size(names))) return nullptr;
    return names[mode];
}
