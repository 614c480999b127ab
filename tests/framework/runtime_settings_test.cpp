// The image mode names of the settings vocabulary: the page's list, in mode order.
#include <gtest/gtest.h>

#include "framework/runtime_settings.h"

namespace {

TEST(ImageModeNames, EveryModeHasThePagesNameAndNothingElseHasOne) {
    const struct {
        int32_t mode;
        const char* name;  // null: no such mode
    } cases[] = {
        {0, "Left Image"},
        {1, "Right Image"},
        {2, "Side By Side"},
        {3, "Picture In Picture"},
        {4, "Color Anaglyph 3D Image"},
        {5, "Gray Anaglyph 3D Image"},
        {6, "True Anaglyph 3D Image"},
        {7, "SideBySide with Ratio"},
        {8, "Up And Down"},
        {9, "UpAndDown with Ratio"},
        {10, "2D in 3D"},
        {11, "3D in 2D"},
        {12, nullptr},
        {-1, nullptr},
        {INT32_MIN, nullptr},
        {INT32_MAX, nullptr},
    };
    for (const auto& c : cases) {
        if (c.name)
            EXPECT_STREQ(imageModeName(c.mode), c.name) << c.mode;
        else
            EXPECT_EQ(imageModeName(c.mode), nullptr) << c.mode;
    }
}

}  // namespace
