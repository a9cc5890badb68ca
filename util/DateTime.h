#pragma once
// The system's date-time: a day count since 1899-12-30 with the time of day as the
// fraction (TDateTime), in the process's local time. Now() and Date() read the clock
// through a process-wide seam that tests replace (ScopedClock) to run a day in seconds.
// Thread-safe.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarn {

using TDateTime = double;

constexpr double kMsPerDay = 86400000.0;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int ms = 0);
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int minute, int second, int ms, TDateTime& out);
// Throw EConvertError-like std::runtime_error on an impossible date or time.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int ms = 0);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms = 0);

struct DateParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, ms = 0;
};
DateParts DecodeDateTime(TDateTime dt);

// Whole-day part and time-of-day fraction (for negative values as well).
TDateTime DateOf(TDateTime dt);
TDateTime TimeOf(TDateTime dt);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime dt);
// 1 = Monday ... 7 = Sunday.
int DayOfTheWeek(TDateTime dt);
// The last moment of the month of dt, at 23:59:59.
TDateTime EndOfTheMonth(TDateTime dt);
// Whole minutes / seconds from `earlier` to `later`, truncated toward zero.
int64_t MinutesBetweenSigned(TDateTime later, TDateTime earlier);
int64_t SecondsBetweenSigned(TDateTime later, TDateTime earlier);

// Current local date-time and date, through the clock seam.
TDateTime Now();
TDateTime Date();

// Replaces the clock for the lifetime of the object (tests). Nestable: the previous clock
// returns when it is destroyed.
class ScopedClock {
 public:
  explicit ScopedClock(std::function<TDateTime()> now);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  std::function<TDateTime()> previous_;
};

// Real local time, ignoring any ScopedClock.
TDateTime SystemNow();

// Formats with the patterns the system uses, letters case-insensitive:
// yyyy yy mmmm mmm mm m dd d hh h nn n ss s zzz; "/" and ":" are written as themselves;
// text in double or single quotes is copied; any other character is copied.
// Examples: "hh:nn:ss.zzz dd/mm/yy", "MMMDD/YYYY HH:NN:SS", "YYYY-MM-DD HH:NN:SS",
// "yyyy-mm-dd", "hhnnssyymmdd".
std::string FormatDateTime(std::string_view pattern, TDateTime dt);

}  // namespace tarn
