// Door-ajar timing and fire inputs against the database, with the clock driven by the test.
#include "counters/TInput.h"
#include "log/TEventLog.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"

using namespace tarn;
using namespace tarn::test;

namespace {

class InputTest : public BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_loop"; }
  void Device(int id, int address, int doorInput, int ajarTime, int ajarOutput, int fireInput, int fireFlag,
              int loopId = 1) {
    ASSERT_TRUE(Db().Exec(
        "INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output, fire_input, "
        "fire_flag, remote_user, remote_ip) VALUES (" +
        std::to_string(id) + ", " + std::to_string(loopId) + ", " + std::to_string(address) + ", 'D', " +
        std::to_string(doorInput) + ", " + std::to_string(ajarTime) + ", " + std::to_string(ajarOutput) + ", " +
        std::to_string(fireInput) + ", " + std::to_string(fireFlag) + ", 'u', 'ip')"));
  }
  std::unique_ptr<TInput> Make(int address) {
    return std::make_unique<TInput>(1, &Db().ODBC(), &events_, Db().Log(), nullptr, address);
  }
  std::optional<int64_t> Int(const std::string& sql) { return Db().QueryNumber(sql); }
  std::string Text(const std::string& sql) { return Db().QueryText(sql); }
  void Advance(int seconds) { clock_ += seconds / 86400.0; }

  TDateTime clock_ = EncodeDateTime(2026, 5, 4, 12, 0, 0);
  ScopedClock fake_{[this] { return clock_; }};
  TEventLog events_{nullptr, 1};
};

const std::string kDoorOpen(1, '\x02');
const std::string kAllOff(1, '\0');

TEST_P(InputTest, DoorAjarTimingAlarmAcknowledgementAndClosing) {
  Device(13, 3, 2, 30, 3, 0, 0);
  auto door = Make(3);
  EXPECT_EQ(door->DeviceId(), 13);
  door->Process(kDoorOpen);
  EXPECT_EQ(door->OpenSince(), clock_);
  Advance(29);
  door->Process(kDoorOpen);
  EXPECT_FALSE(door->Alarm());
  EXPECT_EQ(Int("SELECT door_ajar FROM device WHERE id = 13"), 0);

  Advance(1);
  door->Process(kDoorOpen);
  EXPECT_TRUE(door->Alarm());
  EXPECT_FALSE(door->Acknowledged());
  EXPECT_EQ(Int("SELECT door_ajar FROM device WHERE id = 13"), 1);

  // Acknowledged from outside: taken once and reset.
  ASSERT_TRUE(Db().Exec("UPDATE device SET alarm_ack = 1, door_ajar = 7 WHERE id = 13"));
  Advance(5);
  door->Process(kDoorOpen);
  EXPECT_TRUE(door->Acknowledged());
  EXPECT_EQ(Int("SELECT alarm_ack FROM device WHERE id = 13"), 0);
  EXPECT_EQ(Int("SELECT door_ajar FROM device WHERE id = 13"), 7);  // the alarm is raised once

  door->Process(std::string(1, '\xFD'));  // every input but 2
  EXPECT_EQ(Int("SELECT door_ajar FROM device WHERE id = 13"), 0);
  EXPECT_FALSE(door->Alarm());
  EXPECT_FALSE(door->Acknowledged());
  EXPECT_EQ(door->OpenSince(), 0);

  // Re-armed: the next opening is timed from its own start.
  Advance(100);
  door->Process(kDoorOpen);
  Advance(10);
  door->Process(kDoorOpen);
  EXPECT_FALSE(door->Alarm());
  // Closing without an alarm runs no statement.
  ASSERT_TRUE(Db().Exec("UPDATE device SET door_ajar = 5 WHERE id = 13"));
  door->Process(kAllOff);
  EXPECT_EQ(Int("SELECT door_ajar FROM device WHERE id = 13"), 5);
}

TEST_P(InputTest, DoorHandlingNeedsBothAnInputAndAnOutput) {
  Device(13, 3, 2, 30, 0, 0, 0);  // no ajar output
  Device(14, 4, 9, 30, 3, 0, 0);  // an input number no reading can carry
  auto noOutput = Make(3);
  auto badInput = Make(4);
  for (auto* input : {noOutput.get(), badInput.get()}) {
    input->Process(std::string(1, '\xFF'));
    Advance(60);
    input->Process(std::string(1, '\xFF'));
    EXPECT_EQ(input->OpenSince(), 0);
    EXPECT_FALSE(input->Alarm());
  }
  EXPECT_EQ(Int("SELECT door_ajar FROM device WHERE id = 13"), 0);
  EXPECT_EQ(Int("SELECT door_ajar FROM device WHERE id = 14"), 0);
  // An empty reading and a device without row change nothing.
  auto none = Make(9);
  none->Process(kDoorOpen);
  none->Process("");
  EXPECT_EQ(none->DeviceId(), 0);
  EXPECT_EQ(none->OpenSince(), 0);
}

TEST_P(InputTest, FireInputOpensEveryMarkedGateOncePerChange) {
  Device(13, 3, 0, 0, 0, 1, 0);
  Device(20, 1, 0, 0, 0, 0, 1, 2);  // another loop's gate marked for fire opening
  Device(21, 2, 0, 0, 0, 0, 1);
  Device(22, 4, 0, 0, 0, 0, 0);
  auto fire = Make(3);
  fire->Process(std::string(1, '\x01'));
  EXPECT_TRUE(fire->FireActive());
  for (int id : {20, 21}) {
    const std::string w = " FROM device WHERE id = " + std::to_string(id);
    EXPECT_EQ(Int("SELECT perm_open" + w), 1);
    EXPECT_EQ(Text("SELECT remote_user" + w), "FIRE INPUT!");
    EXPECT_EQ(Text("SELECT remote_ip" + w), "ON");
  }
  EXPECT_EQ(Int("SELECT perm_open FROM device WHERE id = 22"), 0);
  EXPECT_EQ(Text("SELECT remote_ip FROM device WHERE id = 22"), "ip");

  // Still active: no second statement.
  ASSERT_TRUE(Db().Exec("UPDATE device SET remote_ip = 'kept' WHERE id = 21"));
  fire->Process(std::string(1, '\x03'));
  EXPECT_EQ(Text("SELECT remote_ip FROM device WHERE id = 21"), "kept");

  fire->Process(kAllOff);
  EXPECT_FALSE(fire->FireActive());
  EXPECT_EQ(Int("SELECT perm_open FROM device WHERE id = 20"), 0);
  EXPECT_EQ(Text("SELECT remote_ip FROM device WHERE id = 21"), "OFF");
  ASSERT_TRUE(Db().Exec("UPDATE device SET remote_ip = 'kept' WHERE id = 21"));
  fire->Process(kAllOff);
  EXPECT_EQ(Text("SELECT remote_ip FROM device WHERE id = 21"), "kept");
}

INSTANTIATE_TEST_SUITE_P(Backends, InputTest, TARN_BACKENDS);

}  // namespace
