#include "support/PrivateMariaDB.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "db/TODBC.h"
#include "platform/Tick.h"
#include "support/TestDatabase.h"

extern char** environ;

namespace tarn::test {

namespace fs = std::filesystem;

// A folder per process: ctest runs each test case as a process of its own, and two cases of
// one suite may run at once (ctest -j).
PrivateMariaDB::PrivateMariaDB(const std::string& name, int port)
    : base_(TestOutputDir(name + "-" + std::to_string(::getpid()))), port_(port) {}

// The data (some 100 MB) goes; the server's log stays for a look after a failure.
PrivateMariaDB::~PrivateMariaDB() {
  Stop();
  std::error_code ec;
  fs::remove_all(base_ + "/data", ec);
}

bool PrivateMariaDB::Install(std::string* why) {
  std::error_code ec;
  fs::remove_all(base_ + "/data", ec);
  fs::create_directories(base_ + "/data");
  fs::create_directories(base_ + "/tmp");
  const std::string user = ::geteuid() == 0 ? " --user=root" : "";
  const std::string cmd = "mariadb-install-db --no-defaults" + user + " --datadir=" + base_ +
                          "/data --auth-root-authentication-method=normal --skip-test-db >" + base_ +
                          "/install.log 2>&1";
  if (std::system(cmd.c_str()) != 0) {
    *why = "mariadb-install-db failed, see " + base_ + "/install.log";
    return false;
  }
  return true;
}

bool PrivateMariaDB::Start() {
  if (pid_ > 0) return true;
  std::vector<std::string> args = {"mariadbd", "--no-defaults"};
  if (::geteuid() == 0) args.push_back("--user=root");
  for (const std::string& a :
       {"--datadir=" + base_ + "/data", "--socket=" + base_ + "/mysqld.sock", "--pid-file=" + base_ + "/mysqld.pid",
        "--port=" + std::to_string(port_), std::string("--bind-address=127.0.0.1"), "--tmpdir=" + base_ + "/tmp",
        std::string("--skip-name-resolve"), std::string("--skip-grant-tables"),
        std::string("--innodb-buffer-pool-size=16M"), "--log-error=" + base_ + "/error.log"})
    args.push_back(a);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, "mariadbd", nullptr, nullptr, argv.data(), environ) != 0) return false;
  pid_ = pid;
  return true;
}

void PrivateMariaDB::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const uint64_t deadline = platform::TickMs() + 60000;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (platform::TickMs() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    platform::SleepMs(50);
  }
  pid_ = -1;
}

bool PrivateMariaDB::WaitReady(uint64_t ms) const {
  const uint64_t deadline = platform::TickMs() + ms;
  while (platform::TickMs() < deadline) {
    TODBC probe;
    if (probe.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode", Options())) return true;
    platform::SleepMs(100);
  }
  return false;
}

std::string PrivateMariaDB::Options() const { return "SERVER=127.0.0.1;PORT=" + std::to_string(port_); }

}  // namespace tarn::test
