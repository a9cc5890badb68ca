#include "util/TicketTime.h"

#include <charconv>

#include "util/Strings.h"

namespace tarn {
namespace {

constexpr int64_t kCycleBase = 20000000;
constexpr double kSecondsPerDay = 86400.0;
constexpr TDateTime kSecondsEpoch = 36525.0;  // 1999-12-31

// Optionally signed decimal digits and nothing else.
template <class T>
bool ParseDecimal(std::string_view s, T& out) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    // One sign at most: from_chars would take the '-' of "+-5" as the number's own.
    if (!s.empty() && s.front() == '-') return false;
  }
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, out);
  return ec == std::errc() && p == end;
}

int CurrentYear() { return DecodeDateTime(Now()).year; }

}  // namespace

TDateTime TicketTime(std::string_view barcode, bool oldFormat) {
  const size_t n = barcode.size();
  if (n < 10 || n > 12) return 0;
  // Short tickets starting with "1" are not timed, in either format.
  if (barcode.front() == '1' && n < 12) return -1;
  if (oldFormat) {
    std::string ticketNo;
    TDateTime when = 0;
    return OldTicketTime(barcode, ticketNo, when) ? when : 0;
  }
  if (barcode.front() == '9') return 0;
  int64_t v = 0;
  if (!ParseDecimal(barcode.substr(0, n - 2), v)) v = 0;
  return n == 12 ? SecondsTime(v) : CycleTime(v);
}

TDateTime CycleTime(int64_t seconds) {
  const double days = static_cast<double>(seconds - kCycleBase) / kSecondsPerDay;
  const int year = CurrentYear();
  int even = year % 2 == 0 ? year : year - 1;
  // In the first year of a cycle an offset beyond that year can only be a ticket of the
  // previous cycle.
  if (year % 2 == 0 && days > (IsLeapYear(even) ? 366 : 365)) even -= 2;
  return EncodeDate(even, 1, 1) + days;
}

TDateTime SecondsTime(int64_t seconds) { return static_cast<double>(seconds) / kSecondsPerDay + kSecondsEpoch; }

bool OldTicketTime(std::string_view barcode, std::string& ticketNo, TDateTime& when) {
  static constexpr std::string_view kTemplate = "TTTTMMDDHHNN";
  std::string number, month, day, hour, minute;
  const size_t count = std::min(barcode.size(), kTemplate.size());
  for (size_t i = 0; i < count; ++i) {
    switch (kTemplate[i]) {
      case 'T': number += barcode[i]; break;
      case 'M': month += barcode[i]; break;
      case 'D': day += barcode[i]; break;
      case 'H': hour += barcode[i]; break;
      case 'N': minute += barcode[i]; break;
      default: break;
    }
  }
  const DateParts today = DecodeDateTime(Now());
  const int m = IntAt(month, 0, 0, -1);
  const int d = IntAt(day, 0, 0, -1);
  const int h = IntAt(hour, 0, 0, -1);
  const int n = IntAt(minute, 0, 0, -1);
  // A month still ahead of us this year was issued last year.
  const int year = m > today.month ? today.year - 1 : today.year;
  TDateTime date = 0, time = 0;
  if (!TryEncodeTime(h, n, 0, 0, time) || !TryEncodeDate(year, m, d, date)) return false;
  ticketNo = number;
  when = date + time;
  return true;
}

int IntAt(std::string_view text, int first, int count, int def) {
  int v = 0;
  if (count <= 0) return ParseDecimal(text, v) ? v : def;
  const size_t start = first < 1 ? 0 : static_cast<size_t>(first - 1);
  if (start >= text.size()) return def;
  const std::string part = Trim(text.substr(start, static_cast<size_t>(count)));
  return ParseDecimal(std::string_view(part), v) ? v : def;
}

std::string StripZeros(std::string_view text) {
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  return std::string(text);
}

int ClockMinutes(int hhmm) { return hhmm % 100 + hhmm / 100 * 60; }

}  // namespace tarn
