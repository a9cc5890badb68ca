#pragma once
// TcpStandIn: a TCP listener on 127.0.0.1 (an ephemeral port) that stands in for a database
// server whose host hangs. Modes:
//   Hold     - accepts every connection and never sends a byte;
//   NoAccept - listens but never accepts (the kernel's queue fills, then SYNs are dropped);
//   Forward  - relays every new connection to 127.0.0.1:<forwardPort> (the real server).
// Switching to Hold or NoAccept drops every relayed connection, as a failing link would.
// One thread does all of it; it is joined by the destructor.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tarn::test {

class TcpStandIn {
 public:
  enum Mode { Hold, NoAccept, Forward };

  explicit TcpStandIn(int forwardPort, Mode mode = Hold) : forwardPort_(forwardPort), mode_(mode) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(listen_, 1) != 0)
      return;
    socklen_t n = sizeof(a);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    if (::pipe2(wake_.data(), O_CLOEXEC | O_NONBLOCK) != 0) return;
    thread_ = std::thread([this] { Run(); });
  }
  ~TcpStandIn() {
    stop_.store(true);
    Wake();
    if (thread_.joinable()) thread_.join();
    for (int fd : held_) ::close(fd);
    for (auto& [a, b] : pairs_) {
      ::close(a);
      ::close(b);
    }
    for (int fd : {listen_, wake_[0], wake_[1]})
      if (fd >= 0) ::close(fd);
  }
  TcpStandIn(const TcpStandIn&) = delete;
  TcpStandIn& operator=(const TcpStandIn&) = delete;

  int Port() const { return port_; }
  void SetMode(Mode mode) {
    mode_.store(mode);
    Wake();
  }
  // Connections accepted so far (every mode but NoAccept).
  int Accepted() const { return accepted_.load(); }

 private:
  void Wake() {
    const char c = 1;
    if (wake_[1] >= 0) [[maybe_unused]] auto n = ::write(wake_[1], &c, 1);
  }
  void DropPairs() {
    for (auto& [a, b] : pairs_) {
      ::close(a);
      ::close(b);
    }
    pairs_.clear();
  }
  void Run() {
    Mode last = mode_.load();
    while (!stop_.load()) {
      const Mode mode = mode_.load();
      if (mode != last && mode != Forward) DropPairs();
      last = mode;
      std::vector<pollfd> fds;
      fds.push_back({wake_[0], POLLIN, 0});
      if (mode != NoAccept) fds.push_back({listen_, POLLIN, 0});
      const size_t first = fds.size();
      for (auto& [a, b] : pairs_) {
        fds.push_back({a, POLLIN, 0});
        fds.push_back({b, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
      if (fds[0].revents != 0) {
        std::array<char, 64> sink{};
        while (::read(wake_[0], sink.data(), sink.size()) > 0) {
        }
      }
      if (mode != NoAccept && (fds[1].revents & POLLIN) != 0) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          accepted_.fetch_add(1);
          if (mode == Forward) {
            const int up = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(forwardPort_));
            if (up >= 0 && ::connect(up, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
              pairs_.emplace_back(fd, up);
            } else {
              if (up >= 0) ::close(up);
              ::close(fd);
            }
          } else {
            held_.push_back(fd);
          }
        }
      }
      std::vector<size_t> dead;
      for (size_t i = first; i < fds.size(); i += 2) {
        const size_t pair = (i - first) / 2;
        for (size_t side = 0; side < 2; ++side) {
          if (fds[i + side].revents == 0) continue;
          std::array<char, 16384> buffer{};
          const ssize_t n = ::read(fds[i + side].fd, buffer.data(), buffer.size());
          const int to = side == 0 ? pairs_[pair].second : pairs_[pair].first;
          if (n <= 0 || ::send(to, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
            dead.push_back(pair);
            break;
          }
        }
      }
      for (auto it = dead.rbegin(); it != dead.rend(); ++it) {
        ::close(pairs_[*it].first);
        ::close(pairs_[*it].second);
        pairs_.erase(pairs_.begin() + static_cast<long>(*it));
      }
    }
  }

  int forwardPort_;
  std::atomic<Mode> mode_;
  int listen_ = -1;
  int port_ = 0;
  std::array<int, 2> wake_{-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> held_;
  std::vector<std::pair<int, int>> pairs_;
  std::thread thread_;
};

}  // namespace tarn::test
