#include "db/TODBC.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "metrics/Metrics.h"
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

}  // namespace

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
  if (env_ == SQL_NULL_HENV || !Loaded()) return;
  LogDiagnostics(Api().SQLFreeHandle(SQL_HANDLE_ENV, env_));
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
  connectionDead_ = false;
  answeredAt_ = 0;
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
  worker_.Stop();
  if (connected_) {
    try {
      EndTransaction(true);
      LogDiagnostics(Api().SQLDisconnect(dbc_));
      LogDiagnostics(Api().SQLFreeHandle(SQL_HANDLE_DBC, dbc_));
    } catch (const std::exception& e) {
      if (MessLog != nullptr) MessLog->Log(std::string("EXCEPTION: DisconnectFromDataSource ") + e.what());
    } catch (...) {
      if (MessLog != nullptr) MessLog->Log("EXCEPTION: DisconnectFromDataSource unknown error");
    }
  }
  dbc_ = SQL_NULL_HDBC;
  connected_ = false;
  connectionDead_ = false;
  answeredAt_ = 0;
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
  answeredAt_ = 0;
}

void TODBC::NoteAnswer() { answeredAt_.store(std::max<uint64_t>(platform::TickMs(), 1), std::memory_order_relaxed); }

bool TODBC::AnsweredWithin(uint64_t ms) const {
  const uint64_t at = answeredAt_.load(std::memory_order_relaxed);
  return at != 0 && platform::TickMs() - at < ms;
}

bool TODBC::RunOnWorker(const std::function<void()>& job, bool timed) {
  const auto began = std::chrono::steady_clock::now();
  if (!worker_.Run(job)) return false;
  if (timed)
    metrics::ReportStatementTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  return true;
}

bool TODBC::EndTransaction(bool commit) {
  if (!connected_) return true;
  try {
    return SqlSucceeded(
        Api().SQLEndTran(SQL_HANDLE_DBC, dbc_, commit ? SQL_COMMIT : SQL_ROLLBACK));
  } catch (...) {
    return false;
  }
}

bool TODBC::IsConnectionDead() {
  if (connectionDead_) return true;
  if (dbc_ == SQL_NULL_HDBC || !Loaded()) return false;
  SQLUINTEGER value = SQL_CD_FALSE;
  // The MySQL-family driver answers this by pinging the server.
  if (family_ == dfMySQL) CountRoundTrip();
  const SQLRETURN code = Api().SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &value,
                                                 sizeof(value), nullptr);
  if (!SqlSucceeded(code)) {
    // The probe itself can be what finds the link gone (08S01): its records are looked at
    // (and written when there is a log), so that the loss is reported by this call.
    LogDiagnostics(code);
    return connectionDead_;
  }
  return value == SQL_CD_TRUE;
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
