#include "core/today_stamp.h"

#include "platform/platform.h"

#include <cwchar>
#include <iterator>

std::wstring TodayStamp() {
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    wchar_t stamp[16] = {};
    std::swprintf(stamp, std::size(stamp), L"%04u%02u%02u", static_cast<unsigned>(now.wYear),
                  static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay));
    return stamp;
}
