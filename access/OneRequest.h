#pragma once
// Decisions in few round trips, for a database far from the site: TOneRequestSource reads ALL
// the rows of one decision in ONE request and TOneRequestWriter writes its whole plan in ONE
// request, on servers that take compound statements (MariaDB: db/CompoundText.h). A card read
// then costs two round trips (its rows, its writes), an exit ticket or a dispenser record
// two as well.
//
// Reads: every query a decision may need goes in one compound statement, the rows behind the
// card found by subqueries on the card's number, and everything is read fresh, so a change
// made by another program shows in the next decision. What the queries bring that the
// decision's order would not have read (the card type of a card held inexactly, a pool that
// does not decide, legs of no pathway) is dropped, so the rows equal those TOdbcRowSource
// reads one statement at a time. A block the server refuses (a table or column the site does
// not have) is read again one statement at a time by TOdbcRowSource, whose failures are
// logged as always.
//
// Writes: the plan, with the exactly-once mark, in one transaction (db/WholeWrite.h). A plan
// the server refuses as a whole for a reason other than a conflict or a lost link (a table
// without one of the columns) applies nothing; it is then written by TOdbcWriter, one
// statement at a time, each failure logged, so the others are still written.
//
// The soft count of a passage: when the decision's address has a counter (TCountAt), the
// source reads the rows of the count with the decision's rows, and the writer puts the count
// into the writes of a passage (a passing card, a ticket taken, a dispenser record), so the
// lot moves in the same transaction. TSharedCount tells the loop afterwards whether the
// count went with the writes (then the counter only logs it and notes it: TCounter::Counted)
// or not (then the counter counts it itself, after the answer, as always).
//
// One thread at a time: the thread that owns the connection.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/RowSource.h"
#include "access/SoftCount.h"

namespace tarn {

class TODBC;

// Where a soft count is made: the device of this loop and address.
struct TCountAt {
  int loopId = 0;
  int address = 0;
};

// What the source, the writer and the loop of one decision share about its soft count.
struct TSharedCount {
  std::optional<TSoftCountRows> rows;    // read with the decision's rows
  std::optional<TSoftCountPlan> carried;     // the count the writes carried
  std::map<int, int> lotsNow;            // lot id -> lot_count as the write left it
};

class TOneRequestSource : public TRowSource {
 public:
  // `db` must outlive the source. `count`: read the rows of the soft count at this device
  // with a decision's rows, into `shared`.
  TOneRequestSource(TODBC& db, std::optional<TCountAt> count = std::nullopt,
                    std::shared_ptr<TSharedCount> shared = nullptr);

  TCardRows CardRows(const TCardRowsKey& key) override;
  // The pool and the spot come with the card's rows; another id or number is read alone.
  std::optional<TCardPoolRow> CardPool(int id) override;
  std::optional<TSpotRow> Spot(int number) override;
  TExitTicketRows ExitTicketRows(int loopId, int address, const std::string& barcode) override;
  std::optional<TTicketRow> Ticket(const std::string& barcode) override;
  TDispenserRows DispenserRows(const std::string& barcode, int32_t ticket) override;
  bool Reached() const override { return reached_; }

 private:
  TODBC& db_;
  std::optional<TCountAt> count_;
  std::shared_ptr<TSharedCount> shared_;
  bool reached_ = true;
  std::map<int, std::optional<TCardPoolRow>> pools_;
  std::map<int, std::optional<TSpotRow>> spots_;
};

class TOneRequestWriter : public TDecisionWriter {
 public:
  // `db` must outlive the writer. `shared`: the rows of the soft count the source read, and
  // where the writer says whether the count went with the writes.
  explicit TOneRequestWriter(TODBC& db, std::shared_ptr<TSharedCount> shared = nullptr);

  void ApplyCard(const TCardWrites& writes) override;
  void RecordUnknownTicket(const TUnknownTicket& ticket) override;
  void ApplyTicketTaken(const TTicketTaken& taken) override;
  bool ApplyDispenserRecord(const TDispenserWrites& writes) override;

 private:
  // Sends the statements (and the count, when there is one) as one whole write. True: written,
  // found applied earlier, or with a lost link kept or possibly applied (never to be written
  // again by the caller). False: nothing was applied (refused, failed, given up after
  // conflicts): the caller writes one statement at a time and the counter counts.
  bool Send(std::vector<std::string> statements, const std::optional<TSoftCountPlan>& count);
  // The count a passage's writes carry: planned from the rows the source read.
  std::optional<TSoftCountPlan> PassageCount() const;

  TODBC& db_;
  std::shared_ptr<TSharedCount> shared_;
};

// The source and the writer of decisions on `db`: one request each where the server takes
// compound statements (the MySQL family until one was refused), else one statement at a time
// (TOdbcRowSource, TOdbcWriter: SQLite, MySQL proper). `count`: where the decision counts its
// passage (the address has a counter); with one-request parts the count then goes with the
// writes (count->carried).
struct TDecisionParts {
  std::unique_ptr<TRowSource> source;
  std::unique_ptr<TDecisionWriter> writer;
  std::shared_ptr<TSharedCount> count;  // one-request parts with a count only
};
TDecisionParts DecisionPartsFor(TODBC& db, std::optional<TCountAt> count = std::nullopt);

}  // namespace tarn
