#include "support/TestDatabase.h"

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "util/Strings.h"

namespace tarn::test {

namespace fs = std::filesystem;

std::string BackendName(Backend backend) {
  return backend == Backend::SQLite ? "SQLite" : "MariaDB";
}

std::string BackendParamName(const ::testing::TestParamInfo<Backend>& info) {
  return BackendName(info.param);
}

std::string TestOutputDir(const std::string& sub) {
  const fs::path dir = fs::path(TARNCARD_BINARY_DIR) / "test-output" / sub;
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir.string();
}

int MariaDBTestPort() {
  const char* port = std::getenv("TARNCARD_TEST_MARIADB_PORT");
  if (port == nullptr) return 0;
  return StrToIntDef(port, 0);
}

std::string SQLiteExtensionPath() {
  return (fs::path(TARNCARD_BINARY_DIR) / "tarncard_sqlite.so").string();
}

std::string SchemaPath(Backend backend) {
  return (fs::path(TARNCARD_SOURCE_DIR) / "schema" /
          (backend == Backend::SQLite ? "sqlite.sql" : "mariadb.sql"))
      .string();
}

std::vector<std::string> ReadSqlScript(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> statements;
  std::string line;
  std::string current;
  while (std::getline(in, line)) {
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed.rfind("--", 0) == 0) continue;
    if (!current.empty()) current += '\n';
    current += trimmed;
    if (trimmed.back() == ';') {
      current.pop_back();
      if (!Trim(current).empty()) statements.push_back(current);
      current.clear();
    }
  }
  if (!Trim(current).empty()) statements.push_back(current);
  return statements;
}

bool HasDiagnosticLine(const std::string& logText, const std::string& inMessage) {
  const std::string marker = ". State:  ";
  for (size_t at = logText.find(marker); at != std::string::npos; at = logText.find(marker, at + 1)) {
    const size_t state = at + marker.size();
    if (state + 7 > logText.size() || logText.compare(state + 5, 2, "\r\n") != 0) continue;
    bool ok = true;
    for (size_t i = state; i < state + 5; ++i)
      ok = ok && std::isalnum(static_cast<unsigned char>(logText[i]));
    if (!ok) continue;
    const size_t lineStart = logText.rfind('\n', at);
    const std::string line = logText.substr(lineStart == std::string::npos ? 0 : lineStart, at - lineStart);
    if (inMessage.empty() || line.find(inMessage) != std::string::npos) return true;
  }
  return false;
}

namespace {

std::string SafeName(const std::string& name) {
  std::string out;
  for (char c : LowerCase(name)) out += (std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
  return out;
}

}  // namespace

TestDatabase::TestDatabase(Backend backend, const std::string& prefix, const std::string& name)
    : backend_(backend), dbName_(SafeName(prefix + "_" + name)) {
  if (dbName_.size() > 60) dbName_ = dbName_.substr(0, 60);
  logPath_ = TestOutputDir("logs") + "/" + dbName_ + "_" + BackendName(backend) + ".log";
  std::error_code ec;
  fs::remove(logPath_, ec);
  log_ = std::make_unique<TMessLog>(logPath_, false, false, false, true);
  if (backend == Backend::SQLite) {
    const std::string file = TestOutputDir("sqlite") + "/" + dbName_ + ".db";
    fs::remove(file, ec);
    params_.Database = file;
    params_.Driver = "SQLite3";
    params_.ConnectOptions = "LoadExt=" + SQLiteExtensionPath() + ";Timeout=5000";
  } else {
    params_.Host = "127.0.0.1";
    params_.Database = dbName_;
    params_.User = "tarn";
    params_.Password = "tarn";
    params_.Driver = "MariaDB Unicode";
    params_.ConnectOptions = "SERVER=127.0.0.1;PORT=" + std::to_string(MariaDBTestPort());
  }
  odbc_ = std::make_unique<TODBC>();
  conn_ = std::make_unique<TODBCConn>(700, "");
  conn_->ODBC = odbc_.get();
  conn_->SetLog(log_.get());
  conn_->SetParams(params_.DSNName, params_.Driver, params_.Database, params_.User,
                   params_.Password, params_.ConnectOptions);
  conn_->ServerHost = params_.Host;
  // Tests run on a loaded machine: their connects are waited for to the end.
  conn_->AttemptWaitMs = -1;
}

TestDatabase::~TestDatabase() {
  conn_.reset();
  odbc_.reset();
  if (created_) {
    // The test's own connection may be gone by now: drop through a server connection.
    TODBC admin;
    if (admin.ConnectToDataSource("", params_.User, params_.Password, "", params_.Driver,
                                  params_.ConnectOptions)) {
      TODBCStatement drop(&admin);
      drop.DoSQL("DROP DATABASE IF EXISTS " + dbName_);
    }
  }
  log_.reset();
}

bool TestDatabase::CreateMariaDB(std::string* error) {
  if (MariaDBTestPort() == 0) {
    if (error) *error = "TARNCARD_TEST_MARIADB_PORT is not set";
    return false;
  }
  TODBC admin;
  admin.MessLog = log_.get();
  if (!admin.ConnectToDataSource("", params_.User, params_.Password, "", params_.Driver,
                                 params_.ConnectOptions)) {
    if (error) *error = "cannot reach the MariaDB test server: " + LogText();
    return false;
  }
  TODBCStatement stmt(&admin);
  if (!stmt.ExecSQL("DROP DATABASE IF EXISTS " + dbName_) ||
      !stmt.ExecSQL("CREATE DATABASE " + dbName_)) {
    if (error) *error = "cannot create database " + dbName_ + ": " + LogText();
    return false;
  }
  created_ = true;
  return true;
}

bool TestDatabase::Create(std::string* error, const std::string& schemaFile) {
  if (backend_ == Backend::MariaDB && !CreateMariaDB(error)) return false;
  if (!conn_->Connect()) {
    if (error) *error = "cannot connect: " + LogText();
    return false;
  }
  if (schemaFile == "-") return true;
  const std::string path = schemaFile.empty() ? SchemaPath(backend_) : schemaFile;
  if (!ExecScript(path)) {
    if (error) *error = "schema " + path + " failed: " + LogText();
    return false;
  }
  return true;
}

bool TestDatabase::Exec(const std::string& sql) {
  if (!conn_->Connect()) return false;
  TODBCStatement stmt(odbc_.get());
  return stmt.ExecSQL(sql);
}

bool TestDatabase::ExecScript(const std::string& path) {
  const auto statements = ReadSqlScript(path);
  if (statements.empty()) return false;
  for (const std::string& sql : statements)
    if (!Exec(sql)) return false;
  return true;
}

std::string TestDatabase::QueryText(const std::string& sql) {
  if (!conn_->Connect()) return "";
  TODBCStatement stmt(odbc_.get());
  if (!stmt.ExecSQL(sql)) return "";
  return stmt.FieldByIndexAsString(0);
}

std::optional<int64_t> TestDatabase::QueryNumber(const std::string& sql) {
  if (!conn_->Connect()) return std::nullopt;
  TODBCStatement stmt(odbc_.get());
  if (!stmt.ExecSQL(sql) || stmt.ColumnCount() < 1) return std::nullopt;
  const std::string text = stmt.FieldByIndexAsString(0);
  if (auto whole = TryStrToInt64(text)) return whole;
  // A driver may hand a whole number over as "12.0".
  const std::optional<double> value = TryStrToFloat(text);
  if (!value || *value != std::trunc(*value) || std::fabs(*value) > 9e15) return std::nullopt;
  return static_cast<int64_t>(*value);
}

std::string TestDatabase::LogText() {
  log_->Log("");
  std::ifstream in(logPath_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void BackendTest::SetUp() {
  if (GetParam() == Backend::MariaDB && MariaDBTestPort() == 0)
    GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  // Keep the suite prefix off ("Backends/...") and the backend suffix off the name.
  const std::string full = std::string(info->test_suite_name());
  std::string suite = full.substr(full.find('/') == std::string::npos ? 0 : full.find('/') + 1);
  std::string test = info->name();
  test = test.substr(0, test.find('/'));
  db_ = std::make_unique<TestDatabase>(GetParam(), Prefix(), suite + "_" + test);
  std::string error;
  ASSERT_TRUE(db_->Create(&error, Schema())) << error;
}

void BackendTest::TearDown() { db_.reset(); }

}  // namespace tarn::test
