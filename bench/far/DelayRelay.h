#pragma once
// A TCP relay on the loopback that delays every byte by half the added round trip in each
// direction: the service talks to a database server "far away" while both run on this
// machine. Bytes keep their order; each chunk read leaves the relay `delay / 2` after it came.
//
// Threads: one accepting thread, two per relayed connection (one per direction); Stop (and
// the destructor) closes every socket and joins them all.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarn::bench {

class TDelayRelay {
 public:
  // Relays 127.0.0.1:<Port()> to 127.0.0.1:`upstreamPort` with `roundTripMs` added.
  TDelayRelay(int upstreamPort, int roundTripMs) : upstream_(upstreamPort), halfUs_(roundTripMs * 500) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(listen_, 16) != 0) {
      close(listen_);
      listen_ = -1;
      return;
    }
    socklen_t len = sizeof(a);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    accepting_ = std::thread([this] { Accept(); });
  }
  ~TDelayRelay() { Stop(); }
  TDelayRelay(const TDelayRelay&) = delete;
  TDelayRelay& operator=(const TDelayRelay&) = delete;

  int Port() const { return port_; }
  // Changes the added round trip for the bytes read from now on.
  void SetRoundTripMs(int ms) { halfUs_ = ms * 500; }

  void Stop() {
    if (stop_.exchange(true)) return;
    if (accepting_.joinable()) accepting_.join();
    std::vector<std::unique_ptr<Pair>> pairs;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pairs.swap(pairs_);
    }
    for (auto& p : pairs) {
      p->up.join();
      p->down.join();
      close(p->client);
      close(p->server);
    }
    if (listen_ >= 0) close(listen_);
  }

 private:
  struct Pair {
    int client = -1;
    int server = -1;
    std::thread up;    // client -> server
    std::thread down;  // server -> client
  };
  struct Chunk {
    std::chrono::steady_clock::time_point due;
    std::string bytes;
  };

  void Accept() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int client = accept(listen_, nullptr, nullptr);
      if (client < 0) continue;
      const int server = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(upstream_));
      if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(server);
        close(client);
        continue;
      }
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      auto pair = std::make_unique<Pair>();
      pair->client = client;
      pair->server = server;
      pair->up = std::thread([this, client, server] { Pump(client, server); });
      pair->down = std::thread([this, client, server] { Pump(server, client); });
      std::lock_guard<std::mutex> lock(mutex_);
      pairs_.push_back(std::move(pair));
    }
  }

  // Reads `from`, writes to `to` each chunk once its time has come; ends when `from` closes
  // (after the last chunk has gone) or at Stop.
  void Pump(int from, int to) {
    using clock = std::chrono::steady_clock;
    std::deque<Chunk> queue;
    bool eof = false;
    char buffer[16384];
    while (!stop_) {
      int waitMs = 50;
      const auto now = clock::now();
      if (!queue.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(queue.front().due - now).count();
        waitMs = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left, 50)));
      }
      if (eof) {
        if (queue.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
      } else {
        pollfd p{from, POLLIN, 0};
        if (poll(&p, 1, waitMs) > 0) {
          const ssize_t n = read(from, buffer, sizeof(buffer));
          if (n <= 0) {
            eof = true;
          } else {
            queue.push_back({clock::now() + std::chrono::microseconds(halfUs_.load()),
                             std::string(buffer, static_cast<size_t>(n))});
          }
        }
      }
      while (!queue.empty() && queue.front().due <= clock::now()) {
        const std::string& b = queue.front().bytes;
        size_t sent = 0;
        while (sent < b.size()) {
          const ssize_t n = send(to, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) {
            eof = true;
            queue.clear();
            break;
          }
          sent += static_cast<size_t>(n);
        }
        if (!queue.empty()) queue.pop_front();
      }
    }
    shutdown(to, SHUT_WR);
  }

  int upstream_;
  std::atomic<int> halfUs_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread accepting_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Pair>> pairs_;
};

}  // namespace tarn::bench
