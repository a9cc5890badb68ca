#include "db/TODBCConn.h"

#include <algorithm>
#include <chrono>

#include "log/TMessLog.h"
#include "platform/Tick.h"
#include "platform/IniFile.h"
#include "service/StatusStore.h"
#include "util/PingHost.h"

namespace tarn {

namespace {

std::unique_ptr<TODBC>& SharedSlot() {
  static std::unique_ptr<TODBC> shared;
  return shared;
}

}  // namespace

TODBC* SharedODBC() { return SharedSlot().get(); }

TODBCConn::TODBCConn(int32_t pingTimeout, const std::string& iniFileName)
    : Ping(PingHost), iniFileName_(iniFileName), pingTimeout_(pingTimeout) {}

TODBCConn::~TODBCConn() {
  // A running attempt uses the TODBC and the log: it ends before either may go.
  JoinAttempt();
  try {
    Disconnect();
  } catch (...) {
  }
}

void TODBCConn::LogLine(const std::string& text) {
  if (MessLog != nullptr) MessLog->Log(text);
}

void TODBCConn::SetLog(TMessLog* log) {
  MessLog = log;
  if (ODBC != nullptr && ODBC->MessLog == nullptr) ODBC->MessLog = log;
}

void TODBCConn::SetParams(const std::string& dataSource, const std::string& driver,
                          const std::string& database, const std::string& user,
                          const std::string& password, const std::string& custom) {
  DataSource = dataSource;
  Driver = driver;
  DataBase = database;
  User = user;
  Password = password;
  Custom = custom;
}

void TODBCConn::EnsureODBC() {
  if (ODBC != nullptr) return;
  if (SharedSlot() == nullptr) {
    ownsODBC_ = true;
    SharedSlot() = std::make_unique<TODBC>();
  }
  ODBC = SharedSlot().get();
}

uint64_t TODBCConn::BackOffMs(int slowFailures) {
  if (slowFailures <= 0) return 0;
  const int shift = std::min(slowFailures - 1, 4);
  return std::min<uint64_t>(2000ull << shift, 30000);
}

bool TODBCConn::AttemptPending() const { return attempt_.joinable() && !attemptDone_.load(); }

void TODBCConn::JoinAttempt() noexcept {
  if (attempt_.joinable()) attempt_.join();
  if (attemptOdbc_ != nullptr) attemptOdbc_->SetAttemptRunning(false);
  attemptOdbc_ = nullptr;
}

void TODBCConn::WaitForAttempt() {
  std::lock_guard<std::mutex> guard(lock_);
  if (attempt_.joinable()) FinishAttempt();
}

bool TODBCConn::Connect() {
  std::lock_guard<std::mutex> guard(lock_);
  // An attempt of an earlier call still owns the TODBC: no database work until it ends.
  if (AttemptPending()) return false;
  if (attempt_.joinable()) {
    try {
      return FinishAttempt();
    } catch (...) {
      LogLine("EXCEPTION: ConnectToODBC!");
      return ODBC != nullptr && ODBC->Connected();
    }
  }
  try {
    EnsureODBC();
  } catch (...) {
  }
  if (ODBC == nullptr) {
    LogLine("TODBC Could not be Created!");
    return false;
  }
  bool result = false;
  try {
    bool wasConnected = ODBC->Connected();
    if (wasConnected && ODBC->IsConnectionDead()) {
      LogLine("ODBC Connection 'Dead'!");
      status::TStatusStore::Instance().DatabaseConnected(false, "ODBC connection lost");
      try {
        Disconnect();
      } catch (...) {
      }
      EnsureODBC();
      wasConnected = false;
    }
    if (wasConnected) return true;
    // After attempts that hung, the next one waits for its turn.
    if (slowFailures_ > 0 && platform::TickMs() < nextAttemptAt_) return false;
    bool started = false;
    try {
      if (BeginAttempt(!iniFileName_.empty(), "", "")) {
        attemptDone_.store(false);
        attemptOk_ = false;
        attemptThrew_ = false;
        attemptStarted_ = platform::TickMs();
        attemptOdbc_ = ODBC;
        ODBC->SetAttemptRunning(true);
        attempt_ = std::thread([this, body = AttemptBody()] {
          bool ok = false;
          bool threw = false;
          try {
            ok = body();
          } catch (...) {
            threw = true;
          }
          {
            std::lock_guard<std::mutex> g(attemptMutex_);
            attemptOk_ = ok;
            attemptThrew_ = threw;
            attemptDone_.store(true);
          }
          attemptEnded_.notify_all();
        });
        started = true;
      }
    } catch (...) {
      LogLine("Exception: ODBC Connect!");
    }
    if (!started) {
      LogLine("Could not connect to DataSource, check your setup...");
      Disconnect();
      return false;
    }
    // Once attempts have hung, the owner's thread does not wait for the next ones.
    const int wait = slowFailures_ > 0 ? 0 : AttemptWaitMs;
    {
      std::unique_lock<std::mutex> g(attemptMutex_);
      if (wait < 0)
        attemptEnded_.wait(g, [this] { return attemptDone_.load(); });
      else
        attemptEnded_.wait_for(g, std::chrono::milliseconds(wait), [this] { return attemptDone_.load(); });
    }
    if (!attemptDone_.load()) return false;
    result = FinishAttempt();
  } catch (...) {
    LogLine("EXCEPTION: ConnectToODBC!");
    result = ODBC != nullptr && ODBC->Connected();
  }
  status::TStatusStore::Instance().DatabaseConnected(result, result ? "" : "Could not connect to DataSource");
  return result;
}

bool TODBCConn::FinishAttempt() {
  JoinAttempt();
  bool result = attemptOk_;
  if (attemptThrew_) {
    LogLine("Exception: ODBC Connect!");
    result = false;
  }
  result = EndAttempt(result);
  const uint64_t now = platform::TickMs();
  if (result) {
    slowFailures_ = 0;
  } else if (now - attemptStarted_ > static_cast<uint64_t>(std::max(AttemptWaitMs, 0))) {
    ++slowFailures_;
    nextAttemptAt_ = now + BackOffMs(slowFailures_);
  } else {
    slowFailures_ = 0;
  }
  if (ODBC != nullptr && ODBC->Connected()) LogLine("Connected to DataSource!");
  if (!result) {
    LogLine("Could not connect to DataSource, check your setup...");
    Disconnect();
  }
  return result;
}

bool TODBCConn::BeginAttempt(bool readIniFile, const std::string& section, const std::string& database) {
  if (readIniFile) ReadIniParams(iniFileName_, section);
  if (!database.empty()) DataBase = database;
  EnsureODBC();
  if (ODBC == nullptr) return false;
  if (MessLog != nullptr) {
    ODBC->ReportErrors = true;
    ODBC->MessLog = MessLog;
    if (!DataBase.empty())
      LogLine("Connecting to " + DataBase);
    else if (!User.empty())
      LogLine("Connecting as " + User);
  } else {
    ODBC->ReportErrors = false;
  }
  return true;
}

std::function<bool()> TODBCConn::AttemptBody() {
  // The attempt works on copies: the owner may set new parameters meanwhile.
  return [odbc = ODBC, ping = Ping, host = ServerHost, timeout = pingTimeout_, log = MessLog,
          dataSource = DataSource, user = User, password = Password, database = DataBase,
          driver = Driver, custom = Custom] {
    const bool reachable = !ping || ping(host, timeout, log);
    if (!reachable) return false;
    return odbc->ConnectToDataSource(dataSource, user, password, database, driver, custom);
  };
}

bool TODBCConn::EndAttempt(bool ok) {
  if (ODBC != nullptr) {
    ODBC->BindColumns = true;
    if (MessLog != nullptr) ODBC->ReportErrors = true;
  }
  if (!ok) Disconnect();
  return ok;
}

bool TODBCConn::OpenConnection(bool readIniFile, const std::string& section,
                               const std::string& database) {
  if (!BeginAttempt(readIniFile, section, database)) {
    Disconnect();
    return false;
  }
  bool ok = false;
  try {
    ok = AttemptBody()();
  } catch (...) {
    EndAttempt(false);
    throw;
  }
  return EndAttempt(ok);
}

void TODBCConn::Disconnect() {
  JoinAttempt();
  if (ODBC != nullptr) {
    ODBC->DisconnectFromDataSource();
    if (ODBC->Connected()) LogLine("Problem Disconnecting from the DataSource!");
  }
  if (ownsODBC_) {
    if (SharedSlot() != nullptr) {
      if (ODBC == SharedSlot().get()) ODBC = nullptr;
      SharedSlot().reset();
    }
    ownsODBC_ = false;
  }
}

void TODBCConn::ReadIniParams(const std::string& fileName, const std::string& section) {
  if (!fileName.empty()) iniFileName_ = fileName;
  const std::string name = section.empty() ? "ODBC" : section;
  platform::TIniFile ini(iniFileName_);
  DataSource = ini.ReadString(name, "Host", "");
  DataBase = ini.ReadString(name, "DataBase", "mobiledata");
  User = ini.ReadString(name, "User", "");
  Password = ini.ReadString(name, "Key", "");
  Driver = ini.ReadString(name, "Driver", "SQL Native Client");
  Custom = ini.ReadString(name, "Custom", "");
}

}  // namespace tarn
