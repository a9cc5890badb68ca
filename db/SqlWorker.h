#pragma once
// TSqlWorker: the one thread that runs the ODBC executions of one connection. It is started
// at the connection's first execution and lives until the connection is closed (or its
// TODBC destroyed), so a statement costs a hand-over to a waiting thread instead of a
// thread start and join. The caller hands over one job at a time and waits for its end;
// there is never more than one job in flight per connection.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tarn {

class TSqlWorker {
 public:
  TSqlWorker() = default;
  ~TSqlWorker();
  TSqlWorker(const TSqlWorker&) = delete;
  TSqlWorker& operator=(const TSqlWorker&) = delete;

  // Runs `job` on the worker thread (starting it when needed) and returns when it has
  // ended. False when no thread could be started; the job has not run then.
  bool Run(const std::function<void()>& job);
  // Ends and joins the thread; the next Run starts a new one.
  void Stop() noexcept;
  bool Running() const { return thread_.joinable(); }

 private:
  enum : int { kIdle = 0, kPosted = 1, kDone = 2 };
  void Execute();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::atomic<int> state_{kIdle};
  bool stop_ = false;
  const std::function<void()>* job_ = nullptr;
  std::thread thread_;
};

}  // namespace tarn
