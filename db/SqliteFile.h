#pragma once
// TSqliteFile and TSqliteStatement: a local SQLite database file used directly through the
// SQLite library (not through ODBC): the service's own files, the local copy of the rows its
// decisions read and the journal of writes that wait for the database. The file is made
// readable by its owner only (mode 600): it may hold card holders' names.
//
// A TSqliteFile owns one connection; its statements must end before it. Errors never throw:
// calls answer false (or an empty value) and Error() tells what the library said.
//
// Threads: one thread at a time per TSqliteFile and its statements. Two TSqliteFile objects
// on one file may be used by two threads (write-ahead log: readers do not wait for the
// writer; a second writer waits up to the busy time-out).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tarn {

class TSqliteFile;

class TSqliteStatement {
 public:
  TSqliteStatement() = default;
  ~TSqliteStatement();
  TSqliteStatement(TSqliteStatement&& other) noexcept;
  TSqliteStatement& operator=(TSqliteStatement&& other) noexcept;
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  bool Valid() const { return stmt_ != nullptr; }

  // Parameters are numbered from 1; each call resets the statement first when it ran.
  TSqliteStatement& Bind(int index, int64_t value);
  TSqliteStatement& Bind(int index, int value) { return Bind(index, static_cast<int64_t>(value)); }
  TSqliteStatement& Bind(int index, double value);
  TSqliteStatement& Bind(int index, std::string_view value);
  TSqliteStatement& Bind(int index, const char* value) { return Bind(index, std::string_view(value)); }
  TSqliteStatement& Bind(int index, const std::string& value) { return Bind(index, std::string_view(value)); }
  TSqliteStatement& BindNull(int index);
  // Optional values: null when empty.
  TSqliteStatement& Bind(int index, const std::optional<int64_t>& value);
  TSqliteStatement& Bind(int index, const std::optional<double>& value);

  // Runs to the next row: true while a row is current. False at the end and on an error
  // (Failed() tells which).
  bool Step();
  // Runs a statement that gives no rows; false on an error.
  bool Run();
  bool Failed() const { return failed_; }
  // Ready for the next run, the bound values kept.
  void Reset();

  // The current row's columns, numbered from 0. Null reads as 0 or "".
  int64_t Int(int column) const;
  double Real(int column) const;
  std::string Text(int column) const;
  bool IsNull(int column) const;
  std::optional<double> RealOrNull(int column) const;

 private:
  friend class TSqliteFile;
  TSqliteStatement(TSqliteFile* file, sqlite3_stmt* stmt) : file_(file), stmt_(stmt) {}
  void Rewind();

  TSqliteFile* file_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  bool ran_ = false;
  bool failed_ = false;
};

class TSqliteFile {
 public:
  enum class TMode : uint8_t {
    ReadWrite,  // created when missing (mode 600)
    ReadOnly,   // must exist; nothing is written
  };
  // How durable a commit is.
  enum class TSync : uint8_t {
    Full,    // the commit is on the disk when it returns (a power cut loses nothing)
    Normal,  // the file stays sound after a crash, the last commits may be lost
    Off,     // nothing waits for the disk (a file being built, thrown away on a failure)
  };

  TSqliteFile() = default;
  ~TSqliteFile();
  TSqliteFile(const TSqliteFile&) = delete;
  TSqliteFile& operator=(const TSqliteFile&) = delete;

  // Opens `path`; a file made here gets mode 600 (and so do its write-ahead log and index
  // files, which take the file's mode). An existing file is set to mode 600 as well, unless
  // it is opened read-only. Success: true. Failure: false with Error().
  bool Open(const std::string& path, TMode mode, TSync sync, int busyTimeoutMs = 2000);
  void Close() noexcept;
  bool IsOpen() const { return db_ != nullptr; }
  const std::string& Path() const { return path_; }

  // Runs one or more statements without rows; false on the first error.
  bool Exec(const std::string& sql);
  // A prepared statement; invalid (Valid() false) on an error.
  TSqliteStatement Prepare(const std::string& sql);
  // The first column of the first row of `sql`, or nothing.
  std::optional<int64_t> QueryInt(const std::string& sql);
  std::optional<std::string> QueryText(const std::string& sql);

  // BEGIN IMMEDIATE (the write lock taken at once), COMMIT, ROLLBACK.
  bool Begin();
  bool Commit();
  void Rollback() noexcept;

  int64_t LastInsertId() const;
  int Changes() const;
  // The library's text of the last failure, with the statement it came from.
  const std::string& Error() const { return error_; }

 private:
  friend class TSqliteStatement;
  void SetError(const std::string& what);

  sqlite3* db_ = nullptr;
  std::string path_;
  std::string error_;
};

// Makes `path` an empty file of mode 600 when it does not exist; sets an existing one to
// 600. False when that is not possible.
bool MakePrivateFile(const std::string& path, std::string* error = nullptr);

}  // namespace tarn
