#include "platform/Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "util/Strings.h"

namespace tarn::platform {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool SdNotify(const std::string& state) noexcept {
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (!env || !*env || state.empty()) return false;
  size_t len = std::strlen(env);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (len > sizeof(addr.sun_path) - 1) return false;
  if (env[0] == '@') {
    addr.sun_path[0] = '\0';
    std::memcpy(addr.sun_path + 1, env + 1, len - 1);
  } else if (env[0] == '/') {
    std::memcpy(addr.sun_path, env, len);
  } else {
    return false;
  }
  socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (env[0] == '@' ? 0 : 1));
  Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return false;
  // The main thread sends these: a receiver that does not read (its queue full) must not
  // hold it. A watchdog message finds others still queued and may be dropped; any other
  // state is tried again for up to a second.
  const bool droppable = state == "WATCHDOG=1";
  for (int tries = 0;; ++tries) {
    const ssize_t n = ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                               reinterpret_cast<const sockaddr*>(&addr), addrLen);
    if (n >= 0) return n == static_cast<ssize_t>(state.size());
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || droppable || tries >= 100) return false;
    ::usleep(10000);
  }
}

uint64_t SdWatchdogIntervalMs() noexcept {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || !*usec) return 0;
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid && *pid) {
    auto p = TryStrToInt64(pid);
    if (!p || *p != static_cast<int64_t>(::getpid())) return 0;
  }
  auto v = TryStrToInt64(usec);
  if (!v || *v <= 0) return 0;
  return static_cast<uint64_t>(*v) / 2000;
}

}  // namespace tarn::platform
