// The status store and the status server in process, on loopback: what the store keeps
// and how it is written out (JSON that parses, metrics that promtool accepts), and how the
// server treats ordinary, unauthorised and hostile clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "service/StatusServer.h"
#include "metrics/StatusStore.h"
#include "service/StatusText.h"
#include "support/HttpProbe.h"
#include "support/ScratchDir.h"
#include "support/ServiceTestSupport.h"

namespace tarn::status {
namespace {

using metrics::TDecision;
using metrics::TSnapshot;

using ::tarn::testing::HttpGet;
using ::tarn::testing::RunCommand;
using ::tarn::testing::TcpClient;

// Writes `text` to a scratch file and runs `command` with it on standard input.
std::pair<int, std::string> Feed(const std::string& text, const std::string& command) {
  const std::string file = (::tarn::testing::ScratchDir("status") / "input.txt").string();
  std::ofstream(file, std::ios::trunc) << text;
  return RunCommand(command + " < " + file);
}

TDecision Card(int loop, int address, const std::string& number, int code, bool passed) {
  TDecision d;
  d.when = Now();
  d.loopId = loop;
  d.address = address;
  d.kind = "card";
  d.subject = number;
  d.errorCode = code;
  d.result = metrics::CardResultName(code);
  d.message = passed ? "Welcome" : "Refused";
  d.passed = passed;
  d.latency = 0.004;
  return d;
}

// A store with a loop, hostile names included (quotes, backslashes, control and 8-bit
// characters, markup).
void Fill(TStatusStore& s) {
  s.SetService("LANE-PC", "1.0.0.0", Now());
  s.LoopSetUp(1, 1, "/dev/ttyS0", true);
  s.DeviceSetUp(1, 1, 101, "Entry \"1\" \\ </script><b>", 0);
  s.DeviceSetUp(1, 2, 102, std::string("Exit\x01\t\xe9"), 2);
  s.DeviceOnline(1, 1, true);
  s.Lot(1, "Main \"lot\"\n", 3, 100);
  s.Decision(Card(1, 1, "1001", 0, true));
  s.Decision(Card(1, 2, "9999", 1, false));
  s.ObserveStatement(0.002);
  s.DatabaseConnected(true, "");
}

// The IPv4 connections to `port` as the kernel sees them: established ones, and those of
// them still waiting in the listening socket's accept queue (not taken by the server yet).
struct TPortConnections {
  long established = 0;
  long queued = -1;  // -1: nothing listens
  long Taken() const { return established - std::max(queued, 0L); }
};
TPortConnections PortConnections(int port) {
  TPortConnections out;
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (std::stol(local.substr(local.find(':') + 1), nullptr, 16) != port) continue;
    if (state == "01") ++out.established;
    if (state == "0A") out.queued = std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);  // tx:rx
  }
  return out;
}

TEST(StatusListen, AddressesAndErrors) {
  TListenAddress a;
  std::string error;
  ASSERT_TRUE(ParseListen("127.0.0.1:8480", a, error));
  EXPECT_EQ(a.host, "127.0.0.1");
  EXPECT_EQ(a.port, 8480);
  ASSERT_TRUE(ParseListen("[::1]:9000", a, error));
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, 9000);
  ASSERT_TRUE(ParseListen(" 8481 ", a, error)) << "a bare port stays on loopback";
  EXPECT_EQ(a.host, "127.0.0.1");
  EXPECT_EQ(a.port, 8481);
  for (const char* bad : {"", "127.0.0.1:", ":8480", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:80x", "::1:8480",
                          "[::1]8480", "host:123456"}) {
    EXPECT_FALSE(ParseListen(bad, a, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(StatusListen, DefaultIsLoopbackAndWrittenBack) {
  const std::string dir = ::tarn::testing::ScratchDir("status-ini").string();
  const std::string ini = dir + "/tarncard.ini";
  std::filesystem::remove(ini);
  TStatusConfig c = ReadStatusConfig(ini);
  EXPECT_EQ(c.listen, "127.0.0.1:8480");
  EXPECT_EQ(c.token, "");
  std::ifstream in(ini);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Listen=127.0.0.1:8480"), std::string::npos) << text;
  EXPECT_NE(text.find("Hosts=\r\n"), std::string::npos) << text;
  EXPECT_TRUE(c.hosts.empty());
  std::ofstream(ini, std::ios::trunc) << "[Status]\nListen=\nToken= s3cret \nHosts= lane-pc, status.example.org  10.0.0.7\n";
  c = ReadStatusConfig(ini);
  EXPECT_EQ(c.listen, "") << "an empty value turns the page off";
  EXPECT_EQ(c.token, "s3cret");
  EXPECT_EQ(c.hosts, (std::vector<std::string>{"lane-pc", "status.example.org", "10.0.0.7"}));
}

TEST(StatusStore, KeepsTheLastHundredDecisionsAndCountsThemAll) {
  TStatusStore s;
  Fill(s);
  for (int i = 0; i < 250; ++i) s.Decision(Card(1, 1, std::to_string(5000 + i), i % 3 == 0 ? 0 : 2, i % 3 == 0));
  TSnapshot snap = s.Snapshot();
  ASSERT_EQ(snap.decisions.size(), TStatusStore::kMaxDecisions);
  EXPECT_EQ(snap.decisions.back().subject, "5249");
  EXPECT_EQ(snap.decisions.front().subject, "5150");
  uint64_t total = 0;
  for (auto& [key, n] : snap.decisionCounts) total += n;
  EXPECT_EQ(total, 252u);
  EXPECT_EQ(snap.latency.Count(), 252u);
  // Newest first in the JSON.
  const std::string json = StatusJson(snap);
  EXPECT_LT(json.find("\"5249\""), json.find("\"5248\""));
}

TEST(StatusStore, LoopCountersSurviveAReopenedLine) {
  TStatusStore s;
  s.LoopSetUp(1, 1, "/dev/ttyS0", true);
  s.LoopCounters(1, 100, 2, 1);
  s.LoopCounters(1, 150, 3, 1);
  // The loop is built again (a server restart): its component counts from 0.
  s.LoopClosed(1);
  s.LoopSetUp(1, 1, "/dev/ttyS0", true);
  s.LoopCounters(1, 20, 0, 4);
  const TSnapshot snap = s.Snapshot();
  ASSERT_EQ(snap.loops.size(), 1u);
  EXPECT_EQ(snap.loops[0].exchanges, 170u);
  EXPECT_EQ(snap.loops[0].strayReplies, 3u);
  EXPECT_EQ(snap.loops[0].droppedCommands, 5u);
  EXPECT_TRUE(snap.devices.empty());
}

TEST(StatusStore, DatabaseStateAndReconnects) {
  TStatusStore s;
  s.DatabaseConnected(false, "Could not connect to DataSource");
  EXPECT_EQ(s.Snapshot().database.reconnects, 0u) << "never connected: nothing to reconnect";
  s.DatabaseConnected(true, "");
  s.DatabaseConnected(true, "");
  s.DatabaseConnected(false, "ODBC connection lost");
  s.DatabaseConnected(true, "");
  const TSnapshot snap = s.Snapshot();
  EXPECT_TRUE(snap.database.connected);
  EXPECT_EQ(snap.database.reconnects, 1u);
  EXPECT_EQ(snap.database.lastError, "ODBC connection lost");
  EXPECT_GT(snap.database.lastErrorAt, 0);
}

TEST(StatusStore, RoundTripsPerDecisionByKind) {
  TStatusStore s;
  s.Decision(Card(1, 1, "1001", 0, true));
  s.Decision(Card(1, 2, "1002", 2, false));
  // kind, round trips of one decision; the last card decision gets the card's figure.
  const struct {
    const char* kind;
    uint64_t trips;
  } reported[] = {{"card", 26}, {"card", 10}, {"ticket", 7}, {"dispenser", 12}, {"dispenser", 14}};
  for (const auto& r : reported) s.RoundTrips(r.kind, r.trips);
  const TSnapshot snap = s.Snapshot();
  const struct {
    const char* kind;
    uint64_t decisions, trips, last;
  } expected[] = {{"card", 2, 36, 10}, {"ticket", 1, 7, 7}, {"dispenser", 2, 26, 14}};
  for (const auto& e : expected) {
    ASSERT_EQ(snap.roundTrips.count(e.kind), 1u) << e.kind;
    const metrics::TRoundTrips& r = snap.roundTrips.at(e.kind);
    EXPECT_EQ(r.decisions, e.decisions) << e.kind;
    EXPECT_EQ(r.roundTrips, e.trips) << e.kind;
    EXPECT_EQ(r.last, e.last) << e.kind;
  }
  // Each report lands on the newest decision of its kind that has none yet.
  EXPECT_EQ(snap.decisions.back().roundTrips, 26);
  EXPECT_EQ(snap.decisions.front().roundTrips, -1);
  auto [rc, out] = Feed(StatusJson(snap),
                        "python3 -c 'import json,sys; d=json.load(sys.stdin); r=d[\"database\"][\"round_trips\"]; "
                        "print(int(r[\"card\"][\"per_decision\"]), r[\"dispenser\"][\"last\"], d[\"decisions\"][0][\"round_trips\"])'");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(out, "18 14 26\n");
  const std::string metrics = MetricsText(snap);
  EXPECT_NE(metrics.find("tarncard_decision_round_trips_total{kind=\"card\"} 36"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("tarncard_decisions_measured_total{kind=\"dispenser\"} 2"), std::string::npos) << metrics;
  auto [promRc, promOut] = Feed(metrics, "promtool check metrics");
  EXPECT_EQ(promRc, 0) << promOut;
}

TEST(StatusStore, JsonParsesAndMetricsPassPromtool) {
  TStatusStore s;
  Fill(s);
  const TSnapshot snap = s.Snapshot();
  auto [jsonRc, jsonOut] = Feed(StatusJson(snap),
                                "python3 -c 'import json,sys; d=json.load(sys.stdin); "
                                "print(d[\"loops\"][0][\"devices\"][0][\"name\"]); print(d[\"lots\"][0][\"name\"])'");
  EXPECT_EQ(jsonRc, 0) << jsonOut;
  EXPECT_NE(jsonOut.find("Entry \"1\" \\ </script><b>"), std::string::npos) << jsonOut;
  const std::string metrics = MetricsText(snap);
  auto [rc, out] = Feed(metrics, "promtool check metrics");
  EXPECT_EQ(rc, 0) << out << "\n" << metrics;
  EXPECT_NE(metrics.find("tarncard_decisions_total{kind=\"card\",result=\"not_on_file\"} 1"), std::string::npos);
  EXPECT_NE(metrics.find("tarncard_lot_occupancy{lot=\"1\",name=\"Main \\\"lot\\\"\\n\"} 3"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("tarncard_card_gate_latency_seconds_bucket{le=\"0.005\"} 2"), std::string::npos);
  EXPECT_NE(metrics.find("tarncard_devices_online{loop=\"1\"} 2"), std::string::npos) << "both answered";
}

// Names as the database holds them: UTF-8 goes out once encoded, as it is; a byte outside a
// well-formed character (a single-byte code page) is its Latin-1 character; the JSON stays
// valid UTF-8 and the metrics pass promtool.
TEST(StatusStore, Utf8NamesAreEncodedOnce) {
  struct Case {
    std::string stored;
    std::string json;   // between the quotes
    std::string label;  // between the quotes
  };
  const std::vector<Case> cases = {
      {"M\xC3\xBCller", "M\xC3\xBCller", "M\xC3\xBCller"},
      {"\xE2\x82\xAC 5 \xF0\x9F\x85\xBF", "\xE2\x82\xAC 5 \xF0\x9F\x85\xBF", "\xE2\x82\xAC 5 \xF0\x9F\x85\xBF"},
      {"Caf\xE9", "Caf\\u00e9", "Caf\xC3\xA9"},
      {"cut \xC3", "cut \\u00c3", "cut \xC3\x83"},
      {"\xED\xA0\x80", "\\u00ed\\u00a0\\u0080", "\xC3\xAD\xC2\xA0\xC2\x80"},
      {"bell\x07 del\x7F", "bell\\u0007 del\\u007f", "bell? del?"},
  };
  TStatusStore s;
  for (size_t i = 0; i < cases.size(); ++i) s.Lot(static_cast<int>(i + 1), cases[i].stored, 0, 10);
  const TSnapshot snap = s.Snapshot();
  const std::string json = StatusJson(snap);
  const std::string metrics = MetricsText(snap);
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_NE(json.find("\"name\":\"" + cases[i].json + "\""), std::string::npos) << cases[i].stored << "\n" << json;
    EXPECT_NE(metrics.find("lot=\"" + std::to_string(i + 1) + "\",name=\"" + cases[i].label + "\"}"), std::string::npos)
        << cases[i].stored;
  }
  // Python reads the JSON as strict UTF-8 and gets the names back as the page shows them.
  auto [rc, out] = Feed(json, "python3 -c 'import json,sys; d=json.load(sys.stdin.buffer); "
                              "print(\"|\".join(l[\"name\"] for l in d[\"lots\"]))'");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(out, "M\xC3\xBCller|\xE2\x82\xAC 5 \xF0\x9F\x85\xBF|Caf\xC3\xA9|cut \xC3\x83|\xC3\xAD\xC2\xA0\xC2\x80|bell\x07 del\x7F\n");
  auto [promRc, promOut] = Feed(metrics, "promtool check metrics");
  EXPECT_EQ(promRc, 0) << promOut;
}

class StatusServerTest : public ::testing::Test {
 protected:
  void StartServer(const std::string& token = "") {
    Fill(store_);
    server_ = std::make_unique<TStatusServer>(store_, token);
    ASSERT_TRUE(server_->Start(TListenAddress{"127.0.0.1", 0})) << server_->Error();
    port_ = server_->Port();
    ASSERT_GT(port_, 0);
  }
  // Idle connections up to the server's bound and `waiting` more, opened one after another
  // (each is established once the kernel has queued it for the server). True once the server
  // holds its bound and leaves the others in the kernel's accept queue: a server taking more
  // than its bound would leave none waiting there.
  bool FillToTheBound(std::vector<TcpClient>& clients, long waiting) {
    for (long i = 0; i < TStatusServer::kMaxConnections + waiting; ++i) {
      clients.emplace_back(port_);
      if (!clients.back().Ok()) return false;
    }
    TPortConnections seen;
    const bool held = ::tarn::testing::WaitFor([&] {
      seen = PortConnections(port_);
      return seen.Taken() + seen.queued >= TStatusServer::kMaxConnections + waiting &&
             seen.Taken() >= TStatusServer::kMaxConnections;
    }, 30000);
    EXPECT_EQ(seen.Taken(), TStatusServer::kMaxConnections) << "connections taken by the server";
    EXPECT_EQ(seen.queued, waiting) << "connections left in the kernel's accept queue";
    return held;
  }
  TStatusStore store_;
  std::unique_ptr<TStatusServer> server_;
  int port_ = 0;
};

TEST_F(StatusServerTest, ServesThePageTheJsonAndTheMetrics) {
  StartServer();
  auto page = HttpGet(port_, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.headers.find("text/html"), std::string::npos);
  EXPECT_NE(page.headers.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
  EXPECT_NE(page.body.find("status.json"), std::string::npos);
  // Self-contained: nothing is fetched from elsewhere.
  for (const char* external : {"http://", "https://", "//cdn", "src=\"", "<link"})
    EXPECT_EQ(page.body.find(external), std::string::npos) << external;

  auto json = HttpGet(port_, "/status.json");
  EXPECT_EQ(json.status, 200);
  EXPECT_NE(json.headers.find("application/json"), std::string::npos);
  EXPECT_NE(json.body.find("\"computer\":\"LANE-PC\""), std::string::npos);
  EXPECT_NE(json.headers.find("Cache-Control: no-store"), std::string::npos);

  auto metrics = HttpGet(port_, "/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_NE(metrics.headers.find("text/plain; version=0.0.4"), std::string::npos);
  EXPECT_NE(metrics.body.find("tarncard_db_connected 1"), std::string::npos);

  // A change in the store shows in the next answer.
  EXPECT_NE(metrics.body.find("tarncard_devices_online{loop=\"1\"} 2"), std::string::npos);
  store_.DeviceOnline(1, 1, false);
  EXPECT_NE(HttpGet(port_, "/metrics").body.find("tarncard_devices_online{loop=\"1\"} 1"), std::string::npos);
}

TEST_F(StatusServerTest, TokenIsRequiredOnEveryPath) {
  StartServer("s3cret-token");
  for (const char* path : {"/", "/status.json", "/metrics", "/nowhere"}) {
    auto none = HttpGet(port_, path);
    EXPECT_EQ(none.status, 401) << path;
    EXPECT_NE(none.headers.find("WWW-Authenticate: Bearer"), std::string::npos) << path;
    EXPECT_EQ(none.body.find("LANE-PC"), std::string::npos) << path;
    EXPECT_EQ(HttpGet(port_, path, {"Authorization: Bearer s3cret-toke"}).status, 401) << path;
    EXPECT_EQ(HttpGet(port_, path, {"Authorization: Bearer s3cret-token2"}).status, 401) << path;
    EXPECT_EQ(HttpGet(port_, path, {"Authorization: Bearer s3cret-tokeN"}).status, 401) << path;
    EXPECT_EQ(HttpGet(port_, path, {"Authorization: Basic s3cret-token"}).status, 401) << path;
  }
  EXPECT_EQ(HttpGet(port_, "/status.json", {"Authorization: Bearer s3cret-token"}).status, 200);
  EXPECT_EQ(HttpGet(port_, "/nowhere", {"Authorization: Bearer s3cret-token"}).status, 404);
}

TEST_F(StatusServerTest, HostileRequestsAreAnsweredOrRefusedCleanly) {
  StartServer();
  EXPECT_EQ(HttpGet(port_, "/../../etc/passwd").status, 404);
  EXPECT_EQ(HttpGet(port_, "/status.json/../metrics%00").status, 404);
  {  // a request body is not taken
    TcpClient c(port_);
    ASSERT_TRUE(c.Ok());
    c.Send("POST /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
    EXPECT_EQ(::tarn::testing::ParseReply(c.ReadResponse(10000)).status, 413);
  }
  {  // a header line far beyond the limit: refused, the connection ends
    TcpClient c(port_);
    ASSERT_TRUE(c.Ok());
    c.Send("GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(64 * 1024, 'a') + "\r\n\r\n");
    const std::string raw = c.ReadAll(15000);
    EXPECT_TRUE(raw.empty() || raw.compare(0, 10, "HTTP/1.1 4") == 0) << raw.substr(0, 80);
  }
  {  // a URI beyond the limit
    auto r = HttpGet(port_, "/" + std::string(20000, 'x'));
    EXPECT_TRUE(r.status == 0 || r.status == 414 || r.status == 400) << r.status;
  }
  {  // garbage
    TcpClient c(port_);
    ASSERT_TRUE(c.Ok());
    static const char kHandshake[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03garbage\r\n\r\n";
    c.Send(std::string(kHandshake, sizeof kHandshake - 1));
    const std::string raw = c.ReadAll(15000);
    EXPECT_TRUE(raw.empty() || raw.compare(0, 10, "HTTP/1.1 4") == 0) << raw.substr(0, 80);
  }
  EXPECT_EQ(HttpGet(port_, "/status.json").status, 200) << "the server still answers";
}

// One request on a fresh connection: the answer, and whether the server ended the
// connection after it (looked at for a second, when `watchClose`).
struct TExchange {
  int status = 0;
  bool closed = false;
  std::string raw;
};
TExchange Exchange(int port, const std::string& request, bool watchClose = true) {
  TcpClient c(port);
  TExchange e;
  if (!c.Ok()) return e;
  c.SetSendTimeout(5000);
  c.Send(request);  // may fail part way: the server stops reading what it refuses
  e.raw = c.ReadResponse(10000);
  e.status = ::tarn::testing::ParseReply(e.raw).status;
  e.closed = watchClose && c.PeerClosed(1000);
  return e;
}

// `count` header lines of `valueBytes` bytes each.
std::string HeaderLines(int count, size_t valueBytes) {
  std::string out;
  for (int i = 0; i < count; ++i) out += "X-Line-" + std::to_string(i) + ": " + std::string(valueBytes, 'v') + "\r\n";
  return out;
}

TEST_F(StatusServerTest, RequestHeadsAreCutAtTheirBounds) {
  StartServer();
  const std::string get = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n";  // Host is header line 1
  struct Case {
    const char* what;
    std::string request;
    int status;
    bool closed;
  };
  const std::vector<Case> cases = {
      {"100 header lines", get + HeaderLines(99, 20) + "\r\n", 200, false},
      {"101 header lines", get + HeaderLines(100, 20) + "\r\n", 431, true},
      {"thousands of short lines", get + HeaderLines(5000, 1) + "\r\n", 431, true},
      {"lines of bare line feeds", get + std::string(200, '\n') + "\r\n", 431, true},
      {"three 8000-byte lines (24 KiB)", get + HeaderLines(3, 8000) + "\r\n", 200, false},
      {"five 8000-byte lines (40 KiB)", get + HeaderLines(5, 8000) + "\r\n", 431, true},
      {"one line of 1 MiB", get + "X-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n", 431, true},
      {"a request line of 40 KiB", "GET /" + std::string(40 * 1024, 'x') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 414,
       true},
      {"a request line of 20 KiB", "GET /" + std::string(20 * 1024, 'x') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 414,
       true},
  };
  for (const Case& c : cases) {
    const TExchange e = Exchange(port_, c.request);
    EXPECT_EQ(e.status, c.status) << c.what << "\n" << e.raw.substr(0, 200);
    EXPECT_EQ(e.closed, c.closed) << c.what;
    if (c.status != 200) {
      EXPECT_EQ(e.raw.find("LANE-PC"), std::string::npos) << c.what;
    }
  }
  EXPECT_EQ(HttpGet(port_, "/status.json").status, 200) << "the server still answers";
}

// The flood that once grew the process by the size of the headers sent: four connections at
// once, each sending up to 64 MiB of header lines, with a token set (checked only once the
// head is in). The process's resident memory stays within a few MiB.
TEST_F(StatusServerTest, HeaderFloodsTakeNoMemory) {
  StartServer("flood-token");
  constexpr size_t kFlood = 64u << 20;
  const long before = ::tarn::testing::ResidentKiB(::getpid());
  std::atomic<long> peak{before};
  std::atomic<bool> flooding{true};
  std::thread sampler([&] {
    while (flooding) {
      const long now = ::tarn::testing::ResidentKiB(::getpid());
      if (now > peak) peak = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<std::string> answers(4);
  std::vector<size_t> sent(4, 0);
  {
    std::vector<std::thread> floods;
    for (size_t i = 0; i < answers.size(); ++i)
      floods.emplace_back([&, i] { answers[i] = ::tarn::testing::HeaderFlood(port_, kFlood, sent[i]); });
    for (auto& t : floods) t.join();
  }
  flooding = false;
  sampler.join();
  for (size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i], "HTTP/1.1 431 Request Header Fields Too Large") << "flood " << i;
    EXPECT_LT(sent[i], kFlood) << "flood " << i << " was read to its end";
  }
  std::printf("header floods: resident memory %ld KiB before, %ld KiB at the peak\n", before, peak.load());
  // The thread checker gives every thread (five here) its own shadow memory and caches, some
  // MiB each: its bound is wider, still an eighth of one flood. The address checker's
  // quarantine keeps freed blocks resident, so it has none.
#if defined(__SANITIZE_ADDRESS__)
  std::printf("resident memory not bounded under the address checker\n");
#else
#if defined(__SANITIZE_THREAD__)
  constexpr long kBoundKiB = 32 * 1024;
#else
  constexpr long kBoundKiB = 8 * 1024;
#endif
  EXPECT_LT(peak - before, kBoundKiB) << "resident memory grew from " << before << " KiB to " << peak << " KiB";
#endif
  EXPECT_EQ(HttpGet(port_, "/status.json", {"Authorization: Bearer flood-token"}).status, 200);
}

TEST_F(StatusServerTest, HostNamesOtherThanOursGetNothing) {
  Fill(store_);
  server_ = std::make_unique<TStatusServer>(store_, "", std::vector<std::string>{"lane-pc", "Status.Example.ORG."});
  ASSERT_TRUE(server_->Start(TListenAddress{"127.0.0.1", 0})) << server_->Error();
  port_ = server_->Port();
  const std::vector<std::pair<std::string, int>> cases = {
      {"127.0.0.1", 200},
      {"127.0.0.1:8480", 200},
      {"localhost", 200},
      {"LocalHost:8480", 200},
      {"lane-pc:80", 200},
      {"LANE-PC", 200},
      {"status.example.org", 200},
      {"status.example.org.:8480", 200},
      {"evil.attacker.example", 421},
      {"evil.attacker.example:8480", 421},
      {"127.0.0.1.nip.io", 421},
      {"lane-pc.evil.example", 421},
      {"localhost.evil.example", 421},
      {"[::1]:8480", 421},
      {"", 421},
      {"0.0.0.0", 421},
  };
  for (const auto& [host, status] : cases) {
    const TExchange e = Exchange(port_, "GET /status.json HTTP/1.1\r\nHost: " + host + "\r\n\r\n", status != 200);
    EXPECT_EQ(e.status, status) << "Host: " << host;
    if (status == 421) {
      EXPECT_EQ(e.raw.find("LANE-PC"), std::string::npos) << host;
      EXPECT_TRUE(e.closed) << host;
    }
  }
  // No browser leaves Host out: an HTTP/1.0 client that does is answered.
  EXPECT_EQ(Exchange(port_, "GET /status.json HTTP/1.0\r\n\r\n", false).status, 200);
  EXPECT_EQ(Exchange(port_, "GET /status.json HTTP/1.1\r\n\r\n").status, 421) << "HTTP/1.1 without Host";

  // With a token the name is still checked first: the right token from a foreign page
  // gets nothing either.
  server_ = std::make_unique<TStatusServer>(store_, "s3cret", std::vector<std::string>{});
  ASSERT_TRUE(server_->Start(TListenAddress{"127.0.0.1", 0})) << server_->Error();
  EXPECT_EQ(HttpGet(server_->Port(), "/status.json", {"Host: evil.attacker.example", "Authorization: Bearer s3cret"})
                .status,
            200)
      << "HttpGet sends Host: 127.0.0.1 first; a second Host header is not the one read";
  EXPECT_EQ(Exchange(server_->Port(),
                     "GET /status.json HTTP/1.1\r\nHost: evil.attacker.example\r\nAuthorization: Bearer s3cret\r\n\r\n")
                .status,
            421);
}

TEST_F(StatusServerTest, BodiesAreRefusedAndNeverReadAsARequest) {
  StartServer();
  const std::string smuggled = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {"GET with a length", "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled,
       413},
      {"GET with chunks", "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                              std::string("2d\r\n") + smuggled + "\r\n0\r\n\r\n",
       413},
      {"POST with a length", "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello" + smuggled, 413},
      {"POST without a length", "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + smuggled, 405},
      {"DELETE", "DELETE /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + smuggled, 405},
  };
  for (const Case& c : cases) {
    const TExchange e = Exchange(port_, c.request);
    EXPECT_EQ(e.status, c.status) << c.what << "\n" << e.raw.substr(0, 300);
    EXPECT_TRUE(e.closed) << c.what;
    EXPECT_EQ(e.raw.find("HTTP/1.1", 1), std::string::npos) << c.what << ": a second answer\n" << e.raw;
  }
  // A length of 0 is no body: answered, and the connection serves on.
  TcpClient c(port_);
  ASSERT_TRUE(c.Ok());
  ASSERT_TRUE(c.Send("GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n"
                     "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
  const std::string both = c.ReadAll(10000);
  const size_t second = both.find("HTTP/1.1 200", 1);
  EXPECT_EQ(both.compare(0, 12, "HTTP/1.1 200"), 0) << both.substr(0, 200);
  ASSERT_NE(second, std::string::npos) << both.substr(0, 200);
  EXPECT_NE(both.find("tarncard_db_connected", second), std::string::npos);
}

TEST_F(StatusServerTest, SlowClientsDoNotStopTheOthers) {
  StartServer();
  // Fewer slow clients than workers: each sends its request a byte at a time.
  std::vector<TcpClient> slow;
  for (int i = 0; i < TStatusServer::kWorkers - 2; ++i) {
    slow.emplace_back(port_);
    ASSERT_TRUE(slow.back().Ok());
  }
  const std::string request = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (size_t i = 0; i < 20; ++i) {
    for (auto& c : slow) c.Send(request.substr(i % request.size(), 1));
    EXPECT_EQ(HttpGet(port_, "/metrics", {}, 15000).status, 200) << "round " << i;
  }
}

TEST_F(StatusServerTest, ManyConnectionsAreBoundedAndTheServerRecovers) {
  StartServer();
  const size_t before = ::tarn::testing::OpenDescriptors();
  constexpr int kClients = 200;
  {
    std::vector<TcpClient> flood;
    ASSERT_TRUE(FillToTheBound(flood, 3));
    while (flood.size() < kClients) flood.emplace_back(port_, 0);  // connect, send nothing
    const size_t during = ::tarn::testing::OpenDescriptors();
    // Our own client sockets, plus at most the server's connection bound (and a few
    // descriptors of the library).
    EXPECT_LE(during, before + kClients + TStatusServer::kMaxConnections + 8) << during - before;
  }
  // Once they are gone the server serves again, within its time-outs.
  EXPECT_TRUE(::tarn::testing::WaitFor([&] { return HttpGet(port_, "/status.json", {}, 3000).status == 200; }, 60000));
}

TEST_F(StatusServerTest, StopsWithConnectionsOpenAndFreesThePort) {
  StartServer();
  // Stopped while it holds all it takes and more clients wait for it.
  std::vector<TcpClient> idle;
  ASSERT_TRUE(FillToTheBound(idle, 3));
  for (int i = 0; i < 7; ++i) idle.emplace_back(port_, 0);
  server_->Stop();
  EXPECT_FALSE(server_->Running());
  std::string error;
  EXPECT_TRUE(CanBind(TListenAddress{"127.0.0.1", port_}, error)) << error;
  // A second server on a port in use does not start, and says why (no port sharing with
  // another instance).
  TStatusServer first(store_, "");
  ASSERT_TRUE(first.Start(TListenAddress{"127.0.0.1", port_})) << first.Error();
  TStatusServer second(store_, "");
  EXPECT_FALSE(second.Start(TListenAddress{"127.0.0.1", port_}));
  EXPECT_FALSE(second.Error().empty());
  bool inUse = false;
  EXPECT_FALSE(CanBind(TListenAddress{"127.0.0.1", port_}, error, &inUse));
  EXPECT_TRUE(inUse);
}

}  // namespace
}  // namespace tarn::status
