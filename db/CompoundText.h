#pragma once
// Texts of compound statements (BEGIN NOT ATOMIC ... END) as servers of the MySQL family
// (MariaDB) take them: several queries, or a whole transaction, in ONE request. The driver
// sends such a text as one statement, so it costs one round trip however many statements it
// holds; its queries answer one result each, in their order (TODBCStatement::NextResult).
//
// A server without compound statements (MySQL proper) refuses the text with a parse error
// (RefusesCompound); the caller then runs the statements one at a time.
//
// Pure functions: any thread.
#include <cstdint>
#include <string>
#include <vector>

#include "db/SqlDiag.h"

namespace tarn {

// One query of a block. An optional query that fails (a table the site does not have) gives
// no result and the block goes on; read its result last, since nothing says it is missing.
struct TBlockQuery {
  std::string sql;
  bool optional = false;
};

// The queries as one compound statement.
std::string QueryBlock(const std::vector<TBlockQuery>& queries);

// What the first column (tarn_outcome) of the row a whole write answers says.
inline constexpr const char* kWriteDone = "done";
inline constexpr const char* kWriteAppliedEarlier = "applied earlier";

// The writes as one transaction in one compound statement. With a mark id, the transaction
// also moves that row of write_mark to `seq`, exactly as the write guard does it statement by
// statement (WriteGuard.h), but on the server:
//
//   UPDATE write_mark SET seq = N ... WHERE id = 'I' AND seq <> N;
//   no row moved and a row is there (it stands at N): the first run of this write was
//     committed -> ROLLBACK, answer 'applied earlier', nothing is applied;
//   no row moved and none is there: INSERT it (a duplicate key, another run made it at the
//     same moment, is answered as a conflict, 40001 / 1213, so that the whole write runs
//     again and the mark decides then);
//   the writes; COMMIT; answer 'done' and the `report` columns.
//
// Any failure rolls the whole transaction back and reaches the client as the server's own
// error (a deadlock or a cluster conflict as 40001 / 1213). So the first run and a run
// again after a lost link are the same text with the same number. `report`: a select list
// evaluated after the commit (", (SELECT lot_count FROM lot WHERE id = 1) AS lot_1"), or "".
// An empty mark id gives the transaction without the mark (a server where write_mark cannot
// be made).
std::string WholeWriteText(const std::string& markId, uint64_t seq, const std::vector<std::string>& writes,
                           const std::string& report);

// The statements of a whole write as a log line shows them: "w1; w2; ...".
std::string WritesShown(const std::vector<std::string>& writes);

// The server refused a text because it does not take compound statements: a parse error.
bool RefusesCompound(const TDiagRecord& diag);

}  // namespace tarn
