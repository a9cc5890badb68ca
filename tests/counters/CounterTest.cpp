// Lot counting from counter readings and soft counts, on both databases.
#include "counters/TCounter.h"
#include "db/TODBCStatement.h"
#include "support/TestDatabase.h"

using namespace tarn;
using namespace tarn::test;

namespace {

class CounterTest : public BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_loop"; }
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(Db().Exec("INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count1, count_soft) "
                          "VALUES (13, 1, 3, 'Ramp', 1, 7, 10)"));
    for (int lot : {1, 2, 3})
      ASSERT_TRUE(Db().Exec("INSERT INTO lot (id, name, lot_count) VALUES (" + std::to_string(lot) + ", 'L', 10)"));
    for (int counter : {1, 2, 3})
      ASSERT_TRUE(Db().Exec("INSERT INTO counters (id, lot_id) VALUES (" + std::to_string(counter) + ", " +
                            std::to_string(counter) + ")"));
  }
  void Item(int input, int counter, int change) {
    ASSERT_TRUE(Db().Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (13, " +
                          std::to_string(input) + ", " + std::to_string(counter) + ", " + std::to_string(change) + ")"));
  }
  std::optional<int64_t> Int(const std::string& sql) { return Db().QueryNumber(sql); }
  std::optional<int64_t> Lot(int id) { return Int("SELECT lot_count FROM lot WHERE id = " + std::to_string(id)); }
  std::unique_ptr<TCounter> Make(int address = 3, bool soft = false) {
    return std::make_unique<TCounter>(Db().Log(), soft, nullptr, address, 1, &Db().ODBC());
  }
  std::string Process(TCounter& c, const std::string& data) {
    std::string name;
    c.Process(data, name);
    return name;
  }
  bool LogHas(const std::string& text) { return Db().LogText().find(text) != std::string::npos; }
};

TEST_P(CounterTest, BaselineThenDifferencesMoveTheLotsOfTheNextInput) {
  Item(2, 1, 1);
  Item(2, 2, 1);
  Item(3, 3, 1);  // input 2 of the device: must not move
  ASSERT_TRUE(Db().Exec("INSERT INTO device (id, loop_id, addr_ess, name, lot_id, lf_enabled, lf_sign) "
                        "VALUES (50, 9, 1, 'Sign', 2, 1, 1)"));
  auto c = Make();
  EXPECT_EQ(c->DeviceId(), 13);
  EXPECT_EQ(c->SoftCountSeen(), 10);
  EXPECT_TRUE(c->FirstReading());

  EXPECT_EQ(Process(*c, "12345"), "Ramp");
  EXPECT_FALSE(c->FirstReading());
  EXPECT_EQ(Lot(1), 10);
  EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 13"), 7);

  EXPECT_EQ(Process(*c, "22345"), "Ramp");
  EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 13"), 8);
  EXPECT_EQ(Int("SELECT count2 FROM device WHERE id = 13"), 0);
  EXPECT_EQ(Lot(1), 11);
  EXPECT_EQ(Lot(2), 11);
  EXPECT_EQ(Lot(3), 10);
  // The signs and outputs of the lots that moved are due for a refresh.
  EXPECT_EQ(Int("SELECT lf_output_flag FROM device WHERE id = 50"), 1);
  EXPECT_EQ(Int("SELECT lf_sign_flag FROM device WHERE id = 50"), 1);
  EXPECT_TRUE(LogHas("Counter sql: UPDATE lot SET lot_count=lot_count+1 WHERE id=2"));

  // Characters past the fifth are ignored; only the low four bits count.
  EXPECT_EQ(Process(*c, "B2345XYZ"), "Ramp");  // 'B' is 0x42: low nibble 2, no change
  EXPECT_EQ(Lot(1), 11);
}

TEST_P(CounterTest, WrapAroundCountsForward) {
  Item(2, 1, 1);
  auto c = Make();
  Process(*c, "?0000");  // low nibble 15
  Process(*c, "10000");
  EXPECT_EQ(Lot(1), 12);
  EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 13"), 9);
  EXPECT_EQ(c->Count(1), 1);
}

TEST_P(CounterTest, OppositeItemsAndTheTakeAwayFloor) {
  Item(2, 1, 1);
  Item(2, 2, 2);
  Item(2, 3, 0);  // no change
  ASSERT_TRUE(Db().Exec("UPDATE lot SET lot_count = 2 WHERE id = 2"));
  auto c = Make();
  Process(*c, "00000");
  Process(*c, "10000");
  EXPECT_EQ(Lot(1), 11);
  EXPECT_EQ(Lot(2), 1);
  EXPECT_EQ(Lot(3), 10);
  EXPECT_TRUE(LogHas("Counter sql: UPDATE lot SET lot_count=lot_count-1 WHERE id=2"));
  Process(*c, "40000");  // three more take-aways from a lot at 1
  EXPECT_EQ(Lot(2), 0);
  EXPECT_EQ(Lot(1), 14);
  EXPECT_TRUE(LogHas("Counter sql: UPDATE lot SET lot_count=0 WHERE id=2"));
  EXPECT_TRUE(LogHas("Counter sql: \r\n"));
}

TEST_P(CounterTest, ShortReadingIsRefusedAndDoesNotSetTheBaseline) {
  Item(2, 1, 1);
  auto c = Make();
  EXPECT_EQ(Process(*c, "1234"), "Invalid");
  EXPECT_TRUE(LogHas("TCounter.Process ERROR!  CounterData Length Invalid! - 1234"));
  EXPECT_TRUE(c->FirstReading());
  Process(*c, "55555");  // the baseline, not a difference from the short reading
  EXPECT_EQ(Lot(1), 10);
  EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 13"), 7);
  Process(*c, "65555");
  EXPECT_EQ(Lot(1), 11);
}

TEST_P(CounterTest, DeviceOrLotMissing) {
  Item(2, 1, 1);
  auto none = Make(9);
  EXPECT_EQ(none->DeviceId(), 0);
  EXPECT_EQ(Process(*none, "00000"), "Invalid");
  EXPECT_EQ(Process(*none, "50000"), "Invalid");
  EXPECT_EQ(Lot(1), 10);

  // A device whose lot row is gone still counts its own pulses.
  ASSERT_TRUE(Db().Exec("UPDATE device SET lot_id = 77 WHERE id = 13"));
  auto c = Make();
  Process(*c, "00000");
  Process(*c, "30000");
  EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 13"), 10);
  EXPECT_EQ(Lot(1), 10);
}

TEST_P(CounterTest, SoftCountsAndTheirTakeOver) {
  Item(7, 1, 1);
  Item(7, 2, 2);
  auto c = Make(3, true);
  c->AddSoftCount();
  EXPECT_EQ(Int("SELECT count_soft FROM device WHERE id = 13"), 11);
  EXPECT_EQ(c->SoftCountSeen(), 11);
  EXPECT_EQ(Lot(1), 11);
  EXPECT_EQ(Lot(2), 9);

  TODBCStatement q(&Db().ODBC());
  c->SyncSoftCount(q);  // its own count is not taken over twice
  EXPECT_EQ(Lot(1), 11);

  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 14 WHERE id = 13"));
  c->SyncSoftCount(q);
  EXPECT_EQ(c->SoftCountSeen(), 14);
  EXPECT_EQ(Lot(1), 14);
  EXPECT_EQ(Lot(2), 6);
  EXPECT_TRUE(LogHas("Timer Lot Change Value: 3"));
  EXPECT_TRUE(LogHas("Soft Count Device Id: 13 was 11 is 14 diff 3"));

  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 0 WHERE id = 13"));
  c->SyncSoftCount(q);
  EXPECT_EQ(c->SoftCountSeen(), 0);
  EXPECT_EQ(Lot(1), 14);

  // A device row that cannot be read is not a count of 0: when it reads again, only the
  // passages made meanwhile move the lots.
  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 5 WHERE id = 13"));
  c->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 19);
  ASSERT_TRUE(Db().Exec("UPDATE device SET id = 99 WHERE id = 13"));
  c->SyncSoftCount(q);
  EXPECT_EQ(c->SoftCountSeen(), 5);
  ASSERT_TRUE(Db().Exec("UPDATE device SET id = 13, count_soft = 6 WHERE id = 99"));
  c->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 20);
}

// Several computers keep the same soft counts (each runs the POE/POF loop): every rise of
// count_soft reaches the lots once, whichever computer looks first.
TEST_P(CounterTest, SoftCountsKeptByTwoComputersAreTakenOverOnce) {
  Item(7, 1, 1);
  auto one = Make(3, true);
  auto two = Make(3, true);
  TODBCStatement q(&Db().ODBC());
  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 13 WHERE id = 13"));
  two->SyncSoftCount(q);
  one->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 13);
  EXPECT_EQ(one->SoftCountSeen(), 13);

  // A passage one computer counts itself is not taken over by the other.
  one->AddSoftCount();
  EXPECT_EQ(Lot(1), 14);
  two->SyncSoftCount(q);
  one->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 14);

  // A count set back elsewhere moves nothing; the rises after it count once.
  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 0 WHERE id = 13"));
  one->SyncSoftCount(q);
  two->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 14);
  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 2 WHERE id = 13"));
  one->SyncSoftCount(q);
  two->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 16);

  // A computer started while a rise is not yet taken over takes it over once.
  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 5 WHERE id = 13"));
  auto late = Make(3, true);
  late->SyncSoftCount(q);
  one->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 19);
  ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = 6 WHERE id = 13"));
  one->SyncSoftCount(q);
  late->SyncSoftCount(q);
  two->SyncSoftCount(q);
  EXPECT_EQ(Lot(1), 20);
}

INSTANTIATE_TEST_SUITE_P(Backends, CounterTest, TARN_BACKENDS);

}  // namespace
