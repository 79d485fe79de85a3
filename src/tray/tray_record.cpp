#include "tray/tray_record.h"

#include <algorithm>

void CopyToField(wchar_t* field, std::size_t capacity, std::wstring_view text) {
    std::size_t length = std::min(text.size(), capacity - 1);
    // A lone high surrogate at the end would show as a broken character.
    if (length < text.size() && length > 0 && IS_HIGH_SURROGATE(text[length - 1])) {
        --length;
    }
    std::copy_n(text.data(), length, field);
    field[length] = L'\0';
}
