#include "service/StatusServer.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

bool SameSecret(const std::string& a, const std::string& b) {
  // Compare every byte whatever differs first, so the time says nothing about the token.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  return diff == 0 && !b.empty();
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

TStatusServer::TStatusServer(TStatusStore& store, std::string token) : store_(store), token_(std::move(token)) {}

TStatusServer::~TStatusServer() { Stop(); }

bool TStatusServer::Start(const TListenAddress& address) {
  Stop();
  error_.clear();
  server_ = std::make_unique<httplib::Server>();
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

  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
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
    if (!req.body.empty()) {
      res.status = 413;
      res.set_content("no request body is taken\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
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
