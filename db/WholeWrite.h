#pragma once
// A whole write: the writes of one decision as ONE transaction sent in ONE request, a
// compound statement whose server keeps the exactly-once mark itself (CompoundText.h). It
// takes the same course as a statement that must not apply twice (StatementRun.cpp): a
// conflict (deadlock, cluster certification, the mark made by another run at the same moment)
// runs it again after a pause, up to TRetryPolicy::kConflictAttempts times; a lost link
// connects again (TODBC::ReconnectHook) and runs it again with the SAME mark number, so a
// first run that was committed is found applied and nothing is applied twice; a link that does
// not come back within the wait keeps the write in the write guard, to be run once, in order,
// by whoever brings the connection back. The log lines are those of single statements ("...
// given up: ", "The connection was lost while this write ran; it is applied once when the
// connection is back: ", ...) with the writes joined by "; ".
//
// Only for a connected TODBC of the MySQL family. A server that refuses compound statements
// (a parse error: MySQL proper) is remembered per TODBC (TWriteGuard::Compound) and the
// caller runs the writes one statement at a time from then on.
//
// Threads: the thread that owns the TODBC; the request runs on the connection's worker.
// `odbc` must outlive the call (a connection the caller owns, not the shared one).
#include <string>
#include <utility>
#include <vector>

#include "db/SqlOutcome.h"

namespace tarn {

class TODBC;

struct TWholeWriteResult {
  // Done, AppliedEarlier (a run again after a lost link found the first one committed), or
  // the failure: Conflict (given up), LinkLost, Failed (nothing applied: a write the server
  // refused, or no connection).
  TSqlOutcome outcome = TSqlOutcome::Failed();
  // The server does not take compound statements: nothing was applied; run the writes one at
  // a time (every later call answers this at once).
  bool refused = false;
  // The link was lost and did not come back in time: the write is kept and applied once when
  // it does (so it counts as written).
  bool kept = false;
  // The columns of the row a Done run answered (the `report` select list), by name as the
  // server gave it, as text; none for every other outcome.
  std::vector<std::pair<std::string, std::string>> report;
  // The text of a reported column (case does not matter); "" when it is not there.
  std::string Reported(const std::string& name) const;
};

// True until this TODBC's server has refused a compound statement.
bool TakesCompound(TODBC& odbc);

// Runs `writes` as one transaction in one request (empty texts are skipped; nothing to write:
// Done without a request). `report`: a select list answered with a Done run (see
// WholeWriteText), or "".
TWholeWriteResult RunWholeWrite(TODBC& odbc, const std::vector<std::string>& writes, const std::string& report);

// A kept whole write (its text with its mark number), run again after the connection came
// back: AppliedEarlier when the first run had been committed, Done when it is applied now, a
// failure otherwise (LinkLost when the link went again: never repeated on a new connection
// here).
TSqlOutcome ReplayWholeWrite(TODBC& odbc, const std::string& text);

}  // namespace tarn
