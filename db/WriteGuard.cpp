#include "db/WriteGuard.h"

#include <memory>
#include <random>

#include "db/RetryPolicy.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "db/WholeWrite.h"
#include "log/TMessLog.h"

namespace tarn {

namespace {

// One request to the server: the guard's control statements are counted like executions.
SQLRETURN ExecText(const TODBC::TRoundTrips& trips, const TOdbcEntryPoints& api, SQLHSTMT handle,
                   const std::string& sql) {
  trips->fetch_add(1, std::memory_order_relaxed);
  return api.SQLExecDirect(handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
}

bool Ran(SQLRETURN code) { return SqlSucceeded(code) || code == SQL_NO_DATA; }

}  // namespace

void TWriteGuard::LogLine(const std::string& text) const {
  if (odbc_.MessLog != nullptr) odbc_.MessLog->Log(text);
}

const std::string& TWriteGuard::MarkId() {
  if (markId_.empty()) {
    std::random_device random;
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) markId_ += kHex[random() & 15u];
  }
  return markId_;
}

TWriteGuard::TSetUp TWriteGuard::SetUp(std::vector<TDiagRecord>& records, int waitMs) {
  if (state_ == TState::On) return TSetUp::Ready;
  if (state_ == TState::Off) return TSetUp::Off;
  struct TMade {
    TSetUp result = TSetUp::Off;
    std::vector<TDiagRecord> records;
  };
  auto made = std::make_shared<TMade>();
  const auto job = [library = odbc_.LibraryRef(), trips = odbc_.RoundTripCounter(), dbc = odbc_.ConnectionHandle(), made] {
    const TOdbcEntryPoints& api = library->Api();
    SQLHANDLE ctl = SQL_NULL_HANDLE;
    if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_STMT, dbc, &ctl))) return;
    // Rows of runs that ended long ago (a computer replaced, a crash) are cleared; a row still
    // in use is moved at every write, and one cleared anyway is made again by the next write.
    SQLRETURN code = ExecText(trips, api, ctl,
                              "CREATE TABLE IF NOT EXISTS write_mark (id CHAR(32) NOT NULL PRIMARY KEY, "
                              "seq BIGINT NOT NULL, made DATETIME NOT NULL) ENGINE=InnoDB");
    if (!Ran(code)) {
      made->records = ReadDiagRecords(api, SQL_HANDLE_STMT, ctl);
      api.SQLFreeStmt(ctl, SQL_CLOSE);
      // The user may not create tables: the table may be there all the same.
      code = ExecText(trips, api, ctl, "SELECT seq FROM write_mark WHERE 1 = 0");
      if (!Ran(code)) {
        std::vector<TDiagRecord> probe = ReadDiagRecords(api, SQL_HANDLE_STMT, ctl);
        if (!probe.empty() && IsLinkLoss(probe.front(), true)) {
          made->result = TSetUp::LinkLost;
          made->records = std::move(probe);
        }
        api.SQLFreeHandle(SQL_HANDLE_STMT, ctl);
        return;
      }
    }
    api.SQLFreeStmt(ctl, SQL_CLOSE);
    ExecText(trips, api, ctl, "DELETE FROM write_mark WHERE made < NOW() - INTERVAL 30 DAY");
    api.SQLFreeHandle(SQL_HANDLE_STMT, ctl);
    made->result = TSetUp::Ready;
  };
  switch (odbc_.RunOnWorker(job, TODBC::TCall{"Statement", "CREATE TABLE IF NOT EXISTS write_mark", waitMs, false})) {
    case TODBC::TRun::Done: break;
    case TODBC::TRun::NoThread: return TSetUp::Off;
    case TODBC::TRun::Abandoned: return TSetUp::LinkLost;
  }
  if (made->result == TSetUp::Ready) state_ = TState::On;
  if (made->result == TSetUp::Off) {
    state_ = TState::Off;
    LogLine("Writes are not guarded against a lost connection: the table write_mark cannot be made (" +
            (made->records.empty() ? std::string() : made->records.front().message) + ")");
  }
  if (made->result == TSetUp::LinkLost) records = std::move(made->records);
  return made->result;
}

TGuardedRun TWriteGuard::Run(uint64_t seq, TWork work, int waitMs, std::string_view sql) {
  auto run = std::make_shared<TGuardedRun>();
  const auto job = [library = odbc_.LibraryRef(), trips = odbc_.RoundTripCounter(), dbc = odbc_.ConnectionHandle(), id = MarkId(),
                    n = std::to_string(seq), work = std::move(work), run] {
    const TOdbcEntryPoints& api = library->Api();
    SQLHANDLE ctl = SQL_NULL_HANDLE;
    if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_STMT, dbc, &ctl))) {
      run->records = ReadDiagRecords(api, SQL_HANDLE_DBC, dbc);
      return;
    }
    // Runs a control statement; on failure its records are kept and the transaction is
    // given up (the server has rolled it back when the link is gone).
    auto control = [&](const std::string& text) {
      api.SQLFreeStmt(ctl, SQL_CLOSE);
      const SQLRETURN c = ExecText(trips, api, ctl, text);
      if (Ran(c)) return true;
      run->records = ReadDiagRecords(api, SQL_HANDLE_STMT, ctl);
      run->code = c;
      return false;
    };
    auto rollback = [&] {
      api.SQLFreeStmt(ctl, SQL_CLOSE);
      ExecText(trips, api, ctl, "ROLLBACK");
    };
    auto end = [&] { api.SQLFreeHandle(SQL_HANDLE_STMT, ctl); };
    if (!control("START TRANSACTION")) return end();
    // The mark moves to this write's number unless it stands there already. The row lock it
    // takes waits for a first run still in flight on the server.
    if (!control("UPDATE write_mark SET seq = " + n + ", made = NOW() WHERE id = '" + id + "' AND seq <> " + n)) {
      rollback();
      return end();
    }
    SQLLEN moved = 0;
    if (!SqlSucceeded(api.SQLRowCount(ctl, &moved))) moved = 0;
    if (moved == 0) {
      if (!control("SELECT seq FROM write_mark WHERE id = '" + id + "'")) {
        rollback();
        return end();
      }
      if (SqlSucceeded(api.SQLFetch(ctl))) {
        // The row stands at this number: the first run was committed.
        api.SQLFreeStmt(ctl, SQL_CLOSE);
        rollback();
        run->appliedBefore = true;
        run->code = SQL_SUCCESS;
        return end();
      }
      // No row yet (or cleared): made now, inside the transaction.
      if (!control("INSERT INTO write_mark (id, seq, made) VALUES ('" + id + "', " + n + ", NOW())")) {
        rollback();
        // Another run made it first: try the whole write again, the mark decides then.
        run->raced = !run->records.empty() && run->records.front().state == "23000";
        return end();
      }
    }
    std::vector<TDiagRecord> records;
    const SQLRETURN code = work(records);
    if (!Ran(code)) {
      run->records = std::move(records);
      run->code = code;
      rollback();
      return end();
    }
    // The work's row count is read after the commit: its handle stays as the work left it.
    if (!control("COMMIT")) return end();
    run->code = code;
    end();
  };
  switch (odbc_.RunOnWorker(job, TODBC::TCall{"Statement", sql, waitMs, true})) {
    case TODBC::TRun::Done: return std::move(*run);
    case TODBC::TRun::NoThread: return TGuardedRun{};
    case TODBC::TRun::Abandoned: break;
  }
  TGuardedRun lost;
  lost.abandoned = true;
  return lost;
}

void TWriteGuard::ResolvePending() {
  while (!pending_.empty() && odbc_.Connected()) {
    const TPendingWrite write = pending_.front();
    pending_.erase(pending_.begin());
    const std::string shown = TODBCStatement::Shown(write.shown);
    TSqlOutcome outcome;
    if (write.whole) {
      outcome = ReplayWholeWrite(odbc_, write.sql);
    } else {
      TODBCStatement stmt(&odbc_);
      outcome = stmt.ReplayGuardedWrite(write.sql, write.seq);
    }
    if (outcome.ok()) {
      LogLine(outcome.kind() == TSqlOutcome::TKind::AppliedEarlier
                  ? "Write found applied before the connection was lost: " + shown
                  : "Write applied after the connection came back: " + shown);
    } else if (outcome.linkLost()) {
      pending_.insert(pending_.begin(), write);
      return;
    } else {
      LogLine("Write failed after the connection came back: " + shown);
    }
  }
}

}  // namespace tarn
