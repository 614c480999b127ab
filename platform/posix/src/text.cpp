// UTF-8 and wide text, and case-insensitive names, for the runtime's sources.
#include <cstdint>
#include <cwctype>
#include <string>

#include "runtime.h"

namespace dvrt {

std::wstring fromUtf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned c = s[i];
        unsigned need = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            out += static_cast<wchar_t>(c);
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            need = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            need = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            need = 3, cp = c & 0x07, min = 0x10000;
        }
        bool ok = need > 0 && i + need < n;
        for (unsigned k = 1; ok && k <= need; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                ok = false;
            } else {
                cp = (cp << 6) | (s[i + k] & 0x3F);
            }
        }
        if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (ok) {
            out += static_cast<wchar_t>(cp);
            i += need + 1;
        } else {
            out += static_cast<wchar_t>(0xDC00 + c);  // escaped byte
            ++i;
        }
    }
    return out;
}

std::string toUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        const auto c = static_cast<uint32_t>(w);  // NOLINT(bugprone-signed-char-misuse): a 32-bit code unit
        if (c >= 0xDC80 && c <= 0xDCFF) {
            out += static_cast<char>(c - 0xDC00);  // escaped byte
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c <= 0x10FFFF) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += '?';
        }
    }
    return out;
}

std::wstring upperCase(const std::wstring& text) {
    std::wstring out(text);
    for (auto& c : out)
        c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

bool equalNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i])))
            return false;
    }
    return true;
}

}  // namespace dvrt
