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
#include "platform/Tick.h"
#include "util/Strings.h"

namespace tarn {

namespace {

// What one request of a whole write came to.
struct TRequest {
  SQLRETURN code = SQL_ERROR;
  std::vector<TDiagRecord> records;
  bool answered = false;  // the answer row was read
  bool abandoned = false;  // given up after its bound: whether it was applied is not known
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
// The job owns what it uses: a run given up after its bound may still end later.
TRequest Send(TODBC& odbc, const std::string& text, int waitMs) {
  auto r = std::make_shared<TRequest>();
  const auto job = [library = odbc.LibraryRef(), trips = odbc.RoundTripCounter(), dbc = odbc.ConnectionHandle(), text,
                    r] {
    const TOdbcEntryPoints& api = library->Api();
    SQLHANDLE h = SQL_NULL_HANDLE;
    if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h))) {
      r->records = ReadDiagRecords(api, SQL_HANDLE_DBC, dbc);
      return;
    }
    trips->fetch_add(1, std::memory_order_relaxed);
    r->code = api.SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())), SQL_NTS);
    if (!SqlSucceeded(r->code) && r->code != SQL_NO_DATA) {
      r->records = ReadDiagRecords(api, SQL_HANDLE_STMT, h);
      api.SQLFreeHandle(SQL_HANDLE_STMT, h);
      return;
    }
    // The one row (after the commit, or the answer that the first run had been), then the
    // status that ends the statement. Bounded: a compound statement answers a few results.
    for (int result = 0; result < 16; ++result) {
      SQLSMALLINT columns = 0;
      if (!SqlSucceeded(api.SQLNumResultCols(h, &columns))) columns = 0;
      if (columns > 0 && !r->answered && SqlSucceeded(api.SQLFetch(h))) {
        r->answered = true;
        ReadRow(api, h, columns, *r);
      }
      const SQLRETURN more = api.SQLMoreResults != nullptr ? api.SQLMoreResults(h) : SQL_NO_DATA;
      if (more == SQL_NO_DATA) break;
      if (!SqlSucceeded(more)) {
        r->code = more;
        r->records = ReadDiagRecords(api, SQL_HANDLE_STMT, h);
        break;
      }
    }
    api.SQLFreeHandle(SQL_HANDLE_STMT, h);
  };
  TRequest out;
  switch (odbc.RunOnWorker(job, TODBC::TCall{"Statement", text, waitMs, true})) {
    case TODBC::TRun::Done: return std::move(*r);
    case TODBC::TRun::NoThread: return out;
    case TODBC::TRun::Abandoned: break;
  }
  out.abandoned = true;
  return out;
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
  // The same time as one statement that must not apply twice: every run bounded, all of
  // them within the execution's time (StatementRun.cpp).
  const bool bounded = !odbc.InProcess();
  const int budgetMs = odbc.ExecutionWaitMs;
  const uint64_t began = platform::TickMs();
  auto leftMs = [&]() -> int {
    const uint64_t spent = platform::TickMs() - began;
    return spent >= static_cast<uint64_t>(budgetMs) ? 0 : budgetMs - static_cast<int>(spent);
  };
  auto runWaitMs = [&]() -> int {
    const int bound = odbc.WaitBoundMs(TODBC::TWaitKind::Statement);
    if (!bounded || bound < 0) return bound;
    return std::max(std::min(bound, leftMs()), std::min(bound, TODBC::kAwayWaitMs));
  };
  // The guard lives exactly as long as its TODBC: held by a weak reference.
  const std::weak_ptr<TWriteGuard> guardRef = odbc.GuardRef();
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
    bool abandoned = false;
    switch (guard.SetUp(records, runWaitMs())) {
      case TWriteGuard::TSetUp::Ready: guarded = true; break;
      case TWriteGuard::TSetUp::Off: break;
      case TWriteGuard::TSetUp::LinkLost: sent = false; break;  // nothing of the write was sent
    }
    std::string text;
    if (sent) {
      if (guarded && seq == 0) seq = guard.NextSeq();
      text = WholeWriteText(guarded ? guard.MarkId() : "", seq, writes, report);
      TRequest r = Send(odbc, text, runWaitMs());
      abandoned = r.abandoned;
      if (!abandoned && Ran(r.code)) {
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
      if (!abandoned && !records.empty() && RefusesCompound(records.front()) &&
          guard.Compound() != TWriteGuard::TState::On) {
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
    // A run given up after its bound is a lost link: whether it was applied is not known.
    // Only the server's own refusal (its error numbers run below 2000) says that the
    // transaction was rolled back; a failure of the client library, or none described, leaves
    // it unknown whether the COMMIT went through: taken as a lost link, so the mark settles it.
    const bool serverSaid = first.native > 0 && first.native < 2000;
    const TSqlOutcome::TKind failure = !sent || abandoned || !serverSaid ? TSqlOutcome::TKind::LinkLost
                                                                         : FailureKindOf(first, true);
    TRetryPolicy::TStep step = policy.AfterFailure(failure, sent, guarded);
    if (failure == TSqlOutcome::TKind::LinkLost) odbc.MarkConnectionDead();
    const bool timeLeft = !bounded || leftMs() > TODBC::kAwayWaitMs;
    if (!timeLeft && step == TRetryPolicy::TStep::Repeat) step = TRetryPolicy::TStep::GiveUp;
    auto lost = [&](std::vector<TDiagRecord> failed) {
      if (!guardRef.expired()) odbc.CountLostExecution();
      result.outcome = TSqlOutcome::LinkLost(std::move(failed));
      return result;
    };
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
        if (failure == TSqlOutcome::TKind::LinkLost) return lost(std::move(records));
        result.outcome = TSqlOutcome::Failure(failure, std::move(records));
        return result;
      case TRetryPolicy::TStep::NotRepeated:
        metrics::Report(metrics::TEvent::SqlGivenUp);
        logLine("The connection was lost while this statement ran; it may have been applied and is not repeated: " +
                TODBCStatement::Shown(shown));
        return lost(std::move(records));
      case TRetryPolicy::TStep::Reconnect:
      case TRetryPolicy::TStep::Keep:
        break;
    }
    if (step == TRetryPolicy::TStep::Reconnect) {
      const std::function<bool(int)> reconnect = odbc.ReconnectHook;
      // The new connection is waited for within what is left of the time, and another run
      // needs time of its own after it.
      const bool again = timeLeft && reconnect && reconnect(bounded ? leftMs() : -1);
      if (again && odbc.Connected() && (!bounded || leftMs() > TODBC::kAwayWaitMs)) {
        metrics::Report(metrics::TEvent::SqlRetriedLost);
        continue;
      }
      step = policy.AfterReconnectFailed(guarded);
    }
    if (step == TRetryPolicy::TStep::Keep && !text.empty()) {
      if (const std::shared_ptr<TWriteGuard> keeper = guardRef.lock()) {
        keeper->KeepWhole(text, seq, shown);
        result.kept = true;
        logLine("The connection was lost while this write ran; it is applied once when the connection is back: " +
                TODBCStatement::Shown(shown));
      } else {
        logLine("The connection was lost while this write ran and could not be kept: " + TODBCStatement::Shown(shown));
      }
    }
    return lost(std::move(records));
  }
}

TSqlOutcome ReplayWholeWrite(TODBC& odbc, const std::string& text) {
  if (!odbc.Connected() || !odbc.Loaded()) return TSqlOutcome::Failed();
  const TRequest r = Send(odbc, text, odbc.WaitBoundMs(TODBC::TWaitKind::Statement));
  if (r.abandoned) return TSqlOutcome::LinkLost();
  if (Ran(r.code)) return AppliedEarlier(r) ? TSqlOutcome::AppliedEarlier() : TSqlOutcome::Done();
  // As for a first run: only the server's own refusal says that nothing was applied.
  const bool serverSaid = !r.records.empty() && r.records.front().native > 0 && r.records.front().native < 2000;
  const TSqlOutcome::TKind kind = serverSaid ? FailureKindOf(r.records.front(), true) : TSqlOutcome::TKind::LinkLost;
  if (kind == TSqlOutcome::TKind::LinkLost) odbc.MarkConnectionDead();
  return TSqlOutcome::Failure(kind, r.records);
}

}  // namespace tarn
