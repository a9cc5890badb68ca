#pragma once
// TOfflineReplay: applies journal entries (OfflineJournal.h) to the database, in order, each
// exactly once. A batch of entries runs in one transaction together with a row per entry in
// the table offline_applied, keyed "<journal id>:<entry number>":
//
//   START TRANSACTION (BEGIN on SQLite);
//   SELECT entry FROM offline_applied WHERE entry IN (<the batch's keys>);
//   for each entry not found: its writes; INSERT INTO offline_applied (entry, made) ...;
//   COMMIT;
//
// A batch whose link is lost (or whose COMMIT's answer never came) is run again later: the
// keys then say which of its entries the database has, and only the others are applied.
// Rows keep the read's time (trans.dat_e, tickinv.l_date and out_date are the entry's moment),
// counts move by increments (lot_count + 1, cur_inlot + 1, count_soft + 1), never by values
// read earlier. A statement the database refuses for another reason (a column the site lacks)
// is logged and the entry's other writes go on, as the writer does online.
//
// The statements run on the connection's worker thread one at a time (TODBC::RunOnWorker),
// outside the statement layer's retry policy and write guard: the transaction and its keys
// are this class's own.
//
// Threads: the thread that owns `central` (the replay thread's own connection).
#include <cstdint>
#include <string>
#include <vector>

#include "access/OfflineJournal.h"

namespace tarn {

class TODBC;
class TMessLog;

// The writes of one entry as SQL for a driver family, in the order they run. A soft count
// needs the database's counter items and is not here (the replay reads them in its
// transaction).
std::vector<std::string> ReplayStatements(const TOfflineWrite& write, TDateTime made, uint8_t family);

// The exactly-once key of an entry.
std::string ReplayKey(const std::string& journalId, int64_t entryId);

class TOfflineReplay {
 public:
  // `central`: connected; `log`: where refused statements are told (may be null).
  TOfflineReplay(TODBC& central, std::string journalId, TMessLog* log);

  // Makes the key table when it is missing. Failure: false with `error` (the user may not
  // create tables and the table is not there).
  bool SetUp(std::string& error);

  enum class TResult : uint8_t {
    Applied,   // committed: every entry of the batch is in the database now
    LinkLost,  // the link broke: the batch is to be run again on a new connection
    Conflict,  // the database rolled the batch back (deadlock, certification): run it again
    Failed,    // the transaction itself could not run (BEGIN or COMMIT refused)
  };
  struct TBatch {
    TResult result = TResult::Failed;
    int applied = 0;  // entries applied now
    int earlier = 0;  // entries found applied by an earlier run
    int refused = 0;  // statements the database refused (logged)
    std::string error;
  };
  // Applies `records` (in order) in one transaction. Entries whose text cannot be read are
  // logged and counted as done, never applied in part.
  TBatch Apply(const std::vector<TJournalRecord>& records);

 private:
  TODBC& central_;
  std::string journalId_;
  TMessLog* log_;
};

}  // namespace tarn
