#include "clock.h"

#include "checker.h"
#include "chooser.h"
#include "run_log.h"

#include "app/tray_companion.h"

#include <cwchar>
#include <iterator>

namespace sim {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
void CivilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

}  // namespace

void Clock::Start() {
    now_ = 1'780'000'000 + chooser_.Below(kSecondsPerDay);
    if (chooser_.Chance(25)) {
        now_ = (now_ / kSecondsPerDay + 1) * kSecondsPerDay - 60;
    }
    localOffset_ = 3600 * static_cast<std::int64_t>(chooser_.Below(3));
}

void Clock::Act() {
    if (!chooser_.Chance(3)) {
        return;
    }
    const std::int64_t local = now_ + localOffset_;
    switch (chooser_.Below(4)) {
        case 0:
            now_ = (FloorDiv(local, kSecondsPerDay) + 1) * kSecondsPerDay - 15 - localOffset_;
            log_.Note("the clock stands just before midnight");
            break;
        case 1:
            now_ += kSecondsPerDay;
            log_.Note("the clock jumps a day ahead");
            break;
        case 2:
            now_ -= 3600;
            checker_.ClockWentBack();
            log_.Note("the clock goes back an hour");
            break;
        case 3:
            now_ -= kSecondsPerDay;
            checker_.ClockWentBack();
            log_.Note("the clock goes back a day");
            break;
    }
}

void Clock::AdvanceForTick() {
    now_ += kRefreshPeriodMs / 1000;
}

void Clock::LocalTime(LPSYSTEMTIME time) const {
    const std::int64_t local = now_ + localOffset_;
    const std::int64_t days = FloorDiv(local, kSecondsPerDay);
    const std::int64_t seconds = local - days * kSecondsPerDay;
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, year, month, day);
    *time = SYSTEMTIME{};
    time->wYear = static_cast<WORD>(year);
    time->wMonth = static_cast<WORD>(month);
    time->wDay = static_cast<WORD>(day);
    time->wHour = static_cast<WORD>(seconds / 3600);
    time->wMinute = static_cast<WORD>((seconds / 60) % 60);
    time->wSecond = static_cast<WORD>(seconds % 60);
}

std::wstring Clock::DayOf(std::int64_t unixTime) const {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(FloorDiv(unixTime + localOffset_, kSecondsPerDay), year, month, day);
    wchar_t stamp[16] = {};
    std::swprintf(stamp, std::size(stamp), L"%04d%02u%02u", year, month, day);
    return stamp;
}

}  // namespace sim
