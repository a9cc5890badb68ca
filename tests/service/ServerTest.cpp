// The server on a real database: start-up by computer name and POE/POF, the settings row,
// the reset request, the heartbeat, and the main timer's jobs with an injected clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "db/TODBCStatement.h"
#include "loop/TLoop.h"
#include "platform/MainLoop.h"
#include "support/ServiceTestSupport.h"
#include "service/TTARNCard.h"
#include "support/ScratchDir.h"
#include "support/SiteFiles.h"
#include "support/TestDatabase.h"

using namespace tarn;
using tarn::testing::Messages;
using tarn::testing::ReadLogLines;

namespace {

class ServerTest : public tarn::test::BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_svc"; }

  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped()) return;
    home_ = std::make_unique<tarn::testing::SiteHome>(tarn::testing::ScratchDir("service"));
  }
  void TearDown() override {
    service_.reset();
    loop_.reset();
    home_.reset();
    BackendTest::TearDown();
  }

  TTARNCard& Service(const std::string& computer) {
    tarn::testing::WriteRegistry(home_->Registry(), Db().Params(), computer);
    loop_ = std::make_unique<platform::TMainLoop>();
    service_ = std::make_unique<TTARNCard>(*loop_);
    return *service_;
  }

  std::vector<std::string> LogMessages() { return Messages(ReadLogLines(home_->Path())); }
  bool Logged(const std::string& text) {
    auto m = LogMessages();
    return std::find(m.begin(), m.end(), text) != m.end();
  }
  // "loop" is reserved in the MySQL family and quoted there.
  std::string L() { return TLoop::LoopTableName(Db().ODBC()); }
  std::optional<int64_t> Int(const std::string& sql) { return Db().QueryNumber(sql); }

  std::unique_ptr<tarn::testing::SiteHome> home_;
  std::unique_ptr<platform::TMainLoop> loop_;
  std::unique_ptr<TTARNCard> service_;
};

TEST_P(ServerTest, FindsItsLoopsByLowerCasedComputerNameAndThePoePofLoops) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (7, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (9, 'POE/POF', 0)"));
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (11, 'other-pc', 0)"));
  auto& svc = Service("SITE-PC");
  ASSERT_TRUE(svc.StartServer());
  EXPECT_TRUE(svc.Started);
  EXPECT_TRUE(svc.timMain.Enabled());
  ASSERT_EQ(svc.Loops.size(), 3u);
  EXPECT_EQ(svc.Loops[0]->LoopId, 3);
  EXPECT_EQ(svc.Loops[1]->LoopId, 7);
  EXPECT_EQ(svc.Loops[2]->LoopId, 9);
  EXPECT_EQ(svc.LoopIdList, "(3,7)");
  EXPECT_TRUE(Logged("Loops FOUND for computer name \"site-pc\""));
  EXPECT_TRUE(Logged("Loops (soft counts) FOUND for computer name \"POE/POF\""));
  EXPECT_TRUE(Logged("Started!"));
  // The empty settings table gains exactly one row with no reset pending.
  EXPECT_EQ(Int("select count(*) from settings"), 1);
  EXPECT_EQ(Int("select reset_vtsql from settings"), 0);
  svc.StopServer();
  EXPECT_FALSE(svc.Started);
  EXPECT_TRUE(svc.Loops.empty());
  EXPECT_EQ(svc.LoopIdList, "(3,7)");  // kept until the next start-up
}

TEST_P(ServerTest, PoePofLoopsAloneStartTheServer) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (9, 'poe/pof', 0)"));
  ASSERT_TRUE(Db().Exec("insert into settings (reset_vtsql) values (1)"));
  auto& svc = Service("lonely");
  ASSERT_TRUE(svc.StartServer());
  EXPECT_EQ(svc.LoopIdList, "()");
  auto m = LogMessages();
  auto none = std::find(m.begin(), m.end(), "No loops found for this computer name \"lonely\"");
  auto soft = std::find(m.begin(), m.end(), "Loops (soft counts) FOUND for computer name \"POE/POF\"");
  ASSERT_NE(none, m.end());
  ASSERT_NE(soft, m.end());
  EXPECT_LT(none, soft);
  // A pending reset request is cleared; the existing row is kept, not duplicated.
  EXPECT_EQ(Int("select count(*) from settings"), 1);
  EXPECT_EQ(Int("select reset_vtsql from settings"), 0);
  // Open requests cannot be asked of an empty loop list: the check is skipped quietly.
  svc.CheckOpenRequests();
  auto after = LogMessages();
  EXPECT_EQ(std::count_if(after.begin(), after.end(),
                          [](const std::string& s) { return s.find("State:") != std::string::npos; }),
            0);
}

TEST_P(ServerTest, NoLoopAtAllCountsAsAFailedStart) {
  auto& svc = Service("nobody");
  EXPECT_FALSE(svc.StartServer());
  EXPECT_FALSE(svc.Started);
  EXPECT_FALSE(svc.timMain.Enabled());
  EXPECT_TRUE(Logged("No loops found for this computer name \"nobody\""));
  EXPECT_TRUE(Logged("ShutDown..."));
  EXPECT_TRUE(Logged("End Log"));
}

TEST_P(ServerTest, ResetRequestStopsTheServerAndTheRestartClearsIt) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  auto& svc = Service("site-pc");
  svc.ServiceExecute();
  svc.tmrRestartTimer();
  ASSERT_TRUE(svc.Started);
  ASSERT_TRUE(Db().Exec("update settings set reset_vtsql = 1"));
  svc.timMainTimer();
  EXPECT_FALSE(svc.Started);
  EXPECT_FALSE(svc.timMain.Enabled());
  EXPECT_TRUE(Logged("ShutDown..."));
  // The restart timer brings it back at once (the last failed start lies far back).
  svc.tmrRestartTimer();
  EXPECT_TRUE(svc.Started);
  EXPECT_EQ(Int("select reset_vtsql from settings"), 0);
  svc.ServiceStop();
}

TEST_P(ServerTest, HeartbeatOnEveryEighthTick) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  auto alive = home_->Path() / "alive.txt";
  for (int i = 0; i < 7; ++i) svc.MainTick();
  EXPECT_FALSE(std::filesystem::exists(alive));
  svc.MainTick();
  EXPECT_EQ(tarn::testing::ReadFile(alive), "1\r\n");
  for (int i = 0; i < 8; ++i) svc.MainTick();
  EXPECT_EQ(tarn::testing::ReadFile(alive), "2\r\n");
  svc.StopServer();
  // A new start counts from 1 again.
  ASSERT_TRUE(svc.StartServer());
  for (int i = 0; i < 8; ++i) svc.MainTick();
  EXPECT_EQ(tarn::testing::ReadFile(alive), "1\r\n");
}

// Between gate schedules one read for all loops says which have lot-full flags: a loop without
// one makes no round trip at the tick (far away, each loop's own read held the main thread a
// round trip), a loop with one brings its outputs up to date at the next tick.
TEST_P(ServerTest, LotFullFlagsOfAllLoopsAreLookedAtInOneRead) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0), (4, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into device (id, loop_id, addr_ess, name, lf_sign) values (31, 3, 1, 'A', 1), "
                        "(41, 4, 1, 'B', 1)"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  ASSERT_EQ(svc.Loops.size(), 2u);
  svc.MainTick();  // the flags the set-up raised are served
  EXPECT_EQ(Int("select sum(lf_sign_flag) from device"), 0);
  auto trips = [&] {
    std::vector<uint64_t> out;
    for (auto& loop : svc.Loops) out.push_back(loop->DB->RoundTrips());
    return out;
  };
  const struct {
    const char* flagged;  // the device whose flag another program raises before the tick
    uint64_t loop3, loop4;  // round trips of each loop's connection at the tick
  } cases[] = {{nullptr, 0, 0}, {"41", 0, 1}, {"31", 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flagged ? c.flagged : "none");
    if (c.flagged) {
      ASSERT_TRUE(Db().Exec(std::string("update device set lf_sign_flag = 1 where id = ") + c.flagged));
    }
    const auto before = trips();
    svc.MainTick();
    const auto after = trips();
    EXPECT_EQ(after[0] - before[0] > 0, c.loop3 > 0);
    EXPECT_EQ(after[1] - before[1] > 0, c.loop4 > 0);
    EXPECT_EQ(Int("select sum(lf_sign_flag) from device"), 0);
  }
}

// alive.txt replaced by a link to a file only root may write, or by a FIFO: the heartbeat
// is not written through it (the tick says why in the log), and the file named keeps its
// content.
TEST_P(ServerTest, HeartbeatIsNotWrittenThroughWhatWasPlanted) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  const auto alive = home_->Path() / "alive.txt";
  const auto victim = home_->Path() / "root-only";
  std::ofstream(victim) << "keep\n";
  for (const bool fifo : {false, true}) {
    std::filesystem::remove(alive);
    if (fifo)
      ASSERT_EQ(::mkfifo(alive.c_str(), 0666), 0);
    else
      std::filesystem::create_symlink(victim, alive);
    for (int i = 0; i < 8; ++i) svc.timMainTimer();  // the timer's guard logs what a tick throws
    EXPECT_EQ(tarn::testing::ReadFile(victim), "keep\n");
  }
  svc.StopServer();
  std::string log;
  for (const auto& l : LogMessages()) log += l + "\n";
  EXPECT_NE(log.find("alive.txt\". " + alive.string() + " is a link, which is not followed"), std::string::npos) << log;
  EXPECT_NE(log.find(alive.string() + " is not a regular file"), std::string::npos) << log;
}

TEST_P(ServerTest, GateOpenWindowsAcrossMidnightEqualEndsAndHolidays) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into gateoc (device_id, dayofweek, start_time, end_time) values (5, 3, '22:00:00', '06:00:00')"));
  ASSERT_TRUE(Db().Exec("insert into gateoc (device_id, dayofweek, start_time, end_time) values (6, 3, '10:00:00', '10:00:00')"));
  ASSERT_TRUE(Db().Exec("insert into gateoc (device_id, dayofweek, start_time, end_time) values (5, 9, '08:00:00', '09:00:00')"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  TDateTime wed = EncodeDate(2026, 12, 9);  // a Wednesday: day 3
  auto at = [&](int h, int m, int s = 0) { return wed + EncodeTime(h, m, s); };
  EXPECT_TRUE(svc.InGateOpenWindow(5, 3, at(23, 30)));
  EXPECT_TRUE(svc.InGateOpenWindow(5, 3, at(5, 0)));
  EXPECT_TRUE(svc.InGateOpenWindow(5, 3, at(22, 0)));  // both ends inclusive
  EXPECT_TRUE(svc.InGateOpenWindow(5, 3, at(6, 0)));
  EXPECT_FALSE(svc.InGateOpenWindow(5, 3, at(6, 1)));
  EXPECT_FALSE(svc.InGateOpenWindow(5, 3, at(12, 0)));
  EXPECT_FALSE(svc.InGateOpenWindow(5, 4, at(5, 0)));  // Thursday's early hours need their own row
  EXPECT_FALSE(svc.InGateOpenWindow(6, 3, at(10, 0)));  // equal times never open
  EXPECT_TRUE(svc.InGateOpenWindow(5, 9, at(8, 30)));
}

TEST_P(ServerTest, GateScheduleHoldsGatesOpenByWindowPermOpenAndHolidayDay) {
  // A POE/POF loop has a loop component that is never opened: its gate states are still
  // tracked and written back, which lets this run without a serial line.
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (9, 'POE/POF', 0)"));
  ASSERT_TRUE(Db().Exec("insert into device (id, loop_id, addr_ess, name, perm_open) values (21, 9, 1, 'Perm', 1)"));
  ASSERT_TRUE(Db().Exec("insert into device (id, loop_id, addr_ess, name) values (22, 9, 2, 'Holiday')"));
  ASSERT_TRUE(Db().Exec("insert into device (id, loop_id, addr_ess, name) values (23, 9, 3, 'Weekday')"));
  ASSERT_TRUE(Db().Exec("insert into gateoc (device_id, dayofweek, start_time, end_time) values (22, 9, '00:00:00', '23:59:59')"));
  ASSERT_TRUE(Db().Exec("insert into gateoc (device_id, dayofweek, start_time, end_time) values (23, 3, '00:00:00', '23:59:59')"));
  ASSERT_TRUE(Db().Exec("insert into holiday (holi_day, tab_num) values ('2026-12-09', 2)"));
  auto& svc = Service("site-pc");
  TDateTime t = EncodeDateTime(2026, 12, 9, 12, 0, 0);
  ScopedClock clock([&] { return t; });
  ASSERT_TRUE(svc.StartServer());
  svc.ApplyGateSchedule();
  EXPECT_EQ(Int("select gate_up from device where id = 21"), 1);
  EXPECT_EQ(Int("select gate_up from device where id = 22"), 1);  // holiday tab 2: day 9 rows
  EXPECT_EQ(Int("select gate_up from device where id = 23"), 0);  // the weekday row does not apply
  ASSERT_TRUE(Db().Exec("update device set perm_open = 0 where id = 21"));
  t += 1.0;  // Thursday, no holiday
  svc.ApplyGateSchedule();
  EXPECT_EQ(Int("select gate_up from device where id = 21"), 0);
  EXPECT_EQ(Int("select gate_up from device where id = 22"), 0);
  EXPECT_EQ(Int("select gate_up from device where id = 23"), 0);
}

TEST_P(ServerTest, DailyAndImmediateCardResets) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into card (number, in_lot, in_gate) values (1001, 1, 5)"));
  ASSERT_TRUE(Db().Exec("insert into card_pool (id, max_inlot, cur_inlot) values (1, 10, 4)"));
  ASSERT_TRUE(Db().Exec("insert into settings (reset_vtsql, auto_reset, auto_reset_pathway, reset_time) values (0, 1, 1, '03:00:00')"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  TDateTime day = EncodeDate(2026, 12, 9);

  svc.AutoResetCards(day + EncodeTime(2, 59, 0));
  EXPECT_EQ(Int("select in_lot from card"), 1);
  svc.AutoResetCards(day + EncodeTime(3, 0, 30));
  EXPECT_EQ(Int("select in_lot from card"), 0);
  EXPECT_EQ(Int("select in_gate from card"), -1);
  EXPECT_EQ(Int("select cur_inlot from card_pool"), 4);  // groups are not configured
  EXPECT_TRUE(Logged("Auto Reset: Passback Pathways "));

  // Groups only.
  ASSERT_TRUE(Db().Exec("update settings set auto_reset = 0, auto_reset_pathway = 0, auto_reset_group = 1"));
  ASSERT_TRUE(Db().Exec("update card set in_lot = 2, in_gate = 7"));
  svc.AutoResetCards(day + EncodeTime(3, 0, 0));
  EXPECT_EQ(Int("select cur_inlot from card_pool"), 0);
  EXPECT_EQ(Int("select in_lot from card"), 2);
  EXPECT_TRUE(Logged("Auto Reset: Groups "));

  // An immediate passback request at any minute, cleared afterwards; groups follow the
  // daily group setting, pathways never.
  ASSERT_TRUE(Db().Exec("update card_pool set cur_inlot = 3"));
  ASSERT_TRUE(Db().Exec("update settings set auto_now = 1"));
  svc.AutoResetCards(day + EncodeTime(10, 18, 0));
  EXPECT_EQ(Int("select in_lot from card"), 0);
  EXPECT_EQ(Int("select in_gate from card"), 7);
  EXPECT_EQ(Int("select cur_inlot from card_pool"), 0);
  EXPECT_EQ(Int("select auto_now from settings"), 0);
}

// The daily reset over more cards than one part holds: every card is reset, the first and the
// last of each part included (a database server runs it in parts; SQLite in one UPDATE).
TEST_P(ServerTest, TheDailyResetReachesEveryCardAlsoInParts) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  std::string cards = "insert into card (number, in_lot, in_gate) values ";
  for (int n = 1; n <= 2500; ++n) cards += (n > 1 ? ", (" : "(") + std::to_string(n * 3) + ", 1, 5)";
  ASSERT_TRUE(Db().Exec(cards));
  ASSERT_TRUE(Db().Exec("insert into settings (reset_vtsql, auto_reset, auto_reset_pathway, reset_time) values (0, 1, 1, '03:00:00')"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  for (int part : {1000, 2500, 7}) {
    SCOPED_TRACE("parts of " + std::to_string(part));
    ASSERT_TRUE(Db().Exec("update card set in_lot = 1, in_gate = 5"));
    svc.ResetPartSize = part;
    svc.AutoResetCards(EncodeDate(2026, 12, 9) + EncodeTime(3, 0, 0));
    EXPECT_EQ(Int("select count(*) from card where in_lot <> 0 or in_gate <> -1"), 0);
    EXPECT_EQ(Int("select count(*) from card"), 2500);
  }
  EXPECT_TRUE(Logged("Auto Reset: Passback Pathways "));
}

// An immediate group request between the daily resets: every pool is emptied, the request
// is cleared, the card rows keep their in-lot and in-gate state, one log line says so.
TEST_P(ServerTest, ImmediateGroupResetLeavesTheCardsAlone) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into card (number, in_lot, in_gate) values (1001, 1, 5), (1002, 2, 6)"));
  ASSERT_TRUE(Db().Exec("insert into card_pool (id, max_inlot, cur_inlot) values (1, 10, 4), (2, 5, 5)"));
  ASSERT_TRUE(Db().Exec("insert into settings (reset_vtsql, auto_reset, auto_reset_pathway, reset_time, auto_now, "
                        "auto_now_grp) values (0, 1, 1, '03:00:00', 0, 1)"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  const auto before = LogMessages().size();
  svc.AutoResetCards(EncodeDateTime(2026, 12, 9, 10, 18, 0));
  EXPECT_EQ(Int("select count(*) from card_pool where cur_inlot = 0"), 2);
  EXPECT_EQ(Int("select max_inlot from card_pool where id = 2"), 5);
  EXPECT_EQ(Int("select auto_now_grp from settings"), 0);
  EXPECT_EQ(Int("select in_lot from card where number = 1001"), 1);
  EXPECT_EQ(Int("select in_gate from card where number = 1001"), 5);
  EXPECT_EQ(Int("select in_lot from card where number = 1002"), 2);
  EXPECT_EQ(Int("select in_gate from card where number = 1002"), 6);
  auto m = LogMessages();
  ASSERT_EQ(m.size(), before + 1);
  EXPECT_EQ(m.back(), "Auto Reset: Groups ");
  // Cleared: the next minute does nothing.
  ASSERT_TRUE(Db().Exec("update card_pool set cur_inlot = 3"));
  svc.AutoResetCards(EncodeDateTime(2026, 12, 9, 10, 19, 0));
  EXPECT_EQ(Int("select count(*) from card_pool where cur_inlot = 3"), 2);
  // At the daily time the card resets run as configured.
  svc.AutoResetCards(EncodeDateTime(2026, 12, 10, 3, 0, 0));
  EXPECT_EQ(Int("select count(*) from card where in_lot = 0 and in_gate = -1"), 2);
}

// A registry file that exists but cannot be read is logged at start-up.
TEST_P(ServerTest, UnreadableRegistryFileIsLoggedAtStartUp) {
  auto& svc = Service("site-pc");
  std::filesystem::remove(home_->Registry());
  std::filesystem::create_directory(home_->Registry());
  EXPECT_FALSE(svc.StartServer());
  EXPECT_TRUE(Logged("Registry file " + home_->Registry().string() +
                     " cannot be read (not a regular file): the built-in defaults are used"));
  svc.StopServer();
  std::filesystem::remove(home_->Registry());
}

// The main tick across minute changes: the minute jobs run on the first tick of a new
// minute only, and only with the first loop's "Auto Reset" on; that tick does not look for
// open requests; the last minute outlives a restart.
TEST_P(ServerTest, MinuteJobsOnTheFirstTickOfEachMinute) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into device (id, loop_id, addr_ess, name, open_flag) values (31, 3, 1, 'Gate', 1)"));
  ASSERT_TRUE(Db().Exec("insert into card (number, in_lot, in_gate) values (1001, 1, 5)"));
  ASSERT_TRUE(Db().Exec("insert into settings (reset_vtsql, auto_now) values (0, 1)"));
  auto& svc = Service("site-pc");
  TDateTime t = EncodeDateTime(2026, 12, 9, 10, 17, 30);
  ScopedClock clock([&] { return t; });
  ASSERT_TRUE(svc.StartServer());
  ASSERT_FALSE(svc.Loops.empty());
  auto request = [&] { ASSERT_TRUE(Db().Exec("update settings set auto_now = 1")); };
  auto reset = [&] { return Int("select in_lot from card") == 0 && Int("select auto_now from settings") == 0; };
  auto arm = [&] {
    ASSERT_TRUE(Db().Exec("update card set in_lot = 1"));
    request();
  };

  svc.MainTick();  // a new minute: the request is served, open requests wait
  EXPECT_TRUE(reset());
  EXPECT_EQ(Int("select open_flag from device where id = 31"), 1);
  svc.MainTick();  // same minute: open requests are looked at
  EXPECT_EQ(Int("select open_flag from device where id = 31"), 0);
  arm();
  t += 20.0 / 86400;  // 10:17:50
  svc.MainTick();
  EXPECT_FALSE(reset());
  t += 15.0 / 86400;  // 10:18:05
  svc.MainTick();
  EXPECT_TRUE(reset());

  // The first loop's "Auto Reset" off: the minute passes without resets.
  arm();
  svc.Loops.front()->Settings.AutoReset = false;
  t += 60.0 / 86400;  // 10:19:05
  svc.MainTick();
  EXPECT_FALSE(reset());
  EXPECT_EQ(Int("select auto_now from settings"), 1);

  // A restart within the minute: the minute jobs wait for the next minute.
  svc.StopServer();
  t += 10.0 / 86400;  // 10:19:15
  ASSERT_TRUE(svc.StartServer());
  ASSERT_TRUE(svc.Loops.front()->Settings.AutoReset);
  ASSERT_TRUE(Db().Exec("update device set open_flag = 1 where id = 31"));
  svc.MainTick();
  EXPECT_FALSE(reset());
  EXPECT_EQ(Int("select open_flag from device where id = 31"), 0);
  t += 50.0 / 86400;  // 10:20:05
  svc.MainTick();
  EXPECT_TRUE(reset());
  svc.StopServer();
}

// Gate-schedule day numbers run from Monday (1) to Sunday (7); holidays of table 2 use
// day 9, of any other table day 8.
TEST_P(ServerTest, GateScheduleDayNumbersAndHolidayTables) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (9, 'POE/POF', 0)"));
  ASSERT_TRUE(Db().Exec("insert into device (id, loop_id, addr_ess, name) values (51, 9, 1, 'Mon'), "
                        "(52, 9, 2, 'Wed'), (53, 9, 3, 'Sun'), (54, 9, 4, 'Holiday 1'), (55, 9, 5, 'Holiday 2')"));
  ASSERT_TRUE(Db().Exec("insert into gateoc (device_id, dayofweek, start_time, end_time) values "
                        "(51, 1, '00:00:00', '23:59:59'), (52, 3, '00:00:00', '23:59:59'), "
                        "(53, 7, '00:00:00', '23:59:59'), (54, 8, '00:00:00', '23:59:59'), "
                        "(55, 9, '00:00:00', '23:59:59')"));
  auto& svc = Service("site-pc");
  TDateTime t = EncodeDateTime(2026, 12, 9, 12, 0, 0);  // a plain Wednesday
  ScopedClock clock([&] { return t; });
  ASSERT_TRUE(svc.StartServer());
  auto up = [&] {
    std::string out;
    for (int id = 51; id <= 55; ++id) out += std::to_string(Int("select gate_up from device where id = " + std::to_string(id)).value_or(-1));
    return out;
  };
  svc.ApplyGateSchedule();
  EXPECT_EQ(up(), "01000");
  // Nothing changed: the holiday, the computer's lastupdate, the day's windows of every device
  // in one read and the loop's devices. Not one read per device: far away, each costs a round
  // trip of the main thread.
  const uint64_t before = svc.Env->RoundTrips();
  svc.ApplyGateSchedule();
  EXPECT_LE(svc.Env->RoundTrips() - before, 4u);
  t = EncodeDateTime(2026, 12, 7, 12, 0, 0);  // Monday
  svc.ApplyGateSchedule();
  EXPECT_EQ(up(), "10000");
  t = EncodeDateTime(2026, 12, 13, 12, 0, 0);  // Sunday
  svc.ApplyGateSchedule();
  EXPECT_EQ(up(), "00100");
  ASSERT_TRUE(Db().Exec("insert into holiday (holi_day, tab_num) values ('2026-12-09', 1), ('2026-12-10', 2)"));
  t = EncodeDateTime(2026, 12, 9, 12, 0, 0);  // Wednesday, a holiday of table 1
  svc.ApplyGateSchedule();
  EXPECT_EQ(up(), "00010");
  t = EncodeDateTime(2026, 12, 10, 12, 0, 0);  // Thursday, a holiday of table 2
  svc.ApplyGateSchedule();
  EXPECT_EQ(up(), "00001");
}

TEST_P(ServerTest, NothingConfiguredWritesNothing) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into card (number, in_lot) values (1001, 1)"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  auto before = LogMessages().size();
  svc.AutoResetCards(EncodeDateTime(2026, 12, 9, 0, 0, 0));
  EXPECT_EQ(Int("select in_lot from card"), 1);
  EXPECT_EQ(LogMessages().size(), before);
}

TEST_P(ServerTest, LotAndCounterResetsAtTheirMinutes) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("insert into lot (id, lot_count, auto_r_count, auto_r_time, reset_amt, cnt_reset_flag, cnt_reset_time, cnt_reset_amt) values (1, 50, 1, '04:00:00', 5, 1, '04:00:00', 0)"));
  ASSERT_TRUE(Db().Exec("insert into lot (id, lot_count, auto_r_count, auto_r_time, reset_amt) values (2, 70, 1, '04:00:00', 9)"));
  ASSERT_TRUE(Db().Exec("insert into device (id, loop_id, addr_ess, lot_id, count1, count2, count3, count4, count5, count_soft) values (30, 3, 1, 1, 1, 2, 3, 4, 5, 6)"));
  auto& svc = Service("site-pc");
  ASSERT_TRUE(svc.StartServer());
  svc.AutoResetCounts(EncodeDateTime(2026, 12, 9, 4, 1, 0));
  EXPECT_EQ(Int("select lot_count from lot where id = 1"), 50);
  svc.AutoResetCounts(EncodeDateTime(2026, 12, 9, 4, 0, 0));
  EXPECT_EQ(Int("select lot_count from lot where id = 1"), 5);
  EXPECT_EQ(Int("select lot_count from lot where id = 2"), 9);
  EXPECT_EQ(Int("select count1 + count2 + count3 + count4 + count5 + count_soft from device where id = 30"), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerTest, TARN_BACKENDS);

}  // namespace

namespace {

// A site that names an odbc.ini data source of the MariaDB server instead of a driver.
class DataSourceServerTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped()) return;
    if (backend() != tarn::test::Backend::MariaDB) GTEST_SKIP() << "a MariaDB data source";
    const std::string ini = (home_->Path() / "odbc.ini").string();
    std::ofstream(ini) << "[tarn_site]\nDriver=MariaDB Unicode\nSERVER=127.0.0.1\nPORT="
                       << tarn::test::MariaDBTestPort() << "\nDATABASE=" << Db().Params().Database << "\n";
    setenv("ODBCINI", ini.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ODBCINI");
    ServerTest::TearDown();
  }
  TTARNCard& DataSourceService(const std::string& computer) {
    tarn::test::ConnectionParams p = Db().Params();
    p.DSNName = "tarn_site";
    p.Driver = "";
    p.ConnectOptions = "";
    tarn::testing::WriteRegistry(home_->Registry(), p, computer);
    loop_ = std::make_unique<platform::TMainLoop>();
    service_ = std::make_unique<TTARNCard>(*loop_);
    return *service_;
  }
};

TEST_P(DataSourceServerTest, StartsAndAResetRestartLeaveOneSettingsRow) {
  ASSERT_TRUE(Db().Exec("insert into " + L() + " (id, name, enabled) values (3, 'site-pc', 0)"));
  ASSERT_TRUE(Db().Exec("delete from settings"));
  auto& svc = DataSourceService("site-pc");
  for (int start = 0; start < 3; ++start) {
    ASSERT_TRUE(svc.StartServer()) << "start " << start;
    EXPECT_NE(svc.Env->ConnectionInfo().find("DSN=tarn_site"), std::string::npos) << svc.Env->ConnectionInfo();
    // The data source's connection reports the row an UPDATE matched, changed or not.
    TODBCStatement st(svc.Env.get());
    const TSqlOutcome reset = st.Execute("UPDATE settings SET reset_vtsql = 0");
    ASSERT_TRUE(reset.ok()) << reset.ToString();
    EXPECT_EQ(reset.kind(), TSqlOutcome::TKind::Done) << "an UPDATE that matched a row reads as no row";
    svc.StopServer();
  }
  svc.ServiceExecute();
  svc.tmrRestartTimer();
  ASSERT_TRUE(svc.Started);
  ASSERT_TRUE(Db().Exec("update settings set reset_vtsql = 1"));
  svc.timMainTimer();
  ASSERT_FALSE(svc.Started);
  svc.tmrRestartTimer();
  ASSERT_TRUE(svc.Started);
  EXPECT_EQ(Int("select count(*) from settings"), 1);
  EXPECT_EQ(Int("select reset_vtsql from settings"), 0);
  svc.ServiceStop();
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, DataSourceServerTest, TARN_BACKENDS);
