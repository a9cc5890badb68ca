#include "db/SqlWorker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "db/AbandonedWorkers.h"

namespace tarn {

namespace {
// Most executions end within tens of microseconds and a unit of work runs its statements
// back to back: both sides look a short while before they go to sleep, so a short
// statement does not pay for two sleeps and wake-ups.
constexpr auto kCallerLook = std::chrono::microseconds(20);
constexpr auto kWorkerLook = std::chrono::microseconds(50);
// A caller looks again at least this often in case a wake-up is lost.
constexpr auto kCallerRecheck = std::chrono::milliseconds(20);

enum : int { kIdle = 0, kPosted = 1, kDone = 2, kAbandoned = 3 };
}  // namespace

// What the caller and the thread share. The thread holds it by a shared pointer of its own,
// so it outlives the TSqlWorker when the thread was given up.
struct TSqlWorker::TShared {
  std::mutex mutex;
  std::condition_variable wake;  // the thread waits here for a job, a stop or its clean-up
  std::condition_variable done;  // the caller waits here for the end of the job
  std::atomic<int> state{kIdle};
  bool stop = false;
  std::function<void()> job;
  bool cleanupGiven = false;
  std::function<void()> cleanup;
  std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
};

TSqlWorker::~TSqlWorker() { Stop(); }

void TSqlWorker::Stop() noexcept {
  if (!thread_.joinable()) return;
  if (shared_->state.load() == kAbandoned) {
    Abandon({});
    return;
  }
  {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    shared_->stop = true;
  }
  shared_->wake.notify_one();
  thread_.join();
  shared_.reset();
}

TWorkerWait TSqlWorker::Run(std::function<void()> job, int waitMs) {
  if (!thread_.joinable()) {
    try {
      auto shared = std::make_shared<TShared>();
      thread_ = std::thread([shared] { Execute(*shared); });
      shared_ = std::move(shared);
    } catch (...) {
      return TWorkerWait::NoThread;
    }
  }
  TShared& s = *shared_;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    s.job = std::move(job);
    s.state.store(kPosted);
  }
  s.wake.notify_one();
  const auto began = std::chrono::steady_clock::now();
  const auto lookUntil = began + kCallerLook;
  while (s.state.load() != kDone && std::chrono::steady_clock::now() < lookUntil) std::this_thread::yield();
  const auto deadline = began + std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs);
  std::unique_lock<std::mutex> guard(s.mutex);
  while (s.state.load() != kDone) {
    const auto now = std::chrono::steady_clock::now();
    if (waitMs >= 0 && now >= deadline) {
      // Decided under the lock: a job that ends from here on finds itself given up and
      // keeps its result to itself.
      s.state.store(kAbandoned);
      return TWorkerWait::TimedOut;
    }
    auto until = now + kCallerRecheck;
    if (waitMs >= 0 && deadline < until) until = deadline;
    s.done.wait_until(guard, until);
  }
  s.state.store(kIdle);
  return TWorkerWait::Done;
}

void TSqlWorker::Abandon(std::function<void()> cleanup) {
  if (!thread_.joinable()) return;
  TShared& s = *shared_;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    s.cleanup = std::move(cleanup);
    s.cleanupGiven = true;
  }
  s.wake.notify_one();
  TAbandonedWorkers::Instance().Adopt(std::move(thread_), s.ended);
  shared_.reset();
}

void TSqlWorker::Execute(TShared& s) {
  for (;;) {
    const auto lookUntil = std::chrono::steady_clock::now() + kWorkerLook;
    while (s.state.load() != kPosted && std::chrono::steady_clock::now() < lookUntil) std::this_thread::yield();
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> guard(s.mutex);
      s.wake.wait(guard, [&s] { return s.stop || s.state.load() == kPosted; });
      if (s.state.load() != kPosted) break;
      job = std::move(s.job);
      s.job = nullptr;
    }
    try {
      job();
    } catch (...) {
      // The job records its own outcome; nothing may end the worker.
    }
    // What the job captured goes here, on this thread, whoever waits for it.
    job = nullptr;
    std::function<void()> cleanup;
    {
      std::unique_lock<std::mutex> guard(s.mutex);
      if (s.state.load() != kAbandoned) {
        s.state.store(kDone);
        guard.unlock();
        s.done.notify_one();
        continue;
      }
      // Given up while inside the call: the owner hands the clean-up over right after.
      s.wake.wait(guard, [&s] { return s.cleanupGiven; });
      cleanup = std::move(s.cleanup);
      s.cleanup = nullptr;
    }
    try {
      if (cleanup) cleanup();
    } catch (...) {
    }
    cleanup = nullptr;
    break;
  }
  s.ended->store(true);
}

}  // namespace tarn
