#include "db/WholeWrite.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "db/CompoundText.h"
#include "db/RetryPolicy.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "metrics/Metrics.h"
#include "util/Strings.h"

namespace tarn {

namespace {

// What one request of a whole write came to.
struct TRequest {
  SQLRETURN code = SQL_ERROR;
  std::vector<TDiagRecord> records;
  bool answered = false;  // the answer row was read
  std::vector<std::pair<std::string, std::string>> row;
};

// The answer row's columns as text.
void ReadRow(const TOdbcEntryPoints& api, SQLHSTMT h, SQLSMALLINT columns, TRequest& r) {
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(columns); ++i) {
    std::array<SQLCHAR, 130> name{};
    SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SqlSucceeded(api.SQLDescribeCol(h, i, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                                         &type, &size, &digits, &nullable)))
      name[0] = 0;
    std::array<char, 256> value{};
    SQLLEN indicator = 0;
    if (!SqlSucceeded(api.SQLGetData(h, i, SQL_C_CHAR, value.data(), static_cast<SQLLEN>(value.size()), &indicator)) ||
        indicator == SQL_NULL_DATA)
      value[0] = 0;
    r.row.emplace_back(reinterpret_cast<const char*>(name.data()), std::string(value.data()));
  }
}

// Sends the text and reads its answer to the end, all on the worker (nothing of the request is
// left for another thread: the driver keeps the connection busy until its results are read).
TRequest Send(TODBC& odbc, const std::string& text) {
  TRequest r;
  const TOdbcEntryPoints& api = odbc.Api();
  const SQLHDBC dbc = odbc.ConnectionHandle();
  const std::function<void()> job = [&] {
    SQLHANDLE h = SQL_NULL_HANDLE;
    if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h))) {
      r.records = ReadDiagRecords(api, SQL_HANDLE_DBC, dbc);
      return;
    }
    odbc.CountRoundTrip();
    r.code = api.SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS);
    if (!SqlSucceeded(r.code) && r.code != SQL_NO_DATA) {
      r.records = ReadDiagRecords(api, SQL_HANDLE_STMT, h);
      api.SQLFreeHandle(SQL_HANDLE_STMT, h);
      return;
    }
    odbc.NoteAnswer();
    // The one row (after the commit, or the answer that the first run had been), then the
    // status that ends the statement. Bounded: a compound statement answers a few results.
    for (int result = 0; result < 16; ++result) {
      SQLSMALLINT columns = 0;
      if (!SqlSucceeded(api.SQLNumResultCols(h, &columns))) columns = 0;
      if (columns > 0 && !r.answered && SqlSucceeded(api.SQLFetch(h))) {
        r.answered = true;
        ReadRow(api, h, columns, r);
      }
      const SQLRETURN more = api.SQLMoreResults != nullptr ? api.SQLMoreResults(h) : SQL_NO_DATA;
      if (more == SQL_NO_DATA) break;
      if (!SqlSucceeded(more)) {
        r.code = more;
        r.records = ReadDiagRecords(api, SQL_HANDLE_STMT, h);
        break;
      }
    }
    api.SQLFreeHandle(SQL_HANDLE_STMT, h);
  };
  if (!odbc.RunOnWorker(job)) r.code = SQL_ERROR;
  return r;
}

bool Ran(SQLRETURN code) { return SqlSucceeded(code) || code == SQL_NO_DATA; }

bool AppliedEarlier(const TRequest& r) {
  return r.answered && !r.row.empty() && r.row.front().second == kWriteAppliedEarlier;
}

}  // namespace

std::string TWholeWriteResult::Reported(const std::string& name) const {
  const std::string wanted = UpperCase(name);
  for (const auto& [column, value] : report)
    if (UpperCase(column) == wanted) return value;
  return "";
}

bool TakesCompound(TODBC& odbc) { return odbc.Guard().Compound() != TWriteGuard::TState::Off; }

TWholeWriteResult RunWholeWrite(TODBC& odbc, const std::vector<std::string>& writes, const std::string& report) {
  TWholeWriteResult result;
  const std::string shown = WritesShown(writes);
  if (shown.empty()) {
    result.outcome = TSqlOutcome::Done();
    return result;
  }
  if (!TakesCompound(odbc)) {
    result.refused = true;
    return result;
  }
  TRetryPolicy policy(TRepeatKind::Once, false);
  TMessLog* const log = odbc.MessLog;
  auto logLine = [log](const std::string& text) {
    if (log != nullptr) log->Log(text);
  };
  uint64_t seq = 0;
  for (;;) {
    if (!odbc.Connected() || !odbc.Loaded() || odbc.AttemptRunning()) {
      result.outcome = TSqlOutcome::Failed();
      return result;
    }
    TWriteGuard& guard = odbc.Guard();
    // A kept write is settled before a later one may move the mark past its number.
    if (guard.HasPending()) {
      guard.ResolvePending();
      if (guard.HasPending()) {
        result.outcome = TSqlOutcome::LinkLost();
        return result;
      }
    }
    std::vector<TDiagRecord> records;
    bool guarded = false;
    bool sent = true;
    switch (guard.SetUp(records)) {
      case TWriteGuard::TSetUp::Ready: guarded = true; break;
      case TWriteGuard::TSetUp::Off: break;
      case TWriteGuard::TSetUp::LinkLost: sent = false; break;  // nothing of the write was sent
    }
    std::string text;
    if (sent) {
      if (guarded && seq == 0) seq = guard.NextSeq();
      text = WholeWriteText(guarded ? guard.MarkId() : "", seq, writes, report);
      TRequest r = Send(odbc, text);
      if (Ran(r.code)) {
        guard.SetCompound(TWriteGuard::TState::On);
        if (AppliedEarlier(r)) {
          result.outcome = TSqlOutcome::AppliedEarlier();
        } else {
          result.outcome = TSqlOutcome::Done();
          result.report = std::move(r.row);
        }
        return result;
      }
      records = std::move(r.records);
      if (!records.empty() && RefusesCompound(records.front()) && guard.Compound() != TWriteGuard::TState::On) {
        // Nothing ran: the server did not take the text as a statement at all.
        guard.SetCompound(TWriteGuard::TState::Off);
        if (log != nullptr)
          log->Log("The database server takes no compound statements (" + records.front().message +
                   "): each decision's writes go one statement at a time");
        result.refused = true;
        result.outcome = TSqlOutcome::Failed(std::move(records));
        return result;
      }
    }
    const TDiagRecord first = records.empty() ? TDiagRecord{} : records.front();
    const TSqlOutcome::TKind failure = !sent ? TSqlOutcome::TKind::LinkLost : FailureKindOf(first, true);
    TRetryPolicy::TStep step = policy.AfterFailure(failure, sent, guarded);
    if (failure == TSqlOutcome::TKind::LinkLost) odbc.MarkConnectionDead();
    switch (step) {
      case TRetryPolicy::TStep::Repeat:
        metrics::Report(metrics::TEvent::SqlRetriedConflict);
        std::this_thread::sleep_for(std::chrono::milliseconds(policy.PauseMs()));
        continue;
      case TRetryPolicy::TStep::GiveUp:
        metrics::Report(metrics::TEvent::SqlGivenUp);
        logLine("Statement not applied after " + std::to_string(policy.Conflicts()) +
                " conflicts with other writers (SQLSTATE " + first.state +
                "), given up: " + TODBCStatement::Shown(shown));
        result.outcome = TSqlOutcome::Conflict(std::move(records));
        return result;
      case TRetryPolicy::TStep::Report:
        result.outcome = TSqlOutcome::Failure(failure, std::move(records));
        return result;
      case TRetryPolicy::TStep::NotRepeated:
        metrics::Report(metrics::TEvent::SqlGivenUp);
        logLine("The connection was lost while this statement ran; it may have been applied and is not repeated: " +
                TODBCStatement::Shown(shown));
        result.outcome = TSqlOutcome::LinkLost(std::move(records));
        return result;
      case TRetryPolicy::TStep::Reconnect:
      case TRetryPolicy::TStep::Keep:
        break;
    }
    if (step == TRetryPolicy::TStep::Reconnect) {
      const std::function<bool()> reconnect = odbc.ReconnectHook;
      if (reconnect && reconnect() && odbc.Connected()) {
        metrics::Report(metrics::TEvent::SqlRetriedLost);
        continue;
      }
      step = policy.AfterReconnectFailed(guarded);
    }
    if (step == TRetryPolicy::TStep::Keep && !text.empty()) {
      odbc.Guard().KeepWhole(text, seq, shown);
      result.kept = true;
      logLine("The connection was lost while this write ran; it is applied once when the connection is back: " +
              TODBCStatement::Shown(shown));
    }
    result.outcome = TSqlOutcome::LinkLost(std::move(records));
    return result;
  }
}

TSqlOutcome ReplayWholeWrite(TODBC& odbc, const std::string& text) {
  if (!odbc.Connected() || !odbc.Loaded()) return TSqlOutcome::Failed();
  TRequest r = Send(odbc, text);
  if (Ran(r.code)) return AppliedEarlier(r) ? TSqlOutcome::AppliedEarlier() : TSqlOutcome::Done();
  const TSqlOutcome::TKind kind = r.records.empty() ? TSqlOutcome::TKind::Failed : FailureKindOf(r.records.front(), true);
  if (kind == TSqlOutcome::TKind::LinkLost) odbc.MarkConnectionDead();
  return TSqlOutcome::Failure(kind, std::move(r.records));
}

}  // namespace tarn
