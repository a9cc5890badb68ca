// End to end over a real pseudo-terminal: the loop component against the simulator
// process, whose JSON output shows what the devices received.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/MainLoop.h"
#include "readerbus/Frame.h"
#include "readerbus/SerialPort.h"
#include "readerbus/TCard.h"
#include "support/SimProcess.h"

using namespace tarn;
using namespace tarn::readerbus;
using tarn::testing::JsonInt;
using tarn::testing::JsonString;
using tarn::testing::TSimProcess;

namespace {

constexpr int kWait = 10000;

bool IsFrame(const std::string& l, int addr, const std::string& cmd) {
  return JsonString(l, "t") == "frame" && JsonInt(l, "addr") == addr && JsonString(l, "cmd") == cmd;
}

class SimTest : public ::testing::Test {
 protected:
  // Closing may still deliver an event: the handlers' vectors must outlive it.
  void TearDown() override { card.Close(); }
  bool WaitEvent(const std::string& e) {
    return main.RunUntil([&] {
      for (const auto& x : events)
        if (x == e) return true;
      return false;
    }, kWait);
  }
  void Wire() {
    card.OnData = [&](int16_t r, std::string v) {
      events.push_back("data " + std::to_string(r) + " " + v);
      card.GateOpenMsg(r, true, "Thank you...", 7);
    };
    card.OnPowerUp = [&](int16_t r) { events.push_back("powerup " + std::to_string(r)); };
    card.OnError = [&](int16_t r) { events.push_back("error " + std::to_string(r)); };
    card.OnErrorEx = [&](int16_t r, bool c) { events.push_back("errorex " + std::to_string(r) + (c ? " true" : " false")); };
  }

  platform::TMainLoop main;
  TCard card;
  std::vector<std::string> events;
};

}  // namespace

TEST_F(SimTest, CardToGateThroughTheSimulator) {
  TSimProcess sim({"1-3", "5:dispenser:clock"});
  ASSERT_TRUE(sim.Started());
  Wire();
  card.SetLastReader(5);
  ASSERT_TRUE(card.OpenDevice(sim.PtyPath())) << card.OpenError();

  auto poll = sim.WaitFor([](const std::string& l) { return IsFrame(l, 1, "C"); }, kWait);
  ASSERT_TRUE(poll);
  EXPECT_EQ(JsonString(*poll, "data"), "");
  EXPECT_EQ(JsonString(*poll, "start"), "STX");
  EXPECT_EQ(JsonString(*poll, "text"), "C to 1: poll");
  EXPECT_NE(poll->find("\"ok\":true"), std::string::npos);

  ASSERT_TRUE(WaitEvent("error 4"));
  ASSERT_TRUE(WaitEvent("errorex 5 true"));
  size_t mark = sim.LineCount();
  sim.Send("card 3 123");
  ASSERT_TRUE(WaitEvent("data 3 123"));
  auto gate = sim.WaitFor([](const std::string& l) { return IsFrame(l, 3, "G"); }, kWait, mark);
  ASSERT_TRUE(gate);
  EXPECT_EQ(JsonString(*gate, "data"), "007Thank you...");
  EXPECT_EQ(JsonString(*gate, "text"), "G to 3: pulse 007 'Thank you...'");

  // The reply went out once, was acknowledged with an empty B, and the gate came after.
  std::vector<std::string> lines = sim.Lines();
  int replies = 0;
  size_t ackAt = 0, gateAt = 0;
  for (size_t i = mark; i < lines.size(); ++i) {
    if (JsonString(lines[i], "t") == "reply" && JsonString(lines[i], "type") == "C") {
      ++replies;
      EXPECT_EQ(JsonString(lines[i], "data"), "123");
    }
    if (IsFrame(lines[i], 3, "B") && !ackAt) ackAt = i;
    if (IsFrame(lines[i], 3, "G") && !gateAt) gateAt = i;
  }
  EXPECT_EQ(replies, 1);
  ASSERT_GT(ackAt, 0u);
  EXPECT_LT(ackAt, gateAt);

  // The clock dispenser answered p: gate states go out time-stamped.
  ASSERT_TRUE(main.RunUntil([&] { return card.HasClock(5); }, kWait));
  card.SetGateUp(5, true);
  auto up = sim.WaitFor([](const std::string& l) { return IsFrame(l, 5, "o"); }, kWait);
  ASSERT_TRUE(up);
  EXPECT_EQ(JsonString(*up, "data").size(), 12u);
}

TEST_F(SimTest, DevicePowerCycleAndLineFaults) {
  TSimProcess sim({"--no-polls", "1-2"});
  ASSERT_TRUE(sim.Started());
  Wire();
  card.SetLastReader(2);
  card.SetPayOnFoot(true);
  ASSERT_TRUE(card.OpenDevice(sim.PtyPath())) << card.OpenError();
  ASSERT_TRUE(WaitEvent("errorex 2 true"));

  sim.Send("off 2");
  ASSERT_TRUE(WaitEvent("error 2"));
  sim.Send("on 2");
  ASSERT_TRUE(WaitEvent("errorex 2 false"));
  // Power-up at the first exchange and its P reply; the same again at the recovery.
  EXPECT_TRUE(main.RunUntil([&] { return std::count(events.begin(), events.end(), "powerup 2") == 4; }, kWait));

  // Noise before a reply and a reply with a bad check byte: the card still arrives, once.
  sim.Send("noise 1 FF 13 11 0D");
  sim.Send("badcheck 1");
  sim.Send("card 1 4711");
  ASSERT_TRUE(WaitEvent("data 1 4711"));
  auto gate = sim.WaitFor([](const std::string& l) { return IsFrame(l, 1, "G"); }, kWait);
  ASSERT_TRUE(gate);
  EXPECT_EQ(JsonString(*gate, "start"), "ENQ");
  EXPECT_EQ(std::count(events.begin(), events.end(), "data 1 4711"), 1);

  auto bad = sim.WaitFor([](const std::string& l) { return l.find("\"badcheck\":true") != std::string::npos; }, kWait);
  EXPECT_TRUE(bad);
  sim.Send("bogus 1");
  EXPECT_TRUE(sim.WaitFor([](const std::string& l) { return JsonString(l, "t") == "error"; }, kWait));
}

TEST(SimLine, LateAnswersAreDroppedSoTheLineStaysInStep) {
  // A host that gave up on address 1 and already polls address 2: the simulator, still
  // pacing its answer to 1, must not answer it, or every answer would trail by a frame.
  TSimProcess sim({"--baud", "300", "1-2"});
  ASSERT_TRUE(sim.Started());
  std::string error;
  auto port = OpenSerialDevice(sim.PtyPath(), 9600, &error);
  ASSERT_TRUE(port) << error;
  std::string frames = BuildFrame(1, "C", false) + BuildFrame(2, "C", false);
  ASSERT_EQ(port->Write(reinterpret_cast<const uint8_t*>(frames.data()), frames.size()), static_cast<long>(frames.size()));
  auto late = sim.WaitFor([](const std::string& l) { return JsonString(l, "t") == "late"; }, kWait);
  ASSERT_TRUE(late);
  EXPECT_EQ(JsonInt(*late, "addr"), 1);
  // Address 2 answers its power-up P: one reply, nothing from address 1.
  auto reply = sim.WaitFor([](const std::string& l) { return JsonString(l, "t") == "reply"; }, kWait);
  ASSERT_TRUE(reply);
  EXPECT_EQ(JsonInt(*reply, "addr"), 2);
  std::string got;
  uint8_t buf[64];
  while (port->WaitReadable(500)) {
    long n = port->Read(buf, sizeof buf);
    if (n <= 0) break;
    got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  }
  EXPECT_EQ(got, BuildReply("2P"));
}

// --reply-hold stands in for a USB adapter's latency timer: each answer leaves the simulator
// no sooner than that after the frame it answers came in.
TEST(SimLine, RepliesAreHeldForTheAdaptersLatencyTimer) {
  TSimProcess sim({"--timestamps", "--reply-hold", "30", "1"});
  ASSERT_TRUE(sim.Started());
  std::string error;
  auto port = OpenSerialDevice(sim.PtyPath(), 9600, &error);
  ASSERT_TRUE(port) << error;
  const std::string poll = BuildFrame(1, "C", false);
  ASSERT_EQ(port->Write(reinterpret_cast<const uint8_t*>(poll.data()), poll.size()), static_cast<long>(poll.size()));
  auto frame = sim.WaitFor([](const std::string& l) { return IsFrame(l, 1, "C"); }, kWait);
  auto reply = sim.WaitFor([](const std::string& l) { return JsonString(l, "t") == "reply"; }, kWait);
  ASSERT_TRUE(frame && reply);
  EXPECT_EQ(JsonString(*reply, "type"), "P");
  EXPECT_GE(JsonInt(*reply, "us") - JsonInt(*frame, "us"), 30000);

  for (const char* bad : {"-1", "1001", "x"}) {
    const std::string command = TSimProcess::BinaryPath() + " --reply-hold " + bad + " 1 >/dev/null 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << bad;
  }
}
