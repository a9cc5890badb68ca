#pragma once
// TODBCStatement: the only way the system runs SQL. Created on a connected TODBC, it executes
// literal SQL text directly (auto-commit, no parameters), binds every result column as text
// and reads the current row's columns by name. The object belongs to its creator (hold it in
// a std::unique_ptr and free it within the unit of work); the TODBC only keeps it registered
// so that a disconnect can invalidate it (handle freed, every later execution fails).
//
// Execution runs SQLExecDirect on the connection's worker thread (TSqlWorker, one per
// TODBC for the connection's life) while the caller waits for its return code. One thread
// uses a statement at a time.
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
  // this statement); registers it with `odbc` when allocation succeeded.
  explicit TODBCStatement(TODBC* odbc);
  ~TODBCStatement();
  TODBCStatement(const TODBCStatement&) = delete;
  TODBCStatement& operator=(const TODBCStatement&) = delete;

  // Executes `sql`. SELECT: true when a row was fetched (it is current), NoData when none;
  // SELECT x INTO: true. INSERT/UPDATE/DELETE: true, NoData when no row was touched.
  // Other verbs: true on success. False on failure; nothing is logged.
  bool DoSQL(const std::string& sql);
  // DoSQL plus logging of the SQL text and the diagnostic records on failure.
  bool ExecSQL(const std::string& sql);
  // Format then DoSQL/ExecSQL; a format error fails the call (ExecSQLFmt logs it).
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

  // Fetches a row; a mode the cursor cannot do fetches nothing. A forward-only cursor
  // always fetches the next row.
  bool dbSkip(TSkipMode mode = skNext, int32_t offset = 1);
  bool NoData() const { return noData_; }

  int FindColumn(std::string_view name) const;
  TColumnKind ColumnKind(int index) const;
  int32_t ColumnSize(int index) const;
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  const std::vector<TColInfo>& Columns() const { return columns_; }

  // Current-row values by name; a missing column gives "", 0, 0, false, today.
  std::string FieldAsString(std::string_view name);
  std::string FieldByIndexAsString(int index);
  int32_t FieldAsInteger(std::string_view name);
  double FieldAsFloat(std::string_view name);
  bool FieldAsBoolean(std::string_view name);
  TDateTime FieldAsDateTime(std::string_view name);

  // Comma-separated upper-cased column names of `table`; "" when the lookup fails.
  std::string GetColumnNames(const std::string& table);
  // Writes the statement's diagnostic records when reporting is on and `code` failed.
  void ReportStmtError(SQLRETURN code);

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
  // Runs a guarded write again with the number of its first run (after a reconnect): applied
  // only when the first run was not committed. False when it failed; LinkLost() then says
  // whether the link was lost again.
  bool ReplayGuardedWrite(const std::string& sql, uint64_t seq);
  // The last execution ended with the link to the server lost.
  bool LinkLost() const { return linkLost_; }
  // The last execution was a repeated guarded write whose first run had been committed.
  bool FoundApplied() const { return foundApplied_; }
  // Runs of a statement that meet a conflict (deadlock, certification conflict) before the
  // failure is reported; the pause between runs grows by kConflictPauseMs each time.
  static constexpr int kConflictAttempts = 8;
  static constexpr int kConflictPauseMs = 5;

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
  bool Run(const std::string& sql, uint64_t replaySeq);
  SQLRETURN Execute(const std::string& sql);
  // Execute with the conflict retries, the reconnect after a lost link and, for writes that
  // must not apply twice, the guard; `appliedBefore` = a repeated guarded write found its
  // first run committed (nothing ran now).
  SQLRETURN ExecuteSafely(const std::string& sql, uint64_t replaySeq, bool& appliedBefore);
  enum class TGuardSetUp : uint8_t { Ready, Off, LinkLost };
  TGuardSetUp SetUpGuard(TDiagRecord& diag);
  SQLRETURN ExecuteGuarded(const std::string& sql, uint64_t seq, bool& appliedBefore, TDiagRecord& diag);
  void LogLine(const std::string& text);
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
  bool noData_ = false;
  bool canRefresh_ = false;
  bool canAbsolute_ = false;
  bool canRelative_ = false;
  std::string lastSQL_;
  bool linkLost_ = false;
  bool foundApplied_ = false;
  std::map<int, std::string> memoCache_;  // long values of the current row already read
};

}  // namespace tarn
