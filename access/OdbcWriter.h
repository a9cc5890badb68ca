#pragma once
// TOdbcWriter: applies the plans of writes of card and ticket decisions with SQL on one
// connection. Each write is one statement, run and logged by the statement layer like any
// other; a failed write does not stop the next. The SQL keeps the plan's conditions that must
// hold at the moment of the write: a pool's count never drops below zero, and the counts
// move by increments, never by values read earlier.
//
// One thread at a time: the thread that owns the connection.
#include <cstdint>
#include <string>
#include <vector>

#include "access/RowSource.h"

namespace tarn {

class TODBC;

// The statements of the plans, one per write, as TOdbcWriter runs them (a soft count in a plan
// is not among them: SoftCountStatements).
// The card type's activation, every column of the card in one UPDATE, the pool, the trans row.
std::vector<std::string> CardWriteStatements(const TCardWrites& writes, uint8_t family);
std::string UnknownTicketStatement(const TUnknownTicket& ticket, uint8_t family);
std::string TicketTakenStatement(const TTicketTaken& taken, uint8_t family);
// An older row superseded (when it is), then the ticket's own row, last.
std::vector<std::string> DispenserStatements(const TDispenserWrites& writes, uint8_t family);

class TOdbcWriter : public TDecisionWriter {
 public:
  // `db` must outlive the writer.
  explicit TOdbcWriter(TODBC& db);

  // The card type's activation, then every column of the card in one UPDATE, the pool, the
  // trans row.
  void ApplyCard(const TCardWrites& writes) override;
  void RecordUnknownTicket(const TUnknownTicket& ticket) override;
  void ApplyTicketTaken(const TTicketTaken& taken) override;
  bool ApplyDispenserRecord(const TDispenserWrites& writes) override;

 private:
  TODBC& db_;
};

}  // namespace tarn
