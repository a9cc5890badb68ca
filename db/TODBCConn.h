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
// the owner's thread. A connection attempt (ping and driver connect) runs on a thread of its
// own, so a database host that hangs never holds the owner's thread for longer than
// AttemptWaitMs: Connect waits that long for the attempt and otherwise answers false at
// once and collects the attempt's outcome in a later call. After an attempt that outlasted
// the wait and failed, the next one starts only after a back-off (2 s doubling to 30 s) and
// is not waited for. While an attempt runs, the TODBC is left to it: Connect answers false
// and nothing else may use the TODBC (no statement exists on an unconnected TODBC).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "db/TODBC.h"

namespace tarn {

class TMessLog;

// The process-wide TODBC used by managed connections that have none attached; null until
// one is needed.
TODBC* SharedODBC();

// The reachability check with its lines ("Pinging - ...", "Ping OK") written to `log` when given.
bool PingHostLogged(const std::string& host, int timeoutMs, TMessLog* log);

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

  // An attempt started by an earlier Connect is still running.
  bool AttemptPending() const;
  // Ends (joins) a running attempt and takes its outcome, as the next Connect would.
  void WaitForAttempt();

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

  // The reachability check used before each attempt; PingHostLogged unless a test replaces it.
  std::function<bool(const std::string& host, int timeoutMs, TMessLog* log)> Ping;
  // How long Connect waits for an attempt it starts; a negative value waits for its end.
  static constexpr int kAttemptWaitMs = 500;
  int AttemptWaitMs = kAttemptWaitMs;
  // Pause after the n-th attempt in a row that outlasted the wait and failed.
  static uint64_t BackOffMs(int slowFailures);
  // How long a statement that found the link lost (through TODBC::ReconnectHook), or a
  // Connect that found the connection lost, waits for the new connection before it fails as
  // in an outage.
  static constexpr int kReconnectWaitMs = 4000;
  int ReconnectWaitMs = kReconnectWaitMs;
  // An open connection whose server answered less than this long ago (ms) is taken as alive
  // without asking the driver (which, on the MySQL family, pings the server: one round trip
  // before every card read). A link lost since then is met by the next statement, which
  // connects again within itself (TODBC::ReconnectHook) and runs again, a write exactly once.
  // 0 (the default): ask every time.
  uint64_t TrustAnswerMs = 0;
  // The value the loops use: a read every few seconds at a busy lane skips the ping.
  static constexpr uint64_t kTrustAnswerMs = 5000;
  // The entry of a host list ("Host" with commas) the next attempt begins with; the one of
  // the current connection while connected.
  size_t NextHost() const { return nextHost_; }

 private:
  void LogLine(const std::string& text);
  // The parts of one attempt: set-up on the owner's thread, ping and driver connect (on the
  // attempt thread), the outcome on the owner's thread again.
  bool BeginAttempt(bool readIniFile, const std::string& section, const std::string& database);
  std::function<bool()> AttemptBody();
  bool EndAttempt(bool ok);
  bool FinishAttempt();
  // Starts the attempt thread; false when it could not be started.
  bool StartAttempt();
  // Waits up to `ms` (negative: to the end) for the running attempt; true when it ended.
  bool WaitAttempt(int ms);
  // The link of the connection was lost: the next attempt begins with the next host.
  void MoveOnFromLostHost();
  bool ReconnectAfterLoss();
  // Attempts, one after the other with a growing pause, until one connects or `deadline`
  // (ms tick) passes; an attempt still running then is left for the next Connect.
  bool AttemptsUntil(uint64_t deadline, bool keepStatements);
  // After a failed attempt: Disconnect, or while a statement waits for its new connection,
  // a close that keeps the statements.
  void DropConnection();
  static constexpr int kReconnectPauseMs = 250;
  bool keepStatements_ = false;
  void JoinAttempt() noexcept;

  std::mutex lock_;
  std::string iniFileName_;
  bool ownsODBC_ = false;
  int32_t pingTimeout_;

  std::thread attempt_;
  std::atomic<bool> attemptDone_{false};
  bool attemptOk_ = false;
  bool attemptThrew_ = false;
  uint64_t attemptStarted_ = 0;
  uint64_t nextAttemptAt_ = 0;
  int slowFailures_ = 0;
  TODBC* attemptOdbc_ = nullptr;  // the TODBC the running attempt works on
  size_t nextHost_ = 0;
  std::atomic<int> attemptHost_{-1};  // the host-list entry the last attempt connected to
  std::mutex attemptMutex_;
  std::condition_variable attemptEnded_;
};

}  // namespace tarn
