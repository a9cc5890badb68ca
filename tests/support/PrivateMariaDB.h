#pragma once
// A mariadbd child process of one test: its own port and data directory under the build
// folder, started, stopped and started again at will (for connection-loss and outage tests).
// Never the shared test server. The destructor stops and reaps the process.
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tarn::test {

class PrivateMariaDB {
 public:
  // `name`: folder under the test outputs ("mariadb-loss", with the process id added);
  // `port`: TCP port on 127.0.0.1. The destructor removes the data directory.
  PrivateMariaDB(const std::string& name, int port);
  ~PrivateMariaDB();
  PrivateMariaDB(const PrivateMariaDB&) = delete;
  PrivateMariaDB& operator=(const PrivateMariaDB&) = delete;

  // Creates an empty data directory (mariadb-install-db); false with `why` set on failure.
  bool Install(std::string* why);
  // Starts mariadbd (without grant tables: any user may connect). Returns at once.
  bool Start();
  // SIGTERM, then SIGKILL after a minute; reaps the process. Nothing when not running.
  void Stop();
  bool Running() const { return pid_ > 0; }
  // Waits until a connection succeeds, at most `ms`.
  bool WaitReady(uint64_t ms) const;
  // Connect-string options for the "MariaDB Unicode" driver.
  std::string Options() const;
  int Port() const { return port_; }

 private:
  std::string base_;
  int port_;
  pid_t pid_ = -1;
};

}  // namespace tarn::test
