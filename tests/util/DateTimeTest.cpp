#include <gtest/gtest.h>

#include "util/DateTime.h"

namespace {
using namespace tarn;

TEST(DateTime, EncodeDecodeRoundTrips) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2.0);  // 2000 is a leap year
  EXPECT_EQ(EncodeDate(1900, 3, 1) - EncodeDate(1900, 2, 28), 1.0);  // 1900 is not
  for (int y : {1900, 1999, 2000, 2024, 2026, 2099})
    for (int m = 1; m <= 12; ++m)
      for (int d : {1, 15, DaysInMonth(y, m)}) {
        TDateTime dt = EncodeDateTime(y, m, d, 23, 59, 59, 999);
        DateParts p = DecodeDateTime(dt);
        ASSERT_EQ(p.year, y);
        ASSERT_EQ(p.month, m);
        ASSERT_EQ(p.day, d);
        ASSERT_EQ(p.hour, 23);
        ASSERT_EQ(p.minute, 59);
        ASSERT_EQ(p.second, 59);
        ASSERT_EQ(p.ms, 999);
      }
  // Before the epoch the fraction still counts forward from that day's midnight.
  DateParts neg = DecodeDateTime(-1.25);
  EXPECT_EQ(neg.day, 29);
  EXPECT_EQ(neg.hour, 6);

  TDateTime out = 0;
  EXPECT_FALSE(TryEncodeDate(2026, 2, 29, out));
  EXPECT_FALSE(TryEncodeDate(2026, 13, 1, out));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, out));
  EXPECT_THROW(EncodeDate(2026, 4, 31), std::runtime_error);
}

TEST(DateTime, DaysOfTheWeekAndMonthEnds) {
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1);  // Sunday
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 8)), 3);  // Tuesday
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 12) + 0.99), 7);
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 30)), 7);
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 29)), 6);
  EXPECT_EQ(DayOfWeek(EncodeDate(2000, 1, 1)), 7);
  EXPECT_EQ(DayOfTheWeek(EncodeDate(2026, 12, 6)), 7);
  EXPECT_EQ(DayOfTheWeek(EncodeDate(2026, 12, 7)), 1);

  EXPECT_EQ(EndOfTheMonth(EncodeDateTime(2024, 2, 10, 8, 0, 0)), EncodeDateTime(2024, 2, 29, 23, 59, 59));
  EXPECT_EQ(EndOfTheMonth(EncodeDate(2026, 2, 28)), EncodeDateTime(2026, 2, 28, 23, 59, 59));
  EXPECT_EQ(EndOfTheMonth(EncodeDate(2026, 12, 31)), EncodeDateTime(2026, 12, 31, 23, 59, 59));
}

TEST(DateTime, MinutesBetweenTruncateTowardZero) {
  TDateTime base = EncodeDateTime(2026, 12, 8, 10, 0, 0);
  EXPECT_EQ(MinutesBetweenSigned(base + EncodeTime(0, 1, 59), base), 1);
  EXPECT_EQ(MinutesBetweenSigned(base, base + EncodeTime(0, 1, 59)), -1);
  EXPECT_EQ(MinutesBetweenSigned(base + EncodeTime(0, 0, 59, 999), base), 0);
  EXPECT_EQ(MinutesBetweenSigned(base, base + EncodeTime(0, 0, 59, 999)), 0);
  // Exact whole minutes stay whole despite the floating-point subtraction.
  EXPECT_EQ(MinutesBetweenSigned(EncodeDateTime(2026, 12, 9, 0, 0, 0), EncodeDateTime(2026, 12, 8, 23, 57, 0)), 3);
  EXPECT_EQ(MinutesBetweenSigned(EncodeDateTime(2026, 12, 8, 23, 57, 0), EncodeDateTime(2026, 12, 9, 0, 0, 0)), -3);
  EXPECT_EQ(MinutesBetweenSigned(base + 2, base), 2880);
  EXPECT_EQ(SecondsBetweenSigned(base, base + EncodeTime(0, 0, 20, 900)), -20);
  EXPECT_EQ(SecondsBetweenSigned(base + EncodeTime(0, 0, 21), base), 21);
}

TEST(DateTime, FormatPatterns) {
  TDateTime dt = EncodeDateTime(2026, 3, 7, 9, 5, 4, 32);
  EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz dd/mm/yy", dt), "09:05:04.032 07/03/26");
  EXPECT_EQ(FormatDateTime("MMMDD/YYYY HH:NN:SS", dt), "Mar07/2026 09:05:04");
  EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", dt), "2026-03-07 09:05:04");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", dt), "2026-03-07");
  EXPECT_EQ(FormatDateTime("hhnnssyymmdd", dt), "090504260307");
  EXPECT_EQ(FormatDateTime("d/m/yyyy h:n:s", dt), "7/3/2026 9:5:4");
  EXPECT_EQ(FormatDateTime("mmmm 'at' hh\"h\"", dt), "March at 09h");
  // Rounding to the millisecond never shows 24:00 or a 60th second.
  EXPECT_EQ(FormatDateTime("hh:nn:ss.zzz dd/mm", EncodeDate(2026, 3, 7) + 0.99999999999),
            "00:00:00.000 08/03");
}

TEST(DateTime, ScopedClockNestsAndRestores) {
  TDateTime outer = EncodeDateTime(2026, 1, 1, 12, 0, 0);
  {
    ScopedClock a([&] { return outer; });
    EXPECT_EQ(Now(), outer);
    EXPECT_EQ(Date(), EncodeDate(2026, 1, 1));
    {
      ScopedClock b([] { return 5.5; });
      EXPECT_EQ(Now(), 5.5);
    }
    EXPECT_EQ(Now(), outer);
  }
  EXPECT_GT(Now(), EncodeDate(2020, 1, 1));
}

}  // namespace
