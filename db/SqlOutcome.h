#pragma once
// TSqlOutcome: what one execution of a statement came to. A small value, cheap to return and
// to copy (nothing is allocated unless a failure brings diagnostic records): the kind, and
// for a failure the driver's records of it. The outcome decides nothing and writes nothing;
// the caller looks at it and decides what to log (TODBCStatement::LogFailure writes it the way
// ExecSQL does).
//
// Threads: a const outcome may be read from any number of threads; changing one needs the
// caller's own lock.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "db/SqlDiag.h"

namespace tarn {

class TSqlOutcome {
 public:
  enum class TKind : uint8_t {
    Row,             // a query: its first row was fetched and is current
    NoRow,           // a query found no row, or a change touched none
    Done,            // ran: a change that touched rows, SELECT ... INTO, any other statement
    AppliedEarlier,  // a write run again after its link was lost: its first run had been
                     // committed, so nothing ran now (the write counts as done)
    Conflict,        // the server refused it as a whole (deadlock, cluster conflict), every try
    LinkLost,        // the link to the server broke: whether it was applied is not known
    Failed,          // any other failure, or the statement had no handle to run on
  };

  // A statement that ran, with nothing to read.
  TSqlOutcome() = default;

  static TSqlOutcome Row() { return TSqlOutcome(TKind::Row); }
  static TSqlOutcome NoRow() { return TSqlOutcome(TKind::NoRow); }
  static TSqlOutcome Done() { return TSqlOutcome(TKind::Done); }
  static TSqlOutcome AppliedEarlier() { return TSqlOutcome(TKind::AppliedEarlier); }
  static TSqlOutcome Conflict(std::vector<TDiagRecord> records = {}) {
    return TSqlOutcome(TKind::Conflict, std::move(records));
  }
  static TSqlOutcome LinkLost(std::vector<TDiagRecord> records = {}) {
    return TSqlOutcome(TKind::LinkLost, std::move(records));
  }
  static TSqlOutcome Failed(std::vector<TDiagRecord> records = {}) {
    return TSqlOutcome(TKind::Failed, std::move(records));
  }
  // A failure of the given kind (Conflict, LinkLost or Failed).
  static TSqlOutcome Failure(TKind kind, std::vector<TDiagRecord> records) {
    return TSqlOutcome(kind, std::move(records));
  }

  TKind kind() const { return kind_; }
  // The statement ran (Row, NoRow, Done, AppliedEarlier); false for every failure.
  bool ok() const { return kind_ < TKind::Conflict; }
  bool row() const { return kind_ == TKind::Row; }
  bool noRow() const { return kind_ == TKind::NoRow; }
  bool linkLost() const { return kind_ == TKind::LinkLost; }

  // The driver's records of a failure, in the driver's order; none for a statement that ran
  // (and none for a failure the driver said nothing about).
  const std::vector<TDiagRecord>& records() const { return records_; }
  // The first record; an empty one when there is none.
  const TDiagRecord& diag() const;

  // For a log line of the caller's own: "no row", "link lost: 08S01 (native 2013): Lost ...".
  std::string ToString() const;
  static const char* KindName(TKind kind);

 private:
  explicit TSqlOutcome(TKind kind, std::vector<TDiagRecord> records = {})
      : kind_(kind), records_(std::move(records)) {}

  TKind kind_ = TKind::Done;
  std::vector<TDiagRecord> records_;
};

}  // namespace tarn
