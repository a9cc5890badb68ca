#include "service/StatusServer.h"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "config/TIniFileEx.h"
#include "metrics/StatusStore.h"
#include "service/StatusText.h"
#include "util/Strings.h"

namespace tarn::status {

// The server's task queue: a fixed pool of workers, and a bound on the connections the
// listening thread may hand over. When the bound is reached the listening thread waits
// here instead of accepting more, so further clients stay in the kernel's backlog and hold
// neither a descriptor nor memory of this process.
class TBoundedQueue {
 public:
  TBoundedQueue(int workers, int maxConnections) : max_(static_cast<size_t>(maxConnections)) {
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~TBoundedQueue() { Shutdown(); }
  TBoundedQueue(const TBoundedQueue&) = delete;
  TBoundedQueue& operator=(const TBoundedQueue&) = delete;

  void Enqueue(std::function<void()> fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A job owns its connection: it is always queued, at the latest once the bound allows
    // or the server stops.
    roomy_.wait(lock, [this] { return released_ || jobs_.size() + active_ < max_; });
    jobs_.push_back(std::move(fn));
    work_.notify_one();
  }
  // Lets a waiting Enqueue through (the server is stopping).
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    roomy_.notify_all();
  }
  // Runs what is queued, then joins the workers.
  void Shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ && workers_.empty()) return;
      stopping_ = true;
      released_ = true;
      work_.notify_all();
      roomy_.notify_all();
    }
    for (auto& t : workers_)
      if (t.joinable()) t.join();
    std::lock_guard<std::mutex> lock(mutex_);
    workers_.clear();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping and nothing left
        job = std::move(jobs_.front());
        jobs_.pop_front();
        ++active_;
      }
      try {
        job();
      } catch (...) {
      }
      std::lock_guard<std::mutex> lock(mutex_);
      --active_;
      roomy_.notify_one();
    }
  }

  const size_t max_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable roomy_;
  std::deque<std::function<void()>> jobs_;
  size_t active_ = 0;
  bool released_ = false;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

namespace {

// What the library owns and frees: forwards to the queue the server keeps, so a stop can
// release it whatever the listening thread is doing.
class TQueueProxy : public httplib::TaskQueue {
 public:
  explicit TQueueProxy(std::shared_ptr<TBoundedQueue> queue) : queue_(std::move(queue)) {}
  void enqueue(std::function<void()> fn) override { queue_->Enqueue(std::move(fn)); }
  void shutdown() override { queue_->Shutdown(); }

 private:
  std::shared_ptr<TBoundedQueue> queue_;
};

// The connection a worker serves now: its handlers and the logger run on that worker.
struct TConnectionState {
  bool close = false;  // the last answer refused the request: no further one is read
};
thread_local TConnectionState* tConnection = nullptr;

// The socket as the library reads a request from it, with the request's head (request line
// and header lines) bounded before any of it is stored: after kMaxHeadBytes bytes or
// kMaxHeaderLines header lines the stream reports an error, swallows whatever the library
// answers, and the connection answers 431 (414 for an endless request line) and ends.
// Nothing after the head is handed over: no request body is ever read. Bytes of a next
// request sent ahead stay in the buffer for it.
class THeadStream : public httplib::Stream {
 public:
  enum class Overflow { None, RequestLine, Headers };

  THeadStream(int sock, int timeoutMs, const std::atomic<socket_t>& listening)
      : sock_(sock), timeoutMs_(timeoutMs), listening_(listening) {}

  // A new request: the bounds count from here.
  void BeginRequest() {
    inHead_ = true;
    headBytes_ = 0;
    lines_ = 0;
    lineBytes_ = 0;
    previous_ = 0;
    overflow_ = Overflow::None;
  }
  Overflow Overflowed() const { return overflow_; }

  // Whether a request begins within `seconds` (false when the peer closes, the time passes
  // or the server stops).
  bool WaitForRequest(time_t seconds) {
    if (pos_ < len_) return true;
    return WaitReadable(static_cast<int>(seconds * 1000));
  }

  // Writes an answer of our own and lets the peer read it before the connection closes: the
  // rest of what it sends is read and dropped for a short, bounded while.
  void Refuse(int status, const char* reason, const std::string& body) {
    const std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                             "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    suppress_ = false;
    if (write(head.data(), head.size()) < 0 || write(body.data(), body.size()) < 0) return;
    ::shutdown(sock_, SHUT_WR);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    char sink[4096];
    size_t drained = 0;
    while (drained < 1024 * 1024 && std::chrono::steady_clock::now() < end) {
      pollfd p{sock_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(sock_, sink, sizeof sink, 0);
      if (n <= 0) break;
      drained += static_cast<size_t>(n);
    }
  }

  bool is_readable() const override { return pos_ < len_ || Poll(POLLIN, timeoutMs_); }
  bool is_writable() const override { return Poll(POLLOUT, timeoutMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (overflow_ != Overflow::None) return -1;
    if (!inHead_ || size == 0) return 0;  // the head is all we take
    if (pos_ == len_) {
      if (!WaitReadable(timeoutMs_)) return -1;
      ssize_t n;
      do n = ::recv(sock_, buffer_, sizeof buffer_, 0);
      while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      pos_ = 0;
      len_ = static_cast<size_t>(n);
    }
    size_t given = 0;
    while (given < size && pos_ < len_ && inHead_) {
      const char c = buffer_[pos_++];
      ptr[given++] = c;
      if (++headBytes_ > TStatusServer::kMaxHeadBytes) return Cut(lines_ == 0 ? Overflow::RequestLine : Overflow::Headers);
      ++lineBytes_;
      const bool afterCr = previous_ == '\r';
      previous_ = c;
      if (c != '\n') continue;
      // A line ends: a blank one ("\r\n") after the request line ends the head.
      if (lines_ > 0 && lineBytes_ == 2 && afterCr) inHead_ = false;
      ++lines_;
      lineBytes_ = 0;
      // The request line and at most kMaxHeaderLines header lines.
      if (inHead_ && lines_ - 1 > TStatusServer::kMaxHeaderLines) return Cut(Overflow::Headers);
    }
    return static_cast<ssize_t>(given);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (suppress_) return static_cast<ssize_t>(size);  // the library's answer to a cut head
    size_t done = 0;
    while (done < size) {
      if (!Poll(POLLOUT, timeoutMs_)) return -1;
      const ssize_t n = ::send(sock_, ptr + done, size - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return -1;
      done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
  socket_t socket() const override { return sock_; }

 private:
  bool Poll(short events, int timeoutMs) const {
    pollfd p{sock_, events, 0};
    int rc;
    do rc = ::poll(&p, 1, timeoutMs);
    while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & (events | POLLHUP | POLLERR)) != 0;
  }
  ssize_t Cut(Overflow why) {
    overflow_ = why;
    suppress_ = true;
    return -1;
  }
  // Waits in short steps, so a stopping server does not wait for a silent client.
  bool WaitReadable(int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (listening_ == INVALID_SOCKET) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      if (Poll(POLLIN, static_cast<int>(std::min<long long>(left, 50)))) return true;
    }
  }
  void Address(bool local, std::string& ip, int& port) const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ip.clear();
    port = 0;
    const int rc = local ? ::getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len)
                         : ::getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &len);
    if (rc != 0) return;
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, serv, sizeof serv,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
      return;
    ip = host;
    port = std::atoi(serv);
  }

  const int sock_;
  const int timeoutMs_;
  const std::atomic<socket_t>& listening_;
  char buffer_[4096];
  size_t pos_ = 0;
  size_t len_ = 0;
  bool inHead_ = false;
  size_t headBytes_ = 0;
  int lines_ = 0;
  size_t lineBytes_ = 0;
  char previous_ = 0;
  bool suppress_ = false;
  Overflow overflow_ = Overflow::None;
};

// The library's server with our own connection loop: requests are read through THeadStream,
// and a connection ends after any refused request (4xx), so a body sent with a GET is never
// read as the next request.
class TGuardedServer : public httplib::Server {
 private:
  bool process_and_close_socket(socket_t sock) override {
    TConnectionState state;
    tConnection = &state;
    struct TForget {
      ~TForget() { tConnection = nullptr; }
    } forget;
    bool ok = false;
    {
      THeadStream stream(sock, static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000), svr_sock_);
      for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
        if (!stream.WaitForRequest(keep_alive_timeout_sec_)) break;
        stream.BeginRequest();
        bool closed = false;
        ok = process_request(stream, left == 1, closed, nullptr);
        if (stream.Overflowed() == THeadStream::Overflow::RequestLine) {
          stream.Refuse(414, "URI Too Long", "request line too long\n");
          break;
        }
        if (stream.Overflowed() == THeadStream::Overflow::Headers) {
          stream.Refuse(431, "Request Header Fields Too Large",
                        "at most " + std::to_string(TStatusServer::kMaxHeaderLines) + " header lines and " +
                            std::to_string(TStatusServer::kMaxHeadBytes / 1024) + " KiB\n");
          break;
        }
        if (!ok || closed || state.close) break;
      }
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
  }
};

bool SameSecret(const std::string& a, const std::string& b) {
  // Compare every byte whatever differs first, so the time says nothing about the token.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  return diff == 0 && !b.empty();
}

// The host part of a Host header: without the port, brackets or a final dot, in lower case.
std::string HostName(const std::string& value) {
  std::string h = LowerCase(Trim(value));
  if (!h.empty() && h.front() == '[') {
    const size_t close = h.find(']');
    return close == std::string::npos ? h : h.substr(1, close - 1);
  }
  const size_t colon = h.rfind(':');
  if (colon != std::string::npos && h.find(':') == colon) h.resize(colon);
  if (!h.empty() && h.back() == '.') h.pop_back();
  return h;
}

// An address as the kernel reports it for a connection: IPv4 on a dual-stack socket comes
// as ::ffff:a.b.c.d.
std::string PlainAddress(std::string address) {
  address = LowerCase(address);
  if (address.compare(0, 7, "::ffff:") == 0 && address.find('.') != std::string::npos) address.erase(0, 7);
  return address;
}

const char* kPolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace

bool ParseListen(const std::string& text, TListenAddress& out, std::string& error) {
  std::string s = Trim(text);
  std::string host;
  std::string port;
  if (!s.empty() && s.front() == '[') {
    const size_t close = s.find(']');
    if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') {
      error = "expected [address]:port";
      return false;
    }
    host = s.substr(1, close - 1);
    port = s.substr(close + 2);
  } else {
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos) {
      host = "127.0.0.1";
      port = s;
    } else {
      if (s.find(':') != colon) {
        error = "an IPv6 address is written in brackets: [::1]:8480";
        return false;
      }
      host = s.substr(0, colon);
      port = s.substr(colon + 1);
    }
  }
  if (host.empty()) {
    error = "no address before the port";
    return false;
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    error = "the port is not a number";
    return false;
  }
  const int number = std::stoi(port);
  if (number < 1 || number > 65535) {
    error = "the port is outside 1..65535";
    return false;
  }
  out.host = host;
  out.port = number;
  return true;
}

TStatusConfig ReadStatusConfig(const std::string& settingsFile) {
  TIniFileEx ini(settingsFile);
  TStatusConfig config;
  config.listen = Trim(ini.ReadStringEx("Status", "Listen", kDefaultListen));
  config.token = Trim(ini.ReadStringEx("Status", "Token", ""));
  config.hosts = SplitCommaText(ini.ReadStringEx("Status", "Hosts", ""));
  return config;
}

bool CanBind(const TListenAddress& address, std::string& error, bool* inUse) {
  if (inUse != nullptr) *inUse = false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address.port);
  if (int rc = ::getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    error = std::string("cannot resolve ") + address.host + ": " + ::gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, ::freeaddrinfo);
  error = "no address";
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = std::string("socket: ") + std::strerror(errno);
      continue;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool ok = ::bind(fd, a->ai_addr, a->ai_addrlen) == 0;
    if (!ok) {
      error = std::strerror(errno);
      if (errno == EADDRINUSE && inUse != nullptr) *inUse = true;
    }
    ::close(fd);
    if (ok) {
      error.clear();
      return true;
    }
  }
  return false;
}

TStatusServer::TStatusServer(TStatusStore& store, std::string token, std::vector<std::string> hosts)
    : store_(store), token_(std::move(token)) {
  for (const auto& h : hosts)
    if (const std::string name = HostName(h); !name.empty()) hosts_.push_back(name);
}

TStatusServer::~TStatusServer() { Stop(); }

bool TStatusServer::Start(const TListenAddress& address) {
  Stop();
  error_.clear();
  server_ = std::make_unique<TGuardedServer>();
  // The listening thread accepts a connection before it waits for room to hand it over: it
  // holds one more than the queue does.
  queue_ = std::make_shared<TBoundedQueue>(kWorkers, kMaxConnections - 1);
  auto queue = queue_;
  server_->new_task_queue = [queue] { return new TQueueProxy(queue); };
  // The library's default is SO_REUSEPORT, which lets a second process (another instance
  // of the service) bind the same port and take a share of the requests. SO_REUSEADDR alone
  // still allows a restart while old connections wind down, and refuses a second listener.
  server_->set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->set_read_timeout(kTimeoutSeconds, 0);
  server_->set_write_timeout(kTimeoutSeconds, 0);
  server_->set_keep_alive_timeout(kTimeoutSeconds);
  server_->set_keep_alive_max_count(kKeepAliveRequests);
  server_->set_payload_max_length(0);
  server_->set_default_headers(
      {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}});

  // Every check runs once the head is in (at most kMaxHeadBytes, see THeadStream) and before
  // anything else looks at the request.
  std::vector<std::string> allowed = hosts_;
  allowed.push_back("localhost");
  allowed.push_back(PlainAddress(address.host));
  server_->set_pre_routing_handler([this, allowed](const httplib::Request& req, httplib::Response& res) {
    // A name other than ours in Host is a page of another site that had its name point here
    // (DNS rebinding): it gets nothing. The connection's own address always serves.
    // HTTP/1.1 requires the header; only a plain HTTP/1.0 client, never a browser, may
    // leave it out.
    if (req.has_header("Host") || req.version != "HTTP/1.0") {
      const std::string host = HostName(req.get_header_value("Host"));
      bool known = host == PlainAddress(req.local_addr);
      for (const auto& name : allowed) known = known || host == name;
      if (!known) {
        res.status = 421;
        res.set_content("this server does not answer for that host name\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    if (!token_.empty()) {
      const std::string auth = req.get_header_value("Authorization");
      const std::string prefix = "Bearer ";
      if (auth.size() <= prefix.size() || auth.compare(0, prefix.size(), prefix) != 0 ||
          !SameSecret(auth.substr(prefix.size()), token_)) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer realm=\"tarncard\"");
        res.set_content("a bearer token is required\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    // A body announced with any method is refused before it is read, and the connection
    // ends after the answer: its bytes are never taken for the next request.
    if (req.has_header("Transfer-Encoding") ||
        (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0")) {
      res.status = 413;
      res.set_content("no request body is taken\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_content("only GET and HEAD\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // After every answer: a refused request ends its connection.
  server_->set_logger([](const httplib::Request&, const httplib::Response& res) {
    if (tConnection != nullptr && res.status >= 400) tConnection->close = true;
  });
  server_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty())
      res.set_content(std::to_string(res.status) + (res.status == 404 ? " not found\n" : " refused\n"),
                      "text/plain; charset=utf-8");
  });
  server_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content("internal error\n", "text/plain; charset=utf-8");
  });

  server_->Get("/status.json", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(StatusJson(store_.Snapshot()), "application/json");
  });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(MetricsText(store_.Snapshot()), "text/plain; version=0.0.4; charset=utf-8");
  });
  server_->Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Security-Policy", kPolicy);
    res.set_content(PageHtml(), "text/html; charset=utf-8");
  });

  int port = address.port;
  bool bound = false;
  try {
    if (port == 0) {
      port = server_->bind_to_any_port(address.host);
      bound = port > 0;
    } else {
      bound = server_->bind_to_port(address.host, port);
    }
  } catch (const std::exception& e) {
    error_ = e.what();
  }
  if (!bound) {
    if (error_.empty()) {
      std::string why;
      error_ = CanBind(address, why) ? "cannot listen" : why;
    }
    server_.reset();
    queue_->Shutdown();
    queue_.reset();
    return false;
  }
  port_ = port;
  listenEnded_ = false;
  thread_ = std::thread([this] {
    try {
      server_->listen_after_bind();
    } catch (...) {
    }
    listenEnded_ = true;
  });
  return true;
}

void TStatusServer::Stop() {
  if (!thread_.joinable()) return;
  // The listening thread may be waiting for room in the queue, or not yet inside its loop
  // when stop() is first called: release it and ask until it has ended.
  queue_->Release();
  while (!listenEnded_) {
    server_->stop();
    if (listenEnded_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  thread_.join();
  queue_->Shutdown();
  server_.reset();
  queue_.reset();
}

}  // namespace tarn::status
