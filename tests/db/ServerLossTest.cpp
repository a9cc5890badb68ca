// A database server that goes away while connected: a private MariaDB server of this test's
// own (port 33071, data under the build folder) is stopped and started again.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "platform/Tick.h"
#include "support/HttpProbe.h"
#include "support/PrivateMariaDB.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

// The private server's port: a free one, so two runs of the suite on one machine (two
// build folders) cannot reach each other's server.
int PrivatePort() {
  static const int port = ::tarn::testing::FreeLoopbackPort();
  return port;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ServerLoss, ConnectFindsTheLossFailsWhileDownAndReconnectsWhenBack) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  PrivateMariaDB server("mariadb-loss", PrivatePort());
  std::string why;
  ASSERT_TRUE(server.Install(&why)) << why;
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitReady(60000)) << "private server did not come up";

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
  conn.SetParams("", "MariaDB Unicode", "", "tarn", "tarn", server.Options());
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
  ASSERT_TRUE(server.WaitReady(60000));
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
