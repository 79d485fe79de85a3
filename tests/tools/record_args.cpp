// Stands in for a program that the tray program starts (the interpreter, or the shell's handler
// for web addresses): it writes down exactly how it was started and ends at once, so that a test
// can compare the command line with the one the program should have built.
//
// The command line goes, unchanged and as one UTF-8 line, to the file that VESTREL_RECORD_FILE
// names, or else to record-args.log beside this program.
#include "record_file.h"

#include <windows.h>

#include <string>

namespace {

std::wstring RecordPath() {
    DWORD size = GetEnvironmentVariableW(L"VESTREL_RECORD_FILE", nullptr, 0);
    if (size > 1) {
        std::wstring path(size, L'\0');
        DWORD length = GetEnvironmentVariableW(L"VESTREL_RECORD_FILE", path.data(), size);
        path.resize(length);
        return path;
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + L"record-args.log";
}

}  // namespace

int wmain() {
    const wchar_t* commandLine = GetCommandLineW();
    int size = WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
    std::string line(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
    if (size > 1) {
        WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, line.data(), size, nullptr, nullptr);
    }

    // Several of these may run at once (a menu command and a balloon's click, the handlers of
    // two addresses): each line goes whole, and none is lost.
    return AppendRecordLine(RecordPath(), line) ? 0 : 1;
}
