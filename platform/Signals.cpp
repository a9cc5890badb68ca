#include "platform/Signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tarn::platform {
namespace {

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

TSignalWatcher::TSignalWatcher(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
  sigset_t set = WatchedSignals();
  int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
  thread_ = std::thread([this] { Watch(); });
}

TSignalWatcher::~TSignalWatcher() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void TSignalWatcher::Watch() {
  sigset_t set = WatchedSignals();
  // A short wait, so the owner's stop is seen within a tenth of a second.
  const timespec wait{0, 100 * 1000 * 1000};
  while (!stop_.load()) {
    int sig = ::sigtimedwait(&set, nullptr, &wait);
    if (sig < 0) continue;  // EAGAIN (time-out) or EINTR
    try {
      if (onSignal_) onSignal_(sig);
    } catch (...) {
    }
  }
}

}  // namespace tarn::platform
