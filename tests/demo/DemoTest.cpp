// scripts/demo run the way a newcomer runs it, without installing or building: the whole
// site (database, simulator, service) comes up, every scripted card and ticket gets its
// decision and its frame, the service stops cleanly and the summary adds up. And when a
// piece does not come up, the demo says so and fails instead of hanging.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/HttpProbe.h"
#include "support/ScratchDir.h"

namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  std::string output;
};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// Runs scripts/demo with the given arguments; `timeout` bounds it whatever happens.
RunResult RunDemo(const std::string& buildDir, const fs::path& site, const std::string& extra = "") {
  // The decisions are printed with an arrow: ask for UTF-8 whatever the locale says.
  const std::string cmd = "PYTHONIOENCODING=utf-8 timeout -k 10 150 " + Quote(std::string(TARNCARD_SOURCE_DIR) + "/scripts/demo") +
                          " --no-deps --no-build --build-dir " + Quote(buildDir) + " --site " +
                          Quote(site.string()) + " " + extra + " </dev/null 2>&1";
  RunResult r;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return r;
  std::array<char, 4096> buf{};
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) r.output.append(buf.data(), n);
  const int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Demo, ScenarioRunsEndToEndAndStopsCleanly) {
  const fs::path site = tarn::testing::ScratchDir("demo") / "site";
  // The status page on a port of its own: demos of parallel test runs must not meet.
  const std::string page = "127.0.0.1:" + std::to_string(tarn::testing::FreeLoopbackPort());
  const RunResult r = RunDemo(TARNCARD_BINARY_DIR, site, "--status-listen " + page);
  ASSERT_EQ(0, r.status) << r.output;
  const std::string& out = r.output;
  EXPECT_TRUE(Has(out, "status page  http://" + page + "/  (status.json, metrics beside it)")) << out;

  EXPECT_TRUE(Has(out, "check      tarncard check: OK")) << out;
  EXPECT_TRUE(Has(out, "service started, 5 devices on line")) << out;

  // Each card with its decision and the frame its reader got; templates filled in.
  for (const char* line : {
           "card 1001 at Entry 1: Accepted \u2192 G 005 'Welcome John'",
           "card 2001 at Entry 1: Accepted \u2192 G 005 'Hello Mary, day pass'",
           "card 3001 at Entry 1: Expired, or not valid yet \u2192 B 'Card 3001 expired'",
           "card 7777 at Entry 1: Not On File \u2192 B 'Card 7777 unknown'",
           "card 1001 at Entry 1: Passback Error \u2192 B 'Passback John'",
           "card 4001 at Entry 1: Accepted \u2192 G 005 'Welcome Anna'",
           "card 4002 at Entry 1: Group Max. Exceeded \u2192 B 'Pool full, Bill'",
           "card 6001 at Entry 1: No Valid Access Found \u2192 B 'No access today'",
           "card 5001 at Entry 1: Accepted \u2192 G 005 'Welcome Sam'",
           "card 5001 at Entry 1: Not in Path \u2192 B 'Wrong way Sam'",
           "card 1001 at Exit 2: Accepted \u2192 G 005 'Goodbye John'",
           "stored card 1002 at Entry 1: Accepted",
       })
    EXPECT_TRUE(Has(out, line)) << "missing: " << line << "\n" << out;
  // What the decisions changed: the first-use activation and the pool's count.
  EXPECT_TRUE(Has(out, "card 2001 activated on first use: valid ")) << out;
  EXPECT_TRUE(Has(out, "pool Berg Ltd: 1 of 1 inside")) << out;
  EXPECT_FALSE(Has(out, "UNEXPECTED")) << out;
  EXPECT_FALSE(Has(out, "no frame reached the reader")) << out;

  // Tickets: issued, taken at the exit, refused when used again or too old.
  EXPECT_TRUE(Has(out, "recorded in tickinv as issued")) << out;
  EXPECT_TRUE(Has(out, "at Ticket exit 4: Accepted \u2192 G 007 'Thank you...'")) << out;
  EXPECT_TRUE(Has(out, "at Ticket exit 4: Used \u2192 B 'ExitPass Used'")) << out;
  EXPECT_TRUE(Has(out, "at Ticket exit 4: Expired \u2192 B 'ExitPass Expired'")) << out;

  // Lot counting, the lot-full lamp and the sign follow the passages and the counter board.
  EXPECT_TRUE(Has(out, "lot Visitors: 4 of 4 cars  FULL")) << out;
  EXPECT_TRUE(Has(out, "lot-full output at Entry 1: on \u2192 W bits 1")) << out;
  EXPECT_TRUE(Has(out, "sign at Counter board 5: 0 free")) << out;
  EXPECT_TRUE(Has(out, "counter input 2 of Counter board 5: +3")) << out;
  EXPECT_TRUE(Has(out, "printer of Ticket dispenser 3: status word 4, paper state 1")) << out;
  EXPECT_TRUE(Has(out, "office request at Exit 2: Manual Open \u2192 G 005 'Manual Open'")) << out;

  EXPECT_TRUE(Has(out, "service stopped (exit 0)")) << out;
  EXPECT_TRUE(Has(out, "cards     12 decisions: 6 accepted, 6 refused")) << out;
  EXPECT_TRUE(Has(out, "tickets   1 issued, 3 read at the exit (Accepted 1, Used 1, Expired 1)")) << out;
  // Twelve cards and the office's manual open.
  EXPECT_TRUE(Has(out, "trans     13 rows")) << out;
  EXPECT_TRUE(Has(out, "lot       Visitors: 2 of 4 cars, 2 free")) << out;
  EXPECT_TRUE(Has(out, "sign      Counter board 5 shows 2 free")) << out;
  EXPECT_TRUE(Has(out, "log       " + (site / "log").string() + "/vtsql")) << out;

  // The simulator went away with the demo (it removes its pty file when it ends).
  EXPECT_FALSE(fs::exists(site / "sim.pty"));
}

// A build folder whose service never brings its devices up: the demo gives up after the
// start-up bound with a message naming what did not happen, and stops what it started.
TEST(Demo, ServiceThatNeverComesUpFailsWithAClearMessage) {
  const fs::path dir = tarn::testing::ScratchDir("demo");
  const fs::path build = dir / "build";
  fs::create_directories(build);
  for (const char* file : {"tarncard-sim", "tarncard_sqlite.so"})
    fs::create_symlink(fs::path(TARNCARD_BINARY_DIR) / file, build / file);
  {
    std::ofstream fake(build / "tarncard");
    fake << "#!/bin/sh\n[ \"$1\" = check ] && exit 0\nexec sleep 300\n";
  }
  fs::permissions(build / "tarncard", fs::perms::owner_all, fs::perm_options::add);

  const RunResult r = RunDemo(build.string(), dir / "site", "--start-timeout 2");
  EXPECT_EQ(1, r.status) << r.output;
  EXPECT_TRUE(Has(r.output, "demo: FAILED: power-up of Entry 1 did not happen within 2 s")) << r.output;
  // The stand-in does not exit 0 on SIGTERM as the service does: that is reported too.
  EXPECT_TRUE(Has(r.output, "the service did not stop cleanly")) << r.output;
  EXPECT_FALSE(fs::exists(dir / "site" / "sim.pty"));
}

TEST(Demo, ServiceThatEndsAtOnceFailsWithItsExitStatus) {
  const fs::path dir = tarn::testing::ScratchDir("demo");
  const fs::path build = dir / "build";
  fs::create_directories(build);
  for (const char* file : {"tarncard-sim", "tarncard_sqlite.so"})
    fs::create_symlink(fs::path(TARNCARD_BINARY_DIR) / file, build / file);
  {
    std::ofstream fake(build / "tarncard");
    fake << "#!/bin/sh\n[ \"$1\" = check ] && exit 0\nexit 3\n";
  }
  fs::permissions(build / "tarncard", fs::perms::owner_all, fs::perm_options::add);

  const RunResult r = RunDemo(build.string(), dir / "site");
  EXPECT_EQ(1, r.status) << r.output;
  EXPECT_TRUE(Has(r.output, "demo: FAILED: the service ended (exit 3)")) << r.output;
}

TEST(Demo, MissingProgramsAreNamed) {
  const fs::path dir = tarn::testing::ScratchDir("demo");
  const RunResult r = RunDemo((dir / "empty-build").string(), dir / "site");
  EXPECT_EQ(1, r.status) << r.output;
  EXPECT_TRUE(Has(r.output, (dir / "empty-build" / "tarncard").string() + " is missing")) << r.output;
}

}  // namespace
