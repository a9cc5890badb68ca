#pragma once
// TWriteGuard: writes that must not apply twice (an INSERT into trans, lot_count = lot_count
// + 1) run on the MySQL family inside a transaction that also moves this connection's row of
// the table write_mark to the write's number:
//
//   START TRANSACTION;
//   UPDATE write_mark SET seq = N, made = NOW() WHERE id = 'I' AND seq <> N;
//   -- no row moved: SELECT seq FROM write_mark WHERE id = 'I'
//   --   a row (it stands at N): the first run was committed -> ROLLBACK, nothing runs now
//   --   no row: INSERT INTO write_mark (id, seq, made) VALUES ('I', N, NOW())
//   <the work>;
//   COMMIT;
//
// When the link is lost before the outcome is known, the write is run again with the same
// number: the row tells whether the first run was committed, and only a write that was not is
// applied. A write that cannot be run again at once (no new connection within the wait) is
// kept and settled, in order, before any other write by whoever brings the connection back.
// The row's id is random per TODBC object and stays across reconnects.
//
// The work inside the transaction is a callback, so one guarded transaction can carry one
// statement or several.
//
// Ownership: one per TODBC, which it belongs to (TODBC::Guard()).
// Threads: the thread that uses the TODBC; the transaction itself runs on the connection's
// worker thread (TODBC::RunOnWorker), and so does the work callback.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "db/OdbcLibrary.h"
#include "db/SqlDiag.h"

namespace tarn {

class TODBC;

// What a guarded run gives back.
struct TGuardedRun {
  // The work's own return code (SQL_SUCCESS, SQL_NO_DATA ...) when it ran and was committed;
  // otherwise the code of the call that failed (SQL_ERROR when nothing could run).
  SQLRETURN code = SQL_ERROR;
  // The mark stood at the number already: the first run had been committed, nothing ran now.
  bool appliedBefore = false;
  // The mark's row was made by another run at the same moment: nothing was applied; the
  // whole write may run again (the mark decides then), as after a conflict.
  bool raced = false;
  // The driver's records of the call that failed.
  std::vector<TDiagRecord> records;
  // The transaction did not come back within its bound: the connection was given up and
  // whether the work was committed is not known (a lost link).
  bool abandoned = false;
};

class TWriteGuard {
 public:
  explicit TWriteGuard(TODBC& odbc) : odbc_(odbc) {}
  TWriteGuard(const TWriteGuard&) = delete;
  TWriteGuard& operator=(const TWriteGuard&) = delete;

  enum class TState : uint8_t { Unknown, On, Off };
  TState State() const { return state_; }

  enum class TSetUp : uint8_t {
    Ready,     // the table is there: guarded writes can run
    Off,       // the table cannot be made: writes run unguarded (logged once)
    LinkLost,  // the link broke while the table was looked at; nothing of the write was sent
  };
  // Makes the table write_mark when needed (first use on this TODBC) and clears rows unused
  // for 30 days. Success: Ready (at once when it was ready before). Failure: Off, logged once
  // per TODBC with the server's reason ("Writes are not guarded against a lost connection:
  // ..."), after which every call answers Off; LinkLost with the record in `records` (none
  // when the set-up outlasted `waitMs` and the connection was given up), tried again at the
  // next call.
  TSetUp SetUp(std::vector<TDiagRecord>& records, int waitMs);

  // The random id of this TODBC's row, made at the first call.
  const std::string& MarkId();
  // The number of the next write.
  uint64_t NextSeq() { return ++seq_; }

  // Signature of the work run inside the transaction, on the worker thread: returns the
  // driver's code; on failure it puts the records of the failed call into `records`. It may
  // run after its caller stopped waiting: it owns what it uses.
  using TWork = std::function<SQLRETURN(std::vector<TDiagRecord>& records)>;
  // Runs `work` in one transaction with the mark moved to `seq` (see above). Success: the
  // work's code and the commit done, or appliedBefore with nothing run. Failure: the failed
  // call's code and records; the transaction is rolled back (the server has rolled it back
  // when the link is gone); raced when the mark's row was made by another run first;
  // abandoned when the whole did not come back within `waitMs` (`sql`, the work's text, is
  // named in the log line then).
  TGuardedRun Run(uint64_t seq, TWork work, int waitMs, std::string_view sql = {});

  // A guarded write whose link was lost and which could not be run again at once. A whole
  // write (WholeWrite.h) carries its mark in its own text: it is run again as it is.
  struct TPendingWrite {
    std::string sql;
    uint64_t seq = 0;
    bool whole = false;
    std::string shown;  // a whole write's statements, for the log lines
  };
  void Keep(const std::string& sql, uint64_t seq) { pending_.push_back({sql, seq, false, sql}); }
  void KeepWhole(const std::string& text, uint64_t seq, const std::string& shown) {
    pending_.push_back({text, seq, true, shown});
  }
  bool HasPending() const { return !pending_.empty(); }
  const std::vector<TPendingWrite>& Pending() const { return pending_; }
  // Runs the kept writes in order on the (connected) TODBC and logs how each ended ("Write
  // applied after the connection came back: ...", "Write found applied before the connection
  // was lost: ...", "Write failed after the connection came back: ..."). Those whose link is
  // lost again stay kept, in order, and end the call.
  void ResolvePending();

  // Whether this connection's server takes compound statements (CompoundText.h): Unknown
  // until one has run, Off for good once one was refused as such (the writes then run one
  // statement at a time).
  TState Compound() const { return compound_; }
  void SetCompound(TState state) { compound_ = state; }

 private:
  void LogLine(const std::string& text) const;

  TODBC& odbc_;
  TState state_ = TState::Unknown;
  std::string markId_;
  uint64_t seq_ = 0;
  std::vector<TPendingWrite> pending_;
  TState compound_ = TState::Unknown;
};

}  // namespace tarn
