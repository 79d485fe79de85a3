// The displays as the program meets them: the scale of the display the user signed in on (the
// system's), the scale of the display the taskbar is on, which changes when the user changes the
// scale or the main display, and the icon images the program loads and destroys.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

namespace sim {

class Chooser;
class DesktopChecker;
class RunLog;

class Display {
  public:
    Display(Chooser& chooser, RunLog& log, DesktopChecker& checker)
        : chooser_(chooser), log_(log), checker_(checker) {}

    // The scales at the start, and whether this Windows has the calls that tell a display's
    // scale (Windows 10 1607 and later).
    void Start();
    // The user changes the scale or moves the taskbar to another display; true when the taskbar's
    // scale is now another.
    bool Change();

    HWND FindTaskbar() const { return kTaskbar; }
    UINT DpiForWindow(HWND window) const;
    int SystemMetrics(int index) const;
    int MetricsForDpi(int index, UINT dpi) const;

    // A new image of the program's icon, of the size asked for.
    HANDLE LoadImage(int cx, int cy);
    // False for an image that is not loaded (destroyed twice, or never made).
    BOOL DestroyImage(HICON image);
    int SizeOf(HICON image) const;
    std::vector<HICON> LiveImages() const;

    // The size the taskbar draws its icons at, as far as the program can tell it: where this
    // Windows cannot tell a display's scale, the size of the system's.
    int TaskbarIconSize() const;

  private:
    static inline const HWND kTaskbar = reinterpret_cast<HWND>(0x7E000900);
    static int SmallIconSize(UINT dpi);

    Chooser& chooser_;
    RunLog& log_;
    DesktopChecker& checker_;
    UINT systemDpi_ = 96;
    UINT taskbarDpi_ = 96;
    bool perDisplayScale_ = true;
    std::map<HICON, int> live_;
    std::uintptr_t next_ = 0x7E100000;
};

}  // namespace sim
