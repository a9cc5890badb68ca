// Times ProcessCard (rows, decision, writes) for an accepted card at an entry reader and for a refused (expired) card,
// on SQLite3 ODBC and, when TARNCARD_TEST_MARIADB_PORT is set, on the MariaDB test server.
// Prints median and p99 in milliseconds and, on MariaDB, the statements the server received
// per read (its session QUESTIONS counter).
//
// Usage: bench_access [reads per case, default 500] [wal]
//   wal: run SQLite with a write-ahead log and normal syncing instead of the driver's
//        default rollback journal, to show how much of a read is the journal's syncs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "access/CardProcessing.h"
#include "db/TODBCStatement.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"

using namespace tarn;
using tarn::test::Backend;
using tarn::test::TestDatabase;

namespace {

constexpr double kMaxSecondsPerCase = 60.0;

std::string Ts(TDateTime t) { return "'" + FormatDateTime("YYYY-MM-DD HH:NN:SS", t) + "'"; }

bool Populate(TestDatabase& site) {
  const TDateTime now = Now();
  const char* rows[] = {
      "INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)",
      "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, debit_flag, open_pulse) "
      "VALUES (1, 1, 1, 'Entry 1', 1, 1, 2)",
      "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, debit_flag, open_pulse) "
      "VALUES (2, 1, 2, 'Exit 1', 2, 1, 2)",
      "INSERT INTO a_l_range VALUES (1, 1, 1,1,1,1,1,1,1,1,1, '00:00:00', '00:00:00')",
      "INSERT INTO a_l_range_device VALUES (1, 1)",
      "INSERT INTO a_l_range_device VALUES (1, 2)",
      "INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (1, 100000, 0)",
      "INSERT INTO card_type (id, access_level_id, days, global_expiry, first_use_flg, debit_flg, debit_reset_flag, "
      "debit_time_limit, debit_time_limit_flg, no_expiry_flg, pathway_id, ignore_passback, uses, date_set) "
      "VALUES (1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0)",
  };
  for (const char* r : rows)
    if (!site.Exec(r)) return false;
  // A few thousand other cards so the lookups do some work.
  for (int i = 0; i < 2000; ++i) {
    if (!site.Exec("INSERT INTO card (number, type_id, group_id, in_gate, in_lot, start_dt, exp_iry, first_name, "
                   "last_name) VALUES (" +
                   std::to_string(500000 + i) + ", 1, 1, -1, 0, " + Ts(now - 10) + ", " + Ts(now + 300) +
                   ", 'F', 'L')"))
      return false;
  }
  return site.Exec("INSERT INTO card (number, type_id, group_id, in_gate, in_lot, start_dt, exp_iry, first_name, "
                   "last_name) VALUES (1001, 1, 1, -1, 0, " +
                   Ts(now - 10) + ", " + Ts(now + 300) + ", 'John', 'Smith')") &&
         site.Exec("INSERT INTO card (number, type_id, group_id, in_gate, in_lot, start_dt, exp_iry, first_name, "
                   "last_name) VALUES (1002, 1, 1, -1, 0, " +
                   Ts(now - 30) + ", " + Ts(now - 20) + ", 'Jane', 'Doe')");
}

long Questions(TestDatabase& site, Backend engine) {
  if (engine != Backend::MariaDB) return -1;
  TODBCStatement st(&site.ODBC());
  if (!st.ExecSQL("SELECT VARIABLE_VALUE FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME = 'QUESTIONS'"))
    return -1;
  return std::atol(st.FieldByIndexAsString(0).c_str());
}

void RunCase(TestDatabase& site, Backend engine, const char* label, CardNumber cardNo, AccessResult expected, int reads) {
  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(reads));
  TCardRead read;
  read.card = cardNo;
  read.address = 1;
  read.loopId = 1;
  read.debugLog = false;
  // Warm-up read, then the statement count of one read.
  ProcessCard(read, site.ODBC(), site.Log());
  const long q0 = Questions(site, engine);
  ProcessCard(read, site.ODBC(), site.Log());
  const long q1 = Questions(site, engine);
  const long statements = q0 < 0 ? -1 : q1 - q0 - 1;  // the second count query counts itself
  int wrong = 0;
  const auto caseStart = std::chrono::steady_clock::now();
  for (int i = 0; i < reads; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const AccessResult r = ProcessCard(read, site.ODBC(), site.Log()).result;
    const auto t1 = std::chrono::steady_clock::now();
    if (r != expected) ++wrong;
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    if (std::chrono::duration<double>(t1 - caseStart).count() > kMaxSecondsPerCase) break;
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  const double p99 = ms[std::min(ms.size() - 1, static_cast<size_t>(static_cast<double>(ms.size()) * 0.99))];
  std::printf("%-8s %-9s reads %5zu  median %7.3f ms  p99 %7.3f ms  statements/read %s%s\n",
              test::BackendName(engine).c_str(), label, ms.size(), median, p99,
              statements < 0 ? "n/a" : std::to_string(statements).c_str(), wrong ? "  (UNEXPECTED RESULTS)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const int reads = std::clamp(argc > 1 ? std::atoi(argv[1]) : 500, 10, 100000);
  const bool wal = argc > 2 && std::string(argv[2]) == "wal";
  int failures = 0;
  for (Backend engine : {Backend::SQLite, Backend::MariaDB}) {
    if (engine == Backend::MariaDB && test::MariaDBTestPort() == 0) {
      std::printf("%-8s skipped: TARNCARD_TEST_MARIADB_PORT is not set\n", test::BackendName(engine).c_str());
      continue;
    }
    TestDatabase site(engine, "tarn_acc", "bench");
    std::string error;
    if (!site.Create(&error)) {
      std::printf("%-8s could not create the database: %s\n", test::BackendName(engine).c_str(), error.c_str());
      ++failures;
      continue;
    }
    if (wal && engine == Backend::SQLite &&
        !(site.Exec("PRAGMA journal_mode=WAL") && site.Exec("PRAGMA synchronous=NORMAL"))) {
      std::printf("SQLite   could not switch to a write-ahead log\n");
      ++failures;
      continue;
    }
    if (!Populate(site)) {
      std::printf("%-8s could not fill the site\n", test::BackendName(engine).c_str());
      ++failures;
      continue;
    }
    if (wal && engine == Backend::SQLite) std::printf("SQLite   (write-ahead log, synchronous=NORMAL)\n");
    RunCase(site, engine, "accepted", 1001, kAccepted, reads);
    RunCase(site, engine, "refused", 1002, kExpired, reads);
  }
  return failures == 0 ? 0 : 1;
}
