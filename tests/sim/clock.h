// The clock of the simulated world: seconds since 1970 in UTC, local time that many hours
// ahead, and the timer ticks the program has been given.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace sim {

class Checker;
class Chooser;
class RunLog;

class Clock {
  public:
    Clock(Chooser& chooser, RunLog& log, Checker& checker)
        : chooser_(chooser), log_(log), checker_(checker) {}

    // Any time of day, sometimes just before local midnight; local time up to two hours ahead.
    void Start();
    // Between two messages: now and then the clock stands just before midnight, or jumps.
    void Act();

    // The time that passes for each tick of the program's refresh timer.
    void AdvanceForTick();
    void CountTick() { ++ticks_; }
    std::int64_t Ticks() const { return ticks_; }

    std::int64_t Now() const { return now_; }
    void LocalTime(LPSYSTEMTIME time) const;
    // The local day of a time, as the program stamps it: YYYYMMDD.
    std::wstring DayOf(std::int64_t unixTime) const;
    std::wstring Today() const { return DayOf(now_); }

  private:
    Chooser& chooser_;
    RunLog& log_;
    Checker& checker_;
    std::int64_t now_ = 0;
    std::int64_t localOffset_ = 0;
    std::int64_t ticks_ = 0;
};

}  // namespace sim
