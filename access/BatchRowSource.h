#pragma once
// TBatchRowSource: the rows of a decision read in one request to the server (a connection
// with TODBC::Batches(): the MySQL family with several statements a request). Every query of
// a decision goes in one batch, the rows behind the card found by subqueries on the card's
// number rather than by a second request, and everything is read fresh: a change made by
// another program shows in the next decision. Rows a query brings that the decision's order
// would not have read (the card type of a card held inexactly, the pool of a card whose pool
// does not decide) are dropped, so the rows equal those TOdbcRowSource reads.
//
// With a counting address, the rows of the soft count at the reading device are read with
// the decision too (TSoftCountRows), so that the writer can count the passage in the same
// transaction as the decision's writes (TBatchWriter): for a card in TCardRows (the decision
// plans the count), for a ticket through the count shared with the writer (TSharedCount: an
// accepted ticket taken, a dispenser record written, is a passage).
//
// One thread at a time: the thread that owns the connection.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "access/RowSource.h"

namespace tarn {

class TODBC;

// Where a soft count is made: the device of this loop and address.
struct TCountAt {
  int loopId = 0;
  int address = 0;
};

// What a source and a writer of one decision share about its soft count: the rows read with a
// ticket's rows, and the count the writer wrote.
struct TSharedCount {
  std::optional<TSoftCountRows> rows;
  std::optional<TSoftCount> written;
};

class TBatchRowSource : public TRowSource {
 public:
  // `db` must outlive the source and have Batches().
  TBatchRowSource(TODBC& db, std::optional<TCountAt> count, std::shared_ptr<TSharedCount> shared = nullptr);

  TCardRows CardRows(const TCardRowsKey& key) override;
  // The pool and the spot come with the card's rows; another id or number is read alone.
  std::optional<TCardPoolRow> CardPool(int id) override;
  std::optional<TSpotRow> Spot(int number) override;
  TExitTicketRows ExitTicketRows(int loopId, int address, const std::string& barcode) override;
  std::optional<TTicketRow> Ticket(const std::string& barcode) override;
  TDispenserRows DispenserRows(const std::string& barcode, int32_t ticket) override;

 private:
  TODBC& db_;
  std::optional<TCountAt> count_;
  std::shared_ptr<TSharedCount> shared_;
  std::map<int, std::optional<TCardPoolRow>> pools_;
  std::map<int, std::optional<TSpotRow>> spots_;
};

// The source and writer of decisions on `db`: batched ones where the connection takes several
// statements a request (then `count` makes the source read the rows of the soft count, and a
// passing decision's writes carry its count: Written()), else those that run one statement
// at a time.
struct TDecisionParts {
  std::unique_ptr<TRowSource> source;
  std::unique_ptr<TDecisionWriter> writer;
  std::shared_ptr<TSharedCount> count;  // batched parts only
  // The soft count the decision's writes carried, when they did.
  std::optional<TSoftCount> Written() const { return count ? count->written : std::nullopt; }
};
TDecisionParts DecisionPartsFor(TODBC& db, std::optional<TCountAt> count);

}  // namespace tarn
