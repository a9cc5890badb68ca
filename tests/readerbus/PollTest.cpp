// The poll cycle stepped by hand over emulated devices: on-line tracking, the command ring,
// poll scheduling and the reply types. Events stay in the ring until the test delivers them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "platform/Tick.h"
#include "readerbus/ByteChannel.h"
#include "readerbus/FakeLine.h"
#include "readerbus/Frame.h"
#include "readerbus/TCard.h"
#include "readerbus/TPoll.h"
#include "util/DateTime.h"

using namespace tarn;
using namespace tarn::readerbus;
using tarn::testing::TFakeLine;

namespace {

class PollStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    card.SetFirstReader(1);
    card.SetLastReader(1);
    card.SetNoCounters(true);
    card.SetNoInputs(true);
    card.OnData = [this](int16_t r, std::string v) { Record("data", r, v); };
    card.OnMemory = [this](int16_t r, std::string v) { Record("memory", r, v); };
    card.OnBarCode = [this](int16_t r, std::string v) { Record("barcode", r, v); };
    card.OnPrinter = [this](int16_t r, std::string v) { Record("printer", r, v); };
    card.OnCounter = [this](int16_t r, std::string v) { Record("counter", r, v); };
    card.OnInput = [this](int16_t r, std::string v) { Record("input", r, v); };
    card.OnButtonUp = [this](int16_t r, std::string v) { Record("buttonup", r, v); };
    card.OnButtonDown = [this](int16_t r, std::string v) { Record("buttondown", r, v); };
    card.OnInputOn = [this](int16_t r, int16_t b, int16_t i) { Record("inputon", r, std::to_string(b) + "/" + std::to_string(i)); };
    card.OnInputOff = [this](int16_t r, int16_t b, int16_t i) { Record("inputoff", r, std::to_string(b) + "/" + std::to_string(i)); };
    card.OnError = [this](int16_t r) { Record("error", r, ""); };
    card.OnErrorEx = [this](int16_t r, bool c) { Record("errorex", r, c ? "true" : "false"); };
    card.OnPowerUp = [this](int16_t r) { Record("powerup", r, ""); };
    card.OnDiscCode = [this](int16_t r, std::string v) { Record("disccode", r, v); };
    card.OnDeposit = [this](int16_t r, std::string v) { Record("deposit", r, v); };
    card.OnEscrowLever = [this](int16_t r) { Record("escrow", r, ""); };
    card.OnCashBox = [this](int16_t r) { Record("cashbox", r, ""); };
    poll = std::make_unique<TPoll>(card, false);
    poll->AttachChannel(line.TakeHostSide());
  }
  void TearDown() override { poll.reset(); }

  void Record(const char* what, int16_t reader, const std::string& value) {
    events.push_back(std::string(what) + " " + std::to_string(reader) + (value.empty() ? "" : " " + value));
  }
  // Delivers everything the poll thread posted.
  std::vector<std::string> Drain() {
    events.clear();
    while (poll->Events().Pending() > 0) poll->Events().DispatchEvent();
    return events;
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) poll->PollStep();
  }
  // Letters of the frames to an address, in order.
  std::string Letters(int address) {
    std::string out;
    for (const auto& f : line.Frames())
      if (f.address == address) out.push_back(f.letter);
    return out;
  }

  TFakeLine line;
  TCard card;
  std::unique_ptr<TPoll> poll;
  std::vector<std::string> events;
};

using Events = std::vector<std::string>;

}  // namespace

TEST_F(PollStepTest, OnLineTrackingAcrossSilenceAndRecovery) {
  card.SetLastReader(2);
  line.WithEmulator([](TEmulator& e) { e.SetPowerUpReplies(false); });
  line.Add(1);
  // Address 2 never answers: one OnError at its first exchange, nothing more after.
  Steps(2);
  EXPECT_EQ(Drain(), (Events{"error 2", "powerup 1", "errorex 1 true"}));
  Steps(10);
  EXPECT_EQ(Drain(), Events{});
  EXPECT_FALSE(poll->Online(2));

  // It answers at last: on line again, reported as a recovery.
  line.Add(2);
  Steps(2);
  EXPECT_EQ(Drain(), (Events{"powerup 2", "errorex 2 false"}));

  // It stops answering: three failures are tolerated, the fourth reports it.
  line.Command("off 2");
  Steps(6);  // three polls to address 2
  EXPECT_EQ(Drain(), Events{});
  EXPECT_TRUE(poll->Online(2));
  Steps(2);
  EXPECT_EQ(Drain(), Events{"error 2"});
  EXPECT_FALSE(poll->Online(2));

  // A failure in between resets the count.
  line.Command("on 2");
  Steps(2);
  Drain();
  line.Command("silent 2 3");
  Steps(6);
  Steps(2);  // one answer in between
  line.Command("silent 2 3");
  Steps(6);
  EXPECT_EQ(Drain(), Events{});
}

TEST_F(PollStepTest, FailedCommandWaitsWhileOnLineAndIsDroppedWhenOffLine) {
  card.SetLastReader(2);
  line.WithEmulator([](TEmulator& e) { e.SetPowerUpReplies(false); });
  line.Add(1);
  Steps(2);  // 1 on line, 2 off line
  Drain();

  line.Command("silent 1 1");
  poll->QueueCommand(1, 'Y', "first");
  poll->QueueCommand(1, 'Y', "second");
  Steps(1);  // the first Y goes unanswered: it stays, the second waits behind it
  EXPECT_EQ(poll->PendingCommands(), 2);
  Steps(1);
  EXPECT_EQ(poll->PendingCommands(), 0);
  std::vector<std::string> ys;
  for (const auto& f : line.Frames())
    if (f.letter == 'Y') ys.push_back(f.data);
  EXPECT_EQ(ys, (std::vector<std::string>{"first", "first", "second"}));

  // To an off-line device: tried once, then dropped.
  poll->QueueCommand(2, 'Y', "lost");
  Steps(1);
  EXPECT_EQ(poll->PendingCommands(), 0);
  Steps(2);
  size_t tries = 0;
  for (const auto& f : line.Frames()) tries += f.letter == 'Y' && f.data == "lost";
  EXPECT_EQ(tries, 1u);
}

// Commands beyond the 15 the ring holds wait behind it, in order; only past the backlog is
// one dropped, and then it is counted for its address.
TEST_F(PollStepTest, CommandsBeyondTheRingWaitInOrderAndOnlyABacklogOverflowIsDropped) {
  card.SetLastReader(3);
  for (int i = 0; i < 30; ++i) poll->QueueCommand(2, 'M', std::to_string(i));
  EXPECT_EQ(poll->PendingCommands(), 30);
  EXPECT_EQ(poll->DroppedCommands(), 0u);
  poll->QueueCommand(0, 'Y', "");
  poll->QueueCommand(4, 'Y', "");
  EXPECT_EQ(poll->PendingCommands(), 30);  // outside the range: ignored

  line.Add(2);
  Steps(1);
  std::vector<std::string> sent;
  for (const auto& f : line.Frames())
    if (f.letter == 'M') sent.push_back(f.data);
  ASSERT_EQ(sent.size(), 30u);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(sent[static_cast<size_t>(i)], std::to_string(i));

  // Ring and backlog full: the rest is dropped, counted once for its address.
  line.Command("silent 2 100000");
  const int kept = TPoll::kRingSize - 1 + static_cast<int>(TPoll::kBacklog);
  for (int i = 0; i < kept + 7; ++i) poll->QueueCommand(i % 2 ? 2 : 3, 'Y', std::to_string(i));
  EXPECT_EQ(poll->PendingCommands(), kept);
  EXPECT_EQ(poll->DroppedCommands(), 7u);
  EXPECT_EQ(poll->TakeDroppedCommands(2) + poll->TakeDroppedCommands(3), 7u);
  EXPECT_EQ(poll->TakeDroppedCommands(2) + poll->TakeDroppedCommands(3), 0u);
}

// A card read while the command ring is full gives one event and one acknowledgement: the
// acknowledgement has room of its own and goes out before the waiting commands.
TEST_F(PollStepTest, ReadWithAFullRingIsAcknowledgedOnceAndReportedOnce) {
  card.SetLastReader(2);
  line.Add(1);
  line.Add(2);
  Steps(4);
  Drain();
  line.Command("silent 2 3");  // address 2 holds the ring for a few cycles
  for (int i = 0; i < 20; ++i) poll->QueueCommand(2, 'Y', std::to_string(i));
  line.Command("card 1 4711");
  for (int i = 0; i < 12 && poll->PendingCommands() > 0; ++i) Steps(1);
  Steps(4);
  const auto frames = line.Frames();
  EXPECT_EQ(TFakeLine::Count(frames, 1, 'B'), 1u);
  // The acknowledgement did not wait behind the commands.
  auto at = [&](int address, char letter, const std::string& data) {
    for (size_t i = 0; i < frames.size(); ++i)
      if (frames[i].address == address && frames[i].letter == letter && frames[i].data == data) return i;
    return frames.size();
  };
  EXPECT_LT(at(1, 'B', ""), at(2, 'Y', "15"));
  std::vector<std::string> ys;  // each in order; one may have been retried while silent
  for (const auto& f : frames)
    if (f.letter == 'Y' && (ys.empty() || ys.back() != f.data)) ys.push_back(f.data);
  ASSERT_EQ(ys.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(ys[static_cast<size_t>(i)], std::to_string(i));
  const Events events = Drain();
  EXPECT_EQ(std::count(events.begin(), events.end(), "data 1 4711"), 1);
  EXPECT_EQ(poll->DroppedCommands(), 0u);
}

// With no room for the events, a reply is neither reported nor acknowledged: the device
// repeats it. A counter reading is remembered only once reported; input reports go all or
// none.
TEST_F(PollStepTest, RepliesWithoutRoomForTheirEventsAreRepeatedNotLost) {
  card.SetNoCounters(false);
  line.WithEmulator([](TEmulator& e) { e.SetPowerUpReplies(false); });
  line.Add(1, DeviceKind::Counter);
  Steps(1);
  Drain();
  TEventValues filler;
  filler.reader = 9;
  while (poll->Events().PostEvent(TDeviceEvent::Input, filler)) {
  }
  line.Command("card 1 77");
  Steps(3);
  EXPECT_EQ(TFakeLine::Count(line.Frames(), 1, 'B'), 0u);
  line.Command("counter 1 00042");
  for (int i = 0; i < 12; ++i) Steps(1);  // the counter poll comes round with the ring full
  line.Command("inputs 1 3 2121");
  Steps(2);
  EXPECT_EQ(TFakeLine::Count(line.Frames(), 1, 'L'), 0u);

  // Room again: every reply is taken once.
  Events seen;
  for (int i = 0; i < 40; ++i) {
    for (const auto& e : Drain())
      if (e.rfind("input 9", 0) != 0) seen.push_back(e);
    Steps(1);
  }
  for (const auto& e : Drain()) seen.push_back(e);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "data 1 77"), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "counter 1 00042"), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "inputon 1 3/0"), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "inputoff 1 3/3"), 1);
  EXPECT_EQ(TFakeLine::Count(line.Frames(), 1, 'B'), 1u);
}

// Every address on its own count: a counter poll as its every 11th poll, an input poll as
// every 21st of its other polls; the rest are plain polls. Switched off, only plain polls.
TEST_F(PollStepTest, CounterInputAndClockPollScheduling) {
  card.SetLastReader(2);
  card.SetNoCounters(false);
  card.SetNoInputs(false);
  line.WithEmulator([](TEmulator& e) { e.SetPowerUpReplies(false); });
  line.Add(1, DeviceKind::Counter);
  line.Add(2, DeviceKind::Counter);
  constexpr size_t kPolls = 231;  // of each address
  for (size_t i = 0; i < kPolls * 2; i += 42) {
    Steps(42);
    Drain();
  }
  for (int address : {1, 2}) {
    const std::string letters = Letters(address);
    ASSERT_EQ(letters.size(), kPolls) << address;
    int others = 0;  // polls since the last input poll that were not counter polls
    for (size_t i = 0; i < letters.size(); ++i) {
      const char letter = letters[i];
      EXPECT_EQ(letter == 'R', (i + 1) % 11 == 0) << "address " << address << " poll " << i + 1;
      if (letter == 'R') continue;
      ++others;
      EXPECT_EQ(letter == 'I', others == 21) << "address " << address << " poll " << i + 1;
      EXPECT_TRUE(letter == 'C' || letter == 'I') << letter;
      if (letter == 'I') others = 0;
    }
    EXPECT_EQ(std::count(letters.begin(), letters.end(), 'I'), 10) << address;
  }

  card.SetNoCounters(true);
  card.SetNoInputs(true);
  Steps(60);
  EXPECT_EQ(Letters(1).substr(kPolls), std::string(30, 'C'));
  EXPECT_EQ(Letters(2).substr(kPolls), std::string(30, 'C'));
}

TEST_F(PollStepTest, ClockDevicesGetTheTimeOnceAnHour) {
  std::atomic<int> hour{10};
  ScopedClock clock([&] { return EncodeDateTime(2026, 1, 5, hour.load(), 59, 30); });
  poll.reset();
  poll = std::make_unique<TPoll>(card, false);  // the last sync hour is taken at creation
  TFakeLine clockLine;
  poll->AttachChannel(clockLine.TakeHostSide());
  clockLine.Add(1, DeviceKind::Reader, true);
  card.SetNoCounters(false);

  Steps(3);  // p at power-up marks the clock device
  EXPECT_TRUE(card.HasClock(1));
  Steps(10);  // same hour: the 11th poll is the counter poll
  hour = 11;
  Steps(6);
  std::vector<THostFrame> frames = clockLine.Frames();
  ASSERT_EQ(frames.size(), 19u);
  EXPECT_EQ(frames[10].letter, 'R');
  EXPECT_EQ(frames[13].letter, 'S');
  EXPECT_EQ(frames[13].data, "115930260105");
  for (size_t i = 14; i < frames.size(); ++i) EXPECT_EQ(frames[i].letter, 'C') << i;

  // The hour changes on a counter poll: S goes out in its place.
  Steps(13);  // polls 20..32
  hour = 12;
  Steps(12);  // polls 33..44
  frames = clockLine.Frames();
  ASSERT_EQ(frames.size(), 44u);
  EXPECT_EQ(frames[21].letter, 'R');
  EXPECT_EQ(frames[32].letter, 'S');
  EXPECT_EQ(frames[32].data, "125930260105");
  EXPECT_EQ(frames[43].letter, 'R');
}

TEST_F(PollStepTest, ReplyTypesAndTheirAcknowledgements) {
  line.Add(1);
  Steps(1);
  EXPECT_EQ(Drain(), (Events{"powerup 1", "errorex 1 true", "powerup 1"}));

  line.Command("card 1 123");
  Steps(2);  // the reply, then the acknowledgement before the next poll
  EXPECT_EQ(Drain(), Events{"data 1 123"});
  std::vector<THostFrame> frames = line.Frames();
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(frames[frames.size() - 2].letter, 'B');
  EXPECT_EQ(frames[frames.size() - 2].data, "");
  EXPECT_EQ(poll->CardNo(), "");  // the poll after the acknowledgement got a lone ACK

  struct Case {
    const char* command;
    Events events;
    std::string ack;  // letter + data; "" = none
  } cases[] = {
      {"memory 1 M0001", {"memory 1 M0001"}, "M"},
      {"barcode 1 0123456789", {"barcode 1 0123456789"}, "A"},
      {"printer 1 0004", {"printer 1 0004"}, "J"},
      {"button 1 5 1", {"buttonup 1 5"}, "K5"},
      {"button 1 7 0", {"buttondown 1 7"}, "K7"},
      {"inputs 1 3 0120", {"inputoff 1 3/1", "inputon 1 3/2"}, "L3"},
      {"reply 1 Q??", {}, ""},
  };
  for (const Case& c : cases) {
    line.Command(c.command);
    size_t before = line.FrameCount();
    Steps(2);
    EXPECT_EQ(Drain(), c.events) << c.command;
    frames = line.Frames();
    std::string sent;
    for (size_t i = before; i < frames.size(); ++i)
      if (frames[i].letter != 'C' && frames[i].letter != 'R' && frames[i].letter != 'I')
        sent += std::string(1, frames[i].letter) + frames[i].data;
    EXPECT_EQ(sent, c.ack) << c.command;
  }
}

// The reply types of payment devices and the input poll: each raises its own event, and
// all but I are acknowledged with their own letter before the next poll.
TEST_F(PollStepTest, PaymentAndInputRepliesAndTheirAcknowledgements) {
  line.Add(1);
  Steps(1);
  Drain();
  struct Case {
    const char* command;
    Events events;
    std::string ack;
  } cases[] = {
      {"reply 1 D0042", {"disccode 1 0042"}, "D"},
      {"reply 1 E", {"escrow 1"}, "E"},
      {"reply 1 U", {"cashbox 1"}, "U"},
      {"reply 1 Z0500", {"deposit 1 0500"}, "Z"},
      {"reply 1 I0101", {"input 1 0101"}, ""},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(line.Command(c.command), "") << c.command;
    const size_t before = line.FrameCount();
    Steps(2);
    EXPECT_EQ(Drain(), c.events) << c.command;
    const std::vector<THostFrame> frames = line.Frames();
    std::string sent;
    for (size_t i = before; i < frames.size(); ++i)
      // Inputs are not polled here: an I frame would be an acknowledgement.
      if (frames[i].letter != 'C' && frames[i].letter != 'R')
        sent += std::string(1, frames[i].letter) + frames[i].data;
    EXPECT_EQ(sent, c.ack) << c.command;
  }
}

namespace {

// A device that answers a fixed time after each frame has reached it: its reply can be read
// from then on, never earlier. It records when each frame was written.
class TLateDevice : public TByteChannel {
 public:
  TLateDevice(uint64_t answerAfterMs, std::string reply) : after_(answerAfterMs), reply_(std::move(reply)) {}
  long Read(uint8_t* buf, size_t max) override {
    if (pending_.empty() || platform::TickMs() < writtenAt_ + after_ || max == 0) return 0;
    buf[0] = static_cast<uint8_t>(pending_.front());
    pending_.erase(0, 1);
    return 1;
  }
  long Write(const uint8_t*, size_t len) override {
    writtenAt_ = platform::TickMs();
    writes_.push_back(writtenAt_);
    pending_ = reply_;
    return static_cast<long>(len);
  }
  bool WaitReadable(int ms) override {
    const uint64_t until = platform::TickMs() + static_cast<uint64_t>(ms);
    while (platform::TickMs() < until) {
      if (!pending_.empty() && platform::TickMs() >= writtenAt_ + after_) return true;
      platform::SleepMs(1);
    }
    return false;
  }
  void Purge() override { pending_.clear(); }
  const std::vector<uint64_t>& Writes() const { return writes_; }

 private:
  uint64_t after_;
  std::string reply_;
  std::string pending_;
  uint64_t writtenAt_ = 0;
  std::vector<uint64_t> writes_;
};

}  // namespace

// A device that answers 300 ms after the frame: missed with the plain reply window (frame
// length + the 40 ms off-line delay), taken when RespDelay widens the window. TurnAround
// holds every frame back by its time before it is written.
TEST(PollTiming, RespDelayWaitsForALateDeviceAndTurnAroundHoldsTheFrame) {
  TCard card;
  card.SetFirstReader(1);
  card.SetLastReader(1);
  TPoll poll(card, false);
  auto device = std::make_unique<TLateDevice>(300, BuildReply("1C1001"));
  TLateDevice* late = device.get();
  poll.AttachChannel(std::move(device));
  std::string reply;

  EXPECT_FALSE(poll.Transact(1, 1, "C", reply));
  card.SetRespDelay(3000);
  EXPECT_TRUE(poll.Transact(1, 1, "C", reply));
  EXPECT_EQ(reply, "1C1001");

  card.SetRespDelay(0);
  card.SetTurnAround(250);
  const uint64_t before = platform::TickMs();
  poll.Transact(1, 1, "C", reply);
  ASSERT_EQ(late->Writes().size(), 3u);
  EXPECT_GE(late->Writes().back() - before, 250u);
}

TEST_F(PollStepTest, EqualCounterReadingsAreReportedOnce) {
  card.SetNoCounters(false);
  line.WithEmulator([](TEmulator& e) { e.SetPowerUpReplies(false); });
  line.Add(1, DeviceKind::Counter);
  line.Command("counter 1 00012");
  Steps(11);
  Drain();
  Steps(11);
  EXPECT_EQ(Drain(), Events{});
  line.Command("counter 1 00013");
  Steps(11);
  EXPECT_EQ(Drain(), Events{"counter 1 00013"});
}

TEST_F(PollStepTest, FirstCounterReadingIsAlwaysReported) {
  card.SetNoCounters(false);
  line.WithEmulator([](TEmulator& e) { e.SetPowerUpReplies(false); });
  line.Add(1, DeviceKind::Counter);
  line.Command("counter 1 00000");
  Steps(11);
  EXPECT_EQ(Drain(), (Events{"powerup 1", "errorex 1 true", "counter 1 00000"}));
}

TEST_F(PollStepTest, LineFaultsFailTheExchangeOnly) {
  line.WithEmulator([](TEmulator& e) { e.SetPowerUpReplies(false); });
  line.Add(1);
  Steps(1);
  Drain();
  // Noise before SOH and a second SOH do not hurt the reply.
  line.Command("noise 1 FF 00 7E 01 31 43 39");
  line.Command("card 1 555");
  Steps(2);
  EXPECT_EQ(Drain(), Events{"data 1 555"});

  // A bad check byte fails the exchange: no event, no acknowledgement. The device repeats
  // its reply at the next poll, which then counts once.
  line.Command("badcheck 1");
  line.Command("card 1 666");
  size_t before = line.FrameCount();
  Steps(1);
  EXPECT_EQ(Drain(), Events{});
  EXPECT_EQ(line.FrameCount(), before + 1);
  Steps(2);
  EXPECT_EQ(Drain(), Events{"data 1 666"});

  // A reply that never ends fails instead of growing without bound.
  line.SetResponder([](const THostFrame&) { return std::string(1, '\x01') + std::string(5000, 'x'); });
  std::string reply;
  EXPECT_FALSE(poll->Transact(1, 1, "C", reply));
  line.SetResponder(nullptr);
  EXPECT_TRUE(poll->Transact(1, 1, "C", reply));
  EXPECT_EQ(reply, "*");
}

// Handlers are looked up at delivery: one assigned after the poll thread was created still
// fires. Only the comm-status event, posted for every frame, is filtered up front.
TEST(PollEvents, HandlersAreLookedUpWhenTheEventIsDelivered) {
  TFakeLine line;
  TCard card;
  card.SetLastReader(1);
  TPoll poll(card, false);
  poll.AttachChannel(line.TakeHostSide());
  line.Add(1);
  for (int i = 0; i < 5; ++i) poll.PollStep();  // on line and the P reply: posted; comm status: not
  EXPECT_EQ(poll.Events().Pending(), 3);
  std::vector<std::string> cards;
  card.OnData = [&](int16_t r, std::string v) { cards.push_back(std::to_string(r) + ":" + v); };
  line.Command("card 1 42");
  poll.PollStep();
  poll.PollStep();
  // One dispatch skips the unhandled events and delivers the card.
  poll.Events().DispatchEvent();
  EXPECT_EQ(cards, std::vector<std::string>{"1:42"});
  EXPECT_EQ(poll.Events().Pending(), 0);
  EXPECT_EQ(TFakeLine::Count(line.Frames(), 1, 'B'), 1u);
}

// Character 1 of a reply: only another address of the loop marks a late answer.
TEST(PollReplies, ReplyOfTheDevicePolledAtThree) {
  TFakeLine line;
  TCard card;
  card.SetFirstReader(2);  // address 1 is not on this loop: a '1' in character 1 names no one here
  card.SetLastReader(3);
  std::vector<std::string> cards;
  card.OnData = [&](int16_t r, std::string v) { cards.push_back(std::to_string(r) + ":" + v); };
  TPoll poll(card, false);
  poll.AttachChannel(line.TakeHostSide());
  const std::string reply("\x01\x31\x43\x31\x32\x33\x04\x46", 8);
  ASSERT_EQ(reply, BuildReply("1C123"));
  line.SetResponder([&](const THostFrame& f) { return f.address == 3 && f.letter == 'C' ? reply : std::string(1, '\x06'); });
  poll.PollStep();  // 3 (the poll thread starts after its first address)
  line.SetResponder([](const THostFrame&) { return std::string(1, '\x06'); });
  poll.PollStep();
  while (poll.Events().Pending() > 0) poll.Events().DispatchEvent();
  EXPECT_EQ(cards, std::vector<std::string>{"3:123"});
  // The acknowledgement on the wire: 02 33 42 03 72.
  EXPECT_EQ(BuildFrame(3, "B", false), std::string("\x02\x33\x42\x03\x72", 5));
  EXPECT_EQ(TFakeLine::Count(line.Frames(), 3, 'B'), 1u);
  EXPECT_EQ(poll.StrayReplies(), 0u);

  // Naming address 2 (in the loop) while 3 is polled: dropped and counted.
  line.SetResponder([](const THostFrame&) { return BuildReply("2C999"); });
  std::string text;
  EXPECT_FALSE(poll.Transact(1, 3, "C", text));
  EXPECT_GE(poll.StrayReplies(), 1u);
  // Naming 9 (no address of this loop): taken as the polled device's.
  line.SetResponder([](const THostFrame&) { return BuildReply("9C999"); });
  EXPECT_TRUE(poll.Transact(1, 3, "C", text));
  EXPECT_EQ(text, "9C999");
}

// A device that keeps answering for another address cannot hold an exchange: a handful of
// stray replies and the exchange fails.
TEST_F(PollStepTest, EndlessStrayRepliesEndTheExchange) {
  card.SetLastReader(2);
  std::string many;
  for (int i = 0; i < 200; ++i) many += BuildReply("1C1001");
  line.SetResponder([&](const THostFrame& f) { return f.address == 2 ? many : std::string(); });
  std::string reply;
  EXPECT_FALSE(poll->Transact(1, 2, "C", reply));
  EXPECT_EQ(poll->StrayReplies(), static_cast<uint64_t>(TPoll::kMaxStrayReplies));
  line.SetResponder(nullptr);
}

// A device that answers late puts its reply on the line during the next exchange, which is
// with another address: that reply must not be taken as the other device's.
TEST_F(PollStepTest, LateReplyNamingAnotherAddressIsNotTakenAsThisOnes) {
  std::string reply;
  line.SetResponder([](const THostFrame& f) {
    return f.address == 2 ? BuildReply("1C1001") + BuildReply("2C2002") : std::string();
  });
  EXPECT_TRUE(poll->Transact(1, 2, "C", reply));
  EXPECT_EQ(reply, "2C2002");

  line.SetResponder([](const THostFrame&) { return BuildReply("1C1001"); });
  EXPECT_FALSE(poll->Transact(1, 2, "C", reply));
  EXPECT_EQ(poll->StrayReplies(), 2u);

  // The address's own reply, and a bare ACK, are taken as before.
  EXPECT_TRUE(poll->Transact(1, 1, "C", reply));
  EXPECT_EQ(reply, "1C1001");
  line.SetResponder([](const THostFrame&) { return std::string(1, '\x06'); });
  EXPECT_TRUE(poll->Transact(1, 2, "C", reply));
  EXPECT_EQ(reply, "*");
  line.SetResponder(nullptr);
}
