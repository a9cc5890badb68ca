#include <gtest/gtest.h>

#include "util/Format.h"

using tarn::Format;

TEST(Format, SpecifiersTheSystemUses) {
  EXPECT_EQ(Format("SELECT * FROM card WHERE number = %f", 12345.0), "SELECT * FROM card WHERE number = 12345.00");
  EXPECT_EQ(Format("%.2d%.2d", 7, 12), "0712");
  EXPECT_EQ(Format("%d%%", -5), "-5%");
  EXPECT_EQ(Format("%15s #%.2d: %.3f secs '%s'  %s", "*** TIMEOVR ***", 0, 2.35, "DoSQL", "x"),
            "*** TIMEOVR *** #00: 2.350 secs 'DoSQL'  x");
  EXPECT_EQ(Format("%-4s|%4d", "ab", 7), "ab  |   7");
  EXPECT_EQ(Format("%.3s", "abcdef"), "abc");
  EXPECT_EQ(Format("%.2d", -3), "-03");
}

TEST(Format, MismatchesThrowInsteadOfMisbehaving) {
  EXPECT_THROW(Format("%d %d", 1), tarn::EFormatError);
  EXPECT_THROW(Format("%d", "text"), tarn::EFormatError);
  EXPECT_THROW(Format("%s", 5), tarn::EFormatError);
  EXPECT_THROW(Format("%f", 5), tarn::EFormatError);
  EXPECT_THROW(Format("%q", 5), tarn::EFormatError);
  EXPECT_THROW(Format("abc %"), tarn::EFormatError);
  try {
    Format("Init %d %d", 1);
  } catch (const tarn::EFormatError& e) {
    EXPECT_STREQ(e.what(), "No argument for format '%d'");
  }
}
