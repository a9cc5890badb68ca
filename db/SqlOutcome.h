#pragma once
// What a failed execution means for its statement, and whether a statement may simply run
// again. Used by the statement layer to decide between "repeat", "reconnect, then repeat"
// and "report the failure".
#include <cstdint>
#include <string>
#include <string_view>

namespace tarn {

// The effect of running a statement twice.
enum class TRepeatKind : uint8_t {
  Harmless,  // reads, and writes that set values: a second run changes nothing more
  Once,      // INSERT, and UPDATEs that count (col = col + n): a second run would apply twice
};

TRepeatKind RepeatKindOf(std::string_view sql);

// The first diagnostic record of a failed call.
struct TDiagRecord {
  std::string state;  // SQLSTATE, five characters; empty when there was no record
  int32_t native = 0;  // the server's own error number
  std::string message;
};

// The server refused the transaction as a whole and applied nothing: a deadlock, or on a
// Galera cluster a certification conflict with a write on another node (1213 / 40001).
// The server's own numbers count only for the MySQL family (`mysqlFamily`).
bool IsConflict(const TDiagRecord& diag, bool mysqlFamily);

// The link to the server broke or the server cannot serve (a node that left the cluster's
// primary component answers 1047 / 08S01): whether the statement was applied is not known.
bool IsLinkLoss(const TDiagRecord& diag, bool mysqlFamily);

}  // namespace tarn
