// Keeps a file open with no sharing at all, as a backup tool or a virus scanner may, so that a
// test can show what the tray program does when its seen file cannot be opened.
//
//   hold-file.exe PATH     prints "held" once the file is open, then waits to be killed
//
// Exit codes: 1 the file could not be opened, 2 bad command line.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hold-file PATH\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
