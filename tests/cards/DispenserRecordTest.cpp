#include <gtest/gtest.h>

#include <random>
#include <string>

#include "db/TODBC.h"
#include "db/TSql.h"
#include "access/TicketDecision.h"
#include "util/DateTime.h"
#include "util/TicketTime.h"

namespace tarn {
namespace {

TEST(DispenserRecord, FieldsOfAValidRecord) {
  ScopedClock clock([] { return EncodeDateTime(2026, 3, 10, 12, 0, 0); });
  TDispenserRecord r;
  // Status 0: issued on line, not backed out; 20000000 + 31 days: 1 February of the cycle.
  ASSERT_TRUE(ParseDispenserRecord("0226784004200012" "3", r));
  EXPECT_EQ(r.Barcode, "2267840042");
  EXPECT_TRUE(r.Online);
  EXPECT_FALSE(r.BackedOut);
  EXPECT_EQ(r.TicketText, "123");
  EXPECT_EQ(r.Lane, 42);
  EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", r.IssueTime), "2026-02-01 00:00:00");

  // Bit 0 set: reported after being off line; bit 1 set: backed out.
  ASSERT_TRUE(ParseDispenserRecord("3226784000700000" "0", r));
  EXPECT_FALSE(r.Online);
  EXPECT_TRUE(r.BackedOut);
  EXPECT_EQ(r.TicketText, "0");
  EXPECT_EQ(r.Lane, 7);
  ASSERT_TRUE(ParseDispenserRecord("1226784000700000" "0", r));
  EXPECT_FALSE(r.Online);
  EXPECT_FALSE(r.BackedOut);
  ASSERT_TRUE(ParseDispenserRecord("2226784000700000" "0", r));
  EXPECT_TRUE(r.Online);
  EXPECT_TRUE(r.BackedOut);
}

TEST(DispenserRecord, WrongLengthGivesTheEmptyRecord) {
  for (const char* data : {"", "0226784004200012", "022678400420001234", "x"}) {
    TDispenserRecord r;
    r.Barcode = "stale";
    r.Lane = 9;
    EXPECT_FALSE(ParseDispenserRecord(data, r)) << data;
    EXPECT_EQ(r.Barcode, "");
    EXPECT_EQ(r.TicketText, "");
    EXPECT_EQ(r.Lane, 0);
    EXPECT_EQ(r.IssueTime, 0);
    EXPECT_FALSE(r.Online);
    EXPECT_TRUE(r.BackedOut);
  }
}

TEST(DispenserRecord, ArbitraryBytesNeverFailBadly) {
  // Whatever a line delivers: only the length decides validity, and the barcode is always
  // characters 2-11 of the record, quotes and all.
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> len(0, 24), byte(0, 255);
  for (int i = 0; i < 20000; ++i) {
    std::string data(static_cast<size_t>(len(rng)), '\0');
    for (char& c : data) c = static_cast<char>(byte(rng));
    TDispenserRecord r;
    const bool ok = ParseDispenserRecord(data, r);
    ASSERT_EQ(ok, data.size() == 17);
    if (ok) {
      ASSERT_EQ(r.Barcode, data.substr(1, 10));
      ASSERT_LE(r.TicketText.size(), 6u);
      ASSERT_GE(r.Lane, -9);
      ASSERT_LE(r.Lane, 99);
    }
  }
}

TEST(SqlText, ConditionsQuoteLikeTheBuilder) {
  const std::string hostile = "0' or 1=1 --";
  EXPECT_EQ(BarcodeCondition(hostile, dfUnknown), "where barcode='0'' or 1=1 --'");
  EXPECT_EQ(BarcodeCondition("0'or'1'='1", dfUnknown), "where barcode='0''or''1''=''1'");
  // A backslash would escape the doubled quote on a MySQL-family server.
  EXPECT_EQ(SqlText("a\\'b", dfMySQL), "a\\\\''b");
  EXPECT_EQ(SqlText("a\\'b", dfUnknown), "a\\''b");
  // The condition must name exactly the text the builder stores.
  for (uint8_t family : {static_cast<uint8_t>(dfUnknown), static_cast<uint8_t>(dfMySQL)}) {
    TSql sql(family);
    sql.AddField("barcode", "x\\'y", true);
    EXPECT_EQ(sql.BuildInsert("i", "v", ""), "i (barcode) v ('" + SqlText("x\\'y", family) + "')");
  }
}

}  // namespace
}  // namespace tarn
