// Loop set-up against a real database and the simulator: address range, display texts,
// handlers per address, settings file, schema upgrade, manual open.
#include <algorithm>
#include <fstream>
#include <iterator>

#include "counters/TCounter.h"
#include "counters/TInput.h"
#include "loop/LoopFixture.h"
#include "readerbus/TCard.h"

using namespace tarn;
using namespace tarn::test;
using tarn::testing::JsonString;

namespace {

class LoopSetupTest : public LoopTest {};

TEST_P(LoopSetupTest, AddressRangeHandlersAndDisplayTexts) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  ASSERT_TRUE(Exec("INSERT INTO messages (id, idle, gateup) VALUES (1, 'Welcome', 'Held open')"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type, lf_sign, lf_enabled) "
                   "VALUES (10, 1, 3, 'Entry', 1, 0, 1, 0)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type, lf_sign, lf_enabled) "
                   "VALUES (11, 1, 4, 'Side', 77, 1, 0, 1)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type) "
                   "VALUES (12, 1, 7, 'Exit', 1, 2)"));
  // Another loop's lot-full devices are not this loop's to refresh.
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, lf_sign, lf_enabled) "
                   "VALUES (20, 2, 3, 'Other', 1, 1)"));
  auto sim = StartSim(5, {"3", "4", "7"});
  ASSERT_TRUE(sim->Started());

  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1);
  EXPECT_TRUE(loop->Card1->IsOpen());
  EXPECT_EQ(loop->Card1->FirstReader(), 3);
  EXPECT_EQ(loop->Card1->LastReader(), 7);

  ASSERT_EQ(loop->Counters.size(), 8u);
  ASSERT_EQ(loop->Inputs.size(), 8u);
  for (int a = 0; a < 8; ++a) {
    EXPECT_EQ(loop->Counters[a] != nullptr, a >= 3) << a;
    EXPECT_EQ(loop->Inputs[a] != nullptr, a >= 3) << a;
  }
  EXPECT_EQ(loop->Counters[4]->DeviceId(), 11);
  EXPECT_EQ(loop->Counters[5]->DeviceId(), 0);  // no device row: a handler all the same
  EXPECT_EQ(loop->Inputs[7]->DeviceId(), 12);
  ASSERT_EQ(loop->DeviceTypes.size(), 8u);
  EXPECT_EQ(loop->DeviceTypes[4], 1);
  EXPECT_EQ(loop->DeviceTypes[7], 2);

  EXPECT_EQ(QueryInt("SELECT lf_sign_flag FROM device WHERE id = 10"), 1);
  EXPECT_EQ(QueryInt("SELECT lf_output_flag FROM device WHERE id = 10"), 0);
  EXPECT_EQ(QueryInt("SELECT lf_output_flag FROM device WHERE id = 11"), 1);
  EXPECT_EQ(QueryInt("SELECT lf_sign_flag FROM device WHERE id = 20"), 0);
  EXPECT_EQ(QueryInt("SELECT lf_output_flag FROM device WHERE id = 20"), 0);

  // After its power-up each device is sent its idle text; a device whose message row is
  // missing gets the default texts.
  auto idle4 = WaitSim(*sim, [](const std::string& l) { return IsFrame(l, 4, "X"); });
  ASSERT_TRUE(idle4);
  EXPECT_EQ(JsonString(*idle4, "data"), "Default message");
  auto idle3 = WaitSim(*sim, [](const std::string& l) { return IsFrame(l, 3, "X"); });
  ASSERT_TRUE(idle3);
  EXPECT_EQ(JsonString(*idle3, "data"), "Welcome");
  loop->Card1->SetGateUp(4, true);
  size_t mark = sim->LineCount();
  sim->Send("restart 4");
  auto up4 = WaitSim(*sim, [](const std::string& l) { return IsFrame(l, 4, "O"); }, mark);
  ASSERT_TRUE(up4);
  EXPECT_EQ(JsonString(*up4, "data"), "Device activated");

  const std::string log = LogText();
  EXPECT_NE(log.find("Init Devices for LoopId 1 Port 5"), std::string::npos);
  EXPECT_NE(log.find("TCard - PollDly 0  TurnAround 0  RespDly 0  Baud 9600  OffLineDly 40"), std::string::npos);
  EXPECT_NE(log.find("Device started.  LoopId 1  First address: 3  Last address: 7"), std::string::npos);
  EXPECT_NE(log.find("CreateCardInterface - Done"), std::string::npos);
}

// A settings file saved by an editor that puts a byte-order mark in front: the operator's
// values hold, no second section is added, and the file is written back without the mark.
TEST_P(LoopSetupTest, SettingsFileWithByteOrderMarkIsHonoured) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (10, 1, 2, 'Entry')"));
  auto sim = StartSim(5, {"2"});
  ASSERT_TRUE(sim->Started());
  const std::string ports = "[Ports]\r\nCOM5=" + Settings().ReadString("Ports", "COM5", "") + "\r\n";
  std::ofstream(SettingsPath(), std::ios::binary | std::ios::trunc)
      << "\xEF\xBB\xBF[Settings]\r\nGrace Time from POF (minutes)=30\r\n" << ports;
  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1);
  EXPECT_EQ(loop->Settings.GraceTimePOF, 30);
  std::ifstream in(SettingsPath(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("[Settings]\r\n", 0), 0u) << text;
  EXPECT_EQ(text.find("[Settings]", 1), std::string::npos) << text;
  EXPECT_NE(text.find("Grace Time from POF (minutes)=30\r\n"), std::string::npos);
  EXPECT_NE(text.find("Grace Time Future=15\r\n"), std::string::npos);
}

TEST_P(LoopSetupTest, SettingsFileFillsItselfAndFeedsTheLoop) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (10, 1, 2, 'Entry')"));
  auto sim = StartSim(5, {"2"});
  ASSERT_TRUE(sim->Started());
  {
    auto loop = MakeLoop(1);
    ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
    EXPECT_EQ(loop->Settings.EmailPort, 25);
    EXPECT_EQ(loop->Settings.GraceTimePOF, 15);
    EXPECT_EQ(loop->Settings.InternalLanes, std::vector<int>{0});
    EXPECT_TRUE(loop->Settings.SyncExitReader);
    EXPECT_TRUE(loop->Settings.AutoReset);
  }
  const std::vector<std::string> expected = {
      "RespDelay", "TurnAround", "PollDelay", "PayOnFoot Poll", "Inputs Off", "Counters Off",
      "Sync Readers every XX minutes", "Grace Time from POF (minutes)", "Extended Grace Lane",
      "Internal Lanes", "Grace Time from POF Extended (minutes)", "Grace Time Future",
      "Old Ticket Format?", "Sync Exit Reader", "Flat Rate Flag", "Email Server", "Email Port",
      "Email From", "Email To", "Debit Expiry", "Auto Reset", "Low Security on DB Error", "Offline Decisions",
      "Offline Copy Minutes"};
  EXPECT_EQ(Settings().ReadSection("Settings"), expected);
  EXPECT_EQ(Settings().ReadString("Settings", "Sync Exit Reader", ""), "1");
  EXPECT_EQ(Settings().ReadString("Settings", "Email Port", ""), "25");

  platform::TIniFile ini = Settings();
  ini.WriteString("Settings", "Internal Lanes", "1,x,3");
  ini.WriteString("Settings", "Extended Grace Lane", "2,y");
  ini.WriteString("Settings", "Grace Time from POF (minutes)", "20");
  ini.WriteString("Settings", "PollDelay", "7");
  ini.WriteString("Settings", "Sync Exit Reader", "0");
  ini.WriteString("Settings", "Email Server", "mail.example");
  ini.WriteString("Settings", "Counters Off", "1");
  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1);
  EXPECT_EQ(loop->Settings.InternalLanes, (std::vector<int>{1, 99, 3}));
  EXPECT_EQ(loop->Settings.ExtendedGraceLanes, (std::vector<int>{2, 0}));
  EXPECT_EQ(loop->Settings.GraceTimePOF, 20);
  EXPECT_EQ(loop->Card1->PollDelay(), 7u);
  EXPECT_FALSE(loop->Settings.SyncExitReader);
  EXPECT_EQ(loop->Settings.EmailServer, "mail.example");
  EXPECT_TRUE(loop->Card1->NoCounters());
}

TEST_P(LoopSetupTest, RfModemLoopIgnoresLineTimingsOfTheSettingsFile) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (3, 'Radio', 1, 9, 1)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (10, 3, 1, 'Far gate')"));
  Settings().WriteString("Settings", "RespDelay", "5");
  Settings().WriteString("Settings", "TurnAround", "6");
  MapPort(9, home_ + "/no-such-port");
  auto loop = MakeLoop(3);
  ASSERT_TRUE(loop->Card1);
  EXPECT_FALSE(loop->Card1->IsOpen());
  EXPECT_EQ(loop->Card1->RespDelay(), 200u);
  EXPECT_EQ(loop->Card1->TurnAround(), 100u);
  EXPECT_EQ(loop->Card1->PollDelay(), 0u);
  EXPECT_FALSE(Settings().ValueExists("Settings", "PollDelay"));
  EXPECT_TRUE(LogHas("NOTE: Using RF Modem Mode for loop id 3"));
  EXPECT_TRUE(LogHas("Failed to open port COM9 for loop id 3"));
  EXPECT_TRUE(LogHas("CreateCardInterface - Done"));
}

TEST_P(LoopSetupTest, MissingLoopRowNoDevicesAndStrayAddresses) {
  {
    auto loop = MakeLoop(42);
    ASSERT_TRUE(loop->Card1);
    EXPECT_FALSE(loop->Card1->IsOpen());
    EXPECT_TRUE(LogHas("Failed Card Init - No Loop id: 42"));
    EXPECT_TRUE(loop->Counters.empty());
  }
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (4, 'Empty', 1, 6, 0)"));
  auto sim = StartSim(6, {"1"});
  ASSERT_TRUE(sim->Started());
  {
    auto loop = MakeLoop(4);
    EXPECT_TRUE(LogHas("No devices found for loop id 4"));
    EXPECT_EQ(loop->Card1->FirstReader(), 1);
    EXPECT_EQ(loop->Card1->LastReader(), 0);
    EXPECT_TRUE(loop->Counters.empty());
  }
  // An address the bus cannot poll is reported and left out; the rest of the loop runs.
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (30, 4, 2, 'Good')"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (31, 4, 60, 'Typo')"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (32, 4, -1, 'Minus')"));
  auto loop = MakeLoop(4);
  EXPECT_TRUE(LogHas("Device Typo of loop id 4 has address 60, outside 1..48: not set up"));
  EXPECT_TRUE(LogHas("Device Minus of loop id 4 has address -1, outside 1..48: not set up"));
  EXPECT_EQ(loop->Card1->FirstReader(), 2);
  EXPECT_EQ(loop->Card1->LastReader(), 2);
  EXPECT_EQ(loop->Counters.size(), 3u);
  EXPECT_EQ(loop->DeviceTypes.size(), 3u);
  // Soft counts for addresses without a handler do nothing.
  loop->AddSoftCount(-1);
  loop->AddSoftCount(1);
  loop->AddSoftCount(60);
  EXPECT_EQ(QueryInt("SELECT count_soft FROM device WHERE id = 31"), 0);
}

TEST_P(LoopSetupTest, LegacyTablesAreUpgradedOnceAndCurrentOnesLeftAlone) {
  ASSERT_TRUE(Db().ExecScript(std::string(TARNCARD_SOURCE_DIR) + "/schema/" +
                              (backend() == Backend::SQLite ? "legacy-sqlite.sql" : "legacy-mariadb.sql")));
  {
    auto loop = MakeLoop(1);
  }
  for (const char* column : {"gate_up", "ptr_paper", "ptr_hdwr", "ptr_fail", "ptr_stat", "ptr_paper2",
                             "ptr_hdwr2", "ptr_fail2", "ptr_stat2", "device_type", "special_out"})
    EXPECT_TRUE(HasColumn("device", column)) << column;
  for (const char* column : {"takerid", "online", "tran_id"})
    EXPECT_TRUE(HasColumn("tickinv", column)) << column;
  EXPECT_FALSE(HasColumn("tickinv", "issuername"));

  // Now current: a second start runs no statement. A device column statement would fail
  // (the column exists) and be logged; a ticket statement would drop the column below.
  ASSERT_TRUE(Exec("ALTER TABLE tickinv ADD issuername VARCHAR(50)"));
  const size_t before = LogText().size();
  {
    auto loop = MakeLoop(1);
  }
  EXPECT_EQ(LogText().substr(before).find("alter table"), std::string::npos) << LogText().substr(before);
  EXPECT_TRUE(HasColumn("tickinv", "issuername"));
}

TEST_P(LoopSetupTest, ManualOpenQueuesTheGateAndRecordsIt) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, remote_user, remote_ip) "
                   "VALUES (15, 1, 5, 'O''Hare gate', 'desk', '10.0.0.9')"));
  auto sim = StartSim(5, {"5"});
  ASSERT_TRUE(sim->Started());
  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  size_t mark = sim->LineCount();
  loop->ManualOpen(5, 30);
  auto gate = WaitSim(*sim, [](const std::string& l) { return IsFrame(l, 5, "G"); }, mark);
  ASSERT_TRUE(gate);
  EXPECT_EQ(JsonString(*gate, "data"), "030Manual Open");
  EXPECT_TRUE(LogHas("Manual open Loop Id 1 address 5"));
  EXPECT_EQ(QueryInt("SELECT error_code FROM trans WHERE device_id = 15"), 999);
  EXPECT_EQ(QueryInt("SELECT cardno FROM trans WHERE device_id = 15"), 9999999);
  EXPECT_EQ(Query("SELECT error_desc FROM trans WHERE device_id = 15"), "Manual Open");
  EXPECT_EQ(Query("SELECT device_name FROM trans WHERE device_id = 15"), "O'Hare gate");
  EXPECT_EQ(Query("SELECT first_name FROM trans WHERE device_id = 15"), "desk");
  EXPECT_EQ(Query("SELECT last_name FROM trans WHERE device_id = 15"), "IP:10.0.0.9");
  EXPECT_NE(Query("SELECT dat_e FROM trans WHERE device_id = 15"), "");
}

TEST_P(LoopSetupTest, DisabledPoeLoopKeepsSoftCountersOnly) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port) VALUES (8, 'poe/pof', 0, 3)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, count_soft) VALUES (40, 8, 2, 'Pay 1', 4)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (41, 8, 4, 'Pay 2')"));
  {
    auto loop = MakeLoop(8);
    ASSERT_TRUE(loop->Card1);
    EXPECT_FALSE(loop->Card1->IsOpen());
    ASSERT_EQ(loop->Counters.size(), 5u);
    EXPECT_FALSE(loop->Counters[1]);
    ASSERT_TRUE(loop->Counters[2]);
    EXPECT_TRUE(loop->Counters[2]->Soft());
    EXPECT_EQ(loop->Counters[2]->SoftCountSeen(), 4);
    EXPECT_TRUE(loop->Inputs.empty());
    EXPECT_TRUE(LogHas("Created POE/POF soft counter for address 3"));
    EXPECT_EQ(Settings().ReadString("Settings", "NoRemoteCounts", "?"), "0");
  }
  Settings().WriteString("Settings", "NoRemoteCounts", "1");
  auto loop = MakeLoop(8);
  EXPECT_TRUE(loop->Counters.empty());
  // Any other disabled loop stays idle.
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port) VALUES (9, 'Spare', 0, 3)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (42, 9, 2, 'Spare gate')"));
  auto spare = MakeLoop(9);
  EXPECT_TRUE(spare->Counters.empty());
  EXPECT_FALSE(spare->Card1->IsOpen());
}

// A soft-count loop polls no line: devices at address 0 and above 48 keep soft counts too,
// and a pass at address 0 moves its lot.
TEST_P(LoopSetupTest, SoftCountLoopKeepsAddressZeroAndAbove48) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port) VALUES (8, 'POE/POF', 0, 3)"));
  ASSERT_TRUE(Exec("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 10, 100)"));
  ASSERT_TRUE(Exec("INSERT INTO counters (id, lot_id) VALUES (1, 1)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count_soft) VALUES "
                   "(40, 8, 0, 'Pay 0', 1, 0), (41, 8, 60, 'Pay 60', 1, 0), (42, 8, -1, 'Bad', 1, 0), "
                   "(43, 8, 256, 'Far', 1, 0)"));
  ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (40, 7, 1, 1), "
                   "(41, 7, 1, 1)"));
  auto loop = MakeLoop(8);
  ASSERT_EQ(loop->Counters.size(), 61u);
  ASSERT_TRUE(loop->Counters[0]);
  ASSERT_TRUE(loop->Counters[60]);
  EXPECT_TRUE(loop->Counters[60]->Soft());
  EXPECT_EQ(loop->Counters[0]->DeviceId(), 40);
  EXPECT_TRUE(LogHas("Created POE/POF soft counter for address 0"));
  EXPECT_TRUE(LogHas("Device Bad of loop id 8 has address -1, outside 0..255: not set up"));
  EXPECT_TRUE(LogHas("Device Far of loop id 8 has address 256, outside 0..255: not set up"));
  loop->AddSoftCount(0);
  EXPECT_EQ(QueryInt("SELECT count_soft FROM device WHERE id = 40"), 1);
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 11);
  loop->AddSoftCount(60);
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 12);
}

TEST(LoopHelpers, ListsAndMinutes) {
  EXPECT_EQ(ParseLaneList("1,x,3", 99), (std::vector<int>{1, 99, 3}));
  EXPECT_EQ(ParseLaneList("2,y", 0), (std::vector<int>{2, 0}));
  EXPECT_EQ(ParseLaneList(" 4 , 5 ", 99), (std::vector<int>{4, 5}));
  EXPECT_EQ(ParseLaneList("", 99), std::vector<int>{0});
  const TDateTime t = EncodeDateTime(2026, 3, 1, 10, 0, 0);
  EXPECT_EQ(TLoop::MinutesBetween(t + 15.0 / 1440, t), 15);
  EXPECT_EQ(TLoop::MinutesBetween(t + 15.9 / 1440, t), 15);
  EXPECT_EQ(TLoop::MinutesBetween(t - 10.5 / 1440, t), -10);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopSetupTest, TARN_BACKENDS);

}  // namespace
