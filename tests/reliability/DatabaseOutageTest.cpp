// The real service against a database server that goes away: a private MariaDB server of
// this test (port 33081, data under the build folder) is stopped during card traffic and
// started again 30 s later. A second service instance starts while the server is down and
// must start within the restart rhythm once it is back; its loop's port cannot be opened.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/TRegistryEx.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "platform/Tick.h"
#include "support/HttpProbe.h"
#include "support/ServiceTestSupport.h"
#include "support/PrivateMariaDB.h"
#include "support/ReaderSite.h"
#include "support/ScratchDir.h"
#include "support/SimProcess.h"
#include "support/SiteFiles.h"
#include "support/TestDatabase.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;
using ::tarn::testing::ChildProcess;
using ::tarn::testing::JsonInt;
using ::tarn::testing::JsonString;
using ::tarn::testing::Messages;
using ::tarn::testing::ReadLogLines;
using ::tarn::testing::TSimProcess;

// The private server's port: a free one, so two runs of the suite on one machine (two
// build folders) cannot reach each other's server.
int PrivatePort() {
  static const int port = ::tarn::testing::FreeLoopbackPort();
  return port;
}
constexpr const char* kDatabase = "tarn_soak_outage";

// Loops "site-a" (readers 1-3, where card type 1 has access) and "site-b" (one reader).
std::vector<std::string> SiteRows() {
  return ::tarn::testing::ReaderSiteRows(
      "(1, 'site-a', 1, 1, 0), (2, 'site-b', 1, 2, 0)",
      "(101, 1, 1, 'Reader 1', 1, 3, 7, 0, 1), (102, 1, 2, 'Reader 2', 1, 3, 7, 0, 1), "
      "(103, 1, 3, 'Reader 3', 1, 3, 7, 0, 1), (201, 2, 1, 'Far reader', 1, 3, 5, 0, 1)",
      "(1, 101), (1, 102), (1, 103)");
}

int Count(const std::vector<std::string>& messages, const std::string& text, size_t from = 0) {
  if (from > messages.size()) return 0;
  return static_cast<int>(std::count(messages.begin() + static_cast<long>(from), messages.end(), text));
}

long HeartbeatOf(const fs::path& home) {
  return StrToIntDef(Trim(::tarn::testing::ReadFile(home / "alive.txt")), -1);
}

// Open descriptors of a process (sockets of dropped connections would pile up here).
long OpenFiles(pid_t pid) {
  long n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// User and system CPU seconds of a process.
double CpuSecondsOf(pid_t pid) {
  std::string stat = ::tarn::testing::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::vector<std::string> fields = Split(stat.substr(paren + 2), ' ');
  if (fields.size() < 13) return -1;
  return static_cast<double>(StrToIntDef(fields[11], 0) + StrToIntDef(fields[12], 0)) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

bool Alive(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == 0;
}

// One service site: home folder with registry and settings file.
struct Site {
  fs::path home;
  std::vector<std::string> Env() const {
    return {"TARNCARD_HOME=" + home.string(), "TARNCARD_REGISTRY=" + (home / "registry.reg").string()};
  }
  std::vector<std::string> Log() const { return Messages(ReadLogLines(home)); }
  bool Logged(const std::string& text, size_t from = 0) const { return Count(Log(), text, from) > 0; }
};

Site MakeSite(const fs::path& home, const std::string& computer, const std::string& ports) {
  fs::create_directories(home);
  ConnectionParams p;
  p.Host = "127.0.0.1";
  p.Database = kDatabase;
  p.User = "tarn";
  p.Password = "tarn";
  p.Driver = "MariaDB Unicode";
  p.ConnectOptions = "SERVER=127.0.0.1;PORT=" + std::to_string(PrivatePort());
  ::tarn::testing::WriteRegistry(home / "registry.reg", p, computer, true);
  std::ofstream(home / "tarncard.ini") << "[Ports]\n" << ports << "[Settings]\nLow Security on DB Error=1\n[Status]\nListen=\n";
  return Site{home};
}

// Presents a card at `address` and waits for the reader's answer (G or a B with a message).
std::optional<std::string> PresentCard(TSimProcess& sim, int address, const std::string& card) {
  const size_t mark = sim.LineCount();
  sim.Send("card " + std::to_string(address) + " " + card);
  return sim.WaitFor(
      [&](const std::string& l) {
        if (JsonString(l, "t") != "frame" || JsonInt(l, "addr") != address) return false;
        const std::string cmd = JsonString(l, "cmd");
        return cmd == "G" || (cmd == "B" && !JsonString(l, "data").empty());
      },
      15000, mark);
}

TEST(DatabaseOutage, ReadsAreAnsweredThroughAnOutageAndEveryUpReadHasOneRow) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  PrivateMariaDB server("mariadb-outage", PrivatePort());
  std::string why;
  ASSERT_TRUE(server.Install(&why)) << why;
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitReady(60000)) << "private server did not come up";
  {
    TODBC admin;
    ASSERT_TRUE(admin.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode", server.Options()));
    TODBCStatement st(&admin);
    ASSERT_TRUE(st.ExecSQL(std::string("CREATE DATABASE ") + kDatabase));
    TODBC db;
    ASSERT_TRUE(db.ConnectToDataSource("", "tarn", "tarn", kDatabase, "MariaDB Unicode", server.Options()));
    for (const std::string& sql : ReadSqlScript(SchemaPath(Backend::MariaDB))) {
      TODBCStatement s(&db);
      ASSERT_TRUE(s.ExecSQL(sql)) << sql;
    }
    for (const std::string& sql : SiteRows()) {
      TODBCStatement s(&db);
      ASSERT_TRUE(s.ExecSQL(sql)) << sql;
    }
    TODBCStatement s(&db);
    ASSERT_TRUE(s.ExecSQL(::tarn::testing::PlainCards(5001, 5060)));
  }

  TSimProcess sim({"--no-polls", "--baud", "9600", "1-3"});
  ASSERT_TRUE(sim.Started());
  const fs::path root = ::tarn::testing::ScratchDir("reliability");
  const Site a = MakeSite(root / "a", "site-a", "COM1=" + sim.PtyPath() + "\n");
  // Site b's loop names a serial device that does not exist.
  const Site b = MakeSite(root / "b", "site-b", "COM2=" + (root / "no-such-tty").string() + "\n");
  const std::string exe = std::string(TARNCARD_BINARY_DIR) + "/tarncard";

  ChildProcess serviceA(exe, {}, a.Env());
  ASSERT_TRUE(::tarn::testing::WaitFor([&] { return a.Logged("Started!"); }, 30000));
  ASSERT_TRUE(::tarn::testing::WaitFor([&] { return HeartbeatOf(a.home) >= 1; }, 15000));

  // A reader powered off for a while (3 s here, a minute on a site) is reported off line
  // once and back once: the on-line report and its own power-up reply.
  const int powerUpsBefore = Count(a.Log(), "PowerUp Event, Device: Reader 3");
  sim.Send("off 3");
  ASSERT_TRUE(::tarn::testing::WaitFor([&] { return a.Logged("Offline, Device: Reader 3"); }, 10000));
  const uint64_t offAt = platform::TickMs();
  ::tarn::testing::WaitFor([&] { return platform::TickMs() - offAt >= 3000; }, 5000);
  sim.Send("on 3");
  ASSERT_TRUE(::tarn::testing::WaitFor(
      [&] { return Count(a.Log(), "PowerUp Event, Device: Reader 3") == powerUpsBefore + 2; }, 10000));
  EXPECT_EQ(Count(a.Log(), "Offline, Device: Reader 3"), 1);

  // Traffic while the database is up: every read is decided and recorded.
  int card = 5001;
  std::vector<int> upReads;
  for (int i = 0; i < 6; ++i, ++card) {
    auto answer = PresentCard(sim, 1 + i % 3, std::to_string(card));
    ASSERT_TRUE(answer) << "no answer to card " << card;
    EXPECT_EQ(JsonString(*answer, "cmd"), "G");
    EXPECT_EQ(JsonString(*answer, "data"), "007Hello A");
    upReads.push_back(card);
  }
  const long filesBefore = OpenFiles(serviceA.Pid());

  // Outage: the server goes away; a second service starts meanwhile and fails to.
  const size_t markA = a.Log().size();
  server.Stop();
  const uint64_t downAt = platform::TickMs();
  ChildProcess serviceB(exe, {}, b.Env());
  const long beatAtStop = HeartbeatOf(a.home);
  const double cpuAtStop = CpuSecondsOf(serviceA.Pid());
  std::vector<std::string> outageAnswers;
  while (platform::TickMs() - downAt < 30000) {
    auto answer = PresentCard(sim, 1 + card % 3, std::to_string(card));
    ++card;
    ASSERT_TRUE(answer) << "a read during the outage was not answered";
    outageAnswers.push_back(JsonString(*answer, "cmd") + JsonString(*answer, "data"));
    // One read per heartbeat: the main timer must keep ticking while the database is away.
    const long beat = HeartbeatOf(a.home);
    ::tarn::testing::WaitFor([&] { return HeartbeatOf(a.home) > beat || platform::TickMs() - downAt >= 30000; },
                             10000);
  }
  EXPECT_GE(HeartbeatOf(a.home), beatAtStop + 4) << "the heartbeat stopped during the outage";
  // Polling, failed reconnects and the main timer together stay far from a busy core.
  const double outageCpu = CpuSecondsOf(serviceA.Pid()) - cpuAtStop;
  EXPECT_LT(outageCpu, 0.3 * static_cast<double>(platform::TickMs() - downAt) / 1000.0)
      << "CPU seconds during the outage: " << outageCpu;
  ASSERT_GE(outageAnswers.size(), 4u);
  for (const auto& answer : outageAnswers) EXPECT_EQ(answer, "G007Thank you...");
  EXPECT_TRUE(Alive(serviceA.Pid()));
  EXPECT_TRUE(b.Logged("Failed connection, check ODBC install and parameters, retrying in 20 seconds"));
  EXPECT_FALSE(b.Logged("Started!"));
  {
    const auto log = a.Log();
    EXPECT_GE(Count(log, "ODBC Connection 'Dead'!", markA), 1);
    const long allowed = std::count_if(log.begin() + static_cast<long>(markA), log.end(), [](const std::string& m) {
      return m.rfind("Cannot connect to DB!  Card Allowed,  Loop Id 1 address ", 0) == 0;
    });
    EXPECT_EQ(allowed, static_cast<long>(outageAnswers.size()));
  }

  // The server is back: the next Connect of the loop and of the server reconnect.
  const size_t markBack = a.Log().size();
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitReady(60000));
  const uint64_t upAt = platform::TickMs();
  for (int i = 0; i < 3; ++i, ++card) {
    auto answer = PresentCard(sim, 1 + i, std::to_string(card));
    ASSERT_TRUE(answer);
    EXPECT_EQ(JsonString(*answer, "data"), "007Hello A");
    upReads.push_back(card);
  }
  // One reconnection for the loop's connection and one for the server's (main timer).
  EXPECT_TRUE(::tarn::testing::WaitFor([&] { return Count(a.Log(), "Connected to DataSource!", markBack) >= 2; },
                                       10000))
      << Count(a.Log(), "Connected to DataSource!", markBack);
  EXPECT_LE(OpenFiles(serviceA.Pid()), filesBefore + 2) << "descriptors left behind by the outage";

  // The instance that could not start starts on the restart timer's next attempt.
  ASSERT_TRUE(::tarn::testing::WaitFor([&] { return b.Logged("Started!"); }, 40000)) << "site b never started";
  const uint64_t startedAfter = platform::TickMs() - upAt;
  EXPECT_LE(startedAfter, 24000u) << "started " << startedAfter << " ms after the server came back";
  RecordProperty("StartAfterServerBackMs", std::to_string(startedAfter));
  EXPECT_TRUE(b.Logged("Failed to open port COM2 for loop id 2"));
  ASSERT_TRUE(::tarn::testing::WaitFor([&] { return HeartbeatOf(b.home) >= 2; }, 20000));
  EXPECT_TRUE(Alive(serviceB.Pid()));

  // Every read made while the database was up has exactly one trans row; the outage's none.
  TODBC db;
  ASSERT_TRUE(db.ConnectToDataSource("", "tarn", "tarn", kDatabase, "MariaDB Unicode", server.Options()));
  TODBCStatement rows(&db);
  ASSERT_TRUE(rows.ExecSQL("select count(*) as n, count(distinct card_no) as d, min(card_no) as lo from trans"));
  EXPECT_EQ(rows.FieldAsInteger("n"), static_cast<int>(upReads.size()));
  EXPECT_EQ(rows.FieldAsInteger("d"), static_cast<int>(upReads.size()));
  for (int n : upReads) {
    TODBCStatement one(&db);
    ASSERT_TRUE(one.ExecSQL(Format("select count(*) as n from trans where card_no = %d", n)));
    EXPECT_EQ(one.FieldAsInteger("n"), 1) << "card " << n;
  }

  for (ChildProcess* child : {&serviceA, &serviceB}) {
    child->Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(child->Wait(20000, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
}

}  // namespace
}  // namespace tarn::test
