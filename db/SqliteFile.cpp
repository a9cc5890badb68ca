#include "db/SqliteFile.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarn {

bool MakePrivateFile(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = ::fchmod(fd, 0600) == 0;
  if (!ok && error) *error = path + ": " + std::strerror(errno);
  ::close(fd);
  return ok;
}

// --- TSqliteStatement ----------------------------------------------------------------------

TSqliteStatement::~TSqliteStatement() {
  if (stmt_ != nullptr) sqlite3_finalize(stmt_);
}

TSqliteStatement::TSqliteStatement(TSqliteStatement&& other) noexcept
    : file_(other.file_), stmt_(other.stmt_), ran_(other.ran_), failed_(other.failed_) {
  other.stmt_ = nullptr;
}

TSqliteStatement& TSqliteStatement::operator=(TSqliteStatement&& other) noexcept {
  if (this != &other) {
    if (stmt_ != nullptr) sqlite3_finalize(stmt_);
    file_ = other.file_;
    stmt_ = other.stmt_;
    ran_ = other.ran_;
    failed_ = other.failed_;
    other.stmt_ = nullptr;
  }
  return *this;
}

void TSqliteStatement::Rewind() {
  if (ran_ && stmt_ != nullptr) sqlite3_reset(stmt_);
  ran_ = false;
  failed_ = false;
}

void TSqliteStatement::Reset() { Rewind(); }

TSqliteStatement& TSqliteStatement::Bind(int index, int64_t value) {
  Rewind();
  if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, double value) {
  Rewind();
  if (stmt_ != nullptr) sqlite3_bind_double(stmt_, index, value);
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, std::string_view value) {
  Rewind();
  if (stmt_ != nullptr) sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}

TSqliteStatement& TSqliteStatement::BindNull(int index) {
  Rewind();
  if (stmt_ != nullptr) sqlite3_bind_null(stmt_, index);
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int index, const std::optional<int64_t>& value) {
  return value ? Bind(index, *value) : BindNull(index);
}

TSqliteStatement& TSqliteStatement::Bind(int index, const std::optional<double>& value) {
  return value ? Bind(index, *value) : BindNull(index);
}

bool TSqliteStatement::Step() {
  if (stmt_ == nullptr) {
    failed_ = true;
    return false;
  }
  ran_ = true;
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) {
    failed_ = true;
    if (file_ != nullptr) file_->SetError(sqlite3_sql(stmt_));
  }
  return false;
}

bool TSqliteStatement::Run() {
  while (Step()) {
  }
  return !failed_;
}

int64_t TSqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

double TSqliteStatement::Real(int column) const { return sqlite3_column_double(stmt_, column); }

std::string TSqliteStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  if (text == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

bool TSqliteStatement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::optional<double> TSqliteStatement::RealOrNull(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Real(column);
}

// --- TSqliteFile ---------------------------------------------------------------------------

TSqliteFile::~TSqliteFile() { Close(); }

void TSqliteFile::Close() noexcept {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void TSqliteFile::SetError(const std::string& what) {
  error_ = std::string(db_ != nullptr ? sqlite3_errmsg(db_) : "not open") + (what.empty() ? "" : " (" + what + ")");
}

bool TSqliteFile::Open(const std::string& path, TMode mode, TSync sync, int busyTimeoutMs) {
  Close();
  path_ = path;
  error_.clear();
  const bool readOnly = mode == TMode::ReadOnly;
  if (!readOnly && !MakePrivateFile(path, &error_)) return false;
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    SetError(path);
    Close();
    return false;
  }
  sqlite3_busy_timeout(db_, busyTimeoutMs);
  if (readOnly) return true;
  // The write-ahead log: readers (the replay, the check) never wait for a writer.
  const char* syncText = sync == TSync::Full ? "FULL" : sync == TSync::Normal ? "NORMAL" : "OFF";
  if (!Exec(sync == TSync::Off ? "PRAGMA journal_mode=OFF" : "PRAGMA journal_mode=WAL") ||
      !Exec(std::string("PRAGMA synchronous=") + syncText)) {
    Close();
    return false;
  }
  return true;
}

bool TSqliteFile::Exec(const std::string& sql) {
  if (db_ == nullptr) {
    SetError(sql);
    return false;
  }
  char* message = nullptr;
  // PRAGMA journal_mode answers with a row; sqlite3_exec takes it without a callback.
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    error_ = std::string(message != nullptr ? message : sqlite3_errmsg(db_)) + " (" + sql.substr(0, 200) + ")";
    sqlite3_free(message);
    return false;
  }
  return true;
}

TSqliteStatement TSqliteFile::Prepare(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (db_ == nullptr || sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    SetError(sql.substr(0, 200));
    return TSqliteStatement(this, nullptr);
  }
  return TSqliteStatement(this, stmt);
}

std::optional<int64_t> TSqliteFile::QueryInt(const std::string& sql) {
  TSqliteStatement q = Prepare(sql);
  if (!q.Step() || q.IsNull(0)) return std::nullopt;
  return q.Int(0);
}

std::optional<std::string> TSqliteFile::QueryText(const std::string& sql) {
  TSqliteStatement q = Prepare(sql);
  if (!q.Step() || q.IsNull(0)) return std::nullopt;
  return q.Text(0);
}

bool TSqliteFile::Begin() { return Exec("BEGIN IMMEDIATE"); }

bool TSqliteFile::Commit() { return Exec("COMMIT"); }

void TSqliteFile::Rollback() noexcept {
  if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

int64_t TSqliteFile::LastInsertId() const { return db_ != nullptr ? sqlite3_last_insert_rowid(db_) : 0; }

int TSqliteFile::Changes() const { return db_ != nullptr ? sqlite3_changes(db_) : 0; }

}  // namespace tarn
