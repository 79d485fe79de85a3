#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <string_view>

// The icon's callback message; with version 4 the event is in the low word of lParam.
inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
inline constexpr UINT kTrayIconId = 1;
// What an icon refresh sends, and what a balloon request sends: the balloon with the tooltip.
inline constexpr UINT kTrayIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
inline constexpr UINT kBalloonFlags = NIF_INFO | NIF_TIP | NIF_SHOWTIP;

// Copies text into a fixed field, cut to the field's size less the terminator. The cut counts
// UTF-16 code units, but never keeps the first half of a surrogate pair without its second.
void CopyToField(wchar_t* field, std::size_t capacity, std::wstring_view text);

template <std::size_t N>
void CopyToField(wchar_t (&field)[N], std::wstring_view text) {
    CopyToField(field, N, text);
}
