// The loop component with its threads running over emulated devices: properties and their
// limits, the data of every command, the resend on power-up, event delivery and closing.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/Tick.h"
#include "readerbus/FakeLine.h"
#include "readerbus/TCard.h"
#include "readerbus/TPoll.h"
#include "readerbus/TProcessInfo.h"

using namespace tarn;
using namespace tarn::readerbus;
using tarn::testing::TFakeLine;

namespace {

constexpr uint32_t kWait = 10000;

class CardTest : public ::testing::Test {
 protected:
  // Closing may still deliver an event: the handlers' vectors must outlive it.
  void TearDown() override { card.Close(); }
  // Frames with this letter to this address, data only.
  std::vector<std::string> Sent(int address, char letter) {
    std::vector<std::string> out;
    for (const auto& f : line.Frames())
      if (f.address == address && f.letter == letter) out.push_back(f.data);
    return out;
  }
  bool WaitSent(int address, char letter, size_t count = 1) {
    return line.WaitFrames([&](const std::vector<THostFrame>& fs) { return TFakeLine::Count(fs, address, letter) >= count; },
                           kWait);
  }
  bool WaitEvent(const std::string& e) {
    return main.RunUntil([&] {
      for (const auto& x : events)
        if (x == e) return true;
      return false;
    }, kWait);
  }

  platform::TMainLoop main;
  TFakeLine line;
  TCard card;
  std::vector<std::string> events;
};

}  // namespace

TEST(CardProperties, DefaultsAndLimits) {
  TCard card;
  EXPECT_EQ(card.Port(), 1);
  EXPECT_EQ(card.FirstReader(), 1);
  EXPECT_EQ(card.LastReader(), 0);
  EXPECT_EQ(card.Readers(), 0);
  EXPECT_EQ(card.Baud(), 9600u);
  EXPECT_EQ(card.OffLineDelay(), 40u);
  EXPECT_EQ(card.TurnAround(), 0);
  EXPECT_EQ(card.PollDelay(), 0u);
  EXPECT_EQ(card.RespDelay(), 0u);
  EXPECT_FALSE(card.PayOnFoot());
  EXPECT_EQ(card.CardNo(), "");

  card.SetFirstReader(0);
  card.SetFirstReader(49);
  EXPECT_EQ(card.FirstReader(), 1);
  card.SetFirstReader(48);
  EXPECT_EQ(card.FirstReader(), 48);
  card.SetFirstReader(1);
  card.SetLastReader(49);
  EXPECT_EQ(card.LastReader(), 0);
  card.SetLastReader(48);
  EXPECT_EQ(card.LastReader(), 48);
  card.SetReaders(60);
  EXPECT_EQ(card.LastReader(), 48);
  card.SetReaders(0);
  card.SetReaders(-3);
  EXPECT_EQ(card.LastReader(), 48);
  card.SetFirstReader(3);
  card.SetReaders(5);
  EXPECT_EQ(card.LastReader(), 7);
  EXPECT_EQ(card.Readers(), 5);
}

TEST(CardProperties, CommandsWhileClosedAreIgnoredAndTablesKept) {
  TCard card;
  card.SetLastReader(5);
  card.GateOpenMsg(3, true, "x", 1);
  card.SetGateUp(3, true);
  EXPECT_TRUE(card.GateUp(3));  // the table keeps the state even while closed
  card.SetIdleMessage(60, "out of range");
  EXPECT_FALSE(card.GateUp(60));
  EXPECT_FALSE(card.HasClock(3));
  EXPECT_EQ(card.DroppedCommands(), 0u);
}

TEST_F(CardTest, EveryCommandCarriesItsData) {
  line.Add(3);
  line.Add(4);
  line.Add(5, DeviceKind::Reader, true);
  card.SetFirstReader(3);
  card.SetLastReader(5);
  card.SetIdleMessage(4, "Default message");
  card.SetGateUpMessage(4, "Device activated");
  card.SetIdleMessage(5, "Idle five");
  card.SetGateUpMessage(5, "Open five");
  ASSERT_TRUE(card.OpenChannel(line.TakeHostSide()));
  ASSERT_TRUE(main.RunUntil([&] { return card.HasClock(5); }, kWait));

  card.GateOpenMsg(3, true, "Thank you...", 7);
  card.GateOpenMsg(3, true, "Thank you...", 1234);
  card.GateOpenMsg(3, false, "Going Up!", 7);
  card.GateOpenMsg(3, true, std::string(200, 'g'), 5);
  card.GateOpenMsg(3, false, std::string(200, 'b'), 5);
  ASSERT_TRUE(WaitSent(3, 'G', 3));  // fifteen commands can wait at most
  card.SetGateUp(4, true);
  card.SetGateUp(4, false);
  card.SetGateUp(5, true);
  EXPECT_TRUE(card.GateUp(5));
  card.SetGateUp(5, false);
  EXPECT_FALSE(card.GateUp(5));
  ASSERT_TRUE(WaitSent(5, 'x', 2));
  card.SendDateTime(3, "093015260105");
  card.SendSignText(3, " 123");
  card.SetOutputs(3, true, 1);
  card.SetOutputs(3, false, 4);
  card.PulseOutput(3, 1, 5);
  card.PulseOutput(3, 3, 50);
  card.SendYCommand(3, "");
  card.SendYCommand(0, "to no one");
  card.SendYCommand(6, "outside");

  ASSERT_TRUE(WaitSent(3, 'Y'));
  EXPECT_EQ(card.DroppedCommands(), 0u);
  EXPECT_EQ(Sent(3, 'G'), (std::vector<std::string>{"007Thank you...", "234Thank you...", "005" + std::string(126, 'g')}));
  std::vector<std::string> refusals;
  for (const auto& d : Sent(3, 'B'))
    if (!d.empty()) refusals.push_back(d);  // empty B frames acknowledge card replies
  EXPECT_EQ(refusals, (std::vector<std::string>{"Going Up!", std::string(129, 'b')}));
  EXPECT_EQ(Sent(4, 'O'), std::vector<std::string>{"Device activated"});
  // Address 4 got X twice: once on its power-up reply, once from SetGateUp(4, false).
  EXPECT_EQ(Sent(4, 'X'), (std::vector<std::string>{"Default message", "Default message"}));
  ASSERT_EQ(Sent(5, 'o').size(), 1u);
  EXPECT_EQ(Sent(5, 'o')[0].size(), 12u + 9u);
  EXPECT_EQ(Sent(5, 'o')[0].substr(12), "Open five");
  ASSERT_EQ(Sent(5, 'x').size(), 2u);
  EXPECT_EQ(Sent(5, 'x').back().substr(12), "Idle five");
  EXPECT_EQ(Sent(3, 'M'), std::vector<std::string>{"093015260105"});
  EXPECT_EQ(Sent(3, 'L'), std::vector<std::string>{" 123"});
  EXPECT_EQ(Sent(3, 'W'), std::vector<std::string>{"A"});
  EXPECT_EQ(Sent(3, 'F'), std::vector<std::string>{"D"});
  EXPECT_EQ(Sent(3, 'P'), (std::vector<std::string>{"@5", "B50"}));
  EXPECT_EQ(Sent(3, 'Y'), std::vector<std::string>{""});
  for (const auto& f : line.Frames()) EXPECT_TRUE(f.address >= 3 && f.address <= 5) << f.address;
}

// Texts from the database cannot break a frame: an ETX in a message would end the frame
// early at the device, an STX restart it.
TEST_F(CardTest, ControlCharactersNeverReachAFrame) {
  line.Add(3);
  card.SetFirstReader(3);
  card.SetLastReader(3);
  card.SetIdleMessage(3, std::string("Idle\x03\x02x", 7));
  ASSERT_TRUE(card.OpenChannel(line.TakeHostSide()));
  ASSERT_TRUE(WaitSent(3, 'X'));  // the power-up reply brings back the idle text
  card.GateOpenMsg(3, true, std::string("Hi\x03 Jo\n", 7), 7);
  card.GateOpenMsg(3, false, std::string("\x05No", 3), 7);
  card.SendYCommand(3, std::string("a\x01" "b", 3));
  // The sign keeps its own control codes; only framing bytes go.
  card.SendSignText(3, std::string("\x14" "1\x0d\x16" "12\x03", 7));
  card.PulseOutput(3, 64, 5);   // 127: not printable
  card.PulseOutput(3, -40, 5);  // 23: a control character
  card.PulseOutput(3, 63, 5);   // 126 '~'
  card.SendYCommand(3, "end");
  ASSERT_TRUE(line.WaitFrames([](const std::vector<THostFrame>& fs) {
    for (const auto& f : fs)
      if (f.letter == 'Y' && f.data == "end") return true;
    return false;
  }, kWait));
  EXPECT_EQ(Sent(3, 'X'), std::vector<std::string>{"Idle  x"});
  EXPECT_EQ(Sent(3, 'G'), std::vector<std::string>{"007Hi  Jo "});
  std::vector<std::string> refusals;
  for (const auto& d : Sent(3, 'B'))
    if (!d.empty()) refusals.push_back(d);
  EXPECT_EQ(refusals, std::vector<std::string>{" No"});
  EXPECT_EQ(Sent(3, 'Y'), (std::vector<std::string>{"a b", "end"}));
  EXPECT_EQ(Sent(3, 'L'), std::vector<std::string>{std::string("\x14" "1\x0d\x16" "12 ", 7)});
  EXPECT_EQ(Sent(3, 'P'), std::vector<std::string>{"~5"});
  for (const auto& f : line.Frames()) EXPECT_TRUE(f.checkOk);
}

TEST_F(CardTest, OpenWithoutHandlersForcesOffCountersAndInputs) {
  line.Add(1, DeviceKind::Counter);
  card.SetLastReader(1);
  card.SetPollDelay(1);
  ASSERT_TRUE(card.OpenChannel(line.TakeHostSide()));
  EXPECT_TRUE(card.NoCounters());
  EXPECT_TRUE(card.NoInputs());
  ASSERT_TRUE(WaitSent(1, 'C', 40));
  card.Close();
  EXPECT_EQ(Sent(1, 'R').size(), 0u);
  EXPECT_EQ(Sent(1, 'I').size(), 0u);
  EXPECT_FALSE(card.IsOpen());
  card.GateOpenMsg(1, true, "closed", 1);  // ignored, no crash
}

TEST_F(CardTest, CardReplyReachesOnDataOnTheMainThread) {
  line.Add(1);
  card.SetLastReader(2);
  bool onMain = true;
  card.OnData = [&](int16_t r, std::string v) {
    onMain = onMain && main.IsMainThread();
    events.push_back("data " + std::to_string(r) + " " + v);
    card.GateOpenMsg(r, true, "Thank you...", 7);
  };
  card.OnPowerUp = [&](int16_t r) { events.push_back("powerup " + std::to_string(r)); };
  card.OnError = [&](int16_t r) { events.push_back("error " + std::to_string(r)); };
  card.OnErrorEx = [&](int16_t r, bool c) { events.push_back("errorex " + std::to_string(r) + (c ? " true" : " false")); };
  ASSERT_TRUE(card.OpenChannel(line.TakeHostSide()));
  ASSERT_TRUE(WaitEvent("error 2"));
  ASSERT_TRUE(WaitEvent("errorex 1 true"));
  line.Command("card 1 123");
  ASSERT_TRUE(WaitEvent("data 1 123"));
  ASSERT_TRUE(WaitSent(1, 'G'));
  EXPECT_EQ(Sent(1, 'G'), std::vector<std::string>{"007Thank you..."});
  EXPECT_TRUE(onMain);
  // Address 1: on line at the first exchange, then its P reply; 2 never answered.
  std::vector<std::string> one;
  for (const auto& e : events)
    if (e.find(" 1") != std::string::npos && e.rfind("data", 0) != 0) one.push_back(e);
  EXPECT_EQ(one, (std::vector<std::string>{"powerup 1", "errorex 1 true", "powerup 1"}));
}

TEST_F(CardTest, PowerUpReplyResendsGateStateBeforeTheNextPoll) {
  line.Add(3);
  card.SetFirstReader(3);
  card.SetLastReader(3);
  card.SetIdleMessage(3, "Idle");
  card.SetGateUpMessage(3, "Held open");
  ASSERT_TRUE(card.OpenChannel(line.TakeHostSide()));
  ASSERT_TRUE(WaitSent(3, 'X'));  // the first P
  card.SetGateUp(3, true);
  ASSERT_TRUE(WaitSent(3, 'O'));
  size_t before = line.FrameCount();
  line.Command("restart 3");
  ASSERT_TRUE(WaitSent(3, 'O', 2));
  std::vector<THostFrame> frames = line.Frames();
  size_t i = before;
  while (i < frames.size() && frames[i].letter != 'O') ++i;
  ASSERT_LT(i, frames.size());
  EXPECT_EQ(frames[i].data, "Held open");
  EXPECT_EQ(frames[i - 1].letter, 'C');  // the poll answered with P, then at once the state
}

TEST_F(CardTest, CloseReturnsWithEventsPendingAndNoMainLoopPumping) {
  for (int a = 1; a <= 8; ++a) line.Add(a);
  card.SetLastReader(10);
  int delivered = 0;
  card.OnPowerUp = [&](int16_t) { ++delivered; };
  card.OnError = [&](int16_t) { ++delivered; };
  ASSERT_TRUE(card.OpenChannel(line.TakeHostSide()));
  ASSERT_TRUE(line.WaitFrames([](const std::vector<THostFrame>& fs) { return fs.size() > 50; }, kWait));
  card.Close();
  EXPECT_FALSE(card.IsOpen());
  EXPECT_LE(delivered, 1);  // at most the one in flight was delivered by Close
  // And it opens again on a fresh line.
  TFakeLine second;
  second.Add(1);
  ASSERT_TRUE(card.OpenChannel(second.TakeHostSide()));
  ASSERT_TRUE(second.WaitFrames([](const std::vector<THostFrame>& fs) { return fs.size() > 3; }, kWait));
  card.Close();
}

TEST(CardOpen, PortFailureLeavesTheCardClosed) {
  platform::TMainLoop main;
  TCard card;
  card.SetLastReader(1);
  EXPECT_FALSE(card.OpenDevice("/dev/tarncard-no-such-port"));
  EXPECT_FALSE(card.IsOpen());
  EXPECT_FALSE(card.OpenError().empty());
  card.GateOpenMsg(1, true, "x", 1);
}

// The event ring and its delivery, without a poll thread.
TEST(EventRing, HoldsSixtyThreeDeliversSpacedAndSurvivesHandlers) {
  platform::TMainLoop main;
  TCard card;
  std::vector<uint64_t> times;
  std::vector<std::string> values;
  card.OnData = [&](int16_t, std::string v) {
    times.push_back(platform::TickMs());
    values.push_back(v);
    if (v == "0") throw std::runtime_error("handler failure");
  };
  {
    TProcessInfo info(card);
    TEventValues v;
    v.reader = 1;
    int accepted = 0;
    for (int i = 0; i < 64; ++i) {
      v.value = std::to_string(i);
      accepted += info.PostEvent(TDeviceEvent::Data, v) ? 1 : 0;
    }
    EXPECT_EQ(accepted, 63);
    EXPECT_EQ(info.Dropped(), 1u);
    ASSERT_TRUE(main.RunUntil([&] { return values.size() == 63; }, 20000));
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 30u) << i;
    EXPECT_EQ(values.front(), "0");  // it threw; delivery went on
    EXPECT_EQ(values.back(), "62");

    // Comm-status events merge while one is pending.
    TProcessInfo quiet(card, false);
    v.comstat = true;
    EXPECT_TRUE(quiet.PostEvent(TDeviceEvent::CommStatus, v));
    EXPECT_TRUE(quiet.PostEvent(TDeviceEvent::CommStatus, v));
    EXPECT_TRUE(quiet.PostEvent(TDeviceEvent::Data, v));
    EXPECT_TRUE(quiet.PostEvent(TDeviceEvent::CommStatus, v));
    EXPECT_EQ(quiet.Pending(), 2);
    // No OnCommStatus handler: one dispatch skips that event and delivers the card.
    quiet.DispatchEvent();
    EXPECT_EQ(quiet.Pending(), 0);
    EXPECT_EQ(values.back(), "63");
    EXPECT_TRUE(quiet.PostEvent(TDeviceEvent::CommStatus, v));
    EXPECT_TRUE(quiet.PostEvent(TDeviceEvent::CommStatus, v));
    EXPECT_EQ(quiet.Pending(), 1);
  }
}

TEST_F(CardTest, CommStatusIsRaisedForWrittenFramesWhenHandled) {
  line.Add(1);
  card.SetLastReader(1);
  card.SetPollDelay(2);
  int good = 0, bad = 0, goodBeforeCard = -1;
  card.OnCommStatus = [&](int16_t r, bool ok) {
    EXPECT_EQ(r, 1);
    (ok ? good : bad)++;
  };
  card.OnData = [&](int16_t, std::string) { goodBeforeCard = good; };
  ASSERT_TRUE(card.OpenChannel(line.TakeHostSide()));
  ASSERT_TRUE(main.RunUntil([&] { return good >= 3; }, kWait));
  EXPECT_EQ(bad, 0);
  // The main thread looks away while 40 frames are written: they merge into the one pending
  // event, so a card read behind them waits behind that one only.
  const int before = good;
  const size_t mark = line.FrameCount();
  ASSERT_TRUE(line.WaitFrames([&](const std::vector<THostFrame>& fs) { return fs.size() >= mark + 40; }, kWait));
  line.Command("card 1 123");
  const size_t cardMark = line.FrameCount();
  ASSERT_TRUE(line.WaitFrames([&](const std::vector<THostFrame>& fs) { return fs.size() >= cardMark + 5; }, kWait));
  ASSERT_TRUE(main.RunUntil([&] { return goodBeforeCard >= 0; }, kWait));
  EXPECT_LE(goodBeforeCard - before, 1);
}

// Each device event reaches its own handler with its own arguments, and an event counts as
// handled exactly when that handler is there: an event skipped at delivery although its
// handler is assigned, or delivered to another slot, is lost to the loop.
TEST(DeviceEvents, EachEventReachesItsHandlerAndOnlyThatOne) {
  struct Case {
    TDeviceEvent event;
    const char* call;  // what the handler saw
  };
  const Case cases[] = {
      {TDeviceEvent::Counter, "counter 3 v"},     {TDeviceEvent::Input, "input 3 v"},
      {TDeviceEvent::DiscCode, "disc 3 v"},       {TDeviceEvent::Deposit, "deposit 3 v"},
      {TDeviceEvent::BarCode, "barcode 3 v"},     {TDeviceEvent::Data, "data 3 v"},
      {TDeviceEvent::InputOn, "inputon 3 4 5"},   {TDeviceEvent::InputOff, "inputoff 3 4 5"},
      {TDeviceEvent::ButtonUp, "buttonup 3 v"},   {TDeviceEvent::ButtonDown, "buttondown 3 v"},
      {TDeviceEvent::OffLine, "error 3"},         {TDeviceEvent::OnLine, "errorex 3 1"},
      {TDeviceEvent::PowerUp, "powerup 3"},       {TDeviceEvent::EscrowLever, "escrow 3"},
      {TDeviceEvent::CashBox, "cashbox 3"},       {TDeviceEvent::CommStatus, "comm 3 1"},
      {TDeviceEvent::Printer, "printer 3 v"},     {TDeviceEvent::Memory, "memory 3 v"},
  };
  ASSERT_EQ(std::size(cases), static_cast<size_t>(kDeviceEventCount - 1));
  TEventValues values;
  values.reader = 3;
  values.board = 4;
  values.input = 5;
  values.comstat = true;
  values.value = "v";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    // Each handler records what it saw into `seen`; only this event's handler is assigned.
    std::vector<std::string> seen;
    auto card = [&](const char* name) {
      return [&seen, name](int16_t r, std::string v) {
        seen.push_back(std::string(name) + " " + std::to_string(r) + " " + v);
      };
    };
    auto reader = [&](const char* name) {
      return [&seen, name](int16_t r) { seen.push_back(std::string(name) + " " + std::to_string(r)); };
    };
    auto comm = [&](const char* name) {
      return [&seen, name](int16_t r, bool s) {
        seen.push_back(std::string(name) + " " + std::to_string(r) + " " + std::to_string(s));
      };
    };
    auto input = [&](const char* name) {
      return [&seen, name](int16_t r, int16_t b, int16_t i) {
        seen.push_back(std::string(name) + " " + std::to_string(r) + " " + std::to_string(b) + " " + std::to_string(i));
      };
    };
    const std::string wanted = std::string(c.call).substr(0, std::string(c.call).find(' '));
    TCard t;
    auto pick = [&](const char* name) { return wanted == name; };
    if (pick("counter")) t.OnCounter = card("counter");
    if (pick("input")) t.OnInput = card("input");
    if (pick("disc")) t.OnDiscCode = card("disc");
    if (pick("deposit")) t.OnDeposit = card("deposit");
    if (pick("barcode")) t.OnBarCode = card("barcode");
    if (pick("data")) t.OnData = card("data");
    if (pick("inputon")) t.OnInputOn = input("inputon");
    if (pick("inputoff")) t.OnInputOff = input("inputoff");
    if (pick("buttonup")) t.OnButtonUp = card("buttonup");
    if (pick("buttondown")) t.OnButtonDown = card("buttondown");
    if (pick("error")) t.OnError = reader("error");
    if (pick("errorex")) t.OnErrorEx = comm("errorex");
    if (pick("powerup")) t.OnPowerUp = reader("powerup");
    if (pick("escrow")) t.OnEscrowLever = reader("escrow");
    if (pick("cashbox")) t.OnCashBox = reader("cashbox");
    if (pick("comm")) t.OnCommStatus = comm("comm");
    if (pick("printer")) t.OnPrinter = card("printer");
    if (pick("memory")) t.OnMemory = card("memory");
    for (const Case& other : cases) EXPECT_EQ(t.HasHandler(other.event), other.event == c.event) << other.call;
    t.DeliverEvent(c.event, values);
    EXPECT_EQ(seen, std::vector<std::string>{c.call});
  }
  // No event, or a number beyond the last: nothing is raised.
  TCard all;
  int raised = 0;
  all.OnData = [&](int16_t, std::string) { ++raised; };
  all.OnPowerUp = [&](int16_t) { ++raised; };
  for (TDeviceEvent e : {TDeviceEvent::None, static_cast<TDeviceEvent>(kDeviceEventCount)}) {
    EXPECT_FALSE(all.HasHandler(e));
    all.DeliverEvent(e, values);
  }
  EXPECT_EQ(raised, 0);
}
