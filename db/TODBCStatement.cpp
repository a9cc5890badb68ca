#include "db/TODBCStatement.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "log/TMessLog.h"
#include "platform/Tick.h"
#include "metrics/Metrics.h"
#include "util/Strings.h"

namespace tarn {

namespace {

// A driver may report a display size in the gigabytes (binary large objects); the bound
// text buffer of such a column is kept to this many characters.
constexpr int32_t kMaxBufferWidth = 1 << 20;

SQLPOINTER AttrValue(intptr_t v) { return reinterpret_cast<SQLPOINTER>(v); }

// Optionally signed decimal integer within 32 bits; nothing else.
bool ParseInt32(std::string_view s, int32_t& out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return false;
  const char* end = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(s.data(), end, out);
  return ec == std::errc() && ptr == end;
}

int32_t IntPart(std::string_view text, size_t from, size_t count, int32_t def) {
  if (from >= text.size()) return def;
  int32_t v = 0;
  return ParseInt32(text.substr(from, count), v) ? v : def;
}

}  // namespace

TODBCStatement::TODBCStatement(TODBC* odbc) : odbc_(odbc) {
  if (odbc_ != nullptr) BindColumns = odbc_->BindColumns;
  SetUp();
}

TODBCStatement::~TODBCStatement() {
  try {
    if (odbc_ != nullptr) odbc_->UnregisterStatement(this);
    FreeHandle();
  } catch (...) {
  }
}

void TODBCStatement::Invalidate() noexcept {
  try {
    FreeHandle();
  } catch (...) {
  }
  columns_.clear();
  buffers_.clear();
  memoCache_.clear();
  noData_ = false;
  odbc_ = nullptr;
}

void TODBCStatement::Detach() noexcept {
  try {
    FreeHandle();
  } catch (...) {
  }
}

void TODBCStatement::FreeHandle() noexcept {
  if (handle_ == SQL_NULL_HSTMT || odbc_ == nullptr || !odbc_->Loaded()) {
    handle_ = SQL_NULL_HSTMT;
    return;
  }
  const TOdbcEntryPoints& api = odbc_->Api();
  ReportStmtError(api.SQLCancel(handle_));
  ReportStmtError(api.SQLFreeStmt(handle_, SQL_CLOSE));
  ReportStmtError(api.SQLFreeStmt(handle_, SQL_UNBIND));
  ReportStmtError(api.SQLFreeStmt(handle_, SQL_RESET_PARAMS));
  const SQLRETURN code = api.SQLFreeHandle(SQL_HANDLE_STMT, handle_);
  ReportStmtError(code);
  handle_ = SQL_NULL_HSTMT;
}

void TODBCStatement::SetUp() {
  // Jobs that run without asking the managed connection first (schedules, resets) find no
  // statement while a connection attempt works on the TODBC.
  if (odbc_ == nullptr || odbc_->AttemptRunning() || !odbc_->Loaded() ||
      odbc_->ConnectionHandle() == SQL_NULL_HDBC)
    return;
  const TOdbcEntryPoints& api = odbc_->Api();
  SQLHANDLE h = SQL_NULL_HANDLE;
  if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_STMT, odbc_->ConnectionHandle(), &h))) return;
  handle_ = h;

  for (intptr_t concurrency : {SQL_CONCUR_ROWVER, SQL_CONCUR_VALUES, SQL_CONCUR_LOCK})
    if (api.SQLSetStmtAttr(handle_, SQL_ATTR_CONCURRENCY, AttrValue(concurrency), 0) != SQL_ERROR)
      break;
  api.SQLSetStmtAttr(handle_, SQL_ATTR_METADATA_ID, AttrValue(SQL_FALSE), 0);
  ReportStmtError(
      api.SQLSetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, AttrValue(SQL_CURSOR_DYNAMIC), 0));

  const TDriverFamily family = odbc_->DriverFamily();
  if (family == dfOracle || family == dfMySQL) {
    SQLULEN type = SQL_CURSOR_FORWARD_ONLY;
    if (SqlSucceeded(api.SQLGetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, &type, 0, nullptr)) &&
        ((family == dfOracle && type == SQL_CURSOR_KEYSET_DRIVEN) ||
         (family == dfMySQL && type == SQL_CURSOR_STATIC)))
      api.SQLSetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, AttrValue(SQL_CURSOR_FORWARD_ONLY), 0);
  }

  SQLULEN type = SQL_CURSOR_FORWARD_ONLY;
  SQLUINTEGER bits = 0;
  if (SqlSucceeded(api.SQLGetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, &type, 0, nullptr))) {
    SQLUSMALLINT info = SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1;
    if (type == SQL_CURSOR_KEYSET_DRIVEN)
      info = SQL_KEYSET_CURSOR_ATTRIBUTES1;
    else if (type == SQL_CURSOR_DYNAMIC)
      info = SQL_DYNAMIC_CURSOR_ATTRIBUTES1;
    else if (type == SQL_CURSOR_STATIC)
      info = SQL_STATIC_CURSOR_ATTRIBUTES1;
    if (!SqlSucceeded(api.SQLGetInfo(odbc_->ConnectionHandle(), info, &bits, sizeof(bits), nullptr)))
      bits = 0;
  } else {
    type = SQL_CURSOR_FORWARD_ONLY;
  }
  canRefresh_ = (bits & SQL_CA1_POS_REFRESH) != 0 && type != SQL_CURSOR_STATIC;
  canAbsolute_ = (bits & SQL_CA1_ABSOLUTE) != 0;
  canRelative_ = (bits & SQL_CA1_RELATIVE) != 0;
  if (type == SQL_CURSOR_FORWARD_ONLY) {
    // Some drivers report the capabilities of their scrollable cursors for the forward-only
    // one too; a forward-only cursor can neither scroll nor refresh its row.
    canRefresh_ = false;
    canAbsolute_ = false;
    canRelative_ = false;
  }
  forwardOnly_ = !canAbsolute_ && !canRelative_;

  api.SQLSetStmtAttr(handle_, SQL_ATTR_MAX_ROWS, AttrValue(0), 0);
  odbc_->RegisterStatement(this);
}

SQLRETURN TODBCStatement::Execute(const std::string& sql) {
  // Every execution of the system passes here, on the connection's worker thread; the
  // caller waits for its code.
  auto exec = odbc_->Api().SQLExecDirect;
  SQLHSTMT handle = handle_;
  SQLRETURN code = SQL_ERROR;
  const std::function<void()> job = [exec, handle, &sql, &code] {
    code = exec(handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  };
  const auto began = std::chrono::steady_clock::now();
  if (!odbc_->Worker().Run(job)) return SQL_ERROR;
  metrics::ReportStatementTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  return code;
}

bool TODBCStatement::DoSQL(const std::string& sql) { return Run(sql, 0); }

bool TODBCStatement::ReplayGuardedWrite(const std::string& sql, uint64_t seq) { return Run(sql, seq); }

bool TODBCStatement::Run(const std::string& sql, uint64_t replaySeq) {
  lastSQL_ = sql;
  noData_ = false;
  linkLost_ = false;
  foundApplied_ = false;
  // A statement kept over a reconnect sets up its handle on the new connection.
  if (!Allocated() && odbc_ != nullptr && !odbc_->AttemptRunning() && odbc_->Connected()) SetUp();
  if (!Allocated() || odbc_ == nullptr) return false;
  {
    const TOdbcEntryPoints& api = odbc_->Api();
    api.SQLFreeStmt(handle_, SQL_UNBIND);
    ReportStmtError(api.SQLFreeStmt(handle_, SQL_CLOSE));
  }
  columns_.clear();
  FreeBuffers();
  memoCache_.clear();

  const uint64_t start = platform::TickMs();
  bool appliedBefore = false;
  const SQLRETURN code = ExecuteSafely(sql, replaySeq, appliedBefore);
  TimingLine(platform::TickMs() - start, "DoSQL");
  // A failed reconnect may have taken the connection from this statement.
  if (odbc_ == nullptr || !Allocated()) return false;
  foundApplied_ = appliedBefore;
  if (appliedBefore) return true;
  const TOdbcEntryPoints& api = odbc_->Api();

  noData_ = false;
  const std::string verb = Trim(UpperCase(sql.substr(0, std::min<size_t>(6, sql.size()))));
  const bool changesRows = verb == "INSERT" || verb == "DELETE" || verb == "UPDATE";
  if (SqlSucceeded(code)) {
    DescribeColumns();
    if (verb == "SELECT") {
      std::string third;
      const size_t first = sql.find(' ');
      if (first != std::string::npos) {
        const size_t second = sql.find(' ', first + 1);
        if (second != std::string::npos) {
          third = Trim(UpperCase(sql.substr(second + 1)));
          third = third.substr(0, third.find(' '));
        }
      }
      if (third == "INTO") return true;
      const bool fetched = dbSkip(skNext, 1);
      noData_ = !fetched;
      return fetched;
    }
    if (changesRows) {
      // Some drivers report an UPDATE or DELETE that touched nothing as success with a row
      // count of 0 instead of SQL_NO_DATA; callers must see both the same way.
      SQLLEN rows = -1;
      if (SqlSucceeded(api.SQLRowCount(handle_, &rows)) && rows == 0) noData_ = true;
    }
    return true;
  }
  if (code == SQL_NO_DATA) {
    noData_ = true;
    return changesRows;
  }
  return false;
}

namespace {

TDiagRecord ReadDiag(const TOdbcEntryPoints& api, SQLSMALLINT type, SQLHANDLE handle) {
  TDiagRecord diag;
  if (handle == SQL_NULL_HANDLE) return diag;
  std::array<SQLCHAR, 6> state{};
  std::array<SQLCHAR, 512> message{};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (!SqlSucceeded(api.SQLGetDiagRec(type, handle, 1, state.data(), &native, message.data(), message.size(),
                                      &length)))
    return diag;
  diag.state.assign(reinterpret_cast<const char*>(state.data()), strnlen(reinterpret_cast<const char*>(state.data()), 5));
  diag.native = native;
  diag.message.assign(reinterpret_cast<const char*>(message.data()),
                      strnlen(reinterpret_cast<const char*>(message.data()), message.size()));
  return diag;
}

SQLRETURN ExecText(const TOdbcEntryPoints& api, SQLHSTMT handle, const std::string& sql) {
  return api.SQLExecDirect(handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
}

// The statement's text for a log line: long texts are cut.
std::string Shown(const std::string& sql) { return sql.size() > 300 ? sql.substr(0, 300) + "..." : sql; }

}  // namespace

void TODBCStatement::LogLine(const std::string& text) {
  if (odbc_ != nullptr && odbc_->MessLog != nullptr) odbc_->MessLog->Log(text);
}

SQLRETURN TODBCStatement::ExecuteSafely(const std::string& sql, uint64_t replaySeq, bool& appliedBefore) {
  appliedBefore = false;
  const bool mysql = odbc_->DriverFamily() == dfMySQL;
  const TRepeatKind kind = replaySeq != 0 ? TRepeatKind::Once : RepeatKindOf(sql);
  uint64_t seq = replaySeq;
  int conflicts = 0;
  int reconnects = 0;
  for (;;) {
    TDiagRecord diag;
    SQLRETURN code = SQL_ERROR;
    bool guarded = false;
    bool linkLostFirst = false;
    // A kept write is settled before a later one may move the mark past its number.
    if (kind == TRepeatKind::Once && replaySeq == 0 && odbc_->HasPendingWrites()) {
      odbc_->ResolvePendingWrites();
      if (odbc_->HasPendingWrites()) return SQL_ERROR;
      if (!Allocated()) SetUp();
      if (!Allocated()) return SQL_ERROR;
    }
    if (kind == TRepeatKind::Once && mysql) {
      switch (SetUpGuard(diag)) {
        case TGuardSetUp::Ready:
          guarded = true;
          break;
        case TGuardSetUp::Off:
          break;
        case TGuardSetUp::LinkLost:
          linkLostFirst = true;  // nothing of the write was sent yet
          break;
      }
    }
    if (!linkLostFirst) {
      if (guarded) {
        if (seq == 0) seq = odbc_->NextMarkSeq();
        code = ExecuteGuarded(sql, seq, appliedBefore, diag);
      } else {
        code = Execute(sql);
        if (!SqlSucceeded(code) && code != SQL_NO_DATA) diag = ReadDiag(odbc_->Api(), SQL_HANDLE_STMT, handle_);
      }
      if (SqlSucceeded(code) || code == SQL_NO_DATA) return code;
    }
    if (!linkLostFirst && IsConflict(diag, mysql)) {
      if (++conflicts < kConflictAttempts) {
        metrics::Report(metrics::TEvent::SqlRetriedConflict);
        std::this_thread::sleep_for(std::chrono::milliseconds(kConflictPauseMs * conflicts));
        continue;
      }
      metrics::Report(metrics::TEvent::SqlGivenUp);
      LogLine("Statement not applied after " + std::to_string(conflicts) + " conflicts with other writers (SQLSTATE " +
              diag.state + "), given up: " + Shown(sql));
      return code;
    }
    if (!linkLostFirst && !IsLinkLoss(diag, mysql)) return code;
    // The link is lost: whether the statement was applied is not known.
    linkLost_ = true;
    odbc_->MarkConnectionDead();
    if (kind == TRepeatKind::Once && !guarded && !linkLostFirst) {
      metrics::Report(metrics::TEvent::SqlGivenUp);
      LogLine("The connection was lost while this statement ran; it may have been applied and is not repeated: " +
              Shown(sql));
      return code;
    }
    const bool again = replaySeq == 0 && reconnects++ < 2 && odbc_->ReconnectHook && odbc_->ReconnectHook();
    if (again && odbc_ != nullptr && odbc_->Connected()) {
      if (!Allocated()) SetUp();
      if (Allocated()) {
        metrics::Report(metrics::TEvent::SqlRetriedLost);
        linkLost_ = false;
        continue;
      }
    }
    if (guarded && replaySeq == 0 && odbc_ != nullptr) {
      odbc_->AddPendingWrite(sql, seq);
      LogLine("The connection was lost while this write ran; it is applied once when the connection is back: " +
              Shown(sql));
    } else if (guarded && replaySeq == 0) {
      LogLine("The connection was lost while this write ran and could not be kept: " + Shown(sql));
    }
    return code == SQL_NO_DATA || SqlSucceeded(code) ? SQL_ERROR : code;
  }
}

TODBCStatement::TGuardSetUp TODBCStatement::SetUpGuard(TDiagRecord& diag) {
  if (odbc_->Guard() == TODBC::TGuard::On) return TGuardSetUp::Ready;
  if (odbc_->Guard() == TODBC::TGuard::Off) return TGuardSetUp::Off;
  const TOdbcEntryPoints& api = odbc_->Api();
  const SQLHDBC dbc = odbc_->ConnectionHandle();
  TGuardSetUp result = TGuardSetUp::Off;
  const std::function<void()> job = [&] {
    SQLHANDLE ctl = SQL_NULL_HANDLE;
    if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_STMT, dbc, &ctl))) return;
    // Rows of runs that ended long ago (a computer replaced, a crash) are cleared; a row still
    // in use is moved at every write, and one cleared anyway is made again by the next write.
    SQLRETURN code = ExecText(api, ctl,
                              "CREATE TABLE IF NOT EXISTS write_mark (id CHAR(32) NOT NULL PRIMARY KEY, "
                              "seq BIGINT NOT NULL, made DATETIME NOT NULL) ENGINE=InnoDB");
    if (!SqlSucceeded(code) && code != SQL_NO_DATA) {
      diag = ReadDiag(api, SQL_HANDLE_STMT, ctl);
      api.SQLFreeStmt(ctl, SQL_CLOSE);
      code = ExecText(api, ctl, "SELECT seq FROM write_mark WHERE 1 = 0");
      if (!SqlSucceeded(code) && code != SQL_NO_DATA) {
        const TDiagRecord probe = ReadDiag(api, SQL_HANDLE_STMT, ctl);
        result = IsLinkLoss(probe, true) ? TGuardSetUp::LinkLost : TGuardSetUp::Off;
        if (result == TGuardSetUp::LinkLost) diag = probe;
        api.SQLFreeHandle(SQL_HANDLE_STMT, ctl);
        return;
      }
    }
    api.SQLFreeStmt(ctl, SQL_CLOSE);
    ExecText(api, ctl, "DELETE FROM write_mark WHERE made < NOW() - INTERVAL 30 DAY");
    api.SQLFreeHandle(SQL_HANDLE_STMT, ctl);
    result = TGuardSetUp::Ready;
  };
  if (!odbc_->Worker().Run(job)) return TGuardSetUp::Off;
  if (result == TGuardSetUp::Ready) odbc_->SetGuard(TODBC::TGuard::On);
  if (result == TGuardSetUp::Off) {
    odbc_->SetGuard(TODBC::TGuard::Off);
    LogLine("Writes are not guarded against a lost connection: the table write_mark cannot be made (" +
            diag.message + ")");
  }
  return result;
}

SQLRETURN TODBCStatement::ExecuteGuarded(const std::string& sql, uint64_t seq, bool& appliedBefore,
                                         TDiagRecord& diag) {
  const TOdbcEntryPoints& api = odbc_->Api();
  const SQLHDBC dbc = odbc_->ConnectionHandle();
  const SQLHSTMT handle = handle_;
  const std::string id = odbc_->MarkId();
  const std::string n = std::to_string(seq);
  SQLRETURN result = SQL_ERROR;
  appliedBefore = false;
  const std::function<void()> job = [&] {
    SQLHANDLE ctl = SQL_NULL_HANDLE;
    if (!SqlSucceeded(api.SQLAllocHandle(SQL_HANDLE_STMT, dbc, &ctl))) {
      diag = ReadDiag(api, SQL_HANDLE_DBC, dbc);
      return;
    }
    auto ok = [](SQLRETURN c) { return SqlSucceeded(c) || c == SQL_NO_DATA; };
    // Runs a control statement; on failure its diagnostics are kept and the transaction is
    // given up (the server has rolled it back when the link is gone).
    auto control = [&](const std::string& text) {
      api.SQLFreeStmt(ctl, SQL_CLOSE);
      const SQLRETURN c = ExecText(api, ctl, text);
      if (ok(c)) return true;
      diag = ReadDiag(api, SQL_HANDLE_STMT, ctl);
      result = c;
      return false;
    };
    auto rollback = [&] {
      api.SQLFreeStmt(ctl, SQL_CLOSE);
      ExecText(api, ctl, "ROLLBACK");
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
      const SQLRETURN fetched = api.SQLFetch(ctl);
      if (SqlSucceeded(fetched)) {
        // The row stands at this number: the first run was committed.
        api.SQLFreeStmt(ctl, SQL_CLOSE);
        rollback();
        appliedBefore = true;
        result = SQL_SUCCESS;
        return end();
      }
      // No row yet (or cleared): made now, inside the transaction.
      if (!control("INSERT INTO write_mark (id, seq, made) VALUES ('" + id + "', " + n + ", NOW())")) {
        rollback();
        // Another run made it first: try the whole write again, the mark decides then.
        if (diag.state == "23000") diag.state = "40001";
        return end();
      }
    }
    const SQLRETURN code = ExecText(api, handle, sql);
    if (!ok(code)) {
      diag = ReadDiag(api, SQL_HANDLE_STMT, handle);
      result = code;
      rollback();
      return end();
    }
    // The row count is read before the commit (the handle stays as the statement left it).
    if (!control("COMMIT")) return end();
    result = code;
    end();
  };
  const auto began = std::chrono::steady_clock::now();
  if (!odbc_->Worker().Run(job)) return SQL_ERROR;
  metrics::ReportStatementTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  return result;
}

bool TODBCStatement::ExecSQL(const std::string& sql) {
  const bool result = DoSQL(sql);
  if (!result && !noData_ && odbc_ != nullptr) {
    if (odbc_->AttemptRunning()) {
      // A new connection is being made on the TODBC (the link was lost): this statement has
      // no handle and no diagnostics of its own, and the TODBC belongs to the attempt.
      if (odbc_->MessLog != nullptr) odbc_->MessLog->Add(sql);
    } else if (odbc_->MessLog != nullptr) {
      const bool saved = odbc_->ReportErrors;
      odbc_->ReportErrors = true;
      odbc_->MessLog->Add(sql);
      ReportStmtError(SQL_ERROR);
      if (odbc_ != nullptr) odbc_->ReportErrors = saved;
    } else {
      ReportStmtError(SQL_ERROR);
    }
  }
  return result;
}

void TODBCStatement::LogFormatError(std::string_view format, const char* what) {
  if (odbc_ != nullptr && odbc_->MessLog != nullptr)
    odbc_->MessLog->Log("SQL format error: " + std::string(what) + " in '" + std::string(format) + "'");
}

TColumnKind TODBCStatement::KindOfType(SQLLEN type, int32_t& size) {
  switch (type) {
    case SQL_UNKNOWN_TYPE:
      return ckUnknown;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WVARCHAR:
    case SQL_WCHAR:
    case SQL_LONGVARBINARY:
    case SQL_VARBINARY:
      return ckString;
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
      return ckInteger;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return ckFloat;
    case SQL_BIT:
      return ckBoolean;
    case SQL_TYPE_DATE:
      return ckDate;
    case SQL_TIME:
    case SQL_TYPE_TIME:
      return ckTime;
    case SQL_DATE:
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP:
      return ckDateTime;
    case SQL_WLONGVARCHAR:
    case SQL_LONGVARCHAR:
      return ckMemo;
    default:
      size = 0;
      return ckUnknown;
  }
}

void TODBCStatement::FreeBuffers() { buffers_.clear(); }

void TODBCStatement::DescribeColumns() {
  columns_.clear();
  FreeBuffers();
  const TOdbcEntryPoints& api = odbc_->Api();
  SQLSMALLINT n = 0;
  if (!SqlSucceeded(api.SQLNumResultCols(handle_, &n)) || n < 0) n = 0;
  // The indicators are bound by address: the list must not move once binding starts.
  columns_.reserve(static_cast<size_t>(n));
  buffers_.resize(static_cast<size_t>(n));
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(n); ++i) {
    std::array<char, 254> name{};
    SQLSMALLINT nameLength = 0;
    ReportStmtError(api.SQLColAttribute(handle_, i, SQL_DESC_NAME, name.data(), name.size(),
                                        &nameLength, nullptr));
    SQLLEN size = 0;
    ReportStmtError(api.SQLColAttribute(handle_, i, SQL_DESC_DISPLAY_SIZE, nullptr, 0, nullptr, &size));
    SQLLEN type = SQL_CHAR;
    if (!SqlSucceeded(api.SQLColAttribute(handle_, i, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &type)))
      type = SQL_CHAR;
    int32_t size32 = static_cast<int32_t>(std::clamp<SQLLEN>(size, -1, INT32_MAX));
    if (odbc_->DriverFamily() == dfSQLServer && size32 == 0 && type == SQL_VARCHAR) size32 = 8000;
    const TColumnKind kind = KindOfType(type, size32);
    TColInfo info;
    info.Name = UpperCase(std::string(name.data(), strnlen(name.data(), 128)));
    info.Kind = kind;
    info.Size = size32;
    columns_.push_back(info);
    std::vector<char>& buffer = buffers_[i - 1];
    if (kind == ckMemo) {
      buffer.assign(1, 0);
      continue;
    }
    int32_t width = size32 < 1 ? 10 : std::min(size32, kMaxBufferWidth);
    if (kind == ckInteger || kind == ckFloat) width += 20;
    // Drivers give the size of a text column in characters but fill the buffer with UTF-8
    // bytes, up to four a character: a name that fills its column must not be cut.
    if (kind == ckString) width = std::min(width * 4, kMaxBufferWidth);
    buffer.assign(static_cast<size_t>(width) + 2, 0);
    columns_.back().Indicator = width + 1;
    ReportStmtError(api.SQLBindCol(handle_, i, SQL_C_CHAR, buffer.data(), width + 1,
                                   &columns_.back().Indicator));
  }
}

bool TODBCStatement::dbSkip(TSkipMode mode, int32_t offset) {
  for (auto& buffer : buffers_)
    if (!buffer.empty()) buffer[0] = 0;
  memoCache_.clear();
  if (!Allocated() || odbc_ == nullptr) return false;
  if (mode > skRelative) return false;
  // A forward-only cursor can only move on: every mode fetches the next row there.
  if (!forwardOnly_) {
    const bool needsAbsolute = mode == skFirst || mode == skLast || mode == skAbsolute;
    const bool needsRelative = mode == skPrior || mode == skRelative;
    if ((needsAbsolute && !canAbsolute_) || (needsRelative && !canRelative_)) return false;
  }
  const TOdbcEntryPoints& api = odbc_->Api();
  const uint64_t start = platform::TickMs();
  SQLRETURN code = SQL_ERROR;
  if (forwardOnly_ || mode == skNext) {
    code = api.SQLFetch(handle_);
  } else {
    switch (mode) {
      case skFirst: code = api.SQLFetchScroll(handle_, SQL_FETCH_FIRST, 0); break;
      case skLast: code = api.SQLFetchScroll(handle_, SQL_FETCH_LAST, 0); break;
      case skPrior: code = api.SQLFetchScroll(handle_, SQL_FETCH_PRIOR, 0); break;
      case skAbsolute: code = api.SQLFetchScroll(handle_, SQL_FETCH_ABSOLUTE, offset); break;
      case skRelative: code = api.SQLFetchScroll(handle_, SQL_FETCH_RELATIVE, offset); break;
      default: break;
    }
  }
  TimingLine(platform::TickMs() - start, "dbSkip");
  return SqlSucceeded(code);
}

int TODBCStatement::FindColumn(std::string_view name) const {
  const std::string wanted = UpperCase(name);
  for (size_t i = 0; i < columns_.size(); ++i)
    if (columns_[i].Name == wanted) return static_cast<int>(i);
  return -1;
}

TColumnKind TODBCStatement::ColumnKind(int index) const {
  if (index < 0 || index >= ColumnCount()) return ckUnknown;
  return columns_[static_cast<size_t>(index)].Kind;
}

int32_t TODBCStatement::ColumnSize(int index) const {
  if (index < 0 || index >= ColumnCount()) return -1;
  return columns_[static_cast<size_t>(index)].Size;
}

SQLLEN TODBCStatement::GetData(int column, SQLSMALLINT targetType, SQLPOINTER buffer, SQLLEN length) {
  if (!Allocated() || odbc_ == nullptr) return 0;
  const TOdbcEntryPoints& api = odbc_->Api();
  SQLLEN indicator = 0;
  SQLRETURN code = api.SQLGetData(handle_, static_cast<SQLUSMALLINT>(column), targetType, buffer,
                                  length, &indicator);
  if (code == SQL_NO_DATA && canRefresh_) {
    // The value was read before in this row: refresh the row and read it once more.
    if (api.SQLSetPos(handle_, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE) != SQL_ERROR) {
      indicator = 0;
      code = api.SQLGetData(handle_, static_cast<SQLUSMALLINT>(column), targetType, buffer,
                            length, &indicator);
    }
  }
  if (!SqlSucceeded(code)) return code == SQL_NO_DATA ? 0 : indicator;
  return indicator;
}

std::string TODBCStatement::FieldByIndexAsString(int index) {
  if (index < 0 || index >= ColumnCount() || static_cast<size_t>(index) >= buffers_.size())
    return "";
  if (columns_[static_cast<size_t>(index)].Kind != ckMemo) {
    const std::vector<char>& buffer = buffers_[static_cast<size_t>(index)];
    return Trim(std::string_view(buffer.data(), strnlen(buffer.data(), buffer.size())));
  }
  // A driver delivers a long value only once per row unless the row can be refreshed, so the
  // value read is kept until the cursor moves: reading it again gives the same text.
  const auto cached = memoCache_.find(index);
  if (cached != memoCache_.end()) return cached->second;
  char probe[1] = {0};
  std::string value;
  const SQLLEN total = GetData(index + 1, SQL_C_CHAR, probe, 0);
  if (total > 0) {
    std::vector<char> text(static_cast<size_t>(total) + 2, 0);
    const SQLLEN got = GetData(index + 1, SQL_C_CHAR, text.data(), total + 1);
    if (got > 0) {
      const size_t n = std::min(static_cast<size_t>(got), static_cast<size_t>(total));
      value = Trim(std::string_view(text.data(), strnlen(text.data(), n)));
    }
  }
  memoCache_.emplace(index, value);
  return value;
}

std::string TODBCStatement::FieldAsString(std::string_view name) {
  return FieldByIndexAsString(FindColumn(name));
}

int32_t TODBCStatement::FieldAsInteger(std::string_view name) {
  const int index = FindColumn(name);
  if (index < 0) return 0;
  int32_t value = 0;
  return ParseInt32(FieldByIndexAsString(index), value) ? value : 0;
}

double TODBCStatement::FieldAsFloat(std::string_view name) {
  const int index = FindColumn(name);
  if (index < 0) return 0;
  return StrToFloatDef(FieldByIndexAsString(index), 0);
}

bool TODBCStatement::FieldAsBoolean(std::string_view name) { return FieldAsInteger(name) != 0; }

TDateTime TODBCStatement::ParseDate(std::string_view text) {
  const int32_t year = IntPart(text, 0, 4, 1899);
  const int32_t month = IntPart(text, 5, 2, 12);
  const int32_t day = IntPart(text, 8, 2, 30);
  TDateTime out = 0;
  return TryEncodeDate(year, month, day, out) ? out : 0;
}

TDateTime TODBCStatement::ParseTime(std::string_view text) {
  const int32_t hour = IntPart(text, 0, 2, 0);
  const int32_t minute = IntPart(text, 3, 2, 0);
  const int32_t second = IntPart(text, 6, 2, 0);
  TDateTime out = 0;
  return TryEncodeTime(hour, minute, second, 0, out) ? out : 0;
}

TDateTime TODBCStatement::ParseDateTime(std::string_view text) {
  const int32_t year = IntPart(text, 0, 4, 1899);
  const int32_t month = IntPart(text, 5, 2, 12);
  const int32_t day = IntPart(text, 8, 2, 30);
  const int32_t hour = IntPart(text, 11, 2, 0);
  const int32_t minute = IntPart(text, 14, 2, 0);
  const int32_t second = IntPart(text, 17, 2, 0);
  TDateTime date = 0;
  TDateTime time = 0;
  if (TryEncodeDate(year, month, day, date) && TryEncodeTime(hour, minute, second, 0, time))
    return date + time;
  return 0;
}

TDateTime TODBCStatement::FieldAsDateTime(std::string_view name) {
  TDateTime result = Date();
  const int index = FindColumn(name);
  if (index < 0) return result;
  switch (ColumnKind(index)) {
    case ckDate: return ParseDate(FieldByIndexAsString(index));
    case ckTime: return ParseTime(FieldByIndexAsString(index));
    case ckDateTime: return ParseDateTime(FieldByIndexAsString(index));
    default: return result;
  }
}

std::string TODBCStatement::GetColumnNames(const std::string& table) {
  if (!Allocated() || odbc_ == nullptr) return "";
  const TOdbcEntryPoints& api = odbc_->Api();
  ReportStmtError(api.SQLFreeStmt(handle_, SQL_CLOSE));
  ReportStmtError(api.SQLFreeStmt(handle_, SQL_UNBIND));
  ReportStmtError(api.SQLFreeStmt(handle_, SQL_RESET_PARAMS));
  columns_.clear();
  FreeBuffers();
  memoCache_.clear();
  std::string name = odbc_->DriverFamily() == dfFirebird ? UpperCase(table) : table;
  const SQLRETURN code = api.SQLColumns(handle_, nullptr, 0, nullptr, 0,
                                        reinterpret_cast<SQLCHAR*>(name.data()), SQL_NTS, nullptr, 0);
  if (!SqlSucceeded(code)) return "";
  std::array<char, 126> column{};
  SQLLEN indicator = 0;
  api.SQLBindCol(handle_, 4, SQL_C_CHAR, column.data(), column.size(), &indicator);
  std::string result;
  while (true) {
    column.fill(0);
    if (api.SQLFetch(handle_) != SQL_SUCCESS) break;
    std::string one = UpperCase(std::string_view(column.data(), strnlen(column.data(), column.size())));
    if (one.find(' ') != std::string::npos) one = "\"" + one + "\"";
    if (!result.empty()) result += ',';
    result += one;
  }
  api.SQLFreeStmt(handle_, SQL_UNBIND);
  api.SQLFreeStmt(handle_, SQL_CLOSE);
  return result;
}

void TODBCStatement::ReportStmtError(SQLRETURN code) {
  if (odbc_ == nullptr || !odbc_->ReportErrors || SqlSucceeded(code) || handle_ == SQL_NULL_HSTMT)
    return;
  const TOdbcEntryPoints& api = odbc_->Api();
  for (SQLSMALLINT record = 1;; ++record) {
    std::array<SQLCHAR, 6> state{};
    std::array<SQLCHAR, 512> message{};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!SqlSucceeded(api.SQLGetDiagRec(SQL_HANDLE_STMT, handle_, record, state.data(), &native,
                                        message.data(), message.size(), &length)))
      return;
    const std::string sqlState(reinterpret_cast<const char*>(state.data()),
                               strnlen(reinterpret_cast<const char*>(state.data()), 5));
    if (sqlState == "HY000") {
      message.fill(0);
      if (!SqlSucceeded(api.SQLGetDiagField(SQL_HANDLE_STMT, handle_, record, SQL_DIAG_MESSAGE_TEXT,
                                            message.data(), message.size(), &length)))
        return;
    }
    const std::string text =
        std::string(reinterpret_cast<const char*>(message.data()),
                    strnlen(reinterpret_cast<const char*>(message.data()), message.size())) +
        ". State:  " + sqlState;
    odbc_->CheckConnectionLoss(sqlState, text);
    if (sqlState == "IM001") return;
    if (odbc_->MessLog != nullptr) odbc_->MessLog->Log(text);
  }
}

void TODBCStatement::TimingLine(uint64_t elapsedMs, const char* label) {
  if (odbc_ == nullptr || odbc_->TimeOverMs == 0 || odbc_->MessLog == nullptr) return;
  if (elapsedMs < odbc_->TimeOverMs) return;
  odbc_->MessLog->LogFmt("%15s #%.2d: %.3f secs '%s'  %s", "*** TIMEOVR ***", 0,
                         static_cast<double>(elapsedMs) / 1000.0, label, lastSQL_);
}

}  // namespace tarn
