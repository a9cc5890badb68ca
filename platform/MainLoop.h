#pragma once
// The main thread's event loop: millisecond timers whose handlers run on the main thread,
// and Synchronize, by which another thread runs a call on the main thread and waits for it.
//
// One TMainLoop is current per process; the thread that constructs it is the main thread.
// The service creates it in main(); tests create one on the test thread and pump it with
// RunUntil. Every timer handler and every synchronized call runs on that thread, one at a
// time, so the device-event handlers and the periodic jobs never overlap.
//
// Timers follow the usual component rules: enabling a timer starts its interval anew; a
// handler that disables and re-enables its own timer is next called one interval after
// the re-enable. A timer with interval 0 never fires, enabled or not (it would otherwise
// spin the main thread).
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarn::platform {

class TMainLoop;

class TTimer {
 public:
  TTimer(TMainLoop& loop, uint32_t intervalMs, std::function<void()> onTimer);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  // Main thread only.
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }
  void SetInterval(uint32_t ms);
  uint32_t Interval() const { return interval_; }

 private:
  friend class TMainLoop;
  bool Armed() const { return enabled_ && interval_ > 0; }
  TMainLoop& loop_;
  uint32_t interval_;
  std::function<void()> onTimer_;
  bool enabled_ = false;
  uint64_t due_ = 0;
};

class TMainLoop {
 public:
  TMainLoop();
  ~TMainLoop();
  TMainLoop(const TMainLoop&) = delete;
  TMainLoop& operator=(const TMainLoop&) = delete;

  // The loop of the process (null when none exists).
  static TMainLoop* Current();
  bool IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

  // Any thread. Runs fn on the main thread and waits until it has run. Called on the main
  // thread it runs at once. Returns false, without running fn, when the loop is being
  // destroyed. An exception raised by fn is swallowed (the caller cannot act on it).
  bool Synchronize(const std::function<void()>& fn);

  // Main thread. Runs the calls waiting in Synchronize; waits up to waitMs for one to
  // arrive when none is waiting. Timers do not run. Used while the main thread waits for
  // a thread that may itself be waiting in Synchronize (closing a loop component).
  bool ProcessSyncCalls(uint32_t waitMs);

  // Main thread. Runs due timers and waiting synchronized calls once, waiting up to waitMs
  // for something to do.
  void ProcessMessages(uint32_t waitMs);

  // Main thread. Runs until Quit; returns at once when Quit was already asked.
  void Run();
  // Main thread. Runs until pred() is true or timeoutMs passed; returns pred().
  bool RunUntil(const std::function<bool()>& pred, uint32_t timeoutMs);

  // Any thread.
  void Quit();
  bool QuitRequested() const;

  // Any thread: wakes the loop so it re-examines its timers.
  void Wake();

 private:
  friend class TTimer;
  struct SyncCall {
    const std::function<void()>* fn;
    bool done = false;
    bool abandoned = false;
  };

  void RunDueTimers();
  uint64_t NextDue() const;

  std::thread::id mainThread_;
  std::vector<TTimer*> timers_;  // main thread only
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<SyncCall*> calls_;
  bool quit_ = false;
  bool closing_ = false;
  bool woken_ = false;
};

}  // namespace tarn::platform
