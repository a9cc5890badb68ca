#include "readerbus/TPoll.h"

#include <algorithm>
#include <chrono>

#include "platform/MainLoop.h"
#include "platform/Tick.h"
#include "readerbus/Frame.h"
#include "readerbus/SerialPort.h"
#include "readerbus/TCard.h"
#include "util/DateTime.h"

namespace tarn::readerbus {
namespace {

int16_t CurrentHour() { return static_cast<int16_t>(DecodeDateTime(Now()).hour); }

// Event codes of the reply types that carry nothing more than the event.
struct SimpleReply {
  char type;
  char ack;  // 0: no acknowledgement
  int32_t code;
};
constexpr SimpleReply kSimpleReplies[] = {
    {'#', 'A', 5}, {'C', 'B', 6}, {'D', 'D', 3}, {'E', 'E', 14}, {'I', 0, 2},
    {'J', 'J', 17}, {'M', 'M', 18}, {'U', 'U', 15}, {'Z', 'Z', 4},
};

}  // namespace

TPoll::TPoll(TCard& owner, bool deliverEvents) : owner_(owner) {
  int16_t hour = CurrentHour();
  firstPoll_.fill(true);
  lastSyncHour_.fill(hour);
  lastCounterData_.fill("^^^^^");
  for (auto& o : online_) o.store(true);
  for (int code = 0; code < kEventCodes; ++code) wanted_[code] = owner_.HasHandler(code);
  currentAddress_ = static_cast<uint16_t>(owner_.FirstReader() < 0 ? 0 : owner_.FirstReader());
  events_ = std::make_unique<TProcessInfo>(owner_, deliverEvents);
}

TPoll::~TPoll() noexcept {
  StopAndWait();
  events_.reset();  // stops the event thread, serving the main thread meanwhile
}

bool TPoll::OpenPort(uint16_t port) { return OpenDevice(SerialDeviceForPort(port)); }

bool TPoll::OpenDevice(const std::string& path) {
  std::string error;
  auto channel = OpenSerialDevice(path, owner_.Baud(), &error);
  if (!channel) {
    openError_ = error;
    return false;
  }
  return StartThread(std::move(channel));
}

bool TPoll::OpenChannel(std::unique_ptr<TByteChannel> channel) {
  if (!channel) {
    openError_ = "no channel";
    return false;
  }
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
  std::lock_guard<std::mutex> lock(ringMutex_);
  uint16_t next = static_cast<uint16_t>((head_ + 1) % kRingSize);
  if (next == tail_) {
    // Full: writing on would make the ring look empty and lose every waiting command.
    droppedCommands_.fetch_add(1);
    return;
  }
  ring_[head_].text.assign(1, letter);
  ring_[head_].text += data;
  ring_[head_].address = address;
  head_ = next;
}

int TPoll::PendingCommands() const {
  std::lock_guard<std::mutex> lock(ringMutex_);
  return (head_ - tail_ + kRingSize) % kRingSize;
}

bool TPoll::PeekCommand(Command& out) {
  std::lock_guard<std::mutex> lock(ringMutex_);
  if (head_ == tail_) return false;
  out = ring_[tail_];
  return true;
}

void TPoll::DropHeadCommand() {
  std::lock_guard<std::mutex> lock(ringMutex_);
  if (head_ == tail_) return;
  ring_[tail_].text.clear();
  tail_ = static_cast<uint16_t>((tail_ + 1) % kRingSize);
}

bool TPoll::Post(int32_t code, const TEventValues& values) {
  if (code > 0 && code < kEventCodes && wanted_[code]) return events_->PostEvent(code, values);
  return true;
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
  while (tries > 0) {
    channel_->Purge();
    SendFrame(address, command);
    // A reply that names another address is a late answer of the device polled before
    // (it came after the purge): taking it as this device's would credit a card read at one
    // reader to another. It is dropped and this device's own reply is awaited.
    while ((ok = ReceiveFrame(reply)) && !FromAddress(reply, address)) {
      strayReplies_.fetch_add(1, std::memory_order_relaxed);
    }
    if (ok) break;
    --tries;
  }
  if (address >= kAddresses) return ok;
  TEventValues values;
  values.reader = static_cast<int16_t>(address);
  // A state change counts as reported only once its event is taken: while the event ring
  // is full, the report is made again at the next exchange rather than lost (a device would
  // otherwise stay off line in the database although it answers).
  if (firstPoll_[address]) {
    if (ok) {
      online_[address].store(true);
      failCount_[address] = 0;
      if (Post(13, values)) {
        values.comstat = true;
        Post(12, values);
        firstPoll_[address] = false;
      }
    } else {
      online_[address].store(false);
      if (Post(11, values)) firstPoll_[address] = false;
    }
  } else {
    if (online_[address].load() && !ok) {
      if (++failCount_[address] >= 4) {
        if (Post(11, values)) online_[address].store(false);
        else failCount_[address] = 3;
      }
    }
    if (ok) failCount_[address] = 0;
    if (!online_[address].load() && ok) {
      if (Post(13, values)) {
        online_[address].store(true);
        values.comstat = false;
        Post(12, values);
      }
    }
  }
  return ok;
}

bool TPoll::FromAddress(const std::string& reply, uint16_t address) {
  // An ACK carries no address; any other reply starts with the device's address character.
  return reply == "*" || reply.empty() || reply[0] == AddressChar(address);
}

bool TPoll::SendFrame(uint16_t address, const std::string& command) {
  std::string frame = BuildFrame(address, command, owner_.PayOnFoot());
  uint16_t turnAround = owner_.TurnAround();
  if (turnAround > 0) platform::SleepMs(turnAround);
  long written = channel_->Write(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  bool ok = written == static_cast<long>(frame.size());
  // The frame takes about a millisecond a byte on the line before the device can answer.
  if (ok) deadlineBase_ = platform::TickMs() + frame.size() + owner_.RespDelay();
  TEventValues values;
  values.reader = static_cast<int16_t>(address);
  values.comstat = ok;
  Post(16, values);
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
      channel_->WaitReadable(static_cast<int>(std::min<uint64_t>(left, 1000)));
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
  for (const SimpleReply& r : kSimpleReplies)
    if (r.type == type) {
      // Acknowledge only a reply whose event was taken: while the event ring is full (the
      // main thread behind, dozens of devices powering up at once) the device keeps
      // repeating its card or ticket, instead of the read being acknowledged and lost.
      if (Post(r.code, values) && r.ack) QueueCommand(address, r.ack, "");
      return;
    }
  switch (type) {
    case 'K': {
      std::string button = reply.size() > 2 ? reply.substr(2, 1) : std::string();
      values.value = button;
      if (Post(reply.size() > 3 && reply[3] == '1' ? 9 : 10, values)) QueueCommand(address, 'K', button);
      break;
    }
    case 'L': {
      std::string board = reply.size() > 2 ? reply.substr(2, 1) : std::string();
      QueueCommand(address, 'L', board);
      values.board = static_cast<int16_t>(board.empty() ? 0 : (static_cast<uint8_t>(board[0]) & 0x0F));
      for (int i = 0; i < 64; ++i) {
        size_t pos = 3 + static_cast<size_t>(i);
        if (pos >= reply.size()) break;
        if (reply[pos] != '1' && reply[pos] != '2') continue;
        values.input = static_cast<int16_t>(i);
        Post(reply[pos] == '2' ? 7 : 8, values);
      }
      break;
    }
    case 'p':
      owner_.MarkHasClock(address);
      [[fallthrough]];
    case 'P':
      Post(13, values);
      ResendGateState(address);
      break;
    case 'R':
      if (address < kAddresses && data != lastCounterData_[address]) {
        lastCounterData_[address] = data;
        Post(1, values);
      }
      break;
    default:
      break;
  }
}

void TPoll::PollStep() {
  // 1. Queued commands first.
  Command command;
  std::string reply;
  while (!stopRequested_.load() && PeekCommand(command)) {
    bool ok = Transact(1, command.address, command.text, reply);
    // The device is still on line: the command waits at the head of the ring for the next
    // cycle. An off-line device gets it once only.
    if (!ok && Online(command.address)) break;
    DropHeadCommand();
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

}  // namespace tarn::readerbus
