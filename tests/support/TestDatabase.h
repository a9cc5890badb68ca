#pragma once
// TestDatabase: a fresh database with the reference schema for one test, on either backend:
//   SQLite  - a file under the build folder, reached through the "SQLite3" ODBC driver with
//             LoadExt= the built tarncard_sqlite.so (now(), curdate());
//   MariaDB - CREATE DATABASE <prefix>_<name> on 127.0.0.1:$TARNCARD_TEST_MARIADB_PORT as
//             tarn/tarn through the "MariaDB Unicode" driver (skipped when the variable is
//             unset).
// The connection parameters are exposed as the registry would hold them, so tests can write
// registry files; Exec() runs fixture SQL; ODBC()/Conn() give a connected TODBC and the
// managed connection around it; the message log of the fixture lives under the build folder.
//
// One test body on both databases:
//   class MyTest : public tarn::test::BackendTest {};
//   TEST_P(MyTest, Something) { ASSERT_TRUE(Db().Exec("insert into lot (id) values (1)")); ... }
//   INSTANTIATE_TEST_SUITE_P(Backends, MyTest, TARN_BACKENDS);
// BackendTest::SetUp skips MariaDB when no server is configured and creates the database
// named after the test ("tarn_test" prefix unless the fixture class overrides Prefix()).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"

namespace tarn::test {

enum class Backend { SQLite, MariaDB };

std::string BackendName(Backend backend);

// The connection values of the registry (Part of the service parameters): DSNName, Host,
// Database, User, Pass, ODBCDriver, and the connect options already expanded.
struct ConnectionParams {
  std::string DSNName;
  std::string Host;
  std::string Database;
  std::string User;
  std::string Password;
  std::string Driver;
  std::string ConnectOptions;
};

// Folder for test outputs under the build folder (created on demand).
std::string TestOutputDir(const std::string& sub);
// The MariaDB test port from $TARNCARD_TEST_MARIADB_PORT; 0 when unset.
int MariaDBTestPort();
std::string SQLiteExtensionPath();
std::string SchemaPath(Backend backend);
// The SQL statements of a schema file (split at ';' ending a line, comments dropped).
std::vector<std::string> ReadSqlScript(const std::string& path);
// True when the log text holds a diagnostic line "<message>. State:  XXXXX" (five letters or
// digits, then the line end), optionally one whose message contains `inMessage`.
bool HasDiagnosticLine(const std::string& logText, const std::string& inMessage = "");

class TestDatabase {
 public:
  // `name` is made safe for a database name (letters, digits, '_', lower case).
  TestDatabase(Backend backend, const std::string& prefix, const std::string& name);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // Creates the empty database, connects and loads `schemaFile` (the reference schema when
  // empty; "-" for none). False with `error` set when anything fails.
  bool Create(std::string* error, const std::string& schemaFile = "");
  // Runs one statement; false when it fails (its diagnostics go to the fixture log).
  bool Exec(const std::string& sql);
  // Runs every statement of a script file; false at the first failure.
  bool ExecScript(const std::string& path);
  // First column of the first row of a query, as text ("" when no row).
  std::string QueryText(const std::string& sql);
  // First column of the first row as a whole number; nothing when the query fails, finds no
  // row, or the value is NULL or not a whole number. Checks compare against it directly
  // (EXPECT_EQ(Db().QueryNumber(sql), 0)), so a failed query never reads as a zero.
  std::optional<int64_t> QueryNumber(const std::string& sql);

  Backend backend() const { return backend_; }
  const ConnectionParams& Params() const { return params_; }
  const std::string& DatabaseName() const { return dbName_; }
  TODBC& ODBC() { return *odbc_; }
  TODBCConn& Conn() { return *conn_; }
  TMessLog& Log() { return *log_; }
  const std::string& LogPath() const { return logPath_; }
  // The message log's text so far (flushes first).
  std::string LogText();

 private:
  bool CreateMariaDB(std::string* error);

  Backend backend_;
  bool created_ = false;  // a MariaDB database to drop at the end
  std::string dbName_;
  ConnectionParams params_;
  std::string logPath_;
  std::unique_ptr<TMessLog> log_;
  std::unique_ptr<TODBC> odbc_;
  std::unique_ptr<TODBCConn> conn_;
};

class BackendTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual std::string Prefix() const { return "tarn_test"; }
  // The schema to load ("" reference schema, "-" none).
  virtual std::string Schema() const { return ""; }
  TestDatabase& Db() { return *db_; }
  Backend backend() const { return GetParam(); }

 private:
  std::unique_ptr<TestDatabase> db_;
};

std::string BackendParamName(const ::testing::TestParamInfo<Backend>& info);

}  // namespace tarn::test

#define TARN_BACKENDS                                                                   \
  ::testing::Values(::tarn::test::Backend::SQLite, ::tarn::test::Backend::MariaDB), \
      ::tarn::test::BackendParamName
