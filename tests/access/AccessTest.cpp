#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "access/CardProcessing.h"
#include "access/CardValidation.h"
#include "access/OdbcRowSource.h"
#include "db/TODBCStatement.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Strings.h"

namespace tarn {
namespace {


constexpr double kMinute = 1.0 / 1440.0;

std::string Ts(TDateTime t) { return "'" + FormatDateTime("YYYY-MM-DD HH:NN:SS", t) + "'"; }

// A small site: one loop with an entry, an exit, an inner reader without bookkeeping and a
// second entry; an all-day access level on every reader; one standard card.
class AccessTest : public test::BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_acc"; }
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Exec("INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)");
    AddDevice("1, 1, 'Entry 1', 1, 2, 1");
    AddDevice("2, 2, 'Exit 1', 2, 3, 0");
    AddDevice("3, 3, 'Inner', 3, 1, 0");
    AddDevice("4, 4, 'Entry B', 1, 1, 0");
    AddDevice("5, 5, 'Lobby', 0, 1, 0");
    AddRange(1, 1, "1,1,1,1,1,1,1,1,1", "00:00:00", "00:00:00", {1, 2, 3, 4, 5});
    AddType(1, "access_level_id, no_expiry_flg", "1, 1");
    AddCard(1001, 1, "first_name, last_name, space_no", "'John', 'Smith', 7");
  }

  void Exec(const std::string& sql) { EXPECT_TRUE(Db().Exec(sql)) << sql; }
  std::string Text(const std::string& sql) { return Db().QueryText(sql); }
  int Int(const std::string& sql) { return StrToIntDef(Text(sql), -999); }
  double Float(const std::string& sql) { return StrToFloatDef(Text(sql), -999); }
  TODBC& Odbc() { return Db().ODBC(); }

  // id, address, name, direction, open pulse, special output; on loop 1, debit charging on.
  void AddDevice(const std::string& values) {
    Exec("INSERT INTO device (id, addr_ess, name, dir_ection, open_pulse, special_out, loop_id, no_path, "
         "debit_flag) VALUES (" + values + ", 1, 0, 1)");
  }

  void AddRange(int id, int level, const std::string& days, const std::string& start, const std::string& end,
                std::initializer_list<int> devices) {
    Exec("INSERT INTO a_l_range VALUES (" + std::to_string(id) + ", " + std::to_string(level) + ", " + days + ", '" +
         start + "', '" + end + "')");
    for (int d : devices)
      Exec("INSERT INTO a_l_range_device VALUES (" + std::to_string(id) + ", " + std::to_string(d) + ")");
  }
  // A card type or card with every flag off, then the given columns.
  void AddType(int id, const std::string& columns, const std::string& values) {
    Exec("INSERT INTO card_type (id, access_level_id, days, global_expiry, first_use_flg, debit_flg, "
         "debit_reset_flag, debit_time_limit, debit_time_limit_flg, no_expiry_flg, pathway_id, ignore_passback, "
         "uses, date_set) VALUES (" +
         std::to_string(id) + ", 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)");
    Exec("UPDATE card_type SET " + Assignments(columns, values) + " WHERE id = " + std::to_string(id));
  }
  void AddCard(double number, int type, const std::string& columns = "", const std::string& values = "") {
    const std::string n = std::to_string(static_cast<long long>(number));
    Exec("INSERT INTO card (number, type_id, group_id, in_gate, in_lot, trans_dt, debit_left, date_set, "
         "start_dt, exp_iry, first_name, last_name) VALUES (" +
         n + ", " + std::to_string(type) + ", 0, -1, 0, " + Ts(now_ - 30) + ", 0, 1, " + Ts(now_ - 10) + ", " +
         Ts(now_ + 10) + ", '', '')");
    if (!columns.empty()) Exec("UPDATE card SET " + Assignments(columns, values) + " WHERE number = " + n);
  }
  static std::string Assignments(const std::string& columns, const std::string& values) {
    // "a, b" + "1, 'x'" -> "a = 1, b = 'x'" (values hold no commas)
    std::string out;
    size_t c = 0, v = 0;
    while (c < columns.size()) {
      size_t ce = columns.find(',', c), ve = values.find(',', v);
      if (ce == std::string::npos) ce = columns.size();
      if (ve == std::string::npos) ve = values.size();
      if (!out.empty()) out += ", ";
      out += columns.substr(c, ce - c) + " = " + values.substr(v, ve - v);
      c = ce + 1;
      v = ve + 1;
    }
    return out;
  }

  AccessResult Read(CardNumber cardNo, int address, bool debugLog = true) {
    TCardRead read;
    read.card = cardNo;
    read.address = address;
    read.loopId = 1;
    read.debugLog = debugLog;
    read.debitExpiry = debitExpiry_;
    return Keep(ProcessCard(read, Odbc(), Db().Log()));
  }
  AccessResult ReadMemory(CardNumber cardNo, int address, const std::string& memData) {
    TCardRead read;
    read.card = cardNo;
    read.address = address;
    read.loopId = 1;
    read.debitExpiry = debitExpiry_;
    read.memory = true;
    read.memoryData = memData;
    return Keep(ProcessCard(read, Odbc(), Db().Log()));
  }
  AccessResult Keep(const TCardOutcome& outcome) {
    deviceName_ = outcome.deviceName;
    firstName_ = outcome.firstName;
    eventTime_ = outcome.when;
    specialSpace_ = outcome.specialSpace;
    openPulse_ = outcome.openPulse;
    return outcome.result;
  }
  bool AccessTime(int level, TDateTime when, int device) {
    return CheckAccessTime(Odbc(), level, when, device);
  }
  int CardInt(double number, const std::string& column) {
    return Int("SELECT " + column + " FROM card WHERE number = " + std::to_string(static_cast<long long>(number)));
  }
  std::string CardTime(double number, const std::string& column) {
    return Text("SELECT " + column + " FROM card WHERE number = " + std::to_string(static_cast<long long>(number)))
        .substr(0, 19);
  }
  int TransRows() { return Int("SELECT COUNT(*) FROM trans"); }
  int PoolCount(int id) { return Int("SELECT cur_inlot FROM card_pool WHERE id = " + std::to_string(id)); }

  TDateTime now_ = EncodeDateTime(2024, 3, 13, 10, 0, 0);  // a Wednesday
  ScopedClock clock_{[this] { return now_; }};
  bool debitExpiry_ = false;
  std::string deviceName_, firstName_;
  TDateTime eventTime_ = 0;
  int specialSpace_ = 0, openPulse_ = 0;
};

TEST_P(AccessTest, TimeRangesAcrossMidnightEqualEndsAndDevices) {
  AddRange(10, 2, "1,1,1,1,1,1,1,1,1", "22:00:00", "06:00:00", {1});
  const TDateTime day = EncodeDate(2024, 3, 13);
  EXPECT_TRUE(AccessTime(2, day + EncodeTime(23, 30, 0), 1));
  EXPECT_TRUE(AccessTime(2, day + EncodeTime(5, 0, 0), 1));
  EXPECT_TRUE(AccessTime(2, day + EncodeTime(22, 0, 0), 1));
  EXPECT_TRUE(AccessTime(2, day + EncodeTime(6, 0, 0), 1));
  EXPECT_FALSE(AccessTime(2, day + EncodeTime(12, 0, 0), 1));
  EXPECT_FALSE(AccessTime(2, day + EncodeTime(6, 1, 0), 1));
  // Equal ends: every moment of the day.
  EXPECT_TRUE(AccessTime(1, day + EncodeTime(3, 17, 0), 1));
  EXPECT_TRUE(AccessTime(1, day + EncodeTime(23, 59, 59), 1));
  // A range applies only at the devices linked to it.
  AddRange(11, 3, "1,1,1,1,1,1,1,1,1", "00:00:00", "00:00:00", {});
  EXPECT_FALSE(AccessTime(3, day + EncodeTime(12, 0, 0), 1));
  Exec("INSERT INTO a_l_range_device VALUES (11, 2)");
  EXPECT_FALSE(AccessTime(3, day + EncodeTime(12, 0, 0), 1));
  EXPECT_TRUE(AccessTime(3, day + EncodeTime(12, 0, 0), 2));
  // A later range can still pass when the first does not.
  AddRange(12, 2, "1,1,1,1,1,1,1,1,1", "11:00:00", "13:00:00", {1});
  EXPECT_TRUE(AccessTime(2, day + EncodeTime(12, 0, 0), 1));
  EXPECT_FALSE(AccessTime(99, day + EncodeTime(12, 0, 0), 1));
}

TEST_P(AccessTest, HolidaysChooseTheirDayColumn) {
  Exec("INSERT INTO holiday VALUES ('2024-12-25', 1)");  // Wednesday
  Exec("INSERT INTO holiday VALUES ('2024-12-26', 3)");
  Exec("INSERT INTO holiday VALUES ('2024-12-31', 2)");
  Exec("INSERT INTO holiday VALUES ('2025-01-01', 0)");  // Wednesday, tab 0
  TODBC& db = Odbc();
  EXPECT_EQ(1, HolidayTab(db, EncodeDateTime(2024, 12, 25, 14, 0, 0)));
  EXPECT_EQ(0, HolidayTab(db, EncodeDate(2024, 12, 24)));
  EXPECT_EQ(8, DayIndex(db, EncodeDate(2024, 12, 25)));
  EXPECT_EQ(8, DayIndex(db, EncodeDate(2024, 12, 26)));
  EXPECT_EQ(9, DayIndex(db, EncodeDate(2024, 12, 31)));
  EXPECT_EQ(4, DayIndex(db, EncodeDate(2025, 1, 1)));
  EXPECT_EQ(1, DayIndex(db, EncodeDate(2024, 3, 10)));  // Sunday
  EXPECT_EQ(7, DayIndex(db, EncodeDate(2024, 3, 16)));  // Saturday

  AddRange(20, 20, "0,0,0,0,0,0,0,1,0", "00:00:00", "00:00:00", {1});  // holidays of table 1, 3, ...
  AddRange(21, 21, "0,0,0,0,0,0,0,0,1", "00:00:00", "00:00:00", {1});  // holidays of table 2
  AddRange(22, 22, "0,0,0,1,0,0,0,0,0", "00:00:00", "00:00:00", {1});  // Wednesdays
  const TDateTime noon = EncodeTime(12, 0, 0);
  EXPECT_TRUE(AccessTime(20, EncodeDate(2024, 12, 25) + noon, 1));
  EXPECT_TRUE(AccessTime(20, EncodeDate(2024, 12, 26) + noon, 1));
  EXPECT_FALSE(AccessTime(20, EncodeDate(2024, 12, 31) + noon, 1));
  EXPECT_FALSE(AccessTime(20, EncodeDate(2024, 12, 18) + noon, 1));
  EXPECT_TRUE(AccessTime(21, EncodeDate(2024, 12, 31) + noon, 1));
  EXPECT_FALSE(AccessTime(21, EncodeDate(2024, 12, 25) + noon, 1));
  EXPECT_TRUE(AccessTime(22, EncodeDate(2024, 12, 18) + noon, 1));
  EXPECT_TRUE(AccessTime(22, EncodeDate(2025, 1, 1) + noon, 1));
  EXPECT_FALSE(AccessTime(22, EncodeDate(2024, 12, 25) + noon, 1));
}

TEST_P(AccessTest, DecisionOrderAndItsLogLines) {
  EXPECT_EQ(kNotOnFile, Read(999, 1));
  AddCard(1002, 77);
  EXPECT_EQ(kNoValidAccess, Read(1002, 1));
  AddType(2, "access_level_id, no_expiry_flg", "5, 1");  // a level without ranges
  AddCard(1003, 2);
  EXPECT_EQ(kNoValidAccess, Read(1003, 1));
  AddType(3, "access_level_id", "1");
  AddCard(1004, 3, "exp_iry", Ts(now_ - 1));
  EXPECT_EQ(kExpired, Read(1004, 1));
  EXPECT_EQ(kAccepted, Read(1001, 1));
  const std::string log = Db().LogText();
  EXPECT_NE(std::string::npos, log.find("Card 999 not on file"));
  EXPECT_NE(std::string::npos, log.find("Type id 77 is not on file for card 1002"));
  EXPECT_NE(std::string::npos, log.find("Access level id 5 access failure for card 1003"));
  EXPECT_NE(std::string::npos, log.find("Table: card\r\n"));
  EXPECT_NE(std::string::npos, log.find("Card 1004 is inactive"));
  EXPECT_NE(std::string::npos, log.find("Card#: 1001"));

  // Without detail logging only the validity source is reported.
  const size_t before = Db().LogText().size();
  EXPECT_EQ(kNotOnFile, Read(998, 1, false));
  EXPECT_EQ(kExpired, Read(1004, 1, false));
  const std::string quiet = Db().LogText().substr(before);
  EXPECT_EQ(std::string::npos, quiet.find("not on file"));
  EXPECT_EQ(std::string::npos, quiet.find("inactive"));
  EXPECT_NE(std::string::npos, quiet.find("Table: card"));
}

TEST_P(AccessTest, ValidityPeriodsPreviousPeriodAndNoExpiry) {
  AddType(2, "access_level_id", "1");
  // Not yet started: the previous period decides.
  AddCard(2001, 2, "start_dt, exp_iry, prev_strt, prev_exp",
          Ts(now_ + 5) + ", " + Ts(now_ + 30) + ", " + Ts(now_ - 20) + ", " + Ts(now_ + 1));
  EXPECT_EQ(kAccepted, Read(2001, 1));
  AddCard(2002, 2, "start_dt, exp_iry, prev_strt, prev_exp",
          Ts(now_ + 5) + ", " + Ts(now_ + 30) + ", " + Ts(now_ - 20) + ", " + Ts(now_ - 1));
  EXPECT_EQ(kExpired, Read(2002, 1));
  AddCard(2003, 2, "exp_iry", Ts(now_ - kMinute));
  EXPECT_EQ(kExpired, Read(2003, 1));
  // No expiry: any period passes.
  AddCard(2004, 1, "start_dt, exp_iry", Ts(now_ - 30) + ", " + Ts(now_ - 20));
  EXPECT_EQ(kAccepted, Read(2004, 1));
  // A shared period on the card type overrides the card's own.
  AddType(3, "global_expiry, start_dt, exp_iry", "1, " + Ts(now_ - 30) + ", " + Ts(now_ - 20));
  AddCard(2005, 3);
  EXPECT_EQ(kExpired, Read(2005, 1));
  EXPECT_NE(std::string::npos, Db().LogText().find("Table: card_type"));
}

TEST_P(AccessTest, FirstUseActivatesTheCardOrItsType) {
  AddType(2, "first_use_flg, days", "1, 30");
  AddCard(3001, 2, "date_set, start_dt, exp_iry", "0, " + Ts(now_ - 400) + ", " + Ts(now_ - 300));
  EXPECT_EQ(kAccepted, Read(3001, 1));
  EXPECT_EQ(1, CardInt(3001, "date_set"));
  EXPECT_EQ("2024-03-13 10:00:00", CardTime(3001, "start_dt"));
  EXPECT_EQ("2024-04-12 10:00:00", CardTime(3001, "exp_iry"));
  // Activated once: the stored period holds from now on.
  now_ += 31;
  EXPECT_EQ(kExpired, Read(3001, 1));

  // A type that shares one period: the activation lands on the card's own type only.
  AddType(3, "first_use_flg, days, global_expiry, date_set", "1, 10, 1, 0");
  AddType(4, "first_use_flg, days, global_expiry, date_set", "1, 10, 1, 0");
  AddCard(3002, 3);
  EXPECT_EQ(kAccepted, Read(3002, 2));
  EXPECT_EQ(1, Int("SELECT date_set FROM card_type WHERE id = 3"));
  EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", now_ + 10),
            Text("SELECT exp_iry FROM card_type WHERE id = 3").substr(0, 19));
  EXPECT_EQ(0, Int("SELECT date_set FROM card_type WHERE id = 4"));
}

TEST_P(AccessTest, DebitTimeLimitRenewalAndSingleCharge) {
  // Balance spent: free within 29 minutes of the last charged use, refused from 30 on.
  AddType(2, "debit_flg, debit_time_limit_flg, debit_time_limit, ignore_passback", "1, 1, 30, 1");
  AddCard(4001, 2, "debit_left, debit_date", "0, " + Ts(now_ - 29 * kMinute));
  EXPECT_EQ(kAccepted, Read(4001, 1));
  EXPECT_EQ(0, CardInt(4001, "debit_left"));
  Exec("UPDATE card SET debit_date = " + Ts(now_ - 30 * kMinute) + " WHERE number = 4001");
  EXPECT_EQ(kExpired, Read(4001, 1));

  // Five uses: two reads within the limit are charged once.
  AddCard(4002, 2, "debit_left, debit_date", "5, " + Ts(now_ - 2));
  EXPECT_EQ(kAccepted, Read(4002, 1));
  EXPECT_EQ(4, CardInt(4002, "debit_left"));
  EXPECT_EQ("2024-03-13 10:00:00", CardTime(4002, "debit_date"));
  now_ += 10 * kMinute;
  EXPECT_EQ(kAccepted, Read(4002, 1));
  EXPECT_EQ(4, CardInt(4002, "debit_left"));
  EXPECT_EQ("2024-03-13 10:00:00", CardTime(4002, "debit_date"));
  now_ += 40 * kMinute;
  EXPECT_EQ(kAccepted, Read(4002, 1));
  EXPECT_EQ(3, CardInt(4002, "debit_left"));
  // The inner reader counts no use and leaves the direction, but records the pass.
  now_ += kMinute;
  EXPECT_EQ(kAccepted, Read(4002, 3));
  EXPECT_EQ(3, CardInt(4002, "debit_left"));
  EXPECT_EQ(1, CardInt(4002, "in_lot"));
  EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", now_), CardTime(4002, "trans_dt"));
  // An exit reader without debit charging counts no use either.
  Exec("UPDATE device SET debit_flag = 0 WHERE id = 2");
  now_ += 40 * kMinute;
  EXPECT_EQ(kAccepted, Read(4002, 2));
  EXPECT_EQ(3, CardInt(4002, "debit_left"));

  // Monthly allowance due: renewed with this use taken off, good to the end of the month.
  AddType(3, "debit_reset_flag, uses, ignore_passback", "1, 20, 1");
  AddCard(4003, 3, "debit_left, debit_reset_date, start_dt", "0, '2024-02-29 23:59:59', " + Ts(now_ - 60));
  EXPECT_EQ(kAccepted, Read(4003, 1));
  EXPECT_EQ(19, CardInt(4003, "debit_left"));
  EXPECT_EQ("2024-03-31 23:59:59", CardTime(4003, "debit_reset_date"));
  EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", now_), CardTime(4003, "debit_date"));
  EXPECT_EQ(kAccepted, Read(4003, 1));
  EXPECT_EQ(18, CardInt(4003, "debit_left"));

  // With "Debit Expiry" the start date is the last day of use.
  debitExpiry_ = true;
  AddCard(4004, 2, "debit_left, start_dt", "3, " + Ts(now_ - 1));
  EXPECT_EQ(kExpired, Read(4004, 1));
  Exec("UPDATE card SET start_dt = " + Ts(now_ + 1) + " WHERE number = 4004");
  EXPECT_EQ(kAccepted, Read(4004, 1));
  EXPECT_EQ(2, CardInt(4004, "debit_left"));
}

TEST_P(AccessTest, DebitStartDatesAndTheEdgeOfTheTimeLimit) {
  AddType(5, "debit_flg, debit_time_limit_flg, debit_time_limit, ignore_passback", "1, 1, 30, 1");
  // No start date (a year below 2000): the balance decides even with "Debit Expiry" on.
  debitExpiry_ = true;
  AddCard(4101, 5, "debit_left, debit_date, start_dt", "2, " + Ts(now_ - 1) + ", '1990-01-01 00:00:00'");
  EXPECT_EQ(kAccepted, Read(4101, 1));
  EXPECT_EQ(1, CardInt(4101, "debit_left"));
  EXPECT_EQ("2024-03-13 10:00:00", CardTime(4101, "debit_date"));
  debitExpiry_ = false;

  // A start date still to come: not valid yet, balance or not, and nothing is charged.
  AddCard(4102, 5, "debit_left, start_dt", "5, " + Ts(now_ + 1));
  EXPECT_EQ(kExpired, Read(4102, 1));
  EXPECT_EQ(5, CardInt(4102, "debit_left"));

  // Exactly at the time limit: the use is still free, and a debit card that passes without
  // being charged keeps the time of its last charged use. One second later it is charged.
  AddCard(4103, 5, "debit_left, debit_date", "3, " + Ts(now_ - 30 * kMinute));
  EXPECT_EQ(kAccepted, Read(4103, 1));
  EXPECT_EQ(3, CardInt(4103, "debit_left"));
  EXPECT_EQ("2024-03-13 09:30:00", CardTime(4103, "debit_date"));
  EXPECT_EQ("2024-03-13 10:00:00", CardTime(4103, "trans_dt"));
  now_ += 1.0 / 86400;
  EXPECT_EQ(kAccepted, Read(4103, 2));
  EXPECT_EQ(2, CardInt(4103, "debit_left"));
  EXPECT_EQ("2024-03-13 10:00:01", CardTime(4103, "debit_date"));
  // With nothing left, exactly at the limit is no longer free.
  Exec("UPDATE card SET debit_left = 0, debit_date = " + Ts(now_ - 30 * kMinute) + " WHERE number = 4103");
  EXPECT_EQ(kExpired, Read(4103, 1));
}

// A card off its pathway and in passback at once: the pathway is checked first.
TEST_P(AccessTest, PathwayIsCheckedBeforePassback) {
  Exec("INSERT INTO pathway_ft VALUES (1, 1, 4, 10)");
  AddType(2, "pathway_id", "1");
  AddCard(6101, 2, "in_gate, in_lot, trans_dt", "2, 1, " + Ts(now_ - 5 * kMinute));
  EXPECT_EQ(kNotInPath, Read(6101, 1));
  EXPECT_EQ(6, Int("SELECT error_code FROM trans"));
  EXPECT_EQ("Not in Path", Text("SELECT error_desc FROM trans"));
  const std::string log = Db().LogText();
  EXPECT_NE(std::string::npos, log.find("Card 6101 has a pathway error"));
  EXPECT_EQ(std::string::npos, log.find("Card 6101 passback error"));
  // Both soft: the pathway's code still, with the soft bit.
  Exec("UPDATE settings SET soft_path = 1, soft_pb = 1");
  EXPECT_EQ(kNotInPath | kSoftBit, Read(6101, 1));
}

TEST_P(AccessTest, PoolMaximumRefusesEntriesOnly) {
  Exec("INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (1, 2, 2)");
  AddCard(5001, 1, "group_id", "1");
  EXPECT_EQ(kGroupMax, Read(5001, 1));  // full: equal refuses
  EXPECT_EQ(2, PoolCount(1));
  EXPECT_EQ(kAccepted, Read(5001, 2));  // an exit is never refused
  EXPECT_EQ(1, PoolCount(1));
  EXPECT_EQ(kAccepted, Read(5001, 4));
  EXPECT_EQ(2, PoolCount(1));
  Exec("UPDATE card_pool SET cur_inlot = 0 WHERE id = 1");
  EXPECT_EQ(kAccepted, Read(5001, 2));
  EXPECT_EQ(0, PoolCount(1));  // never below zero
  EXPECT_EQ(kAccepted, Read(5001, 3));
  EXPECT_EQ(0, PoolCount(1));  // no direction, no count
  // A card of a pool that does not exist passes.
  AddCard(5002, 1, "group_id", "9");
  EXPECT_EQ(kAccepted, Read(5002, 1));
}

TEST_P(AccessTest, SoftGroupPassWinsAndLeavesThePoolCount) {
  Exec("UPDATE settings SET soft_group = 1, soft_path = 0, soft_pb = 0, stup_pbrst = 0");
  Exec("INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (1, 2, 2)");
  Exec("INSERT INTO pathway_ft VALUES (1, 1, 4, 10)");
  AddType(2, "pathway_id", "1");
  // Pathway (no leg from 2 to 1) and passback (second entry) would refuse as well.
  AddCard(5101, 2, "group_id, in_gate, in_lot", "1, 2, 1");
  EXPECT_EQ(kGroupMax | kSoftBit, Read(5101, 1));
  EXPECT_EQ(2, PoolCount(1));
  EXPECT_EQ(1, CardInt(5101, "in_lot"));
  EXPECT_EQ("2024-03-13 10:00:00", CardTime(5101, "trans_dt"));
  EXPECT_EQ(1, CardInt(5101, "in_gate"));  // device 1 starts a leg of the pathway
  EXPECT_EQ(kGroupMax | kSoftBit, Int("SELECT error_code FROM trans WHERE card_no = 5101"));
  EXPECT_EQ("Group Max. Exceeded", Text("SELECT error_desc FROM trans WHERE card_no = 5101"));
}

TEST_P(AccessTest, PathwayLegsAndTimeLimit) {
  Exec("INSERT INTO pathway_ft VALUES (1, 1, 4, 10)");
  AddType(2, "pathway_id, ignore_passback", "1, 1");
  AddCard(6001, 2, "in_gate, trans_dt", "1, " + Ts(now_ - 10 * kMinute));
  EXPECT_EQ(kAccepted, Read(6001, 4));  // equal to the limit passes
  EXPECT_EQ(-1, CardInt(6001, "in_gate"));  // device 4 starts no leg: off the pathway
  AddCard(6002, 2, "in_gate, trans_dt", "1, " + Ts(now_ - 11 * kMinute));
  EXPECT_EQ(kNotInPath, Read(6002, 4));
  AddCard(6003, 2, "in_gate, trans_dt", "2, " + Ts(now_ - kMinute));
  EXPECT_EQ(kNotInPath, Read(6003, 4));
  // Off the pathway, or at a reader outside pathways: no check; device 1 starts a leg.
  AddCard(6004, 2);
  EXPECT_EQ(kAccepted, Read(6004, 1));
  EXPECT_EQ(1, CardInt(6004, "in_gate"));
  Exec("UPDATE device SET no_path = 1 WHERE id = 4");
  EXPECT_EQ(kAccepted, Read(6003, 4));
  Exec("UPDATE device SET no_path = 0 WHERE id = 4");
  // Soft: the card passes, the pool counts it.
  Exec("UPDATE settings SET soft_path = 1");
  Exec("INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (1, 10, 3)");
  AddCard(6005, 2, "in_gate, trans_dt, group_id", "1, " + Ts(now_ - 11 * kMinute) + ", 1");
  EXPECT_EQ(kNotInPath | kSoftBit, Read(6005, 4));
  EXPECT_EQ(4, PoolCount(1));
  const std::string log = Db().LogText();
  EXPECT_NE(std::string::npos, log.find("Pathway Time OK - Minutes: 10, Limit: 10"));
  EXPECT_NE(std::string::npos, log.find("Pathway Time OUT - Minutes: 11, Limit: 10"));
  EXPECT_NE(std::string::npos, log.find("Pathway 1 does NOT have path for 2 to 4!"));
  EXPECT_NE(std::string::npos, log.find("Card 6002 has a pathway error"));
  EXPECT_NE(std::string::npos, log.find("Card#: 6001"));
}

TEST_P(AccessTest, PassbackByDirectionAndMinutes) {
  // 0 minutes: the same direction twice is refused however late.
  AddCard(7001, 1, "in_lot, trans_dt", "1, " + Ts(now_ - 365));
  EXPECT_EQ(kPassback, Read(7001, 1));
  EXPECT_EQ(kAccepted, Read(7001, 2));  // the direction changes
  EXPECT_EQ(kAccepted, Read(7001, 3));  // no passback at the inner reader
  EXPECT_EQ(2, CardInt(7001, "in_lot"));  // which keeps the last direction
  EXPECT_EQ(kAccepted, Read(7001, 5));  // nor without a direction
  EXPECT_EQ(0, CardInt(7001, "in_lot"));
  EXPECT_EQ(kAccepted, Read(7001, 1));
  EXPECT_EQ(kPassback, Read(7001, 4));
  EXPECT_NE(std::string::npos, Db().LogText().find("Card 7001 passback error"));

  Exec("UPDATE settings SET stup_pbrst = 5");
  AddCard(7002, 1, "in_lot, trans_dt", "1, " + Ts(now_ - 4 * kMinute));
  EXPECT_EQ(kPassback, Read(7002, 1));
  Exec("UPDATE card SET trans_dt = " + Ts(now_ - 5 * kMinute) + " WHERE number = 7002");
  EXPECT_EQ(kAccepted, Read(7002, 1));
  // A card type that ignores passback.
  AddType(2, "ignore_passback", "1");
  AddCard(7003, 2, "in_lot, trans_dt", "1, " + Ts(now_));
  EXPECT_EQ(kAccepted, Read(7003, 1));
  // Soft passback: the card passes and counts into its pool.
  Exec("UPDATE settings SET soft_pb = 1");
  Exec("INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (1, 10, 3)");
  AddCard(7004, 1, "in_lot, trans_dt, group_id", "1, " + Ts(now_) + ", 1");
  EXPECT_EQ(kPassback | kSoftBit, Read(7004, 1));
  EXPECT_EQ(4, PoolCount(1));
}

TEST_P(AccessTest, EveryReadWritesOneTransRowAndTheAnswer) {
  EXPECT_EQ(kAccepted, Read(1001, 1));
  EXPECT_EQ("Entry 1", deviceName_);
  EXPECT_EQ("John", firstName_);
  EXPECT_EQ(2, openPulse_);
  EXPECT_EQ(7, specialSpace_);
  EXPECT_DOUBLE_EQ(now_, eventTime_);
  EXPECT_EQ(1, CardInt(1001, "in_lot"));
  EXPECT_EQ(1, TransRows());
  EXPECT_EQ(1001, Float("SELECT card_no FROM trans"));
  EXPECT_EQ(1001, Float("SELECT cardno FROM trans"));
  EXPECT_EQ("2024-03-13 10:00:00", Text("SELECT dat_e FROM trans").substr(0, 19));
  EXPECT_EQ(1, Int("SELECT device_id FROM trans"));
  EXPECT_EQ(0, Int("SELECT error_code FROM trans"));
  EXPECT_EQ("Accepted", Text("SELECT error_desc FROM trans"));
  EXPECT_EQ("Entry 1", Text("SELECT device_name FROM trans"));
  EXPECT_EQ("Smith", Text("SELECT last_name FROM trans"));
  EXPECT_EQ(0, Int("SELECT mem_flag FROM trans"));

  EXPECT_EQ(kAccepted, Read(1001, 2));
  EXPECT_EQ(-1, specialSpace_);
  EXPECT_EQ(3, openPulse_);
  // A refused read changes no card data but is recorded; unknown cards with empty names.
  const std::string lastPass = CardTime(1001, "trans_dt");
  EXPECT_EQ(kPassback, Read(1001, 2));
  EXPECT_EQ(lastPass, CardTime(1001, "trans_dt"));
  EXPECT_EQ(kNotOnFile, Read(123456789, 7));
  EXPECT_EQ("", deviceName_);
  EXPECT_EQ(4, TransRows());
  EXPECT_EQ(123456789, Float("SELECT cardno FROM trans WHERE error_code = 1"));
  EXPECT_EQ("Not On File", Text("SELECT error_desc FROM trans WHERE card_no = 123456789"));
  EXPECT_EQ("", Text("SELECT first_name FROM trans WHERE card_no = 123456789"));
  EXPECT_EQ(0, Int("SELECT device_id FROM trans WHERE card_no = 123456789"));
  // Names with quotes reach the row intact.
  Exec("UPDATE card SET first_name = 'O''Neil' WHERE number = 1001");
  Exec("UPDATE device SET name = 'Gate ''A''' WHERE id = 5");
  EXPECT_EQ(kAccepted, Read(1001, 5));
  EXPECT_EQ("O'Neil", Text("SELECT first_name FROM trans WHERE device_id = 5"));
  EXPECT_EQ("Gate 'A'", Text("SELECT device_name FROM trans WHERE device_id = 5"));
}

TEST_P(AccessTest, MemoryReadsCarryTheirOwnTime) {
  EXPECT_EQ(kAccepted, ReadMemory(1001, 1, "2403130945"));
  EXPECT_DOUBLE_EQ(EncodeDateTime(2024, 3, 13, 9, 45, 0), eventTime_);
  EXPECT_EQ(1, Int("SELECT mem_flag FROM trans"));
  EXPECT_EQ("2024-03-13 09:45:00", Text("SELECT dat_e FROM trans").substr(0, 19));
  // Up to five minutes ahead is today; beyond that, yesterday.
  ReadMemory(1001, 2, "2403131004");
  EXPECT_NEAR(EncodeDateTime(2024, 3, 13, 10, 4, 0), eventTime_, 1e-9);
  ReadMemory(1001, 1, "2403131010");
  EXPECT_NEAR(EncodeDateTime(2024, 3, 12, 10, 10, 0), eventTime_, 1e-9);
  // The edge, to the second: exactly five minutes ahead stays today, one second more is
  // yesterday.
  ReadMemory(1001, 2, "2403131005");
  EXPECT_EQ("2024-03-13 10:05:00", FormatDateTime("YYYY-MM-DD HH:NN:SS", eventTime_));
  now_ = EncodeDateTime(2024, 3, 13, 9, 59, 59);
  ReadMemory(1001, 1, "2403131005");
  EXPECT_EQ("2024-03-12 10:05:00", FormatDateTime("YYYY-MM-DD HH:NN:SS", eventTime_));
  for (const char* hour : {"01", "08", "14", "23"}) {
    now_ = EncodeDateTime(2024, 3, 13, std::stoi(hour) - 1, 55, 0);
    ReadMemory(1001, 2, std::string("240313") + hour + "00");
    EXPECT_EQ(std::string("2024-03-13 ") + hour + ":00:00", FormatDateTime("YYYY-MM-DD HH:NN:SS", eventTime_));
  }
  now_ = EncodeDateTime(2024, 3, 13, 10, 0, 0);
  // An impossible stored date ends the read before anything is written.
  const int rows = TransRows();
  EXPECT_THROW(ReadMemory(1001, 2, "2402300900"), std::runtime_error);
  EXPECT_THROW(ReadMemory(1001, 2, "xx"), std::runtime_error);
  EXPECT_EQ(rows, TransRows());
}

TEST_P(AccessTest, CardNumbersFromReaderTextAreWholeAndBounded) {
  CardNumber n = -1;
  // Text that is no number, or no finite one, is no card: refused, and no "inf" or "nan"
  // reaches SQL.
  for (const char* text : {"abc", "", "1e400", "inf", "nan", "garbage!", "12a45", " 1001"}) {
    n = -1;
    EXPECT_FALSE(ParseCardNumber(text, n)) << text;
    EXPECT_EQ(0, n) << text;
    EXPECT_FALSE(IsNumberText(text)) << text;
  }
  for (const char* text : {"0", "-0", "1001", "007", "1.5e3", "1000000000000000000", "12.50"})
    EXPECT_TRUE(IsNumberText(text)) << text;
  EXPECT_TRUE(ParseCardNumber("0000123456789012345678", n));
  EXPECT_EQ(123456789012345678, n);
  EXPECT_TRUE(ParseCardNumber("999999999999999999.00", n));
  EXPECT_EQ(kMaxCardNumber, n);
  EXPECT_TRUE(ParseCardNumber("1.5e3", n));
  EXPECT_EQ(1500, n);
  EXPECT_FALSE(ParseCardNumber("1000000000000000000", n));
  EXPECT_FALSE(ParseCardNumber("1e18", n));
  EXPECT_EQ("123456789012345678", CardNumberText(123456789012345678));

  EXPECT_EQ(kNotOnFile, Read(0, 1));
  EXPECT_EQ(1, Int("SELECT COUNT(*) FROM trans WHERE card_no = 0 AND cardno = 0"));
  EXPECT_NE(std::string::npos, Db().LogText().find("Card 0 not on file"));
}

// An older card table with a double number column rounds long numbers: a row it matches
// only by rounding is not the card.
TEST_P(AccessTest, DoubleNumberColumnRefusesWhatItCannotHold) {
  Exec("DROP TABLE card");
  Exec("CREATE TABLE card (number DOUBLE PRIMARY KEY, type_id INTEGER)");
  Exec("INSERT INTO card (number, type_id) VALUES (123456789012345678, 1), (123456789012345, 1)");
  TODBCStatement card(&Odbc());
  EXPECT_TRUE(FindCard(card, 123456789012345));
  EXPECT_EQ(123456789012345, CardNumberField(card, "number"));
  EXPECT_EQ(kNotOnFile, Read(123456789012345678, 1));
  EXPECT_EQ(kNotOnFile, Read(123456789012345679, 1));
  // SQLite compares the integer literal with the double exactly and finds no row; MariaDB
  // compares as doubles and finds the rounded row, which the exact check turns away.
  const std::string log = Db().LogText();
  if (backend() == test::Backend::MariaDB) {
    EXPECT_NE(std::string::npos, log.find("Card 123456789012345679 is stored as "));
    EXPECT_NE(std::string::npos, log.find("in the card table, which cannot hold it exactly: refused")) << log;
  }
  EXPECT_NE(std::string::npos, log.find("Card 123456789012345678 not on file"));
}

// The card's columns go out in one statement; a card table that lacks one of them still takes
// the others, as when each had its own.
TEST_P(AccessTest, CardTableWithoutAColumnStillTakesTheOthers) {
  Exec("ALTER TABLE card DROP COLUMN debit_date");
  EXPECT_EQ(kAccepted, Read(1001, 1));
  EXPECT_EQ(1, CardInt(1001, "in_lot"));
  EXPECT_EQ("2024-03-13 10:00:00", CardTime(1001, "trans_dt"));
  EXPECT_EQ(1, TransRows());
}

TEST_P(AccessTest, ExpandMessageFillsCardFields) {
  Exec("UPDATE card SET exp_iry = " + Ts(now_ + 10.5) +
       ", misc_1 = 'M1', misc_2 = 'M2', misc_3 = 'M3', misc_4 = 'M4', str_eet = 'Elm St' WHERE number = 1001");
  TODBCStatement card(&Odbc()), cardType(&Odbc());
  ASSERT_TRUE(FindCard(card, 1001));
  ASSERT_TRUE(FindCardType(card, cardType));
  EXPECT_EQ("Hello John Smith, 10 days left", ExpandMessage(card, "Hello %f %l, %d days left %", cardType, ""));
  EXPECT_EQ("M1M2M3M4 Elm St", ExpandMessage(card, "%1%2%3%4 %s%x%%", cardType, ""));
  EXPECT_EQ("#0042", ExpandMessage(card, "#%c  \t", cardType, "0042"));
  EXPECT_EQ("Card 1001", ExpandMessage(card, "Card %c", cardType, ""));
  Exec("UPDATE card SET exp_iry = " + Ts(now_ - 2.5) + " WHERE number = 1001");
  ASSERT_TRUE(FindCard(card, 1001));
  EXPECT_EQ("-2", ExpandMessage(card, "%d", cardType, ""));

  AddType(2, "debit_flg", "1");
  AddCard(1005, 2, "debit_left", "6");
  ASSERT_TRUE(FindCard(card, 1005));
  ASSERT_TRUE(FindCardType(card, cardType));
  EXPECT_EQ("6 uses", ExpandMessage(card, "%d uses", cardType, ""));
}

INSTANTIATE_TEST_SUITE_P(Backends, AccessTest, TARN_BACKENDS);

TEST(ResultText, NamesEveryCodeAndIgnoresTheSoftBit) {
  EXPECT_EQ("Accepted", ResultText(0));
  EXPECT_EQ("Not On File", ResultText(1));
  EXPECT_EQ("No Valid Access Found", ResultText(2));
  EXPECT_EQ("Expired, or not valid yet", ResultText(3));
  EXPECT_EQ("Passback Error", ResultText(12));
  EXPECT_EQ("Group Max. Exceeded", ResultText(13));
  EXPECT_EQ("Not in Path", ResultText(14));
  EXPECT_EQ("Unknown error!", ResultText(7));
  EXPECT_EQ("Unknown error!", ResultText(-1));
  EXPECT_EQ(0.0, SafeCardNumber(-std::numeric_limits<double>::infinity()));
  EXPECT_EQ(12345.0, SafeCardNumber(12345.0));
}

}  // namespace
}  // namespace tarn
