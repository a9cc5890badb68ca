// Offline decisions, on SQLite3 ODBC and (when TARNCARD_TEST_MARIADB_PORT is set) on the
// MariaDB test server as the site's database:
//   - taking the local copy of a site with N cards (default 100 000): time, the process's
//     peak memory growth, the bytes the server sent (MariaDB's Bytes_sent of the session), the
//     file's size, and the main thread's share (putting the finished copy in place);
//   - a card decided from the copy: median and p99 of the whole decision with its journal
//     write (on the disk before the answer), and of the decision alone (rows and rules);
//   - the replay: journal entries applied to the database per second.
//
// Usage: bench_offline [--cards N] [--reads N] [--entries N] [--backend sqlite|mariadb|both]
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "access/CardProcessing.h"
#include "access/CopyTaking.h"
#include "access/OfflineStore.h"
#include "db/SqliteFile.h"
#include "db/TODBC.h"
#include "platform/Tick.h"
#include "support/ScratchDir.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"

using namespace tarn;
using tarn::test::Backend;
using tarn::test::TestDatabase;

namespace {

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
  return 0;
}

// Resets the peak resident size the kernel keeps for this process.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double Since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

bool Populate(TestDatabase& db, int cards) {
  const std::vector<std::string> rows = {
      std::string("INSERT INTO ") + (db.backend() == Backend::MariaDB ? "`loop`" : "loop") +
          " (id, name, enabled, port, rfmodem) VALUES (1, 'bench', 1, 1, 0)",
      "INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)",
      "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, lot_id) VALUES "
      "(101, 1, 1, 'Entry 1', 1, 1, 7, 1), (102, 1, 2, 'Exit 2', 1, 2, 7, 1)",
      "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
      "not_on_path) VALUES (1, 'Idle', 'Up', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB', 'Full', 'Path')",
      "INSERT INTO card_type (id, access_level_id, no_expiry_flg, msg_id) VALUES (1, 1, 1, 0)",
      "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9, "
      "start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
      "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 101), (1, 102)",
      "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 0, 1000000)",
      "INSERT INTO counters (id, lot_id) VALUES (1, 1)",
      "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (101, 7, 1, 1), (102, 7, 1, 2)",
  };
  for (const std::string& r : rows)
    if (!db.Exec(r)) return false;
  // Cards with their holders' names and the columns a site fills, 1000 to a statement.
  for (int first = 0; first < cards; first += 1000) {
    std::string sql = "INSERT INTO card (number, type_id, group_id, in_gate, in_lot, first_name, last_name, "
                      "misc_1, str_eet, space_no) VALUES ";
    for (int i = first; i < std::min(cards, first + 1000); ++i)
      sql += Format("%s(%d, 1, 0, -1, 0, 'First%d', 'Last%d', 'Misc', 'Street %d', 0)", i == first ? "" : ", ",
                    1000000 + i, i, i, i);
    if (!db.Exec(sql)) return false;
  }
  return true;
}

TCentralParams CentralOf(const test::ConnectionParams& p) {
  return TCentralParams{p.DSNName, p.User, p.Password, p.Database, p.Driver, p.ConnectOptions};
}

// Writes that change nothing: the decision's own time.
class TNoWrites : public TDecisionWriter {
 public:
  void ApplyCard(const TCardWrites&) override {}
  void RecordUnknownTicket(const TUnknownTicket&) override {}
  void ApplyTicketTaken(const TTicketTaken&) override {}
  bool ApplyDispenserRecord(const TDispenserWrites&) override { return true; }
};

void RunBackend(Backend backend, int cards, int reads, int entries) {
  const std::string name = test::BackendName(backend);
  TestDatabase db(backend, "tarn_bench_offline", "site");
  std::string error;
  if (!db.Create(&error)) {
    std::printf("%s: no database: %s\n", name.c_str(), error.c_str());
    return;
  }
  auto t = std::chrono::steady_clock::now();
  if (!Populate(db, cards)) {
    std::printf("%s: the site could not be loaded\n", name.c_str());
    return;
  }
  std::printf("\n== %s: %d cards (loaded in %.1f s)\n", name.c_str(), cards, Since(t) / 1000.0);
  const std::string dir = ::tarn::testing::ScratchDir("bench-offline-" + name).string();

  // --- the copy --------------------------------------------------------------------------------
  {
    TODBC central;
    central.BindColumns = true;
    const test::ConnectionParams& p = db.Params();
    if (!central.ConnectToDataSource(p.DSNName, p.User, p.Password, p.Database, p.Driver, p.ConnectOptions)) {
      std::printf("%s: cannot connect for the copy\n", name.c_str());
      return;
    }
    const long before = StatusKiB("VmRSS:");
    ResetPeak();
    std::atomic<bool> stop{false};
    TCopyTaken taken;
    const std::string path = dir + "/copy-once.sqlite";
    t = std::chrono::steady_clock::now();
    const bool ok = TakeCopy(central, path, "bench", stop, taken, error);
    const double ms = Since(t);
    const long peak = StatusKiB("VmHWM:");
    struct stat sb {};
    ::stat(path.c_str(), &sb);
    if (!ok) {
      std::printf("copy failed: %s\n", error.c_str());
      return;
    }
    std::printf("copy: %lld cards, %lld rows in %.0f ms; peak memory +%ld KiB; %s; file %lld KiB\n",
                static_cast<long long>(taken.cards), static_cast<long long>(taken.rows), ms, peak - before,
                backend == Backend::MariaDB ? (std::to_string(taken.bytes) + " bytes from the server").c_str()
                                            : "no wire (in-process database)",
                static_cast<long long>(sb.st_size / 1024));
  }

  TMessLog& log = db.Log();
  TOfflineStore store(log, TOfflineStore::TSettings{dir, 5, "bench", false});
  if (!store.Open()) return;
  store.SetCentral(CentralOf(db.Params()));
  store.RefreshNow();
  while (!store.RefreshFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  t = std::chrono::steady_clock::now();
  store.FinishRefresh(0);
  std::printf("copy put in place by the main thread: %.1f ms\n", Since(t));

  // --- decisions from the copy -----------------------------------------------------------------
  TCentralParams gone = CentralOf(db.Params());
  gone.database = dir + "/gone/none.db";
  gone.options = backend == Backend::MariaDB ? "SERVER=127.0.0.1;PORT=9" : gone.options;
  store.SetCentral(gone);
  store.DecideOffline(false);
  std::vector<double> whole, alone;
  TNoWrites none;
  for (int i = 0; i < reads; ++i) {
    TCardRead read;
    read.card = 1000000 + (i * 7919) % cards;
    read.address = 1 + i % 2;
    read.loopId = 1;
    read.debugLog = false;
    t = std::chrono::steady_clock::now();
    ProcessCard(read, store.Source(), none, log);
    alone.push_back(Since(t));
    t = std::chrono::steady_clock::now();
    ProcessCard(read, store.Source(), store.OfflineWriter(), log);
    whole.push_back(Since(t));
  }
  std::printf("offline decision with its journal write: median %.3f ms, p99 %.3f ms (%d reads)\n",
              Percentile(whole, 50), Percentile(whole, 99), reads);
  std::printf("offline decision, rows and rules only:   median %.3f ms, p99 %.3f ms\n", Percentile(alone, 50),
              Percentile(alone, 99));

  // --- the replay ------------------------------------------------------------------------------
  {
    // More entries, as an outage of that many reads leaves them (written in one transaction).
    TSqliteFile file;
    file.Open(store.JournalPath(), TSqliteFile::TMode::ReadWrite, TSqliteFile::TSync::Normal);
    file.Begin();
    TSqliteStatement ins = file.Prepare("INSERT INTO entry (made, kind, payload) VALUES (?, ?, ?)");
    const TDateTime made = Now();
    for (int i = reads; i < entries; ++i) {
      TCardWrites w;
      w.card = 1000000 + i % cards;
      w.inLot = 1;
      w.transDt = made;
      w.debitDate = made;
      w.trans = TTransRow{std::to_string(w.card), made, 101, 0, "Accepted", "Entry 1", "F", "L", false};
      ins.Bind(1, made).Bind(2, KindOf(TOfflineWrite{w})).Bind(3, EncodeEntry(TOfflineWrite{w}));
      ins.Run();
    }
    file.Commit();
  }
  // The store counts what it appended itself; a new one counts the file.
  TOfflineStore replaying(log, TOfflineStore::TSettings{dir, 5, "bench", false});
  replaying.Open();
  const int64_t waiting = replaying.Waiting();
  t = std::chrono::steady_clock::now();
  replaying.SetCentral(CentralOf(db.Params()));
  replaying.KickReplay();
  while (replaying.Waiting() > 0 && Since(t) < 600000) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double ms = Since(t);
  std::printf("replay: %lld entries (card plans: card update, trans row, key) in %.0f ms = %.0f entries/s, "
              "%.0f rows/s\n",
              static_cast<long long>(waiting), ms, static_cast<double>(waiting) * 1000.0 / ms,
              3.0 * static_cast<double>(waiting) * 1000.0 / ms);
}

}  // namespace

int main(int argc, char** argv) {
  int cards = 100000, reads = 2000, entries = 10000;
  std::string backend = "both";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--cards") cards = std::atoi(argv[i + 1]);
    else if (a == "--reads") reads = std::atoi(argv[i + 1]);
    else if (a == "--entries") entries = std::atoi(argv[i + 1]);
    else if (a == "--backend") backend = argv[i + 1];
  }
  entries = std::max(entries, reads);
  const TDateTime fixed = Now();
  ScopedClock clock([fixed] { return fixed; });
  if (backend != "mariadb") RunBackend(Backend::SQLite, cards, reads, entries);
  if (backend != "sqlite") {
    if (test::MariaDBTestPort() == 0)
      std::printf("\nMariaDB: TARNCARD_TEST_MARIADB_PORT is not set\n");
    else
      RunBackend(Backend::MariaDB, cards, reads, entries);
  }
  return 0;
}
