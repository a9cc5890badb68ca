// Card latency end to end: from the card reply leaving the simulated reader to the gate-open
// frame arriving back at it, through the real service and a real database. The simulator
// paces the line at 9600 baud and stamps every line with the monotonic clock.
//
//   bench_e2e [--reads N] [--baud B] [--backend sqlite|mariadb|both] [--status-load 1]
//
// MariaDB runs when $TARNCARD_TEST_MARIADB_PORT is set. With --status-load 1 the service's
// status page is on, and the reads alternate, in blocks of 10, between a quiet page and a
// page under load: status.json fetched once a second (what an open page does) and /metrics
// scraped 10 times a second. Both halves are reported, from the same run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/HttpProbe.h"
#include "support/ServiceSite.h"
#include "support/TestDatabase.h"

using namespace tarn;
using namespace tarn::test;
using namespace tarn::testing;

namespace {

struct Result {
  std::vector<double> ms;
  int lost = 0;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// The status page's clients while `on` is set: an open page and a 10/s metrics scraper.
class StatusLoad {
 public:
  explicit StatusLoad(int port) : port_(port), thread_([this] { Loop(); }) {}
  ~StatusLoad() {
    stop_ = true;
    thread_.join();
  }
  StatusLoad(const StatusLoad&) = delete;
  StatusLoad& operator=(const StatusLoad&) = delete;
  void Set(bool on) { on_ = on; }
  long Requests() const { return requests_; }
  long Failed() const { return failed_; }

 private:
  void Loop() {
    using clock = std::chrono::steady_clock;
    auto next = clock::now();
    int tick = 0;
    while (!stop_) {
      next += std::chrono::milliseconds(100);
      if (on_) {
        const bool page = tick++ % 10 == 0;
        const int status = HttpGet(port_, page ? "/status.json" : "/metrics", {}, 5000).status;
        ++requests_;
        if (status != 200) ++failed_;
      }
      std::this_thread::sleep_until(next);
    }
  }
  int port_;
  std::atomic<bool> on_{false};
  std::atomic<bool> stop_{false};
  std::atomic<long> requests_{0};
  std::atomic<long> failed_{0};
  std::thread thread_;
};

bool Run(Backend backend, int reads, int baud, Result& out, Result* loaded) {
  TestDatabase db(backend, "tarn_e2e", "bench");
  std::string error;
  if (!db.Create(&error)) {
    std::fprintf(stderr, "%s: %s\n", BackendName(backend).c_str(), error.c_str());
    return false;
  }
  if (!LoadSite(db, &error)) {
    std::fprintf(stderr, "%s: site rows failed: %s\n", BackendName(backend).c_str(), error.c_str());
    return false;
  }
  TSiteComputer site(TestOutputDir("e2e-bench") + "/" + BackendName(backend), db.Params(), "E2E-ONE");
  // Detail lines off, as on a site in service.
  WriteRegistry(site.Home() / "registry.reg", db.Params(), "E2E-ONE", false);
  const int statusPort = loaded ? FreeLoopbackPort() : 0;
  if (loaded) site.SetStatus("Listen", "127.0.0.1:" + std::to_string(statusPort));
  TSimProcess* sim =
      site.AddLoop(1, {"--no-polls", "--timestamps", "--baud", std::to_string(baud), "1-3:reader", "4:dispenser",
                       "5:exit", "6:counter"});
  if (!sim) {
    std::fprintf(stderr, "simulator did not start\n");
    return false;
  }
  site.Start();
  if (!site.WaitLog("Started!", 60000)) {
    std::fprintf(stderr, "service did not start:\n%s\n", site.LogText().c_str());
    return false;
  }
  std::unique_ptr<StatusLoad> load;
  if (loaded) load = std::make_unique<StatusLoad>(statusPort);
  const int warmUp = 5;
  // With the load: blocks of 10 reads alternate between a quiet and a loaded page.
  const int total = loaded ? 2 * reads : reads;
  for (int i = 0; i < warmUp + total; ++i) {
    const bool underLoad = loaded && i >= warmUp && ((i - warmUp) / 10) % 2 == 1;
    if (load) load->Set(underLoad);
    Result& into = underLoad ? *loaded : out;
    size_t from = sim->LineCount();
    sim->Send("card 3 1001");
    auto reply = sim->WaitFor(
        [](const std::string& l) {
          return JsonString(l, "t") == "reply" && JsonInt(l, "addr") == 3 && JsonString(l, "type") == "C";
        },
        10000, from);
    // The gate frame that answers this reply comes after it: a frame from before (a late
    // answer to a repeated reply of the last read) would give a time below zero.
    size_t replyAt = from;
    if (reply) {
      const auto lines = sim->Lines();
      for (size_t k = from; k < lines.size(); ++k)
        if (lines[k] == *reply) {
          replyAt = k + 1;
          break;
        }
    }
    auto gate = reply ? WaitHostFrame(*sim, 3, 'G', replyAt, 10000) : std::nullopt;
    if (!reply || !gate) {
      if (i >= warmUp) ++into.lost;
      continue;
    }
    const double ms = static_cast<double>(JsonInt(*gate, "us") - JsonInt(*reply, "us")) / 1000.0;
    if (i >= warmUp) into.ms.push_back(ms);
    if (std::getenv("BENCH_E2E_TRACE") && (ms < 0 || ms > 150)) {
      std::fprintf(stderr, "read %d: %.1f ms\n", i, ms);
      auto lines = sim->Lines();
      for (size_t k = from >= 10 ? from - 10 : 0; k < lines.size(); ++k) std::fprintf(stderr, "  %s\n", lines[k].c_str());
    }
  }
  if (load) {
    std::printf("status page: %ld requests under load, %ld failed\n", load->Requests(), load->Failed());
    load.reset();
  }
  site.Stop();
  return true;
}

void Print(const std::string& name, const Result& r) {
  double sum = 0;
  for (double v : r.ms) sum += v;
  std::printf("%-16s %8.1f %8.1f %8.1f %8.1f %8.1f %5d  (ms)\n", name.c_str(),
              r.ms.empty() ? 0 : *std::min_element(r.ms.begin(), r.ms.end()), Percentile(r.ms, 50),
              Percentile(r.ms, 99), r.ms.empty() ? 0 : *std::max_element(r.ms.begin(), r.ms.end()),
              r.ms.empty() ? 0 : sum / static_cast<double>(r.ms.size()), r.lost);
}

}  // namespace

int main(int argc, char** argv) {
  int reads = 200;
  int baud = 9600;
  std::string which = "both";
  bool statusLoad = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--reads") reads = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--baud") baud = std::max(300, std::atoi(argv[i + 1]));
    else if (a == "--backend") which = argv[i + 1];
    else if (a == "--status-load") statusLoad = std::atoi(argv[i + 1]) != 0;
  }
  std::vector<Backend> backends;
  if (which != "mariadb") backends.push_back(Backend::SQLite);
  if (which != "sqlite") {
    if (MariaDBTestPort() > 0) backends.push_back(Backend::MariaDB);
    else std::printf("MariaDB skipped: TARNCARD_TEST_MARIADB_PORT is not set\n");
  }
  std::printf("card reply at the reader -> G frame back at the reader, %d reads, %d baud\n", reads, baud);
  if (statusLoad) std::printf("status page on; %d reads quiet and %d under page + 10/s metrics load, alternating\n",
                              reads, reads);
  std::printf("%-16s %8s %8s %8s %8s %8s %5s\n", "backend", "min", "p50", "p99", "max", "mean", "lost");
  int rc = 0;
  for (Backend b : backends) {
    Result r;
    Result underLoad;
    if (!Run(b, reads, baud, r, statusLoad ? &underLoad : nullptr)) {
      rc = 1;
      continue;
    }
    Print(BackendName(b) + (statusLoad ? " quiet" : ""), r);
    if (statusLoad) {
      Print(BackendName(b) + " loaded", underLoad);
      const double quiet = Percentile(r.ms, 99);
      if (quiet > 0)
        std::printf("%-16s p99 under load differs by %+.1f %%\n", BackendName(b).c_str(),
                    100.0 * (Percentile(underLoad.ms, 99) - quiet) / quiet);
    }
  }
  return rc;
}
