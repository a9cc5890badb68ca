#include "db/AbandonedWorkers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace tarn {

TAbandonedWorkers& TAbandonedWorkers::Instance() {
  static TAbandonedWorkers workers;
  return workers;
}

TAbandonedWorkers::~TAbandonedWorkers() {
  if (WaitAll(kExitWaitMs)) return;
  // Joining would wait for the driver, and a thread may not be left behind unjoined: end
  // the process here, before anything the thread still uses is destroyed under it.
  std::fputs("A database call was still waiting for its server at exit; the process ends without it.\n", stderr);
  std::fflush(nullptr);
  std::_Exit(EXIT_FAILURE);
}

void TAbandonedWorkers::Adopt(std::thread thread, std::shared_ptr<std::atomic<bool>> ended) {
  std::lock_guard<std::mutex> guard(mutex_);
  ReapLocked();
  entries_.push_back({std::move(thread), std::move(ended)});
  ++adopted_;
}

size_t TAbandonedWorkers::ReapLocked() {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->ended->load()) {
      if (it->thread.joinable()) it->thread.join();
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  return entries_.size();
}

size_t TAbandonedWorkers::Reap() {
  std::lock_guard<std::mutex> guard(mutex_);
  return ReapLocked();
}

bool TAbandonedWorkers::WaitAll(int waitMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (Reap() != 0) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

size_t TAbandonedWorkers::Adopted() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return adopted_;
}

}  // namespace tarn
