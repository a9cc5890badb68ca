#include "LoopFixture.h"

#include <cmath>
#include <fstream>

#include "config/TRegistryEx.h"
#include "readerbus/TCard.h"
#include "service/LoopAssembly.h"
#include "support/ScratchDir.h"
#include "util/Strings.h"

namespace tarn::test {

namespace fs = std::filesystem;
using ::tarn::testing::JsonInt;
using ::tarn::testing::JsonString;

namespace {

const char* const kSite[] = {
    "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, special_out, "
    "lot_id) VALUES "
    "(101, 1, 1, 'Entry 1', 2, 1, 7, 0, 0, 1), (102, 1, 2, 'Exit 2', 2, 2, 4, 0, 0, 1), "
    "(103, 1, 3, 'Lift 3', 1, 3, 3, 0, 1, 1), (104, 1, 4, 'Dispenser 4', 1, 1, 6, 1, 0, 1), "
    "(105, 1, 5, 'Ticket exit 5', 1, 2, 9, 2, 0, 1), (106, 1, 6, 'Ticket entry 6', 1, 1, 8, 2, 0, 1), "
    "(107, 1, 7, 'Ticket exit 7', 1, 2, 9, 2, 0, 1)",
    "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
    "not_on_path) VALUES "
    "(1, 'Idle one', 'Up one', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB one %f', 'Group one', "
    "'Path one'), "
    "(2, 'Idle two', 'Up two', 'Welcome %f %l', 'Card %c unknown', 'No access two', 'Inactive two', "
    "'Passback %f', 'Group two', 'Path two'), "
    "(3, 'Idle three', 'Up three', 'Type three %f', 'x', 'x', 'x', 'Type three PB', 'x', 'x')",
    "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES "
    "(1, 'Plain', 1, 1, 0), (2, 'Lost set', 1, 1, 9), (3, 'Own set', 1, 1, 3)",
    "INSERT INTO card (number, type_id, first_name, last_name, space_no, in_lot) VALUES "
    "(1001, 1, 'Ann', 'Lee', 0, 0), (1002, 2, 'Bob', 'Ray', 0, 0), (1003, 3, 'Cy', 'Day', 0, 0), "
    "(1004, 1, 'Dee', 'Fox', 7, 0)",
    "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9, "
    "start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
    "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 101), (1, 102), (1, 103), (1, 104), "
    "(1, 105), (1, 106), (1, 107)",
    "INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)",
    "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 0, 100)",
    "INSERT INTO counters (id, lot_id) VALUES (1, 1)",
    "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (101, 7, 1, 1), (102, 7, 1, 1), "
    "(103, 7, 1, 1), (104, 7, 1, 1), (105, 7, 1, 1), (106, 7, 1, 1), (107, 7, 1, 1)",
    "INSERT INTO spots (number, floor) VALUES (7, 2), (8, 0), (9, 4)",
};

std::string RegString(const std::string& name, const std::string& value) {
  return "\"" + name + "\"=\"" + ReplaceAll(ReplaceAll(value, "\\", "\\\\"), "\"", "\\\"") + "\"\r\n";
}

}  // namespace

std::string CycleBarcode(TDateTime when, int lane) {
  const int year = DecodeDateTime(when).year;
  const int even = year % 2 == 0 ? year : year - 1;
  const auto seconds = static_cast<int64_t>(std::llround((when - EncodeDate(even, 1, 1)) * 86400.0));
  return Format("%.8d%.2d", seconds + 20000000, lane);
}

int LoopFixture::QueryInt(const std::string& sql) {
  return static_cast<int>(std::lround(StrToFloatDef(Query(sql), -999999)));
}

void LoopFixture::SetUp() {
  BackendTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  // "loop" is a reserved word on MySQL-family servers.
  const std::string loopTable = backend() == Backend::MariaDB ? "`loop`" : "loop";
  ASSERT_TRUE(Db().Exec("INSERT INTO " + loopTable + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 1, 0)"));
  for (const char* sql : kSite) ASSERT_TRUE(Db().Exec(sql)) << sql;

  dir_ = ::tarn::testing::ScratchDir("cards");
  sim_ = std::make_unique<::tarn::testing::TSimProcess>(
      std::vector<std::string>{"--no-polls", "1-3:reader", "4:dispenser", "5-7:exit"});
  ASSERT_TRUE(sim_->Started()) << "simulator did not start";

  setenv("TARNCARD_HOME", dir_.c_str(), 1);
  std::ofstream(dir_ / "tarncard.ini") << "[Ports]\nCOM1=" << sim_->PtyPath() << "\n[Settings]\n";
  const ConnectionParams p = SiteParams();
  const fs::path registry = dir_ / "registry.reg";
  std::ofstream(registry, std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n"
      << RegString("DSNName", p.DSNName) << RegString("Host", p.Host) << RegString("Database", p.Database)
      << RegString("User", p.User) << RegString("Pass", Scramble(p.Password)) << RegString("ODBCDriver", p.Driver)
      << RegString("ODBCOptions", p.ConnectOptions) << "\"DebugLog\"=dword:00000001\r\n";
  setenv("TARNCARD_REGISTRY", registry.c_str(), 1);

  clock_ = std::floor(SystemNow() * 86400.0) / 86400.0;
  const TDateTime fixed = clock_;
  scopedClock_ = std::make_unique<ScopedClock>([fixed] { return fixed; });
  main_ = std::make_unique<platform::TMainLoop>();
  loop_ = MakeSiteLoop(Db().Log(), 1, OfflineStore());
  ASSERT_TRUE(loop_->Card1 && loop_->Card1->IsOpen()) << LogText();
}

void LoopFixture::TearDown() {
  loop_.reset();
  main_.reset();
  sim_.reset();
  scopedClock_.reset();
  unsetenv("TARNCARD_REGISTRY");
  BackendTest::TearDown();
}

std::optional<std::string> LoopFixture::WaitFrame(int address, char cmd, size_t from, int timeoutMs,
                                                  const std::string* data) {
  std::optional<std::string> found;
  auto match = [&] {
    const std::vector<std::string> lines = sim_->Lines();
    for (size_t i = from; i < lines.size(); ++i)
      if (JsonString(lines[i], "t") == "frame" && JsonInt(lines[i], "addr") == address &&
          JsonString(lines[i], "cmd") == std::string(1, cmd) && (!data || JsonString(lines[i], "data") == *data)) {
        found = lines[i];
        return true;
      }
    return false;
  };
  main_->RunUntil(match, static_cast<uint32_t>(timeoutMs));
  return found;
}

std::vector<std::string> LoopFixture::FramesUntilMarker(int address, size_t from) {
  loop_->Card1->SendSignText(address, "MARK");
  std::vector<std::string> frames;
  const std::string mark = "MARK";
  const auto marker = WaitFrame(address, 'L', from, 10000, &mark);
  EXPECT_TRUE(marker.has_value()) << "the marker never reached the simulator";
  const std::vector<std::string> lines = sim_->Lines();
  for (size_t i = from; i < lines.size(); ++i) {
    if (JsonString(lines[i], "t") != "frame" || JsonInt(lines[i], "addr") != address) continue;
    const std::string cmd = JsonString(lines[i], "cmd");
    if (cmd == "L" && JsonString(lines[i], "data") == "MARK") break;
    if (cmd == "G" || cmd == "B" || cmd == "P" || cmd == "Y") frames.push_back(lines[i]);
  }
  return frames;
}

}  // namespace tarn::test
