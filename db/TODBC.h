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
// Threads: a TODBC and its statements are used by one thread at a time; every driver call
// that waits on the server runs on the connection's own worker thread (TSqlWorker) while
// that thread waits, up to a bound (see RunOnWorker).
// Waits: on a database server a call that does not come back within its bound is given up:
// the connection is treated as lost (the caller gets a lost link), and the worker, still
// inside the driver, keeps the connection's handles and frees them when its call returns
// (the driver's read and write time-outs end it). The driver manager and the environment
// handle are held by every such worker too, so they outlive it. An in-process database
// (SQLite) is never given up: its calls are waited for to their end.
// Diagnostics: connection-level failures (connect, disconnect, attributes) write their
// records to MessLog when there is one; statements leave it to their callers (TSqlOutcome).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
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
  // Invalidates every registered statement, commits, disconnects (the commit and the
  // disconnect on the worker, within the close bound). Never throws.
  void DisconnectFromDataSource();
  // Commits or rolls back on the worker, within the statement bound. True when it did.
  bool EndTransaction(bool commit);
  // True when a diagnostic marked the connection lost, or the driver's check says so; the
  // check asks the server (MySQL family) and runs on the worker within the check bound: a
  // check that does not come back gives the connection up and answers true.
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
  // The MySQL-family driver's read and write time-outs (READ_TIMEOUT, WRITE_TIMEOUT, seconds)
  // put into both connect strings unless the site's options or data source set their own:
  // they end a call that a silent server would hold for ever. Above the statement bound, so
  // that the statement layer decides first and a statement the layer lets run is never cut
  // by the driver.
  static constexpr int kDriverReadTimeoutS = 10;
  static constexpr int kDriverWriteTimeoutS = 10;

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
  // The counter is shared with the jobs on the worker: a job given up may end after its
  // caller (and this TODBC) are gone.
  using TRoundTrips = std::shared_ptr<std::atomic<uint64_t>>;
  void CountRoundTrip() { roundTrips_->fetch_add(1, std::memory_order_relaxed); }
  uint64_t RoundTrips() const { return roundTrips_->load(std::memory_order_relaxed); }
  const TRoundTrips& RoundTripCounter() const { return roundTrips_; }
  // An in-process database (SQLite): its calls are never given up.
  bool InProcess() const { return inProcess_; }
  bool ConnectionDead() const { return connectionDead_; }
  const std::string& ConnectionInfo() const { return connectionInfo_; }
  bool Loaded() const { return library_ != nullptr; }
  // The bound driver manager, for jobs that may outlive this TODBC on a worker given up.
  std::shared_ptr<const TOdbcLibrary> LibraryRef() const { return library_; }
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

  // ---- waits on the server -----------------------------------------------------------

  // How long the owner's thread waits for one call on the server before it gives the
  // connection up: a statement (one run of it, or one guarded transaction), the connection
  // check, the close. Longer statements are not meant to run on the owner's thread (the
  // daily card reset runs in parts for this). While the database is known silent
  // (TOutageBoard) every wait is kAwayWaitMs: nothing answers there, and a read must be
  // answered within a second. One execution with its repeats and its reconnect holds its
  // caller at most kExecutionWaitMs (StatementRun.cpp).
  static constexpr int kStatementWaitMs = 6000;
  static constexpr int kCheckWaitMs = 2000;
  static constexpr int kCloseWaitMs = 2000;
  static constexpr int kAwayWaitMs = 300;
  static constexpr int kExecutionWaitMs = 7500;
  // A MySQL-family connection found alive by its check less than this ago is taken as alive
  // without asking the server again (the check is a round trip: a burst of reads at a far
  // database would pay one each, and every main-timer tick one per loop). A link lost in that
  // moment is found by the statement itself, whose failure marks the connection dead and
  // reconnects ("ODBC Connection 'Dead'!" as from the check).
  static constexpr uint64_t kAliveCheckKeepsMs = 2000;
  // The bounds of this connection (tests shorten them).
  int StatementWaitMs = kStatementWaitMs;
  int CheckWaitMs = kCheckWaitMs;
  int ExecutionWaitMs = kExecutionWaitMs;
  enum class TWaitKind : uint8_t { Statement, Check, Close };
  // The bound of a wait of `kind` now, in ms; -1 (wait to the end) on an in-process database.
  int WaitBoundMs(TWaitKind kind) const;
  // The key of this connection's database on the TOutageBoard, set by the managed
  // connection; empty when there is none (the database is then never known away).
  std::string OutageKey;
  bool KnownSilent() const;
  // The connection was given up after a call the database did not answer (since the last
  // connect): the link went silent rather than broken.
  bool GaveUp() const { return gaveUp_; }

  // What a call on the worker came to.
  enum class TRun : uint8_t {
    Done,       // the job has run
    Abandoned,  // the bound passed: the connection was given up (GiveUp) and logged
    NoThread,   // no worker thread could be started; the job has not run
  };
  // One call on the worker: what it is for the log line when it is given up ("Statement",
  // "Connection check", ...), its SQL text (may be empty), its bound (negative: none), and
  // whether the time waited counts as a statement's time in the metrics.
  struct TCall {
    const char* what = "Statement";
    std::string_view sql;
    int waitMs = -1;
    bool timed = true;
  };
  // Runs `job` (one execution, one guarded transaction, the guard's set-up, the check, the
  // close) on the worker thread and waits for its end, up to the call's bound; every driver
  // call that may wait on the server goes through here. The job must own what it uses and
  // the result it leaves (capture by value, a shared result): after Abandoned it may still
  // run, and what it writes then reaches nobody. Owner's thread; one job at a time.
  TRun RunOnWorker(std::function<void()> job, const TCall& call);
  // Executions that came back with their link lost and not made again, over the life of
  // this TODBC: a unit of work that sees the number move lost its database on the way.
  uint64_t LostExecutions() const { return lostExecutions_; }
  void CountLostExecution() { ++lostExecutions_; }

  // A connection attempt runs on its own thread (TODBCConn): until it has been collected no
  // statement may be set up here (set and cleared by the managed connection's owner thread).
  void SetAttemptRunning(bool running) { attemptRunning_.store(running); }
  bool AttemptRunning() const { return attemptRunning_.load(); }

  // The statement registry (called by TODBCStatement only). Registering twice keeps one entry.
  void RegisterStatement(TODBCStatement* stmt);
  void UnregisterStatement(TODBCStatement* stmt);

  // Set by the managed connection: connects again after a statement found the link lost,
  // keeping the statements (see DropConnectionKeepingStatements), waiting up to the given
  // time (negative: the managed connection's own wait). True when connected again.
  std::function<bool(int waitMs)> ReconnectHook;
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
  struct TEnvHold;
  void FreeConnectionHandle();
  void FreeEnvironment();
  void InvalidateStatements();
  void AllocateEnvironment();
  // A call on the worker outlasted its bound: the line in the log, the metrics, and the
  // connection given up. The worker keeps the connection handle and every statement handle
  // (the statements stay registered without one, as after DropConnectionKeepingStatements)
  // and frees them when its call returns.
  void GiveUp(const TCall& call);

  std::shared_ptr<TOdbcLibrary> library_;
  std::shared_ptr<TEnvHold> envHold_;  // frees the environment when its last holder goes
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  std::vector<TODBCStatement*> statements_;
  bool connected_ = false;
  bool connectionDead_ = false;
  uint64_t aliveCheckedAt_ = 0;  // tick of the last check that found the link alive; 0: none
  TRoundTrips roundTrips_ = std::make_shared<std::atomic<uint64_t>>(0);
  bool inProcess_ = false;
  bool gaveUp_ = false;
  uint64_t lostExecutions_ = 0;
  std::string connectionInfo_;
  TDriverFamily family_ = dfUnknown;
  TSqlWorker worker_;
  std::atomic<bool> attemptRunning_{false};
  std::shared_ptr<TWriteGuard> guard_;
};

}  // namespace tarn
