// Device status events through the simulator: printer states, on-line state, counter and
// input readings reaching their handlers, and two loops sharing addresses.
#include <atomic>

#include "counters/TCounter.h"
#include "counters/TInput.h"
#include "db/TSql.h"
#include "log/TEventLog.h"
#include "loop/LoopFixture.h"
#include "readerbus/TCard.h"

using namespace tarn;
using namespace tarn::test;
using tarn::testing::JsonString;

namespace {

class LoopStatusTest : public LoopTest {
 protected:
  void AddLoop(int id, int port) {
    ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (" +
                     std::to_string(id) + ", 'Loop', 1, " + std::to_string(port) + ", 0)"));
  }
  bool WaitInt(const std::string& sql, int value) {
    return RunUntil([&] { return QueryInt(sql) == value; });
  }
};

TEST(PrinterWords, TextsAndColumns) {
  EXPECT_EQ(TLoop::PrinterStatusText(6), "paper out;low paper;");
  EXPECT_EQ(TLoop::PrinterStatusText(0), "Ok");
  EXPECT_EQ(TLoop::PrinterStatusText(8), "Ok");
  EXPECT_EQ(TLoop::PrinterStatusText(1 | 16 | 2048), "offline;cover open;emitter error;");
  EXPECT_EQ(TLoop::PrinterStatusText(4095),
            "offline;paper out;low paper;cover open;temp error;power error;paper jam;cutter error;"
            "ram error;eprom error;emitter error;");

  auto columns = [](int w, bool second) {
    TSql sql(0);
    TLoop::PrinterColumns(sql, w, second);
    return sql.BuildUpdate("UPDATE device", "");
  };
  EXPECT_EQ(columns(6, false), "UPDATE device set ptr_paper=3, ptr_hdwr=0, ptr_fail=0, ptr_stat=6");
  EXPECT_EQ(columns(0, true), "UPDATE device set ptr_paper2=0, ptr_hdwr2=0, ptr_fail2=0, ptr_stat2=0");
  EXPECT_EQ(columns(1, false), "UPDATE device set ptr_paper=0, ptr_hdwr=0, ptr_fail=1, ptr_stat=1");
  EXPECT_EQ(columns(16, false), "UPDATE device set ptr_paper=0, ptr_hdwr=1, ptr_fail=0, ptr_stat=16");
  EXPECT_EQ(columns(8, false), "UPDATE device set ptr_paper=0, ptr_hdwr=0, ptr_fail=0, ptr_stat=8");
  EXPECT_EQ(columns(128, false), "UPDATE device set ptr_paper=2, ptr_hdwr=0, ptr_fail=0, ptr_stat=128");
  EXPECT_EQ(columns(4, true), "UPDATE device set ptr_paper2=1, ptr_hdwr2=0, ptr_fail2=0, ptr_stat2=4");
  // Paper trouble wins over the offline bit; offline wins over hardware faults.
  EXPECT_EQ(columns(1 | 2, false), "UPDATE device set ptr_paper=2, ptr_hdwr=0, ptr_fail=0, ptr_stat=3");
  EXPECT_EQ(columns(1 | 32, false), "UPDATE device set ptr_paper=0, ptr_hdwr=0, ptr_fail=1, ptr_stat=33");
}

TEST_P(LoopStatusTest, PrinterReportsAndOnlineState) {
  AddLoop(1, 5);
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, ptr_stat2) VALUES (16, 1, 6, 'Spitter', 9)"));
  auto sim = StartSim(5, {"6:dispenser"});
  ASSERT_TRUE(sim->Started());
  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  ASSERT_TRUE(WaitInt("SELECT online_flag FROM device WHERE id = 16", 1));
  EXPECT_TRUE(LogHas("PowerUp Event, Device: Spitter"));

  sim->Send("printer 6 6,0");
  ASSERT_TRUE(WaitInt("SELECT ptr_stat FROM device WHERE id = 16", 6));
  EXPECT_EQ(QueryInt("SELECT ptr_paper FROM device WHERE id = 16"), 3);
  EXPECT_EQ(QueryInt("SELECT ptr_hdwr FROM device WHERE id = 16"), 0);
  EXPECT_EQ(QueryInt("SELECT ptr_fail FROM device WHERE id = 16"), 0);
  EXPECT_EQ(QueryInt("SELECT ptr_stat2 FROM device WHERE id = 16"), 0);
  EXPECT_EQ(loop->EventLog->LastStatus, 6);
  EXPECT_TRUE(LogHas(" Reader: 6 Date:"));
  EXPECT_TRUE(LogHas("PStat:6 0 Reader: 6 Date:"));
  EXPECT_TRUE(LogHas(" ... Status:paper out;low paper; 2nd: Ok"));

  struct Case {
    const char* data;
    int paper, hardware, failure, status;
  };
  for (const Case& c : {Case{"1", 0, 0, 1, 1}, Case{"16", 0, 1, 0, 16}, Case{"8", 0, 0, 0, 8},
                        Case{"128", 2, 0, 0, 128}, Case{"junk", 0, 0, 0, 0}}) {
    sim->Send(std::string("printer 6 ") + c.data);
    ASSERT_TRUE(WaitInt("SELECT ptr_stat FROM device WHERE id = 16", c.status)) << c.data;
    EXPECT_EQ(QueryInt("SELECT ptr_paper FROM device WHERE id = 16"), c.paper) << c.data;
    EXPECT_EQ(QueryInt("SELECT ptr_hdwr FROM device WHERE id = 16"), c.hardware) << c.data;
    EXPECT_EQ(QueryInt("SELECT ptr_fail FROM device WHERE id = 16"), c.failure) << c.data;
  }
  EXPECT_TRUE(LogHas("PStat:8 Reader: 6 Date:"));
  EXPECT_TRUE(LogHas(" ... Status:Ok"));

  sim->Send("off 6");
  ASSERT_TRUE(WaitInt("SELECT online_flag FROM device WHERE id = 16", 0));
  EXPECT_TRUE(LogHas("Offline, Device: Spitter"));
  sim->Send("on 6");
  ASSERT_TRUE(WaitInt("SELECT online_flag FROM device WHERE id = 16", 1));
}

TEST_P(LoopStatusTest, CounterReadingsMoveLots) {
  AddLoop(1, 5);
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, lot_id) VALUES (13, 1, 3, 'Ramp', 1)"));
  ASSERT_TRUE(Exec("INSERT INTO lot (id, name, lot_count) VALUES (1, 'Deck', 10)"));
  ASSERT_TRUE(Exec("INSERT INTO counters (id, lot_id) VALUES (5, 1)"));
  ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (13, 2, 5, 1)"));
  auto sim = StartSim(5, {"3:counter", "4"});
  ASSERT_TRUE(sim->Started());
  sim->Send("counter 3 12345");
  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  ASSERT_TRUE(RunUntil([&] { return !loop->Counters[3]->FirstReading(); }));
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 10);

  sim->Send("counter 3 22345");
  ASSERT_TRUE(WaitInt("SELECT lot_count FROM lot WHERE id = 1", 11));
  EXPECT_EQ(QueryInt("SELECT count1 FROM device WHERE id = 13"), 1);
  ASSERT_TRUE(RunUntil([&] { return LogHas("Counter event Ramp input value: 22345 = 2,2,3,4,5"); }));
  EXPECT_TRUE(LogHas("Counter sql: UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));

  // Address 4 has a handler but no counter readings; one for an address past the loop's
  // range is only reported.
  loop->CounterEvent(9, "00000");
  EXPECT_TRUE(LogHas("Counter Event # 9 not setup! |00000|"));
}

TEST_P(LoopStatusTest, DoorAjarAlarmThroughTheLoop) {
  AddLoop(1, 5);
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output) "
                   "VALUES (13, 1, 3, 'Stair door', 2, 30, 3)"));
  std::atomic<double> clock{EncodeDateTime(2026, 5, 4, 12, 0, 0)};
  ScopedClock fake([&] { return TDateTime(clock.load()); });
  auto sim = StartSim(5, {"3:input"});
  ASSERT_TRUE(sim->Started());
  sim->Send("input 3 0");  // inputs 5 and 6 ('0' is 0x30): the door contact is closed
  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  int readings = 0;
  auto handler = loop->Card1->OnInput;
  loop->Card1->OnInput = [&](int16_t a, std::string d) {
    handler(a, d);
    ++readings;
  };
  auto readMore = [&](int n) {
    const int target = readings + n;
    return RunUntil([&] { return readings >= target; });
  };
  auto pulsesSince = [&](size_t mark) {
    int n = 0;
    auto lines = sim->Lines();
    for (size_t i = mark; i < lines.size(); ++i)
      if (IsFrame(lines[i], 3, "P")) ++n;
    return n;
  };
  const TInput& door = *loop->Inputs[3];
  ASSERT_TRUE(readMore(2));
  EXPECT_EQ(door.OpenSince(), 0);

  sim->Send("input 3 2");  // '2' is 0x32: input 2 active
  ASSERT_TRUE(RunUntil([&] { return door.OpenSince() != 0; }));
  size_t mark = sim->LineCount();
  clock.store(clock.load() + 29.0 / 86400);
  ASSERT_TRUE(readMore(3));
  EXPECT_FALSE(door.Alarm());
  EXPECT_EQ(QueryInt("SELECT door_ajar FROM device WHERE id = 13"), 0);
  EXPECT_EQ(pulsesSince(mark), 0);

  clock.store(clock.load() + 1.0 / 86400);
  auto pulse = WaitSim(*sim, [](const std::string& l) { return IsFrame(l, 3, "P"); }, mark);
  ASSERT_TRUE(pulse);
  EXPECT_EQ(JsonString(*pulse, "data"), "B5");  // output 3, pulse 5
  EXPECT_EQ(QueryInt("SELECT door_ajar FROM device WHERE id = 13"), 1);
  ASSERT_TRUE(RunUntil([&] { return pulsesSince(mark) >= 3; }));

  ASSERT_TRUE(Exec("UPDATE device SET alarm_ack = 1 WHERE id = 13"));
  ASSERT_TRUE(RunUntil([&] { return door.Acknowledged(); }));
  EXPECT_EQ(QueryInt("SELECT alarm_ack FROM device WHERE id = 13"), 0);
  ASSERT_TRUE(readMore(2));
  mark = sim->LineCount();
  ASSERT_TRUE(readMore(4));
  EXPECT_EQ(pulsesSince(mark), 0);

  sim->Send("input 3 0");
  ASSERT_TRUE(WaitInt("SELECT door_ajar FROM device WHERE id = 13", 0));
  EXPECT_FALSE(door.Alarm());
  EXPECT_FALSE(door.Acknowledged());
  EXPECT_EQ(door.OpenSince(), 0);
}

TEST_P(LoopStatusTest, LoopsWithOverlappingAddressesKeepTheirOwnInputHandlers) {
  AddLoop(1, 5);
  AddLoop(2, 6);
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output) "
                   "VALUES (13, 1, 3, 'Door A', 2, 30, 3)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, door_input, ajar_timer, ajar_output) "
                   "VALUES (23, 2, 3, 'Door B', 2, 30, 3)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (21, 2, 1, 'Gate B')"));
  auto simA = StartSim(5, {"3:input"});
  auto simB = StartSim(6, {"1", "3:input"});
  ASSERT_TRUE(simA->Started() && simB->Started());
  simA->Send("input 3 0");
  simB->Send("input 3 0");
  auto loopA = MakeLoop(1);
  auto loopB = MakeLoop(2);
  ASSERT_TRUE(loopA->Card1->IsOpen() && loopB->Card1->IsOpen());
  ASSERT_EQ(loopA->Inputs.size(), 4u);
  EXPECT_EQ(loopA->Inputs[3]->DeviceId(), 13);
  EXPECT_EQ(loopB->Inputs[3]->DeviceId(), 23);

  simB->Send("input 3 2");
  ASSERT_TRUE(RunUntil([&] { return loopB->Inputs[3]->OpenSince() != 0; }));
  EXPECT_EQ(loopA->Inputs[3]->OpenSince(), 0);

  // Freeing one loop leaves the other's handlers in place and working.
  loopB.reset();
  simA->Send("input 3 2");
  ASSERT_TRUE(RunUntil([&] { return loopA->Inputs[3]->OpenSince() != 0; }));
  EXPECT_EQ(loopA->Inputs[3]->DeviceId(), 13);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopStatusTest, TARN_BACKENDS);

}  // namespace
