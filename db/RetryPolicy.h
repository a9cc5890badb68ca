#pragma once
// The retry policy of an execution: what a failure means (a conflict, a lost link, anything
// else), whether a statement may simply run again, how often and after which pause a
// conflict is tried again, and when a lost link is made again and the statement repeated.
// The policy only decides; the statement layer (StatementRun.cpp) acts on its steps: it
// pauses, asks the managed connection to connect again, keeps a write in the write guard,
// counts and logs.
//
// Threads: the functions are pure; a TRetryPolicy belongs to the one execution that made it.
#include <cstdint>
#include <string_view>

#include "db/SqlDiag.h"
#include "db/SqlOutcome.h"

namespace tarn {

// The effect of running a statement twice.
enum class TRepeatKind : uint8_t {
  Harmless,  // reads, and writes that set values: a second run changes nothing more
  Once,      // INSERT, and UPDATEs that count (col = col + n): a second run would apply twice
};

TRepeatKind RepeatKindOf(std::string_view sql);

// The server refused the transaction as a whole and applied nothing: a deadlock, or on a
// Galera cluster a certification conflict with a write on another node (1213 / 40001).
// The server's own numbers count only for the MySQL family (`mysqlFamily`).
bool IsConflict(const TDiagRecord& diag, bool mysqlFamily);

// The link to the server broke or the server cannot serve (a node that left the cluster's
// primary component answers 1047 / 08S01): whether the statement was applied is not known.
bool IsLinkLoss(const TDiagRecord& diag, bool mysqlFamily);

// The kind of a failure from its first diagnostic record: Conflict, LinkLost or Failed.
TSqlOutcome::TKind FailureKindOf(const TDiagRecord& diag, bool mysqlFamily);

class TRetryPolicy {
 public:
  // Runs of a statement that meet a conflict before the failure is reported; the pause
  // before the n-th repeat is n * kConflictPauseMs.
  static constexpr int kConflictAttempts = 8;
  static constexpr int kConflictPauseMs = 5;
  // New connections asked for within one execution after its link was lost.
  static constexpr int kReconnects = 2;

  enum class TStep : uint8_t {
    Report,       // the failure stands: hand it to the caller
    Repeat,       // a conflict: nothing was applied; pause PauseMs(), then run again
    GiveUp,       // the last conflict allowed: report it and say that it was given up
    NotRepeated,  // the link broke under a write that must not run twice and had no guard:
                  // it may have been applied; report it and say that it is not repeated
    Reconnect,    // the link broke: connect again, then run again
    Keep,         // the link broke under a guarded write and is not back: keep the write,
                  // to be settled by whoever brings the connection back
  };

  // `kind`: the statement's repeat kind. `replay`: the run is a kept write being settled after
  // the connection came back; it is never repeated on a new connection.
  TRetryPolicy(TRepeatKind kind, bool replay) : kind_(kind), replay_(replay) {}

  // The step after a failed run. `failure`: Conflict, LinkLost or Failed. `sent`: false when
  // the link was found lost before anything of the statement reached the server. `guarded`:
  // the run was inside the write guard's transaction.
  TStep AfterFailure(TSqlOutcome::TKind failure, bool sent, bool guarded);
  // The step when a Reconnect did not give a working connection back.
  TStep AfterReconnectFailed(bool guarded) const;

  // The pause before the repeat that AfterFailure has just asked for.
  int PauseMs() const { return kConflictPauseMs * conflicts_; }
  // Conflicts met so far.
  int Conflicts() const { return conflicts_; }
  bool Once() const { return kind_ == TRepeatKind::Once; }
  bool Replay() const { return replay_; }

 private:
  TRepeatKind kind_;
  bool replay_;
  int conflicts_ = 0;
  int reconnects_ = 0;
};

}  // namespace tarn
