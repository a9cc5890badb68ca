#pragma once
// TODBC: the system's single contact with the ODBC call interface. One TODBC owns one ODBC
// environment handle and at most one connection handle. It binds the driver manager at run
// time (TOdbcLibrary), connects by data-source name and then by a connect string it builds,
// classifies the driver into a family, turns diagnostic records into log lines and notices
// when a diagnostic says the link to the server is gone. It owns the connection's worker
// thread (TSqlWorker) and its write guard (TWriteGuard).
//
// Statements: every allocated TODBCStatement registers itself here. The TODBC never owns a
// statement object - the caller does (usually through std::unique_ptr). When the connection
// is disconnected (or the TODBC destroyed) every registered statement is invalidated: its
// handle is freed and it forgets this TODBC, so later executions on it fail and its own
// destruction frees nothing twice. A statement must not outlive its use, but outliving the
// TODBC is safe.
//
// Threads: a TODBC and its statements are used by one thread at a time; their executions
// run on the connection's own worker thread (TSqlWorker) while that thread waits.
// Diagnostics: connection-level failures (connect, disconnect, attributes) write their
// records to MessLog when there is one; statements leave it to their callers (TSqlOutcome).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/OdbcLibrary.h"
#include "db/SqlDiag.h"
#include "db/SqlWorker.h"
#include "db/WriteGuard.h"

namespace tarn {

class TMessLog;
class TODBCStatement;

enum TDriverFamily : uint8_t {
  dfUnknown = 0,
  dfOracle = 1,
  dfMySQL = 2,
  dfFoxPro = 3,
  dfFirebird = 4,
  dfAccess = 5,
  dfExcel = 6,
  dfSQLServer = 7,
  dfCodebase = 8,
};

// Raised by operations that need the driver manager on a TODBC that could not bind it.
class EODBCError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TODBC {
 public:
  TODBC();
  // Runs on the given driver-manager entry points instead of binding the library.
  explicit TODBC(std::unique_ptr<TOdbcLibrary> library);
  ~TODBC();
  TODBC(const TODBC&) = delete;
  TODBC& operator=(const TODBC&) = delete;

  // Binds the driver manager (again); true when every entry point was found.
  bool LoadODBC();

  // Connects (by name, then by connect string); returns Connected(). Does nothing when
  // already connected. Throws EODBCError when the driver manager is not bound.
  bool ConnectToDataSource(const std::string& dataSource, const std::string& user,
                           const std::string& password, const std::string& database,
                           const std::string& driver, const std::string& options);
  // Invalidates every registered statement, commits, disconnects. Never throws.
  void DisconnectFromDataSource();
  bool EndTransaction(bool commit);
  bool IsConnectionDead();

  // Sets the family from the first matching substring of `text`; no match keeps it.
  void DetectDriverFamily(const std::string& text);
  TDriverFamily DriverFamily() const { return family_; }
  // Family that `text` names, or dfUnknown when nothing matches.
  static TDriverFamily FamilyOf(const std::string& text);

  // Replaces `name` with the driver description of the data source of that name.
  void FindDataSourceDriver(std::string& name);
  // A connect string from the "ODBC" section of a file data source.
  static std::string ReadFileDSN(const std::string& fileName);
  // The connect string used when connecting by name fails (family from the driver text).
  static std::string BuildConnectString(const std::string& dataSource, const std::string& user,
                                        const std::string& password, const std::string& database,
                                        const std::string& driver, const std::string& options,
                                        TDriverFamily family);

  // The value of `key` in the odbc.ini entry of data source `name` (the user's file, then
  // the system's, as the driver manager finds them); "" when there is none.
  static std::string DataSourceValue(const std::string& name, const std::string& key);
  // The connect string of a MySQL-family data source: DSN, user and password, the options,
  // the matched-rows flag added to the data source's own OPTION flags, and the login time-out.
  static std::string BuildDataSourceConnectString(const std::string& dataSource, const std::string& user,
                                                  const std::string& password, const std::string& options);
  // MySQL-family OPTION flag: UPDATE reports the rows it matched, not only those it changed.
  static constexpr int kFoundRowsFlag = 2;

  // When `code` failed: the connection handle's diagnostic records go through
  // LogDiagRecords. Nothing for a success code or without a connection handle.
  void LogDiagnostics(SQLRETURN code);
  // The connection handle's diagnostic records (none without a connection handle).
  std::vector<TDiagRecord> Diagnostics() const;
  // Looks at each record for a lost link (CheckConnectionLoss) and writes it to MessLog, when
  // there is one, as "message. State:  SQLSTATE"; a "function not supported" record (IM001)
  // ends the list and is not written. Owner's thread.
  void LogDiagRecords(const std::vector<TDiagRecord>& records);
  // Marks the connection dead when the SQLSTATE or the message says the link is lost.
  void CheckConnectionLoss(const std::string& state, const std::string& text);
  void MarkConnectionDead() { connectionDead_ = true; }

  bool Connected() const { return connected_; }
  // Round trips to the server: each request answered by it (an execution, a batch, a control
  // statement of the write guard, a column list, the liveness probe of a MySQL-family
  // connection). Connecting is not counted. An in-process driver (SQLite) counts its calls
  // the same way. Counted on the owner's thread and the worker; read from any thread.
  void CountRoundTrip() { roundTrips_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t RoundTrips() const { return roundTrips_.load(std::memory_order_relaxed); }
  // The server answered a request on this connection (a statement that ran, a row fetched
  // to the worker): the moment is kept. AnsweredWithin: it answered less than `ms` ago on
  // the current connection. Owner's thread and the worker; read from any thread.
  void NoteAnswer();
  bool AnsweredWithin(uint64_t ms) const;
  bool ConnectionDead() const { return connectionDead_; }
  const std::string& ConnectionInfo() const { return connectionInfo_; }
  bool Loaded() const { return library_ != nullptr; }
  bool HasEnvironment() const { return env_ != SQL_NULL_HENV; }
  SQLHENV EnvironmentHandle() const { return env_; }
  SQLHDBC ConnectionHandle() const { return dbc_; }
  // The bound driver manager; only valid while Loaded().
  const TOdbcEntryPoints& Api() const { return library_->Api(); }
  // Number of statements registered now.
  size_t StatementCount() const;
  // The thread that runs this connection's executions (started at the first one, ended
  // when the connection is closed).
  TSqlWorker& Worker() { return worker_; }
  // Runs `job` (one execution, one guarded transaction, the guard's set-up) on the worker
  // thread and waits for its end; every driver call that may wait on the server goes through
  // here. With `timed`, the time waited counts as one statement's time in the metrics.
  // Success: true, the job has run. Failure: false when no worker thread could be started;
  // the job has not run. Owner's thread; one job in flight per connection.
  bool RunOnWorker(const std::function<void()>& job, bool timed = true);
  // A connection attempt runs on its own thread (TODBCConn): until it has been collected no
  // statement may be set up here (set and cleared by the managed connection's owner thread).
  void SetAttemptRunning(bool running) { attemptRunning_.store(running); }
  bool AttemptRunning() const { return attemptRunning_.load(); }

  // The statement registry (called by TODBCStatement only). Registering twice keeps one entry.
  void RegisterStatement(TODBCStatement* stmt);
  void UnregisterStatement(TODBCStatement* stmt);

  // Set by the managed connection: connects again after a statement found the link lost,
  // keeping the statements (see DropConnectionKeepingStatements). True when connected again.
  std::function<bool()> ReconnectHook;
  // Closes a lost connection but keeps every statement registered with its current row:
  // their handles are freed and each sets up a new one at its next execution.
  void DropConnectionKeepingStatements();

  // The guard of writes that must not apply twice, and the writes it keeps after a lost link.
  TWriteGuard& Guard() { return *guard_; }
  // The guard as long as this TODBC lives: an execution holds it over a reconnect that may
  // end with this TODBC freed (a shared TODBC goes with its last managed connection).
  std::weak_ptr<TWriteGuard> GuardRef() { return guard_; }

  TMessLog* MessLog = nullptr;  // not owned; null = no diagnostics written
  bool BindColumns = false;     // copied into every statement created on this connection
  uint32_t TimeOverMs = 0;      // slow-statement threshold (ms); 0 = off

 private:
  void FreeConnectionHandle();
  void FreeEnvironment();
  void InvalidateStatements();
  void AllocateEnvironment();

  std::unique_ptr<TOdbcLibrary> library_;
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  std::vector<TODBCStatement*> statements_;
  bool connected_ = false;
  bool connectionDead_ = false;
  std::atomic<uint64_t> roundTrips_{0};
  std::atomic<uint64_t> answeredAt_{0};  // ms tick of the last answer; 0: none since connecting
  std::string connectionInfo_;
  TDriverFamily family_ = dfUnknown;
  TSqlWorker worker_;
  std::atomic<bool> attemptRunning_{false};
  std::shared_ptr<TWriteGuard> guard_;
};

}  // namespace tarn
