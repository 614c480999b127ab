// A synthetic stereo test scene: a few coloured boxes and spheres at several
// depths over a chequered ground in front of a sky, seen by two parallel eyes
// 6 cm apart, so that anaglyphs of the pair show depth. Used by the contact
// sheet tool and the test cameras.
#pragma once

#include <cstdint>
#include <string>

namespace stereo_scene {

// Renders one eye (0 = left, 1 = right) at width x height into a 24-bit B, G, R
// bottom-up buffer (row 0 is the bottom line on screen) with `stride` bytes per
// row. `frameNumber` moves one sphere slightly and is stamped in the top-left
// corner. Thread-safe (no shared state).
void renderStereoEye(int eye, int width, int height, uint8_t* bgrBottomUp, int stride, int frameNumber);

// Draws `text` with a built-in 5 x 7 pixel font (upper case letters, digits,
// space and - : # . / ( ) x; lower case letters are drawn as upper case),
// each font pixel `scale` x `scale`, its top-left corner at (x, yTop) in
// screen coordinates (yTop from the top line on screen), into a bottom-up
// 24-bit buffer. Pixels outside the picture are skipped.
void drawText(uint8_t* bgrBottomUp, int stride, int width, int height, int x, int yTop,
              const std::string& text, int scale, uint8_t b, uint8_t g, uint8_t r);

// Width in pixels of `text` drawn at `scale`.
int textWidth(const std::string& text, int scale);

}  // namespace stereo_scene
