// Two or more processes appending lines to one file at once, as the companion simulator's starts
// do with their record file:
//
//   record-probe.exe FILE TAG COUNT PEER [--shared]
//
// writes COUNT lines "TAG <i>" to FILE through the simulator's record writer, or, with --shared,
// the way the simulator once did: each line through a handle opened for appending with every kind
// of sharing, which under Wine 8 loses lines when two processes write at once. The probe first
// raises the named event of its TAG and waits (30 s at most) for the one of PEER, so that both
// write at the same moment. Prints "written=N failed=M" at the end.
#include "record_file.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

HANDLE ArrivalEvent(const std::wstring& tag) {
    return CreateEventW(nullptr, TRUE, FALSE, (L"Local\\VestrelRecordProbe-" + tag).c_str());
}

bool AppendShared(const std::wstring& path, const std::string& line) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const std::string bytes = line + "\n";
    DWORD written = 0;
    const BOOL wrote =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return wrote != FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fwprintf(stderr, L"usage: record-probe FILE TAG COUNT PEER [--shared]\n");
        return 2;
    }
    const std::wstring path = argv[1];
    const std::wstring tag = argv[2];
    const int count = _wtoi(argv[3]);
    const bool shared = argc > 5 && std::wstring(argv[5]) == L"--shared";

    HANDLE mine = ArrivalEvent(tag);
    HANDLE peer = ArrivalEvent(argv[4]);
    SetEvent(mine);
    if (WaitForSingleObject(peer, 30000) != WAIT_OBJECT_0) {
        std::fwprintf(stderr, L"the peer never came\n");
        return 3;
    }

    std::string narrowTag;
    for (wchar_t c : tag) {
        narrowTag += static_cast<char>(c);
    }
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const std::string line = narrowTag + " " + std::to_string(i);
        if (!(shared ? AppendShared(path, line) : AppendRecordLine(path, line))) {
            ++failed;
        }
    }
    CloseHandle(peer);
    CloseHandle(mine);
    std::printf("written=%d failed=%d\n", count - failed, failed);
    return failed == 0 ? 0 : 1;
}
