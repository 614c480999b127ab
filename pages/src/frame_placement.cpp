#include "pages/frame_placement.h"

#include <cstring>

namespace {

constexpr int rightGap = 10;
constexpr int bottomGap = 40;
constexpr int ownerLeft = 10;
constexpr int ownerGap = 30;
constexpr int titleChars = 100;  // 99 characters and the terminator

}  // namespace

void placePropertyFrame(HWND pageDialog) {
    HWND frame = GetParent(GetParent(pageDialog));
    if (!frame) return;
    RECT frameRect{};
    if (!GetWindowRect(frame, &frameRect)) return;
    RECT desktopRect{};
    GetWindowRect(GetDesktopWindow(), &desktopRect);
    const int width = frameRect.right - frameRect.left;
    const int height = frameRect.bottom - frameRect.top;
    const int desktopWidth = desktopRect.right - desktopRect.left;
    const int desktopHeight = desktopRect.bottom - desktopRect.top;
    const int y = desktopHeight - height - bottomGap;
    MoveWindow(frame, desktopWidth - width - rightGap, y, width, height, TRUE);

    HWND owner = GetParent(frame);
    if (!owner) return;
    char title[titleChars] = {};
    GetWindowTextA(owner, title, titleChars);
    if (std::strstr(title, "GraphEdit"))
        MoveWindow(owner, ownerLeft, y, desktopWidth - width - ownerGap, height, TRUE);
}
