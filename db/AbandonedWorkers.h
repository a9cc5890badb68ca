#pragma once
// TAbandonedWorkers: the owner of the SQL workers that were given up while inside a driver
// call (a database that stopped answering in the middle of a statement). Such a thread cannot
// be joined at once; it ends by itself when the driver gives up (the connection's read and
// write time-outs) and frees the handles its call used. This owner keeps every such thread,
// joins those that have ended whenever a new one comes, and waits for the rest, with a bound,
// when the process ends.
//
// At exit: WaitAll is asked for a few seconds. A worker still inside the driver after that is
// not waited for: the process ends at once (std::_Exit) without running the destructors of
// static objects and the exit handlers, so nothing the driver uses is torn down under the
// thread while it sits in its call; the kernel ends the thread with the process. The service
// does this itself after its shut-down (ServiceMain); the destructor of this owner does it
// for any other program that leaves a worker behind.
//
// Threads: any thread.
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarn {

class TAbandonedWorkers {
 public:
  // How long the end of a program waits for workers still inside the driver.
  static constexpr int kExitWaitMs = 3000;

  // The one owner of the process.
  static TAbandonedWorkers& Instance();

  TAbandonedWorkers() = default;
  ~TAbandonedWorkers();
  TAbandonedWorkers(const TAbandonedWorkers&) = delete;
  TAbandonedWorkers& operator=(const TAbandonedWorkers&) = delete;

  // Takes a thread that sets `ended` as the last thing it does.
  void Adopt(std::thread thread, std::shared_ptr<std::atomic<bool>> ended);
  // Joins the threads that have ended; returns how many are still inside a call.
  size_t Reap();
  // Waits up to `waitMs` for every thread to end, joining them. True when none is left.
  bool WaitAll(int waitMs);
  // Threads handed over so far, in the life of the process.
  size_t Adopted() const;

 private:
  struct TEntry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  size_t ReapLocked();

  mutable std::mutex mutex_;
  std::vector<TEntry> entries_;
  size_t adopted_ = 0;
};

}  // namespace tarn
