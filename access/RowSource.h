#pragma once
// Where decisions get their rows and where their writes go. The decisions themselves
// (CardProcessing.h, TicketDecision.h) never see a connection: a TRowSource loads the rows of
// one decision into plain values, a TDecisionWriter applies a decision's plan of writes.
// TOdbcRowSource and TOdbcWriter (OdbcRowSource.h, OdbcWriter.h) do both with SQL on one
// connection, one statement at a time; TOneRequestSource and TOneRequestWriter
// (OneRequest.h) read a decision's rows in one request and write its plan in one request on
// servers that take compound statements. Another source may read a local copy, and another
// writer may keep the plan for later, without the decisions changing.
//
// Threading: an object is used by one thread at a time (the thread that owns whatever
// connection or file it works on). Failures: a source reports a row it could not read as
// absent (an empty optional, an empty list, 0), which the decisions treat like a row that
// does not exist; reporting the failure itself (a log line) is the implementation's job.
// A writer applies every write of a plan it can; a write that fails does not stop the next.
#include <cstdint>
#include <optional>
#include <string>

#include "access/CardProcessing.h"
#include "access/CardRows.h"
#include "access/TicketDecision.h"

namespace tarn {

class TRowSource {
 public:
  virtual ~TRowSource() = default;

  // The rows of one card read (CardRows.h says which are present when), without the pool.
  // The card row is read as stored, even when it holds the number inexactly; the rows
  // behind it are then not read.
  virtual TCardRows CardRows(const TCardRowsKey& key) = 0;
  // The card_pool row of a pool id; none when there is none.
  virtual std::optional<TCardPoolRow> CardPool(int id) = 0;
  // The spots row of a space number; none when there is none.
  virtual std::optional<TSpotRow> Spot(int number) = 0;

  // The ticket row of a barcode and the reading device's row.
  virtual TExitTicketRows ExitTicketRows(int loopId, int address, const std::string& barcode) = 0;
  // The ticket row of a barcode.
  virtual std::optional<TTicketRow> Ticket(const std::string& barcode) = 0;
  // The rows a dispenser record meets: the barcode's row, else the row of the ticket number
  // that no dispenser has claimed yet.
  virtual TDispenserRows DispenserRows(const std::string& barcode, int32_t ticket) = 0;

  // False when the last rows could not be read because the database is out of reach (a link
  // found lost that did not come back): the rows are not there, and nothing may be decided on
  // them. The caller answers as without a database.
  virtual bool Reached() const { return true; }
};

class TDecisionWriter {
 public:
  virtual ~TDecisionWriter() = default;

  // The writes of one card decision, in the order TCardWrites lists them.
  virtual void ApplyCard(const TCardWrites& writes) = 0;
  // Records a barcode the dispensers never reported (its success shows in the next read).
  virtual void RecordUnknownTicket(const TUnknownTicket& ticket) = 0;
  // Marks an accepted ticket taken.
  virtual void ApplyTicketTaken(const TTicketTaken& taken) = 0;
  // The writes of a dispenser record; false when the ticket's own row was not written.
  virtual bool ApplyDispenserRecord(const TDispenserWrites& writes) = 0;
};

}  // namespace tarn
