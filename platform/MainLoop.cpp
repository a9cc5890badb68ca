#include "platform/MainLoop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <stdexcept>

#include "platform/Tick.h"

namespace tarn::platform {
namespace {
std::atomic<TMainLoop*> g_current{nullptr};
}

TTimer::TTimer(TMainLoop& loop, uint32_t intervalMs, std::function<void()> onTimer)
    : loop_(loop), interval_(intervalMs), onTimer_(std::move(onTimer)) {
  loop_.timers_.push_back(this);
}

TTimer::~TTimer() {
  auto& t = loop_.timers_;
  t.erase(std::remove(t.begin(), t.end(), this), t.end());
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled && !enabled_) due_ = TickMs() + interval_;
  enabled_ = enabled;
  loop_.Wake();
}

void TTimer::SetInterval(uint32_t ms) {
  interval_ = ms;
  if (enabled_) due_ = TickMs() + interval_;
}

TMainLoop::TMainLoop() : mainThread_(std::this_thread::get_id()) {
  TMainLoop* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this))
    throw std::logic_error("a main loop already exists in this process");
}

TMainLoop::~TMainLoop() {
  g_current.store(nullptr);
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  for (SyncCall* c : calls_) c->abandoned = true;
  calls_.clear();
  done_.notify_all();
}

TMainLoop* TMainLoop::Current() { return g_current.load(); }

bool TMainLoop::Synchronize(const std::function<void()>& fn) {
  if (IsMainThread()) {
    try {
      fn();
    } catch (...) {
    }
    return true;
  }
  SyncCall call{&fn};
  std::unique_lock<std::mutex> lock(mutex_);
  if (closing_) return false;
  calls_.push_back(&call);
  wake_.notify_all();
  done_.wait(lock, [&] { return call.done || call.abandoned; });
  return call.done;
}

bool TMainLoop::ProcessSyncCalls(uint32_t waitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (calls_.empty() && waitMs > 0)
    wake_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return !calls_.empty() || woken_; });
  woken_ = false;
  bool any = false;
  while (!calls_.empty()) {
    SyncCall* call = calls_.front();
    calls_.pop_front();
    lock.unlock();
    try {
      (*call->fn)();
    } catch (...) {
    }
    lock.lock();
    call->done = true;
    any = true;
    done_.notify_all();
  }
  return any;
}

uint64_t TMainLoop::NextDue() const {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  for (const TTimer* t : timers_)
    if (t->Armed()) next = std::min(next, t->due_);
  return next;
}

void TMainLoop::RunDueTimers() {
  uint64_t now = TickMs();
  // Copy: a handler may create or destroy timers.
  std::vector<TTimer*> due;
  for (TTimer* t : timers_)
    if (t->Armed() && t->due_ <= now) due.push_back(t);
  for (TTimer* t : due) {
    if (std::find(timers_.begin(), timers_.end(), t) == timers_.end() || !t->Armed()) continue;
    t->due_ = TickMs() + t->interval_;
    try {
      if (t->onTimer_) t->onTimer_();
    } catch (...) {
    }
    // Handlers that left the timer enabled run again one interval after they ended.
    if (std::find(timers_.begin(), timers_.end(), t) != timers_.end() && t->enabled_ &&
        t->due_ < TickMs())
      t->due_ = TickMs() + t->interval_;
  }
}

void TMainLoop::ProcessMessages(uint32_t waitMs) {
  uint64_t now = TickMs();
  uint64_t next = NextDue();
  uint32_t wait = waitMs;
  if (next <= now) wait = 0;
  else if (next - now < wait) wait = static_cast<uint32_t>(next - now);
  ProcessSyncCalls(wait);
  RunDueTimers();
}

void TMainLoop::Run() {
  while (!QuitRequested()) ProcessMessages(100);
}

bool TMainLoop::RunUntil(const std::function<bool()>& pred, uint32_t timeoutMs) {
  uint64_t end = TickMs() + timeoutMs;
  while (!pred()) {
    uint64_t now = TickMs();
    if (now >= end) return pred();
    ProcessMessages(static_cast<uint32_t>(std::min<uint64_t>(end - now, 10)));
  }
  return true;
}

void TMainLoop::Quit() {
  std::lock_guard<std::mutex> lock(mutex_);
  quit_ = true;
  woken_ = true;
  wake_.notify_all();
}

bool TMainLoop::QuitRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return quit_;
}

void TMainLoop::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  wake_.notify_all();
}

}  // namespace tarn::platform
