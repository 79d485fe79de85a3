// Wide text made readable for test messages and logs: printable ASCII as it is, every other code
// unit as \uXXXX.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline std::string Narrow(std::wstring_view text) {
    std::string narrow;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            narrow += static_cast<char>(c);
        } else {
            char escaped[12];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c));
            narrow += escaped;
        }
    }
    return narrow;
}
