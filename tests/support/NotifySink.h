#pragma once
// NotifySink: a datagram socket standing in for systemd's notification socket. Like systemd
// it reads all the time (a thread drains it), so the service never finds its queue full; it
// keeps every message in order with the moment it arrived.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Tick.h"
#include "support/ServiceTestSupport.h"

namespace tarn::testing {

class NotifySink {
 public:
  // A socket path must fit the 108 bytes of an AF_UNIX address.
  explicit NotifySink(std::filesystem::path path) : path_(std::move(path)) {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string name = path_.string();
    if (fd_ < 0 || name.size() >= sizeof(a.sun_path)) return;
    std::copy(name.begin(), name.end(), a.sun_path);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    timeval tv{0, 100000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    thread_ = std::thread([this] {
      char buffer[512];
      while (!stop_.load()) {
        const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> g(mutex_);
        messages_.emplace_back(platform::TickMs(), std::string(buffer, static_cast<size_t>(n)));
      }
    });
  }
  ~NotifySink() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  NotifySink(const NotifySink&) = delete;
  NotifySink& operator=(const NotifySink&) = delete;

  bool Ok() const { return fd_ >= 0; }
  const std::filesystem::path& Path() const { return path_; }
  // Every message received so far, in order.
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> out;
    for (const auto& m : messages_) out.push_back(m.second);
    return out;
  }
  long Count(const std::string& message) const {
    const auto all = Messages();
    return static_cast<long>(std::count(all.begin(), all.end(), message));
  }
  bool WaitFor(const std::string& message, int timeoutMs) const {
    return ::tarn::testing::WaitFor([&] { return Count(message) > 0; }, timeoutMs);
  }
  // The moments (ms tick) at which `message` arrived.
  std::vector<uint64_t> Times(const std::string& message = "WATCHDOG=1") const {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<uint64_t> out;
    for (const auto& m : messages_)
      if (m.second == message) out.push_back(m.first);
    return out;
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::pair<uint64_t, std::string>> messages_;
  std::thread thread_;
};

}  // namespace tarn::testing
