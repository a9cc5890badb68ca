// A database host that hangs: the stand-in server on 127.0.0.1 accepts and never answers (or
// never accepts). The managed connection's attempt runs on its own thread, so Connect
// answers at once while the driver still waits; hung attempts are spaced by the back-off,
// and once the real server is behind the port the connection comes up without a new object.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "support/ServiceTestSupport.h"
#include "support/TcpStandIn.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

using ::tarn::testing::WaitFor;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(HangingHost, BackOffDoublesFromTwoSecondsToThirty) {
  EXPECT_EQ(TODBCConn::BackOffMs(0), 0u);
  EXPECT_EQ(TODBCConn::BackOffMs(1), 2000u);
  EXPECT_EQ(TODBCConn::BackOffMs(2), 4000u);
  EXPECT_EQ(TODBCConn::BackOffMs(4), 16000u);
  EXPECT_EQ(TODBCConn::BackOffMs(5), 30000u);
  EXPECT_EQ(TODBCConn::BackOffMs(50), 30000u);
}

TEST(HangingHost, ConnectDoesNotWaitForAHungAttemptAndConnectsOnceTheServerAnswers) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  for (TcpStandIn::Mode mode : {TcpStandIn::Hold, TcpStandIn::NoAccept}) {
    SCOPED_TRACE(mode == TcpStandIn::Hold ? "accepts, never answers" : "never accepts");
    TcpStandIn standIn(MariaDBTestPort(), mode);
    ASSERT_GT(standIn.Port(), 0);
    const std::string path = TestOutputDir("logs") + "/hanging_host_" + std::to_string(mode) + ".log";
    std::remove(path.c_str());
    TMessLog log(path, false, false, false, true);
    TODBC odbc;
    TODBCConn conn(700, "");
    conn.ODBC = &odbc;
    conn.SetLog(&log);
    conn.SetParams("", "MariaDB Unicode", "", "tarn", "tarn",
                   "SERVER=127.0.0.1;PORT=" + std::to_string(standIn.Port()));
    conn.ServerHost = "127.0.0.1";

    // The driver waits for the server's greeting; Connect does not.
    EXPECT_FALSE(conn.Connect());
    EXPECT_TRUE(conn.AttemptPending());
    EXPECT_FALSE(conn.Connect());  // the attempt still owns the connection: nothing is started
    ASSERT_TRUE(WaitFor([&] { return !conn.AttemptPending(); }, 60000)) << "the driver never gave up";
    EXPECT_FALSE(conn.Connect());  // takes the failed outcome
    EXPECT_FALSE(odbc.Connected());
    log.Log("");
    const std::string text = ReadText(path);
    EXPECT_EQ(Occurrences(text, " - Pinging - 127.0.0.1\r\n"), 1) << text;
    EXPECT_EQ(Occurrences(text, " - Could not connect to DataSource, check your setup...\r\n"), 1) << text;
    // Within the back-off no new attempt starts.
    EXPECT_FALSE(conn.Connect());
    EXPECT_FALSE(conn.AttemptPending());

    // The real server behind the port: a later attempt connects and statements run.
    standIn.SetMode(TcpStandIn::Forward);
    ASSERT_TRUE(WaitFor([&] { return conn.Connect(); }, 90000)) << ReadText(path);
    TODBCStatement st(&odbc);
    ASSERT_TRUE(st.ExecSQL("SELECT 41 + 1 AS n"));
    EXPECT_EQ(st.FieldAsInteger("n"), 42);
    log.Log("");
    EXPECT_EQ(Occurrences(ReadText(path), " - Connected to DataSource!\r\n"), 1);
  }
}

TEST(HangingHost, DestroyingAConnectionWaitsForItsAttempt) {
  if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  TcpStandIn standIn(MariaDBTestPort(), TcpStandIn::Hold);
  auto odbc = std::make_unique<TODBC>();
  auto conn = std::make_unique<TODBCConn>(700, "");
  conn->ODBC = odbc.get();
  conn->SetParams("", "MariaDB Unicode", "", "tarn", "tarn",
                  "SERVER=127.0.0.1;PORT=" + std::to_string(standIn.Port()));
  EXPECT_FALSE(conn->Connect());
  EXPECT_TRUE(conn->AttemptPending());
  conn.reset();  // joins the attempt before the TODBC goes
  EXPECT_FALSE(odbc->Connected());
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

class IPv6HostTest : public BackendTest {};

TEST_P(IPv6HostTest, TheIPv6LoopbackAsDatabaseHostPingsAndConnects) {
  if (backend() != Backend::MariaDB) GTEST_SKIP() << "a database server on ::1";
  const std::string path = TestOutputDir("logs") + "/ipv6_host.log";
  std::remove(path.c_str());
  TMessLog log(path, false, false, false, true);
  TODBC odbc;
  TODBCConn conn(700, "");
  conn.ODBC = &odbc;
  conn.SetLog(&log);
  conn.AttemptWaitMs = -1;
  conn.SetParams("", "MariaDB Unicode", Db().Params().Database, "tarn", "tarn",
                 "SERVER=::1;PORT=" + std::to_string(MariaDBTestPort()));
  conn.ServerHost = "0:0:0:0:0:0:0:1";  // ::1 written out: long enough to be pinged
  ASSERT_TRUE(conn.Connect()) << ReadText(path);
  log.Log("");
  const std::string text = ReadText(path);
  EXPECT_NE(text.find(" - Pinging - 0:0:0:0:0:0:0:1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" - Ping OK\r\n"), std::string::npos) << text;
  ASSERT_TRUE(Db().Exec("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (9, 'v6', 3, 10)"));
  TODBCStatement st(&odbc);
  ASSERT_TRUE(st.ExecSQL("SELECT lot_count FROM lot WHERE id = 9"));
  EXPECT_EQ(st.FieldAsInteger("lot_count"), 3);
  ASSERT_TRUE(st.ExecSQL("UPDATE lot SET lot_count = lot_count + 1 WHERE id = 9"));
  EXPECT_EQ(Db().QueryText("SELECT lot_count FROM lot WHERE id = 9"), "4");
}

INSTANTIATE_TEST_SUITE_P(Backends, IPv6HostTest, TARN_BACKENDS);

}  // namespace
}  // namespace tarn::test
