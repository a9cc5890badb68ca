// Driver behaviour the installed drivers do not show on demand (function-not-supported
// records, general errors with a separate message field, SQL Server's size-0 varchar, cursors
// that cannot scroll), played by a scripted stand-in for the driver manager.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <set>
#include <vector>

#include "db/RetryPolicy.h"
#include "db/TODBCStatement.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

struct Diag {
  std::string state;
  std::string message;
  SQLINTEGER native = 0;
};

// The script of the stand-in; reset by every test.
struct Script {
  std::vector<Diag> connection;
  std::vector<Diag> statement;
  std::string fieldText = "message from the field";
  SQLRETURN fieldResult = SQL_SUCCESS;
  SQLRETURN exec = SQL_SUCCESS;
  SQLRETURN deadProbe = SQL_SUCCESS;
  std::vector<long> execThreads;
  SQLLEN rowCount = 1;
  SQLLEN size = 0;
  SQLLEN type = SQL_VARCHAR;
  SQLULEN cursorType = SQL_CURSOR_DYNAMIC;
  SQLUINTEGER bits = 0;
  int rows = 2;
  int fetches = 0;       // the current row of the result (1 the first)
  std::string value;     // the column's value in every row ("" : "row <n>")
  int setPos = 0;
  int getData = 0;
  SQLCHAR* bound = nullptr;
  SQLLEN boundLength = 0;
} script;

int env, dbc, stmt;  // their addresses serve as handles

template <class F>
struct Stub;
template <class... A>
struct Stub<SQLRETURN (*)(A...)> {
  static SQLRETURN Fail(A...) { return SQL_ERROR; }
  static SQLRETURN Ok(A...) { return SQL_SUCCESS; }
};

void Copy(const std::string& text, SQLCHAR* out, SQLSMALLINT size, SQLSMALLINT* length) {
  if (out != nullptr && size > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, text.data(), n);
    out[n] = 0;
  }
  if (length != nullptr) *length = static_cast<SQLSMALLINT>(text.size());
}

// The current row's value into the bound buffer, cut to its length as a driver does.
SQLRETURN DeliverRow() {
  if (script.fetches < 1 || script.fetches > script.rows) return SQL_NO_DATA;
  const std::string text = script.value.empty() ? "row " + std::to_string(script.fetches) : script.value;
  if (script.bound != nullptr && script.boundLength > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(script.boundLength - 1));
    std::memcpy(script.bound, text.data(), n);
    script.bound[n] = 0;
  }
  return SQL_SUCCESS;
}

const std::vector<Diag>& DiagsOf(SQLSMALLINT type) {
  return type == SQL_HANDLE_STMT ? script.statement : script.connection;
}

TOdbcEntryPoints FakeApi() {
  TOdbcEntryPoints a{};
#define STUB(name, how) a.name = Stub<decltype(a.name)>::how
  STUB(SQLGetEnvAttr, Fail); STUB(SQLSetEnvAttr, Ok); STUB(SQLDrivers, Fail);
  STUB(SQLDataSources, Fail); STUB(SQLSetConnectAttr, Ok); STUB(SQLConnect, Fail);
  STUB(SQLBrowseConnect, Fail); STUB(SQLSetStmtAttr, Ok); STUB(SQLTables, Fail);
  STUB(SQLStatistics, Fail); STUB(SQLPrimaryKeys, Fail); STUB(SQLForeignKeys, Fail);
  STUB(SQLPrepare, Fail); STUB(SQLExecute, Fail); STUB(SQLEndTran, Ok);
  STUB(SQLDescribeCol, Fail); STUB(SQLColumns, Fail); STUB(SQLSpecialColumns, Fail);
  STUB(SQLBindParameter, Fail); STUB(SQLPutData, Fail); STUB(SQLCloseCursor, Ok);
  STUB(SQLDisconnect, Ok); STUB(SQLFreeHandle, Ok); STUB(SQLFreeStmt, Ok); STUB(SQLCancel, Ok);
#undef STUB
  a.SQLAllocHandle = [](SQLSMALLINT type, SQLHANDLE, SQLHANDLE* out) -> SQLRETURN {
    *out = type == SQL_HANDLE_ENV ? static_cast<void*>(&env)
                                  : type == SQL_HANDLE_DBC ? static_cast<void*>(&dbc) : static_cast<void*>(&stmt);
    return SQL_SUCCESS;
  };
  a.SQLDriverConnect = [](SQLHDBC, SQLHWND, SQLCHAR* in, SQLSMALLINT, SQLCHAR* out, SQLSMALLINT size,
                          SQLSMALLINT* length, SQLUSMALLINT) -> SQLRETURN {
    Copy(reinterpret_cast<const char*>(in), out, size, length);
    return SQL_SUCCESS;
  };
  a.SQLGetConnectAttr = [](SQLHDBC, SQLINTEGER, SQLPOINTER value, SQLINTEGER, SQLINTEGER*) -> SQLRETURN {
    *static_cast<SQLUINTEGER*>(value) = SQL_CD_FALSE;
    return script.deadProbe;
  };
  a.SQLGetInfo = [](SQLHDBC, SQLUSMALLINT, SQLPOINTER value, SQLSMALLINT, SQLSMALLINT*) -> SQLRETURN {
    *static_cast<SQLUINTEGER*>(value) = script.bits;
    return SQL_SUCCESS;
  };
  a.SQLGetStmtAttr = [](SQLHSTMT, SQLINTEGER, SQLPOINTER value, SQLINTEGER, SQLINTEGER*) -> SQLRETURN {
    *static_cast<SQLULEN*>(value) = script.cursorType;
    return SQL_SUCCESS;
  };
  a.SQLExecDirect = [](SQLHSTMT, SQLCHAR*, SQLINTEGER) {
    script.execThreads.push_back(static_cast<long>(::syscall(SYS_gettid)));
    return script.exec;
  };
  a.SQLRowCount = [](SQLHSTMT, SQLLEN* rows) -> SQLRETURN {
    *rows = script.rowCount;
    return SQL_SUCCESS;
  };
  a.SQLNumResultCols = [](SQLHSTMT, SQLSMALLINT* n) -> SQLRETURN {
    *n = 1;
    return SQL_SUCCESS;
  };
  a.SQLColAttribute = [](SQLHSTMT, SQLUSMALLINT, SQLUSMALLINT field, SQLPOINTER text, SQLSMALLINT size,
                         SQLSMALLINT* length, SQLLEN* number) -> SQLRETURN {
    if (field == SQL_DESC_NAME) Copy("col", static_cast<SQLCHAR*>(text), size, length);
    if (field == SQL_DESC_DISPLAY_SIZE) *number = script.size;
    if (field == SQL_DESC_CONCISE_TYPE) *number = script.type;
    return SQL_SUCCESS;
  };
  a.SQLBindCol = [](SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER buffer, SQLLEN length, SQLLEN*) -> SQLRETURN {
    script.bound = static_cast<SQLCHAR*>(buffer);
    script.boundLength = length;
    return SQL_SUCCESS;
  };
  a.SQLFetch = [](SQLHSTMT) -> SQLRETURN {
    ++script.fetches;
    return DeliverRow();
  };
  a.SQLFetchScroll = [](SQLHSTMT, SQLSMALLINT orientation, SQLLEN offset) -> SQLRETURN {
    const int at = script.fetches;
    script.fetches = orientation == SQL_FETCH_FIRST      ? 1
                     : orientation == SQL_FETCH_LAST     ? script.rows
                     : orientation == SQL_FETCH_PRIOR    ? at - 1
                     : orientation == SQL_FETCH_ABSOLUTE ? static_cast<int>(offset)
                     : orientation == SQL_FETCH_RELATIVE ? at + static_cast<int>(offset)
                                                         : at + 1;
    return DeliverRow();
  };
  a.SQLGetData = [](SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER buffer, SQLLEN length,
                    SQLLEN* indicator) -> SQLRETURN {
    // A long value is delivered once per row, unless the row was refreshed in between.
    if (++script.getData > 2 && script.setPos == 0) return SQL_NO_DATA;
    *indicator = 4;
    if (length > 4) Copy("memo", static_cast<SQLCHAR*>(buffer), static_cast<SQLSMALLINT>(length), nullptr);
    return length > 4 ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
  };
  a.SQLSetPos = [](SQLHSTMT, SQLSETPOSIROW, SQLUSMALLINT, SQLUSMALLINT) -> SQLRETURN {
    ++script.setPos;
    script.getData = 0;
    return SQL_SUCCESS;
  };
  a.SQLGetDiagRec = [](SQLSMALLINT type, SQLHANDLE, SQLSMALLINT record, SQLCHAR* state, SQLINTEGER* native,
                       SQLCHAR* message, SQLSMALLINT size, SQLSMALLINT* length) -> SQLRETURN {
    const auto& diags = DiagsOf(type);
    if (record < 1 || static_cast<size_t>(record) > diags.size()) return SQL_NO_DATA;
    Copy(diags[record - 1].state, state, 6, nullptr);
    if (native != nullptr) *native = diags[record - 1].native;
    Copy(diags[record - 1].message, message, size, length);
    return SQL_SUCCESS;
  };
  a.SQLGetDiagField = [](SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLSMALLINT, SQLPOINTER info, SQLSMALLINT size,
                         SQLSMALLINT* length) -> SQLRETURN {
    Copy(script.fieldText, static_cast<SQLCHAR*>(info), size, length);
    return script.fieldResult;
  };
  return a;
}

class FakeDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    path_ = TestOutputDir("logs") + "/fake_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    log_ = std::make_unique<TMessLog>(path_, false, false, false, true);
    odbc_ = std::make_unique<TODBC>(TOdbcLibrary::FromEntryPoints(FakeApi()));
    odbc_->MessLog = log_.get();
    odbc_->BindColumns = true;
  }
  void TearDown() override { odbc_.reset(); }
  std::string Text() {
    log_->Log("");
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Connect(const std::string& driver = "Fake Driver") {
    ASSERT_TRUE(odbc_->ConnectToDataSource("", "", "", "", driver, ""));
  }
  std::string path_;
  std::unique_ptr<TMessLog> log_;
  std::unique_ptr<TODBC> odbc_;
};

TEST_F(FakeDriverTest, FunctionNotSupportedFirstWritesNothing) {
  Connect();
  script.connection = {{"IM001", "Driver does not support this function"}, {"08S01", "later"}};
  odbc_->LogDiagnostics(SQL_ERROR);
  const std::string text = Text();
  EXPECT_EQ(text.find("State:"), std::string::npos) << text;
  // The record is still looked at for a lost link; reporting stops at it.
  EXPECT_FALSE(odbc_->ConnectionDead());
}

TEST_F(FakeDriverTest, ConnectionRecordsAreWrittenInOrderAndGeneralErrorsUseTheMessageField) {
  Connect();
  script.connection = {{"01000", "first"}, {"HY000", "short text"}, {"IM001", "stop"}, {"42000", "unseen"}};
  odbc_->LogDiagnostics(SQL_ERROR);
  const std::string text = Text();
  const size_t first = text.find(" - first. State:  01000\r\n");
  const size_t general = text.find(" - message from the field. State:  HY000\r\n");
  ASSERT_NE(first, std::string::npos) << text;
  ASSERT_NE(general, std::string::npos) << text;
  EXPECT_LT(first, general);
  EXPECT_EQ(text.find("short text"), std::string::npos);
  EXPECT_EQ(text.find("unseen"), std::string::npos);
  // Success codes, and a connection without a log, write nothing.
  const size_t size = Text().size();
  odbc_->LogDiagnostics(SQL_SUCCESS_WITH_INFO);
  odbc_->MessLog = nullptr;
  odbc_->LogDiagnostics(SQL_ERROR);
  odbc_->MessLog = log_.get();
  EXPECT_EQ(Text().size(), size);
}

TEST_F(FakeDriverTest, StatementRecordsMarkALostLinkAndStopAtFunctionNotSupported) {
  Connect();
  TODBCStatement s(odbc_.get());
  script.exec = SQL_ERROR;
  script.statement = {{"08S01", "Communication link failure"}, {"IM001", "stop"}, {"42000", "unseen"}};
  EXPECT_FALSE(s.ExecSQL("SELECT broken"));
  const std::string text = Text();
  EXPECT_NE(text.find(" - SELECT broken\r\n"), std::string::npos);
  EXPECT_NE(text.find(" - Communication link failure. State:  08S01\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("unseen"), std::string::npos);
  EXPECT_TRUE(odbc_->ConnectionDead());
  EXPECT_TRUE(odbc_->IsConnectionDead());
  // DoSQL writes nothing; the outcome carries every record, and the caller writes it.
  script.statement = {{"42S02", "no table", 1146}, {"01000", "a note"}};
  const size_t size = Text().size();
  EXPECT_FALSE(s.DoSQL("SELECT other"));
  EXPECT_EQ(Text().size(), size);
  const TSqlOutcome failed = s.Execute("SELECT other");
  EXPECT_EQ(failed.kind(), TSqlOutcome::TKind::Failed);
  ASSERT_EQ(failed.records().size(), 2u);
  EXPECT_EQ(failed.diag().native, 1146);
  EXPECT_EQ(failed.ToString(), "failed: 42S02 (native 1146): no table; 01000 (native 0): a note");
  s.LogFailure(failed);
  const std::string written = Text().substr(size);
  EXPECT_NE(written.find(" - SELECT other\r\n"), std::string::npos) << written;
  EXPECT_NE(written.find(" - no table. State:  42S02\r\n"), std::string::npos) << written;
  EXPECT_NE(written.find(" - a note. State:  01000\r\n"), std::string::npos) << written;
}

TEST_F(FakeDriverTest, NoDataFromTheDriverAndZeroRowCountsMeanTheSame) {
  Connect();
  struct Case {
    SQLRETURN exec;
    SQLLEN rowCount;
    const char* sql;
    TSqlOutcome::TKind kind;
    bool doSQL;
  } cases[] = {
      {SQL_NO_DATA, 1, "UPDATE t SET a = 1", TSqlOutcome::TKind::NoRow, true},
      {SQL_NO_DATA, 1, "insert into t values (1)", TSqlOutcome::TKind::NoRow, true},
      {SQL_NO_DATA, 1, "CREATE TABLE t (a INTEGER)", TSqlOutcome::TKind::NoRow, false},
      {SQL_SUCCESS, 0, "DELETE FROM t", TSqlOutcome::TKind::NoRow, true},
      {SQL_SUCCESS, 3, "DELETE FROM t", TSqlOutcome::TKind::Done, true},
      {SQL_SUCCESS, 0, "CREATE TABLE t (a INTEGER)", TSqlOutcome::TKind::Done, true},
      {SQL_SUCCESS_WITH_INFO, 0, "UPDATE t SET a = 1", TSqlOutcome::TKind::NoRow, true},
  };
  TODBCStatement s(odbc_.get());
  for (const Case& c : cases) {
    script.exec = c.exec;
    script.rowCount = c.rowCount;
    const TSqlOutcome outcome = s.Execute(c.sql);
    EXPECT_EQ(outcome.kind(), c.kind) << c.sql << " " << c.exec << " " << c.rowCount;
    EXPECT_EQ(s.DoSQL(c.sql), c.doSQL) << c.sql << " " << c.exec << " " << c.rowCount;
  }
}

// Values as wide as their column are read whole, four UTF-8 bytes a character.
TEST_F(FakeDriverTest, SqlServerVarcharOfSizeZeroHoldsEightThousandCharacters) {
  std::string wide;
  for (int i = 0; i < 8000; ++i) wide += "\xF0\x9F\x98\x80";  // U+1F600
  script.value = wide;
  Connect("ODBC Driver 17 for SQL Server");
  EXPECT_EQ(odbc_->DriverFamily(), dfSQLServer);
  TODBCStatement s(odbc_.get());
  ASSERT_TRUE(s.DoSQL("SELECT col FROM t"));
  EXPECT_EQ(s.ColumnSize(0), 8000);
  EXPECT_EQ(s.FieldAsString("col"), wide);
  // Another driver's column of unknown size holds ten characters.
  script.value = wide.substr(0, 10 * 4);
  script.fetches = 0;
  TODBC other(TOdbcLibrary::FromEntryPoints(FakeApi()));
  ASSERT_TRUE(other.ConnectToDataSource("", "", "", "", "Fake Driver", ""));
  TODBCStatement t(&other);
  ASSERT_TRUE(t.DoSQL("SELECT col FROM t"));
  EXPECT_EQ(t.ColumnSize(0), 0);
  EXPECT_EQ(t.FieldAsString("col"), script.value);
}

TEST_F(FakeDriverTest, BufferWidthsAndUnknownTypes) {
  Connect();
  TODBCStatement s(odbc_.get());
  script.type = SQL_INTEGER;
  script.size = 11;
  script.value = "-2147483648";
  script.fetches = 0;
  ASSERT_TRUE(s.DoSQL("SELECT col FROM t"));
  EXPECT_EQ(s.FieldAsInteger("col"), -2147483647 - 1);
  script.value.clear();
  script.type = SQL_BINARY;
  script.size = 16;
  script.fetches = 0;
  ASSERT_TRUE(s.DoSQL("SELECT col FROM t"));
  EXPECT_EQ(s.ColumnKind(0), ckUnknown);
  EXPECT_EQ(s.ColumnSize(0), 0);
  // A binary large object of 4 GiB declared: the column's buffer stays within a few MiB.
  script.type = SQL_LONGVARBINARY;
  script.size = SQLLEN{1} << 32;
  script.fetches = 0;
  ASSERT_TRUE(s.DoSQL("SELECT col FROM t"));
  EXPECT_GT(script.boundLength, 0);
  EXPECT_LE(script.boundLength, SQLLEN{4} << 20);
}

TEST_F(FakeDriverTest, ScrollingFollowsTheCursorsAbilities) {
  Connect();
  script.rows = 3;
  script.bits = SQL_CA1_ABSOLUTE | SQL_CA1_POS_REFRESH;
  {
    TODBCStatement s(odbc_.get());
    EXPECT_FALSE(s.ForwardOnly());
    EXPECT_TRUE(s.CanRefresh());
    ASSERT_TRUE(s.DoSQL("SELECT col FROM t"));
    ASSERT_TRUE(s.dbSkip());
    EXPECT_EQ(s.FieldAsString("col"), "row 2");
    EXPECT_TRUE(s.dbSkip(skFirst, 0));
    EXPECT_EQ(s.FieldAsString("col"), "row 1");
    EXPECT_FALSE(s.dbSkip(skPrior, 0));  // needs a relative cursor: the cursor stays
    EXPECT_TRUE(s.dbSkip());
    EXPECT_EQ(s.FieldAsString("col"), "row 2");
  }
  script.cursorType = SQL_CURSOR_STATIC;
  {
    TODBCStatement s(odbc_.get());
    EXPECT_FALSE(s.CanRefresh());  // a static cursor never refreshes
  }
  script.cursorType = SQL_CURSOR_FORWARD_ONLY;
  script.bits = SQL_CA1_ABSOLUTE | SQL_CA1_RELATIVE | SQL_CA1_POS_REFRESH;
  TODBCStatement s(odbc_.get());
  EXPECT_TRUE(s.ForwardOnly());  // whatever the driver claims for it
  EXPECT_FALSE(s.CanRefresh());
  script.fetches = 0;
  ASSERT_TRUE(s.DoSQL("SELECT col FROM t"));
  EXPECT_TRUE(s.dbSkip(skFirst, 0));  // moves on instead
  EXPECT_EQ(s.FieldAsString("col"), "row 2");
}

TEST_F(FakeDriverTest, MemoIsReadWithGetDataAndRefreshedForASecondRead) {
  Connect();
  script.type = SQL_LONGVARCHAR;
  script.bits = SQL_CA1_ABSOLUTE | SQL_CA1_POS_REFRESH;
  TODBCStatement s(odbc_.get());
  ASSERT_TRUE(s.DoSQL("SELECT col FROM t"));
  EXPECT_EQ(s.ColumnKind(0), ckMemo);
  EXPECT_EQ(s.FieldAsString("col"), "memo");
  EXPECT_EQ(s.FieldAsString("col"), "memo");
  EXPECT_EQ(script.getData, 2);  // the second read came from the row already read
  ASSERT_TRUE(s.dbSkip());
  EXPECT_EQ(s.FieldAsString("col"), "memo");  // the driver had delivered it: refresh and read
  EXPECT_EQ(script.setPos, 1);
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

TEST_F(FakeDriverTest, ADeadProbeThatFailsWithALostLinkReportsTheConnectionDeadAtOnce) {
  for (bool report : {true, false}) {
    Connect();
    odbc_->MessLog = report ? log_.get() : nullptr;
    script.deadProbe = SQL_ERROR;
    script.connection = {{"08S01", "Lost connection to server during query"}};
    EXPECT_TRUE(odbc_->IsConnectionDead()) << "reporting " << report;
    odbc_->DisconnectFromDataSource();
    // A probe that fails for another reason says nothing about the link.
    Connect();
    script.connection = {{"HYC00", "Optional feature not implemented"}};
    EXPECT_FALSE(odbc_->IsConnectionDead()) << "reporting " << report;
    odbc_->DisconnectFromDataSource();
    script.deadProbe = SQL_SUCCESS;
  }
}

TEST_F(FakeDriverTest, EveryExecutionOfAConnectionRunsOnItsOneWorkerThread) {
  Connect();
  for (int i = 0; i < 20; ++i) {
    TODBCStatement s(odbc_.get());
    script.fetches = 0;
    EXPECT_TRUE(s.DoSQL("UPDATE t SET a = " + std::to_string(i)));
  }
  ASSERT_EQ(script.execThreads.size(), 20u);
  const std::set<long> threads(script.execThreads.begin(), script.execThreads.end());
  EXPECT_EQ(threads.size(), 1u) << "executions ran on " << threads.size() << " threads";
  EXPECT_NE(*threads.begin(), static_cast<long>(::syscall(SYS_gettid)));
  // A closed connection ends its worker; the next connection has a worker of its own.
  odbc_->DisconnectFromDataSource();
  EXPECT_FALSE(odbc_->Worker().Running());
  Connect();
  TODBCStatement s(odbc_.get());
  EXPECT_TRUE(s.DoSQL("UPDATE t SET a = 0"));
  EXPECT_TRUE(odbc_->Worker().Running());
  EXPECT_EQ(threads.count(script.execThreads.back()), 0u);
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

TEST_F(FakeDriverTest, TheDiagnosticsReaderGivesEveryRecordWithItsNativeCode) {
  const std::string longText(600, 'x');
  std::vector<Diag> many;
  for (int i = 0; i < 40; ++i) many.push_back({"01000", "note " + std::to_string(i), i});
  const struct {
    const char* name;
    std::vector<Diag> script;
    SQLRETURN fieldResult;
    size_t limit;
    std::vector<TDiagRecord> expected;
  } cases[] = {
      {"no records", {}, SQL_SUCCESS, kDiagRecordLimit, {}},
      {"records in order with their numbers",
       {{"42S02", "no table", 1146}, {"01000", "a note"}},
       SQL_SUCCESS,
       kDiagRecordLimit,
       {{"42S02", 1146, "no table"}, {"01000", 0, "a note"}}},
      {"a general error takes its text from the message field",
       {{"HY000", "short", 2006}},
       SQL_SUCCESS,
       kDiagRecordLimit,
       {{"HY000", 2006, "message from the field"}}},
      {"a general error whose field cannot be read keeps its own text and ends the list",
       {{"HY000", "own text", 1}, {"42000", "after"}},
       SQL_ERROR,
       kDiagRecordLimit,
       {{"HY000", 1, "own text"}}},
      {"function not supported is read like any other record",
       {{"IM001", "not supported"}, {"08S01", "later"}},
       SQL_SUCCESS,
       kDiagRecordLimit,
       {{"IM001", 0, "not supported"}, {"08S01", 0, "later"}}},
      {"a long text is cut to the buffer", {{"42000", longText}}, SQL_SUCCESS, kDiagRecordLimit,
       {{"42000", 0, std::string(kDiagMessageSize - 1, 'x')}}},
      {"a limit of one", {{"42S02", "first"}, {"01000", "second"}}, SQL_SUCCESS, 1, {{"42S02", 0, "first"}}},
  };
  const TOdbcEntryPoints api = FakeApi();
  for (const auto& c : cases) {
    script.statement = c.script;
    script.fieldResult = c.fieldResult;
    const std::vector<TDiagRecord> got = ReadDiagRecords(api, SQL_HANDLE_STMT, &stmt, c.limit);
    ASSERT_EQ(got.size(), c.expected.size()) << c.name;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].state, c.expected[i].state) << c.name << " #" << i;
      EXPECT_EQ(got[i].native, c.expected[i].native) << c.name << " #" << i;
      EXPECT_EQ(got[i].message, c.expected[i].message) << c.name << " #" << i;
    }
    EXPECT_EQ(ReadFirstDiagRecord(api, SQL_HANDLE_STMT, &stmt).state,
              c.expected.empty() ? "" : c.expected.front().state)
        << c.name;
  }
  // A driver that never stops adding records is read up to the bound; a null handle has none.
  script.statement = many;
  script.fieldResult = SQL_SUCCESS;
  const std::vector<TDiagRecord> bounded = ReadDiagRecords(api, SQL_HANDLE_STMT, &stmt);
  ASSERT_EQ(bounded.size(), kDiagRecordLimit);
  EXPECT_EQ(bounded.back().native, static_cast<int32_t>(kDiagRecordLimit) - 1);
  EXPECT_TRUE(ReadDiagRecords(api, SQL_HANDLE_STMT, SQL_NULL_HANDLE).empty());
  // The connection's records come from the connection handle.
  Connect();
  script.connection = {{"08S01", "Communication link failure", 2013}};
  ASSERT_EQ(odbc_->Diagnostics().size(), 1u);
  EXPECT_EQ(odbc_->Diagnostics().front().native, 2013);
}

// An execution through the retry policy against a driver that always answers the same:
// the outcome, how often the statement was sent, how often a new connection was asked for,
// and the policy's own log line.
TEST_F(FakeDriverTest, ExecutionsComeToTheirOutcomeThroughTheRetryPolicy) {
  enum class Hook { None, Refuses, Connects };
  const struct {
    const char* name;
    const char* driver;
    const char* sql;
    SQLRETURN exec;
    std::vector<Diag> records;
    Hook hook;
    TSqlOutcome::TKind kind;
    size_t execs;
    int reconnects;
    const char* line;  // a log line the execution writes, or null
  } cases[] = {
      {"a query with its row", "Fake Driver", "SELECT col FROM t", SQL_SUCCESS, {}, Hook::None,
       TSqlOutcome::TKind::Row, 1, 0, nullptr},
      {"a conflict is sent again up to the bound", "MariaDB Unicode", "UPDATE t SET a = 1", SQL_ERROR,
       {{"40001", "Deadlock found when trying to get lock", 1213}}, Hook::None, TSqlOutcome::TKind::Conflict,
       TRetryPolicy::kConflictAttempts, 0,
       "Statement not applied after 8 conflicts with other writers (SQLSTATE 40001), given up: UPDATE t SET a = 1"},
      {"the server's conflict number counts only for the MySQL family", "Fake Driver", "UPDATE t SET a = 1",
       SQL_ERROR, {{"HY000", "deadlock", 1213}}, Hook::None, TSqlOutcome::TKind::Failed, 1, 0, nullptr},
      {"a lost link without a managed connection", "MariaDB Unicode", "SELECT col FROM t", SQL_ERROR,
       {{"HY000", "Lost connection to server during query", 2013}}, Hook::None, TSqlOutcome::TKind::LinkLost, 1, 0,
       nullptr},
      {"a lost link whose new connection is refused", "Fake Driver", "SELECT col FROM t", SQL_ERROR,
       {{"08S01", "Communication link failure"}}, Hook::Refuses, TSqlOutcome::TKind::LinkLost, 1, 1, nullptr},
      {"a lost link found again on every new connection", "Fake Driver", "SELECT col FROM t", SQL_ERROR,
       {{"08S01", "Communication link failure"}}, Hook::Connects, TSqlOutcome::TKind::LinkLost,
       1 + TRetryPolicy::kReconnects, TRetryPolicy::kReconnects, nullptr},
      {"an unguarded insert whose link is lost is not sent again", "Fake Driver", "INSERT INTO t VALUES (1)",
       SQL_ERROR, {{"08S01", "Communication link failure"}}, Hook::Connects, TSqlOutcome::TKind::LinkLost, 1, 0,
       "The connection was lost while this statement ran; it may have been applied and is not repeated: INSERT INTO "
       "t VALUES (1)"},
      {"any other error", "Fake Driver", "SELECT col FROM t", SQL_ERROR, {{"42S02", "no table"}}, Hook::Connects,
       TSqlOutcome::TKind::Failed, 1, 0, nullptr},
  };
  for (const auto& c : cases) {
    // A connection object of its own: the driver family, once found, stays with it.
    odbc_ = std::make_unique<TODBC>(TOdbcLibrary::FromEntryPoints(FakeApi()));
    odbc_->MessLog = log_.get();
    Connect(c.driver);
    script.exec = c.exec;
    script.statement = c.records;
    script.execThreads.clear();
    script.fetches = 0;
    int reconnects = 0;
    if (c.hook != Hook::None)
      odbc_->ReconnectHook = [&reconnects, &c](int) {
        ++reconnects;
        return c.hook == Hook::Connects;
      };
    const size_t mark = Text().size();
    TODBCStatement s(odbc_.get());
    const TSqlOutcome outcome = s.Execute(c.sql);
    EXPECT_EQ(outcome.kind(), c.kind) << c.name << ": " << outcome.ToString();
    EXPECT_EQ(script.execThreads.size(), c.execs) << c.name;
    EXPECT_EQ(reconnects, c.reconnects) << c.name;
    EXPECT_EQ(outcome.records().size(), c.records.size()) << c.name;
    EXPECT_EQ(odbc_->ConnectionDead(), c.kind == TSqlOutcome::TKind::LinkLost) << c.name;
    const std::string written = Text().substr(mark);
    // Only the policy's own line: the caller decides the rest.
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), c.line != nullptr ? 1 : 0) << c.name << "\n" << written;
    if (c.line != nullptr) {
      EXPECT_NE(written.find(c.line), std::string::npos) << c.name << "\n" << written;
    }
    odbc_->ReconnectHook = nullptr;
  }
}

}  // namespace
}  // namespace tarn::test
