#include <atomic>
#include <cstdio>
#include <string>

#include "platform/messagebox.h"
#include "runtime.h"

namespace {

int defaultHandler(const char* text, const char* caption, unsigned /*type*/) {
    std::fprintf(stderr, "[%s] %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

std::atomic<MessageBoxHandler> currentHandler{&defaultHandler};

}  // namespace

DVAPI MessageBoxHandler dvSetMessageBoxHandler(MessageBoxHandler handler) {
    return currentHandler.exchange(handler ? handler : &defaultHandler);
}

DVAPI int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT type) {
    return currentHandler.load()(text ? text : "", caption ? caption : "", type);
}

DVAPI int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    const std::string t = text ? dvrt::toUtf8(text) : std::string();
    const std::string c = caption ? dvrt::toUtf8(caption) : std::string();
    return MessageBoxA(owner, t.c_str(), c.c_str(), type);
}
