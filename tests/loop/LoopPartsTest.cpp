// A loop controller built from its parts, without a registry file, a settings file or a
// port: the test database's connection, given settings, devices emulated in this process on
// the far side of an in-memory line, and a status store of the test's own. Device events go
// the whole road: poll thread, event thread, main thread, the loop's handlers, the database.
#include <filesystem>
#include <memory>
#include <string>

#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "loop/TLoop.h"
#include "metrics/StatusStore.h"
#include "platform/MainLoop.h"
#include "readerbus/FakeLine.h"
#include "readerbus/TCard.h"
#include "support/ScratchDir.h"
#include "support/SmtpSink.h"
#include "support/TestDatabase.h"
#include "util/Format.h"

using namespace tarn;
using namespace tarn::test;
using tarn::testing::TFakeLine;

namespace {

namespace fs = std::filesystem;

constexpr int kLoopId = 7;
constexpr uint32_t kWait = 15000;

const char* const kSite[] = {
    "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type) VALUES "
    "(71, 7, 1, 'Entry', 1, 0), (72, 7, 2, 'Exit', 1, 0)",
    "INSERT INTO messages (id, idle, gateup, not_on_file) VALUES (1, 'Idle gate', 'Gate up', 'No card %c')",
    "INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)",
};

class LoopPartsTest : public BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_parts"; }

  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string loopTable = backend() == Backend::MariaDB ? "`loop`" : "loop";
    ASSERT_TRUE(Db().Exec("INSERT INTO " + loopTable +
                          " (id, name, enabled, port, rfmodem) VALUES (7, 'Main', 1, 3, 0)"));
    for (const char* sql : kSite) ASSERT_TRUE(Db().Exec(sql)) << sql;
    // An empty home: a registry or settings file the loop read would be missing, one it
    // wrote would appear here.
    home_ = ::tarn::testing::ScratchDir("parts");
    ::setenv("TARNCARD_HOME", home_.c_str(), 1);
    ::setenv("TARNCARD_REGISTRY", (home_ / "registry.reg").c_str(), 1);
    line_.Add(1);
    line_.Add(2);
  }

  void TearDown() override {
    ::unsetenv("TARNCARD_HOME");
    ::unsetenv("TARNCARD_REGISTRY");
    BackendTest::TearDown();
  }

  // The test database's connection values, as the loop's own new connection.
  TLoopParts Parts(const TLoopSettings& settings, const TLineTimings& timings) {
    const ConnectionParams& p = Db().Params();
    TLoopParts parts;
    parts.Conn = std::make_unique<TODBCConn>(700, "");
    parts.DB = std::make_unique<TODBC>();
    parts.Conn->ODBC = parts.DB.get();
    parts.Conn->SetLog(&Db().Log());
    parts.Conn->SetParams(p.DSNName, p.Driver, p.Database, p.User, p.Password, p.ConnectOptions);
    parts.DebugLog = true;
    parts.Settings = std::make_unique<TGivenLoopSettings>(settings, timings);
    parts.Line = line_.TakeHostSide();
    parts.Status = &store_;
    return parts;
  }

  int QueryInt(const std::string& sql) { return std::atoi(Db().QueryText(sql).c_str()); }
  bool LogHas(const std::string& text) { return Db().LogText().find(text) != std::string::npos; }
  const metrics::TDeviceState* Device(const metrics::TSnapshot& s, int address) {
    for (const auto& d : s.devices)
      if (d.loopId == kLoopId && d.address == address) return &d;
    return nullptr;
  }

  platform::TMainLoop main_;
  TFakeLine line_;
  metrics::TStatusStore store_;
  fs::path home_;
};

TEST_P(LoopPartsTest, BuiltWithoutRegistrySettingsFileOrPortAndDrivenByDeviceEvents) {
  TLoopSettings settings;
  settings.CountersOff = true;
  settings.SyncMinutes = 3;
  settings.GraceTimePOF = 40;
  const TLineTimings timings{0, 0, 2};
  TLoop loop(Db().Log(), kLoopId, Parts(settings, timings));
  ASSERT_TRUE(loop.SetUp()) << Db().LogText();
  ASSERT_TRUE(loop.Card1 && loop.Card1->IsOpen()) << Db().LogText();

  // The parts and settings handed in are the ones in use.
  EXPECT_EQ(loop.Card1->FirstReader(), 1);
  EXPECT_EQ(loop.Card1->LastReader(), 2);
  EXPECT_EQ(loop.Card1->PollDelay(), 2u);
  EXPECT_TRUE(loop.Card1->NoCounters());
  EXPECT_EQ(loop.Settings.SyncMinutes, 3);
  EXPECT_EQ(loop.Settings.GraceTimePOF, 40);
  EXPECT_FALSE(fs::exists(home_ / "tarncard.ini"));
  EXPECT_TRUE(LogHas("Device started.  LoopId 7  First address: 1  Last address: 2"));
  const metrics::TSnapshot setUp = store_.Snapshot();
  ASSERT_EQ(setUp.loops.size(), 1u);
  EXPECT_TRUE(setUp.loops[0].open);
  ASSERT_NE(Device(setUp, 2), nullptr);
  EXPECT_EQ(Device(setUp, 2)->name, "Exit");
  for (const auto& l : metrics::TStatusStore::Instance().Snapshot().loops) EXPECT_NE(l.loopId, kLoopId);

  // Each step: what the devices do, the row that shows the handler ran, and for a read the
  // frame the reader gets.
  struct Step {
    const char* what;
    const char* command;  // emulator command; none: the devices' own power-up
    const char* sql;
    int value;
    char letter;  // frame to address 1, 0 for none
    const char* data;
  };
  const Step steps[] = {
      {"power-up of the entry", nullptr, "SELECT online_flag FROM device WHERE id = 71", 1, 0, nullptr},
      {"power-up of the exit", nullptr, "SELECT online_flag FROM device WHERE id = 72", 1, 0, nullptr},
      {"printer report", "printer 2 6", "SELECT ptr_stat FROM device WHERE id = 72", 6, 0, nullptr},
      {"card not on file", "card 1 5555", "SELECT count(*) FROM trans WHERE cardno = 5555 AND error_code = 1", 1,
       'B', "No card 5555"},
      {"exit goes off line", "off 2", "SELECT online_flag FROM device WHERE id = 72", 0, 0, nullptr},
      {"exit back on line", "on 2", "SELECT online_flag FROM device WHERE id = 72", 1, 0, nullptr},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const size_t from = line_.FrameCount();
    if (step.command) {
      ASSERT_EQ(line_.Command(step.command), "");
    }
    EXPECT_TRUE(main_.RunUntil([&] { return QueryInt(step.sql) == step.value; }, kWait)) << Db().LogText();
    if (step.letter) {
      bool seen = false;
      main_.RunUntil(
          [&] {
            const auto frames = line_.Frames();
            for (size_t i = from; i < frames.size() && !seen; ++i)
              seen = frames[i].address == 1 && frames[i].letter == step.letter && frames[i].data == step.data;
            return seen;
          },
          kWait);
      EXPECT_TRUE(seen);
    }
  }
  EXPECT_TRUE(LogHas("PowerUp Event, Device: Entry"));
  EXPECT_TRUE(LogHas("Offline, Device: Exit"));
  // The device states went to the store handed in.
  const metrics::TSnapshot after = store_.Snapshot();
  ASSERT_NE(Device(after, 2), nullptr);
  EXPECT_TRUE(Device(after, 2)->online);
  EXPECT_EQ(Device(after, 2)->printerStatus, 6);
}

// A database that cannot be reached: no component, nothing of the line touched, nothing
// set up in the store; the loop still goes away cleanly.
TEST_P(LoopPartsTest, WithoutTheDatabaseTheLoopStaysWithoutComponent) {
  TLoopParts parts = Parts(TLoopSettings{}, TLineTimings{});
  if (backend() == Backend::MariaDB)
    parts.Conn->Custom = Format("SERVER=127.0.0.1;PORT=%d", ClosedPort());
  else
    parts.Conn->DataBase = (home_ / "gone" / "site.db").string();
  {
    TLoop loop(Db().Log(), kLoopId, std::move(parts));
    EXPECT_FALSE(loop.SetUp());
    EXPECT_EQ(loop.Card1, nullptr);
    EXPECT_TRUE(loop.Counters.empty());
    EXPECT_TRUE(store_.Snapshot().loops.empty());
  }
  EXPECT_EQ(line_.FrameCount(), 0u);
  EXPECT_FALSE(LogHas("CreateCardInterface"));
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopPartsTest, TARN_BACKENDS);

}  // namespace
