#include "readerbus/TProcessInfo.h"

#include <chrono>

#include "platform/MainLoop.h"
#include "readerbus/TCard.h"

namespace tarn::readerbus {

TProcessInfo::TProcessInfo(TCard& owner, bool startThread) : owner_(owner) {
  if (startThread) thread_ = std::thread([this] { Execute(); });
  else finished_.store(true);
}

TProcessInfo::~TProcessInfo() noexcept { StopAndJoin(); }

void TProcessInfo::StopAndJoin() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  // The thread may be waiting for the main thread inside Synchronize: when we are the main
  // thread, keep serving those calls until it has left.
  platform::TMainLoop* loop = platform::TMainLoop::Current();
  if (loop && loop->IsMainThread())
    while (!finished_.load()) loop->ProcessSyncCalls(5);
  if (thread_.joinable()) thread_.join();
}

bool TProcessInfo::PostEvent(TDeviceEvent event, const TEventValues& values) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    int next = (writeIndex_ + 1) % kSlots;
    if (next == readIndex_) {
      dropped_.fetch_add(1);
      return false;
    }
    if (event == TDeviceEvent::CommStatus)
      for (int i = readIndex_; i != writeIndex_; i = (i + 1) % kSlots)
        if (ring_[i].event == TDeviceEvent::CommStatus) return true;
    ring_[writeIndex_].event = event;
    ring_[writeIndex_].values = values;
    writeIndex_ = next;
  }
  wake_.notify_all();
  return true;
}

int TProcessInfo::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return (writeIndex_ - readIndex_ + kSlots) % kSlots;
}

void TProcessInfo::DispatchEvent() {
  // Events whose handler slot is empty are skipped here, on the main thread where the
  // handlers are assigned, and take no turn: the first event with a handler is delivered.
  for (;;) {
    Slot slot;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (readIndex_ == writeIndex_) return;
      slot = ring_[readIndex_];
    }
    const bool handled = owner_.HasHandler(slot.event);
    if (handled) {
      try {
        owner_.DeliverEvent(slot.event, slot.values);
      } catch (...) {
        // A handler's failure must not stop the delivery of the events behind it.
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ring_[readIndex_].event = TDeviceEvent::None;
      ring_[readIndex_].values = TEventValues{};
      readIndex_ = (readIndex_ + 1) % kSlots;
    }
    if (handled) return;
  }
}

void TProcessInfo::Execute() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    // Nothing to hand over: sleep until the poll thread posts, rather than waking the main
    // thread every 30 ms for nothing.
    wake_.wait(lock, [&] { return stop_ || readIndex_ != writeIndex_; });
    if (stop_) break;
    lock.unlock();
    platform::TMainLoop* loop = platform::TMainLoop::Current();
    if (loop) {
      loop->Synchronize([this] { DispatchEvent(); });
    } else {
      DispatchEvent();  // no main loop in this process: deliver here
    }
    lock.lock();
    wake_.wait_for(lock, std::chrono::milliseconds(kDeliveryGapMs), [&] { return stop_; });
  }
  finished_.store(true);
}

}  // namespace tarn::readerbus
