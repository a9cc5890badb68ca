#pragma once
// TODBCConn: keeps one TODBC connected for its owner (the server, or one loop controller).
// It holds the connection parameters, writes the connection story to the owner's log, pings
// the database host before trying to connect, and on every Connect verifies that an existing
// connection is still alive, reconnecting in the same call when it was lost.
//
// Ownership: the owner normally attaches a TODBC of its own to `ODBC` and frees it itself.
// Without one, the process-wide SharedODBC is created on demand and owned (OwnsODBC) by the
// managed connection that created it, which frees it on Disconnect.
// Threads: Connect takes the object's lock for its whole run; everything else is called by
// the owner's thread.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "db/TODBC.h"

namespace tarn {

class TMessLog;

// The process-wide TODBC used by managed connections that have none attached; null until
// one is needed.
TODBC* SharedODBC();

class TODBCConn {
 public:
  TODBCConn(int32_t pingTimeout, const std::string& iniFileName);
  ~TODBCConn();
  TODBCConn(const TODBCConn&) = delete;
  TODBCConn& operator=(const TODBCConn&) = delete;

  void SetLog(TMessLog* log);
  void SetParams(const std::string& dataSource, const std::string& driver,
                 const std::string& database, const std::string& user,
                 const std::string& password, const std::string& custom);
  // Connected and alive after the call. Never throws.
  bool Connect();
  void Disconnect();
  // One connection attempt.
  bool OpenConnection(bool readIniFile, const std::string& section, const std::string& database);
  // Reads the parameters from an INI section ("ODBC" when empty).
  void ReadIniParams(const std::string& fileName, const std::string& section);
  void EnsureODBC();

  bool OwnsODBC() const { return ownsODBC_; }
  int32_t PingTimeout() const { return pingTimeout_; }
  const std::string& IniFileName() const { return iniFileName_; }

  std::string DataSource;
  std::string DataBase;
  std::string User;
  std::string Password;
  std::string Driver;
  std::string Custom;
  TMessLog* MessLog = nullptr;  // not owned
  TODBC* ODBC = nullptr;        // owned only when OwnsODBC()
  std::string ServerHost;

  // The reachability check used before each attempt; PingHost unless a test replaces it.
  std::function<bool(const std::string& host, int timeoutMs, TMessLog* log)> Ping;

 private:
  void LogLine(const std::string& text);

  std::mutex lock_;
  std::string iniFileName_;
  bool ownsODBC_ = false;
  int32_t pingTimeout_;
};

}  // namespace tarn
