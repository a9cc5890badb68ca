#include "db/SqlWorker.h"

#include <chrono>

namespace tarn {

namespace {
// Most executions end within tens of microseconds and a unit of work runs its statements
// back to back: both sides look a short while before they go to sleep, so a short
// statement does not pay for two sleeps and wake-ups.
constexpr auto kCallerLook = std::chrono::microseconds(20);
constexpr auto kWorkerLook = std::chrono::microseconds(50);
}  // namespace

TSqlWorker::~TSqlWorker() { Stop(); }

void TSqlWorker::Stop() noexcept {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
  stop_ = false;
  state_.store(kIdle);
}

bool TSqlWorker::Run(const std::function<void()>& job) {
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Execute(); });
    } catch (...) {
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    job_ = &job;
    state_.store(kPosted);
  }
  wake_.notify_one();
  const auto lookUntil = std::chrono::steady_clock::now() + kCallerLook;
  while (state_.load() != kDone && std::chrono::steady_clock::now() < lookUntil)
    std::this_thread::yield();
  std::unique_lock<std::mutex> guard(mutex_);
  // The caller waits for the end of the execution however long it takes; it looks again at
  // least every 20 ms in case a wake-up is lost.
  while (state_.load() != kDone) done_.wait_for(guard, std::chrono::milliseconds(20));
  state_.store(kIdle);
  job_ = nullptr;
  return true;
}

void TSqlWorker::Execute() {
  while (true) {
    const auto lookUntil = std::chrono::steady_clock::now() + kWorkerLook;
    while (state_.load() != kPosted && std::chrono::steady_clock::now() < lookUntil)
      std::this_thread::yield();
    const std::function<void()>* job = nullptr;
    {
      std::unique_lock<std::mutex> guard(mutex_);
      wake_.wait(guard, [this] { return stop_ || state_.load() == kPosted; });
      if (stop_) return;
      job = job_;
    }
    try {
      (*job)();
    } catch (...) {
      // The job records its own outcome; nothing may end the worker.
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      state_.store(kDone);
    }
    done_.notify_one();
  }
}

}  // namespace tarn
