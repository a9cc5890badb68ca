// Calls on a database that stops answering in the middle: the caller's wait for the
// connection's worker is bounded, a late result reaches nobody, the worker given up keeps the
// handles its call uses and frees them (connection before environment) when the call
// returns, and the end of a program waits for such a worker only so long. Played by a
// stand-in driver whose calls can be held at will.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/AbandonedWorkers.h"
#include "platform/Tick.h"
#include "db/OutageBoard.h"
#include "db/SqlWorker.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "metrics/StatusStore.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A door that holds whoever calls Pass while it is shut.
class Door {
 public:
  void Shut() {
    std::lock_guard<std::mutex> g(m_);
    open_ = false;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> g(m_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> g(m_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(g, [this] { return open_; });
    --waiting_;
  }
  bool WaitForSomeoneHeld(int ms) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return waiting_ > 0; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = true;
  int waiting_ = 0;
};

TEST(SqlWorker, ALateResultIsKeptByItsJobAndTheNextJobGetsItsOwn) {
  Door door;
  door.Shut();
  TSqlWorker worker;
  auto late = std::make_shared<std::atomic<int>>(0);
  std::vector<std::string> order;
  std::mutex orderMutex;
  auto note = [&](const std::string& what) {
    std::lock_guard<std::mutex> g(orderMutex);
    order.push_back(what);
  };
  const auto began = Clock::now();
  EXPECT_EQ(worker.Run([&door, late, &note] { door.Pass(); note("late job ends"); late->store(1); }, 100),
            TWorkerWait::TimedOut);
  EXPECT_GE(MsSince(began), 100);
  EXPECT_LT(MsSince(began), 2000);
  long cleanupThread = 0;
  long jobThread = 0;
  const size_t adopted = TAbandonedWorkers::Instance().Adopted();
  worker.Abandon([&] {
    cleanupThread = static_cast<long>(::syscall(SYS_gettid));
    note("clean-up");
  });
  EXPECT_FALSE(worker.Running());
  EXPECT_EQ(TAbandonedWorkers::Instance().Adopted(), adopted + 1);
  // The next job runs on a thread of its own while the first is still held.
  auto mine = std::make_shared<int>(0);
  EXPECT_EQ(worker.Run([mine, &jobThread] { *mine = 2; jobThread = static_cast<long>(::syscall(SYS_gettid)); }, 1000),
            TWorkerWait::Done);
  EXPECT_EQ(*mine, 2);
  EXPECT_EQ(late->load(), 0);
  // The end of the program waits only so long for a thread still held.
  const auto waited = Clock::now();
  EXPECT_FALSE(TAbandonedWorkers::Instance().WaitAll(150));
  EXPECT_LT(MsSince(waited), 2000);
  door.Open();
  EXPECT_TRUE(TAbandonedWorkers::Instance().WaitAll(10000));
  EXPECT_EQ(late->load(), 1);
  ASSERT_EQ(order, (std::vector<std::string>{"late job ends", "clean-up"}));
  EXPECT_NE(cleanupThread, jobThread);
  EXPECT_NE(cleanupThread, static_cast<long>(::syscall(SYS_gettid)));
}

TEST(SqlWorker, WaitsWithoutBoundOrWithOneAndStopsCleanly) {
  const struct {
    const char* name;
    int jobMs;
    int waitMs;
    TWorkerWait expected;
  } cases[] = {
      {"a quick job within its bound", 0, 1000, TWorkerWait::Done},
      {"a slow job without a bound", 300, -1, TWorkerWait::Done},
      {"a slow job past its bound", 1000, 50, TWorkerWait::TimedOut},
  };
  for (const auto& c : cases) {
    TSqlWorker worker;
    auto ran = std::make_shared<std::atomic<bool>>(false);
    const int jobMs = c.jobMs;
    EXPECT_EQ(worker.Run(
                  [ran, jobMs] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(jobMs));
                    ran->store(true);
                  },
                  c.waitMs),
              c.expected)
        << c.name;
    // Stop joins a worker that answered and hands over one that was given up.
    worker.Stop();
    EXPECT_FALSE(worker.Running()) << c.name;
    if (c.expected == TWorkerWait::Done) {
      EXPECT_TRUE(ran->load()) << c.name;
    }
  }
  EXPECT_TRUE(TAbandonedWorkers::Instance().WaitAll(10000));
}

// ---- a driver whose calls can be held -------------------------------------------------

struct Freed {
  SQLSMALLINT type;
  long thread;
};

struct Driver {
  std::mutex m;
  Door exec;   // SQLExecDirect passes it
  Door check;  // SQLGetConnectAttr passes it
  std::vector<Freed> freed;
  int execs = 0;
} driver;

int env, dbc;
int stmts[64];
std::atomic<int> nextStmt{0};

template <class F>
struct Stub;
template <class... A>
struct Stub<SQLRETURN (*)(A...)> {
  static SQLRETURN Fail(A...) { return SQL_ERROR; }
  static SQLRETURN Ok(A...) { return SQL_SUCCESS; }
};

TOdbcEntryPoints HeldApi() {
  TOdbcEntryPoints a{};
#define STUB(name, how) a.name = Stub<decltype(a.name)>::how
  STUB(SQLGetEnvAttr, Fail); STUB(SQLSetEnvAttr, Ok); STUB(SQLDrivers, Fail); STUB(SQLDataSources, Fail);
  STUB(SQLSetConnectAttr, Ok); STUB(SQLConnect, Fail); STUB(SQLBrowseConnect, Fail); STUB(SQLGetInfo, Ok);
  STUB(SQLSetStmtAttr, Ok); STUB(SQLGetStmtAttr, Ok); STUB(SQLTables, Fail); STUB(SQLStatistics, Fail);
  STUB(SQLPrimaryKeys, Fail); STUB(SQLForeignKeys, Fail); STUB(SQLPrepare, Fail); STUB(SQLExecute, Fail);
  STUB(SQLEndTran, Ok); STUB(SQLDescribeCol, Fail); STUB(SQLColumns, Fail); STUB(SQLSpecialColumns, Fail);
  STUB(SQLBindParameter, Fail); STUB(SQLPutData, Fail); STUB(SQLCloseCursor, Ok); STUB(SQLDisconnect, Ok);
  STUB(SQLFreeStmt, Ok); STUB(SQLCancel, Ok); STUB(SQLBindCol, Ok); STUB(SQLFetchScroll, Fail);
  STUB(SQLGetData, Fail); STUB(SQLSetPos, Fail); STUB(SQLGetDiagField, Fail); STUB(SQLColAttribute, Fail);
#undef STUB
  a.SQLAllocHandle = [](SQLSMALLINT type, SQLHANDLE, SQLHANDLE* out) -> SQLRETURN {
    *out = type == SQL_HANDLE_ENV   ? static_cast<void*>(&env)
           : type == SQL_HANDLE_DBC ? static_cast<void*>(&dbc)
                                    : static_cast<void*>(&stmts[nextStmt.fetch_add(1) % 64]);
    return SQL_SUCCESS;
  };
  a.SQLFreeHandle = [](SQLSMALLINT type, SQLHANDLE) -> SQLRETURN {
    std::lock_guard<std::mutex> g(driver.m);
    driver.freed.push_back({type, static_cast<long>(::syscall(SYS_gettid))});
    return SQL_SUCCESS;
  };
  a.SQLDriverConnect = [](SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR* out, SQLSMALLINT size,
                          SQLSMALLINT* length, SQLUSMALLINT) -> SQLRETURN {
    if (out != nullptr && size > 0) out[0] = 0;
    if (length != nullptr) *length = 0;
    return SQL_SUCCESS;
  };
  a.SQLGetConnectAttr = [](SQLHDBC, SQLINTEGER, SQLPOINTER value, SQLINTEGER, SQLINTEGER*) -> SQLRETURN {
    driver.check.Pass();
    *static_cast<SQLUINTEGER*>(value) = SQL_CD_FALSE;
    return SQL_SUCCESS;
  };
  a.SQLExecDirect = [](SQLHSTMT, SQLCHAR*, SQLINTEGER) -> SQLRETURN {
    {
      std::lock_guard<std::mutex> g(driver.m);
      ++driver.execs;
    }
    driver.exec.Pass();
    return SQL_SUCCESS;
  };
  a.SQLNumResultCols = [](SQLHSTMT, SQLSMALLINT* n) -> SQLRETURN {
    *n = 0;
    return SQL_SUCCESS;
  };
  a.SQLRowCount = [](SQLHSTMT, SQLLEN* rows) -> SQLRETURN {
    *rows = 1;
    return SQL_SUCCESS;
  };
  a.SQLFetch = [](SQLHSTMT) -> SQLRETURN { return SQL_NO_DATA; };
  a.SQLGetDiagRec = [](SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*, SQLINTEGER*, SQLCHAR*, SQLSMALLINT,
                       SQLSMALLINT*) -> SQLRETURN { return SQL_NO_DATA; };
  return a;
}

std::vector<Freed> FreedSoFar() {
  std::lock_guard<std::mutex> g(driver.m);
  return driver.freed;
}

class HeldDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> g(driver.m);
      driver.freed.clear();
      driver.execs = 0;
    }
    driver.exec.Open();
    driver.check.Open();
    path_ = TestOutputDir("logs") + "/held_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    log_ = std::make_unique<TMessLog>(path_, false, false, false, true);
  }
  void TearDown() override {
    driver.exec.Open();
    driver.check.Open();
    EXPECT_TRUE(TAbandonedWorkers::Instance().WaitAll(10000));
  }
  std::unique_ptr<TODBC> Connected(const std::string& driverName) {
    auto odbc = std::make_unique<TODBC>(TOdbcLibrary::FromEntryPoints(HeldApi()));
    odbc->MessLog = log_.get();
    odbc->StatementWaitMs = 200;
    odbc->CheckWaitMs = 200;
    EXPECT_TRUE(odbc->ConnectToDataSource("", "", "", "", driverName, ""));
    return odbc;
  }
  std::string Text() {
    log_->Log("");
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string path_;
  std::unique_ptr<TMessLog> log_;
};

// Every kind of call that waits on the server, held past its bound on a database server:
// the caller is back within about the bound with a lost connection, one line says what was
// given up and how long it was waited for, the metrics count it, and nothing of the
// connection is freed on the caller's side.
TEST_F(HeldDriverTest, ACallPastItsBoundGivesTheConnectionUpAndTheWorkerFreesItsHandlesLater) {
  enum class Call { Query, GuardedWrite, Check };
  const struct {
    const char* name;
    const char* driverName;
    Call call;
    Door* door;
    const char* line;
  } cases[] = {
      {"a query", "Fake Driver", Call::Query, &driver.exec,
       "Statement abandoned after 0.2 s without an answer from the database: SELECT 1 FROM dual"},
      {"a guarded write", "MariaDB Unicode", Call::GuardedWrite, &driver.exec,
       "Statement abandoned after 0.2 s without an answer from the database: CREATE TABLE IF NOT EXISTS write_mark"},
      {"the connection check", "Fake Driver", Call::Check, &driver.check,
       "Connection check abandoned after 0.2 s without an answer from the database"},
  };
  for (const auto& c : cases) {
    auto odbc = Connected(c.driverName);
    TODBCStatement other(odbc.get());  // a statement of the unit of work, not running
    TODBCStatement st(odbc.get());
    ASSERT_TRUE(st.Allocated()) << c.name;
    const uint64_t abandonedBefore = metrics::TStatusStore::Instance().Snapshot().database.abandoned;
    const size_t mark = Text().size();
    c.door->Shut();
    const auto began = Clock::now();
    bool lost = false;
    switch (c.call) {
      case Call::Query: lost = st.Execute("SELECT 1 FROM dual").linkLost(); break;
      case Call::GuardedWrite: lost = st.Execute("INSERT INTO trans (card_no) VALUES (1)").linkLost(); break;
      case Call::Check: lost = odbc->IsConnectionDead(); break;
    }
    const int64_t took = MsSince(began);
    EXPECT_TRUE(lost) << c.name;
    EXPECT_GE(took, 200) << c.name;
    EXPECT_LT(took, 3000) << c.name;
    EXPECT_FALSE(odbc->Connected()) << c.name;
    EXPECT_FALSE(st.Allocated()) << c.name;
    EXPECT_FALSE(other.Allocated()) << c.name;
    EXPECT_EQ(st.ODBC(), odbc.get()) << c.name << ": the statement stays with its connection";
    if (c.call != Call::Check) {
      EXPECT_EQ(odbc->LostExecutions(), 1u) << c.name;
    }
    EXPECT_EQ(metrics::TStatusStore::Instance().Snapshot().database.abandoned, abandonedBefore + 1) << c.name;
    EXPECT_FALSE(metrics::TStatusStore::Instance().Snapshot().database.connected) << c.name;
    const std::string written = Text().substr(mark);
    EXPECT_NE(written.find(std::string(" - ") + c.line + "\r\n"), std::string::npos) << c.name << "\n" << written;
    // Nothing was freed while the call is held, not even when the connection goes.
    odbc.reset();
    EXPECT_TRUE(FreedSoFar().empty()) << c.name;
    c.door->Open();
    ASSERT_TRUE(TAbandonedWorkers::Instance().WaitAll(10000)) << c.name;
    const std::vector<Freed> freed = FreedSoFar();
    // Both statements, then the connection, on the worker; the environment last, by whoever
    // let it go last.
    ASSERT_GE(freed.size(), 4u) << c.name;
    const long worker = freed.front().thread;
    EXPECT_NE(worker, static_cast<long>(::syscall(SYS_gettid))) << c.name;
    size_t statements = 0;
    for (size_t i = 0; i + 2 < freed.size(); ++i) {
      EXPECT_EQ(freed[i].type, SQL_HANDLE_STMT) << c.name << " #" << i;
      EXPECT_EQ(freed[i].thread, worker) << c.name << " #" << i;
      ++statements;
    }
    EXPECT_GE(statements, 2u) << c.name;
    EXPECT_EQ(freed[freed.size() - 2].type, SQL_HANDLE_DBC) << c.name;
    EXPECT_EQ(freed[freed.size() - 2].thread, worker) << c.name;
    EXPECT_EQ(freed.back().type, SQL_HANDLE_ENV) << c.name;
    std::lock_guard<std::mutex> g(driver.m);
    driver.freed.clear();
  }
}

// SQLite runs in the process: its calls are never given up, however long they take.
TEST_F(HeldDriverTest, AnInProcessDatabaseIsWaitedForToTheEnd) {
  auto odbc = Connected("SQLite3");
  EXPECT_EQ(odbc->WaitBoundMs(TODBC::TWaitKind::Statement), -1);
  TODBCStatement st(odbc.get());
  driver.exec.Shut();
  std::thread opener([] {
    driver.exec.WaitForSomeoneHeld(10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    driver.exec.Open();
  });
  const auto began = Clock::now();
  EXPECT_TRUE(st.Execute("UPDATE t SET a = 1").ok());
  opener.join();
  EXPECT_GE(MsSince(began), 600);
  EXPECT_TRUE(odbc->Connected());
  EXPECT_EQ(Text().find("abandoned"), std::string::npos);
}

// A connection given up in the middle of a statement is connected again by the next
// statement's set-up like one whose link was lost: a new connection, a new worker.
TEST_F(HeldDriverTest, AfterAConnectionWasGivenUpTheNextConnectionWorksOnANewWorker) {
  auto odbc = Connected("Fake Driver");
  TODBCStatement st(odbc.get());
  driver.exec.Shut();
  EXPECT_TRUE(st.Execute("SELECT 1 FROM dual").linkLost());
  driver.exec.Open();
  ASSERT_TRUE(odbc->ConnectToDataSource("", "", "", "", "Fake Driver", ""));
  const TSqlOutcome again = st.Execute("UPDATE t SET a = 2");
  EXPECT_TRUE(again.ok()) << again.ToString();
  EXPECT_TRUE(odbc->Worker().Running());
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// How long a connection waits, by what the process knows of its database: the first loss
// waits for a new connection, a database known refusing gets one attempt's wait, one known
// silent none; the check and the statements wait a moment only where nothing answers; an
// in-process database has no bound at all.
TEST_F(HeldDriverTest, WaitsFollowWhatIsKnownOfTheDatabase) {
  TODBCConn conn(700, "");
  conn.SetParams("", "Fake Driver", "site", "u", "p", "SERVER=10.0.0.9");
  conn.ServerHost = "10.0.0.9";
  auto odbc = Connected("Fake Driver");
  auto local = Connected("SQLite3");
  odbc->OutageKey = conn.OutageKey();
  local->OutageKey = conn.OutageKey();
  const struct {
    TAway away;
    int lossWait;       // LossWaitMs(-1)
    int lossWaitLimit;  // LossWaitMs(1000)
    int readRunning;    // ReadAttemptWaitMs(true)
    int readOwn;        // ReadAttemptWaitMs(false)
    int statement;      // WaitBoundMs(Statement) on a server
    int check;          // WaitBoundMs(Check) on a server
  } cases[] = {
      {TAway::No, 4000, 1000, 500, 500, 200, 200},
      {TAway::Refusing, 500, 500, 500, 500, 200, 200},
      {TAway::Silent, 0, 0, 0, TODBC::kAwayWaitMs, TODBC::kAwayWaitMs, TODBC::kAwayWaitMs},
  };
  for (const auto& c : cases) {
    const int name = static_cast<int>(c.away);
    TOutageBoard::Instance().MarkBack(conn.OutageKey());
    TOutageBoard::Instance().MarkAway(conn.OutageKey(), c.away);
    EXPECT_EQ(conn.DatabaseAway(), c.away) << name;
    EXPECT_EQ(conn.LossWaitMs(-1), c.lossWait) << name;
    EXPECT_EQ(conn.LossWaitMs(1000), c.lossWaitLimit) << name;
    EXPECT_EQ(conn.ReadAttemptWaitMs(true), c.readRunning) << name;
    EXPECT_EQ(conn.ReadAttemptWaitMs(false), c.readOwn) << name;
    EXPECT_EQ(odbc->WaitBoundMs(TODBC::TWaitKind::Statement), c.statement) << name;
    EXPECT_EQ(odbc->WaitBoundMs(TODBC::TWaitKind::Check), c.check) << name;
    EXPECT_EQ(local->WaitBoundMs(TODBC::TWaitKind::Statement), -1) << name;
  }
  // Silent is not undone by a refusal seen later; any answer undoes both.
  TOutageBoard::Instance().MarkAway(conn.OutageKey(), TAway::Refusing);
  EXPECT_EQ(conn.DatabaseAway(), TAway::Silent);
  TOutageBoard::Instance().MarkBack(conn.OutageKey());
  EXPECT_EQ(conn.DatabaseAway(), TAway::No);
  // A connection made before the database was found away (its attempt collected late) does
  // not bring it back; one made after does.
  const struct {
    uint64_t markedAt, seenAt;
    TAway after;
  } seen[] = {{1000, 999, TAway::Silent}, {1000, 1000, TAway::No}, {1000, 1001, TAway::No}};
  for (const auto& c : seen) {
    TOutageBoard::Instance().MarkAway(conn.OutageKey(), TAway::Silent, c.markedAt);
    TOutageBoard::Instance().MarkBack(conn.OutageKey(), c.seenAt);
    EXPECT_EQ(conn.DatabaseAway(), c.after) << c.seenAt;
    TOutageBoard::Instance().MarkBack(conn.OutageKey(), c.markedAt);
  }
  // Another database is another key.
  TODBCConn other(700, "");
  other.SetParams("", "Fake Driver", "site", "u", "p", "SERVER=10.0.0.10");
  TOutageBoard::Instance().MarkAway(other.OutageKey(), TAway::Silent);
  EXPECT_EQ(conn.DatabaseAway(), TAway::No);
  TOutageBoard::Instance().MarkBack(other.OutageKey());
}

}  // namespace
}  // namespace tarn::test
