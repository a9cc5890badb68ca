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
// A connection that was lost and could not be made again within the reconnect wait, or an
// attempt that hung, marks the database away for every connection to it (TOutageBoard); a
// connection that connects or passes its check marks it back.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "db/OutageBoard.h"
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
  // Connected and alive after the call. Never throws. The check of a connection that is up
  // asks the server and is bounded (TODBC::IsConnectionDead). `forRead`: a card read, which
  // does not wait for the back-off after hung attempts, gives an attempt still running
  // AttemptWaitMs and, after a failed one, starts another at once (waiting up to
  // AttemptWaitMs), so the first read after the database is back finds it.
  bool Connect(bool forRead = false);
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
  // The entry of a host list ("Host" with commas) the next attempt begins with; the one of
  // the current connection while connected.
  size_t NextHost() const { return nextHost_; }
  // An attempt that fails after this long hung until the driver gave up (the connect
  // time-out): the database is then known away (TOutageBoard).
  static constexpr int kHungAttemptMs = 2500;
  // This connection's database on the TOutageBoard (made from the connection parameters).
  std::string OutageKey() const;
  // Whether another connection (or this one) found the database gone and could not reach
  // it again, and how (TOutageBoard).
  TAway DatabaseAway() const;
  // How long a connection found lost waits for a new one (at most `limitMs` when that is not
  // negative): ReconnectWaitMs the first time; while the database is known refusing, one
  // attempt's wait (AttemptWaitMs); while it is known silent, none (an attempt is started
  // and the next call takes its outcome).
  int LossWaitMs(int limitMs) const;
  // How long a read waits for a connection attempt, one still `running` or its own:
  // AttemptWaitMs; while the database is known silent, none for one running and
  // TODBC::kAwayWaitMs for its own, so that a read is answered within a second.
  int ReadAttemptWaitMs(bool running) const;

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
  // Connects again after a statement found the link lost, waiting up to `waitMs` (negative:
  // ReconnectWaitMs; never more than that, and not at all while the database is known away).
  bool ReconnectAfterLoss(int waitMs);
  // A lost connection could not be made again: the database is known away, silent when the
  // link was given up without an answer (TODBC::GaveUp), refusing otherwise.
  void MarkLossUnrepaired(bool silent);
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
  uint64_t attemptEndedAt_ = 0;  // set by the attempt thread under attemptMutex_
  uint64_t nextAttemptAt_ = 0;
  int slowFailures_ = 0;
  TODBC* attemptOdbc_ = nullptr;  // the TODBC the running attempt works on
  size_t nextHost_ = 0;
  std::atomic<int> attemptHost_{-1};  // the host-list entry the last attempt connected to
  std::mutex attemptMutex_;
  std::condition_variable attemptEnded_;
};

}  // namespace tarn
