#include "app/startup.h"

#include "platform/platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Libraries that the system loads on the program's behalf later (the shell's helpers) come
    // from the system folder only, never from the folder the program was started from, such as
    // a downloads folder holding a planted DLL.
    platform::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return RunTrayCompanion(instance);
}
