// A database server that goes away while connected: a private MariaDB server of this test's
// own (port 33071, data under the build folder) is stopped and started again.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "platform/Tick.h"
#include "support/TestDatabase.h"

extern char** environ;

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPort = 33071;

// One mariadbd child process; stopped and reaped by its owner.
class PrivateMariaDB {
 public:
  PrivateMariaDB() : base_(TestOutputDir("mariadb-loss")) {}
  ~PrivateMariaDB() { Stop(); }
  PrivateMariaDB(const PrivateMariaDB&) = delete;
  PrivateMariaDB& operator=(const PrivateMariaDB&) = delete;

  bool Install(std::string* why) {
    std::error_code ec;
    fs::remove_all(base_ + "/data", ec);
    fs::create_directories(base_ + "/data");
    fs::create_directories(base_ + "/tmp");
    const std::string user = ::geteuid() == 0 ? " --user=root" : "";
    const std::string cmd = "mariadb-install-db --no-defaults" + user + " --datadir=" + base_ +
                            "/data --auth-root-authentication-method=normal --skip-test-db >" +
                            base_ + "/install.log 2>&1";
    if (std::system(cmd.c_str()) != 0) {
      *why = "mariadb-install-db failed, see " + base_ + "/install.log";
      return false;
    }
    return true;
  }

  bool Start() {
    std::vector<std::string> args = {"mariadbd", "--no-defaults"};
    if (::geteuid() == 0) args.push_back("--user=root");
    for (const std::string& a :
         {"--datadir=" + base_ + "/data", "--socket=" + base_ + "/mysqld.sock",
          "--pid-file=" + base_ + "/mysqld.pid", "--port=" + std::to_string(kPort),
          std::string("--bind-address=127.0.0.1"), "--tmpdir=" + base_ + "/tmp", std::string("--skip-name-resolve"),
          std::string("--skip-grant-tables"), std::string("--innodb-buffer-pool-size=16M"),
          "--log-error=" + base_ + "/error.log"})
      args.push_back(a);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return posix_spawnp(&pid_, "mariadbd", nullptr, nullptr, argv.data(), environ) == 0;
  }

  void Stop() {
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

  // Waits until a connection succeeds, at most `ms`.
  static bool WaitReady(uint64_t ms) {
    const uint64_t deadline = platform::TickMs() + ms;
    while (platform::TickMs() < deadline) {
      TODBC probe;
      if (probe.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode", Options())) return true;
      platform::SleepMs(100);
    }
    return false;
  }

  static std::string Options() { return "SERVER=127.0.0.1;PORT=" + std::to_string(kPort); }

 private:
  std::string base_;
  pid_t pid_ = -1;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ServerLoss, ConnectFindsTheLossFailsWhileDownAndReconnectsWhenBack) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  PrivateMariaDB server;
  std::string why;
  ASSERT_TRUE(server.Install(&why)) << why;
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(PrivateMariaDB::WaitReady(60000)) << "private server did not come up";

  const std::string logPath = TestOutputDir("logs") + "/server_loss.log";
  std::error_code ec;
  fs::remove(logPath, ec);
  TMessLog log(logPath, false, false, false, true);
  auto text = [&] {
    log.Log("");
    return ReadFile(logPath);
  };
  TODBC odbc;
  TODBCConn conn(700, "");
  conn.ODBC = &odbc;
  conn.SetLog(&log);
  conn.SetParams("", "MariaDB Unicode", "", "tarn", "tarn", PrivateMariaDB::Options());
  conn.ServerHost = "127.0.0.1";
  ASSERT_TRUE(conn.Connect()) << text();
  EXPECT_NE(text().find(" - Connecting as tarn\r\n"), std::string::npos);
  auto stmt = std::make_unique<TODBCStatement>(&odbc);
  ASSERT_TRUE(stmt->DoSQL("SELECT 1 AS one"));

  server.Stop();
  EXPECT_FALSE(stmt->ExecSQL("SELECT 2 AS two"));
  size_t mark = text().size();
  EXPECT_FALSE(conn.Connect());
  std::string story = text().substr(mark);
  EXPECT_NE(story.find(" - ODBC Connection 'Dead'!\r\n"), std::string::npos) << story;
  EXPECT_NE(story.find(" - Could not connect to DataSource, check your setup...\r\n"), std::string::npos)
      << story;
  EXPECT_FALSE(stmt->Allocated());
  EXPECT_FALSE(odbc.Connected());

  mark = text().size();
  EXPECT_FALSE(conn.Connect());  // still down
  story = text().substr(mark);
  EXPECT_EQ(story.find("'Dead'"), std::string::npos) << story;
  EXPECT_NE(story.find(" - Could not connect to DataSource, check your setup...\r\n"), std::string::npos);

  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(PrivateMariaDB::WaitReady(60000));
  mark = text().size();
  ASSERT_TRUE(conn.Connect()) << text();
  story = text().substr(mark);
  EXPECT_NE(story.find(" - Connected to DataSource!\r\n"), std::string::npos) << story;
  TODBCStatement again(&odbc);
  EXPECT_TRUE(again.DoSQL("SELECT 3 AS three"));
  EXPECT_EQ(again.FieldAsInteger("three"), 3);
}

}  // namespace
}  // namespace tarn::test
