#include "readerbus/TPoll.h"

#include <algorithm>
#include <chrono>

#include "platform/MainLoop.h"
#include "platform/Tick.h"
#include "readerbus/AdapterFacts.h"
#include "readerbus/Frame.h"
#include "readerbus/LineControl.h"
#include "readerbus/SerialPort.h"
#include "readerbus/TCard.h"
#include "util/DateTime.h"

namespace tarn::readerbus {
namespace {

int16_t CurrentHour() { return static_cast<int16_t>(DecodeDateTime(Now()).hour); }

// The events of the reply types that carry nothing more than the event.
struct SimpleReply {
  char type;
  char ack;  // 0: no acknowledgement
  TDeviceEvent event;
};
constexpr SimpleReply kSimpleReplies[] = {
    {'#', 'A', TDeviceEvent::BarCode},     {'C', 'B', TDeviceEvent::Data},   {'D', 'D', TDeviceEvent::DiscCode},
    {'E', 'E', TDeviceEvent::EscrowLever}, {'I', 0, TDeviceEvent::Input},    {'J', 'J', TDeviceEvent::Printer},
    {'M', 'M', TDeviceEvent::Memory},      {'U', 'U', TDeviceEvent::CashBox}, {'Z', 'Z', TDeviceEvent::Deposit},
};

// Stands in for the line while it is gone and being opened again.
class TLostChannel final : public TByteChannel {
 public:
  long Read(uint8_t*, size_t) override { return -1; }
  long Write(const uint8_t*, size_t) override { return -1; }
  bool WaitReadable(int) override { return false; }
  void Purge() override {}
  bool Lost() const override { return true; }
  std::string LostReason() const override { return "the line is gone"; }
};

}  // namespace

TPoll::TPoll(TCard& owner, bool deliverEvents) : owner_(owner) {
  int16_t hour = CurrentHour();
  firstPoll_.fill(true);
  lastSyncHour_.fill(hour);
  lastCounterData_.fill("^^^^^");
  for (auto& o : online_) o.store(true);
  wantCommStatus_ = owner_.HasHandler(TDeviceEvent::CommStatus);
  currentAddress_ = static_cast<uint16_t>(owner_.FirstReader() < 0 ? 0 : owner_.FirstReader());
  events_ = std::make_unique<TProcessInfo>(owner_, deliverEvents);
}

TPoll::~TPoll() noexcept {
  StopAndWait();
  events_.reset();  // stops the event thread, serving the main thread meanwhile
}

bool TPoll::OpenPort(uint16_t port) { return OpenDevice(SerialDeviceForPort(port)); }

std::unique_ptr<TByteChannel> TPoll::OpenLine(const std::string& path, std::string* error) {
  std::unique_ptr<TByteChannel> channel;
  if (owner_.lineOpener_) channel = owner_.lineOpener_(path, owner_.Baud(), error);
  else channel = OpenSerialDevice(path, owner_.Baud(), error);
  if (channel) SetUpLine(*channel, path);
  return channel;
}

void TPoll::SetUpLine(TByteChannel& channel, const std::string& path) {
  const TLineOptions options = owner_.LineOptions();
  TLineSetup setup = ApplyLineOptions(channel, options);
  if (!path.empty()) {
    // Read after the low-latency request: a driver that took it shows the timer it now uses.
    setup.latencyTimerMs = ReadLatencyTimer(path, owner_.systemRoot_);
    setup.latencyTimerFile = LatencyTimerFile(path, owner_.systemRoot_);
  }
  owner_.SayLineNotes(LineSetupNotes(path.empty() ? "of the loop" : path, options, setup));
}

bool TPoll::OpenDevice(const std::string& path) {
  std::string error;
  auto channel = OpenLine(path, &error);
  if (!channel) {
    openError_ = error;
    return false;
  }
  devicePath_ = path;
  return StartThread(std::move(channel));
}

bool TPoll::OpenChannel(std::unique_ptr<TByteChannel> channel) {
  if (!channel) {
    openError_ = "no channel";
    return false;
  }
  SetUpLine(*channel, "");
  return StartThread(std::move(channel));
}

bool TPoll::StartThread(std::unique_ptr<TByteChannel> channel) {
  channel_ = std::move(channel);
  channel_->Purge();
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
  return true;
}

void TPoll::Terminate() {
  stopRequested_.store(true);
  std::lock_guard<std::mutex> lock(stopMutex_);
  stop_ = true;
  stopWake_.notify_all();
}

void TPoll::StopAndWait() noexcept {
  Terminate();
  if (!thread_.joinable()) return;
  platform::TMainLoop* loop = platform::TMainLoop::Current();
  if (loop && loop->IsMainThread())
    while (!finished_.load()) loop->ProcessSyncCalls(5);
  thread_.join();
}

bool TPoll::WaitStop(uint32_t ms) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return stopWake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_; });
}

void TPoll::QueueCommand(uint16_t address, char letter, const std::string& data) {
  if (static_cast<int>(address) < owner_.FirstReader() || static_cast<int>(address) > owner_.LastReader()) return;
  Command command;
  command.text.assign(1, letter);
  command.text += data;
  command.address = address;
  std::lock_guard<std::mutex> lock(ringMutex_);
  uint16_t next = static_cast<uint16_t>((head_ + 1) % kRingSize);
  if (backlog_.empty() && next != tail_) {
    ring_[head_] = std::move(command);
    head_ = next;
    return;
  }
  // The ring is full (writing on would make it look empty and lose every waiting command):
  // wait behind it, in order, and go out in a later cycle.
  if (backlog_.size() < kBacklog) {
    backlog_.push_back(std::move(command));
    return;
  }
  droppedCommands_.fetch_add(1);
  owner_.droppedCommands_.fetch_add(1);
  if (address < kAddresses) droppedPerAddress_[address].fetch_add(1);
}

bool TPoll::QueueReply(uint16_t address, char letter, const std::string& data) {
  if (static_cast<int>(address) < owner_.FirstReader() || static_cast<int>(address) > owner_.LastReader()) return true;
  std::lock_guard<std::mutex> lock(ringMutex_);
  if (replies_.size() >= kReplyRoom) return false;
  Command command;
  command.text.assign(1, letter);
  command.text += data;
  command.address = address;
  command.reply = true;
  replies_.push_back(std::move(command));
  return true;
}

uint32_t TPoll::TakeDroppedCommands(int address) {
  return address >= 0 && address < kAddresses ? droppedPerAddress_[address].exchange(0) : 0;
}

int TPoll::PendingCommands() const {
  std::lock_guard<std::mutex> lock(ringMutex_);
  return (head_ - tail_ + kRingSize) % kRingSize + static_cast<int>(backlog_.size() + replies_.size());
}

bool TPoll::PeekCommand(Command& out) {
  std::lock_guard<std::mutex> lock(ringMutex_);
  if (!replies_.empty()) {
    out = replies_.front();
    return true;
  }
  if (head_ == tail_) return false;
  out = ring_[tail_];
  out.reply = false;
  return true;
}

void TPoll::DropHeadCommand(bool reply) {
  std::lock_guard<std::mutex> lock(ringMutex_);
  if (reply) {
    if (!replies_.empty()) replies_.pop_front();
    return;
  }
  if (head_ == tail_) return;
  ring_[tail_].text.clear();
  tail_ = static_cast<uint16_t>((tail_ + 1) % kRingSize);
  // One entry came free: the oldest waiting command moves up.
  if (!backlog_.empty()) {
    ring_[head_] = std::move(backlog_.front());
    backlog_.pop_front();
    head_ = static_cast<uint16_t>((head_ + 1) % kRingSize);
  }
}

bool TPoll::Post(TDeviceEvent event, const TEventValues& values) {
  if (event == TDeviceEvent::CommStatus && !wantCommStatus_) return true;
  if (IsDeviceEvent(event)) return events_->PostEvent(event, values);
  return true;
}

void TPoll::Note(const std::string& text) {
  if (owner_.OnLineNote) {
    try {
      owner_.OnLineNote(text);
    } catch (...) {
      // A failing log must not stop the poll thread.
    }
  }
}

bool TPoll::Online(int address) const {
  return address >= 0 && address < kAddresses ? online_[address].load() : false;
}

std::string TPoll::CardNo() const {
  std::lock_guard<std::mutex> lock(cardNoMutex_);
  return cardNo_;
}

bool TPoll::Transact(int tries, uint16_t address, const std::string& command, std::string& reply) {
  bool ok = false;
  exchanges_.fetch_add(1, std::memory_order_relaxed);
  owner_.exchanges_.fetch_add(1, std::memory_order_relaxed);
  const int first = owner_.FirstReader();
  const int last = owner_.LastReader();
  while (tries > 0 && !Stopping() && !channel_->Lost()) {
    channel_->Purge();
    SendFrame(address, command);
    // A reply that names another address of the loop is a late answer of a device polled
    // before (it came after the purge): taking it as this device's would credit a card read
    // at one reader to another. It is dropped and this device's own reply is awaited, but
    // only a few times: a device that keeps talking for another address must not hold the
    // exchange (and with it the loop) for ever.
    int strays = 0;
    while ((ok = ReceiveFrame(reply)) && !FromAddress(reply, address, first, last)) {
      strayReplies_.fetch_add(1, std::memory_order_relaxed);
      owner_.strayReplies_.fetch_add(1, std::memory_order_relaxed);
      if (++strays >= kMaxStrayReplies) {
        ok = false;
        break;
      }
    }
    if (ok) break;
    --tries;
  }
  // A stop or a lost line is no news about the device: on-line tracking is left alone
  // (a lost line reports every device itself).
  if (address >= kAddresses || Stopping() || channel_->Lost()) return ok;
  TEventValues values;
  values.reader = static_cast<int16_t>(address);
  // A state change counts as reported only once its event is taken: while the event ring
  // is full, the report is made again at the next exchange rather than lost (a device would
  // otherwise stay off line in the database although it answers).
  if (firstPoll_[address]) {
    if (ok) {
      online_[address].store(true);
      failCount_[address] = 0;
      if (Post(TDeviceEvent::PowerUp, values)) {
        values.comstat = true;
        Post(TDeviceEvent::OnLine, values);
        firstPoll_[address] = false;
      }
    } else {
      online_[address].store(false);
      if (Post(TDeviceEvent::OffLine, values)) firstPoll_[address] = false;
    }
  } else {
    if (online_[address].load() && !ok) {
      if (++failCount_[address] >= 4) {
        if (Post(TDeviceEvent::OffLine, values)) online_[address].store(false);
        else failCount_[address] = 3;
      }
    }
    if (ok) failCount_[address] = 0;
    if (!online_[address].load() && ok) {
      if (Post(TDeviceEvent::PowerUp, values)) {
        online_[address].store(true);
        values.comstat = false;
        Post(TDeviceEvent::OnLine, values);
      }
    }
  }
  return ok;
}

bool TPoll::FromAddress(const std::string& reply, uint16_t address, int first, int last) {
  // An ACK carries no address. Character 1 is the device's address character in practice;
  // only a reply naming another address of this loop is refused, so that a device with an
  // odd character 1 is still heard.
  if (reply == "*" || reply.empty()) return true;
  for (int other = std::max(first, 0); other <= last && other < kAddresses; ++other)
    if (other != address && reply[0] == AddressChar(other)) return false;
  return true;
}

bool TPoll::SendFrame(uint16_t address, const std::string& command) {
  std::string frame = BuildFrame(address, command, owner_.PayOnFoot());
  uint16_t turnAround = owner_.TurnAround();
  if (turnAround > 0 && WaitStop(turnAround)) return false;
  long written = channel_->Write(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  bool ok = written == static_cast<long>(frame.size());
  // The frame takes about a millisecond a byte on the line before the device can answer.
  if (ok) deadlineBase_ = platform::TickMs() + frame.size() + owner_.RespDelay();
  TEventValues values;
  values.reader = static_cast<int16_t>(address);
  values.comstat = ok;
  Post(TDeviceEvent::CommStatus, values);
  return ok;
}

bool TPoll::ReceiveFrame(std::string& reply) {
  reply.clear();
  TReplyDecoder decoder;
  uint8_t byte;
  for (;;) {
    if (!ReadByte(byte)) return false;
    switch (decoder.Feed(byte)) {
      case TReplyDecoder::Result::More:
        break;
      case TReplyDecoder::Result::Done:
        reply = decoder.Text();
        return true;
      case TReplyDecoder::Result::Failed:
        deadlineBase_ = 0;
        return false;
    }
  }
}

bool TPoll::ReadByte(uint8_t& byte) {
  if (deadlineBase_ == 0) deadlineBase_ = platform::TickMs();
  for (;;) {
    if (Stopping() || channel_->Lost()) {
      deadlineBase_ = 0;
      return false;
    }
    long n = channel_->Read(&byte, 1);
    if (n == 1) {
      deadlineBase_ = 0;
      return true;
    }
    uint64_t now = platform::TickMs();
    if (now >= deadlineBase_ + owner_.OffLineDelay()) {
      deadlineBase_ = 0;
      return false;
    }
    // Sleep in poll() until a byte arrives or the deadline passes: the reply is taken the
    // moment it comes, and an idle line costs one wake-up per exchange rather than one a
    // millisecond. A failed channel reports at once, so that case sleeps instead.
    if (n < 0) {
      platform::SleepMs(1);
    } else {
      uint64_t left = deadlineBase_ + owner_.OffLineDelay() - now;
      // Short slices: a stop request is seen within a few milliseconds whatever RespDelay is.
      channel_->WaitReadable(static_cast<int>(std::min<uint64_t>(left, 20)));
    }
  }
}

void TPoll::ResendGateState(uint16_t address) { owner_.ResendGateState(address); }

void TPoll::ActOnReply(uint16_t address, const std::string& reply) {
  std::string data = reply.size() > 2 ? reply.substr(2) : std::string();
  {
    std::lock_guard<std::mutex> lock(cardNoMutex_);
    cardNo_ = data;
  }
  if (reply.size() < 2) return;  // "*" (ACK) or a reply without a type
  TEventValues values;
  values.reader = static_cast<int16_t>(address);
  values.value = data;
  char type = reply[1];
  // A reply gives exactly one event and one acknowledgement: its event is posted only when
  // there is room for the acknowledgement, and the acknowledgement only follows a posted
  // event. Otherwise the reply stays unacknowledged and the device repeats it (the main
  // thread behind, dozens of devices powering up at once): never lost, never taken twice.
  for (const SimpleReply& r : kSimpleReplies)
    if (r.type == type) {
      if (r.ack && !ReplyRoom(1)) return;
      if (Post(r.event, values) && r.ack) QueueReply(address, r.ack, "");
      return;
    }
  switch (type) {
    case 'K': {
      std::string button = reply.size() > 2 ? reply.substr(2, 1) : std::string();
      values.value = button;
      if (!ReplyRoom(1)) break;
      const bool up = reply.size() > 3 && reply[3] == '1';
      if (Post(up ? TDeviceEvent::ButtonUp : TDeviceEvent::ButtonDown, values)) QueueReply(address, 'K', button);
      break;
    }
    case 'L': {
      std::string board = reply.size() > 2 ? reply.substr(2, 1) : std::string();
      values.board = static_cast<int16_t>(board.empty() ? 0 : (static_cast<uint8_t>(board[0]) & 0x0F));
      int reported = 0;
      for (size_t pos = 3; pos < reply.size() && pos < 3 + 64; ++pos)
        if (reply[pos] == '1' || reply[pos] == '2') ++reported;
      // All the input events of the reply or none: a part posted and the rest repeated
      // would report the first inputs twice. (More than the ring ever holds: post what fits
      // into an empty ring.)
      const int room = TProcessInfo::kSlots - 1 - events_->Pending();
      if (!ReplyRoom(1) || (reported > room && events_->Pending() > 0)) break;
      for (int i = 0; i < 64; ++i) {
        size_t pos = 3 + static_cast<size_t>(i);
        if (pos >= reply.size()) break;
        if (reply[pos] != '1' && reply[pos] != '2') continue;
        values.input = static_cast<int16_t>(i);
        Post(reply[pos] == '2' ? TDeviceEvent::InputOn : TDeviceEvent::InputOff, values);
      }
      QueueReply(address, 'L', board);
      break;
    }
    case 'p':
      owner_.MarkHasClock(address);
      [[fallthrough]];
    case 'P':
      Post(TDeviceEvent::PowerUp, values);
      ResendGateState(address);
      break;
    case 'R':
      // Remembered only once reported: a reading whose event found the ring full is
      // reported again at the next counter poll.
      if (address < kAddresses && data != lastCounterData_[address] && Post(TDeviceEvent::Counter, values))
        lastCounterData_[address] = data;
      break;
    default:
      break;
  }
}

void TPoll::DiscardCommandsToOffLineDevices() {
  std::lock_guard<std::mutex> lock(ringMutex_);
  auto offLine = [&](const Command& c) { return c.address < kAddresses && !online_[c.address].load(); };
  std::deque<Command> kept;
  for (uint16_t i = tail_; i != head_; i = static_cast<uint16_t>((i + 1) % kRingSize))
    if (!offLine(ring_[i])) kept.push_back(std::move(ring_[i]));
  for (Command& c : backlog_)
    if (!offLine(c)) kept.push_back(std::move(c));
  backlog_.clear();
  for (auto& c : ring_) c = Command{};
  head_ = tail_ = 0;
  while (!kept.empty() && head_ < kRingSize - 1) {
    ring_[head_++] = std::move(kept.front());
    kept.pop_front();
  }
  backlog_ = std::move(kept);
  std::erase_if(replies_, offLine);
}

bool TPoll::ReplyRoom(size_t n) const {
  std::lock_guard<std::mutex> lock(ringMutex_);
  return replies_.size() + n <= kReplyRoom;
}

void TPoll::PollStep() {
  // 1. Queued commands first.
  Command command;
  std::string reply;
  while (!stopRequested_.load() && PeekCommand(command)) {
    bool ok = Transact(1, command.address, command.text, reply);
    // The device is still on line: the command waits at the head of the ring for the next
    // cycle. An off-line device gets it once only.
    if (Stopping() || channel_->Lost()) break;
    if (!ok && Online(command.address)) break;
    DropHeadCommand(command.reply);
  }

  // 2. Next address of the range.
  int first = owner_.FirstReader();
  int last = owner_.LastReader();
  int address = currentAddress_ + 1;
  if (address > last || address < first) address = first;
  currentAddress_ = static_cast<uint16_t>(address);
  if (address > last || address < 0 || address >= kAddresses) return;

  // 3. Choose the poll.
  std::string poll = "C";
  bool counterPoll = false;
  if (!owner_.NoCounters()) {
    if (++counterPollCount_[address] > 10) {
      counterPollCount_[address] = 0;
      poll = "R";
      counterPoll = true;
    }
  }
  if (!owner_.NoInputs() && !counterPoll) {
    if (++inputPollCount_[address] > 20) {
      inputPollCount_[address] = 0;
      poll = "I";
    }
  }
  if (owner_.HasClock(address)) {
    int16_t hour = CurrentHour();
    if (hour != lastSyncHour_[address]) {
      lastSyncHour_[address] = hour;
      poll = "S" + DeviceTimeText();
    }
  }

  // 4.-5. Exchange and act on the reply.
  if (!Transact(1, static_cast<uint16_t>(address), poll, reply)) return;
  ActOnReply(static_cast<uint16_t>(address), reply);
}

void TPoll::Execute() {
  while (!stopRequested_.load()) {
    PollStep();
    if (channel_->Lost()) {
      ReopenLostLine();
      continue;
    }
    uint32_t pollDelay = owner_.PollDelay();
    if (pollDelay > 0) {
      WaitStop(pollDelay);
    } else if (owner_.LastReader() < owner_.FirstReader()) {
      WaitStop(10);  // nothing to poll: do not spin
    } else {
      std::this_thread::yield();
    }
  }
  channel_.reset();  // the port closes when the thread leaves its loop
  finished_.store(true);
}

void TPoll::ReopenLostLine() {
  linesLost_.fetch_add(1);
  owner_.linesLost_.fetch_add(1);
  const std::string reason = channel_->LostReason();
  if (devicePath_.empty()) {
    // A line handed in ready-made cannot be opened again: wait for the stop.
    Note("Serial line of the loop lost (" + reason + ")");
    while (!WaitStop(1000)) {
    }
    return;
  }
  Note("Serial line " + devicePath_ + " lost (" + reason + "): opening it again every " +
       std::to_string(kReopenMs / 1000) + " s");
  channel_ = std::make_unique<TLostChannel>();
  for (;;) {
    // Every device that was on line is reported off line, as after failed polls; a report
    // that finds the event ring full is made again at the next attempt.
    const int first = std::max<int>(owner_.FirstReader(), 0);
    const int last = std::min<int>(owner_.LastReader(), kAddresses - 1);
    TEventValues values;
    for (int a = first; a <= last; ++a) {
      if (firstPoll_[a] || !online_[a].load()) continue;
      values.reader = static_cast<int16_t>(a);
      if (Post(TDeviceEvent::OffLine, values)) {
        online_[a].store(false);
        failCount_[a] = 0;
      }
    }
    // A command to an off-line device is not kept: on a dead line it would only fill the
    // queue (and the log) until the line is back.
    DiscardCommandsToOffLineDevices();
    if (WaitStop(kReopenMs)) return;
    std::string error;
    auto channel = OpenLine(devicePath_, &error);
    if (!channel) continue;
    channel_ = std::move(channel);
    channel_->Purge();
    deadlineBase_ = 0;
    linesReopened_.fetch_add(1);
    owner_.linesReopened_.fetch_add(1);
    // The devices come back through the usual path: the first answer of each is its power-up.
    Note("Serial line " + devicePath_ + " is back: polling resumes");
    return;
  }
}

}  // namespace tarn::readerbus
