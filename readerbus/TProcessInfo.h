#pragma once
// The event thread of one reader loop. The poll thread posts device events into a 64-slot
// ring (one slot always stays free, so 63 can be pending); this thread hands them one at a
// time to the loop's TCard on the process's main thread, at most one every 30 ms, so one
// busy loop cannot flood the main thread.
//
// Owned by the loop's TPoll, which creates it (the thread runs at once) and destroys it after
// the poll thread has ended. PostEvent: poll thread only. DispatchEvent: main thread only.
// Destruction on the main thread keeps running synchronized calls while it waits for the
// thread, so it never deadlocks against a delivery in flight.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "readerbus/DeviceEvent.h"

namespace tarn::readerbus {

class TCard;

struct TEventValues {
  int16_t reader = 0;
  int16_t board = 0;
  int16_t input = 0;
  bool comstat = false;
  std::string value;
};

class TProcessInfo {
 public:
  static constexpr int kSlots = 64;
  static constexpr uint32_t kDeliveryGapMs = 30;

  // startThread false: nothing delivers by itself; the caller runs DispatchEvent.
  explicit TProcessInfo(TCard& owner, bool startThread = true);
  ~TProcessInfo() noexcept;
  TProcessInfo(const TProcessInfo&) = delete;
  TProcessInfo& operator=(const TProcessInfo&) = delete;

  // False when the ring is full and the event was dropped. A CommStatus event while another
  // one is pending is merged into it (true, nothing stored).
  bool PostEvent(TDeviceEvent event, const TEventValues& values);
  // Delivers the oldest pending event that has a handler to the owner, dropping the events
  // before it that have none; does nothing when none is pending.
  void DispatchEvent();

  int Pending() const;
  uint64_t Dropped() const { return dropped_.load(); }

 private:
  struct Slot {
    TDeviceEvent event = TDeviceEvent::None;
    TEventValues values;
  };
  void Execute();
  void StopAndJoin() noexcept;

  TCard& owner_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::array<Slot, kSlots> ring_;
  int writeIndex_ = 0;  // guarded by mutex_
  int readIndex_ = 0;   // guarded by mutex_
  bool stop_ = false;   // guarded by mutex_
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> dropped_{0};
  std::thread thread_;
};

}  // namespace tarn::readerbus
