#include "process.h"

#include "checker.h"
#include "files.h"
#include "handles.h"

namespace sim {

namespace {

constexpr std::wstring_view kPythonw = L"C:\\py\\pythonw.exe";
constexpr std::wstring_view kLauncher = L"C:\\app\\launch.py";

}  // namespace

Process::Process(HandleTable& handles, Checker& checker) : handles_(handles), checker_(checker) {
    commandLine_ = L"tray.exe --mutex Vestrel.Sim --state \"" + std::wstring(kStatePath) +
                   L"\" --seen \"" + std::wstring(kSeenPath) + L"\" --pythonw \"" +
                   std::wstring(kPythonw) + L"\" --launcher \"" + std::wstring(kLauncher) + L"\"";
}

HANDLE Process::MakeMutex() {
    return handles_.Open("the mutex");
}

HRESULT Process::StartCom() {
    ++comStarts_;
    return S_OK;
}

BOOL Process::StartProcess(LPCWSTR commandLine, LPPROCESS_INFORMATION info) {
    const std::wstring line = commandLine;
    const std::wstring prefix =
        L"\"" + std::wstring(kPythonw) + L"\" -I \"" + std::wstring(kLauncher) + L"\"";
    checker_.Opened(line.starts_with(prefix) ? L"launch" + line.substr(prefix.size())
                                             : L"launch of " + line);
    info->hProcess = handles_.Open("a started process");
    info->hThread = handles_.Open("a started thread");
    info->dwProcessId = 5000;
    info->dwThreadId = 5001;
    return TRUE;
}

}  // namespace sim
