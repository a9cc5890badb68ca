// One execution of a TODBCStatement: the driver call on the connection's worker thread, the
// retry policy around it (conflicts, a lost link), the write guard for writes that must not
// apply twice, and the outcome the caller gets.
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "db/RetryPolicy.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "metrics/Metrics.h"
#include "platform/Tick.h"
#include "util/Strings.h"

namespace tarn {

namespace {

// The statement's first word as the execution looks at it: the first six characters,
// upper-cased and trimmed (so " SELECT" is no query and REPLACE is "REPLAC").
std::string VerbOf(std::string_view sql) {
  return Trim(UpperCase(std::string(sql.substr(0, std::min<size_t>(6, sql.size())))));
}

bool ChangesRows(const std::string& verb) { return verb == "INSERT" || verb == "DELETE" || verb == "UPDATE"; }

// SELECT a INTO @x ...: the third word is INTO, the statement gives no rows to fetch.
bool SelectsInto(const std::string& sql) {
  const size_t first = sql.find(' ');
  if (first == std::string::npos) return false;
  const size_t second = sql.find(' ', first + 1);
  if (second == std::string::npos) return false;
  std::string third = Trim(UpperCase(sql.substr(second + 1)));
  third = third.substr(0, third.find(' '));
  return third == "INTO";
}

// The driver call; runs on the worker thread, so the records are read there too, before the
// handle can be used for anything else.
SQLRETURN ExecAndRead(TODBC& odbc, SQLHSTMT handle, const std::string& sql, std::vector<TDiagRecord>& records) {
  const TOdbcEntryPoints& api = odbc.Api();
  odbc.CountRoundTrip();
  const SQLRETURN code = api.SQLExecDirect(handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  if (!SqlSucceeded(code) && code != SQL_NO_DATA)
    records = ReadDiagRecords(api, SQL_HANDLE_STMT, handle);
  else
    odbc.NoteAnswer();
  return code;
}

}  // namespace

std::string TODBCStatement::Shown(const std::string& sql) {
  return sql.size() > 300 ? sql.substr(0, 300) + "..." : sql;
}

TSqlOutcome TODBCStatement::Execute(const std::string& sql) { return Run(sql, 0); }

TSqlOutcome TODBCStatement::ReplayGuardedWrite(const std::string& sql, uint64_t seq) { return Run(sql, seq); }

bool TODBCStatement::Succeeded(const TSqlOutcome& outcome, std::string_view sql) {
  if (!outcome.ok()) return false;
  // A change that touched no row has still run; a query without a row has not found it.
  return !outcome.noRow() || ChangesRows(VerbOf(sql));
}

bool TODBCStatement::DoSQL(const std::string& sql) { return Succeeded(Execute(sql), sql); }

bool TODBCStatement::ExecSQL(const std::string& sql) {
  const TSqlOutcome outcome = Execute(sql);
  LogFailure(outcome);
  return Succeeded(outcome, sql);
}

void TODBCStatement::LogFailure(const TSqlOutcome& outcome) {
  if (outcome.ok() || odbc_ == nullptr) return;
  if (odbc_->MessLog != nullptr) odbc_->MessLog->Add(lastSQL_);
  // A new connection is being made on the TODBC (the link was lost): the TODBC belongs to
  // the attempt, and a statement without a handle has no records of its own.
  if (odbc_->AttemptRunning() || !Allocated()) return;
  odbc_->LogDiagRecords(outcome.records());
}

TSqlOutcome TODBCStatement::Run(const std::string& sql, uint64_t replaySeq) {
  lastSQL_ = sql;
  // A statement kept over a reconnect sets up its handle on the new connection.
  if (!Allocated() && odbc_ != nullptr && !odbc_->AttemptRunning() && odbc_->Connected()) SetUp();
  if (!Allocated() || odbc_ == nullptr) return TSqlOutcome::Failed();
  {
    const TOdbcEntryPoints& api = odbc_->Api();
    api.SQLFreeStmt(handle_, SQL_UNBIND);
    LogHandleDiagnostics(api.SQLFreeStmt(handle_, SQL_CLOSE));
  }
  columns_.clear();
  FreeBuffers();
  memoCache_.clear();

  const uint64_t start = platform::TickMs();
  SQLRETURN code = SQL_ERROR;
  const TSqlOutcome outcome = ExecuteSafely(sql, replaySeq, code);
  TimingLine(platform::TickMs() - start, "DoSQL");
  // A failed reconnect may have taken the connection from this statement.
  if (odbc_ == nullptr || !Allocated()) return outcome.ok() ? TSqlOutcome::Failed() : outcome;
  if (!outcome.ok() || outcome.kind() == TSqlOutcome::TKind::AppliedEarlier) return outcome;
  return ResultOf(sql, code);
}

TSqlOutcome TODBCStatement::ResultOf(const std::string& sql, SQLRETURN code) {
  if (code == SQL_NO_DATA) return TSqlOutcome::NoRow();
  const std::string verb = VerbOf(sql);
  DescribeColumns();
  if (verb == "SELECT") {
    if (SelectsInto(sql)) return TSqlOutcome::Done();
    return dbSkip(skNext, 1) ? TSqlOutcome::Row() : TSqlOutcome::NoRow();
  }
  if (ChangesRows(verb)) {
    // Some drivers report an UPDATE or DELETE that touched nothing as success with a row
    // count of 0 instead of SQL_NO_DATA; callers must see both the same way.
    SQLLEN rows = -1;
    if (SqlSucceeded(odbc_->Api().SQLRowCount(handle_, &rows)) && rows == 0) return TSqlOutcome::NoRow();
  }
  return TSqlOutcome::Done();
}

SQLRETURN TODBCStatement::ExecuteDirect(const std::string& sql, std::vector<TDiagRecord>& records) {
  TODBC& odbc = *odbc_;
  const SQLHSTMT handle = handle_;
  SQLRETURN code = SQL_ERROR;
  const std::function<void()> job = [&odbc, handle, &sql, &code, &records] {
    code = ExecAndRead(odbc, handle, sql, records);
  };
  if (!odbc_->RunOnWorker(job)) return SQL_ERROR;
  return code;
}

TSqlOutcome TODBCStatement::ExecuteSafely(const std::string& sql, uint64_t replaySeq, SQLRETURN& code) {
  code = SQL_ERROR;
  const bool mysql = odbc_->DriverFamily() == dfMySQL;
  const bool replay = replaySeq != 0;
  TRetryPolicy policy(replay ? TRepeatKind::Once : RepeatKindOf(sql), replay);
  // A reconnect that fails takes the connection from this statement; the log stays.
  TMessLog* const log = odbc_->MessLog;
  auto logLine = [log](const std::string& text) {
    if (log != nullptr) log->Log(text);
  };
  uint64_t seq = replaySeq;
  for (;;) {
    TWriteGuard& guard = odbc_->Guard();
    // A kept write is settled before a later one may move the mark past its number.
    if (policy.Once() && !replay && guard.HasPending()) {
      guard.ResolvePending();
      if (guard.HasPending()) return TSqlOutcome::LinkLost();
      if (!Allocated()) SetUp();
      if (!Allocated()) return TSqlOutcome::Failed();
    }
    std::vector<TDiagRecord> records;
    bool guarded = false;
    bool sent = true;
    if (policy.Once() && mysql) {
      switch (guard.SetUp(records)) {
        case TWriteGuard::TSetUp::Ready:
          guarded = true;
          break;
        case TWriteGuard::TSetUp::Off:
          break;
        case TWriteGuard::TSetUp::LinkLost:
          sent = false;  // nothing of the write was sent yet
          break;
      }
    }
    bool raced = false;
    if (sent) {
      bool appliedBefore = false;
      if (guarded) {
        if (seq == 0) seq = guard.NextSeq();
        TODBC& odbc = *odbc_;
        const SQLHSTMT handle = handle_;
        TGuardedRun run = guard.Run(seq, [&odbc, handle, &sql](std::vector<TDiagRecord>& failed) {
          return ExecAndRead(odbc, handle, sql, failed);
        });
        code = run.code;
        appliedBefore = run.appliedBefore;
        raced = run.raced;
        records = std::move(run.records);
      } else {
        code = ExecuteDirect(sql, records);
      }
      if (SqlSucceeded(code) || code == SQL_NO_DATA)
        return appliedBefore ? TSqlOutcome::AppliedEarlier() : TSqlOutcome::Done();
    }

    const TDiagRecord first = records.empty() ? TDiagRecord{} : records.front();
    const TSqlOutcome::TKind failure = !sent  ? TSqlOutcome::TKind::LinkLost
                                       : raced ? TSqlOutcome::TKind::Conflict
                                               : FailureKindOf(first, mysql);
    TRetryPolicy::TStep step = policy.AfterFailure(failure, sent, guarded);
    // The link is lost: whether the statement was applied is not known.
    if (failure == TSqlOutcome::TKind::LinkLost) odbc_->MarkConnectionDead();
    switch (step) {
      case TRetryPolicy::TStep::Repeat:
        metrics::Report(metrics::TEvent::SqlRetriedConflict);
        std::this_thread::sleep_for(std::chrono::milliseconds(policy.PauseMs()));
        continue;
      case TRetryPolicy::TStep::GiveUp:
        metrics::Report(metrics::TEvent::SqlGivenUp);
        logLine("Statement not applied after " + std::to_string(policy.Conflicts()) +
                " conflicts with other writers (SQLSTATE " + (raced ? std::string("40001") : first.state) +
                "), given up: " + Shown(sql));
        return TSqlOutcome::Conflict(std::move(records));
      case TRetryPolicy::TStep::Report:
        return TSqlOutcome::Failure(failure, std::move(records));
      case TRetryPolicy::TStep::NotRepeated:
        metrics::Report(metrics::TEvent::SqlGivenUp);
        logLine("The connection was lost while this statement ran; it may have been applied and is not repeated: " +
                Shown(sql));
        return TSqlOutcome::LinkLost(std::move(records));
      case TRetryPolicy::TStep::Reconnect:
      case TRetryPolicy::TStep::Keep:
        break;
    }
    // The managed connection may close this TODBC for good (and a shared one may go with
    // it): the guard is held by a weak reference across the reconnect.
    const std::weak_ptr<TWriteGuard> guardRef = odbc_->GuardRef();
    if (step == TRetryPolicy::TStep::Reconnect) {
      const std::function<bool()> reconnect = odbc_->ReconnectHook;
      const bool again = reconnect && reconnect();
      if (again && odbc_ != nullptr && odbc_->Connected()) {
        if (!Allocated()) SetUp();
        if (Allocated()) {
          metrics::Report(metrics::TEvent::SqlRetriedLost);
          continue;
        }
      }
      step = policy.AfterReconnectFailed(guarded);
    }
    if (step == TRetryPolicy::TStep::Keep) {
      if (const std::shared_ptr<TWriteGuard> keeper = guardRef.lock()) {
        keeper->Keep(sql, seq);
        logLine("The connection was lost while this write ran; it is applied once when the connection is back: " +
                Shown(sql));
      } else {
        logLine("The connection was lost while this write ran and could not be kept: " + Shown(sql));
      }
    }
    return TSqlOutcome::LinkLost(std::move(records));
  }
}

}  // namespace tarn
