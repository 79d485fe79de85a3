// Stands in for the notification area so that an end-to-end test can see every request that a
// program makes of it. Wine's Shell_NotifyIconW hands each request as WM_COPYDATA to the first
// top-level window of class Shell_TrayWnd; this program puts such a window in front of the
// desktop's own, writes each request as one JSON line, and answers like the shell would (or
// refuses on purpose, or passes the request on so that the icon is also really drawn).
//
//   shell-standin.exe --log PATH [--forward] [--refuse-add N] [--refuse-modify N]
//                     [--refuse-setversion N] [--refuse-delete N] [--wait-ms N]
//                     [--nested-event CODE --nested-at N]
//
// With --nested-event, the stand-in answers the Nth balloon request (a modify carrying NIF_INFO)
// only after it has sent the program's window the icon's callback message with event CODE, as a
// shell does that reports a late balloon event while it takes the next balloon: the program's
// window procedure runs inside its own Shell_NotifyIconW call. The request's log line then says
// "nested":CODE.
//
// Once its window is in front it prints "ready hwnd=<handle> pid=<id>" on stdout.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <utility>

namespace {

// Wine's platform-independent copy of NOTIFYICONDATAW (dlls/shell32/systray.c), 960 bytes. Fields
// that the request's uFlags do not name arrive zeroed; with NIF_ICON the icon's size is filled in
// and its bitmaps follow the record.
#pragma pack(push, 1)
struct PackedRecord {
    std::int32_t hWnd;
    std::uint32_t uID;
    std::uint32_t uFlags;
    std::uint32_t uCallbackMessage;
    wchar_t szTip[128];
    std::uint32_t dwState;
    std::uint32_t dwStateMask;
    wchar_t szInfo[256];
    std::uint32_t uTimeoutOrVersion;
    wchar_t szInfoTitle[64];
    std::uint32_t dwInfoFlags;
    GUID guidItem;
    std::uint32_t iconWidth;
    std::uint32_t iconHeight;
    std::uint32_t iconPlanes;
    std::uint32_t iconBpp;
};
#pragma pack(pop)
static_assert(sizeof(PackedRecord) == 960, "measured size of Wine's record");

constexpr DWORD kRequestCount = 5;  // NIM_ADD .. NIM_SETVERSION
const char* const kRequestNames[kRequestCount] = {"add", "modify", "delete", "setfocus",
                                                  "setversion"};

struct Options {
    std::wstring logPath;
    bool forward = false;
    long refuse[kRequestCount] = {};
    DWORD waitMs = 30000;
    DWORD nestedEvent = 0;
    unsigned long nestedAt = 0;
};

Options g_options;
HANDLE g_log = INVALID_HANDLE_VALUE;
HWND g_self = nullptr;
unsigned long g_sequence = 0;
std::set<std::pair<std::int32_t, std::uint32_t>> g_icons;
// A balloon request names no callback message (only NIF_MESSAGE fills it): the add's is kept.
std::uint32_t g_callbackMessage = 0;
unsigned long g_balloonRequests = 0;

// Sends the program its icon's callback message and waits until its window procedure returned.
bool SendNestedEvent(const PackedRecord& record) {
    if (g_callbackMessage == 0) {
        return false;
    }
    const HWND program = reinterpret_cast<HWND>(static_cast<INT_PTR>(record.hWnd));
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(program, g_callbackMessage, 0,
                               MAKELPARAM(g_options.nestedEvent, record.uID), SMTO_NORMAL, 10000,
                               &ignored) != 0;
}

std::string ToUtf8(const wchar_t* text, std::size_t maxUnits) {
    std::size_t length = 0;
    while (length < maxUnits && text[length] != L'\0') {
        ++length;
    }
    if (length == 0) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr,
                        nullptr);
    return out;
}

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    for (char ch : utf8) {
        // Bytes of UTF-8 sequences are 0x80 and above: compare them as unsigned.
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void WriteLine(const std::string& line) {
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(g_log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

HWND DesktopTray() {
    return FindWindowExW(nullptr, g_self, L"Shell_TrayWnd", nullptr);
}

// What the desktop's notification area would answer, kept here so that tests without
// forwarding still see the shell's rules (a second add of the same icon fails, and so on).
LRESULT EmulatedAnswer(DWORD request, const PackedRecord& record) {
    auto key = std::make_pair(record.hWnd, record.uID);
    bool present = g_icons.count(key) != 0;
    switch (request) {
        case NIM_ADD:
            if (present) {
                return FALSE;
            }
            g_icons.insert(key);
            return TRUE;
        case NIM_DELETE:
            g_icons.erase(key);
            return present;
        default:
            return present;
    }
}

LRESULT HandleRequest(HWND sender, COPYDATASTRUCT* data) {
    if (data == nullptr || data->lpData == nullptr) {
        return FALSE;
    }
    PackedRecord record{};
    std::memcpy(&record, data->lpData, std::min<std::size_t>(data->cbData, sizeof record));
    bool hasIconBits = data->cbData > sizeof record;
    DWORD request = static_cast<DWORD>(data->dwData);
    if ((record.uFlags & NIF_MESSAGE) != 0 && record.uCallbackMessage != 0) {
        g_callbackMessage = record.uCallbackMessage;
    }
    long nested = -1;  // -1: no nested event; 0: sending it failed; 1: the program handled it
    if (request == NIM_MODIFY && (record.uFlags & NIF_INFO) != 0) {
        ++g_balloonRequests;
        if (g_options.nestedEvent != 0 && g_balloonRequests == g_options.nestedAt) {
            nested = SendNestedEvent(record) ? 1 : 0;
        }
    }

    bool refused = request < kRequestCount && g_options.refuse[request] > 0;
    LRESULT result = FALSE;
    if (refused) {
        --g_options.refuse[request];
    } else if (g_options.forward) {
        result = SendMessageW(DesktopTray(), WM_COPYDATA, reinterpret_cast<WPARAM>(sender),
                              reinterpret_cast<LPARAM>(data));
        // Keep the emulated table in step so that switching modes mid-run stays coherent.
        EmulatedAnswer(request, record);
    } else {
        result = EmulatedAnswer(request, record);
    }

    char head[512];
    std::snprintf(head, sizeof head,
                  "{\"seq\":%lu,\"op\":\"%s\",\"request\":%lu,\"cbData\":%lu,\"hwnd\":%ld,"
                  "\"uID\":%lu,\"uFlags\":%lu,\"uCallbackMessage\":%lu,\"dwState\":%lu,"
                  "\"dwStateMask\":%lu,\"uTimeout\":%lu,\"uVersion\":%lu,\"dwInfoFlags\":%lu,"
                  "\"refused\":%s,\"result\":%lld",
                  ++g_sequence, request < kRequestCount ? kRequestNames[request] : "unknown",
                  request, data->cbData, static_cast<long>(record.hWnd),
                  static_cast<unsigned long>(record.uID), static_cast<unsigned long>(record.uFlags),
                  static_cast<unsigned long>(record.uCallbackMessage),
                  static_cast<unsigned long>(record.dwState),
                  static_cast<unsigned long>(record.dwStateMask),
                  static_cast<unsigned long>(record.uTimeoutOrVersion),
                  static_cast<unsigned long>(record.uTimeoutOrVersion),
                  static_cast<unsigned long>(record.dwInfoFlags), refused ? "true" : "false",
                  static_cast<long long>(result));
    std::string line = head;
    line += ",\"szTip\":" + JsonString(ToUtf8(record.szTip, 128));
    line += ",\"szInfo\":" + JsonString(ToUtf8(record.szInfo, 256));
    line += ",\"szInfoTitle\":" + JsonString(ToUtf8(record.szInfoTitle, 64));
    if (nested >= 0) {
        char text[64];
        std::snprintf(text, sizeof text, ",\"nested\":%lu,\"nestedHandled\":%s",
                      static_cast<unsigned long>(g_options.nestedEvent),
                      nested == 1 ? "true" : "false");
        line += text;
    }
    if (hasIconBits) {
        char icon[128];
        std::snprintf(icon, sizeof icon, ",\"icon\":{\"width\":%lu,\"height\":%lu,\"bpp\":%lu}",
                      static_cast<unsigned long>(record.iconWidth),
                      static_cast<unsigned long>(record.iconHeight),
                      static_cast<unsigned long>(record.iconBpp));
        line += icon;
    } else {
        line += ",\"icon\":null";
    }
    WriteLine(line + "}");
    return result;
}

// The desktop's taskbar may be raised above this window later (it is topmost too); Wine asks
// only the first Shell_TrayWnd, so stay in front.
void StayInFront() {
    if (FindWindowW(L"Shell_TrayWnd", nullptr) != g_self) {
        SetWindowPos(g_self, HWND_TOPMOST, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA:
            return HandleRequest(reinterpret_cast<HWND>(wParam),
                                 reinterpret_cast<COPYDATASTRUCT*>(lParam));
        case WM_TIMER:
            StayInFront();
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool ParseOptions(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        std::wstring name = argv[i];
        if (name == L"--forward") {
            g_options.forward = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const wchar_t* value = argv[++i];
        if (name == L"--log") {
            g_options.logPath = value;
        } else if (name == L"--nested-event") {
            g_options.nestedEvent = static_cast<DWORD>(std::wcstoul(value, nullptr, 0));
        } else if (name == L"--nested-at") {
            g_options.nestedAt = std::wcstoul(value, nullptr, 10);
        } else if (name == L"--wait-ms") {
            g_options.waitMs = static_cast<DWORD>(std::wcstoul(value, nullptr, 10));
        } else {
            bool known = false;
            for (DWORD request = 0; request < kRequestCount; ++request) {
                std::string ascii = std::string("--refuse-") + kRequestNames[request];
                if (name == std::wstring(ascii.begin(), ascii.end())) {
                    g_options.refuse[request] = std::wcstol(value, nullptr, 10);
                    known = true;
                }
            }
            if (!known) {
                return false;
            }
        }
    }
    return !g_options.logPath.empty();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!ParseOptions(argc, argv)) {
        std::fprintf(stderr,
                     "usage: shell-standin --log PATH [--forward] [--refuse-add N] "
                     "[--refuse-modify N] [--refuse-setversion N] [--refuse-delete N] "
                     "[--wait-ms N] [--nested-event CODE --nested-at N]\n");
        return 2;
    }
    g_log = CreateFileW(g_options.logPath.c_str(), FILE_APPEND_DATA,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_log == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the log (error %lu)\n", GetLastError());
        return 1;
    }

    // Only a window made after the desktop's own taskbar ends up in front of it.
    DWORD waited = 0;
    while (FindWindowW(L"Shell_TrayWnd", nullptr) == nullptr) {
        if (waited >= g_options.waitMs) {
            std::fprintf(stderr, "the desktop's taskbar did not appear\n");
            return 1;
        }
        Sleep(50);
        waited += 50;
    }

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"Shell_TrayWnd";
    RegisterClassW(&windowClass);
    g_self = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"Shell_TrayWnd", L"", WS_POPUP, 0,
                             0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (g_self == nullptr) {
        std::fprintf(stderr, "cannot create the window (error %lu)\n", GetLastError());
        return 1;
    }
    StayInFront();
    if (FindWindowW(L"Shell_TrayWnd", nullptr) != g_self) {
        std::fprintf(stderr, "cannot get in front of the desktop's taskbar\n");
        return 1;
    }
    SetTimer(g_self, 1, 100, nullptr);
    std::printf("ready hwnd=%lld pid=%lu\n",
                static_cast<long long>(reinterpret_cast<INT_PTR>(g_self)), GetCurrentProcessId());
    std::fflush(stdout);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    CloseHandle(g_log);
    return 0;
}
