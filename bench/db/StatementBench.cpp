// Statement benchmark: a keyed one-row SELECT and a keyed UPDATE, run through TODBCStatement
// and straight on the ODBC API, on SQLite (file under the build folder) and on MariaDB
// (127.0.0.1:$TARNCARD_TEST_MARIADB_PORT, user tarn/tarn, database tarn_db_bench; skipped
// when the variable is unset). Prints the median time per statement and the layer's ratio.
//   bench_statements [iterations]     (default 2000, at most 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "util/Format.h"

using namespace tarn;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double>& samples) {
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

double Micros(const std::function<bool(int)>& body, int i) {
  const auto start = Clock::now();
  if (!body(i)) {
    std::fprintf(stderr, "statement failed at iteration %d\n", i);
    std::exit(1);
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Runs the two bodies alternately, so that a busy machine slows both alike; returns the
// medians.
std::pair<double, double> Compare(int iterations, const std::function<bool(int)>& layer,
                                  const std::function<bool(int)>& raw) {
  std::vector<double> a, b;
  for (int i = 0; i < iterations; ++i) {
    a.push_back(Micros(layer, i));
    b.push_back(Micros(raw, i));
  }
  return {Median(a), Median(b)};
}

struct Target {
  std::string name, driver, database, user, password, options;
};

void Run(const Target& t, int iterations) {
  TODBC odbc;
  odbc.BindColumns = true;
  if (!odbc.ConnectToDataSource("", t.user, t.password, t.database, t.driver, t.options)) {
    std::fprintf(stderr, "%s: cannot connect\n", t.name.c_str());
    return;
  }
  {
    TODBCStatement setup(&odbc);
    setup.DoSQL("DROP TABLE IF EXISTS bench_lot");
    setup.DoSQL("CREATE TABLE bench_lot (id INTEGER PRIMARY KEY, name VARCHAR(50), lot_count INTEGER)");
    for (int id = 0; id < 100; ++id)
      setup.DoSQLFmt("INSERT INTO bench_lot (id, name, lot_count) VALUES (%d, 'lot %d', 0)", id, id);
  }
  const TOdbcEntryPoints& api = odbc.Api();
  auto selectText = [](int i) { return Format("SELECT lot_count FROM bench_lot WHERE id = %d", i % 100); };
  auto updateText = [](int i) { return Format("UPDATE bench_lot SET lot_count = lot_count + 1 WHERE id = %d", i % 100); };

  TODBCStatement layer(&odbc);
  SQLHANDLE raw = SQL_NULL_HANDLE;
  api.SQLAllocHandle(SQL_HANDLE_STMT, odbc.ConnectionHandle(), &raw);
  const auto [layerSelect, rawSelect] = Compare(
      iterations,
      [&](int i) { return layer.DoSQL(selectText(i)) && layer.FieldAsInteger("lot_count") >= 0; },
      [&](int i) {
        api.SQLFreeStmt(raw, SQL_CLOSE);
        std::string sql = selectText(i);
        if (!SqlSucceeded(api.SQLExecDirect(raw, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)))
          return false;
        if (!SqlSucceeded(api.SQLFetch(raw))) return false;
        char value[32];
        SQLLEN indicator = 0;
        return SqlSucceeded(api.SQLGetData(raw, 1, SQL_C_CHAR, value, sizeof value, &indicator));
      });
  const auto [layerUpdate, rawUpdate] = Compare(
      iterations, [&](int i) { return layer.DoSQL(updateText(i)); },
      [&](int i) {
        api.SQLFreeStmt(raw, SQL_CLOSE);
        std::string sql = updateText(i);
        if (!SqlSucceeded(api.SQLExecDirect(raw, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)))
          return false;
        SQLLEN rows = 0;
        return SqlSucceeded(api.SQLRowCount(raw, &rows));
      });
  api.SQLFreeHandle(SQL_HANDLE_STMT, raw);
  {
    TODBCStatement drop(&odbc);
    drop.DoSQL("DROP TABLE bench_lot");
  }
  std::printf("%-8s SELECT  layer %8.1f us   raw %8.1f us   ratio %.2f\n", t.name.c_str(), layerSelect,
              rawSelect, layerSelect / rawSelect);
  std::printf("%-8s UPDATE  layer %8.1f us   raw %8.1f us   ratio %.2f\n", t.name.c_str(), layerUpdate,
              rawUpdate, layerUpdate / rawUpdate);
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
  iterations = std::clamp(iterations, 11, 100000);
  const std::filesystem::path dir = std::filesystem::path(TARNCARD_BINARY_DIR) / "bench";
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "statements.db").string();
  std::filesystem::remove(file);
  std::printf("median of %d statements each\n", iterations);
  Run({"SQLite", "SQLite3", file, "", "", "LoadExt=" + (std::filesystem::path(TARNCARD_BINARY_DIR) / "tarncard_sqlite.so").string()},
      iterations);
  if (const char* port = std::getenv("TARNCARD_TEST_MARIADB_PORT")) {
    {
      TODBC admin;
      if (admin.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode",
                                    std::string("SERVER=127.0.0.1;PORT=") + port)) {
        TODBCStatement s(&admin);
        s.DoSQL("CREATE DATABASE IF NOT EXISTS tarn_db_bench");
      }
    }
    Run({"MariaDB", "MariaDB Unicode", "tarn_db_bench", "tarn", "tarn", std::string("SERVER=127.0.0.1;PORT=") + port},
        iterations);
    TODBC admin;
    if (admin.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode",
                                  std::string("SERVER=127.0.0.1;PORT=") + port)) {
      TODBCStatement s(&admin);
      s.DoSQL("DROP DATABASE IF EXISTS tarn_db_bench");
    }
  } else {
    std::printf("MariaDB skipped: TARNCARD_TEST_MARIADB_PORT is not set\n");
  }
  return 0;
}
