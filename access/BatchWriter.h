#pragma once
// TBatchWriter: applies a decision's plan of writes as ONE transaction sent in ONE request (a
// connection with TODBC::Batches()): for a card the type's activation, the card, the pool,
// the trans row and the soft count; for a ticket its row and the soft count. The transaction
// carries the connection's write mark (WriteGuard.h), so a commit whose answer was lost is
// settled by the mark and never applied twice.
//
// A plan the server refuses for a reason other than a conflict or a lost link (a table without
// one of the columns) is rolled back as a whole and then written the way TOdbcWriter writes it,
// one statement at a time, each failure logged, so that the others are still written.
//
// One thread at a time: the thread that owns the connection.
#include <memory>
#include <string>
#include <vector>

#include "access/BatchRowSource.h"
#include "access/RowSource.h"

namespace tarn {

class TODBC;

class TBatchWriter : public TDecisionWriter {
 public:
  // `db` must outlive the writer and have Batches(). `shared` (optional) brings the rows of a
  // ticket's soft count read by the source, and takes the count written.
  explicit TBatchWriter(TODBC& db, std::shared_ptr<TSharedCount> shared = nullptr);

  void ApplyCard(const TCardWrites& writes) override;
  void RecordUnknownTicket(const TUnknownTicket& ticket) override;
  void ApplyTicketTaken(const TTicketTaken& taken) override;
  bool ApplyDispenserRecord(const TDispenserWrites& writes) override;

 private:
  // Sends the statements as one transaction. Success: true. Failure: false when the server
  // refused a statement (nothing applied: the caller writes one at a time); a conflict given
  // up or a lost link also answers true (logged by the statement layer; a kept write is
  // applied once when the connection is back).
  bool Send(const std::vector<std::string>& statements);
  // The count's statements one at a time.
  void CountAlone(const std::optional<TSoftCount>& count);

  // The count a ticket's writes carry: planned from the rows the source read.
  std::optional<TSoftCount> TicketCount() const;

  TODBC& db_;
  std::shared_ptr<TSharedCount> shared_;
};

}  // namespace tarn
