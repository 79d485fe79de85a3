#include "display.h"

#include "chooser.h"
#include "desktop_checker.h"
#include "run_log.h"

#include <string>

namespace sim {

namespace {

// The scales a display may have: 100 % to 250 %.
constexpr UINT kDpis[] = {96, 120, 144, 168, 192, 216, 240};

UINT AnyDpi(Chooser& chooser) {
    return kDpis[chooser.Below(static_cast<std::uint32_t>(std::size(kDpis)))];
}

}  // namespace

int Display::SmallIconSize(UINT dpi) {
    return MulDiv(16, static_cast<int>(dpi), 96);
}

void Display::Start() {
    systemDpi_ = AnyDpi(chooser_);
    taskbarDpi_ = chooser_.Chance(30) ? AnyDpi(chooser_) : systemDpi_;
    perDisplayScale_ = !chooser_.Chance(5);
    log_.Note("displays at " + std::to_string(systemDpi_) + " dpi, the taskbar's at " +
              std::to_string(taskbarDpi_) +
              (perDisplayScale_ ? "" : "; this Windows cannot tell a display's scale"));
}

bool Display::Change() {
    const UINT before = taskbarDpi_;
    taskbarDpi_ = AnyDpi(chooser_);
    log_.Note("the taskbar's display is now at " + std::to_string(taskbarDpi_) + " dpi");
    return taskbarDpi_ != before;
}

UINT Display::DpiForWindow(HWND window) const {
    if (!perDisplayScale_) {
        return 0;
    }
    return window == kTaskbar ? taskbarDpi_ : systemDpi_;
}

int Display::SystemMetrics(int index) const {
    return index == SM_CXSMICON || index == SM_CYSMICON ? SmallIconSize(systemDpi_) : 0;
}

int Display::MetricsForDpi(int index, UINT dpi) const {
    if (!perDisplayScale_) {
        return 0;
    }
    return index == SM_CXSMICON || index == SM_CYSMICON ? SmallIconSize(dpi) : 0;
}

HANDLE Display::LoadImage(int cx, int cy) {
    const auto image = reinterpret_cast<HICON>(next_);
    next_ += 0x10;
    live_[image] = cx;
    if (cx != cy) {
        checker_.ImageNotSquare(cx, cy);
    }
    return image;
}

BOOL Display::DestroyImage(HICON image) {
    if (live_.erase(image) == 0) {
        checker_.ImageDestroyedThatIsNotLoaded();
        return FALSE;
    }
    return TRUE;
}

int Display::SizeOf(HICON image) const {
    const auto found = live_.find(image);
    return found != live_.end() ? found->second : 0;
}

std::vector<HICON> Display::LiveImages() const {
    std::vector<HICON> images;
    for (const auto& [image, size] : live_) {
        images.push_back(image);
    }
    return images;
}

int Display::TaskbarIconSize() const {
    return SmallIconSize(perDisplayScale_ ? taskbarDpi_ : systemDpi_);
}

}  // namespace sim
