#include "core/parse_int.h"

#include "test_support.h"

#include <cstdint>
#include <limits>

namespace {

TEST(ParseIntTest, ReadsLeadingDecimalDigits) {
    struct Case {
        const wchar_t* text;
        std::int64_t as64;
        std::int32_t as32;
    };
    constexpr auto kMax32 = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin32 = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax64 = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin64 = std::numeric_limits<std::int64_t>::min();
    const Case cases[] = {
        {L"", 0, 0},
        {L"0", 0, 0},
        {L"42", 42, 42},
        {L"  \t\r\n 42", 42, 42},
        {L"+7", 7, 7},
        {L"-7", -7, -7},
        {L"-", 0, 0},
        {L"+", 0, 0},
        {L"abc", 0, 0},
        {L"x12", 0, 0},
        {L"12abc", 12, 12},
        {L"1780000000.75", 1780000000, 1780000000},
        {L"- 5", 0, 0},
        {L"+-5", 0, 0},
        // Just below the top, where a saturation test that is off by one reads the top.
        {L"2147483640", 2147483640, 2147483640},
        {L"-2147483640", -2147483640LL, -2147483640},
        {L"9223372036854775800", 9223372036854775800LL, kMax32},
        {L"-9223372036854775800", -9223372036854775800LL, kMin32},
        {L"2147483647", 2147483647, kMax32},
        {L"2147483648", 2147483648LL, kMax32},
        {L"-2147483648", -2147483648LL, kMin32},
        {L"-2147483649", -2147483649LL, kMin32},
        {L"9223372036854775807", kMax64, kMax32},
        {L"9223372036854775808", kMax64, kMax32},
        {L"99999999999999999999999", kMax64, kMax32},
        {L"-9223372036854775808", kMin64, kMin32},
        {L"-9223372036854775809", kMin64, kMin32},
        {L"000000000000000000000000012", 12, 12},
        {L"\x0663", 0, 0},  // digits of other scripts are not read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        EXPECT_EQ(ParseInt64(c.text), c.as64);
        EXPECT_EQ(ParseInt32(c.text), c.as32);
    }
}

TEST(ParseIntTest, ReadsNothingPastTheEndOfItsText) {
    // The text given may be the start of a longer one: what follows it is not read.
    const std::wstring_view digits = L"1234";
    EXPECT_EQ(ParseInt32(digits.substr(0, 2)), 12);
    EXPECT_EQ(ParseInt64(digits.substr(0, 2)), 12);
    const std::wstring_view blanks = L"  7";
    EXPECT_EQ(ParseInt32(blanks.substr(0, 2)), 0);
    const std::wstring_view sign = L"-5";
    EXPECT_EQ(ParseInt64(sign.substr(0, 1)), 0);
}

}  // namespace
