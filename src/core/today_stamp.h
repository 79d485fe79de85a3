#pragma once

#include <string>

// The local date as eight digits, year, month, day: "20260305". The day of a nudge is kept in
// this form, and compared with it.
std::wstring TodayStamp();
