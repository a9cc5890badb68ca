#pragma once
// TcpStandIn: a TCP listener on 127.0.0.1 (an ephemeral port) that stands in for a database
// server whose host or network fails in one of several ways. Modes:
//   Forward  - relays every new connection to 127.0.0.1:<forwardPort> (the real server);
//   Hold     - accepts every connection and never sends a byte; relayed links are dropped;
//   NoAccept - listens but never accepts (the kernel's queue fills, then SYNs are dropped);
//   Silent   - a link that stops carrying anything: relayed connections stay open but every
//              byte is dropped, both ways; new connections are accepted and never answered;
//   Refuse   - the port is closed: connections are refused, open ones are reset.
// Leaving Silent for Forward does not revive the silenced links: a partition that heals
// leaves the old sessions dead on the server's side, so they are reset then.
// SilenceAtConnection(n) turns the stand-in Silent when the n-th connection arrives (that
// connection is held), and SilenceOnText(t) when a client sends bytes holding t (they are
// dropped), so a failure can be placed at a known step of a start-up or in the middle of a
// given statement.
// One thread does all of it; it is joined by the destructor.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tarn::test {

class TcpStandIn {
 public:
  enum Mode { Hold, NoAccept, Forward, Silent, Refuse };

  explicit TcpStandIn(int forwardPort, Mode mode = Hold) : forwardPort_(forwardPort), mode_(mode) {
    if (!Listen(0)) return;
    if (::pipe2(wake_.data(), O_CLOEXEC | O_NONBLOCK) != 0) return;
    if (mode == Refuse) CloseListener();
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
  Mode CurrentMode() const { return mode_.load(); }
  // Turns Silent when connection number `n` (counted from the stand-in's start) arrives.
  void SilenceAtConnection(int n) {
    silenceAt_.store(n);
    Wake();
  }
  // Turns Silent when a client sends `text` (in one read): that statement never arrives.
  void SilenceOnText(const std::string& text) {
    std::lock_guard<std::mutex> g(timesMutex_);
    silenceText_ = text;
  }
  // Connections accepted so far (every mode but NoAccept and Refuse).
  int Accepted() const { return accepted_.load(); }
  // The moments (steady clock, ms) at which connections were accepted, in order.
  std::vector<int64_t> AcceptTimes() const {
    std::lock_guard<std::mutex> g(timesMutex_);
    return acceptTimes_;
  }

 private:
  static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool Listen(int port) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return false;
    const int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(listen_, 8) != 0) {
      ::close(listen_);
      listen_ = -1;
      return false;
    }
    socklen_t n = sizeof(a);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    return true;
  }
  void CloseListener() {
    if (listen_ >= 0) ::close(listen_);
    listen_ = -1;
  }
  void Wake() {
    const char c = 1;
    if (wake_[1] >= 0) [[maybe_unused]] auto n = ::write(wake_[1], &c, 1);
  }
  // Closes with a reset (no orderly shutdown), as a server that went away would.
  static void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd);
  }
  void DropPairs(bool reset) {
    for (auto& [a, b] : pairs_) {
      if (reset) {
        Reset(a);
        Reset(b);
      } else {
        ::close(a);
        ::close(b);
      }
    }
    pairs_.clear();
  }
  void DropHeld() {
    for (int fd : held_) Reset(fd);
    held_.clear();
  }
  void Accept(Mode mode) {
    const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    const int number = accepted_.fetch_add(1) + 1;
    {
      std::lock_guard<std::mutex> g(timesMutex_);
      acceptTimes_.push_back(NowMs());
    }
    if (mode == Forward && number == silenceAt_.load()) {
      mode_.store(Silent);
      mode = Silent;
    }
    if (mode != Forward) {
      held_.push_back(fd);
      return;
    }
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
  }
  bool Triggers(const char* data, size_t n) {
    std::lock_guard<std::mutex> g(timesMutex_);
    if (silenceText_.empty() || std::string_view(data, n).find(silenceText_) == std::string_view::npos) return false;
    silenceText_.clear();
    return true;
  }
  void Enter(Mode mode, Mode last) {
    if (mode == Refuse) {
      CloseListener();
      DropPairs(true);
      DropHeld();
      return;
    }
    if (listen_ < 0) Listen(port_);
    if (mode == Hold || mode == NoAccept) DropPairs(false);
    // Links silenced before are dead on the server's side once the path is back.
    if (last == Silent && mode == Forward) {
      DropPairs(true);
      DropHeld();
    }
    if (last == Hold && mode == Forward) DropHeld();
  }
  void Run() {
    Mode last = mode_.load();
    while (!stop_.load()) {
      const Mode mode = mode_.load();
      if (mode != last) Enter(mode, last);
      last = mode;
      std::vector<pollfd> fds;
      fds.push_back({wake_[0], POLLIN, 0});
      const bool accepting = listen_ >= 0 && mode != NoAccept && mode != Refuse;
      if (accepting) fds.push_back({listen_, POLLIN, 0});
      const size_t first = fds.size();
      for (auto& [a, b] : pairs_) {
        fds.push_back({a, POLLIN, 0});
        fds.push_back({b, POLLIN, 0});
      }
      const size_t heldFirst = fds.size();
      for (int fd : held_) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
      if (fds[0].revents != 0) {
        std::array<char, 64> sink{};
        while (::read(wake_[0], sink.data(), sink.size()) > 0) {
        }
      }
      if (mode_.load() != mode) continue;  // switched meanwhile: the new mode's rules first
      if (accepting && (fds[1].revents & POLLIN) != 0) Accept(mode);
      std::vector<size_t> dead;
      for (size_t i = first; i < heldFirst; i += 2) {
        const size_t pair = (i - first) / 2;
        for (size_t side = 0; side < 2; ++side) {
          if (fds[i + side].revents == 0) continue;
          std::array<char, 16384> buffer{};
          const ssize_t n = ::read(fds[i + side].fd, buffer.data(), buffer.size());
          if (n <= 0) {
            dead.push_back(pair);
            break;
          }
          // Silent: what was read is dropped, so neither side ever hears the other again.
          if (mode == Silent) continue;
          if (side == 0 && Triggers(buffer.data(), static_cast<size_t>(n))) {
            mode_.store(Silent);
            break;
          }
          const int to = side == 0 ? pairs_[pair].second : pairs_[pair].first;
          if (::send(to, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
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
      // A held connection's bytes are swallowed; one its client closed is closed here too.
      std::vector<size_t> gone;
      for (size_t i = heldFirst; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        std::array<char, 4096> buffer{};
        if (::read(fds[i].fd, buffer.data(), buffer.size()) <= 0) gone.push_back(i - heldFirst);
      }
      for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
        ::close(held_[*it]);
        held_.erase(held_.begin() + static_cast<long>(*it));
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
  std::atomic<int> silenceAt_{0};
  mutable std::mutex timesMutex_;
  std::vector<int64_t> acceptTimes_;
  std::string silenceText_;
  std::vector<int> held_;
  std::vector<std::pair<int, int>> pairs_;
  std::thread thread_;
};

}  // namespace tarn::test
