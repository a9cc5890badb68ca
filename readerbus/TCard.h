#pragma once
// TCard: one reader loop as the loop controller sees it. It holds the loop's line settings
// and address range, the display texts and gate-up state of every address, offers the
// commands the controller sends to devices, owns the poll thread (TPoll) while open, and
// raises the device events the poll thread reports.
//
// Threads: everything public is for the main thread (the thread of the process's
// platform::TMainLoop), where the events are raised too, one at a time. The poll thread
// reads the settings and per-address tables at every use (they are atomics or guarded) and
// sets HasClock. Commands never wait for a device: they queue a frame that goes out before
// the next poll. An empty handler means the event is skipped.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "readerbus/ByteChannel.h"
#include "readerbus/DeviceEvent.h"
#include "readerbus/LineControl.h"
#include "readerbus/TProcessInfo.h"

namespace tarn::readerbus {

class TPoll;

using TReaderEvent = std::function<void(int16_t reader)>;
using TCardEvent = std::function<void(int16_t reader, std::string value)>;
using TInputEvent = std::function<void(int16_t reader, int16_t board, int16_t input)>;
using TCommEvent = std::function<void(int16_t reader, bool comstat)>;
// Opens a device path as a line (raw, exclusive); null and *error on failure.
using TLineOpener =
    std::function<std::unique_ptr<TByteChannel>(const std::string& path, uint32_t baud, std::string* error)>;

class TCard {
 public:
  static constexpr int kMaxAddress = 48;
  static constexpr size_t kMaxGateMessage = 126;   // G: 3 pulse digits + 126 characters
  static constexpr size_t kMaxRefuseMessage = 129; // B

  TCard();
  virtual ~TCard() noexcept;
  TCard(const TCard&) = delete;
  TCard& operator=(const TCard&) = delete;

  // --- life cycle -------------------------------------------------------------------------
  // Opens the device of Port (settings file [Ports]) and starts polling. An open TCard is
  // closed first. False when the port cannot be opened or configured (see OpenError).
  bool Open();
  // The same over a given device path, or over a ready channel (tests).
  bool OpenDevice(const std::string& path);
  bool OpenChannel(std::unique_ptr<TByteChannel> channel);
  // Stops the poll and event threads and waits for them; safe to call when closed. Keeps
  // serving synchronized calls meanwhile, so a delivery in flight never deadlocks it.
  void Close();
  bool IsOpen() const { return poll_ != nullptr; }
  const std::string& OpenError() const { return openError_; }

  // --- properties -------------------------------------------------------------------------
  uint16_t Port() const { return port_.load(); }
  virtual void SetPort(uint16_t port);
  int16_t FirstReader() const { return firstReader_.load(); }
  virtual void SetFirstReader(int value);  // 1..48, else ignored
  int16_t LastReader() const { return lastReader_.load(); }
  virtual void SetLastReader(int value);   // <= 48, else ignored (0 or less: empty range)
  int16_t Readers() const { return static_cast<int16_t>(LastReader() - FirstReader() + 1); }
  virtual void SetReaders(int count);      // > 0: LastReader = FirstReader + count - 1, at most 48
  uint32_t Baud() const { return baud_.load(); }
  virtual void SetBaud(uint32_t baud);
  uint16_t TurnAround() const { return turnAround_.load(); }
  void SetTurnAround(uint16_t ms) { turnAround_.store(ms); }
  bool PayOnFoot() const { return payOnFoot_.load(); }
  void SetPayOnFoot(bool value) { payOnFoot_.store(value); }
  uint32_t PollDelay() const { return pollDelay_.load(); }
  void SetPollDelay(uint32_t ms) { pollDelay_.store(ms); }
  bool NoInputs() const { return noInputs_.load(); }
  void SetNoInputs(bool value) { noInputs_.store(value); }
  bool NoCounters() const { return noCounters_.load(); }
  void SetNoCounters(bool value) { noCounters_.store(value); }
  uint32_t RespDelay() const { return respDelay_.load(); }
  void SetRespDelay(uint32_t ms) { respDelay_.store(ms); }
  uint32_t OffLineDelay() const { return kOffLineDelay; }
  // Data of the last successful poll reply; empty while there is none or when closed.
  std::string CardNo() const { return GetCardNo(); }
  // What the line's driver is asked for beyond termios (RS-485 mode), at every open of the
  // line and every reopen after it was lost. Takes effect at the next open.
  TLineOptions LineOptions() const;
  void SetLineOptions(const TLineOptions& options);
  // Tests: how a device path is opened (default OpenSerialDevice), and where the system's
  // /dev and /sys are ("" the running system). Set before Open.
  void SetLineOpener(TLineOpener opener) { lineOpener_ = std::move(opener); }
  void SetSystemRoot(const std::string& root) { systemRoot_ = root; }

  // --- per-address tables (no frame is sent) -----------------------------------------------
  void SetIdleMessage(int address, const std::string& text);
  void SetGateUpMessage(int address, const std::string& text);
  bool GateUp(int address) const;
  bool HasClock(int address) const;

  // --- commands (ignored while closed or for an address outside the range) -----------------
  void GateOpenMsg(int address, bool open, const std::string& message, int pulse);
  void SetGateUp(int address, bool up);
  void SendDateTime(int address, const std::string& text);
  void SendSignText(int address, const std::string& text);
  void SetOutputs(int address, bool on, uint16_t bits);
  void PulseOutput(int address, int output, int time);
  void SendYCommand(int address, const std::string& text);

  // Figures of the line since this TCard was created, across Close and Open: plain atomics,
  // readable from any thread (status pages). Commands dropped because the ring and the
  // backlog behind it were full; replies skipped because they named another address; lines
  // lost and opened again; exchanges run.
  uint64_t DroppedCommands() const { return droppedCommands_.load(); }
  uint64_t StrayReplies() const { return strayReplies_.load(); }
  uint64_t LinesLost() const { return linesLost_.load(); }
  uint64_t LinesReopened() const { return linesReopened_.load(); }
  uint64_t Exchanges() const { return exchanges_.load(); }
  // Main thread: commands dropped for an address since the last call, for the caller to
  // report once; 0 while closed.
  uint32_t TakeDroppedCommands(int address);

  // --- events -----------------------------------------------------------------------------
  // Handlers are looked up when an event is delivered, so one assigned after Open fires
  // from then on; an event whose slot is empty is skipped without taking a turn of the
  // 30 ms delivery pace. OnCommStatus alone is decided at Open (one would be posted for
  // every frame written): assign it before Open.
  TCardEvent OnCounter, OnInput, OnDeposit, OnPrinter, OnDiscCode, OnBarCode, OnData, OnMemory;
  TInputEvent OnInputOn, OnInputOff;
  TCardEvent OnButtonUp, OnButtonDown;
  TReaderEvent OnError;
  TCommEvent OnErrorEx;
  TReaderEvent OnPowerUp, OnEscrowLever, OnCashBox;
  TCommEvent OnCommStatus;
  // Called on the poll thread (not the main thread) when the serial line is lost and when
  // it is back, with a sentence for the log; also, once each, a line whose adapter holds
  // replies (a slow latency timer, "WARNING: ...") and RS-485 mode refused ("ERROR: ...").
  // Assign before Open; the callee must be thread-safe.
  std::function<void(const std::string&)> OnLineNote;
  // The same for what is worth a line only in the detail log (a driver without the
  // low-latency setting), once each.
  std::function<void(const std::string&)> OnLineDetail;

  // Raises the handler of a device event with the record's fields (the event thread calls
  // this on the main thread); nothing when the slot is empty.
  void DeliverEvent(TDeviceEvent event, const TEventValues& values);
  // Whether a device event has a handler.
  bool HasHandler(TDeviceEvent event) const;

 protected:
  virtual std::string GetCardNo() const;

 private:
  friend class TPoll;
  static constexpr uint32_t kOffLineDelay = 40;

  bool OpenWith(const std::function<bool(TPoll&)>& openPort);
  void Queue(int address, char letter, const std::string& data);
  // Queues O/o or X/x with the stored text; the gate lock keeps the stored state and the
  // frames in the ring in the same order when the poll thread resends concurrently.
  void QueueGateState(int address, bool up, bool store);
  // Poll thread: the stored state again, through the poll thread's own reply room.
  void ResendGateState(int address) { QueueGateState(address, false, false); }
  void MarkHasClock(int address);
  // Any thread (the poll thread at a reopen): passes each note on the first time it comes.
  void SayLineNotes(const std::vector<TLineNote>& notes);
  static bool ValidIndex(int address) { return address >= 0 && address <= kMaxAddress; }

  std::atomic<uint16_t> port_{1};
  std::atomic<int16_t> firstReader_{1};
  std::atomic<int16_t> lastReader_{0};
  std::atomic<uint32_t> baud_{9600};
  std::atomic<uint16_t> turnAround_{0};
  std::atomic<bool> payOnFoot_{false};
  std::atomic<uint32_t> pollDelay_{0};
  std::atomic<bool> noInputs_{false};
  std::atomic<bool> noCounters_{false};
  std::atomic<uint32_t> respDelay_{0};

  mutable std::mutex gateMutex_;
  std::array<std::string, kMaxAddress + 1> idleMessages_;    // guarded by gateMutex_
  std::array<std::string, kMaxAddress + 1> gateUpMessages_;  // guarded by gateMutex_
  std::array<bool, kMaxAddress + 1> gateUp_{};                // guarded by gateMutex_
  std::array<std::atomic<bool>, kMaxAddress + 1> hasClock_{};

  mutable std::mutex lineMutex_;
  TLineOptions lineOptions_;             // guarded by lineMutex_
  std::set<std::string> saidLineNotes_;  // guarded by lineMutex_
  TLineOpener lineOpener_;
  std::string systemRoot_;

  std::unique_ptr<TPoll> poll_;
  std::string openError_;
  // Counted by the poll thread.
  std::atomic<uint64_t> droppedCommands_{0};
  std::atomic<uint64_t> strayReplies_{0};
  std::atomic<uint64_t> linesLost_{0};
  std::atomic<uint64_t> linesReopened_{0};
  std::atomic<uint64_t> exchanges_{0};
};

}  // namespace tarn::readerbus
