#pragma once
// TODBCStatement: the only way the system runs SQL. Created on a connected TODBC, it executes
// literal SQL text directly (auto-commit, no parameters), binds every result column as text
// and reads the current row's columns by name. The object belongs to its creator (hold it in
// a std::unique_ptr and free it within the unit of work); the TODBC only keeps it registered
// so that a disconnect can invalidate it (handle freed, every later execution fails).
//
// An execution (Execute) passes the retry policy (RetryPolicy.h: conflicts tried again, a lost
// link made again) and, for writes that must not apply twice, the write guard (WriteGuard.h),
// and comes back as a TSqlOutcome. The everyday calls DoSQL and ExecSQL answer the same as a
// boolean; ExecSQL also logs a failure. The driver call itself runs on the connection's worker
// thread (TODBC::RunOnWorker) while the caller waits, up to the connection's bound: a
// statement the database does not answer in time comes back as a lost link.
//
// Threads: a statement, like its TODBC, is used by one thread at a time (the thread that uses
// the TODBC); none of its methods may be called from two threads at once.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "db/SqlOutcome.h"
#include "db/TODBC.h"
#include "util/DateTime.h"
#include "util/Format.h"

namespace tarn {

enum TColumnKind : uint8_t {
  ckUnknown = 0,
  ckString = 1,
  ckInteger = 2,
  ckFloat = 3,
  ckBoolean = 4,
  ckDate = 5,
  ckTime = 6,
  ckDateTime = 7,
  ckMemo = 8,
};

enum TSkipMode : uint8_t {
  skNext = 0,
  skFirst = 1,
  skLast = 2,
  skPrior = 3,
  skAbsolute = 4,
  skRelative = 5,
};

struct TColInfo {
  std::string Name;  // upper-cased, at most 128 characters
  TColumnKind Kind = ckUnknown;
  int32_t Size = 0;
  SQLLEN Indicator = 0;
};

class TODBCStatement {
 public:
  // Allocates and sets up a statement handle on `odbc` (which must outlive every use of
  // this statement); registers it with `odbc` when allocation succeeded. Without a handle
  // (no connection, or a connection attempt at work on the TODBC) every execution fails.
  explicit TODBCStatement(TODBC* odbc);
  ~TODBCStatement();
  TODBCStatement(const TODBCStatement&) = delete;
  TODBCStatement& operator=(const TODBCStatement&) = delete;

  // ---- executions -----------------------------------------------------------------------

  // Runs `sql` and says what it came to; writes no log line of its own except those of the
  // retry policy and the write guard (a statement given up after conflicts, a write kept or
  // not repeated after a lost link).
  // Success (ok()): Row, a query whose first row is now current; NoRow, a query without rows,
  // a change (INSERT, UPDATE, DELETE) that touched none, or a statement the driver answered
  // with "no data"; Done, a change that touched rows, SELECT ... INTO or any other statement;
  // AppliedEarlier, a kept write whose first run had been committed (nothing ran now).
  // Failure: Conflict (given up after TRetryPolicy::kConflictAttempts), LinkLost (the
  // connection was lost and not made again within the wait; the statement may have been
  // invalidated meanwhile), Failed (any other error, or no handle to run on); each with the
  // driver's records. A statement that ran has the columns (and a query its current row) of
  // this execution.
  TSqlOutcome Execute(const std::string& sql);

  // Execute as a boolean: true for Row, Done, AppliedEarlier, and for NoRow of a change
  // (INSERT, UPDATE, DELETE: the statement ran); false for NoRow of a query or another
  // statement, and for every failure. Logs nothing.
  bool DoSQL(const std::string& sql);
  // DoSQL, and on a failure LogFailure.
  bool ExecSQL(const std::string& sql);
  // Format then DoSQL/ExecSQL; a format error fails the call without running anything
  // (ExecSQLFmt logs it: "SQL format error: ...").
  template <class... A>
  bool DoSQLFmt(std::string_view format, const A&... args) {
    std::string sql;
    if (!FormatSql(format, sql, false, args...)) return false;
    return DoSQL(sql);
  }
  template <class... A>
  bool ExecSQLFmt(std::string_view format, const A&... args) {
    std::string sql;
    if (!FormatSql(format, sql, true, args...)) return false;
    return ExecSQL(sql);
  }
  // The boolean DoSQL gives for `outcome`, an outcome of `sql`.
  static bool Succeeded(const TSqlOutcome& outcome, std::string_view sql);

  // Writes a failed `outcome` of this statement's last execution to the connection's log: the
  // SQL text, then each diagnostic record ("message. State:  SQLSTATE") up to a "function not
  // supported" record; the records are also looked at for a lost link. Only the SQL text
  // while a connection attempt works on the TODBC; nothing once the statement has been
  // invalidated, and nothing for an outcome that is not a failure.
  void LogFailure(const TSqlOutcome& outcome);

  // Runs a kept guarded write again with the number of its first run (after a reconnect):
  // applied only when the first run was not committed. Success: AppliedEarlier when it had
  // been, otherwise the outcome of this run. Failure: LinkLost when the link was lost again
  // (never repeated on a new connection here), other failures as Execute.
  TSqlOutcome ReplayGuardedWrite(const std::string& sql, uint64_t seq);

  // Makes the next result of the last execution current: a compound statement (BEGIN NOT
  // ATOMIC ... END) answers each of its queries with a result of its own, all in the one
  // request. Success: Row (its first row current) or NoRow (a query without rows). Failure:
  // Failed without records when there is no further result (the status that ends a
  // compound statement is none), else the failure of the query the server ran next, with
  // its records (a lost link also marks the connection dead). Sends nothing to the server.
  TSqlOutcome NextResult();

  // ---- the cursor ---------------------------------------------------------------------

  // Fetches a row. Success: true, the row is current. Failure: false at the end of the
  // result, when the fetch fails, when the cursor cannot do `mode` (nothing is fetched then),
  // or without a handle; the values read are then empty. A forward-only cursor always
  // fetches the next row, whatever `mode` asks.
  bool dbSkip(TSkipMode mode = skNext, int32_t offset = 1);

  // The columns of the last execution's result; -1 / ckUnknown / -1 for a column not there.
  int FindColumn(std::string_view name) const;
  TColumnKind ColumnKind(int index) const;
  int32_t ColumnSize(int index) const;
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  const std::vector<TColInfo>& Columns() const { return columns_; }

  // Current-row values by name (case does not matter), blanks trimmed. A missing column, no
  // current row or a value that does not parse gives "", 0, 0, false; FieldAsDateTime gives
  // today for a missing column or one that is no date or time, 0 for a text that does not
  // parse. A long value (memo) is read from the driver once per row and kept.
  std::string FieldAsString(std::string_view name);
  std::string FieldByIndexAsString(int index);
  int32_t FieldAsInteger(std::string_view name);
  double FieldAsFloat(std::string_view name);
  bool FieldAsBoolean(std::string_view name);
  TDateTime FieldAsDateTime(std::string_view name);

  // Comma-separated upper-cased column names of `table` (names with blanks quoted); "" when
  // the lookup fails or without a handle. Ends the current result.
  std::string GetColumnNames(const std::string& table);

  // A statement's text for a log line: texts over 300 characters are cut and end in "...".
  static std::string Shown(const std::string& sql);

  // Text parsing used by FieldAsDateTime ("YYYY-MM-DD", "HH:NN:SS", "YYYY-MM-DD HH:NN:SS").
  static TDateTime ParseDate(std::string_view text);
  static TDateTime ParseTime(std::string_view text);
  static TDateTime ParseDateTime(std::string_view text);
  // Column kind of a concise SQL type; `size` is set to 0 for types the system does not know.
  static TColumnKind KindOfType(SQLLEN type, int32_t& size);

  bool Allocated() const { return handle_ != SQL_NULL_HSTMT; }
  // The TODBC this statement runs on; null once the connection invalidated it.
  TODBC* ODBC() const { return odbc_; }
  const std::string& LastSQL() const { return lastSQL_; }
  bool ForwardOnly() const { return forwardOnly_; }
  bool CanRefresh() const { return canRefresh_; }
  bool CanAbsolute() const { return canAbsolute_; }
  bool CanRelative() const { return canRelative_; }
  SQLHSTMT Handle() const { return handle_; }

  bool BindColumns = false;

  // Frees the handle and forgets the connection (called by TODBC on disconnect).
  void Invalidate() noexcept;
  // Frees the handle but keeps the connection and the current row (called by TODBC when a
  // lost link is replaced); the next execution sets up a new handle.
  void Detach() noexcept;
  // Gives the handle up without a driver call and keeps the connection and the current row
  // (called by TODBC when a worker stuck in the driver takes the connection's handles: it
  // frees them); the next execution sets up a new handle. Returns the handle given up.
  SQLHSTMT ReleaseHandle() noexcept;

 private:
  template <class... A>
  bool FormatSql(std::string_view format, std::string& sql, bool log, const A&... args) {
    try {
      sql = Format(format, args...);
      return true;
    } catch (const std::exception& e) {
      if (log) LogFormatError(format, e.what());
      return false;
    }
  }
  void LogFormatError(std::string_view format, const char* what);
  void SetUp();
  // Writes the handle's diagnostic records (TODBC::LogDiagRecords) when `code` failed: for the
  // statement's own calls around an execution (set-up, closing, binding).
  void LogHandleDiagnostics(SQLRETURN code);
  // Execute, or a replay of a kept write with its first number (`replaySeq` not 0).
  TSqlOutcome Run(const std::string& sql, uint64_t replaySeq);
  // The execution through the retry policy and the write guard (StatementRun.cpp). A
  // statement that ran gives Done or AppliedEarlier with the driver's `code`; a failure its
  // outcome.
  TSqlOutcome ExecuteSafely(const std::string& sql, uint64_t replaySeq, SQLRETURN& code);
  // One driver execution of `sql` on the worker thread, waiting up to `waitMs`; the records
  // of a failure in `records`. `abandoned`: the wait outlasted its bound and the connection
  // was given up (SQL_ERROR then).
  SQLRETURN ExecuteDirect(const std::string& sql, std::vector<TDiagRecord>& records, int waitMs, bool& abandoned);
  // Turns a statement that ran (`code`) into Row, NoRow or Done, describing its columns and
  // fetching the first row of a query.
  TSqlOutcome ResultOf(const std::string& sql, SQLRETURN code);
  void DescribeColumns();
  void FreeBuffers();
  SQLLEN GetData(int column, SQLSMALLINT targetType, SQLPOINTER buffer, SQLLEN length);
  void TimingLine(uint64_t elapsedMs, const char* label);
  void FreeHandle() noexcept;

  TODBC* odbc_;
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  std::vector<TColInfo> columns_;
  std::vector<std::vector<char>> buffers_;
  bool forwardOnly_ = true;
  bool canRefresh_ = false;
  bool canAbsolute_ = false;
  bool canRelative_ = false;
  std::string lastSQL_;
  std::map<int, std::string> memoCache_;  // long values of the current row already read
};

}  // namespace tarn
