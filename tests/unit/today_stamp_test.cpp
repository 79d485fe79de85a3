#include "core/today_stamp.h"

#include "test_support.h"

namespace {

class TodayStampTest : public LogicTest {};

TEST_F(TodayStampTest, IsEightDigitsOfTheLocalDate) {
    struct Case {
        SYSTEMTIME time;
        const wchar_t* stamp;
    };
    const Case cases[] = {
        {{2026, 3, 4, 5, 0, 0, 0, 0}, L"20260305"},
        {{2026, 1, 6, 31, 23, 59, 59, 999}, L"20260131"},
        {{2027, 12, 5, 31, 0, 0, 0, 0}, L"20271231"},
        {{999, 7, 0, 4, 0, 0, 0, 0}, L"09990704"},
        {{30827, 12, 0, 31, 0, 0, 0, 0}, L"308271231"},
    };
    for (const Case& c : cases) {
        fake->script.localTime = c.time;
        EXPECT_EQ(TodayStamp(), c.stamp);
    }
}

}  // namespace
