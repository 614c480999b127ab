// Where the property frame of a page goes on the screen.
#pragma once

#include "platform/win.h"

// Places the frame that holds page dialog `pageDialog` (the parent of the
// dialog's parent) in the lower right corner of the desktop, 10 pixels from
// the right edge and 40 above the bottom, keeping its size. When the frame's
// owner window has "GraphEdit" in its title (first 99 characters), the owner
// is moved beside it: x 10, the frame's y, width desktop − frame − 30, the
// frame's height. Does nothing when the dialog has no frame.
// Thread: the frame's user-interface thread.
void placePropertyFrame(HWND pageDialog);
