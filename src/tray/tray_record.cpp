#include "tray/tray_record.h"

#include "platform/platform.h"

#include <algorithm>

NOTIFYICONDATAW trayRecord{};
bool iconAdded = false;

void InitTrayRecord(HWND window, HINSTANCE instance) {
    trayRecord.cbSize = sizeof(trayRecord);
    trayRecord.hWnd = window;
    trayRecord.uID = kTrayIconId;
    trayRecord.uCallbackMessage = TrayCallbackMessage;
    // Loaded once at the small-icon size of this moment and kept for the whole run.
    trayRecord.hIcon = static_cast<HICON>(platform::LoadImageW(
        instance, MAKEINTRESOURCEW(1), IMAGE_ICON, platform::GetSystemMetrics(SM_CXSMICON),
        platform::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

void CopyToField(wchar_t* field, std::size_t capacity, std::wstring_view text) {
    std::size_t length = std::min(text.size(), capacity - 1);
    // A lone high surrogate at the end would show as a broken character.
    if (length < text.size() && length > 0 && IS_HIGH_SURROGATE(text[length - 1])) {
        --length;
    }
    std::copy_n(text.data(), length, field);
    field[length] = L'\0';
}
