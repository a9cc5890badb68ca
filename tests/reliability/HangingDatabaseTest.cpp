// The real service against a database host that hangs: the server sits behind a stand-in on
// 127.0.0.1 that first relays to it, then accepts and never answers (links dropped), then
// relays again. The main loop must keep turning (watchdog messages on a test NOTIFY_SOCKET),
// reads are answered as during any outage, the failed attempts are spaced by the back-off,
// and the service carries on by itself once the server answers again.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Tick.h"
#include "support/ReaderSite.h"
#include "support/ScratchDir.h"
#include "support/ServiceTestSupport.h"
#include "support/SimProcess.h"
#include "support/SiteFiles.h"
#include "support/TcpStandIn.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;
using ::tarn::testing::ChildProcess;
using ::tarn::testing::JsonInt;
using ::tarn::testing::JsonString;
using ::tarn::testing::Messages;
using ::tarn::testing::ReadLogLines;
using ::tarn::testing::TSimProcess;
using ::tarn::testing::WaitFor;

// How long the host hangs: 3 minutes, three times the watchdog period and long enough for
// the back-off to reach its 30 s ceiling and stay there.
constexpr uint64_t kHangMs = 180000;

// One reader on loop 1 of this computer ("site-h").
std::vector<std::string> SiteRows() {
  return ::tarn::testing::ReaderSiteRows("(1, 'site-h', 1, 1, 0)", "(101, 1, 1, 'Reader 1', 1, 3, 7, 0, 1)",
                                         "(1, 101)");
}

// The receiving end of the service's notifications: a datagram socket and a thread that
// notes when each "WATCHDOG=1" arrived.
class NotifySink {
 public:
  explicit NotifySink(const fs::path& path) : path_(path) {
    fs::remove(path_);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof(a.sun_path), "%s", path_.c_str());
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return;
    timeval tv{0, 200000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    thread_ = std::thread([this] {
      char buffer[256];
      while (!stop_.load()) {
        const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) continue;
        if (std::string(buffer, static_cast<size_t>(n)).find("WATCHDOG=1") == std::string::npos) continue;
        std::lock_guard<std::mutex> g(mutex_);
        beats_.push_back(platform::TickMs());
      }
    });
  }
  ~NotifySink() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    std::error_code ec;
    fs::remove(path_, ec);
  }
  std::vector<uint64_t> Beats() {
    std::lock_guard<std::mutex> g(mutex_);
    return beats_;
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<uint64_t> beats_;
  std::thread thread_;
};

std::optional<std::string> PresentCard(TSimProcess& sim, int address, const std::string& card) {
  const size_t mark = sim.LineCount();
  sim.Send("card " + std::to_string(address) + " " + card);
  return sim.WaitFor(
      [&](const std::string& l) {
        if (JsonString(l, "t") != "frame" || JsonInt(l, "addr") != address) return false;
        const std::string cmd = JsonString(l, "cmd");
        return cmd == "G" || (cmd == "B" && !JsonString(l, "data").empty());
      },
      20000, mark);
}

int CountFrom(const std::vector<std::string>& messages, const std::string& text, size_t from) {
  if (from > messages.size()) return 0;
  return static_cast<int>(std::count(messages.begin() + static_cast<long>(from), messages.end(), text));
}

TEST(HangingDatabase, TheMainLoopTurnsReadsAreAnsweredAndTheServiceReconnectsByItself) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  TestDatabase db(Backend::MariaDB, "tarn_rel", "hanging_host");
  std::string why;
  ASSERT_TRUE(db.Create(&why)) << why;
  for (const std::string& sql : SiteRows()) ASSERT_TRUE(db.Exec(sql)) << sql;
  ASSERT_TRUE(db.Exec(::tarn::testing::PlainCards(7001, 7100)));

  TcpStandIn standIn(MariaDBTestPort(), TcpStandIn::Forward);
  ASSERT_GT(standIn.Port(), 0);
  TSimProcess sim({"--no-polls", "--baud", "9600", "1"});
  ASSERT_TRUE(sim.Started());
  const fs::path home = ::tarn::testing::ScratchDir("reliability_hang");
  ConnectionParams p = db.Params();
  p.ConnectOptions = "SERVER=127.0.0.1;PORT=" + std::to_string(standIn.Port());
  ::tarn::testing::WriteRegistry(home / "registry.reg", p, "site-h", true);
  std::ofstream(home / "tarncard.ini") << "[Ports]\nCOM1=" << sim.PtyPath()
                                       << "\n[Settings]\nLow Security on DB Error=1\n[Status]\nListen=\n";
  // A socket path must fit the 108 bytes of an AF_UNIX address: not under the build folder.
  NotifySink notify(fs::temp_directory_path() / ("tarn-notify-" + std::to_string(::getpid()) + ".sock"));
  auto log = [&] { return Messages(ReadLogLines(home)); };
  auto logged = [&](const std::string& text, size_t from = 0) { return CountFrom(log(), text, from) > 0; };

  ChildProcess service(std::string(TARNCARD_BINARY_DIR) + "/tarncard", {},
                       {"TARNCARD_HOME=" + home.string(), "TARNCARD_REGISTRY=" + (home / "registry.reg").string(),
                        "NOTIFY_SOCKET=" + notify.Path().string(), "WATCHDOG_USEC=60000000"});
  ASSERT_TRUE(WaitFor([&] { return logged("Started!"); }, 60000));
  int card = 7001;
  {
    auto answer = PresentCard(sim, 1, std::to_string(card++));
    ASSERT_TRUE(answer);
    EXPECT_EQ(JsonString(*answer, "data"), "007Hello A");
  }

  // The host hangs: every link is dropped, new ones are accepted and never answered.
  const size_t mark = log().size();
  standIn.SetMode(TcpStandIn::Hold);
  const uint64_t hangAt = platform::TickMs();
  std::vector<std::string> answers;
  while (platform::TickMs() - hangAt < kHangMs) {
    auto answer = PresentCard(sim, 1, std::to_string(card++));
    ASSERT_TRUE(answer) << "a read while the host hangs was not answered";
    answers.push_back(JsonString(*answer, "cmd") + JsonString(*answer, "data"));
    WaitFor([&] { return platform::TickMs() - hangAt >= kHangMs; }, 5000);  // about one read in 5 s
  }
  ASSERT_GE(answers.size(), 18u);  // some 36 in the 3 minutes
  // The first read may still find the old link; every later one is answered as in an outage.
  for (size_t i = 1; i < answers.size(); ++i) EXPECT_EQ(answers[i], "G007Thank you...") << "read " << i;
  {
    // Two connections (server and loop), each about 5 s per hung attempt: without spacing
    // they would try some 70 times in the 3 minutes; with the back-off (2, 4, 8, 16, then
    // 30 s) each starts one at about 0, 7, 16, 29, 50, 85, 120 and 155 s: some 16 in all.
    const int attempts = CountFrom(log(), "Pinging - 127.0.0.1", mark);
    EXPECT_GE(attempts, 8);
    EXPECT_LE(attempts, 24) << "failed attempts are not spaced";
    EXPECT_GE(CountFrom(log(), "Could not connect to DataSource, check your setup...", mark), 8);
    std::printf("%d failed attempts while the host hung\n", attempts);
  }

  // The real server is behind the port again: the service reconnects without a restart.
  standIn.SetMode(TcpStandIn::Forward);
  const size_t back = log().size();
  bool decided = false;
  const uint64_t forwardAt = platform::TickMs();
  while (!decided && platform::TickMs() - forwardAt < 90000) {
    auto answer = PresentCard(sim, 1, std::to_string(card++));
    decided = answer && JsonString(*answer, "data") == "007Hello A";
    if (!decided) {
      const uint64_t readAt = platform::TickMs();
      WaitFor([&] { return platform::TickMs() - readAt >= 2000; }, 3000);  // one read in 2 s
    }
  }
  ASSERT_TRUE(decided) << "the service did not reconnect";
  ASSERT_LE(card, 7100) << "ran out of cards on file";
  EXPECT_EQ(CountFrom(log(), "Start Log", back), 0) << "the server restarted";

  // The watchdog was fed all along: no gap near the 30 s half-period of WATCHDOG_USEC.
  const std::vector<uint64_t> beats = notify.Beats();
  ASSERT_GE(beats.size(), 10u);
  uint64_t widest = 0;
  for (size_t i = 1; i < beats.size(); ++i) widest = std::max(widest, beats[i] - beats[i - 1]);
  EXPECT_LE(widest, 20000u) << "the main loop stood still for " << widest << " ms";
  RecordProperty("WidestWatchdogGapMs", std::to_string(widest));
  std::printf("widest watchdog gap %llu ms over %zu messages\n", static_cast<unsigned long long>(widest),
              beats.size());

  service.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(service.Wait(30000, status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace tarn::test
