// Statements on a database that several computers write at once and whose server can go away
// under a statement: which statements may run again, which failures mean "try again", the host
// list, and on a real MariaDB server: a write whose link is lost runs exactly once, a conflict
// is tried again (and given up after a bound), and a list of hosts moves on after a loss.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "db/HostList.h"
#include "db/RetryPolicy.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "metrics/StatusStore.h"
#include "support/HttpProbe.h"
#include "support/ServiceTestSupport.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

TEST(RepeatKind, WritesThatCountOrAddRowsMayNotRunTwice) {
  for (const char* once :
       {"INSERT INTO trans (card_no) Values (1001)", "  insert into tickinv (ticket) values ('7')",
        "UPDATE lot SET lot_count=lot_count+1 WHERE id=1", "UPDATE lot SET lot_count=lot_count-3 WHERE id=2",
        "UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = 3 and cur_inlot > 0",
        "UPDATE device SET count_soft = count_soft + 1, soft_seen = soft_seen + 1 WHERE id = 5",
        "UPDATE device SET online_flag = 1, count_soft = (count_soft + 1) WHERE id = 5",
        "update `lot` set `lot_count` = `lot_count` + 2 where id = 1"})
    EXPECT_EQ(RepeatKindOf(once), TRepeatKind::Once) << once;
  for (const char* harmless :
       {"SELECT * FROM card WHERE number = 1001", "DELETE FROM spots WHERE number = 3",
        "UPDATE card SET debit_left = 4 WHERE number = 1001", "UPDATE lot SET lot_count=0 WHERE id=1",
        "UPDATE device SET soft_seen = count_soft WHERE id = 5 and soft_seen is null",
        "UPDATE device SET remote_user = 'count + count', perm_open = 1 WHERE id = 2",
        "UPDATE card SET in_lot = 1 WHERE number = 1001 and in_lot = 0", "CREATE TABLE x (a int)"})
    EXPECT_EQ(RepeatKindOf(harmless), TRepeatKind::Harmless) << harmless;
}

TEST(FailureKind, ConflictsAndLostLinksAreToldApartFromOtherErrors) {
  EXPECT_TRUE(IsConflict({"40001", 1213, "Deadlock found when trying to get lock"}, true));
  EXPECT_TRUE(IsConflict({"HY000", 1213, "WSREP detected deadlock/conflict"}, true));
  EXPECT_FALSE(IsConflict({"HY000", 1213, "a driver of another family"}, false));
  EXPECT_FALSE(IsConflict({"23000", 1062, "Duplicate entry"}, true));
  EXPECT_FALSE(IsConflict({"HY000", 1205, "Lock wait timeout exceeded"}, true));

  EXPECT_TRUE(IsLinkLoss({"08S01", 2013, "Lost connection to server during query"}, true));
  EXPECT_TRUE(IsLinkLoss({"HY000", 2006, "Server has gone away"}, true));
  EXPECT_TRUE(IsLinkLoss({"08S01", 1047, "WSREP has not yet prepared node for application use"}, true));
  EXPECT_TRUE(IsLinkLoss({"70100", 1927, "Connection was killed"}, true));
  EXPECT_TRUE(IsLinkLoss({"08S01", 0, "Communication link failure"}, false));
  EXPECT_FALSE(IsLinkLoss({"HY000", 2013, "not a MySQL-family number"}, false));
  EXPECT_FALSE(IsLinkLoss({"42S02", 1146, "Table 'x' doesn't exist"}, true));
  EXPECT_FALSE(IsLinkLoss({"40001", 1213, "Deadlock"}, true));
}

TEST(HostList, EntriesPortsAndTheOptionsOfEachEntry) {
  auto one = ParseHostList("::1");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].host, "::1");
  EXPECT_EQ(one[0].port, "");
  EXPECT_EQ(ParseHostList("db.example:3306")[0].host, "db.example:3306");  // no comma: taken whole

  auto list = ParseHostList(" 10.0.0.11 ,10.0.0.12:3307,,[fd00::13]:3308, fd00::14 ,[::1]");
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].host, "10.0.0.11");
  EXPECT_EQ(list[0].port, "");
  EXPECT_EQ(list[1].host, "10.0.0.12");
  EXPECT_EQ(list[1].port, "3307");
  EXPECT_EQ(list[2].host, "fd00::13");
  EXPECT_EQ(list[2].port, "3308");
  EXPECT_EQ(list[3].host, "fd00::14");
  EXPECT_EQ(list[3].port, "");
  EXPECT_EQ(list[4].host, "::1");
  EXPECT_EQ(list[4].text, "[::1]");

  const std::string hosts = "a,b:3310";
  const auto entries = ParseHostList(hosts);
  EXPECT_EQ(OptionsForHost("SERVER=a,b:3310;database=gtd", hosts, entries[0]), "SERVER=a;database=gtd");
  EXPECT_EQ(OptionsForHost("SERVER=a,b:3310;PORT=3306;database=gtd", hosts, entries[1]),
            "SERVER=b;database=gtd;PORT=3310");
  EXPECT_EQ(OptionsForHost("SERVER=a,b:3310;port = 1;PWD={x;port=2}", hosts, entries[1]),
            "SERVER=b;PWD={x;port=2};PORT=3310");
}

// ---- on a real MariaDB server -------------------------------------------------------------

class ClusterSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    db_ = std::make_unique<TestDatabase>(Backend::MariaDB, "tarn_test", name);
    std::string error;
    ASSERT_TRUE(db_->Create(&error)) << error;
    ASSERT_TRUE(db_->Exec("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Main', 10, 100)"));
    metrics::TStatusStore::Instance().Clear();
  }

  TestDatabase& Db() { return *db_; }

  // Ends this connection's session from another one, as a server that dies would.
  void KillSession(TODBC& odbc) {
    TODBCStatement id(&odbc);
    ASSERT_TRUE(id.DoSQL("SELECT CONNECTION_ID() AS id"));
    const std::string session = id.FieldAsString("id");
    const ConnectionParams& p = Db().Params();
    TODBC side;
    ASSERT_TRUE(side.ConnectToDataSource("", p.User, p.Password, p.Database, p.Driver, p.ConnectOptions));
    TODBCStatement kill(&side);
    ASSERT_TRUE(kill.ExecSQL("KILL CONNECTION " + session));
  }

  int Count(const std::string& sql) { return std::stoi("0" + Db().QueryText(sql)); }

  std::unique_ptr<TestDatabase> db_;
};

TEST_F(ClusterSafety, AWriteWhoseLinkIsLostRunsOnceAndTheStatementsOfTheUnitKeepTheirRows) {
  TODBCConn& conn = Db().Conn();
  ASSERT_TRUE(conn.Connect());
  TODBC& odbc = Db().ODBC();
  auto lot = std::make_unique<TODBCStatement>(&odbc);
  ASSERT_TRUE(lot->DoSQL("SELECT name, lot_count FROM lot WHERE id = 1"));
  auto update = std::make_unique<TODBCStatement>(&odbc);
  ASSERT_TRUE(update->ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));

  for (int round = 0; round < 3; ++round) {
    KillSession(odbc);
    EXPECT_TRUE(update->ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1")) << Db().LogText();
    KillSession(odbc);
    EXPECT_TRUE(update->ExecSQL("INSERT INTO trans (card_no, error_code) VALUES (" + std::to_string(7000 + round) +
                                ", 0)"))
        << Db().LogText();
  }
  // The row read before the losses is still there, and the statement runs again.
  EXPECT_EQ(lot->FieldAsString("name"), "Main");
  EXPECT_TRUE(lot->DoSQL("SELECT name, lot_count FROM lot WHERE id = 1"));
  EXPECT_EQ(lot->FieldAsInteger("lot_count"), 14);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no BETWEEN 7000 AND 7002"), 3);
  EXPECT_EQ(Count("SELECT COUNT(DISTINCT card_no) FROM trans"), 3);
  const auto snap = metrics::TStatusStore::Instance().Snapshot();
  EXPECT_EQ(snap.database.lostRetries, 6u);
  EXPECT_EQ(snap.database.givenUp, 0u);
  const std::string log = Db().LogText();
  EXPECT_NE(log.find("ODBC Connection 'Dead'!"), std::string::npos);
  EXPECT_NE(log.find("Connected to DataSource!"), std::string::npos);
  // Reads and value-setting writes run again without the transaction around them.
  KillSession(odbc);
  EXPECT_TRUE(lot->DoSQL("SELECT lot_count FROM lot WHERE id = 1"));
  EXPECT_EQ(lot->FieldAsInteger("lot_count"), 14);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM write_mark"), 1);
}

// The driver manager's own calls, except that the reply to one COMMIT is lost after the
// server has committed, and that statements naming "lot_count" meet conflicts.
struct Faults {
  std::mutex mutex;
  TOdbcEntryPoints real{};
  std::string killSql;          // run on the side connection after the next COMMIT
  TestDatabase* db = nullptr;
  bool loseCommitReply = false;
  int conflicts = 0;            // executions of a lot_count statement still to refuse
  SQLHSTMT conflictHandle = SQL_NULL_HSTMT;
};
Faults& F() {
  static Faults f;
  return f;
}

SQLRETURN FaultyExec(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER length) {
  const std::string sql(reinterpret_cast<const char*>(text));
  if (sql.find("lot_count") != std::string::npos && F().conflicts > 0) {
    --F().conflicts;
    F().conflictHandle = handle;
    return SQL_ERROR;
  }
  F().conflictHandle = SQL_NULL_HSTMT;
  const SQLRETURN code = F().real.SQLExecDirect(handle, text, length);
  if (sql == "COMMIT" && F().loseCommitReply) {
    F().loseCommitReply = false;
    // Committed: now the link goes before the answer is seen.
    F().db->Exec(F().killSql);
    return F().real.SQLExecDirect(handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>("SELECT 1")), SQL_NTS);
  }
  return code;
}

SQLRETURN FaultyDiag(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLCHAR* state, SQLINTEGER* native,
                     SQLCHAR* message, SQLSMALLINT size, SQLSMALLINT* length) {
  if (type == SQL_HANDLE_STMT && handle == F().conflictHandle && handle != SQL_NULL_HSTMT) {
    if (record > 1) return SQL_NO_DATA;
    std::memcpy(state, "40001", 6);
    *native = 1213;
    const char* text = "Deadlock found when trying to get lock; try restarting transaction";
    std::snprintf(reinterpret_cast<char*>(message), static_cast<size_t>(size), "%s", text);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(std::strlen(text));
    return SQL_SUCCESS;
  }
  return F().real.SQLGetDiagRec(type, handle, record, state, native, message, size, length);
}

class FaultyDriver : public ClusterSafety {
 protected:
  void SetUp() override {
    ClusterSafety::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    auto library = TOdbcLibrary::Load();
    ASSERT_NE(library, nullptr);
    F().real = library->Api();
    TOdbcEntryPoints api = library->Api();
    api.SQLExecDirect = FaultyExec;
    api.SQLGetDiagRec = FaultyDiag;
    F().db = &Db();
    F().conflicts = 0;
    F().loseCommitReply = false;
    odbc_ = std::make_unique<TODBC>(TOdbcLibrary::FromEntryPoints(api));
    conn_ = std::make_unique<TODBCConn>(700, "");
    conn_->ODBC = odbc_.get();
    conn_->SetLog(&Db().Log());
    const ConnectionParams& p = Db().Params();
    conn_->SetParams(p.DSNName, p.Driver, p.Database, p.User, p.Password, p.ConnectOptions);
    conn_->ServerHost = p.Host;
    ASSERT_TRUE(conn_->Connect()) << Db().LogText();
    library_ = std::move(library);
  }
  void TearDown() override {
    conn_.reset();
    odbc_.reset();
    F().db = nullptr;
  }
  std::unique_ptr<TOdbcLibrary> library_;
  std::unique_ptr<TODBC> odbc_;
  std::unique_ptr<TODBCConn> conn_;
};

TEST_F(FaultyDriver, ACommitWhoseReplyIsLostIsFoundAppliedAndNotRunAgain) {
  TODBCStatement write(odbc_.get());
  ASSERT_TRUE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));  // the mark row exists now
  TODBCStatement id(odbc_.get());
  ASSERT_TRUE(id.DoSQL("SELECT CONNECTION_ID() AS id"));
  F().killSql = "KILL CONNECTION " + id.FieldAsString("id");
  F().loseCommitReply = true;
  EXPECT_TRUE(write.ExecSQL("INSERT INTO trans (card_no, error_code) VALUES (8123, 0)")) << Db().LogText();
  EXPECT_FALSE(F().loseCommitReply);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no = 8123"), 1);
  // Broken on purpose the other way: the same number again is found applied, not run.
  EXPECT_EQ(Count("SELECT lot_count FROM lot WHERE id = 1"), 11);
  EXPECT_EQ(metrics::TStatusStore::Instance().Snapshot().database.lostRetries, 1u);

  // The same when the statement cannot wait for the new connection: the write is kept and
  // found applied when the connection is back.
  conn_->ReconnectWaitMs = 0;
  TODBCStatement id2(odbc_.get());
  ASSERT_TRUE(id2.DoSQL("SELECT CONNECTION_ID() AS id"));
  F().killSql = "KILL CONNECTION " + id2.FieldAsString("id");
  F().loseCommitReply = true;
  EXPECT_FALSE(write.ExecSQL("INSERT INTO trans (card_no, error_code) VALUES (8124, 0)"));
  EXPECT_TRUE(odbc_->Guard().HasPending());
  conn_->WaitForAttempt();
  EXPECT_FALSE(odbc_->Guard().HasPending());
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no = 8124"), 1);
  EXPECT_NE(Db().LogText().find("Write found applied before the connection was lost: INSERT INTO trans (card_no, "
                                "error_code) VALUES (8124, 0)"),
            std::string::npos);

  // A kept write is settled before any later write moves the mark, however the connection
  // came back (here without the managed connection's Connect).
  TODBCStatement id3(odbc_.get());
  ASSERT_TRUE(id3.DoSQL("SELECT CONNECTION_ID() AS id"));
  F().killSql = "KILL CONNECTION " + id3.FieldAsString("id");
  F().loseCommitReply = true;
  EXPECT_FALSE(write.ExecSQL("INSERT INTO trans (card_no, error_code) VALUES (8125, 0)"));
  ASSERT_TRUE(odbc_->Guard().HasPending());
  conn_->Disconnect();
  ASSERT_TRUE(odbc_->Guard().HasPending());
  ASSERT_TRUE(conn_->OpenConnection(false, "", ""));
  TODBCStatement later(odbc_.get());
  EXPECT_TRUE(later.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));
  odbc_->Guard().ResolvePending();
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no = 8125"), 1);
  EXPECT_EQ(Count("SELECT lot_count FROM lot WHERE id = 1"), 12);
}

TEST_F(FaultyDriver, ConflictsAreTriedAgainAndGivenUpAfterTheBound) {
  TODBCStatement write(odbc_.get());
  F().conflicts = 3;
  EXPECT_TRUE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1")) << Db().LogText();
  EXPECT_EQ(Count("SELECT lot_count FROM lot WHERE id = 1"), 11);
  EXPECT_EQ(metrics::TStatusStore::Instance().Snapshot().database.conflictRetries, 3u);

  F().conflicts = TRetryPolicy::kConflictAttempts;
  EXPECT_FALSE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));
  EXPECT_EQ(Count("SELECT lot_count FROM lot WHERE id = 1"), 11);
  const auto snap = metrics::TStatusStore::Instance().Snapshot();
  EXPECT_EQ(snap.database.conflictRetries, 3u + TRetryPolicy::kConflictAttempts - 1);
  EXPECT_EQ(snap.database.givenUp, 1u);
  EXPECT_NE(Db().LogText().find("Statement not applied after 8 conflicts with other writers (SQLSTATE 40001), given "
                                "up: UPDATE lot SET lot_count=lot_count+1 WHERE id=1"),
            std::string::npos);
  // The connection goes on.
  EXPECT_TRUE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));
  EXPECT_EQ(Count("SELECT lot_count FROM lot WHERE id = 1"), 12);
}

TEST_F(ClusterSafety, AWriteThatCannotWaitForTheNewConnectionIsAppliedOnceWhenItIsBack) {
  TODBCConn& conn = Db().Conn();
  conn.ReconnectWaitMs = 0;  // the statement does not wait for the new connection
  ASSERT_TRUE(conn.Connect());
  TODBC& odbc = Db().ODBC();
  TODBCStatement write(&odbc);
  ASSERT_TRUE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));
  KillSession(odbc);
  EXPECT_FALSE(write.ExecSQL("INSERT INTO trans (card_no, error_code) VALUES (9001, 0)"));
  EXPECT_TRUE(odbc.Guard().HasPending());
  conn.WaitForAttempt();
  EXPECT_FALSE(odbc.Guard().HasPending());
  EXPECT_TRUE(conn.Connect());
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no = 9001"), 1);
  EXPECT_TRUE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));
  EXPECT_EQ(Count("SELECT lot_count FROM lot WHERE id = 1"), 12);
  const std::string log = Db().LogText();
  EXPECT_NE(log.find("The connection was lost while this write ran; it is applied once when the "
                     "connection is back: INSERT INTO trans"),
            std::string::npos);
  EXPECT_NE(log.find("Write applied after the connection came back: INSERT INTO trans"), std::string::npos);
}

TEST_F(ClusterSafety, AWriteWhoseNewConnectionIsRefusedWithinTheWaitIsKeptAndAppliedOnceWhenItIsBack) {
  TODBCConn& conn = Db().Conn();
  conn.ReconnectWaitMs = 1500;  // long enough for the attempts to fail, not to hang
  ASSERT_TRUE(conn.Connect());
  TODBC& odbc = Db().ODBC();
  TODBCStatement write(&odbc);
  ASSERT_TRUE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1"));
  std::atomic<bool> refuse{true};
  conn.Ping = [&refuse](const std::string&, int, TMessLog*) { return !refuse.load(); };
  KillSession(odbc);
  const TSqlOutcome lost = write.Execute("INSERT INTO trans (card_no, error_code) VALUES (9200, 0)");
  EXPECT_EQ(lost.kind(), TSqlOutcome::TKind::LinkLost) << lost.ToString();
  // The failed attempts closed the connection and took it from the statement; the write
  // stays with the connection object all the same.
  EXPECT_EQ(write.ODBC(), nullptr);
  EXPECT_TRUE(odbc.Guard().HasPending());
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no = 9200"), 0);
  refuse = false;
  // The next Connect that gets through (after the back-off of the failed attempts) settles it.
  ASSERT_TRUE(::tarn::testing::WaitFor([&conn] { return conn.Connect(); }, 20000)) << Db().LogText();
  EXPECT_FALSE(odbc.Guard().HasPending());
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no = 9200"), 1);
  const std::string log = Db().LogText();
  EXPECT_NE(log.find("The connection was lost while this write ran; it is applied once when the connection is "
                     "back: INSERT INTO trans (card_no, error_code) VALUES (9200, 0)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Write applied after the connection came back: INSERT INTO trans (card_no, error_code) "
                     "VALUES (9200, 0)"),
            std::string::npos);
}

TEST_F(ClusterSafety, AfterALossAttemptsFollowEachOtherWithinTheWaitAndTheReadGoesOn) {
  TODBCConn& conn = Db().Conn();
  ASSERT_TRUE(conn.Connect());
  // The first two attempts after the loss find no host (a proxy still sending to the node
  // that died), the third one gets through.
  std::atomic<int> refusals{0};
  conn.Ping = [&refusals](const std::string&, int, TMessLog*) { return refusals.fetch_sub(1) <= 0; };
  TODBC& odbc = Db().ODBC();
  TODBCStatement card(&odbc);
  ASSERT_TRUE(card.DoSQL("SELECT name FROM lot WHERE id = 1"));
  TODBCStatement write(&odbc);
  KillSession(odbc);
  refusals = 2;
  EXPECT_TRUE(write.ExecSQL("INSERT INTO trans (card_no, error_code) VALUES (9100, 0)")) << Db().LogText();
  EXPECT_EQ(refusals.load(), -1);
  EXPECT_EQ(card.FieldAsString("name"), "Main");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM trans WHERE card_no = 9100"), 1);
  const std::string log = Db().LogText();
  const size_t dead = log.rfind("ODBC Connection 'Dead'!");
  ASSERT_NE(dead, std::string::npos);
  size_t failed = 0;
  for (size_t p = log.find("Could not connect to DataSource", dead); p != std::string::npos;
       p = log.find("Could not connect to DataSource", p + 1))
    ++failed;
  EXPECT_EQ(failed, 2u);
  EXPECT_NE(log.find("Connected to DataSource!", dead), std::string::npos);
}

TEST_F(ClusterSafety, AHostListConnectsToTheFirstThatAnswersAndMovesOnAfterALoss) {
  const int closed = ::tarn::testing::FreeLoopbackPort();
  const std::string good = "127.0.0.1:" + std::to_string(MariaDBTestPort());
  const std::string bad = "127.0.0.1:" + std::to_string(closed);
  const ConnectionParams& p = Db().Params();
  TODBC odbc;
  TODBCConn conn(700, "");
  conn.ODBC = &odbc;
  conn.SetLog(&Db().Log());
  conn.ServerHost = bad + "," + good + "," + bad;
  conn.SetParams("", p.Driver, p.Database, p.User, p.Password, "SERVER=" + conn.ServerHost);
  ASSERT_TRUE(conn.Connect()) << Db().LogText();
  EXPECT_EQ(conn.NextHost(), 1u);
  std::string log = Db().LogText();
  EXPECT_NE(log.find("Database host " + bad + " refused the connection"), std::string::npos);
  EXPECT_NE(log.find("Connected to database host " + good), std::string::npos);

  // After a loss the attempt begins with the entry after the lost one and wraps round.
  TODBCStatement write(&odbc);
  KillSession(odbc);
  EXPECT_TRUE(write.ExecSQL("UPDATE lot SET lot_count=lot_count+1 WHERE id=1")) << Db().LogText();
  EXPECT_EQ(conn.NextHost(), 1u);
  EXPECT_EQ(Count("SELECT lot_count FROM lot WHERE id = 1"), 11);
  log = Db().LogText();
  const size_t dead = log.rfind("ODBC Connection 'Dead'!");
  ASSERT_NE(dead, std::string::npos);
  const size_t thirdTried = log.find("Database host " + bad + " refused the connection", dead);
  const size_t back = log.find("Connected to database host " + good, dead);
  EXPECT_NE(thirdTried, std::string::npos);
  EXPECT_LT(thirdTried, back);
}

}  // namespace
}  // namespace tarn::test
