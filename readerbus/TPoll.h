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
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "readerbus/ByteChannel.h"
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

  // Any thread. Drops the command when the address is outside the loop's range, or when the
  // ring is full (counted in DroppedCommands).
  void QueueCommand(uint16_t address, char letter, const std::string& data);
  uint64_t DroppedCommands() const { return droppedCommands_.load(); }
  int PendingCommands() const;

  bool Transact(int tries, uint16_t address, const std::string& command, std::string& reply);
  bool SendFrame(uint16_t address, const std::string& command);
  bool ReceiveFrame(std::string& reply);
  // Whether a reply received after a frame to `address` is that device's (its first
  // character is the address character; an ACK is anyone's).
  static bool FromAddress(const std::string& reply, uint16_t address);
  bool ReadByte(uint8_t& byte);
  void ResendGateState(uint16_t address);

  std::string CardNo() const;
  // Exchanges run since the thread started (figures for benchmarks and diagnostics).
  uint64_t Exchanges() const { return exchanges_.load(); }
  // Replies dropped because they named another address (late answers).
  uint64_t StrayReplies() const { return strayReplies_.load(); }
  TProcessInfo& Events() { return *events_; }
  bool Online(int address) const;

  // One pass of the poll cycle (send queued commands, poll one address). Public so tests
  // can step a TPoll that was never started.
  void PollStep();

 private:
  struct Command {
    std::string text;
    uint16_t address = 0;
  };
  void Execute();
  bool PeekCommand(Command& out);
  void DropHeadCommand();
  void ActOnReply(uint16_t address, const std::string& reply);
  // Hands an event to the event thread; false when its ring was full and the event is lost
  // (true for events nobody handles).
  bool Post(int32_t code, const TEventValues& values);
  bool WaitStop(uint32_t ms);
  bool StartThread(std::unique_ptr<TByteChannel> channel);

  TCard& owner_;
  std::unique_ptr<TByteChannel> channel_;
  std::string openError_;

  mutable std::mutex ringMutex_;
  std::array<Command, kRingSize> ring_;
  uint16_t head_ = 0;  // guarded by ringMutex_
  uint16_t tail_ = 0;  // guarded by ringMutex_
  std::atomic<uint64_t> droppedCommands_{0};
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
  // Event codes with a handler when the thread was created; the others are not posted.
  static constexpr int kEventCodes = 19;
  std::array<bool, kEventCodes> wanted_{};

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
