// The real service against the loop simulator and a real database: device events end to
// end, then the main timer's jobs, readiness messages and the shut-down.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "E2EFixture.h"
#include "support/NotifySink.h"

namespace tarn::test {
namespace {

using ::tarn::testing::JsonString;
using ::tarn::testing::ReadFile;
using ::tarn::testing::SignText;
using ::tarn::testing::TSimProcess;
using ::tarn::testing::WaitFor;
using ::tarn::testing::WaitHostFrame;

const std::vector<std::string> kLoopOne = {"--no-polls", "1-3:reader", "4:dispenser", "5:exit", "6:counter"};

auto DataIs(const std::string& expected) {
  return [expected](const std::string& d) { return d == expected; };
}

using NotifyListener = ::tarn::testing::NotifySink;

}  // namespace

class ServiceRun : public E2ETest {};

// Cards, tickets and status reports from the devices of one loop.
TEST_P(ServiceRun, DeviceEventsReachTheDatabaseAndTheReaders) {
  auto one = Computer("E2E-ONE");
  TSimProcess* sim = one->AddLoop(1, kLoopOne);
  ASSERT_NE(sim, nullptr) << "simulator did not start";
  one->Start();
  ASSERT_TRUE(one->WaitLog("Started!", kStart)) << one->LogText();
  EXPECT_EQ(one->CountLog("Loops FOUND for computer name \"e2e-one\""), 1u);
  EXPECT_EQ(one->CountLog("Loops (soft counts) FOUND for computer name \"POE/POF\""), 1u);
  // Power-up replies bring the devices on line.
  EXPECT_TRUE(WaitValue("SELECT online_flag FROM device WHERE id = 103", 1)) << one->LogText();

  {  // an accepted card: the gate opens with the device's pulse and the expanded message
    size_t from = sim->LineCount();
    sim->Send("card 1 1001");
    auto g = WaitHostFrame(*sim, 1, 'G', from, kFrame);
    ASSERT_TRUE(g.has_value()) << one->LogText();
    EXPECT_EQ(JsonString(*g, "data"), "007Welcome Ann Lee");
    EXPECT_TRUE(WaitValue("SELECT COUNT(*) FROM trans WHERE card_no = 1001 AND device_id = 101 AND error_code = 0",
                          1));
    EXPECT_TRUE(WaitValue("SELECT lot_count FROM lot WHERE id = 1", 1)) << "soft count of the entry";
    EXPECT_EQ(QueryInt("SELECT in_lot FROM card WHERE number = 1001"), 1);
  }
  {  // a card not on file: the reader shows the refusal, the gate stays shut
    size_t from = sim->LineCount();
    sim->Send("card 2 9999");
    auto b = WaitHostFrame(*sim, 2, 'B', from, kFrame, [](const std::string& d) { return !d.empty(); });
    ASSERT_TRUE(b.has_value()) << one->LogText();
    EXPECT_EQ(JsonString(*b, "data"), "Card 9999 unknown");
    EXPECT_FALSE(WaitHostFrame(*sim, 2, 'G', from, 0).has_value());
  }
  {  // a ticket paid a minute ago at the exit ticket reader
    const std::string barcode = CycleBarcode(SystemNow() - 1.0 / 1440, 1);
    size_t from = sim->LineCount();
    sim->Send("card 5 " + barcode);
    auto g = WaitHostFrame(*sim, 5, 'G', from, kFrame);
    ASSERT_TRUE(g.has_value()) << one->LogText();
    EXPECT_EQ(JsonString(*g, "data"), "009Thank you...");
    EXPECT_TRUE(WaitValue("SELECT status FROM tickinv WHERE barcode = '" + barcode + "'", 2));
    EXPECT_EQ(QueryInt("SELECT takerid FROM tickinv WHERE barcode = '" + barcode + "'"), 5);
  }
  {  // a counter reading moves lot 2 (the first reading was the baseline)
    ASSERT_TRUE(one->WaitLog("Counter event Counter 6 input value: 00000", kFrame)) << one->LogText();
    sim->Send("counter 6 10000");
    EXPECT_TRUE(WaitValue("SELECT lot_count FROM lot WHERE id = 2", 1)) << one->LogText();
    EXPECT_EQ(QueryInt("SELECT count1 FROM device WHERE id = 106"), 1);
  }
  {  // printer status of the dispenser
    sim->Send("printer 4 6,0");
    EXPECT_TRUE(WaitValue("SELECT ptr_stat FROM device WHERE id = 104", 6)) << one->LogText();
    EXPECT_EQ(QueryInt("SELECT ptr_paper FROM device WHERE id = 104"), 3);
    EXPECT_EQ(QueryInt("SELECT ptr_hdwr FROM device WHERE id = 104"), 0);
    EXPECT_EQ(QueryInt("SELECT ptr_fail FROM device WHERE id = 104"), 0);
    EXPECT_EQ(QueryInt("SELECT ptr_stat2 FROM device WHERE id = 104"), 0);
    EXPECT_TRUE(one->WaitLog("PStat:6 0 Reader: 4 Date:", kFrame));
  }
  {  // a device that stops answering goes off line
    sim->Send("off 3");
    EXPECT_TRUE(WaitValue("SELECT online_flag FROM device WHERE id = 103", 0)) << one->LogText();
    EXPECT_TRUE(one->WaitLog("Offline, Device: Lift 3", kFrame));
  }
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 1) << "only the card entry counts in lot 1";
  int status = one->Stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The main timer's jobs, readiness messages to systemd, a reset request and the shut-down.
TEST_P(ServiceRun, TimerJobsResetAndShutDown) {
  auto one = Computer("E2E-ONE");
  TSimProcess* sim = one->AddLoop(1, kLoopOne);
  ASSERT_NE(sim, nullptr) << "simulator did not start";
  NotifyListener notify(TestOutputDir("n") + "/" + std::to_string(::getpid()) + BackendName(backend()) + ".sock");
  ASSERT_TRUE(notify.Ok());
  one->Start({"NOTIFY_SOCKET=" + TestOutputDir("n") + "/" + std::to_string(::getpid()) + BackendName(backend()) +
              ".sock"});
  ASSERT_TRUE(one->WaitLog("Started!", kStart)) << one->LogText();
  EXPECT_TRUE(notify.WaitFor("READY=1", kFrame));

  // Loop set-up flags every lot-full output and sign: the first ticks refresh them.
  EXPECT_TRUE(WaitHostFrame(*sim, 1, 'F', 0, kFrame, DataIs("B")).has_value()) << one->LogText();
  EXPECT_TRUE(WaitHostFrame(*sim, 1, 'L', 0, kFrame, DataIs(SignText(100))).has_value());

  {  // the heartbeat: 1, then 2, each followed by CR LF
    const auto alive = one->Home() / "alive.txt";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(alive) == "1\r\n"; }, kSchedule)) << ReadFile(alive);
    EXPECT_TRUE(WaitFor([&] { return ReadFile(alive) == "2\r\n"; }, kSchedule)) << ReadFile(alive);
    EXPECT_GE(notify.Count("WATCHDOG=1"), 2);
  }
  {  // an open request: one manual open with the device's pulse, the request cleared
    size_t from = sim->LineCount();
    ASSERT_TRUE(Db().Exec("UPDATE device SET open_flag = 1 WHERE id = 101"));
    auto g = WaitHostFrame(*sim, 1, 'G', from, kSchedule);
    ASSERT_TRUE(g.has_value()) << one->LogText();
    EXPECT_EQ(JsonString(*g, "data"), "007Manual Open");
    EXPECT_TRUE(WaitValue("SELECT open_flag FROM device WHERE id = 101", 0));
    EXPECT_TRUE(WaitValue("SELECT COUNT(*) FROM trans WHERE device_id = 101 AND error_code = 999", 1));
    EXPECT_EQ(QueryInt("SELECT cardno FROM trans WHERE device_id = 101 AND error_code = 999"), 9999999);
    // Another schedule pass later the request has not been served twice.
    const std::string beat = ReadFile(one->Home() / "alive.txt");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(one->Home() / "alive.txt") != beat; }, kSchedule));
    auto lines = sim->Lines();
    EXPECT_EQ(std::count_if(lines.begin() + static_cast<long>(from), lines.end(),
                            [](const std::string& l) {
                              return ::tarn::testing::IsHostFrame(l, 1, 'G') &&
                                     JsonString(l, "data") == "007Manual Open";
                            }),
              1);
  }
  {  // held open by perm_open, then let go
    size_t from = sim->LineCount();
    ASSERT_TRUE(Db().Exec("UPDATE device SET perm_open = 1 WHERE id = 103"));
    auto o = WaitHostFrame(*sim, 3, 'O', from, kSchedule);
    ASSERT_TRUE(o.has_value()) << one->LogText();
    EXPECT_EQ(JsonString(*o, "data"), "Gate held open");
    EXPECT_TRUE(WaitValue("SELECT gate_up FROM device WHERE id = 103", 1));
    from = sim->LineCount();
    ASSERT_TRUE(Db().Exec("UPDATE device SET perm_open = 0 WHERE id = 103"));
    auto x = WaitHostFrame(*sim, 3, 'X', from, kSchedule);
    ASSERT_TRUE(x.has_value()) << one->LogText();
    EXPECT_EQ(JsonString(*x, "data"), "Idle two");
    EXPECT_TRUE(WaitValue("SELECT gate_up FROM device WHERE id = 103", 0));
  }
  {  // lot-full output and sign follow the lot count
    struct Step {
      int count;
      char cmd;
      int free;
    };
    for (Step s : {Step{100, 'W', 0}, Step{99, 'F', 1}, Step{105, 'W', 0}}) {
      size_t from = sim->LineCount();
      ASSERT_TRUE(Db().Exec(Format("UPDATE lot SET lot_count = %d WHERE id = 1", s.count)));
      ASSERT_TRUE(Db().Exec("UPDATE device SET lf_output_flag = 1, lf_sign_flag = 1 WHERE id = 101"));
      EXPECT_TRUE(WaitHostFrame(*sim, 1, s.cmd, from, kFrame, DataIs("B")).has_value())
          << "count " << s.count << "\n" << one->LogText();
      EXPECT_TRUE(WaitHostFrame(*sim, 1, 'L', from, kFrame, DataIs(SignText(s.free))).has_value())
          << "count " << s.count;
      EXPECT_TRUE(WaitValue("SELECT lf_output_flag + lf_sign_flag FROM device WHERE id = 101", 0));
    }
  }
  {  // a reset request restarts the server
    ASSERT_TRUE(Db().Exec("UPDATE settings SET reset_vtsql = 1"));
    EXPECT_TRUE(one->WaitLog("ShutDown...", kFrame)) << one->LogText();
    EXPECT_TRUE(one->WaitLog("Started!", kStart, 2)) << one->LogText();
    EXPECT_EQ(QueryInt("SELECT reset_vtsql FROM settings"), 0);
    // The restart timer starts the server again about a second after the shut-down.
    auto lines = ::tarn::testing::ReadLogLines(one->Home());
    auto at = [&](const std::string& message, size_t from) {
      for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].size() > 24 && lines[i].substr(24) == message) return i;
      return lines.size();
    };
    auto ms = [](const std::string& l) {
      return ((std::stoi(l.substr(0, 2)) * 60 + std::stoi(l.substr(3, 2))) * 60 + std::stoi(l.substr(6, 2))) * 1000 +
             std::stoi(l.substr(9, 3));
    };
    size_t down = at("ShutDown...", 0);
    size_t up = at("Starting server, Reading Registry", down);
    ASSERT_LT(up, lines.size());
    const int gap = (ms(lines[up]) - ms(lines[down]) + 86400000) % 86400000;
    EXPECT_LE(gap, 3000) << lines[down] << "\n" << lines[up];
    EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM settings"), 1);
    // The restarted server polls its loop again.
    size_t from = sim->LineCount();
    sim->Send("card 3 1001");
    auto g = WaitHostFrame(*sim, 3, 'G', from, kFrame);
    ASSERT_TRUE(g.has_value()) << one->LogText();
    EXPECT_EQ(JsonString(*g, "data"), "003Welcome Ann Lee");
  }
  int status = one->Stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto messages = one->LogMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "End Log");
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", kFrame));
  const auto all = notify.Messages();
  EXPECT_EQ(notify.Count("READY=1"), 1) << "readiness is announced once, not at every restart";
  EXPECT_EQ(all.front(), "READY=1");
  EXPECT_EQ(all.back(), "STOPPING=1");
}

INSTANTIATE_TEST_SUITE_P(Backends, ServiceRun, TARN_BACKENDS);

}  // namespace tarn::test
