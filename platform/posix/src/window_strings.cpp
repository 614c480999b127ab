// String resources that modules register, and the removal of a module's
// resources. Locking as in window_model.h.
#include "window_model.h"

using namespace dvwin;

DVAPI BOOL dvRegisterStringResource(HINSTANCE instance, UINT id, const char* text) {
    if (!text) return FALSE;
    std::lock_guard<std::mutex> hold(guard);
    stringResources[{instance, id}] = fromUtf8(text);
    return TRUE;
}

DVAPI void dvUnregisterModuleResources(HINSTANCE instance) {
    std::lock_guard<std::mutex> hold(guard);
    for (auto it = dialogTemplates.begin(); it != dialogTemplates.end();)
        it = it->first.first == instance ? dialogTemplates.erase(it) : std::next(it);
    for (auto it = stringResources.begin(); it != stringResources.end();)
        it = it->first.first == instance ? stringResources.erase(it) : std::next(it);
}

namespace {

// LoadString for either character width: `encode` turns the stored wide text
// into the caller's encoding.
template <class Char, class Encode>
int loadString(HINSTANCE instance, UINT id, Char* buffer, int chars, Encode encode) {
    if (!buffer || chars <= 0) return 0;
    std::lock_guard<std::mutex> hold(guard);
    auto it = stringResources.find({instance, id});
    if (it == stringResources.end()) {
        buffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    return copyOut(encode(it->second), buffer, chars);
}

}  // namespace

DVAPI int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int chars) {
    return loadString(instance, id, buffer, chars, [](const std::wstring& text) { return text; });
}

DVAPI int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int chars) {
    return loadString(instance, id, buffer, chars, [](const std::wstring& text) { return toUtf8(text); });
}
