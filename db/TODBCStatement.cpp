#include "db/TODBCStatement.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <functional>

#include "db/RetryPolicy.h"
#include "log/TMessLog.h"
#include "platform/Tick.h"
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
  odbc_ = nullptr;
}

void TODBCStatement::Detach() noexcept {
  try {
    FreeHandle();
  } catch (...) {
  }
}

SQLHSTMT TODBCStatement::ReleaseHandle() noexcept {
  const SQLHSTMT handle = handle_;
  handle_ = SQL_NULL_HSTMT;
  return handle;
}

void TODBCStatement::FreeHandle() noexcept {
  if (handle_ == SQL_NULL_HSTMT || odbc_ == nullptr || !odbc_->Loaded()) {
    handle_ = SQL_NULL_HSTMT;
    return;
  }
  const TOdbcEntryPoints& api = odbc_->Api();
  LogHandleDiagnostics(api.SQLCancel(handle_));
  LogHandleDiagnostics(api.SQLFreeStmt(handle_, SQL_CLOSE));
  LogHandleDiagnostics(api.SQLFreeStmt(handle_, SQL_UNBIND));
  LogHandleDiagnostics(api.SQLFreeStmt(handle_, SQL_RESET_PARAMS));
  const SQLRETURN code = api.SQLFreeHandle(SQL_HANDLE_STMT, handle_);
  LogHandleDiagnostics(code);
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
  LogHandleDiagnostics(
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
    LogHandleDiagnostics(api.SQLColAttribute(handle_, i, SQL_DESC_NAME, name.data(), name.size(),
                                        &nameLength, nullptr));
    SQLLEN size = 0;
    LogHandleDiagnostics(api.SQLColAttribute(handle_, i, SQL_DESC_DISPLAY_SIZE, nullptr, 0, nullptr, &size));
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
    LogHandleDiagnostics(api.SQLBindCol(handle_, i, SQL_C_CHAR, buffer.data(), width + 1,
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

TSqlOutcome TODBCStatement::NextResult() {
  if (!Allocated() || odbc_ == nullptr || odbc_->Api().SQLMoreResults == nullptr) return TSqlOutcome::Failed();
  const TOdbcEntryPoints& api = odbc_->Api();
  api.SQLFreeStmt(handle_, SQL_UNBIND);
  columns_.clear();
  FreeBuffers();
  memoCache_.clear();
  for (;;) {
    struct TMove {
      SQLRETURN code = SQL_ERROR;
      std::vector<TDiagRecord> records;
    };
    auto move = std::make_shared<TMove>();
    // The results came with the request; the driver may still be reading them from the
    // line, so the move waits on the worker like any call that may wait on the server.
    const auto job = [library = odbc_->LibraryRef(), handle = handle_, move] {
      const TOdbcEntryPoints& calls = library->Api();
      move->code = calls.SQLMoreResults(handle);
      if (!SqlSucceeded(move->code) && move->code != SQL_NO_DATA)
        move->records = ReadDiagRecords(calls, SQL_HANDLE_STMT, handle);
    };
    switch (odbc_->RunOnWorker(job, TODBC::TCall{"Statement", lastSQL_, odbc_->WaitBoundMs(TODBC::TWaitKind::Statement),
                                                 false})) {
      case TODBC::TRun::Done: break;
      case TODBC::TRun::NoThread: return TSqlOutcome::Failed();
      // Given up: the connection went with the call (its handles too).
      case TODBC::TRun::Abandoned: return TSqlOutcome::LinkLost();
    }
    const SQLRETURN code = move->code;
    std::vector<TDiagRecord> records = std::move(move->records);
    if (code == SQL_NO_DATA) return TSqlOutcome::Failed();
    if (!SqlSucceeded(code)) {
      const bool mysql = odbc_->DriverFamily() == dfMySQL;
      const TSqlOutcome::TKind kind =
          records.empty() ? TSqlOutcome::TKind::Failed : FailureKindOf(records.front(), mysql);
      if (kind == TSqlOutcome::TKind::LinkLost) odbc_->MarkConnectionDead();
      return TSqlOutcome::Failure(kind, std::move(records));
    }
    SQLSMALLINT columns = 0;
    if (!SqlSucceeded(api.SQLNumResultCols(handle_, &columns))) columns = 0;
    // A result without columns is the status of a statement, not a query's rows.
    if (columns <= 0) continue;
    DescribeColumns();
    return dbSkip(skNext, 1) ? TSqlOutcome::Row() : TSqlOutcome::NoRow();
  }
}

std::string TODBCStatement::GetColumnNames(const std::string& table) {
  if (!Allocated() || odbc_ == nullptr) return "";
  const TOdbcEntryPoints& api = odbc_->Api();
  LogHandleDiagnostics(api.SQLFreeStmt(handle_, SQL_CLOSE));
  LogHandleDiagnostics(api.SQLFreeStmt(handle_, SQL_UNBIND));
  LogHandleDiagnostics(api.SQLFreeStmt(handle_, SQL_RESET_PARAMS));
  columns_.clear();
  FreeBuffers();
  memoCache_.clear();
  const std::string lookup = "SQLColumns " + table;
  odbc_->CountRoundTrip();
  // The catalogue lookup asks the server: it runs on the worker like an execution.
  auto result = std::make_shared<std::string>();
  const auto job = [library = odbc_->LibraryRef(), handle = handle_, result,
                    name = odbc_->DriverFamily() == dfFirebird ? UpperCase(table) : table]() mutable {
    const TOdbcEntryPoints& api = library->Api();
    const SQLRETURN code =
        api.SQLColumns(handle, nullptr, 0, nullptr, 0, reinterpret_cast<SQLCHAR*>(name.data()), SQL_NTS, nullptr, 0);
    if (!SqlSucceeded(code)) return;
    std::array<char, 126> column{};
    SQLLEN indicator = 0;
    api.SQLBindCol(handle, 4, SQL_C_CHAR, column.data(), column.size(), &indicator);
    while (true) {
      column.fill(0);
      if (api.SQLFetch(handle) != SQL_SUCCESS) break;
      std::string one = UpperCase(std::string_view(column.data(), strnlen(column.data(), column.size())));
      if (one.find(' ') != std::string::npos) one = "\"" + one + "\"";
      if (!result->empty()) *result += ',';
      *result += one;
    }
    api.SQLFreeStmt(handle, SQL_UNBIND);
    api.SQLFreeStmt(handle, SQL_CLOSE);
  };
  if (odbc_->RunOnWorker(job, TODBC::TCall{"Statement", lookup, odbc_->WaitBoundMs(TODBC::TWaitKind::Statement),
                                           false}) != TODBC::TRun::Done)
    return "";
  return *result;
}

void TODBCStatement::LogHandleDiagnostics(SQLRETURN code) {
  if (odbc_ == nullptr || SqlSucceeded(code) || handle_ == SQL_NULL_HSTMT) return;
  odbc_->LogDiagRecords(ReadDiagRecords(odbc_->Api(), SQL_HANDLE_STMT, handle_));
}

void TODBCStatement::TimingLine(uint64_t elapsedMs, const char* label) {
  if (odbc_ == nullptr || odbc_->TimeOverMs == 0 || odbc_->MessLog == nullptr) return;
  if (elapsedMs < odbc_->TimeOverMs) return;
  odbc_->MessLog->LogFmt("%15s #%.2d: %.3f secs '%s'  %s", "*** TIMEOVR ***", 0,
                         static_cast<double>(elapsedMs) / 1000.0, label, lastSQL_);
}

}  // namespace tarn
