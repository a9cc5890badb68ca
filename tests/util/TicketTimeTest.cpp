#include <gtest/gtest.h>

#include <string>

#include "util/DateTime.h"
#include "util/TicketTime.h"

namespace tarn {
namespace {

// Runs a test body as if the local clock showed the given moment.
struct FixedToday {
  explicit FixedToday(TDateTime when) : clock([when] { return when; }) {}
  ScopedClock clock;
};

constexpr double kSecond = 1.0 / 86400.0;

TEST(CycleTime, ExamplesDecodeIntoTheCycleOfTheirYear) {
  {
    FixedToday today(EncodeDateTime(2025, 6, 15, 10, 0, 0));
    EXPECT_DOUBLE_EQ(EncodeDate(2024, 2, 1), CycleTime(22678400));
    // Odd year: the base is the previous even year, whatever the offset.
    EXPECT_DOUBLE_EQ(EncodeDate(2024, 1, 1) + 500, CycleTime(20000000 + 500 * 86400LL));
  }
  {
    FixedToday today(EncodeDateTime(2026, 3, 1, 8, 0, 0));
    EXPECT_DOUBLE_EQ(EncodeDate(2025, 2, 4), CycleTime(54560000));
  }
}

TEST(CycleTime, EvenYearBoundaryMovesOnlyBeyondTheWholeYear) {
  {
    FixedToday today(EncodeDateTime(2026, 1, 10, 0, 0, 0));  // 2026 has 365 days
    const int64_t year = 20000000 + 365 * 86400LL;
    EXPECT_DOUBLE_EQ(EncodeDate(2027, 1, 1), CycleTime(year));
    EXPECT_NEAR(EncodeDate(2024, 1, 1) + 365 + kSecond, CycleTime(year + 1), 1e-9);
  }
  {
    FixedToday today(EncodeDateTime(2024, 1, 10, 0, 0, 0));  // leap year: 366 days
    const int64_t year = 20000000 + 366 * 86400LL;
    EXPECT_DOUBLE_EQ(EncodeDate(2025, 1, 1), CycleTime(year));
    EXPECT_NEAR(EncodeDate(2022, 1, 1) + 366 + kSecond, CycleTime(year + 1), 1e-9);
  }
}

TEST(TicketTime, LayoutsAndPrefixRules) {
  FixedToday today(EncodeDateTime(2025, 3, 15, 12, 0, 0));
  // Twelve digits: seconds since 1999-12-31 in the first ten.
  EXPECT_DOUBLE_EQ(EncodeDate(2000, 1, 1), TicketTime("000008640077", false));
  // Ten digits: cycle seconds in the first eight, lane in the last two.
  EXPECT_DOUBLE_EQ(EncodeDate(2024, 2, 1), TicketTime("2267840003", false));
  EXPECT_DOUBLE_EQ(CycleTime(226784000), TicketTime("22678400031", false));
  // "1" prefix: not timed below twelve characters, in both formats.
  EXPECT_EQ(-1, TicketTime("1234567890", false));
  EXPECT_EQ(-1, TicketTime("12345678901", true));
  EXPECT_DOUBLE_EQ(SecondsTime(1000086400), TicketTime("100008640000", false));
  // "9" prefix: not a timed ticket, unless read in the old format.
  EXPECT_EQ(0, TicketTime("9267840003", false));
  EXPECT_DOUBLE_EQ(EncodeDateTime(2025, 3, 10, 14, 5, 0), TicketTime("999903101405", true));
  // Wrong lengths.
  EXPECT_EQ(0, TicketTime("226784000", false));
  EXPECT_EQ(0, TicketTime("2267840003123", false));
  EXPECT_EQ(0, TicketTime("", true));
  // Digits that are not a number read as zero seconds.
  EXPECT_DOUBLE_EQ(CycleTime(0), TicketTime("22x7840003", false));
}

TEST(OldTicketTime, YearFollowsTheCurrentMonth) {
  FixedToday today(EncodeDateTime(2025, 3, 15, 12, 0, 0));
  std::string number;
  TDateTime when = 0;
  ASSERT_TRUE(OldTicketTime("123411201530", number, when));
  EXPECT_EQ("1234", number);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2024, 11, 20, 15, 30, 0), when);
  ASSERT_TRUE(OldTicketTime("000103150000", number, when));
  EXPECT_DOUBLE_EQ(EncodeDate(2025, 3, 15), when);
  EXPECT_FALSE(OldTicketTime("123402301200", number, when));  // 30 February
  EXPECT_FALSE(OldTicketTime("123401012460", number, when));  // 24:60
  EXPECT_FALSE(OldTicketTime("1234010112", number, when));    // no minutes
  EXPECT_FALSE(OldTicketTime("1234ab011200", number, when));
  EXPECT_EQ(0, TicketTime("223402301200", true));
  EXPECT_DOUBLE_EQ(EncodeDateTime(2024, 11, 20, 15, 30, 0), TicketTime("223411201530", true));
}

TEST(TextNumbers, IntAtStripZerosClockMinutes) {
  EXPECT_EQ(24, IntAt("240315", 1, 2, 0));
  EXPECT_EQ(15, IntAt("240315", 5, 2, 0));
  EXPECT_EQ(7, IntAt("12 7 ", 3, 3, -1));   // trimmed
  EXPECT_EQ(-1, IntAt("12ab", 3, 2, -1));
  EXPECT_EQ(-1, IntAt("12", 5, 2, -1));     // beyond the text
  EXPECT_EQ(0, IntAt("1", 2, 3, 0));
  EXPECT_EQ(1230, IntAt("1230", 0, 0, 0));
  EXPECT_EQ(-4, IntAt(" 12", 0, 0, -4));    // whole text is read untrimmed
  EXPECT_EQ("0", StripZeros("000"));
  EXPECT_EQ("0", StripZeros("0"));
  EXPECT_EQ("120", StripZeros("000120"));
  EXPECT_EQ("", StripZeros(""));
  EXPECT_EQ(750, ClockMinutes(1230));
  EXPECT_EQ(0, ClockMinutes(0));
  EXPECT_EQ(1439, ClockMinutes(2359));
}

}  // namespace
}  // namespace tarn
