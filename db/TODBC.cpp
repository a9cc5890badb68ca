#include "db/TODBC.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/OutageBoard.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "metrics/Metrics.h"
#include "metrics/StatusStore.h"
#include "platform/IniFile.h"
#include "platform/Tick.h"
#include "util/Strings.h"

namespace tarn {

namespace {

constexpr std::array<const char*, 8> kLossStates = {"08001", "08002", "08003", "08004",
                                                    "08005", "08006", "08007", "08S01"};
constexpr const char* kLossText = "UNABLE TO COMPLETE NETWORK REQUEST TO HOST";

SQLCHAR* Text(const std::string& s) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A connect-string value as it may stand: braced when it holds a separator or a brace (a
// closing brace inside doubled), so that a password such as p;w{d} stays one value.
std::string ConnectValue(const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos && value.front() != ' ' && value.back() != ' ')
    return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

// Appends key=value when the value is not empty.
void AddPair(std::string& s, const std::string& key, const std::string& value) {
  if (value.empty()) return;
  if (!s.empty()) s += ';';
  s += key + "=" + ConnectValue(value);
}

// Without them the driver of the MySQL family waits for ever for a server that stops
// answering in the middle of a statement (the caller gives the call up after its bound, but
// the worker stays inside the driver until it ends). Set unless the options or the data
// source set their own.
void AddDriverTimeouts(std::string& s, const std::string& options, const std::string& dataSource) {
  for (const auto& [key, value] : {std::pair<const char*, int>{"READ_TIMEOUT", TODBC::kDriverReadTimeoutS},
                                   std::pair<const char*, int>{"WRITE_TIMEOUT", TODBC::kDriverWriteTimeoutS}}) {
    if (ContainsText(options, std::string(key) + "=")) continue;
    if (!dataSource.empty() && !Trim(TODBC::DataSourceValue(dataSource, key)).empty()) continue;
    AddPair(s, key, std::to_string(value));
  }
}

// A driver that runs in the process: nothing between it and its data can stop answering.
bool InProcessDriver(const std::string& text) { return ContainsText(text, "sqlite"); }

}  // namespace

// The environment handle and the driver manager it belongs to; freed when the TODBC and
// every worker given up on one of its connections have let it go.
struct TODBC::TEnvHold {
  std::shared_ptr<TOdbcLibrary> library;
  SQLHENV env = SQL_NULL_HENV;
  TEnvHold(std::shared_ptr<TOdbcLibrary> lib, SQLHENV handle) : library(std::move(lib)), env(handle) {}
  ~TEnvHold() { library->Api().SQLFreeHandle(SQL_HANDLE_ENV, env); }
  TEnvHold(const TEnvHold&) = delete;
  TEnvHold& operator=(const TEnvHold&) = delete;
};

TODBC::TODBC() : guard_(std::make_shared<TWriteGuard>(*this)) {
  if (LoadODBC()) AllocateEnvironment();
}

TODBC::TODBC(std::unique_ptr<TOdbcLibrary> library)
    : library_(std::move(library)), guard_(std::make_shared<TWriteGuard>(*this)) {
  if (library_ != nullptr) AllocateEnvironment();
}

void TODBC::AllocateEnvironment() {
  SQLHANDLE env = SQL_NULL_HANDLE;
  if (SqlSucceeded(Api().SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
    env_ = env;
    envHold_ = std::make_shared<TEnvHold>(library_, env_);
    Api().SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION,
                        reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(SQL_OV_ODBC3)), 0);
  }
}

TODBC::~TODBC() {
  DisconnectFromDataSource();
  worker_.Stop();
  InvalidateStatements();
  FreeEnvironment();
  library_.reset();
}

bool TODBC::LoadODBC() {
  if (library_ != nullptr) return true;
  library_ = TOdbcLibrary::Load();
  return library_ != nullptr;
}

void TODBC::FreeEnvironment() {
  // A worker given up on one of this environment's connections may still hold it: the last
  // holder frees it.
  envHold_.reset();
  env_ = SQL_NULL_HENV;
}

TDriverFamily TODBC::FamilyOf(const std::string& text) {
  // MariaDB speaks MySQL's dialect (backslash escapes included), so its drivers count as
  // MySQL ones.
  static const std::array<std::pair<const char*, TDriverFamily>, 11> table = {{
      {"oracle", dfOracle},
      {"firebird", dfFirebird},
      {"mysql", dfMySQL},
      {"mariadb", dfMySQL},
      {"sql server", dfSQLServer},
      {"sql native client", dfSQLServer},
      {"codebase", dfCodebase},
      {"foxpro", dfFoxPro},
      {"dbf", dfFoxPro},
      {"access", dfAccess},
      {"excel", dfExcel},
  }};
  const std::string lower = LowerCase(text);
  for (const auto& [sub, family] : table)
    if (lower.find(sub) != std::string::npos) return family;
  return dfUnknown;
}

void TODBC::DetectDriverFamily(const std::string& text) {
  const TDriverFamily family = FamilyOf(text);
  if (family != dfUnknown) family_ = family;
}

std::string TODBC::ReadFileDSN(const std::string& fileName) {
  std::string s;
  platform::TIniFile ini(fileName);
  for (const auto& [key, raw] : ini.ReadSectionValues("ODBC")) {
    std::string value = raw;
    if (value.find(' ') != std::string::npos && UpperCase(key) == "DRIVER")
      value = "{" + value + "}";
    if (!s.empty()) s += ';';
    s += key + "=" + value;
  }
  return s;
}

std::string TODBC::BuildConnectString(const std::string& dataSource, const std::string& user,
                                      const std::string& password, const std::string& database,
                                      const std::string& driver, const std::string& options,
                                      TDriverFamily family) {
  std::string s;
  if (IsFile(dataSource)) s = ReadFileDSN(dataSource);
  if (s.empty()) {
    AddPair(s, "DSN", dataSource);
    if (!s.empty()) s += ';';
    s += "DRIVER={" + driver + "}";
    const char* key = "Database";
    if (family == dfOracle || family == dfCodebase)
      key = "DBQ";
    else if (family == dfFoxPro)
      key = "SourceDB";
    AddPair(s, key, database);
  }
  AddPair(s, "UID", user);
  AddPair(s, "PWD", password);
  if (!options.empty()) {
    if (!s.empty()) s += ';';
    s += options;
  }
  // MySQL servers count only the rows an UPDATE changed; an UPDATE that matched a row but
  // left it as it was would then read as "no row" and make callers insert a duplicate.
  // Ask for matched rows (found-rows flag) unless the options choose their own flags.
  if (family == dfMySQL && !ContainsText(options, "OPTION=")) AddPair(s, "OPTION", "2");
  // The driver of the MySQL family ignores the login time-out attribute: a server that
  // accepts and never answers would hold the attempt for ever. Its own key bounds it.
  if (family == dfMySQL && !ContainsText(options, "CONN_TIMEOUT=")) AddPair(s, "CONN_TIMEOUT", "5");
  if (family == dfMySQL) AddDriverTimeouts(s, options, "");
  return s;
}

std::string TODBC::DataSourceValue(const std::string& name, const std::string& key) {
  std::vector<std::string> files;
  if (const char* user = std::getenv("ODBCINI"); user != nullptr && *user != 0)
    files.emplace_back(user);
  else if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0)
    files.push_back(std::string(home) + "/.odbc.ini");
  if (const char* sys = std::getenv("ODBCSYSINI"); sys != nullptr && *sys != 0)
    files.push_back(std::string(sys) + "/odbc.ini");
  else
    files.emplace_back("/etc/odbc.ini");
  for (const std::string& file : files) {
    if (!IsFile(file)) continue;
    platform::TIniFile ini(file);
    if (ini.SectionExists(name)) return ini.ReadString(name, key, "");
  }
  return "";
}

std::string TODBC::BuildDataSourceConnectString(const std::string& dataSource, const std::string& user,
                                                const std::string& password, const std::string& options) {
  std::string s;
  AddPair(s, "DSN", dataSource);
  AddPair(s, "UID", user);
  AddPair(s, "PWD", password);
  if (!options.empty()) {
    if (!s.empty()) s += ';';
    s += options;
  }
  if (!ContainsText(options, "OPTION=")) {
    // Keep the data source's own flags and add the matched-rows one.
    const int flags = StrToIntDef(Trim(DataSourceValue(dataSource, "OPTION")), 0);
    AddPair(s, "OPTION", std::to_string(flags | kFoundRowsFlag));
  }
  if (!ContainsText(options, "CONN_TIMEOUT=") && Trim(DataSourceValue(dataSource, "CONN_TIMEOUT")).empty())
    AddPair(s, "CONN_TIMEOUT", "5");
  AddDriverTimeouts(s, options, dataSource);
  return s;
}

bool TODBC::ConnectToDataSource(const std::string& dataSource, const std::string& user,
                                const std::string& password, const std::string& database,
                                const std::string& driver, const std::string& options) {
  if (connected_) return true;
  if (!Loaded() || !HasEnvironment())
    throw EODBCError("the ODBC driver manager is not available");
  const TOdbcEntryPoints& api = Api();

  SQLHANDLE dbc = SQL_NULL_HANDLE;
  if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc))) return false;
  dbc_ = dbc;

  LogDiagnostics(api.SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                                    reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(5)), 0));
  DetectDriverFamily(driver);
  if (!database.empty() && family_ != dfCodebase)
    LogDiagnostics(api.SQLSetConnectAttr(dbc_, SQL_ATTR_CURRENT_CATALOG, Text(database), SQL_NTS));
  api.SQLSetConnectAttr(dbc_, SQL_ATTR_METADATA_ID,
                        reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(SQL_FALSE)), 0);
  LogDiagnostics(api.SQLSetConnectAttr(
      dbc_, SQL_ATTR_ODBC_CURSORS,
      reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(SQL_CUR_USE_IF_NEEDED)), 0));

  SQLRETURN code = SQL_ERROR;
  // A data source of the MySQL family is reached with a connect string too: only that way
  // can the matched-rows flag be added to it (SQLConnect takes the entry as it is).
  std::string dsnDriver = dataSource;
  if (!dataSource.empty() && !IsFile(dataSource)) FindDataSourceDriver(dsnDriver);
  const bool mysqlSource = !dataSource.empty() && !IsFile(dataSource) &&
                           (FamilyOf(dsnDriver) == dfMySQL ||
                            FamilyOf(DataSourceValue(dataSource, "Driver")) == dfMySQL);
  if (!dataSource.empty() && !mysqlSource)
    code = api.SQLConnect(dbc_, Text(dataSource), SQL_NTS, Text(user), SQL_NTS, Text(password),
                          SQL_NTS);
  if (SqlSucceeded(code)) {
    connectionInfo_ = dataSource;
    FindDataSourceDriver(connectionInfo_);
  } else {
    if (mysqlSource) family_ = dfMySQL;
    const std::string s = mysqlSource
                              ? BuildDataSourceConnectString(dataSource, user, password, options)
                              : BuildConnectString(dataSource, user, password, database, driver, options, family_);
    std::array<SQLCHAR, 1024> out{};
    SQLSMALLINT outLength = 0;
    code = api.SQLDriverConnect(dbc_, nullptr, Text(s), SQL_NTS, out.data(), 1023, &outLength,
                                SQL_DRIVER_NOPROMPT);
    if (SqlSucceeded(code)) {
      const size_t n = std::min<size_t>(std::max<SQLSMALLINT>(outLength, 0), 1023);
      connectionInfo_.assign(reinterpret_cast<const char*>(out.data()),
                             strnlen(reinterpret_cast<const char*>(out.data()), n));
    }
  }
  if (!SqlSucceeded(code)) {
    family_ = dfUnknown;
    LogDiagnostics(code);
    FreeConnectionHandle();
    return false;
  }
  DetectDriverFamily(connectionInfo_);
  inProcess_ = InProcessDriver(driver) || InProcessDriver(dsnDriver) || InProcessDriver(connectionInfo_);
  connectionDead_ = false;
  aliveCheckedAt_ = 0;
  gaveUp_ = false;
  connected_ = true;
  return true;
}

void TODBC::FindDataSourceDriver(std::string& name) {
  if (!Loaded() || !HasEnvironment()) return;
  std::array<SQLCHAR, 255> dsn{};
  std::array<SQLCHAR, 255> description{};
  SQLSMALLINT dsnLength = 0;
  SQLSMALLINT descriptionLength = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  while (SqlSucceeded(Api().SQLDataSources(env_, direction, dsn.data(), dsn.size(), &dsnLength,
                                           description.data(), description.size(),
                                           &descriptionLength))) {
    direction = SQL_FETCH_NEXT;
    if (name == reinterpret_cast<const char*>(dsn.data())) {
      name = reinterpret_cast<const char*>(description.data());
      return;
    }
  }
}

void TODBC::FreeConnectionHandle() {
  if (dbc_ != SQL_NULL_HDBC && Loaded()) Api().SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
  dbc_ = SQL_NULL_HDBC;
}

void TODBC::InvalidateStatements() {
  // Each invalidation clears its own slot; copy first so the walk is not disturbed.
  std::vector<TODBCStatement*> open = statements_;
  for (TODBCStatement* stmt : open)
    if (stmt != nullptr) stmt->Invalidate();
  statements_.clear();
}

void TODBC::DisconnectFromDataSource() {
  InvalidateStatements();
  if (connected_) {
    try {
      // The commit waits on the server: it runs on the worker like every such call.
      struct TClose {
        SQLRETURN disconnect = SQL_ERROR;
      };
      auto close = std::make_shared<TClose>();
      const auto job = [library = library_, dbc = dbc_, close] {
        library->Api().SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
        close->disconnect = library->Api().SQLDisconnect(dbc);
      };
      switch (RunOnWorker(job, TCall{"Closing the connection", {}, WaitBoundMs(TWaitKind::Close), false})) {
        case TRun::Done:
          LogDiagnostics(close->disconnect);
          LogDiagnostics(Api().SQLFreeHandle(SQL_HANDLE_DBC, dbc_));
          break;
        case TRun::NoThread:
          job();
          LogDiagnostics(close->disconnect);
          LogDiagnostics(Api().SQLFreeHandle(SQL_HANDLE_DBC, dbc_));
          break;
        case TRun::Abandoned:
          break;  // the worker has the handle and frees it
      }
    } catch (const std::exception& e) {
      if (MessLog != nullptr) MessLog->Log(std::string("EXCEPTION: DisconnectFromDataSource ") + e.what());
    } catch (...) {
      if (MessLog != nullptr) MessLog->Log("EXCEPTION: DisconnectFromDataSource unknown error");
    }
  }
  worker_.Stop();
  dbc_ = SQL_NULL_HDBC;
  connected_ = false;
  connectionDead_ = false;
}

void TODBC::DropConnectionKeepingStatements() {
  for (TODBCStatement* stmt : statements_)
    if (stmt != nullptr) stmt->Detach();
  worker_.Stop();
  if (connected_ && Loaded()) {
    // The link is gone: nothing to commit; the handles are freed on this side.
    Api().SQLDisconnect(dbc_);
    Api().SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
  }
  dbc_ = SQL_NULL_HDBC;
  connected_ = false;
  connectionDead_ = false;
}

int TODBC::WaitBoundMs(TWaitKind kind) const {
  if (inProcess_) return -1;
  if (KnownSilent()) return kAwayWaitMs;
  switch (kind) {
    case TWaitKind::Statement: return StatementWaitMs;
    case TWaitKind::Check: return CheckWaitMs;
    case TWaitKind::Close: return kCloseWaitMs;
  }
  return StatementWaitMs;
}

bool TODBC::KnownSilent() const {
  return !OutageKey.empty() && TOutageBoard::Instance().Away(OutageKey) == TAway::Silent;
}

TODBC::TRun TODBC::RunOnWorker(std::function<void()> job, const TCall& call) {
  const auto began = std::chrono::steady_clock::now();
  switch (worker_.Run(std::move(job), call.waitMs)) {
    case TWorkerWait::NoThread:
      return TRun::NoThread;
    case TWorkerWait::TimedOut:
      GiveUp(call);
      return TRun::Abandoned;
    case TWorkerWait::Done:
      break;
  }
  if (call.timed)
    metrics::ReportStatementTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  return TRun::Done;
}

void TODBC::GiveUp(const TCall& call) {
  // The stuck call still uses the connection and may use any statement of it: all of them go
  // with the worker, and nothing here touches them again.
  std::vector<SQLHSTMT> handles;
  for (TODBCStatement* stmt : statements_)
    if (stmt != nullptr)
      if (const SQLHSTMT h = stmt->ReleaseHandle(); h != SQL_NULL_HSTMT) handles.push_back(h);
  const bool connected = connected_;
  worker_.Abandon([library = library_, env = envHold_, dbc = dbc_, handles = std::move(handles), connected] {
    const TOdbcEntryPoints& api = library->Api();
    for (SQLHSTMT h : handles) api.SQLFreeHandle(SQL_HANDLE_STMT, h);
    if (dbc == SQL_NULL_HDBC) return;
    if (connected) api.SQLDisconnect(dbc);
    api.SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  });
  dbc_ = SQL_NULL_HDBC;
  connected_ = false;
  connectionDead_ = true;
  gaveUp_ = true;
  char waited[32];
  std::snprintf(waited, sizeof(waited), "%.1f", call.waitMs / 1000.0);
  std::string line = std::string(call.what) + " abandoned after " + waited + " s without an answer from the database";
  if (!call.sql.empty()) line += ": " + TODBCStatement::Shown(std::string(call.sql));
  if (MessLog != nullptr) MessLog->Log(line);
  metrics::Report(metrics::TEvent::SqlAbandoned);
  metrics::TStatusStore::Instance().DatabaseConnected(false, "The database did not answer: connection given up");
}

bool TODBC::EndTransaction(bool commit) {
  if (!connected_) return true;
  try {
    auto code = std::make_shared<SQLRETURN>(SQL_ERROR);
    const auto job = [library = library_, dbc = dbc_, commit, code] {
      *code = library->Api().SQLEndTran(SQL_HANDLE_DBC, dbc, commit ? SQL_COMMIT : SQL_ROLLBACK);
    };
    switch (RunOnWorker(job, TCall{commit ? "Commit" : "Rollback", {}, WaitBoundMs(TWaitKind::Statement), false})) {
      case TRun::Done: break;
      case TRun::NoThread: job(); break;
      case TRun::Abandoned: return false;
    }
    return SqlSucceeded(*code);
  } catch (...) {
    return false;
  }
}

bool TODBC::IsConnectionDead() {
  if (connectionDead_) return true;
  if (dbc_ == SQL_NULL_HDBC || !Loaded()) return false;
  const uint64_t now = platform::TickMs();
  if (family_ == dfMySQL && aliveCheckedAt_ != 0 && now - aliveCheckedAt_ < kAliveCheckKeepsMs && !KnownSilent())
    return false;
  aliveCheckedAt_ = 0;
  struct TProbe {
    SQLRETURN code = SQL_ERROR;
    SQLUINTEGER value = SQL_CD_FALSE;
  };
  auto probe = std::make_shared<TProbe>();
  // The MySQL family's driver asks the server (a ping): the check waits on it like a statement.
  if (family_ == dfMySQL) CountRoundTrip();
  const auto job = [library = library_, dbc = dbc_, probe] {
    probe->code =
        library->Api().SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &probe->value, sizeof(probe->value), nullptr);
  };
  switch (RunOnWorker(job, TCall{"Connection check", {}, WaitBoundMs(TWaitKind::Check), false})) {
    case TRun::Done: break;
    case TRun::NoThread: job(); break;
    case TRun::Abandoned: return true;
  }
  if (!SqlSucceeded(probe->code)) {
    // The probe itself can be what finds the link gone (08S01): its records are looked at
    // (and written when there is a log), so that the loss is reported by this call.
    LogDiagnostics(probe->code);
    return connectionDead_;
  }
  if (probe->value == SQL_CD_TRUE) return true;
  aliveCheckedAt_ = now;
  return false;
}

void TODBC::LogDiagnostics(SQLRETURN code) {
  if (SqlSucceeded(code)) return;
  LogDiagRecords(Diagnostics());
}

std::vector<TDiagRecord> TODBC::Diagnostics() const {
  if (dbc_ == SQL_NULL_HDBC || !Loaded()) return {};
  return ReadDiagRecords(Api(), SQL_HANDLE_DBC, dbc_);
}

void TODBC::LogDiagRecords(const std::vector<TDiagRecord>& records) {
  for (const TDiagRecord& record : records) {
    const std::string text = record.LogText();
    CheckConnectionLoss(record.state, text);
    if (record.state == "IM001") return;
    if (MessLog != nullptr) MessLog->Log(text);
  }
}

void TODBC::CheckConnectionLoss(const std::string& state, const std::string& text) {
  if (connectionDead_) return;
  for (const char* loss : kLossStates)
    if (state == loss) {
      connectionDead_ = true;
      return;
    }
  if (UpperCase(text).find(kLossText) != std::string::npos) connectionDead_ = true;
}

size_t TODBC::StatementCount() const {
  return static_cast<size_t>(
      std::count_if(statements_.begin(), statements_.end(), [](auto* s) { return s != nullptr; }));
}

void TODBC::RegisterStatement(TODBCStatement* stmt) {
  for (auto* slot : statements_)
    if (slot == stmt) return;
  for (auto& slot : statements_)
    if (slot == nullptr) {
      slot = stmt;
      return;
    }
  statements_.push_back(stmt);
}

void TODBC::UnregisterStatement(TODBCStatement* stmt) {
  for (auto& slot : statements_)
    if (slot == stmt) slot = nullptr;
}

}  // namespace tarn
