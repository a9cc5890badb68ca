// Line faults on a simulated loop: noise, bad check bytes, replies cut short or endless, a
// device answering every other poll, a device powered off for a while (3 s standing in for
// the minute of a real site), and the other end of the pseudo-terminal going away. The poll
// thread must survive all of it without spinning, report each state change once, and keep
// polling the healthy devices.
#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/Tick.h"
#include "readerbus/Frame.h"
#include "readerbus/SerialPort.h"
#include "readerbus/TCard.h"
#include "support/ScratchDir.h"
#include "support/SimProcess.h"

namespace tarn::test {
namespace {

using ::tarn::testing::JsonInt;
using ::tarn::testing::JsonString;
using ::tarn::testing::TSimProcess;
using readerbus::TCard;

constexpr int kWait = 10000;

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool IsFrameTo(const std::string& line, int address) {
  return JsonString(line, "t") == "frame" && JsonInt(line, "addr") == address;
}

class SerialFaults : public ::testing::Test {
 protected:
  // Closing may still deliver an event: the handlers' maps must outlive it.
  void TearDown() override { card.Close(); }
  void Wire() {
    card.OnData = [this](int16_t r, std::string v) {
      data[r].push_back(v);
      card.GateOpenMsg(r, true, "Thank you...", 7);
    };
    card.OnPowerUp = [this](int16_t r) { ++powerUps[r]; };
    card.OnError = [this](int16_t r) { ++errors[r]; };
    card.SetFirstReader(1);
    card.SetLastReader(4);
    // A short pause after every poll step keeps the unpaced simulator's output readable.
    card.SetPollDelay(5);
  }
  bool Run(const std::function<bool()>& pred, int ms = kWait) {
    return main.RunUntil(pred, static_cast<uint32_t>(ms));
  }
  // Waits (delivering events) until `count` more frames to `address` were sent after `from`.
  bool WaitFrames(TSimProcess& sim, int address, size_t from, int count) {
    return Run([&] {
      int n = 0;
      const auto lines = sim.Lines();
      for (size_t i = from; i < lines.size(); ++i)
        if (IsFrameTo(lines[i], address)) ++n;
      return n >= count;
    });
  }
  // Time stamps (us) of the polls of `address` in output lines [from, to).
  static std::vector<long> PollTimes(const std::vector<std::string>& lines, int address, size_t from, size_t to) {
    std::vector<long> t;
    for (size_t i = from; i < std::min(to, lines.size()); ++i)
      if (IsFrameTo(lines[i], address) && JsonString(lines[i], "cmd") == "C") t.push_back(JsonInt(lines[i], "us"));
    return t;
  }

  platform::TMainLoop main;
  TCard card;
  std::map<int, int> powerUps, errors;
  std::map<int, std::vector<std::string>> data;
};

TEST_F(SerialFaults, FaultsOnOneDeviceLeaveTheOthersPolledAndAreReportedOnce) {
  TSimProcess sim({"--timestamps", "1-4"});
  ASSERT_TRUE(sim.Started());
  Wire();
  ASSERT_TRUE(card.OpenDevice(sim.PtyPath())) << card.OpenError();
  // Coming on line is reported, and so is the device's own power-up reply (P): two each.
  ASSERT_TRUE(Run([&] { return powerUps[1] == 2 && powerUps[2] == 2 && powerUps[3] == 2 && powerUps[4] == 2; }));

  // Quiet line: the gaps between polls of address 1 as a reference.
  size_t mark = sim.LineCount();
  ASSERT_TRUE(WaitFrames(sim, 1, mark, 60));
  auto quiet = PollTimes(sim.Lines(), 1, mark, sim.LineCount());
  ASSERT_GE(quiet.size(), 40u);
  const double quietGap = static_cast<double>(quiet.back() - quiet.front()) / static_cast<double>(quiet.size() - 1);

  const double cpu0 = CpuSeconds();
  const uint64_t wall0 = platform::TickMs();
  const size_t faultsFrom = sim.LineCount();

  // Address 4 is powered off for a while; the others run their faults meanwhile.
  sim.Send("off 4");

  // Address 2: noise ahead of an answer, a card whose first reply has a bad check byte, a
  // reply cut short, and 10 000 bytes without an end.
  sim.Send("noise 2 FF 13 11 00 7E");
  sim.Send("card 2 777");
  sim.Send("badcheck 2");
  ASSERT_TRUE(Run([&] { return !data[2].empty(); }));
  mark = sim.LineCount();
  ASSERT_TRUE(WaitFrames(sim, 2, mark, 2));
  sim.Send("raw 2 01 32 43 31 32 33");
  mark = sim.LineCount();
  ASSERT_TRUE(WaitFrames(sim, 2, mark, 3));
  std::string babble;
  for (int i = 0; i < 10000; ++i) babble += "41 ";
  sim.Send("raw 2 " + babble);
  mark = sim.LineCount();
  ASSERT_TRUE(WaitFrames(sim, 2, mark, 3));
  // Both raw answers really went out (the simulator took the commands).
  size_t rawReplies = 0;
  for (const auto& l : sim.Lines())
    if (JsonString(l, "t") == "reply" && JsonInt(l, "addr") == 2 && JsonString(l, "type") == "raw") ++rawReplies;
  EXPECT_EQ(rawReplies, 2u);
  sim.Send("card 2 778");
  ASSERT_TRUE(Run([&] { return data[2].size() >= 2; }));

  // Address 3 answers only every other frame.
  for (int i = 0; i < 12; ++i) {
    sim.Send("silent 3 1");
    mark = sim.LineCount();
    ASSERT_TRUE(WaitFrames(sim, 3, mark, 2));
  }
  sim.Send("card 3 333");
  ASSERT_TRUE(Run([&] { return !data[3].empty(); }));

  // Address 4 has been off long enough to be reported once; it comes back after 3 s.
  ASSERT_TRUE(Run([&] { return errors[4] == 1; }));
  mark = sim.LineCount();
  const uint64_t offSince = platform::TickMs();
  ASSERT_TRUE(Run([&] { return platform::TickMs() - offSince >= 3000; }, 5000));
  sim.Send("on 4");
  ASSERT_TRUE(Run([&] { return powerUps[4] == 4; }));
  sim.Send("card 4 444");
  ASSERT_TRUE(Run([&] { return !data[4].empty(); }));
  sim.Send("card 1 111");
  ASSERT_TRUE(Run([&] { return !data[1].empty(); }));

  const double cpu = CpuSeconds() - cpu0;
  const double wall = static_cast<double>(platform::TickMs() - wall0) / 1000.0;
  EXPECT_LT(cpu, 0.5 * wall) << "the process used " << cpu << " s of CPU in " << wall << " s";

  // Each state change once; every card once, in order.
  EXPECT_EQ(errors[1], 0);
  EXPECT_EQ(errors[2], 0);
  EXPECT_EQ(errors[3], 0);
  EXPECT_EQ(errors[4], 1);
  EXPECT_EQ(powerUps[1], 2);
  EXPECT_EQ(powerUps[2], 2);
  EXPECT_EQ(powerUps[3], 2);
  EXPECT_EQ(powerUps[4], 4);
  EXPECT_EQ(data[2], (std::vector<std::string>{"777", "778"}));
  EXPECT_EQ(data[3], std::vector<std::string>{"333"});
  EXPECT_EQ(data[4], std::vector<std::string>{"444"});
  EXPECT_EQ(data[1], std::vector<std::string>{"111"});

  // Address 1 went on being polled: no gap much beyond a cycle of failing exchanges (each
  // at most the reply time-out plus the frame) on top of the quiet cycle.
  auto during = PollTimes(sim.Lines(), 1, faultsFrom, sim.LineCount());
  ASSERT_GE(during.size(), 20u);
  long worst = 0;
  for (size_t i = 1; i < during.size(); ++i) worst = std::max(worst, during[i] - during[i - 1]);
  const double allowance = quietGap + 3 * (card.OffLineDelay() + 20) * 1000.0 + 200000.0;
  EXPECT_LT(static_cast<double>(worst), allowance)
      << "address 1 waited " << worst << " us between polls (quiet cycle " << quietGap << " us)";
  card.Close();
}

// The line goes away under the open port (an adapter unplugged; here the simulator ends)
// and a new one appears at the same path: the loop reports the loss once, opens the path
// again by itself, and the devices come back through their power-up, without a Close.
TEST_F(SerialFaults, LostLineIsOpenedAgainAtTheSamePath) {
  const auto dir = ::tarn::testing::ScratchDir("reliability");
  const std::string link = (dir / "loop1").string();
  auto sim = std::make_unique<TSimProcess>(std::vector<std::string>{"--no-polls", "--link", link, "1-4"});
  ASSERT_TRUE(sim->Started());
  Wire();
  std::mutex notesMutex;
  std::vector<std::string> notes;
  card.OnLineNote = [&](const std::string& text) {
    std::lock_guard<std::mutex> lock(notesMutex);
    notes.push_back(text);
  };
  auto notesWith = [&](const std::string& word) {
    std::lock_guard<std::mutex> lock(notesMutex);
    return std::count_if(notes.begin(), notes.end(),
                         [&](const std::string& n) { return n.find(word) != std::string::npos; });
  };
  ASSERT_TRUE(card.OpenDevice(link)) << card.OpenError();
  ASSERT_TRUE(Run([&] { return powerUps[1] == 2 && powerUps[2] == 2 && powerUps[3] == 2 && powerUps[4] == 2; }));

  // The simulator ends: the pseudo-terminal's other end is closed under the open port.
  sim.reset();
  ASSERT_TRUE(Run([&] { return errors[1] && errors[2] && errors[3] && errors[4]; }));
  const double cpu0 = CpuSeconds();
  const uint64_t wall0 = platform::TickMs();
  // Commands to the devices now off line are not kept while the line is away: they would
  // fill the queue until commands are dropped.
  for (int i = 0; i < 600; ++i) card.SendYCommand(1 + i % 4, "dead " + std::to_string(i));
  // A dead line for two and a half seconds: no new reports, no spinning.
  ASSERT_TRUE(Run([&] { return platform::TickMs() - wall0 >= 2500; }, 5000));
  for (int i = 0; i < 600; ++i) card.SendYCommand(1 + i % 4, "dead " + std::to_string(i));
  EXPECT_EQ(card.DroppedCommands(), 0u);
  const double cpu = CpuSeconds() - cpu0;
  EXPECT_LT(cpu, 0.5) << "CPU seconds on a dead line in 2 s: " << cpu;
  EXPECT_TRUE(card.IsOpen());
  for (int a = 1; a <= 4; ++a) EXPECT_EQ(errors[a], 1) << "address " << a;
  EXPECT_EQ(notesWith("lost"), 1);
  EXPECT_EQ(card.LinesLost(), 1u);

  // A new line under the same name: the loop finds it by itself.
  sim = std::make_unique<TSimProcess>(std::vector<std::string>{"--no-polls", "--link", link, "1-4"});
  ASSERT_TRUE(sim->Started());
  ASSERT_TRUE(Run([&] { return powerUps[1] == 4 && powerUps[2] == 4 && powerUps[3] == 4 && powerUps[4] == 4; }));
  sim->Send("card 2 42");
  ASSERT_TRUE(Run([&] { return !data[2].empty(); }));
  EXPECT_EQ(data[2], std::vector<std::string>{"42"});
  for (int a = 1; a <= 4; ++a) EXPECT_EQ(errors[a], 1) << "address " << a;
  EXPECT_EQ(notesWith("lost"), 1);
  EXPECT_EQ(notesWith("is back"), 1);
  EXPECT_EQ(card.LinesReopened(), 1u);
  card.Close();
}

// A device that talks for another address without end: the address polled goes off line
// once, the rest of the loop is still polled, and Close returns while it keeps talking.
TEST_F(SerialFaults, EndlessChatterForAnotherAddressCannotHoldTheLoop) {
  std::string slave;
  std::string error;
  const int master = readerbus::OpenPtyMaster(slave, &error);
  ASSERT_GE(master, 0) << error;
  std::atomic<bool> stop{false};
  std::atomic<bool> chattering{false};
  std::atomic<int> framesTo3{0};
  std::atomic<uint64_t> chatter{0};
  // The far side: answers address 2 and 3 with an ACK; from the first frame to address 1
  // on, sends replies naming address 2 without pause (bounded to 60 s for safety).
  std::thread device([&] {
    readerbus::TFrameDecoder decoder;
    const std::string stray = readerbus::BuildReply("2C555");
    const std::string ack(1, '\x06');
    const uint64_t t0 = platform::TickMs();
    while (!stop.load() && platform::TickMs() - t0 < 60000) {
      pollfd p{master, POLLIN, 0};
      ::poll(&p, 1, 1);
      uint8_t buf[256];
      ssize_t n = ::read(master, buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i) {
        if (!decoder.Feed(buf[i]) || !decoder.Frame().checkOk) continue;
        const int a = decoder.Frame().address;
        if (a == 1) chattering.store(true);
        if (a == 3) framesTo3.fetch_add(1);
        if (a == 2 || a == 3) (void)!::write(master, ack.data(), ack.size());
      }
      if (chattering.load() && ::write(master, stray.data(), stray.size()) > 0) chatter.fetch_add(1);
    }
  });
  // Whatever the test's outcome: the loop closed first, then the device stopped and joined.
  struct DeviceEnd {
    TCard& card;
    std::atomic<bool>& stop;
    std::thread& device;
    int master;
    ~DeviceEnd() {
      card.Close();
      stop.store(true);
      if (device.joinable()) device.join();
      ::close(master);
    }
  } deviceEnd{card, stop, device, master};
  Wire();
  card.SetLastReader(3);
  ASSERT_TRUE(card.OpenDevice(slave)) << card.OpenError();
  ASSERT_TRUE(Run([&] { return errors[1] == 1 && chattering.load(); }));
  const int polled = framesTo3.load();
  ASSERT_TRUE(Run([&] { return framesTo3.load() >= polled + 20; })) << "address 3 is no longer polled";
  EXPECT_EQ(errors[1], 1);
  EXPECT_GT(card.StrayReplies(), 0u);

  const uint64_t before = chatter.load();
  const uint64_t t0 = platform::TickMs();
  card.Close();
  const uint64_t closeMs = platform::TickMs() - t0;
  EXPECT_GT(chatter.load(), before) << "the device stopped talking before Close returned";
  // The device would talk on for a minute: Close must not wait for it to fall silent.
  EXPECT_LT(closeMs, 10000u) << "Close took " << closeMs << " ms while the line kept talking";
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// 48 devices powering up fill the 64-slot event ring long before the main thread takes the
// first event. A card read meanwhile must wait at the device, not be acknowledged and lost.
TEST(EventRingFull, ACardReadWhileTheRingIsFullIsDeliveredOnce) {
  platform::TMainLoop main;
  TCard card;
  std::vector<std::string> cards;
  std::map<int, int> powerUps;
  card.OnData = [&](int16_t r, std::string v) { cards.push_back(std::to_string(r) + ":" + v); };
  card.OnPowerUp = [&](int16_t r) { ++powerUps[r]; };
  card.OnErrorEx = [&](int16_t, bool) {};
  card.SetLastReader(48);
  TSimProcess sim({"1-48"});
  ASSERT_TRUE(sim.Started());
  ASSERT_TRUE(card.OpenDevice(sim.PtyPath())) << card.OpenError();
  // Without the main loop running no event is taken; wait (on the line only) until every
  // device has answered its power-up and been polled again: far more than 63 events.
  auto polledTwice = [&](int address) {
    int n = 0;
    for (const auto& l : sim.Lines())
      if (IsFrameTo(l, address) && JsonString(l, "cmd") == "C") ++n;
    return n >= 2;
  };
  const uint64_t t0 = platform::TickMs();
  while (!polledTwice(48) && platform::TickMs() - t0 < kWait) platform::SleepMs(10);
  ASSERT_TRUE(polledTwice(48));

  const size_t mark = sim.LineCount();
  sim.Send("card 5 555");
  // The reply goes out again and again: nobody acknowledges it while the ring is full.
  ASSERT_TRUE(sim.WaitFor(
      [&](const std::string& l) {
        return JsonString(l, "t") == "reply" && JsonInt(l, "addr") == 5 && JsonString(l, "type") == "C";
      },
      kWait, mark));
  int replies = 0;
  const uint64_t t1 = platform::TickMs();
  while (replies < 3 && platform::TickMs() - t1 < kWait) {
    replies = 0;
    for (const auto& l : sim.Lines())
      if (JsonString(l, "t") == "reply" && JsonInt(l, "addr") == 5 && JsonString(l, "type") == "C") ++replies;
    platform::SleepMs(10);
  }
  EXPECT_GE(replies, 3) << "the card reply was not repeated";

  // The main thread catches up: the card arrives exactly once and is then acknowledged.
  ASSERT_TRUE(main.RunUntil([&] { return !cards.empty(); }, 30000)) << "the card read was lost";
  ASSERT_TRUE(sim.WaitFor([&](const std::string& l) { return IsFrameTo(l, 5) && JsonString(l, "cmd") == "B"; },
                          kWait, mark));
  sim.Send("card 6 666");
  // A second read at reader 6 is the marker: the device presents it only once 666 was
  // acknowledged, and a repeated delivery of 555 or 666 would come before it.
  sim.Send("card 6 667");
  ASSERT_TRUE(main.RunUntil([&] { return cards.size() >= 3; }, 30000));
  EXPECT_EQ(cards, (std::vector<std::string>{"5:555", "6:666", "6:667"}));
  // Every device's coming on line is reported, however full the ring was at the time.
  main.RunUntil([&] { return powerUps.size() == 48; }, 30000);
  EXPECT_EQ(powerUps.size(), 48u);
  card.Close();
}

// Forty-eight devices power up at once and every one presents a card: twice as many events
// as the ring holds, and more acknowledgements than the command ring. Every read arrives
// exactly once.
TEST(EventRingFull, FortyEightReadersPoweringUpWithACardEachLoseNoneAndDoubleNone) {
  platform::TMainLoop main;
  TCard card;
  std::map<int, std::vector<std::string>> cards;
  size_t total = 0;
  std::map<int, int> powerUps;
  card.OnData = [&](int16_t r, std::string v) {
    cards[r].push_back(v);
    ++total;
    card.GateOpenMsg(r, true, v, 7);
  };
  card.OnPowerUp = [&](int16_t r) { ++powerUps[r]; };
  card.SetLastReader(48);
  TSimProcess sim({"--no-polls", "1-48"});
  ASSERT_TRUE(sim.Started());
  for (int a = 1; a <= 48; ++a) sim.Send("card " + std::to_string(a) + " " + std::to_string(5000 + a));
  ASSERT_TRUE(card.OpenDevice(sim.PtyPath())) << card.OpenError();
  ASSERT_TRUE(main.RunUntil([&] { return total >= 48; }, 60000)) << "reads delivered: " << total;
  // A second read at every reader is the marker: a device presents it only once the first was
  // acknowledged, and a repeated delivery of the first would come before it.
  for (int a = 1; a <= 48; ++a) sim.Send("card " + std::to_string(a) + " " + std::to_string(6000 + a));
  ASSERT_TRUE(main.RunUntil([&] { return total >= 96; }, 60000)) << "reads delivered: " << total;
  for (int a = 1; a <= 48; ++a)
    EXPECT_EQ(cards[a], (std::vector<std::string>{std::to_string(5000 + a), std::to_string(6000 + a)})) << a;
  EXPECT_EQ(total, 96u);
  EXPECT_EQ(card.DroppedCommands(), 0u);
  // Each reader opened its gate once per read (the gate message names the card), in order.
  auto gates = [&] {
    std::map<long, std::vector<std::string>> out;
    for (const auto& l : sim.Lines())
      if (JsonString(l, "t") == "frame" && JsonString(l, "cmd") == "G") out[JsonInt(l, "addr")].push_back(JsonString(l, "data"));
    return out;
  };
  ASSERT_TRUE(main.RunUntil([&] {
    const auto g = gates();
    for (int a = 1; a <= 48; ++a)
      if (g.count(a) == 0 || g.at(a).back() != "007" + std::to_string(6000 + a)) return false;
    return true;
  }, kWait));
  const auto g = gates();
  for (int a = 1; a <= 48; ++a)
    EXPECT_EQ(g.at(a), (std::vector<std::string>{"007" + std::to_string(5000 + a), "007" + std::to_string(6000 + a)}))
        << a;
  card.Close();
}

}  // namespace
}  // namespace tarn::test
