// The real service against a MariaDB database whose link goes silent: the server sits behind
// a stand-in on 127.0.0.1 that relays to it, then keeps every connection open and drops every
// byte both ways (new connections are accepted and never answered), then refuses, then relays
// again. NOTIFY_SOCKET and WATCHDOG_USEC are set as systemd sets them. The main loop must keep
// turning (WATCHDOG=1 never more than 10 s apart), every read is answered (the first within
// 12 s, the later ones of a known outage within a second), hung connection attempts are spaced,
// and the first read after the server is back is decided normally, without a restart.
// A second run places the silence in the middle of a ticket decision, of a main-timer job and
// of a start-up.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Tick.h"
#include "support/HttpProbe.h"
#include "support/NotifySink.h"
#include "support/ReaderSite.h"
#include "support/ScratchDir.h"
#include "support/ServiceTestSupport.h"
#include "support/SimProcess.h"
#include "support/SiteFiles.h"
#include "support/TcpStandIn.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;
using ::tarn::testing::ChildProcess;
using ::tarn::testing::JsonInt;
using ::tarn::testing::JsonString;
using ::tarn::testing::Messages;
using ::tarn::testing::NotifySink;
using ::tarn::testing::ReadLogLines;
using ::tarn::testing::TSimProcess;
using ::tarn::testing::WaitFor;

constexpr uint64_t kSilentMs = 150000;
constexpr uint64_t kRefusingMs = 60000;
constexpr uint64_t kReadEveryMs = 10000;
// What the service promises.
constexpr uint64_t kWatchdogGapMs = 10000;
constexpr int64_t kFirstOutageAnswerMs = 12000;
constexpr int64_t kKnownOutageAnswerMs = 1000;
constexpr int64_t kBackAnswerMs = 10000;

// Card 7001.. are on file; a read is decided "Hello A", answered "Thank you..." (low security)
// without the database. A reader at address 1, an exit ticket reader at address 5.
std::vector<std::string> SiteRows() {
  return ::tarn::testing::ReaderSiteRows(
      "(1, 'site-s', 1, 1, 0)", "(101, 1, 1, 'Reader 1', 1, 3, 7, 0, 1), (105, 1, 5, 'Exit 5', 1, 2, 9, 2, 1)",
      "(1, 101)");
}

std::string CycleBarcode(TDateTime when, int lane) {
  const int year = DecodeDateTime(when).year;
  const int even = year % 2 == 0 ? year : year - 1;
  const auto seconds = static_cast<int64_t>(std::llround((when - EncodeDate(even, 1, 1)) * 86400.0));
  return Format("%.8d%.2d", seconds + 20000000, lane);
}

int CountFrom(const std::vector<std::string>& messages, const std::string& text, size_t from) {
  if (from > messages.size()) return 0;
  return static_cast<int>(std::count(messages.begin() + static_cast<long>(from), messages.end(), text));
}

int CountContaining(const std::vector<std::string>& messages, const std::string& text, size_t from) {
  int n = 0;
  for (size_t i = from; i < messages.size(); ++i) n += messages[i].find(text) != std::string::npos;
  return n;
}

// One read: what the reader was sent back and how long after the card it came.
struct Answer {
  std::string frame;  // command letter and data, e.g. "G007Hello A"
  int64_t ms = -1;    // -1: no answer within the wait
};

// A service of its own behind a stand-in, with a simulated loop and a notification sink.
class SilentSite {
 public:
  bool Open(const std::string& name, std::string& why) {
    db_ = std::make_unique<TestDatabase>(Backend::MariaDB, "tarn_rel", name);
    if (!db_->Create(&why)) return false;
    for (const std::string& sql : SiteRows())
      if (!db_->Exec(sql)) {
        why = sql;
        return false;
      }
    if (!db_->Exec(::tarn::testing::PlainCards(7001, 7200))) return false;
    standIn_ = std::make_unique<TcpStandIn>(MariaDBTestPort(), TcpStandIn::Forward);
    sim_ = std::make_unique<TSimProcess>(std::vector<std::string>{"--no-polls", "--baud", "9600", "1:reader", "5:exit"});
    if (standIn_->Port() <= 0 || !sim_->Started()) {
      why = "stand-in or simulator";
      return false;
    }
    home_ = ::tarn::testing::ScratchDir("reliability_" + name);
    statusPort_ = ::tarn::testing::FreeLoopbackPort();
    ConnectionParams p = db_->Params();
    p.ConnectOptions = "SERVER=127.0.0.1;PORT=" + std::to_string(standIn_->Port());
    ::tarn::testing::WriteRegistry(home_ / "registry.reg", p, "site-s", true);
    std::ofstream(home_ / "tarncard.ini") << "[Ports]\nCOM1=" << sim_->PtyPath()
                                          << "\n[Settings]\nLow Security on DB Error=1\n[Status]\nListen=127.0.0.1:"
                                          << statusPort_ << "\n";
    notify_ = std::make_unique<NotifySink>(fs::temp_directory_path() /
                                           ("tarn-notify-" + name + "-" + std::to_string(::getpid()) + ".sock"));
    service_ = std::make_unique<ChildProcess>(
        std::string(TARNCARD_BINARY_DIR) + "/tarncard", std::vector<std::string>{},
        std::vector<std::string>{"TARNCARD_HOME=" + home_.string(),
                                 "TARNCARD_REGISTRY=" + (home_ / "registry.reg").string(),
                                 "NOTIFY_SOCKET=" + notify_->Path().string(), "WATCHDOG_USEC=60000000"});
    if (!WaitFor([&] { return Logged("Started!"); }, 60000)) {
      why = "the service did not start";
      return false;
    }
    return true;
  }
  ~SilentSite() {
    if (service_ && !stopped_) service_->Signal(SIGKILL);
  }

  std::vector<std::string> Log() const { return Messages(ReadLogLines(home_)); }
  bool Logged(const std::string& text, size_t from = 0) const { return CountFrom(Log(), text, from) > 0; }
  TcpStandIn& StandIn() { return *standIn_; }
  TestDatabase& Db() { return *db_; }
  NotifySink& Notify() { return *notify_; }
  int StatusPort() const { return statusPort_; }

  // Presents a card (or a barcode at the exit) and waits for the reader's answer.
  Answer Present(const std::string& what, int address, const std::string& data, int waitMs = 30000) {
    const size_t mark = sim_->LineCount();
    const uint64_t sent = platform::TickMs();
    sim_->Send(what + " " + std::to_string(address) + " " + data);
    auto line = sim_->WaitFor(
        [&](const std::string& l) {
          if (JsonString(l, "t") != "frame" || JsonInt(l, "addr") != address) return false;
          const std::string cmd = JsonString(l, "cmd");
          return cmd == "G" || (cmd == "B" && !JsonString(l, "data").empty());
        },
        waitMs, mark);
    Answer a;
    if (!line) return a;
    a.ms = static_cast<int64_t>(platform::TickMs() - sent);
    a.frame = JsonString(*line, "cmd") + JsonString(*line, "data");
    return a;
  }
  Answer Card() { return Present("card", 1, std::to_string(nextCard_++)); }

  // The widest gap between two WATCHDOG=1 (and from the last one to now), from the last one
  // at or before `from` on; READY=1 counts as one (systemd's watchdog runs from it).
  uint64_t WidestWatchdogGap(uint64_t from) const {
    std::vector<uint64_t> beats = notify_->Times();
    const std::vector<uint64_t> ready = notify_->Times("READY=1");
    beats.insert(beats.end(), ready.begin(), ready.end());
    std::sort(beats.begin(), beats.end());
    if (beats.empty() || beats.front() > from) beats.insert(beats.begin(), from);
    size_t first = 0;
    while (first + 1 < beats.size() && beats[first + 1] <= from) ++first;
    uint64_t widest = 0;
    for (size_t i = first + 1; i < beats.size(); ++i) {
      widest = std::max(widest, beats[i] - beats[i - 1]);
      if (beats[i] - beats[i - 1] > 2000)
        std::printf("  watchdog gap of %llu ms, from %lld ms after the mark\n",
                    static_cast<unsigned long long>(beats[i] - beats[i - 1]),
                    static_cast<long long>(beats[i - 1]) - static_cast<long long>(from));
    }
    return std::max(widest, platform::TickMs() - beats.back());
  }

  // SIGTERM; the exit status and how long the stop took.
  bool Stop(int& status, uint64_t& tookMs) {
    const uint64_t began = platform::TickMs();
    service_->Signal(SIGTERM);
    const bool ended = service_->Wait(30000, status);
    tookMs = platform::TickMs() - began;
    stopped_ = ended;
    return ended;
  }

 private:
  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<TcpStandIn> standIn_;
  std::unique_ptr<TSimProcess> sim_;
  fs::path home_;
  int statusPort_ = 0;
  std::unique_ptr<NotifySink> notify_;
  std::unique_ptr<ChildProcess> service_;
  bool stopped_ = false;
  int nextCard_ = 7001;
};

// Waits until `ms` after `start` (a read every ten seconds).
void WaitUntil(uint64_t start, uint64_t ms) {
  WaitFor([&] { return platform::TickMs() - start >= ms; }, static_cast<int>(ms) + 1000);
}

std::string Figures(const std::vector<Answer>& answers) {
  std::string s;
  for (const Answer& a : answers) s += (s.empty() ? "" : " ") + std::to_string(a.ms);
  return s;
}

int64_t Slowest(const std::vector<Answer>& answers, size_t from = 0) {
  int64_t slowest = 0;
  for (size_t i = from; i < answers.size(); ++i) slowest = std::max(slowest, answers[i].ms);
  return slowest;
}

TEST(SilentDatabase, ASilentThenRefusingServerKeepsTheSiteAnsweringAndItComesBackByItself) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  SilentSite site;
  std::string why;
  ASSERT_TRUE(site.Open("silent_link", why)) << why;
  {
    const Answer normal = site.Card();
    ASSERT_EQ(normal.frame, "G007Hello A");
  }

  // --- silent: every link open, every byte dropped; new links accepted and never answered
  const size_t mark = site.Log().size();
  const int acceptedBefore = site.StandIn().Accepted();
  const uint64_t silentAt = platform::TickMs();
  site.StandIn().SetMode(TcpStandIn::Silent);
  std::vector<Answer> silent;
  std::string statusJson;
  std::string metricsText;
  for (uint64_t k = 0; k * kReadEveryMs < kSilentMs; ++k) {
    WaitUntil(silentAt, k * kReadEveryMs);
    silent.push_back(site.Card());
    ASSERT_GE(silent.back().ms, 0) << "read " << k << " of the silence was not answered";
    if (k == 3) {
      statusJson = ::tarn::testing::HttpGet(site.StatusPort(), "/status.json").body;
      metricsText = ::tarn::testing::HttpGet(site.StatusPort(), "/metrics").body;
    }
  }
  const std::vector<int64_t> accepts = site.StandIn().AcceptTimes();
  const size_t silentEnd = site.Log().size();

  // --- refusing: the port is closed, the silenced links are reset
  const uint64_t refusingAt = platform::TickMs();
  site.StandIn().SetMode(TcpStandIn::Refuse);
  std::vector<Answer> refusing;
  for (uint64_t k = 0; k * kReadEveryMs < kRefusingMs; ++k) {
    WaitUntil(refusingAt, k * kReadEveryMs);
    refusing.push_back(site.Card());
    ASSERT_GE(refusing.back().ms, 0) << "read " << k << " while refused was not answered";
  }
  const size_t refusingEnd = site.Log().size();

  // --- back: the real server behind the port again
  site.StandIn().SetMode(TcpStandIn::Forward);
  const Answer back = site.Card();
  const uint64_t widest = site.WidestWatchdogGap(silentAt);
  const std::vector<std::string> log = site.Log();

  // Every read was answered as in an outage; the first within 12 s of its card, the later
  // ones (the database known away) within a second.
  for (size_t i = 0; i < silent.size(); ++i) EXPECT_EQ(silent[i].frame, "G007Thank you...") << "silent read " << i;
  for (size_t i = 0; i < refusing.size(); ++i) EXPECT_EQ(refusing[i].frame, "G007Thank you...") << "refused read " << i;
  EXPECT_LE(silent.front().ms, kFirstOutageAnswerMs);
  EXPECT_LE(Slowest(silent, 1), kKnownOutageAnswerMs) << Figures(silent);
  EXPECT_LE(Slowest(refusing), kKnownOutageAnswerMs) << Figures(refusing);
  // Back: decided normally, within 10 s, without a restart.
  EXPECT_EQ(back.frame, "G007Hello A");
  EXPECT_LE(back.ms, kBackAnswerMs);
  EXPECT_EQ(CountFrom(log, "Start Log", mark), 0) << "the server restarted";
  EXPECT_EQ(CountFrom(log, "Started!", mark), 0) << "the server restarted";
  // The main loop turned all along.
  EXPECT_LE(widest, kWatchdogGapMs) << "the main loop stood still for " << widest << " ms";

  // Told: the abandoned call, then the outage's usual lines; the status page and the metrics.
  const int abandoned = CountContaining(log, " abandoned after ", mark);
  EXPECT_GE(abandoned, 1);
  size_t first = mark;
  while (first < log.size() && log[first].find(" abandoned after ") == std::string::npos) ++first;
  EXPECT_GT(CountFrom(log, "ODBC Connection 'Dead'!", first), 0);
  EXPECT_NE(statusJson.find("\"connected\":false"), std::string::npos) << statusJson;
  EXPECT_EQ(statusJson.find("\"abandoned\":0"), std::string::npos) << statusJson;
  EXPECT_NE(metricsText.find("tarncard_db_connected 0"), std::string::npos) << metricsText;
  EXPECT_NE(metricsText.find("tarncard_sql_abandoned_total "), std::string::npos) << metricsText;
  EXPECT_EQ(metricsText.find("tarncard_sql_abandoned_total 0\n"), std::string::npos) << metricsText;

  // Hung attempts are spaced: without the back-off the two connections would start one
  // about every 5 s each (some 60 in the silence); reads try at once, one at a time.
  const int silentAttempts = CountFrom(log, "Pinging - 127.0.0.1", mark) - CountFrom(log, "Pinging - 127.0.0.1", silentEnd);
  const int refusedAttempts = CountFrom(log, "Pinging - 127.0.0.1", silentEnd) - CountFrom(log, "Pinging - 127.0.0.1", refusingEnd);
  EXPECT_GE(silentAttempts, 4);
  EXPECT_LE(silentAttempts, 40) << "hung attempts are not spaced";
  int64_t closest = -1;
  for (size_t i = static_cast<size_t>(acceptedBefore) + 1; i < accepts.size(); ++i)
    closest = closest < 0 ? accepts[i] - accepts[i - 1] : std::min(closest, accepts[i] - accepts[i - 1]);

  int status = 0;
  uint64_t stopMs = 0;
  ASSERT_TRUE(site.Stop(status, stopMs));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  RecordProperty("WidestWatchdogGapMs", std::to_string(widest));
  RecordProperty("SilentAnswersMs", Figures(silent));
  RecordProperty("RefusedAnswersMs", Figures(refusing));
  std::printf("widest watchdog gap %llu ms\n", static_cast<unsigned long long>(widest));
  std::printf("silent %llu s: answers (ms) %s; slowest after the first %lld ms\n",
              static_cast<unsigned long long>(kSilentMs / 1000), Figures(silent).c_str(),
              static_cast<long long>(Slowest(silent, 1)));
  std::printf("refusing %llu s: answers (ms) %s\n", static_cast<unsigned long long>(kRefusingMs / 1000),
              Figures(refusing).c_str());
  std::printf("back: first read %s after %lld ms\n", back.frame.c_str(), static_cast<long long>(back.ms));
  std::printf("attempts: %d while silent (%zu connections accepted and held, closest two %lld ms apart), %d "
              "while refused; %d calls abandoned; stop took %llu ms\n",
              silentAttempts, accepts.size() - static_cast<size_t>(acceptedBefore), static_cast<long long>(closest),
              refusedAttempts, abandoned, static_cast<unsigned long long>(stopMs));
}

// The silence placed in the middle of a card decision, of a ticket decision, of a main-timer
// job (the gate schedule) and of a start-up (after a reset request, the loop's new connection). Each time
// the main loop turns, the call is given up within its bound, and once the server answers
// again the site decides reads as before.
TEST(SilentDatabase, SilenceInADecisionATimerJobAndAStartUp) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  SilentSite site;
  std::string why;
  ASSERT_TRUE(site.Open("silent_steps", why)) << why;
  ASSERT_EQ(site.Card().frame, "G007Hello A");
  auto forwardAndDecide = [&](const char* stage) {
    site.StandIn().SetMode(TcpStandIn::Forward);
    Answer a = site.Card();
    EXPECT_EQ(a.frame, "G007Hello A") << stage;
    EXPECT_LE(a.ms, kBackAnswerMs) << stage;
    return a;
  };

  {  // a card decision: the card's row never comes back; the read is answered as in an outage,
     // not refused as a card not on file
    SCOPED_TRACE("card decision");
    const size_t mark = site.Log().size();
    const uint64_t from = platform::TickMs();
    site.StandIn().SilenceOnText("FROM card WHERE number");
    const Answer card = site.Card();
    EXPECT_EQ(card.frame, "G007Thank you...");
    EXPECT_LE(card.ms, kFirstOutageAnswerMs);
    EXPECT_EQ(CountContaining(site.Log(), "Statement abandoned after 6.0 s without an answer from the database: "
                                          "BEGIN NOT ATOMIC SELECT * FROM device WHERE ",
                              mark),
              1);
    forwardAndDecide("after the card");
    EXPECT_LE(site.WidestWatchdogGap(from), kWatchdogGapMs);
    std::printf("card decision: answered %s after %lld ms\n", card.frame.c_str(), static_cast<long long>(card.ms));
  }
  {  // a ticket decision: the inventory lookup never comes back
    SCOPED_TRACE("ticket decision");
    const size_t mark = site.Log().size();
    const uint64_t from = platform::TickMs();
    site.StandIn().SilenceOnText("from tickinv");
    const Answer ticket = site.Present("barcode", 5, CycleBarcode(Now(), 12));
    EXPECT_GE(ticket.ms, 0) << "the ticket was not answered";
    EXPECT_LE(ticket.ms, kFirstOutageAnswerMs);
    EXPECT_EQ(site.StandIn().CurrentMode(), TcpStandIn::Silent);
    EXPECT_EQ(CountContaining(site.Log(), "Statement abandoned after 6.0 s without an answer from the database: "
                                          "BEGIN NOT ATOMIC select * from tickinv where barcode=",
                              mark),
              1);
    const Answer card = site.Card();  // the outage is known now: the last pulse, "Thank you..."
    EXPECT_EQ(card.frame.substr(0, 1) + card.frame.substr(4), "GThank you...") << card.frame;
    EXPECT_LE(card.ms, kKnownOutageAnswerMs);
    forwardAndDecide("after the ticket");
    EXPECT_LE(site.WidestWatchdogGap(from), kWatchdogGapMs);
    std::printf("ticket decision: answered %s after %lld ms; next read %lld ms\n", ticket.frame.c_str(),
                static_cast<long long>(ticket.ms), static_cast<long long>(card.ms));
  }
  {  // a main-timer job: the gate schedule's first statement never comes back
    SCOPED_TRACE("gate schedule");
    const size_t mark = site.Log().size();
    const uint64_t from = platform::TickMs();
    site.StandIn().SilenceOnText("SET lastupdate");
    ASSERT_TRUE(WaitFor([&] { return site.StandIn().CurrentMode() == TcpStandIn::Silent; }, 20000));
    const Answer card = site.Card();
    EXPECT_EQ(card.frame.substr(0, 1) + card.frame.substr(4), "GThank you...") << card.frame;
    EXPECT_LE(card.ms, kFirstOutageAnswerMs);
    EXPECT_EQ(CountContaining(site.Log(), "abandoned after 6.0 s without an answer from the database: UPDATE `loop` "
                                          "SET lastupdate",
                              mark),
              1);
    forwardAndDecide("after the gate schedule");
    EXPECT_LE(site.WidestWatchdogGap(from), kWatchdogGapMs);
    std::printf("gate schedule: read during it answered after %lld ms\n", static_cast<long long>(card.ms));
  }
  {  // a start-up: a reset request restarts the server, and the loop's new connection hangs
    SCOPED_TRACE("start-up");
    const size_t mark = site.Log().size();
    const uint64_t from = platform::TickMs();
    site.StandIn().SilenceAtConnection(site.StandIn().Accepted() + 2);
    ASSERT_TRUE(site.Db().Exec("UPDATE settings SET reset_vtsql = 1"));
    ASSERT_TRUE(WaitFor([&] { return site.StandIn().CurrentMode() == TcpStandIn::Silent; }, 20000));
    // The start-up gives up (a loop could not reach the database) and is tried again later.
    ASSERT_TRUE(WaitFor(
        [&] {
          return CountFrom(site.Log(), "Failed connection, check ODBC install and parameters, retrying in 20 seconds",
                           mark) > 0;
        },
        30000));
    std::vector<std::string> log = site.Log();
    size_t starting = mark;
    while (starting < log.size() && log[starting] != "Starting server, Reading Registry") ++starting;
    EXPECT_EQ(CountFrom(log, "Started!", mark), 0);
    const uint64_t silentFor = platform::TickMs() - from;
    site.StandIn().SetMode(TcpStandIn::Forward);
    ASSERT_TRUE(WaitFor([&] { return site.Logged("Started!", mark); }, 60000)) << "no start after the silence";
    const Answer a = site.Card();
    EXPECT_EQ(a.frame, "G007Hello A");
    EXPECT_LE(site.WidestWatchdogGap(from), kWatchdogGapMs);
    std::printf("start-up: silent for %llu ms; widest watchdog gap %llu ms\n",
                static_cast<unsigned long long>(silentFor),
                static_cast<unsigned long long>(site.WidestWatchdogGap(from)));
  }
  int status = 0;
  uint64_t stopMs = 0;
  ASSERT_TRUE(site.Stop(status, stopMs));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace tarn::test
