#include "platform_fake.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace fake {

namespace {

// The one fake that lives, set and cleared by the fake itself: the platform calls are free
// functions, so this is how they find it.
Platform* livePlatform = nullptr;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fake platform: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

std::wstring Text(LPCWSTR text) {
    return text != nullptr ? std::wstring(text) : L"<null>";
}

std::uint64_t Number(const void* handle) {
    return HandleValue(handle);
}

using Texts = std::map<std::string, std::wstring, std::less<>>;
using Numbers = std::map<std::string, std::uint64_t, std::less<>>;

// The live fake, for the platform call of this name.
Platform& Live(const char* call) {
    if (livePlatform == nullptr) {
        Fail((std::string(call) + " was called while no fake::Platform lives; make one first")
                 .c_str());
    }
    return *livePlatform;
}

// Records a call in the live fake, and gives that fake for the answer.
Platform& Record(std::string name, Texts texts = {}, Numbers numbers = {}) {
    Platform& live = Live(name.c_str());
    Call call;
    call.name = std::move(name);
    call.texts = std::move(texts);
    call.numbers = std::move(numbers);
    live.calls.push_back(std::move(call));
    return live;
}

std::uint64_t Signed(std::int64_t value) {
    return static_cast<std::uint64_t>(value);
}

bool IsFakeHandle(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value >= kFakeHandleBase && value < kOpenedProcessBase + 0x100000000ull;
}

}  // namespace

Platform::Platform() {
    if (livePlatform != nullptr) {
        Fail("a fake::Platform was made while another lives; a test has one at a time");
    }
    livePlatform = this;
}

Platform::~Platform() {
    livePlatform = nullptr;
}

const std::wstring& Call::Text(std::string_view parameter) const {
    const auto found = texts.find(parameter);
    if (found == texts.end()) {
        throw std::out_of_range(name + " has no text parameter " + std::string(parameter));
    }
    return found->second;
}

std::uint64_t Call::Number(std::string_view parameter) const {
    const auto found = numbers.find(parameter);
    if (found == numbers.end()) {
        throw std::out_of_range(name + " has no number parameter " + std::string(parameter));
    }
    return found->second;
}

std::vector<Call> Platform::CallsNamed(std::string_view name) const {
    std::vector<Call> named;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(named),
                 [name](const Call& call) { return call.name == name; });
    return named;
}

std::vector<std::string> Platform::CallNames(const std::vector<std::string>& except) const {
    std::vector<std::string> names;
    for (const Call& call : calls) {
        if (std::find(except.begin(), except.end(), call.name) == except.end()) {
            names.push_back(call.name);
        }
    }
    return names;
}

bool Platform::ReadSection(std::wstring_view section) const {
    return std::any_of(calls.begin(), calls.end(), [section](const Call& call) {
        return call.name == "GetPrivateProfileStringW" && call.Text("section") == section;
    });
}

}  // namespace fake

namespace platform {

using fake::Live;
using fake::Number;
using fake::Record;
using fake::Signed;
using fake::Text;

BOOL SetDefaultDllDirectories(DWORD flags) {
    Record("SetDefaultDllDirectories", {}, {{"flags", flags}});
    return TRUE;
}

LPWSTR GetCommandLineW() {
    fake::Platform& live = Record("GetCommandLineW");
    return live.script.commandLine.data();
}

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc) {
    Record("CommandLineToArgvW", {{"commandLine", Text(commandLine)}});
    // The real splitter, so the tests see Windows' own quoting rules.
    return ::CommandLineToArgvW(commandLine, argc);
}

HLOCAL LocalFree(HLOCAL memory) {
    Record("LocalFree", {}, {{"memory", Number(memory)}});
    return ::LocalFree(memory);
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
    fake::Platform& live = Record("CreateMutexW", {{"name", Text(name)}},
                                  {{"attributes", Number(attributes)},
                                   {"initialOwner", static_cast<std::uint64_t>(initialOwner)}});
    return live.script.mutex == fake::MutexAnswer::Fails ? nullptr : fake::kMutexHandle;
}

DWORD GetLastError() {
    fake::Platform& live = Record("GetLastError");
    return live.script.mutex == fake::MutexAnswer::AlreadyExists ? ERROR_ALREADY_EXISTS
                                                                 : ERROR_SUCCESS;
}

BOOL CloseHandle(HANDLE handle) {
    Record("CloseHandle", {}, {{"handle", Number(handle)}});
    if (fake::IsFakeHandle(handle)) {
        return TRUE;
    }
    return ::CloseHandle(handle);
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    fake::Platform& live =
        Record("RegisterClassW", {{"lpszClassName", Text(windowClass->lpszClassName)}},
               {{"style", windowClass->style},
                {"hInstance", Number(windowClass->hInstance)},
                {"hIcon", Number(windowClass->hIcon)},
                {"hCursor", Number(windowClass->hCursor)},
                {"hbrBackground", Number(windowClass->hbrBackground)},
                {"lpszMenuName", Number(windowClass->lpszMenuName)},
                {"cbClsExtra", static_cast<std::uint64_t>(windowClass->cbClsExtra)},
                {"cbWndExtra", static_cast<std::uint64_t>(windowClass->cbWndExtra)}});
    live.windows.procedure = windowClass->lpfnWndProc;
    return 1;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    fake::Platform& live = Record(
        "CreateWindowExW", {{"className", Text(className)}, {"windowName", Text(windowName)}},
        {{"exStyle", exStyle},
         {"style", style},
         {"x", Signed(x)},
         {"y", Signed(y)},
         {"width", Signed(width)},
         {"height", Signed(height)},
         {"parent", Number(parent)},
         {"menu", Number(menu)},
         {"instance", Number(instance)},
         {"param", Number(param)}});
    if (live.script.windowFails) {
        return nullptr;
    }
    // As Windows does, the new window's procedure gets its creation messages, with the creation
    // parameter, before CreateWindowExW returns.
    const HWND created = fake::kTrayWindowHandle;
    if (live.windows.procedure != nullptr) {
        CREATESTRUCTW creation{};
        creation.lpCreateParams = param;
        creation.hInstance = instance;
        creation.lpszName = windowName;
        creation.lpszClass = className;
        creation.style = static_cast<LONG>(style);
        creation.dwExStyle = exStyle;
        const auto lParam = reinterpret_cast<LPARAM>(&creation);
        if (live.windows.procedure(created, WM_NCCREATE, 0, lParam) == FALSE ||
            live.windows.procedure(created, WM_CREATE, 0, lParam) == -1) {
            return nullptr;
        }
    }
    return created;
}

UINT RegisterWindowMessageW(LPCWSTR name) {
    fake::Platform& live = Record("RegisterWindowMessageW", {{"name", Text(name)}});
    return live.script.taskbarCreatedMessage;
}

BOOL ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action,
                                 PCHANGEFILTERSTRUCT changeFilterStruct) {
    Record("ChangeWindowMessageFilterEx", {},
           {{"window", Number(window)},
            {"message", message},
            {"action", action},
            {"changeFilterStruct", Number(changeFilterStruct)}});
    return TRUE;
}

LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    fake::Platform& live =
        Record("SetWindowLongPtrW", {},
               {{"window", Number(window)}, {"index", Signed(index)}, {"value", Signed(value)}});
    LONG_PTR& slot = live.windows.userData[window];
    return std::exchange(slot, value);
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
    fake::Platform& live =
        Record("GetWindowLongPtrW", {}, {{"window", Number(window)}, {"index", Signed(index)}});
    const auto found = live.windows.userData.find(window);
    return found != live.windows.userData.end() ? found->second : 0;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc) {
    Record("SetTimer", {},
           {{"window", Number(window)},
            {"id", id},
            {"elapse", elapse},
            {"timerProc", Number(reinterpret_cast<void*>(timerProc))}});
    return id;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Record("DefWindowProcW", {},
           {{"window", Number(window)},
            {"message", message},
            {"wParam", wParam},
            {"lParam", Signed(lParam)}});
    return 0x5A5A;
}

void PostQuitMessage(int exitCode) {
    fake::Platform& live = Record("PostQuitMessage", {}, {{"exitCode", Signed(exitCode)}});
    live.windows.quitPosted = true;
}

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    fake::Platform& live =
        Record("GetMessageW", {},
               {{"window", Number(window)}, {"filterMin", filterMin}, {"filterMax", filterMax}});
    if (live.windows.quitPosted || live.script.messages.empty()) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        return FALSE;
    }
    *msg = live.script.messages.front();
    live.script.messages.pop_front();
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL TranslateMessage(const MSG* msg) {
    Record("TranslateMessage", {}, {{"message", msg->message}});
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    fake::Platform& live = Record("DispatchMessageW", {}, {{"message", msg->message}});
    if (live.windows.procedure == nullptr) {
        return 0;
    }
    return live.windows.procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Record("PostMessageW", {},
           {{"window", Number(window)},
            {"message", message},
            {"wParam", wParam},
            {"lParam", Signed(lParam)}});
    return TRUE;
}

HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    fake::Platform& live = Record("LoadImageW", {},
                                  {{"instance", Number(instance)},
                                   {"name", Number(name)},
                                   {"type", type},
                                   {"cx", Signed(cx)},
                                   {"cy", Signed(cy)},
                                   {"flags", flags}});
    if (live.script.imageLoadFails) {
        return nullptr;
    }
    const HICON image = fake::LoadedImage(live.imagesLoaded++);
    live.liveImages.push_back(image);
    return image;
}

BOOL DestroyIcon(HICON icon) {
    fake::Platform& live = Record("DestroyIcon", {}, {{"icon", Number(icon)}});
    const auto found = std::find(live.liveImages.begin(), live.liveImages.end(), icon);
    if (found == live.liveImages.end()) {
        return FALSE;
    }
    live.liveImages.erase(found);
    return TRUE;
}

// The small icon is 16 pixels at 100 %, and grows with the scale.
int GetSystemMetrics(int index) {
    Record("GetSystemMetrics", {}, {{"index", Signed(index)}});
    return index == SM_CXSMICON || index == SM_CYSMICON ? 16 : 0;
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    fake::Platform& live =
        Record("FindWindowW", {{"className", Text(className)}, {"windowName", Text(windowName)}});
    return live.script.taskbar;
}

UINT GetDpiForWindow(HWND window) {
    fake::Platform& live = Record("GetDpiForWindow", {}, {{"window", Number(window)}});
    return window == live.script.taskbar ? live.script.taskbarDpi : 96;
}

int GetSystemMetricsForDpi(int index, UINT dpi) {
    Record("GetSystemMetricsForDpi", {}, {{"index", Signed(index)}, {"dpi", dpi}});
    return index == SM_CXSMICON || index == SM_CYSMICON ? MulDiv(16, static_cast<int>(dpi), 96) : 0;
}

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    fake::Platform& live = Record("Shell_NotifyIconW", {}, {{"message", message}});
    fake::Call& call = live.calls.back();
    call.record = *data;
    // The answer is this request's own, taken before any request nested in it asks.
    std::deque<BOOL>& answers = live.script.notifyAnswers[message];
    BOOL answer = TRUE;
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    if (live.script.whileNotifying) {
        // Moved out first: a nested request must not run the hook again.
        const auto hook = std::move(live.script.whileNotifying);
        live.script.whileNotifying = nullptr;
        hook(message);
    }
    return answer;
}

HRESULT SHQueryUserNotificationState(QUERY_USER_NOTIFICATION_STATE* state) {
    fake::Platform& live = Record("SHQueryUserNotificationState");
    if (SUCCEEDED(live.script.notificationStateResult)) {
        *state = live.script.notificationState;
    }
    return live.script.notificationStateResult;
}

HMENU CreatePopupMenu() {
    fake::Platform& live = Record("CreatePopupMenu");
    return live.script.popupMenuFails ? nullptr : fake::kMenuHandle;
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text) {
    Record("AppendMenuW", {{"text", Text(text)}},
           {{"menu", Number(menu)}, {"flags", flags}, {"id", id}});
    return TRUE;
}

BOOL GetCursorPos(LPPOINT point) {
    fake::Platform& live = Record("GetCursorPos");
    if (!live.script.cursor) {
        return FALSE;
    }
    *point = *live.script.cursor;
    return TRUE;
}

DWORD GetMessagePos() {
    fake::Platform& live = Record("GetMessagePos");
    return live.script.messagePos;
}

BOOL SetForegroundWindow(HWND window) {
    Record("SetForegroundWindow", {}, {{"window", Number(window)}});
    return TRUE;
}

SHORT GetKeyState(int virtualKey) {
    fake::Platform& live = Record("GetKeyState", {}, {{"virtualKey", Signed(virtualKey)}});
    return virtualKey == VK_ESCAPE && live.script.escapeDown ? static_cast<SHORT>(0x8000) : 0;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window,
                    const RECT* rect) {
    fake::Platform& live = Record("TrackPopupMenu", {},
                                  {{"menu", Number(menu)},
                                   {"flags", flags},
                                   {"x", Signed(x)},
                                   {"y", Signed(y)},
                                   {"reserved", Signed(reserved)},
                                   {"window", Number(window)},
                                   {"rect", Number(rect)}});
    if (live.script.whileTracking) {
        live.script.whileTracking();
    }
    return static_cast<BOOL>(live.script.trackResult);
}

BOOL DestroyMenu(HMENU menu) {
    Record("DestroyMenu", {}, {{"menu", Number(menu)}});
    return TRUE;
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR path) {
    fake::Platform& live = Record("GetPrivateProfileStringW",
                                  {{"section", Text(section)},
                                   {"key", Text(key)},
                                   {"defaultValue", Text(defaultValue)},
                                   {"path", Text(path)}},
                                  {{"size", size}});
    const DWORD copied = ::GetPrivateProfileStringW(section, key, defaultValue, buffer, size, path);
    if (live.script.afterProfileRead) {
        live.script.afterProfileRead(Text(section), Text(key));
    }
    return copied;
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path) {
    Record("WritePrivateProfileStringW", {{"section", Text(section)},
                                          {"key", Text(key)},
                                          {"value", Text(value)},
                                          {"path", Text(path)}});
    return ::WritePrivateProfileStringW(section, key, value, path);
}

DWORD GetFileAttributesW(LPCWSTR path) {
    Record("GetFileAttributesW", {{"path", Text(path)}});
    return ::GetFileAttributesW(path);
}

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS infoLevel, LPVOID information) {
    Record("GetFileAttributesExW", {{"path", Text(path)}},
           {{"infoLevel", static_cast<std::uint64_t>(infoLevel)}});
    return ::GetFileAttributesExW(path, infoLevel, information);
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    Record("GetFileSizeEx", {}, {{"file", Number(file)}});
    return ::GetFileSizeEx(file, size);
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    Record("GetFullPathNameW", {{"path", Text(path)}}, {{"size", size}});
    return ::GetFullPathNameW(path, size, buffer, filePart);
}

int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes) {
    Record("SHCreateDirectoryExW", {{"path", Text(path)}},
           {{"window", Number(window)}, {"attributes", Number(attributes)}});
    return ::SHCreateDirectoryExW(window, path, attributes);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
    fake::Platform& live = Live("CreateFileW");
    if (live.script.beforeOpeningFile) {
        const auto hook = std::move(live.script.beforeOpeningFile);
        live.script.beforeOpeningFile = nullptr;
        hook(Text(path));
    }
    Record("CreateFileW", {{"path", Text(path)}},
           {{"access", access},
            {"shareMode", shareMode},
            {"attributes", Number(attributes)},
            {"disposition", disposition},
            {"flags", flags},
            {"templateFile", Number(templateFile)}});
    return ::CreateFileW(path, access, shareMode, attributes, disposition, flags, templateFile);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    Record("WriteFile", {}, {{"file", Number(file)}, {"size", size}});
    return ::WriteFile(file, buffer, size, written, overlapped);
}

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    fake::Platform& live =
        Record("CoInitializeEx", {}, {{"reserved", Number(reserved)}, {"coInit", coInit}});
    return live.script.comResult;
}

void CoUninitialize() {
    Record("CoUninitialize");
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    fake::Platform& live = Record("OpenProcess", {},
                                  {{"access", access},
                                   {"inherit", static_cast<std::uint64_t>(inherit)},
                                   {"processId", processId}});
    const auto found = live.script.processes.find(processId);
    if (found == live.script.processes.end() || !found->second.openable) {
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(fake::kOpenedProcessBase + processId);
}

BOOL AllowSetForegroundWindow(DWORD processId) {
    Record("AllowSetForegroundWindow", {}, {{"processId", processId}});
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    fake::Platform& live = Record("GetExitCodeProcess", {}, {{"process", Number(process)}});
    const auto processId =
        static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(process) - fake::kOpenedProcessBase);
    const fake::FakeProcess& fakeProcess = live.script.processes.at(processId);
    if (!fakeProcess.exitCodeReadable) {
        return FALSE;
    }
    *exitCode = fakeProcess.exitCode;
    return TRUE;
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInfo) {
    fake::Platform& live = Record("CreateProcessW",
                                  {{"applicationName", Text(applicationName)},
                                   {"commandLine", Text(commandLine)},
                                   {"currentDirectory", Text(currentDirectory)}},
                                  {{"processAttributes", Number(processAttributes)},
                                   {"threadAttributes", Number(threadAttributes)},
                                   {"inheritHandles", static_cast<std::uint64_t>(inheritHandles)},
                                   {"creationFlags", creationFlags},
                                   {"environment", Number(environment)}});
    fake::Call& call = live.calls.back();
    call.startup = *startupInfo;
    const PROCESS_INFORMATION zero{};
    call.processInfoZeroed = processInfo->hProcess == zero.hProcess &&
                             processInfo->hThread == zero.hThread &&
                             processInfo->dwProcessId == 0 && processInfo->dwThreadId == 0;
    if (!live.script.createProcessResult) {
        return FALSE;
    }
    processInfo->hProcess = fake::kProcessHandle;
    processInfo->hThread = fake::kThreadHandle;
    processInfo->dwProcessId = 4242;
    processInfo->dwThreadId = 4343;
    return TRUE;
}

HINSTANCE ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, INT showCommand) {
    fake::Platform& live = Live("ShellExecuteW");
    if (live.script.whileShellExecuting) {
        const auto hook = std::move(live.script.whileShellExecuting);
        live.script.whileShellExecuting = nullptr;
        hook();
    }
    Record("ShellExecuteW",
           {{"verb", Text(verb)},
            {"file", Text(file)},
            {"parameters", Text(parameters)},
            {"directory", Text(directory)}},
           {{"window", Number(window)}, {"showCommand", Signed(showCommand)}});
    return reinterpret_cast<HINSTANCE>(42);
}

void GetLocalTime(LPSYSTEMTIME time) {
    fake::Platform& live = Record("GetLocalTime");
    *time = live.script.localTime;
}

std::int64_t UnixTimeNow() {
    fake::Platform& live = Record("UnixTimeNow");
    return live.script.unixNow;
}

}  // namespace platform
