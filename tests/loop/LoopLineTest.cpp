// The loop's line settings and its command bursts against a real database and the
// simulator: line timings out of range, and time sync to more devices than the command
// ring holds.
#include <cstdlib>
#include <regex>
#include <set>

#include "loop/LoopFixture.h"
#include "readerbus/LineControl.h"
#include "readerbus/Frame.h"
#include "readerbus/SerialPort.h"
#include "readerbus/TCard.h"

using namespace tarn;
using namespace tarn::test;
using tarn::testing::JsonInt;
using tarn::testing::JsonString;

namespace {

class LoopLineTest : public LoopTest {
 protected:
  // Addresses that got at least one frame with this letter after line `from`.
  static std::set<long> Addresses(const std::vector<std::string>& lines, const std::string& cmd, size_t from = 0) {
    std::set<long> out;
    for (size_t i = from; i < lines.size(); ++i)
      if (JsonString(lines[i], "t") == "frame" && JsonString(lines[i], "cmd") == cmd) out.insert(JsonInt(lines[i], "addr"));
    return out;
  }
};

TEST_P(LoopLineTest, OutOfRangeTimingsAndTimeSyncToThirtyDevices) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  for (int a = 1; a <= 30; ++a)
    ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type) VALUES (" +
                     std::to_string(100 + a) + ", 1, " + std::to_string(a) + ", 'Lane " + std::to_string(a) +
                     "', 0, " + (a <= 15 ? "1" : "2") + ")"));
  Settings().WriteString("Settings", "RespDelay", "-1");
  Settings().WriteString("Settings", "TurnAround", "-1");
  Settings().WriteString("Settings", "PollDelay", "-5");
  Settings().WriteString("Settings", "Sync Readers every XX minutes", "1");
  auto sim = StartSim(5, {"--no-polls", "1-15:dispenser", "16-30:exit"});
  ASSERT_TRUE(sim->Started());

  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  EXPECT_EQ(loop->Card1->RespDelay(), 0u);
  EXPECT_EQ(loop->Card1->TurnAround(), 0u);
  EXPECT_EQ(loop->Card1->PollDelay(), 0u);
  EXPECT_TRUE(LogHas("Setting RespDelay = -1 is outside 0..10000 ms: 0 is used (loop id 1)"));
  EXPECT_TRUE(LogHas("Setting TurnAround = -1 is outside 0..10000 ms: 0 is used (loop id 1)"));
  EXPECT_TRUE(LogHas("Setting PollDelay = -5 is outside 0..10000 ms: 0 is used (loop id 1)"));

  // Every address is polled: each device's power-up brings its idle text.
  ASSERT_TRUE(RunUntil([&] { return Addresses(sim->Lines(), "X").size() == 30; }));

  // Time sync due: thirty M frames, twice the ring's size, every one delivered.
  const size_t from = sim->LineCount();
  loop->SyncReaderTime();
  ASSERT_TRUE(RunUntil([&] { return Addresses(sim->Lines(), "M", from).size() == 30; }));
  EXPECT_EQ(loop->Card1->DroppedCommands(), 0u);
  EXPECT_TRUE(LogHas("  Done T/D Sync"));
  EXPECT_FALSE(LogHas("dropped, the command queue is full"));

  // Bursts far beyond the backlog: what cannot be kept is logged with its address and
  // count, once per burst and address; the counts add up to every command dropped.
  const size_t burst = sim->LineCount();
  for (int i = 0; i < 40; ++i) loop->SyncReaderTime();
  const uint64_t dropped = loop->Card1->DroppedCommands();
  EXPECT_GT(dropped, 0u);

  // Closing does not wait for the thousand commands still queued. A frame written to the
  // line once the loop is gone comes after every frame of the host: when the simulator shows
  // it, it has shown all the host sent, and that is far from all that was kept.
  loop.reset();
  {
    std::string error;
    auto line = readerbus::OpenSerialDevice(sim->PtyPath(), 9600, &error);
    ASSERT_TRUE(line) << error;
    const std::string marker = readerbus::BuildFrame(1, "LMARK", false);
    ASSERT_EQ(line->Write(reinterpret_cast<const uint8_t*>(marker.data()), marker.size()),
              static_cast<long>(marker.size()));
  }
  ASSERT_TRUE(WaitSim(*sim, [](const std::string& l) { return IsFrame(l, 1, "L") && JsonString(l, "data") == "MARK"; },
                      burst));
  const std::vector<std::string> lines = sim->Lines();
  uint64_t sent = 0;
  for (size_t i = burst; i < lines.size(); ++i) sent += JsonString(lines[i], "t") == "frame" && JsonString(lines[i], "cmd") == "M";
  EXPECT_LT(sent, 40u * 30u - dropped) << "every queued command was sent before the close returned";

  const std::string log = LogText();
  const std::regex line(R"(Loop id 1 address (\d+): (\d+) command\(s\) of SyncReaderTime dropped, the command queue is full)");
  uint64_t logged = 0;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it)
    logged += std::strtoull((*it)[2].str().c_str(), nullptr, 10);
  EXPECT_EQ(logged, dropped);
}

// Forty-eight readers power up at once, each with a card waiting: far more events than the
// ring holds and more acknowledgements than the command ring. Every read is decided once.
TEST_P(LoopLineTest, FortyEightReadersPoweringUpWithACardEachGiveOneTransRowEach) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  for (int a = 1; a <= 48; ++a)
    ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type) VALUES (" +
                     std::to_string(100 + a) + ", 1, " + std::to_string(a) + ", 'Lane " + std::to_string(a) +
                     "', 0, 0)"));
  auto sim = StartSim(5, {"--no-polls", "1-48"});
  ASSERT_TRUE(sim->Started());
  for (int a = 1; a <= 48; ++a) sim->Send("card " + std::to_string(a) + " " + std::to_string(7000 + a));
  ASSERT_TRUE(sim->WaitFor([](const std::string& l) { return JsonString(l, "cmd") == "card 48 7048"; }, kWait));

  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  ASSERT_TRUE(RunUntil([&] { return QueryInt("SELECT count(*) FROM trans") >= 48; }, 60000))
      << ::testing::PrintToString(QueryInt("SELECT count(*) FROM trans")) << " of 48 reads decided";
  // A second card at every reader is the marker: a device presents it only once the first was
  // acknowledged, and a first read handled twice would be decided before it.
  for (int a = 1; a <= 48; ++a) sim->Send("card " + std::to_string(a) + " " + std::to_string(8000 + a));
  ASSERT_TRUE(RunUntil([&] { return QueryInt("SELECT count(*) FROM trans WHERE cardno > 8000") >= 48; }, 60000))
      << ::testing::PrintToString(QueryInt("SELECT count(*) FROM trans WHERE cardno > 8000")) << " of 48 markers decided";
  EXPECT_EQ(QueryInt("SELECT count(*) FROM trans"), 96);
  EXPECT_EQ(QueryInt("SELECT count(DISTINCT cardno) FROM trans"), 96);
  EXPECT_EQ(QueryInt("SELECT count(*) FROM trans WHERE cardno BETWEEN 7001 AND 7048"), 48);
  EXPECT_EQ(loop->Card1->DroppedCommands(), 0u);
}

// The port of [Ports] is a link that points at a new line after the old one went away (an
// adapter plugged in again): the loop logs the loss, opens the path again by itself, and
// its devices are back and answering cards, without a restart.
TEST_P(LoopLineTest, LineThatComesBackAtTheSamePathIsPolledAgain) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  for (int a = 1; a <= 3; ++a)
    ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type) VALUES (" +
                     std::to_string(100 + a) + ", 1, " + std::to_string(a) + ", 'Lane " + std::to_string(a) +
                     "', 0, 0)"));
  const std::string link = home_ + "/serial-by-id-loop1";
  auto sim = std::make_unique<tarn::testing::TSimProcess>(std::vector<std::string>{"--no-polls", "--link", link, "1-3"});
  ASSERT_TRUE(sim->Started());
  MapPort(5, link);
  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  ASSERT_TRUE(RunUntil([&] { return Addresses(sim->Lines(), "X").size() == 3; }));

  sim.reset();
  ASSERT_TRUE(RunUntil([&] { return LogHas("Loop id 1: Serial line " + link + " lost"); }));
  sim = std::make_unique<tarn::testing::TSimProcess>(std::vector<std::string>{"--no-polls", "--link", link, "1-3"});
  ASSERT_TRUE(sim->Started());
  // Back on line through the power-up path: each device gets its idle text again.
  ASSERT_TRUE(RunUntil([&] { return Addresses(sim->Lines(), "X").size() == 3; }, 10000));
  EXPECT_TRUE(LogHas("Loop id 1: Serial line " + link + " is back: polling resumes"));
  sim->Send("card 2 4242");
  ASSERT_TRUE(RunUntil([&] { return QueryInt("SELECT count(*) FROM trans WHERE cardno = 4242") == 1; }));
  EXPECT_EQ(loop->Card1->LinesLost(), 1u);
  EXPECT_EQ(loop->Card1->LinesReopened(), 1u);
}

// The port's RS-485 keys are read (missing ones written back with their defaults) and
// applied at the open and at the reopen of a lost line. A pseudo-terminal has no RS-485 mode
// and no low-latency setting: one error, and one detail line while DebugLog is on, however
// often the line comes back.
TEST_P(LoopLineTest, PortKeysAreAppliedAndWhatTheLineRefusesIsLoggedOnce) {
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES (1, 'Main', 1, 5, 0)"));
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, device_type) VALUES (101, 1, 1, "
                   "'Lane 1', 0, 0)"));
  const std::string link = home_ + "/serial-by-path-loop1";
  auto sim = std::make_unique<tarn::testing::TSimProcess>(std::vector<std::string>{"--no-polls", "--link", link, "1"});
  ASSERT_TRUE(sim->Started());
  MapPort(5, link);
  Settings().WriteString("Ports", "COM5 RS485", "1");
  Settings().WriteString("Ports", "COM5 RS485 Delay Before Send", "500");
  const std::string refused = "Loop id 1: ERROR: Serial line " + link +
                              " cannot be put in RS-485 mode (COM5 RS485=1): the driver has no such setting.";
  const std::string detail = "Loop id 1: Serial line " + link + " does not take the low-latency request";
  auto count = [&](const std::string& text) {
    const std::string log = LogText();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };

  auto loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  EXPECT_EQ(loop->Card1->LineOptions(), (readerbus::TLineOptions{5, true, 100, 0}));
  EXPECT_EQ(Settings().ReadString("Ports", "COM5 RS485", ""), "1");
  EXPECT_EQ(Settings().ReadString("Ports", "COM5 RS485 Delay Before Send", ""), "500");
  EXPECT_EQ(Settings().ReadString("Ports", "COM5 RS485 Delay After Send", ""), "0");
  EXPECT_TRUE(LogHas("Setting COM5 RS485 Delay Before Send = 500 is outside 0..100 ms: 100 is used (loop id 1)"));
  EXPECT_EQ(count(refused), 1);
  EXPECT_EQ(count(detail), 1);

  sim.reset();
  ASSERT_TRUE(RunUntil([&] { return LogHas("Loop id 1: Serial line " + link + " lost"); }));
  sim = std::make_unique<tarn::testing::TSimProcess>(std::vector<std::string>{"--no-polls", "--link", link, "1"});
  ASSERT_TRUE(sim->Started());
  ASSERT_TRUE(RunUntil([&] { return loop->Card1->LinesReopened() == 1; }));
  EXPECT_EQ(count(refused), 1);
  EXPECT_EQ(count(detail), 1);

  // Without DebugLog the detail stays out of the log; the error is a new loop's to say.
  loop.reset();
  WriteRegistry(false);
  loop = MakeLoop(1);
  ASSERT_TRUE(loop->Card1 && loop->Card1->IsOpen());
  EXPECT_EQ(count(refused), 2);
  EXPECT_EQ(count(detail), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopLineTest, TARN_BACKENDS);

}  // namespace
