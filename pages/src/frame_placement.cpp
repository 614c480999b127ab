#include "pages/frame_placement.h"

#include <cstring>

namespace {

constexpr int kRightGap = 10;
constexpr int kBottomGap = 40;
constexpr int kOwnerLeft = 10;
constexpr int kOwnerGap = 30;
constexpr int kTitleChars = 100;  // 99 characters and the terminator

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
    const int y = desktopHeight - height - kBottomGap;
    MoveWindow(frame, desktopWidth - width - kRightGap, y, width, height, TRUE);

    HWND owner = GetParent(frame);
    if (!owner) return;
    char title[kTitleChars] = {};
    GetWindowTextA(owner, title, kTitleChars);
    if (std::strstr(title, "GraphEdit"))
        MoveWindow(owner, kOwnerLeft, y, desktopWidth - width - kOwnerGap, height, TRUE);
}
