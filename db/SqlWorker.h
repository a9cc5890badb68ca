#pragma once
// TSqlWorker: the one thread that runs the driver calls of one connection that wait on the
// server. It is started at the connection's first such call and lives until the connection
// is closed (or its TODBC destroyed), so a statement costs a hand-over to a waiting thread
// instead of a thread start and join. The caller hands over one job at a time and waits for
// its end; there is never more than one job in flight per connection.
//
// The wait can be bounded. A job owns everything it reads and writes (captured by value; a
// result goes into shared state of the job's own), so a job whose caller stopped waiting can
// still end later without touching the caller or anyone after it. Past the bound the caller
// gives the worker up (Abandon): the thread, still inside the driver, goes to the process's
// TAbandonedWorkers together with a clean-up job (freeing the handles its call still uses),
// which it runs as soon as its call returns; then it ends. The next Run starts a new thread.
//
// Threads: Run, Abandon and Stop are called by the connection's owner thread only.
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace tarn {

enum class TWorkerWait : uint8_t {
  Done,      // the job has run
  TimedOut,  // the bound passed first: the caller must Abandon the worker now
  NoThread,  // no thread could be started; the job has not run
};

class TSqlWorker {
 public:
  TSqlWorker() = default;
  ~TSqlWorker();
  TSqlWorker(const TSqlWorker&) = delete;
  TSqlWorker& operator=(const TSqlWorker&) = delete;

  // Runs `job` on the worker thread (starting it when needed) and waits for its end, up to
  // `waitMs` (a negative value waits however long it takes).
  TWorkerWait Run(std::function<void()> job, int waitMs);
  // After Run answered TimedOut: hands the thread over to TAbandonedWorkers; it runs
  // `cleanup` once its job has returned and ends. The worker is then empty again.
  void Abandon(std::function<void()> cleanup);
  // Ends and joins the thread; the next Run starts a new one. A worker given up and not yet
  // handed over is handed over (without a clean-up) instead of joined.
  void Stop() noexcept;
  bool Running() const { return thread_.joinable(); }

 private:
  struct TShared;
  static void Execute(TShared& shared);

  std::shared_ptr<TShared> shared_;
  std::thread thread_;
};

}  // namespace tarn
