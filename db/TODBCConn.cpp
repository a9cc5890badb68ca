#include "db/TODBCConn.h"

#include "log/TMessLog.h"
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

bool TODBCConn::Connect() {
  std::lock_guard<std::mutex> guard(lock_);
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
    bool fresh = !wasConnected;
    if (wasConnected && ODBC->IsConnectionDead()) {
      LogLine("ODBC Connection 'Dead'!");
      status::TStatusStore::Instance().DatabaseConnected(false, "ODBC connection lost");
      try {
        Disconnect();
      } catch (...) {
      }
      EnsureODBC();
      wasConnected = false;
      fresh = true;
    }
    result = wasConnected;
    if (!wasConnected) {
      try {
        result = OpenConnection(!iniFileName_.empty(), "", "");
      } catch (...) {
        LogLine("Exception: ODBC Connect!");
        result = false;
      }
    }
    if (ODBC != nullptr && ODBC->Connected() && fresh) LogLine("Connected to DataSource!");
    if (!result) {
      LogLine("Could not connect to DataSource, check your setup...");
      Disconnect();
    }
  } catch (...) {
    LogLine("EXCEPTION: ConnectToODBC!");
    result = ODBC != nullptr && ODBC->Connected();
  }
  status::TStatusStore::Instance().DatabaseConnected(result, result ? "" : "Could not connect to DataSource");
  return result;
}

bool TODBCConn::OpenConnection(bool readIniFile, const std::string& section,
                               const std::string& database) {
  if (readIniFile) ReadIniParams(iniFileName_, section);
  if (!database.empty()) DataBase = database;
  EnsureODBC();
  bool ok = false;
  if (ODBC != nullptr) {
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
    const bool reachable = !Ping || Ping(ServerHost, pingTimeout_, MessLog);
    try {
      if (reachable)
        ok = ODBC->ConnectToDataSource(DataSource, User, Password, DataBase, Driver, Custom);
    } catch (...) {
      ODBC->BindColumns = true;
      if (MessLog != nullptr) ODBC->ReportErrors = true;
      Disconnect();
      throw;
    }
    ODBC->BindColumns = true;
    if (MessLog != nullptr) ODBC->ReportErrors = true;
  }
  if (!ok) Disconnect();
  return ok;
}

void TODBCConn::Disconnect() {
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
