#include "access/BatchWriter.h"

#include "access/OdbcWriter.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"

namespace tarn {
namespace {

void Append(std::vector<std::string>& to, const std::optional<TSoftCount>& count) {
  if (!count) return;
  for (std::string& s : SoftCountStatements(*count)) to.push_back(std::move(s));
}

}  // namespace

TBatchWriter::TBatchWriter(TODBC& db, std::shared_ptr<TSharedCount> shared) : db_(db), shared_(std::move(shared)) {}

std::optional<TSoftCount> TBatchWriter::TicketCount() const {
  if (!shared_ || !shared_->rows) return std::nullopt;
  return PlanSoftCount(*shared_->rows);
}

bool TBatchWriter::Send(const std::vector<std::string>& statements) {
  TODBCStatement batch(&db_);
  const TSqlOutcome outcome = batch.ExecuteWrites(statements);
  if (outcome.ok()) return true;
  if (outcome.kind() == TSqlOutcome::TKind::Failed) return false;
  // Conflicts given up and lost links are the statement layer's to log and keep.
  batch.LogFailure(outcome);
  return true;
}

void TBatchWriter::CountAlone(const std::optional<TSoftCount>& count) {
  if (!count) return;
  TODBCStatement q(&db_);
  for (const std::string& s : SoftCountStatements(*count)) q.ExecSQL(s);
}

void TBatchWriter::ApplyCard(const TCardWrites& w) {
  std::vector<std::string> statements = CardWriteStatements(w, db_.DriverFamily());
  Append(statements, w.count);
  if (shared_) shared_->written = w.count;
  if (Send(statements)) return;
  TOdbcWriter(db_).ApplyCard(w);
  CountAlone(w.count);
}

void TBatchWriter::RecordUnknownTicket(const TUnknownTicket& ticket) {
  if (Send({UnknownTicketStatement(ticket, db_.DriverFamily())})) return;
  TOdbcWriter(db_).RecordUnknownTicket(ticket);
}

void TBatchWriter::ApplyTicketTaken(const TTicketTaken& taken) {
  // An accepted ticket is a passage.
  const std::optional<TSoftCount> count = TicketCount();
  std::vector<std::string> statements{TicketTakenStatement(taken, db_.DriverFamily())};
  Append(statements, count);
  if (shared_) shared_->written = count;
  if (Send(statements)) return;
  TOdbcWriter(db_).ApplyTicketTaken(taken);
  CountAlone(count);
}

bool TBatchWriter::ApplyDispenserRecord(const TDispenserWrites& w) {
  // A ticket issued is a passage: counted when its row is written.
  const std::optional<TSoftCount> count = TicketCount();
  std::vector<std::string> statements = DispenserStatements(w, db_.DriverFamily());
  Append(statements, count);
  if (shared_) shared_->written = count;
  TODBCStatement batch(&db_);
  const TSqlOutcome outcome = batch.ExecuteWrites(statements);
  if (outcome.ok()) return true;
  if (outcome.kind() != TSqlOutcome::TKind::Failed) {
    batch.LogFailure(outcome);
    // A kept write is applied once when the connection is back; a conflict given up is not.
    return outcome.linkLost();
  }
  const bool written = TOdbcWriter(db_).ApplyDispenserRecord(w);
  if (written) CountAlone(count);
  return written;
}

}  // namespace tarn
