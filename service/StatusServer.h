#pragma once
// TStatusServer: the operator's window onto the running service, read-only over HTTP.
//   GET /             one self-contained page that polls /status.json every second
//   GET /status.json  loops, devices, lots, the last decisions, the database state
//   GET /metrics      the same figures in the Prometheus text format
// Everything is read from the status store (metrics/StatusStore.h): a request never
// reaches the database or the loops, and never waits for the main thread.
//
// Configured in the settings file, section [Status]: Listen=host:port (default
// 127.0.0.1:8480, empty: off), Token= (when set, every request must carry
// "Authorization: Bearer <token>") and Hosts= (further names the page answers to in Host,
// besides the listening address, the connection's own address and localhost: 421 for any
// other name, so a web page whose name was made to point here learns nothing).
//
// Bounds: a fixed pool of worker threads; at most kMaxConnections connections accepted and
// not yet finished (further ones wait in the kernel's backlog until one ends); read and
// write time-outs; a limited number of requests per kept-alive connection; a request's head
// cut at kMaxHeadBytes or kMaxHeaderLines before it is stored (431), lines of at most 8 KiB
// (the library), no request body (413), and a connection ends after any refused request.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tarn::metrics {
class TStatusStore;
}

namespace tarn::status {

using metrics::TStatusStore;
class TBoundedQueue;

struct TListenAddress {
  std::string host;
  int port = 0;
};

// "127.0.0.1:8480", "[::1]:8480", "localhost:8480" or a bare port (loopback). False for
// anything else (no port, port out of range, an empty host).
bool ParseListen(const std::string& text, TListenAddress& out, std::string& error);

struct TStatusConfig {
  std::string listen;  // empty: the server is off
  std::string token;
  std::vector<std::string> hosts;  // [Status] Hosts: names separated by commas or blanks
};
// [Status] of the settings file; writes the missing keys back with their defaults.
TStatusConfig ReadStatusConfig(const std::string& settingsFile);
constexpr const char* kDefaultListen = "127.0.0.1:8480";

class TStatusServer {
 public:
  static constexpr int kWorkers = 4;
  static constexpr int kMaxConnections = 32;
  static constexpr int kTimeoutSeconds = 5;
  static constexpr int kKeepAliveRequests = 100;
  static constexpr size_t kMaxHeadBytes = 32 * 1024;
  static constexpr int kMaxHeaderLines = 100;

  TStatusServer(TStatusStore& store, std::string token, std::vector<std::string> hosts = {});
  ~TStatusServer();
  TStatusServer(const TStatusServer&) = delete;
  TStatusServer& operator=(const TStatusServer&) = delete;

  // Binds and starts serving on its own threads; false (see Error) when the address cannot
  // be bound.
  bool Start(const TListenAddress& address);
  // Stops accepting, finishes the requests in hand and joins every thread. Safe twice.
  void Stop();
  bool Running() const { return thread_.joinable(); }
  const std::string& Error() const { return error_; }
  int Port() const { return port_; }

  // The page itself (tests read it).
  static const char* PageHtml();

 private:
  TStatusStore& store_;
  std::string token_;
  std::vector<std::string> hosts_;
  std::unique_ptr<httplib::Server> server_;
  std::shared_ptr<TBoundedQueue> queue_;
  std::thread thread_;
  std::atomic<bool> listenEnded_{false};
  std::string error_;
  int port_ = 0;
};

// Whether `address` can be bound now (tarncard check); `error` says why not, and `inUse`
// (when given) whether another socket holds it.
bool CanBind(const TListenAddress& address, std::string& error, bool* inUse = nullptr);

}  // namespace tarn::status
