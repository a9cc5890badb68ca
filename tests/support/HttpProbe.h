#pragma once
// A small HTTP/1.1 client over plain sockets for the status server's tests: ordinary GETs,
// and the raw connections hostile tests need (partial requests, oversized headers, many
// sockets held open). Loopback only; every call is bounded in time.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace tarn::testing {

// A connected TCP socket to 127.0.0.1:port (closed by the destructor).
class TcpClient {
 public:
  // Connects within connectTimeoutMs (a server whose backlog is full may not answer);
  // connectTimeoutMs 0 only starts the connection and leaves it to finish by itself.
  explicit TcpClient(int port, int connectTimeoutMs = 10000) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    if (connectTimeoutMs == 0) return;
    pollfd p{fd_, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (::poll(&p, 1, connectTimeoutMs) != 1 || ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  }
  ~TcpClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  TcpClient(TcpClient&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;
  TcpClient& operator=(TcpClient&&) = delete;

  bool Ok() const { return fd_ >= 0; }
  // Bounds every later Send: a peer that stops reading makes it fail instead of hang.
  void SetSendTimeout(int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  // Whether the peer has closed the connection (after what it sent was read), within timeoutMs.
  bool PeerClosed(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return true;
    }
  }
  bool Send(const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until the peer closes, `enough` bytes are in, or timeoutMs passes.
  std::string ReadAll(int timeoutMs, size_t enough = static_cast<size_t>(-1)) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[8192];
    while (out.size() < enough) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // One response: headers, then Content-Length bytes of body.
  std::string ReadResponse(int timeoutMs) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[8192];
    for (;;) {
      const size_t head = out.find("\r\n\r\n");
      if (head != std::string::npos) {
        size_t length = 0;
        const std::string lower = Lower(out.substr(0, head));
        const size_t cl = lower.find("content-length:");
        if (cl != std::string::npos) length = std::stoul(lower.substr(cl + 15));
        if (out.size() >= head + 4 + length) return out;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return out;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return out;
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return out;
      out.append(buf, static_cast<size_t>(n));
    }
  }
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }

 private:
  int fd_ = -1;
};

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string headers;
  std::string body;
};

inline HttpReply ParseReply(const std::string& raw) {
  HttpReply r;
  const size_t head = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || head == std::string::npos) return r;
  r.status = std::atoi(raw.c_str() + 9);
  r.headers = raw.substr(0, head);
  r.body = raw.substr(head + 4);
  return r;
}

// GET path with extra header lines ("Name: value"); the connection closes afterwards.
inline HttpReply HttpGet(int port, const std::string& path, const std::vector<std::string>& headers = {},
                         int timeoutMs = 10000) {
  TcpClient c(port);
  if (!c.Ok()) return {};
  std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const auto& h : headers) req += h + "\r\n";
  req += "\r\n";
  if (!c.Send(req)) return {};
  return ParseReply(c.ReadResponse(timeoutMs));
}

// A request whose header lines never end: up to `bytes` of them on one connection, within
// `seconds`, then the first line of what the server answered. `sent` says how much of it the
// server took before it refused (or the flood ended).
inline std::string HeaderFlood(int port, size_t bytes, size_t& sent, int seconds = 60) {
  sent = 0;
  TcpClient c(port);
  if (!c.Ok()) return "";
  c.SetSendTimeout(5000);
  std::string chunk;
  for (int n = 0; chunk.size() < 64 * 1024; ++n) chunk += "X-Flood-" + std::to_string(n) + ": flood\r\n";
  bool ok = c.Send("GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (ok && sent < bytes && std::chrono::steady_clock::now() < end) {
    ok = c.Send(chunk);
    if (ok) sent += chunk.size();
  }
  const std::string answer = c.ReadAll(5000);
  return answer.substr(0, answer.find("\r\n"));
}

// A loopback port nobody listens on right now.
inline int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

// Open descriptors of this process.
inline size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

// Resident memory of a process in KiB (0 when unknown).
inline long ResidentKiB(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (f == nullptr) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
  std::fclose(f);
  return kib;
}

// Runs `command` through the shell; its exit status and everything it printed.
inline std::pair<int, std::string> RunCommand(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return {-1, out};
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace tarn::testing
