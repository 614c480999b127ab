#include <atomic>
#include <cstdio>
#include <string>

#include "platform/messagebox.h"

namespace {

int defaultHandler(const char* text, const char* caption, unsigned /*type*/) {
    std::fprintf(stderr, "[%s] %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

std::atomic<MessageBoxHandler> currentHandler{&defaultHandler};

std::string narrow(LPCWSTR text) {
    std::string out;
    if (!text) return out;
    for (; *text; ++text) {
        const auto c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

DVAPI MessageBoxHandler dvSetMessageBoxHandler(MessageBoxHandler handler) {
    return currentHandler.exchange(handler ? handler : &defaultHandler);
}

DVAPI int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT type) {
    return currentHandler.load()(text ? text : "", caption ? caption : "", type);
}

DVAPI int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    const std::string t = narrow(text);
    const std::string c = narrow(caption);
    return MessageBoxA(owner, t.c_str(), c.c_str(), type);
}
