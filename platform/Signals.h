#pragma once
// TSignalWatcher: turns SIGTERM, SIGINT and SIGHUP into a call of one callback on a
// watcher thread of its own (the service passes a call of TMainLoop::Quit, which is safe
// from any thread). SIGPIPE is ignored, so a peer that went away is an error code, not a
// dead process.
//
// Construct it on the main thread before any other thread starts: it blocks the three
// signals for the calling thread, and threads started afterwards inherit the mask, so the
// signals reach only the watcher. The owner destroys it, which stops and joins the
// watcher; the signals stay blocked (a signal arriving after that is not acted on).
#include <atomic>
#include <functional>
#include <thread>

namespace tarn::platform {

class TSignalWatcher {
 public:
  // onSignal receives the signal number; it runs on the watcher thread.
  explicit TSignalWatcher(std::function<void(int)> onSignal);
  ~TSignalWatcher();
  TSignalWatcher(const TSignalWatcher&) = delete;
  TSignalWatcher& operator=(const TSignalWatcher&) = delete;

 private:
  void Watch();

  std::function<void(int)> onSignal_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tarn::platform
