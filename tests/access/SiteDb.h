#pragma once
// A fresh database for the access tests, on SQLite3 ODBC or on the MariaDB test server,
// with the tables the access decisions read and write. Statement helpers for setting up
// rows and reading results back.
#include <memory>
#include <string>

#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"

namespace tarn::testing {

enum class Engine { SQLite, MariaDB };
std::string EngineName(Engine e);

class SiteDb {
 public:
  // Creates the database `name` (file under the build folder, or a MariaDB database); the
  // caller skips the test when Ready() is false (MariaDB not configured).
  SiteDb(Engine engine, const std::string& name);
  ~SiteDb();
  SiteDb(const SiteDb&) = delete;
  SiteDb& operator=(const SiteDb&) = delete;

  bool Ready() const { return ready_; }
  const std::string& SkipReason() const { return skipReason_; }
  TODBC& Db() { return *db_; }
  TMessLog& Log() { return *log_; }
  std::string LogText() const;

  // Runs a statement; fails the test when it fails.
  void Exec(const std::string& sql);
  // First column of the first row, as text / integer ("" / -999 when no row).
  std::string Text(const std::string& sql);
  int Int(const std::string& sql);
  double Float(const std::string& sql);

 private:
  bool ready_ = false;
  std::string skipReason_;
  std::string logPath_;
  std::unique_ptr<TMessLog> log_;
  std::unique_ptr<TODBC> db_;
};

}  // namespace tarn::testing
