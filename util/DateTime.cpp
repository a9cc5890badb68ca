#include "util/DateTime.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <sys/time.h>

namespace tarn {
namespace {

// Days from 1970-01-01 for a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

constexpr int64_t kEpochOffset = 25569;  // 1970-01-01 as a day count since 1899-12-30

std::mutex g_clockMutex;
std::function<TDateTime()> g_clock;

const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

std::string Two(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

}  // namespace

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 0;
  return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

bool IsValidDate(int y, int m, int d) { return y >= 1 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= DaysInMonth(y, m); }

bool IsValidTime(int h, int n, int s, int ms) {
  return h >= 0 && h < 24 && n >= 0 && n < 60 && s >= 0 && s < 60 && ms >= 0 && ms < 1000;
}

bool TryEncodeDate(int y, int m, int d, TDateTime& out) {
  if (!IsValidDate(y, m, d)) return false;
  out = static_cast<double>(DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) + kEpochOffset);
  return true;
}

bool TryEncodeTime(int h, int n, int s, int ms, TDateTime& out) {
  if (!IsValidTime(h, n, s, ms)) return false;
  out = (((h * 60.0 + n) * 60.0 + s) * 1000.0 + ms) / kMsPerDay;
  return true;
}

TDateTime EncodeDate(int y, int m, int d) {
  TDateTime r;
  if (!TryEncodeDate(y, m, d, r)) throw std::runtime_error("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int h, int n, int s, int ms) {
  TDateTime r;
  if (!TryEncodeTime(h, n, s, ms, r)) throw std::runtime_error("Invalid argument to time encode");
  return r;
}

TDateTime EncodeDateTime(int y, int mo, int d, int h, int n, int s, int ms) {
  return EncodeDate(y, mo, d) + EncodeTime(h, n, s, ms);
}

DateParts DecodeDateTime(TDateTime dt) {
  DateParts p;
  if (!std::isfinite(dt) || std::fabs(dt) > 3e6) return p;
  // Round to the millisecond first so 23:59:59.9995 does not decode as 24:00.
  int64_t totalMs = static_cast<int64_t>(std::llround(dt * kMsPerDay));
  int64_t days = totalMs >= 0 ? totalMs / 86400000 : -((-totalMs + 86399999) / 86400000);
  int64_t msOfDay = totalMs - days * 86400000;
  if (dt < 0) {
    // Negative values: the fraction still counts forward from the day's midnight.
    days = static_cast<int64_t>(std::trunc(dt));
    msOfDay = static_cast<int64_t>(std::llround(std::fabs(dt - std::trunc(dt)) * kMsPerDay));
    if (msOfDay >= 86400000) msOfDay = 86399999;
  }
  CivilFromDays(days - kEpochOffset, p.year, p.month, p.day);
  p.hour = static_cast<int>(msOfDay / 3600000);
  p.minute = static_cast<int>(msOfDay / 60000 % 60);
  p.second = static_cast<int>(msOfDay / 1000 % 60);
  p.ms = static_cast<int>(msOfDay % 1000);
  return p;
}

TDateTime DateOf(TDateTime dt) { return std::trunc(dt); }
TDateTime TimeOf(TDateTime dt) { return std::fabs(dt - std::trunc(dt)); }

int DayOfWeek(TDateTime dt) {
  int64_t d = static_cast<int64_t>(std::trunc(dt));
  // 1899-12-30 was a Saturday (7).
  int64_t r = (d - 1) % 7;
  if (r < 0) r += 7;
  return static_cast<int>(r) + 1;
}

int DayOfTheWeek(TDateTime dt) {
  int d = DayOfWeek(dt);
  return d == 1 ? 7 : d - 1;
}

TDateTime EndOfTheMonth(TDateTime dt) {
  DateParts p = DecodeDateTime(dt);
  return EncodeDate(p.year, p.month, DaysInMonth(p.year, p.month)) + EncodeTime(23, 59, 59, 0);
}

int64_t MinutesBetweenSigned(TDateTime later, TDateTime earlier) {
  double v = (later - earlier) * 1440.0;
  // A hair of tolerance keeps exact whole minutes whole after floating-point subtraction.
  return static_cast<int64_t>(std::trunc(v + (v >= 0 ? 1e-7 : -1e-7)));
}

int64_t SecondsBetweenSigned(TDateTime later, TDateTime earlier) {
  double v = (later - earlier) * 86400.0;
  return static_cast<int64_t>(std::trunc(v + (v >= 0 ? 1e-6 : -1e-6)));
}

TDateTime SystemNow() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  std::time_t secs = tv.tv_sec;
  std::tm local{};
  localtime_r(&secs, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                    static_cast<int>(tv.tv_usec / 1000));
}

TDateTime Now() {
  {
    std::lock_guard<std::mutex> lock(g_clockMutex);
    if (g_clock) return g_clock();
  }
  return SystemNow();
}

TDateTime Date() { return DateOf(Now()); }

ScopedClock::ScopedClock(std::function<TDateTime()> now) {
  std::lock_guard<std::mutex> lock(g_clockMutex);
  previous_ = std::move(g_clock);
  g_clock = std::move(now);
}

ScopedClock::~ScopedClock() {
  std::lock_guard<std::mutex> lock(g_clockMutex);
  g_clock = std::move(previous_);
}

std::string FormatDateTime(std::string_view pat, TDateTime dt) {
  DateParts p = DecodeDateTime(dt);
  std::string out;
  size_t i = 0;
  auto count = [&](char c) {
    size_t n = 0;
    while (i + n < pat.size() && (pat[i + n] | 0x20) == c) ++n;
    return n;
  };
  while (i < pat.size()) {
    char c = pat[i];
    char lc = static_cast<char>(c | 0x20);
    if (c == '"' || c == '\'') {
      size_t end = pat.find(c, i + 1);
      if (end == std::string_view::npos) end = pat.size();
      out.append(pat.substr(i + 1, end - i - 1));
      i = end + 1;
      continue;
    }
    if (lc == 'y') {
      size_t n = count('y');
      char b[16];
      if (n <= 2) std::snprintf(b, sizeof b, "%02d", p.year % 100);
      else std::snprintf(b, sizeof b, "%04d", p.year);
      out += b;
      i += n;
    } else if (lc == 'm') {
      size_t n = count('m');
      if (n >= 4) out += kLongMonths[p.month - 1];
      else if (n == 3) out += kShortMonths[p.month - 1];
      else if (n == 2) out += Two(p.month);
      else out += std::to_string(p.month);
      i += n;
    } else if (lc == 'd') {
      size_t n = count('d');
      out += n >= 2 ? Two(p.day) : std::to_string(p.day);
      i += n;
    } else if (lc == 'h') {
      size_t n = count('h');
      out += n >= 2 ? Two(p.hour) : std::to_string(p.hour);
      i += n;
    } else if (lc == 'n') {
      size_t n = count('n');
      out += n >= 2 ? Two(p.minute) : std::to_string(p.minute);
      i += n;
    } else if (lc == 's') {
      size_t n = count('s');
      out += n >= 2 ? Two(p.second) : std::to_string(p.second);
      i += n;
    } else if (lc == 'z') {
      size_t n = count('z');
      char b[16];
      if (n >= 3) std::snprintf(b, sizeof b, "%03d", p.ms);
      else std::snprintf(b, sizeof b, "%d", p.ms);
      out += b;
      i += n;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

}  // namespace tarn
