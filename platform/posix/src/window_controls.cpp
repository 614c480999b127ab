// Emulation of the predefined controls (combo box, check box, button):
// their messages, the user's selection, and the dialog-item helpers.
// Locking as in window_model.h.
#include "window_model.h"

#include <cstring>

namespace dvwin {

LRESULT controlMessageLocked(Window* w, UINT message, WPARAM wParam, LPARAM lParam, bool ansi,
                             bool* handled) {
    *handled = true;
    if (w->kind == Kind::ComboBox) {
        auto& items = w->items;
        const auto count = static_cast<LRESULT>(items.size());
        const auto index = static_cast<LRESULT>(static_cast<intptr_t>(wParam));
        switch (message) {
        case CB_ADDSTRING:
            items.push_back({textFrom(lParam, ansi), 0});
            return count;
        case CB_INSERTSTRING: {
            if (index < -1 || index > count) return CB_ERR;
            const size_t at = index == -1 ? items.size() : static_cast<size_t>(index);
            items.insert(items.begin() + static_cast<ptrdiff_t>(at), {textFrom(lParam, ansi), 0});
            if (w->selection != CB_ERR && static_cast<size_t>(w->selection) >= at) ++w->selection;
            return static_cast<LRESULT>(at);
        }
        case CB_DELETESTRING:
            if (index < 0 || index >= count) return CB_ERR;
            items.erase(items.begin() + index);
            if (w->selection == index)
                w->selection = CB_ERR;
            else if (w->selection > index)
                --w->selection;
            return count - 1;
        case CB_GETCOUNT:
            return count;
        case CB_RESETCONTENT:
            items.clear();
            w->selection = CB_ERR;
            return CB_OKAY;
        case CB_GETCURSEL:
            return w->selection;
        case CB_SETCURSEL:
            // An index outside the list clears the selection and answers CB_ERR.
            if (index < 0 || index >= count) {
                w->selection = CB_ERR;
                return CB_ERR;
            }
            w->selection = static_cast<int>(index);
            return index;
        case CB_GETITEMDATA:
            if (index < 0 || index >= count) return CB_ERR;
            return items[static_cast<size_t>(index)].data;
        case CB_SETITEMDATA:
            if (index < 0 || index >= count) return CB_ERR;
            items[static_cast<size_t>(index)].data = lParam;
            return CB_OKAY;
        case CB_GETLBTEXTLEN:
            if (index < 0 || index >= count) return CB_ERR;
            return ansi ? static_cast<LRESULT>(toUtf8(items[static_cast<size_t>(index)].text).size())
                        : static_cast<LRESULT>(items[static_cast<size_t>(index)].text.size());
        case CB_GETLBTEXT: {
            // The buffer must hold the whole text (as on Windows, no size is given).
            if (index < 0 || index >= count || !lParam) return CB_ERR;
            const std::wstring& t = items[static_cast<size_t>(index)].text;
            if (ansi) {
                const std::string a = toUtf8(t);
                std::memcpy(reinterpret_cast<char*>(lParam), a.c_str(), a.size() + 1);
                return static_cast<LRESULT>(a.size());
            }
            std::memcpy(reinterpret_cast<wchar_t*>(lParam), t.c_str(), (t.size() + 1) * sizeof(wchar_t));
            return static_cast<LRESULT>(t.size());
        }
        case CB_FINDSTRINGEXACT: {
            const std::wstring wanted = dvrt::upperCase(textFrom(lParam, ansi));
            for (LRESULT i = std::max<LRESULT>(index + 1, 0); i < count; ++i)
                if (dvrt::upperCase(items[static_cast<size_t>(i)].text) == wanted) return i;
            for (LRESULT i = 0; i < std::min<LRESULT>(index + 1, count); ++i)
                if (dvrt::upperCase(items[static_cast<size_t>(i)].text) == wanted) return i;
            return CB_ERR;
        }
        default:
            break;
        }
    } else if (w->kind == Kind::Button) {
        switch (message) {
        case BM_GETCHECK:
            return w->check;
        case BM_SETCHECK:
            w->check = static_cast<UINT>(wParam);
            return 0;
        default:
            break;
        }
    }
    *handled = false;
    return 0;
}

}  // namespace dvwin

using namespace dvwin;

DVAPI BOOL dvUserSelectComboItem(HWND combo, int index) {
    HWND parent = nullptr;
    int id = 0;
    {
        std::lock_guard<std::mutex> hold(guard);
        Window* w = find(combo);
        if (!w || w->kind != Kind::ComboBox || !w->enabled || index < 0 ||
            static_cast<size_t>(index) >= w->items.size())
            return FALSE;
        w->selection = index;
        parent = w->parent;
        id = w->id;
    }
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return TRUE;
}

// ---- controls -------------------------------------------------------------------

DVAPI BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    HWND control = GetDlgItem(dialog, id);
    if (!control) return FALSE;
    SendMessageW(control, BM_SETCHECK, check, 0);
    return TRUE;
}

DVAPI UINT IsDlgButtonChecked(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control ? static_cast<UINT>(SendMessageW(control, BM_GETCHECK, 0, 0)) : 0;
}

DVAPI UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int chars) {
    HWND control = GetDlgItem(dialog, id);
    if (!control) {
        if (text && chars > 0) text[0] = 0;
        return 0;
    }
    return static_cast<UINT>(GetWindowTextW(control, text, chars));
}
