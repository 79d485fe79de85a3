#include "platform_fake.h"

#include <shlobj.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace fake {

Script script;
std::vector<Call> calls;

namespace {

WNDPROC registeredWindowProc = nullptr;
bool quitPosted = false;
std::map<HWND, LONG_PTR> userData;

std::wstring Text(LPCWSTR text) {
    return text != nullptr ? std::wstring(text) : L"<null>";
}

std::uint64_t Number(const void* handle) {
    return HandleValue(handle);
}

using Texts = std::map<std::string, std::wstring, std::less<>>;
using Numbers = std::map<std::string, std::uint64_t, std::less<>>;

Call& Record(std::string name, Texts texts = {}, Numbers numbers = {}) {
    Call call;
    call.name = std::move(name);
    call.texts = std::move(texts);
    call.numbers = std::move(numbers);
    calls.push_back(std::move(call));
    return calls.back();
}

std::uint64_t Signed(std::int64_t value) {
    return static_cast<std::uint64_t>(value);
}

bool IsFakeHandle(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value >= kFakeHandleBase && value < kOpenedProcessBase + 0x100000000ull;
}

}  // namespace

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

void Reset() {
    script = Script{};
    calls.clear();
    registeredWindowProc = nullptr;
    quitPosted = false;
    userData.clear();
}

std::vector<Call> CallsNamed(std::string_view name) {
    std::vector<Call> named;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(named),
                 [name](const Call& call) { return call.name == name; });
    return named;
}

std::vector<std::string> CallNames(const std::vector<std::string>& except) {
    std::vector<std::string> names;
    for (const Call& call : calls) {
        if (std::find(except.begin(), except.end(), call.name) == except.end()) {
            names.push_back(call.name);
        }
    }
    return names;
}

bool ReadSection(std::wstring_view section) {
    return std::any_of(calls.begin(), calls.end(), [section](const Call& call) {
        return call.name == "GetPrivateProfileStringW" && call.Text("section") == section;
    });
}

}  // namespace fake

namespace platform {

using fake::calls;
using fake::Number;
using fake::Record;
using fake::script;
using fake::Signed;
using fake::Text;

BOOL SetDefaultDllDirectories(DWORD flags) {
    Record("SetDefaultDllDirectories", {}, {{"flags", flags}});
    return TRUE;
}

LPWSTR GetCommandLineW() {
    Record("GetCommandLineW");
    return script.commandLine.data();
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
    Record("CreateMutexW", {{"name", Text(name)}},
           {{"attributes", Number(attributes)},
            {"initialOwner", static_cast<std::uint64_t>(initialOwner)}});
    return script.mutex == fake::MutexAnswer::Fails ? nullptr : fake::kMutexHandle;
}

DWORD GetLastError() {
    Record("GetLastError");
    return script.mutex == fake::MutexAnswer::AlreadyExists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
}

BOOL CloseHandle(HANDLE handle) {
    Record("CloseHandle", {}, {{"handle", Number(handle)}});
    if (fake::IsFakeHandle(handle)) {
        return TRUE;
    }
    return ::CloseHandle(handle);
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    Record("RegisterClassW", {{"lpszClassName", Text(windowClass->lpszClassName)}},
           {{"style", windowClass->style},
            {"hInstance", Number(windowClass->hInstance)},
            {"hIcon", Number(windowClass->hIcon)},
            {"hCursor", Number(windowClass->hCursor)},
            {"hbrBackground", Number(windowClass->hbrBackground)},
            {"lpszMenuName", Number(windowClass->lpszMenuName)},
            {"cbClsExtra", static_cast<std::uint64_t>(windowClass->cbClsExtra)},
            {"cbWndExtra", static_cast<std::uint64_t>(windowClass->cbWndExtra)}});
    fake::registeredWindowProc = windowClass->lpfnWndProc;
    return 1;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    Record("CreateWindowExW", {{"className", Text(className)}, {"windowName", Text(windowName)}},
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
    if (script.windowFails) {
        return nullptr;
    }
    // As Windows does, the new window's procedure gets its creation messages, with the creation
    // parameter, before CreateWindowExW returns.
    const HWND created = fake::kTrayWindowHandle;
    if (fake::registeredWindowProc != nullptr) {
        CREATESTRUCTW creation{};
        creation.lpCreateParams = param;
        creation.hInstance = instance;
        creation.lpszName = windowName;
        creation.lpszClass = className;
        creation.style = static_cast<LONG>(style);
        creation.dwExStyle = exStyle;
        const auto lParam = reinterpret_cast<LPARAM>(&creation);
        if (fake::registeredWindowProc(created, WM_NCCREATE, 0, lParam) == FALSE ||
            fake::registeredWindowProc(created, WM_CREATE, 0, lParam) == -1) {
            return nullptr;
        }
    }
    return created;
}

UINT RegisterWindowMessageW(LPCWSTR name) {
    Record("RegisterWindowMessageW", {{"name", Text(name)}});
    return script.taskbarCreatedMessage;
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
    Record("SetWindowLongPtrW", {},
           {{"window", Number(window)}, {"index", Signed(index)}, {"value", Signed(value)}});
    LONG_PTR& slot = fake::userData[window];
    return std::exchange(slot, value);
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
    Record("GetWindowLongPtrW", {}, {{"window", Number(window)}, {"index", Signed(index)}});
    const auto found = fake::userData.find(window);
    return found != fake::userData.end() ? found->second : 0;
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
    Record("PostQuitMessage", {}, {{"exitCode", Signed(exitCode)}});
    fake::quitPosted = true;
}

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    Record("GetMessageW", {},
           {{"window", Number(window)}, {"filterMin", filterMin}, {"filterMax", filterMax}});
    if (fake::quitPosted || script.messages.empty()) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        return FALSE;
    }
    *msg = script.messages.front();
    script.messages.pop_front();
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL TranslateMessage(const MSG* msg) {
    Record("TranslateMessage", {}, {{"message", msg->message}});
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    Record("DispatchMessageW", {}, {{"message", msg->message}});
    if (fake::registeredWindowProc == nullptr) {
        return 0;
    }
    return fake::registeredWindowProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
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
    Record("LoadImageW", {},
           {{"instance", Number(instance)},
            {"name", Number(name)},
            {"type", type},
            {"cx", Signed(cx)},
            {"cy", Signed(cy)},
            {"flags", flags}});
    return fake::kIconHandle;
}

int GetSystemMetrics(int index) {
    Record("GetSystemMetrics", {}, {{"index", Signed(index)}});
    return index == SM_CXSMICON ? 20 : index == SM_CYSMICON ? 21 : 0;
}

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    fake::Call& call = Record("Shell_NotifyIconW", {}, {{"message", message}});
    call.record = *data;
    // The answer is this request's own, taken before any request nested in it asks.
    std::deque<BOOL>& answers = script.notifyAnswers[message];
    BOOL answer = TRUE;
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    if (script.whileNotifying) {
        // Moved out first: a nested request must not run the hook again.
        const auto hook = std::move(script.whileNotifying);
        script.whileNotifying = nullptr;
        hook(message);
    }
    return answer;
}

HMENU CreatePopupMenu() {
    Record("CreatePopupMenu");
    return script.popupMenuFails ? nullptr : fake::kMenuHandle;
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text) {
    Record("AppendMenuW", {{"text", Text(text)}},
           {{"menu", Number(menu)}, {"flags", flags}, {"id", id}});
    return TRUE;
}

BOOL GetCursorPos(LPPOINT point) {
    Record("GetCursorPos");
    if (!script.cursor) {
        return FALSE;
    }
    *point = *script.cursor;
    return TRUE;
}

DWORD GetMessagePos() {
    Record("GetMessagePos");
    return script.messagePos;
}

BOOL SetForegroundWindow(HWND window) {
    Record("SetForegroundWindow", {}, {{"window", Number(window)}});
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window,
                    const RECT* rect) {
    Record("TrackPopupMenu", {},
           {{"menu", Number(menu)},
            {"flags", flags},
            {"x", Signed(x)},
            {"y", Signed(y)},
            {"reserved", Signed(reserved)},
            {"window", Number(window)},
            {"rect", Number(rect)}});
    if (script.whileTracking) {
        script.whileTracking();
    }
    return static_cast<BOOL>(script.trackResult);
}

BOOL DestroyMenu(HMENU menu) {
    Record("DestroyMenu", {}, {{"menu", Number(menu)}});
    return TRUE;
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR path) {
    Record("GetPrivateProfileStringW",
           {{"section", Text(section)},
            {"key", Text(key)},
            {"defaultValue", Text(defaultValue)},
            {"path", Text(path)}},
           {{"size", size}});
    const DWORD copied = ::GetPrivateProfileStringW(section, key, defaultValue, buffer, size, path);
    if (script.afterProfileRead) {
        script.afterProfileRead(Text(section), Text(key));
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

int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes) {
    Record("SHCreateDirectoryExW", {{"path", Text(path)}},
           {{"window", Number(window)}, {"attributes", Number(attributes)}});
    return ::SHCreateDirectoryExW(window, path, attributes);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
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
    Record("CoInitializeEx", {}, {{"reserved", Number(reserved)}, {"coInit", coInit}});
    return script.comResult;
}

void CoUninitialize() {
    Record("CoUninitialize");
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    Record("OpenProcess", {},
           {{"access", access},
            {"inherit", static_cast<std::uint64_t>(inherit)},
            {"processId", processId}});
    const auto found = script.processes.find(processId);
    if (found == script.processes.end() || !found->second.openable) {
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(fake::kOpenedProcessBase + processId);
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    Record("GetExitCodeProcess", {}, {{"process", Number(process)}});
    const auto processId =
        static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(process) - fake::kOpenedProcessBase);
    const fake::FakeProcess& fakeProcess = script.processes.at(processId);
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
    fake::Call& call = Record("CreateProcessW",
                              {{"applicationName", Text(applicationName)},
                               {"commandLine", Text(commandLine)},
                               {"currentDirectory", Text(currentDirectory)}},
                              {{"processAttributes", Number(processAttributes)},
                               {"threadAttributes", Number(threadAttributes)},
                               {"inheritHandles", static_cast<std::uint64_t>(inheritHandles)},
                               {"creationFlags", creationFlags},
                               {"environment", Number(environment)}});
    call.startup = *startupInfo;
    const PROCESS_INFORMATION zero{};
    call.processInfoZeroed = processInfo->hProcess == zero.hProcess &&
                             processInfo->hThread == zero.hThread &&
                             processInfo->dwProcessId == 0 && processInfo->dwThreadId == 0;
    if (!script.createProcessResult) {
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
    if (script.whileShellExecuting) {
        const auto hook = std::move(script.whileShellExecuting);
        script.whileShellExecuting = nullptr;
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
    Record("GetLocalTime");
    *time = script.localTime;
}

std::int64_t UnixTimeNow() {
    Record("UnixTimeNow");
    return script.unixNow;
}

}  // namespace platform
