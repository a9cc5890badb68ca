// The service with its database far away: the MariaDB test server behind a relay of our own
// that delays every byte by half the added round trip in each direction (DelayRelay.h). Reads
// go through the loop simulator at 9600 baud, as in bench_e2e; each read is timed from the
// simulator's card reply to the answer frame (G, or B with the refusal's text), and the round
// trips each decision cost are taken from the service's /metrics.
//
//   bench_far [--reads N] [--delays 0,20,50] [--burst 1]
//
// Needs $TARNCARD_TEST_MARIADB_PORT. Cases per delay: accepted entries and exits (one card,
// alternating, with its pool), refused reads (a card not on file), exit tickets (issued by a
// dispenser a minute before), dispenser records; then a burst of 20 reads presented at once on
// 4 loops, timed from the presentation.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DelayRelay.h"
#include "support/HttpProbe.h"
#include "support/ServiceSite.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"

using namespace tarn;
using namespace tarn::test;
using namespace tarn::testing;

namespace {

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string CycleBarcode(TDateTime when, int lane) {
  const int year = DecodeDateTime(when).year;
  const int even = year % 2 == 0 ? year : year - 1;
  const auto seconds = static_cast<int64_t>(std::llround((when - EncodeDate(even, 1, 1)) * 86400.0));
  return Format("%.8d%.2d", seconds + 20000000, lane);
}

// Loop 1: entry reader 1 (dir 1), exit reader 2 (dir 2), dispenser 4, exit ticket reader 5.
// Loops 2-5: lift readers (dir 3) at addresses 1-5. Every reader, the dispenser and the exit
// ticket reader count into lot 1. Card 1001 (pool 1) is valid everywhere; 1002 on the lifts.
bool LoadFarSite(TestDatabase& db, int tickets, std::vector<std::string>& barcodes, std::string& failed) {
  const std::string loop = "`loop`";
  std::vector<std::string> rows = {
      "INSERT INTO " + loop + " (id, name, enabled, port, rfmodem) VALUES (1, 'far-one', 1, 1, 0), "
      "(2, 'far-one', 1, 2, 0), (3, 'far-one', 1, 3, 0), (4, 'far-one', 1, 4, 0), (5, 'far-one', 1, 5, 0)",
      "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
      "not_on_path) VALUES (1, 'Idle', 'Up', 'Welcome %f %l', 'Card %c unknown', 'No access', 'Inactive', "
      "'Passback %f', 'Group', 'Path')",
      "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES (1, 'Plain', 1, 1, 0)",
      "INSERT INTO card (number, type_id, group_id, first_name, last_name, space_no, in_lot) VALUES "
      "(1001, 1, 1, 'Ann', 'Lee', 0, 0), (1002, 1, 0, 'Bo', 'Ray', 0, 0)",
      "INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (1, 100000, 0)",
      "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
      "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
      "INSERT INTO settings (reset_vtsql, soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0, 0)",
      "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Main', 0, 100000)",
      "INSERT INTO counters (id, lot_id) VALUES (1, 1)",
  };
  std::string devices =
      "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, lot_id, "
      "lf_enabled, lf_output, lf_sign) VALUES (101, 1, 1, 'Entry 1', 1, 1, 7, 0, 1, 0, 0, 0), "
      "(102, 1, 2, 'Exit 2', 1, 2, 4, 0, 1, 0, 0, 0), (104, 1, 4, 'Dispenser 4', 1, 1, 6, 1, 1, 0, 0, 0), "
      "(105, 1, 5, 'Ticket exit 5', 1, 2, 9, 2, 1, 0, 0, 0)";
  std::string links = "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 101), (1, 102)";
  std::string items = "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (101, 7, 1, 1), "
                      "(102, 7, 1, 2), (104, 7, 1, 1), (105, 7, 1, 2)";
  for (int l = 2; l <= 5; ++l)
    for (int a = 1; a <= 5; ++a) {
      const int id = l * 100 + a;
      devices += Format(", (%d, %d, %d, 'Lift %d.%d', 1, 3, 3, 0, 1, 0, 0, 0)", id, l, a, l, a);
      links += Format(", (1, %d)", id);
      items += Format(", (%d, 7, 1, 1)", id);
    }
  rows.push_back(devices);
  rows.push_back(links);
  rows.push_back(items);
  // Tickets issued by the dispenser, one a second over the last minutes: each exit reads one.
  const TDateTime now = Now();
  std::string tickinv = "INSERT INTO tickinv (barcode, ticket, status, issuerid, in_date, online, security) VALUES ";
  for (int i = 0; i < tickets; ++i) {
    const TDateTime issued = now - (60.0 + i) / 86400.0;
    barcodes.push_back(CycleBarcode(issued, 1));
    tickinv += Format("%s('%s', %d, 0, 1, '%s', 1, 1)", std::string(i ? ", " : ""), barcodes.back(), 500000 + i,
                      FormatDateTime("yyyy-mm-dd hh:nn:ss", issued));
  }
  if (tickets > 0) rows.push_back(tickinv);
  for (const auto& sql : rows)
    if (!db.Exec(sql)) {
      failed = sql;
      return false;
    }
  return true;
}

struct Case {
  std::vector<double> ms;
  int lost = 0;
  double trips = -1;  // round trips per decision
};

// The decisions measured and their round trips so far, by kind, from /metrics.
std::map<std::string, std::pair<double, double>> Trips(int port) {
  std::map<std::string, std::pair<double, double>> out;
  const std::string text = HttpGet(port, "/metrics", {}, 5000).body;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    for (const char* name : {"tarncard_decision_round_trips_total{kind=\"", "tarncard_decisions_measured_total{kind=\""}) {
      const std::string prefix = name;
      if (line.rfind(prefix, 0) != 0) continue;
      const size_t q = line.find('"', prefix.size());
      const std::string kind = line.substr(prefix.size(), q - prefix.size());
      const double value = std::atof(line.substr(line.rfind(' ') + 1).c_str());
      if (prefix.find("round_trips") != std::string::npos)
        out[kind].first = value;
      else
        out[kind].second = value;
    }
  }
  return out;
}

double TripsPerDecision(const std::map<std::string, std::pair<double, double>>& before,
                        const std::map<std::string, std::pair<double, double>>& after, const std::string& kind) {
  auto b = before.count(kind) ? before.at(kind) : std::pair<double, double>{0, 0};
  auto a = after.count(kind) ? after.at(kind) : std::pair<double, double>{0, 0};
  return a.second > b.second ? (a.first - b.first) / (a.second - b.second) : -1;
}

// Presents `command` and times the simulator's reply at `addr` (`replyType`) to the host's
// answer frame to `addr` (G, or B with text). Optional: the time from `sentUs` instead.
std::optional<double> Present(TSimProcess& sim, int addr, const std::string& command, const std::string& replyType,
                              int timeoutMs) {
  const size_t from = sim.LineCount();
  sim.Send(command);
  auto reply = sim.WaitFor(
      [&](const std::string& l) {
        return JsonString(l, "t") == "reply" && JsonInt(l, "addr") == addr &&
               JsonString(l, "type") == (replyType == "D" ? std::string("C") : replyType);
      },
      timeoutMs, from);
  if (!reply) return std::nullopt;
  size_t replyAt = from;
  const auto lines = sim.Lines();
  for (size_t k = from; k < lines.size(); ++k)
    if (lines[k] == *reply) {
      replyAt = k + 1;
      break;
    }
  auto answer = sim.WaitFor(
      [&](const std::string& l) {
        // A card or ticket is answered with G (or B with the refusal's text); a dispenser gets
        // its Y before the record is written (so its time says nothing of the database).
        if (JsonString(l, "t") != "frame" || JsonInt(l, "addr") != addr) return false;
        const std::string cmd = JsonString(l, "cmd");
        if (replyType == "D") return cmd == "Y";
        return cmd == "G" || (cmd == "B" && !JsonString(l, "data").empty());
      },
      timeoutMs, replyAt);
  if (!answer) return std::nullopt;
  return static_cast<double>(JsonInt(*answer, "us") - JsonInt(*reply, "us")) / 1000.0;
}

void Print(const std::string& name, const Case& c) {
  std::printf("  %-22s %6zu %8.1f %8.1f %8.1f %8.1f %5d %7s\n", name.c_str(), c.ms.size(),
              c.ms.empty() ? 0 : *std::min_element(c.ms.begin(), c.ms.end()), Percentile(c.ms, 50),
              Percentile(c.ms, 99), c.ms.empty() ? 0 : *std::max_element(c.ms.begin(), c.ms.end()), c.lost,
              c.trips < 0 ? "-" : Format("%.2f", c.trips).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int reads = 40;
  std::vector<int> delays = {0, 20, 50};
  bool burst = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--reads") reads = std::max(2, std::atoi(argv[i + 1]));
    else if (a == "--burst") burst = std::atoi(argv[i + 1]) != 0;
    else if (a == "--delays") {
      delays.clear();
      std::string list = argv[i + 1];
      size_t at = 0;
      while (at <= list.size()) {
        const size_t comma = list.find(',', at);
        delays.push_back(std::atoi(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at).c_str()));
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
    }
  }
  if (MariaDBTestPort() == 0) {
    std::printf("TARNCARD_TEST_MARIADB_PORT is not set\n");
    return 1;
  }
  TestDatabase db(Backend::MariaDB, "tarn_far", "bench");
  std::string error;
  if (!db.Create(&error)) {
    std::fprintf(stderr, "database: %s\n", error.c_str());
    return 1;
  }
  const int tickets = reads * static_cast<int>(delays.size()) + 5;
  std::vector<std::string> barcodes;
  if (!LoadFarSite(db, tickets, barcodes, error)) {
    std::fprintf(stderr, "site rows failed: %s\n", error.c_str());
    return 1;
  }
  bench::TDelayRelay relay(MariaDBTestPort(), delays.empty() ? 0 : delays.front());
  ConnectionParams params = db.Params();
  const std::string port = "PORT=" + std::to_string(MariaDBTestPort());
  const size_t at = params.ConnectOptions.find(port);
  if (at == std::string::npos) {
    std::fprintf(stderr, "no %s in the connect options: %s\n", port.c_str(), params.ConnectOptions.c_str());
    return 1;
  }
  params.ConnectOptions.replace(at, port.size(), "PORT=" + std::to_string(relay.Port()));
  TSiteComputer site(TestOutputDir("far-bench"), params, "FAR-ONE");
  WriteRegistry(site.Home() / "registry.reg", params, "FAR-ONE", false);
  const int statusPort = FreeLoopbackPort();
  site.SetStatus("Listen", "127.0.0.1:" + std::to_string(statusPort));
  const std::vector<std::string> simArgs = {"--no-polls", "--timestamps", "--baud", "9600"};
  auto loopArgs = [&](std::vector<std::string> devices) {
    std::vector<std::string> all = simArgs;
    all.insert(all.end(), devices.begin(), devices.end());
    return all;
  };
  TSimProcess* main = site.AddLoop(1, loopArgs({"1-2:reader", "4:dispenser", "5:exit"}));
  std::vector<TSimProcess*> lifts;
  for (int l = 2; l <= 5; ++l) lifts.push_back(site.AddLoop(l, loopArgs({"1-5:reader"})));
  if (!main || std::find(lifts.begin(), lifts.end(), nullptr) != lifts.end()) {
    std::fprintf(stderr, "simulator did not start\n");
    return 1;
  }
  site.Start();
  if (!site.WaitLog("Started!", 60000)) {
    std::fprintf(stderr, "service did not start:\n%s\n", site.LogText().c_str());
    return 1;
  }
  std::printf("card reply -> answer frame at 9600 baud, %d reads per case; MariaDB through a delaying relay\n", reads);
  // Tickets from the oldest: each has been issued at least a minute ago and is still in grace.
  size_t ticket = 0;
  int dispensed = 0;
  int rc = 0;
  for (int delay : delays) {
    relay.SetRoundTripMs(delay);
    // The connections settle on the new delay (and the warm-up reads are not counted).
    for (int i = 0; i < 3; ++i) Present(*main, 1, "card 1 1002", "C", 10000);
    std::printf("+%d ms round trip\n  %-22s %6s %8s %8s %8s %8s %5s %7s\n", delay, "case", "reads", "min", "p50", "p99",
                "max", "lost", "trips");
    struct Kind {
      std::string name;
      std::string metric;
    };
    std::map<std::string, Case> cases;
    const std::vector<Kind> kinds = {{"accepted entry", "card"}, {"accepted exit", "card"}, {"refused", "card"},
                                     {"exit ticket", "ticket"}, {"dispenser record", "dispenser"}};
    for (const Kind& k : kinds) {
      // Exits are presented with the entries, one after the other.
      if (k.name == "accepted exit") continue;
      Case& c = cases[k.name];
      const auto before = Trips(statusPort);
      const int n = k.name.rfind("accepted", 0) == 0 ? reads / 2 : reads;
      for (int i = 0; i < n; ++i) {
        std::optional<double> ms;
        if (k.name == "accepted entry" || k.name == "accepted exit") {
          // Entries and exits alternate, so that the card is never refused for passback.
          ms = Present(*main, 1, "card 1 1001", "C", 10000);
          if (ms) c.ms.push_back(*ms); else ++c.lost;
          Case& exit = cases["accepted exit"];
          ms = Present(*main, 2, "card 2 1001", "C", 10000);
          if (ms) exit.ms.push_back(*ms); else ++exit.lost;
          continue;
        }
        if (k.name == "refused") ms = Present(*main, 1, "card 1 999999", "C", 10000);
        if (k.name == "exit ticket" && ticket < barcodes.size())
          ms = Present(*main, 5, "card 5 " + barcodes[ticket++], "C", 10000);
        if (k.name == "dispenser record") {
          const std::string barcode = CycleBarcode(Now(), 4);
          ms = Present(*main, 4, Format("ticket 4 0%s%.6d", barcode, 700000 + dispensed++), "D", 10000);
        }
        if (ms) c.ms.push_back(*ms); else ++c.lost;
      }
      const auto after = Trips(statusPort);
      c.trips = TripsPerDecision(before, after, k.metric);
      if (k.name == "accepted entry") cases["accepted exit"].trips = c.trips;
    }
    for (const Kind& k : kinds) Print(k.name, cases[k.name]);
    if (burst) {
      // 20 reads presented at once: 5 lift readers on each of 4 loops. Each is timed from its
      // presentation to its answer frame.
      const auto before = Trips(statusPort);
      std::vector<size_t> from;
      for (TSimProcess* sim : lifts) from.push_back(sim->LineCount());
      const int64_t sent = NowUs();
      for (TSimProcess* sim : lifts)
        for (int a = 1; a <= 5; ++a) sim->Send("card " + std::to_string(a) + " 1002");
      Case b;
      for (size_t l = 0; l < lifts.size(); ++l)
        for (int a = 1; a <= 5; ++a) {
          auto g = WaitHostFrame(*lifts[l], a, 'G', from[l], 10000);
          if (g) b.ms.push_back(static_cast<double>(JsonInt(*g, "us") - sent) / 1000.0); else ++b.lost;
        }
      b.trips = TripsPerDecision(before, Trips(statusPort), "card");
      Print("burst 20 on 4 loops", b);
      if (b.lost > 0) rc = 1;
    }
  }
  site.Stop();
  return rc;
}
