#pragma once
// The poll thread of one reader loop: the only user of the loop's serial line. It sends the
// queued commands, polls the addresses of the loop in turn (plain, counter, input and clock
// polls), decodes and acknowledges the replies, keeps track of which devices answer, and
// posts device events to its event thread (TProcessInfo).
//
// Owned by a TCard, which creates it, calls OpenPort once, and destroys it on Close. The
// settings (range, timing, flags) are read from the owner at every use, so changes made on
// the main thread take effect at once. QueueCommand may be called from any thread; the
// other operations belong to the poll thread (tests call them on a TPoll that was never
// started).
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "readerbus/ByteChannel.h"
#include "readerbus/DeviceEvent.h"
#include "readerbus/TProcessInfo.h"

namespace tarn::readerbus {

class TCard;

class TPoll {
 public:
  static constexpr int kAddresses = 49;  // 0..48
  static constexpr int kRingSize = 16;   // one entry stays free: 15 commands can wait

  // deliverEvents false: no event thread; the events stay in the ring until the caller runs
  // Events().DispatchEvent() itself (tests that step the cycle by hand).
  explicit TPoll(TCard& owner, bool deliverEvents = true);
  ~TPoll() noexcept;
  TPoll(const TPoll&) = delete;
  TPoll& operator=(const TPoll&) = delete;

  // Opens the device mapped to the port number and starts polling.
  bool OpenPort(uint16_t port);
  // Same over a device path or a ready channel (tests, the simulator's users).
  bool OpenDevice(const std::string& path);
  bool OpenChannel(std::unique_ptr<TByteChannel> channel);
  // Gives the line without starting the thread (tests step the cycle with PollStep).
  void AttachChannel(std::unique_ptr<TByteChannel> channel) { channel_ = std::move(channel); }
  // Why the last OpenPort/OpenDevice failed.
  const std::string& OpenError() const { return openError_; }

  // Tells the thread to stop after its current step (any thread).
  void Terminate();
  // Main thread: stops, waits (serving synchronized calls meanwhile) and joins.
  void StopAndWait() noexcept;

  // Any thread (the TCard commands). A command that finds the ring full waits, in order, in
  // the backlog behind it and moves into the ring as entries are sent; only when the backlog
  // is full too is it dropped (counted in DroppedCommands and per address until the owner
  // takes the count with TakeDroppedCommands). Commands for addresses outside the loop's
  // range are ignored.
  void QueueCommand(uint16_t address, char letter, const std::string& data);
  // Poll thread: acknowledgements and gate-state resends. They have room of their own, sent
  // before the ring, so a full ring never costs a reply its acknowledgement. False when even
  // that room is full (the caller then leaves the reply unacknowledged).
  bool QueueReply(uint16_t address, char letter, const std::string& data);
  uint64_t DroppedCommands() const { return droppedCommands_.load(); }
  // Commands dropped for an address since the last call (any thread; the count is reset).
  uint32_t TakeDroppedCommands(int address);
  // Commands waiting: ring, backlog and replies.
  int PendingCommands() const;

  static constexpr size_t kBacklog = 1000;
  static constexpr size_t kReplyRoom = 32;
  // Stray replies one exchange may skip before it fails: a device that keeps talking for
  // another address cannot hold the exchange.
  static constexpr int kMaxStrayReplies = 8;
  // Pause between attempts to open a lost line again.
  static constexpr uint32_t kReopenMs = 2000;

  bool Transact(int tries, uint16_t address, const std::string& command, std::string& reply);
  bool SendFrame(uint16_t address, const std::string& command);
  bool ReceiveFrame(std::string& reply);
  // Whether a reply received after a frame to `address` is that device's: it is not when
  // its first character is the address character of another address of the loop's range
  // [first, last] (a late answer). Any other first character, and an ACK, are accepted.
  static bool FromAddress(const std::string& reply, uint16_t address, int first, int last);
  bool ReadByte(uint8_t& byte);
  void ResendGateState(uint16_t address);

  std::string CardNo() const;
  // Exchanges run since the thread started (figures for benchmarks and diagnostics).
  uint64_t Exchanges() const { return exchanges_.load(); }
  // Replies dropped because they named another address (late answers).
  uint64_t StrayReplies() const { return strayReplies_.load(); }
  // Times the line was lost, and opened again (any thread).
  uint64_t LinesLost() const { return linesLost_.load(); }
  uint64_t LinesReopened() const { return linesReopened_.load(); }
  TProcessInfo& Events() { return *events_; }
  bool Online(int address) const;

  // One pass of the poll cycle (send queued commands, poll one address). Public so tests
  // can step a TPoll that was never started.
  void PollStep();

 private:
  struct Command {
    std::string text;
    uint16_t address = 0;
    bool reply = false;  // from the reply room, not the ring
  };
  void Execute();
  // The line is gone: report the devices off line, then open the same device again every
  // kReopenMs until it is back or the thread is told to stop.
  void ReopenLostLine();
  void DiscardCommandsToOffLineDevices();
  bool Stopping() const { return stopRequested_.load(); }
  void Note(const std::string& text);
  bool PeekCommand(Command& out);
  void DropHeadCommand(bool reply);
  bool ReplyRoom(size_t n) const;
  void ActOnReply(uint16_t address, const std::string& reply);
  // Hands an event to the event thread; false when its ring was full and the event is lost
  // (true for events nobody handles).
  bool Post(TDeviceEvent event, const TEventValues& values);
  bool WaitStop(uint32_t ms);
  bool StartThread(std::unique_ptr<TByteChannel> channel);
  // Opens the device path (the owner's opener, else OpenSerialDevice) and sets the line up.
  std::unique_ptr<TByteChannel> OpenLine(const std::string& path, std::string* error);
  // The owner's line options at every open, and the notes they give (path "" for a line
  // handed in ready-made).
  void SetUpLine(TByteChannel& channel, const std::string& path);

  TCard& owner_;
  std::unique_ptr<TByteChannel> channel_;
  std::string openError_;

  mutable std::mutex ringMutex_;
  std::array<Command, kRingSize> ring_;
  uint16_t head_ = 0;  // guarded by ringMutex_
  uint16_t tail_ = 0;  // guarded by ringMutex_
  std::deque<Command> backlog_;  // guarded by ringMutex_
  std::deque<Command> replies_;  // guarded by ringMutex_
  std::atomic<uint64_t> droppedCommands_{0};
  std::array<std::atomic<uint32_t>, kAddresses> droppedPerAddress_{};
  std::atomic<uint64_t> linesLost_{0};
  std::atomic<uint64_t> linesReopened_{0};
  std::string devicePath_;  // set before the thread starts; empty: no reopening
  std::atomic<uint64_t> exchanges_{0};
  std::atomic<uint64_t> strayReplies_{0};

  // Poll thread only.
  uint16_t currentAddress_ = 0;
  uint64_t deadlineBase_ = 0;
  std::array<bool, kAddresses> firstPoll_;
  std::array<int32_t, kAddresses> failCount_{};
  std::array<int32_t, kAddresses> counterPollCount_{};
  std::array<int32_t, kAddresses> inputPollCount_{};
  std::array<int16_t, kAddresses> lastSyncHour_{};
  std::array<std::string, kAddresses> lastCounterData_;
  std::array<std::atomic<bool>, kAddresses> online_;
  // OnCommStatus had a handler when the thread was created. That event alone is filtered
  // early (one is posted for every frame written); every other event is posted and skipped
  // at delivery when its handler is empty.
  bool wantCommStatus_ = false;

  mutable std::mutex cardNoMutex_;
  std::string cardNo_;  // guarded by cardNoMutex_

  std::mutex stopMutex_;
  std::condition_variable stopWake_;
  bool stop_ = false;  // guarded by stopMutex_
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> finished_{false};

  std::unique_ptr<TProcessInfo> events_;
  std::thread thread_;
};

}  // namespace tarn::readerbus
