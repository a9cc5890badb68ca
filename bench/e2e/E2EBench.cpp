// Card latency end to end: from the card reply leaving the simulated reader to the gate-open
// frame arriving back at it, through the real service and a real database. The simulator
// paces the line at 9600 baud and stamps every line with the monotonic clock.
//
//   bench_e2e [--reads N] [--baud B] [--backend sqlite|mariadb|both]
//
// MariaDB runs when $TARNCARD_TEST_MARIADB_PORT is set.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

bool Run(Backend backend, int reads, int baud, Result& out) {
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
  const int warmUp = 5;
  for (int i = 0; i < warmUp + reads; ++i) {
    size_t from = sim->LineCount();
    sim->Send("card 3 1001");
    auto reply = sim->WaitFor(
        [](const std::string& l) {
          return JsonString(l, "t") == "reply" && JsonInt(l, "addr") == 3 && JsonString(l, "type") == "C";
        },
        10000, from);
    auto gate = WaitHostFrame(*sim, 3, 'G', from, 10000);
    if (!reply || !gate) {
      if (i >= warmUp) ++out.lost;
      continue;
    }
    const double ms = static_cast<double>(JsonInt(*gate, "us") - JsonInt(*reply, "us")) / 1000.0;
    if (i >= warmUp) out.ms.push_back(ms);
    if (std::getenv("BENCH_E2E_TRACE") && (ms < 0 || ms > 150)) {
      std::fprintf(stderr, "read %d: %.1f ms\n", i, ms);
      auto lines = sim->Lines();
      for (size_t k = from >= 10 ? from - 10 : 0; k < lines.size(); ++k) std::fprintf(stderr, "  %s\n", lines[k].c_str());
    }
  }
  site.Stop();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int reads = 200;
  int baud = 9600;
  std::string which = "both";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--reads") reads = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--baud") baud = std::max(300, std::atoi(argv[i + 1]));
    else if (a == "--backend") which = argv[i + 1];
  }
  std::vector<Backend> backends;
  if (which != "mariadb") backends.push_back(Backend::SQLite);
  if (which != "sqlite") {
    if (MariaDBTestPort() > 0) backends.push_back(Backend::MariaDB);
    else std::printf("MariaDB skipped: TARNCARD_TEST_MARIADB_PORT is not set\n");
  }
  std::printf("card reply at the reader -> G frame back at the reader, %d reads, %d baud\n", reads, baud);
  std::printf("%-8s %8s %8s %8s %8s %8s %5s\n", "backend", "min", "p50", "p99", "max", "mean", "lost");
  int rc = 0;
  for (Backend b : backends) {
    Result r;
    if (!Run(b, reads, baud, r)) {
      rc = 1;
      continue;
    }
    double sum = 0;
    for (double v : r.ms) sum += v;
    std::printf("%-8s %8.1f %8.1f %8.1f %8.1f %8.1f %5d  (ms)\n", BackendName(b).c_str(),
                r.ms.empty() ? 0 : *std::min_element(r.ms.begin(), r.ms.end()), Percentile(r.ms, 50),
                Percentile(r.ms, 99), r.ms.empty() ? 0 : *std::max_element(r.ms.begin(), r.ms.end()),
                r.ms.empty() ? 0 : sum / static_cast<double>(r.ms.size()), r.lost);
  }
  return rc;
}
