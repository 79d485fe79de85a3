// The least a tray program can be: a hidden window, one icon in the notification area and a
// message loop. Its footprint is the baseline that the program's footprint is measured against.
#include <windows.h>
#include <shellapi.h>

namespace {

constexpr wchar_t kWindowClass[] = L"VestrelMinimalTrayWindow";

NOTIFYICONDATAW iconRecord{};

LRESULT CALLBACK MinimalWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::Shell_NotifyIconW(NIM_DELETE, &iconRecord);
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = MinimalWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                    nullptr, instance, nullptr);
    if (window == nullptr) {
        return 3;
    }

    iconRecord.cbSize = sizeof(iconRecord);
    iconRecord.hWnd = window;
    iconRecord.uID = 1;
    iconRecord.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    iconRecord.uCallbackMessage = WM_APP + 1;
    iconRecord.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    ::lstrcpynW(iconRecord.szTip, L"Minimal tray", ARRAYSIZE(iconRecord.szTip));
    ::Shell_NotifyIconW(NIM_ADD, &iconRecord);

    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
