#include "counters/TCounter.h"

#include <memory>

#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "metrics/StatusStore.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {

namespace {

// Counter input n of a reading is counter_item input n + 1; soft counts are input 7.
constexpr int kSoftCountInput = 7;

int LowNibble(char c) { return static_cast<unsigned char>(c) & 0x0F; }

}  // namespace

TCounter::TCounter(TMessLog& log, bool soft, readerbus::TCard* card, int address, int loopId,
                   TODBC* db)
    : log_(log), db_(db), card_(card), address_(address), soft_(soft) {
  TODBCStatement q(db_);
  if (q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address)) {
    softCountSeen_ = q.FieldAsInteger("count_soft");
    deviceId_ = q.FieldAsInteger("id");
  }
  // The first soft counter ever to keep this device's soft counts starts the shared mark
  // where the count stands, as its own count seen does.
  if (soft_ && deviceId_ != 0) {
    TODBCStatement mark(db_);
    mark.DoSQLFmt("UPDATE device SET soft_seen = count_soft WHERE id = %d and soft_seen is null", deviceId_);
  }
}

TCounter::TCounter(TMessLog& log, bool soft, readerbus::TCard* card, int address, TODBC* db, TKnownRow row)
    : log_(log), db_(db), card_(card), address_(address), deviceId_(row.deviceId), soft_(soft),
      softCountSeen_(row.countSoft) {}

void TCounter::Process(const std::string& data, std::string& name) {
  name = "Invalid";
  if (data.size() <= 4) {
    log_.Log("TCounter.Process ERROR!  CounterData Length Invalid! - " + data);
    return;
  }
  TODBCStatement dev(db_);
  const bool found = dev.ExecSQLFmt("SELECT * FROM device WHERE id = %d", deviceId_);
  if (found) name = dev.FieldAsString("name");

  if (firstReading_) {
    for (int n = 1; n <= 5; ++n) counts_[static_cast<size_t>(n - 1)] = LowNibble(data[static_cast<size_t>(n - 1)]);
    firstReading_ = false;
    return;
  }

  const int deviceLot = dev.FieldAsInteger("LOT_ID");
  bool lotFound = false;
  {
    TODBCStatement lot(db_);
    lotFound = found && lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", deviceLot);
  }
  for (int n = 1; n <= 5; ++n) {
    int& last = counts_[static_cast<size_t>(n - 1)];
    const int now = LowNibble(data[static_cast<size_t>(n - 1)]);
    int diff = now - last;
    if (diff < 0) diff += 16;
    // Without the device row there is no count to add to: writing diff alone would
    // overwrite the device's count with the pulses of one reading.
    if (diff != 0 && found) {
      const std::string column = "count" + std::to_string(n);
      TODBCStatement upd(db_);
      upd.ExecSQLFmt("UPDATE device SET %s = %d WHERE id = %d", column,
                     dev.FieldAsInteger(column) + diff, deviceId_);
      if (lotFound) ApplyLotChange(diff, n + 1, deviceLot);
    }
    last = now;
  }
}

void TCounter::ApplyLotChange(int amount, int input, int deviceLot) {
  TODBCStatement items(db_);
  if (!items.ExecSQLFmt(
          "SELECT c.*,k.lot_id FROM counter_item c left join counters k on c.cntr_id=k.id "
          "WHERE device_id=%d and input=%d",
          deviceId_, input))
    return;
  do {
    const int lot = items.FieldAsInteger("lot_id");
    const int change = items.FieldAsInteger("chg_lot");
    std::string sql;
    if (change == 1) {
      sql = Format("UPDATE lot SET lot_count=lot_count+%d WHERE id=%d", amount, lot);
    } else if (change == 2) {
      TODBCStatement current(db_);
      current.ExecSQLFmt("select lot_count from lot WHERE id=%d", lot);
      if (current.FieldAsInteger("lot_count") - amount < 0)
        sql = Format("UPDATE lot SET lot_count=0 WHERE id=%d", lot);
      else
        sql = Format("UPDATE lot SET lot_count=lot_count-%d WHERE id=%d", amount, lot);
    }
    log_.Log("Counter sql: " + sql);
    if (!sql.empty()) {
      TODBCStatement upd(db_);
      upd.ExecSQL(sql);
      // The status page shows the count as the row now holds it.
      TODBCStatement now(db_);
      if (now.DoSQLFmt("SELECT * FROM lot WHERE id=%d", lot))
        metrics::TStatusStore::Instance().Lot(lot, now.FieldAsString("name"), now.FieldAsInteger("lot_count"),
                                             now.FieldAsInteger("max_capacity"));
      // The signs and outputs to refresh are those of the lot whose count moved; the
      // device's own lot is refreshed as well, as it always has been.
      FlagLotOutputs(lot);
      if (deviceLot != lot) FlagLotOutputs(deviceLot);
    }
  } while (items.dbSkip());
}

void TCounter::FlagLotOutputs(int lot) {
  TODBCStatement q(db_);
  q.ExecSQLFmt("UPDATE device SET lf_output_flag = 1 WHERE lot_id = %d and lf_enabled <> 0", lot);
  q.ExecSQLFmt("UPDATE device SET lf_sign_flag = 1 WHERE lot_id = %d and lf_sign <> 0", lot);
}

void TCounter::AddSoftCount() {
  TODBCStatement dev(db_);
  const bool found = dev.ExecSQLFmt("SELECT * FROM device WHERE id = %d", deviceId_);
  softCountSeen_ = dev.FieldAsInteger("count_soft") + 1;
  if (found) {
    const int deviceLot = dev.FieldAsInteger("LOT_ID");
    bool lotFound;
    {
      TODBCStatement lot(db_);
      lotFound = lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", deviceLot);
    }
    if (lotFound) ApplyLotChange(1, kSoftCountInput, deviceLot);
  }
  TODBCStatement upd(db_);
  // This passage is counted here: the shared mark moves with the count, so that no other
  // computer keeping the soft counts of this device takes it over again.
  if (dev.FindColumn("soft_seen") >= 0)
    upd.ExecSQLFmt("UPDATE device SET count_soft = count_soft + 1, soft_seen = soft_seen + 1 WHERE id = %d",
                   deviceId_);
  else
    upd.ExecSQLFmt("UPDATE device SET count_soft = count_soft + 1 WHERE id = %d", deviceId_);
}

void TCounter::Counted(const TSoftCountPlan& count, const std::map<int, int>& lotsNow) {
  for (const std::string& line : SoftCountLog(count)) log_.Log(line);
  for (const TLotRow& lot : LotsAfter(count)) {
    const auto now = lotsNow.find(lot.id);
    metrics::TStatusStore::Instance().Lot(lot.id, lot.name, now == lotsNow.end() ? lot.count : now->second,
                                         lot.capacity);
  }
  softCountSeen_ = count.countSoft + 1;
}

void TCounter::SyncSoftCount(TODBCStatement& stmt) {
  // A failed read is not a count of 0: taking it as one would, once the database answers
  // again, move the lots by the device's whole soft count.
  if (!stmt.ExecSQLFmt("select * from device WHERE id = %d", deviceId_)) return;
  const int current = stmt.FieldAsInteger("count_soft");
  // Every computer of a site keeps the POE/POF soft counts. device.soft_seen marks the
  // count up to which the lots have been moved, so a rise is taken over by exactly one of
  // them: the one whose conditional UPDATE moves the mark.
  if (stmt.FindColumn("soft_seen") >= 0 && !stmt.FieldAsString("soft_seen").empty()) {
    const int mark = stmt.FieldAsInteger("soft_seen");
    TODBCStatement claim(db_);
    if (current < mark) {
      // The count was set back elsewhere: no lot moves, and the mark follows it down.
      claim.DoSQLFmt("UPDATE device SET soft_seen = %d WHERE id = %d and soft_seen = %d", current, deviceId_, mark);
      softCountSeen_ = current;
      return;
    }
    if (mark < current) {
      // The mark, not this computer's own count seen, says what is still to be taken
      // over: a rise that another computer has not taken over yet is this one's to take.
      const TSqlOutcome claimed =
          claim.Execute(Format("UPDATE device SET soft_seen = %d WHERE id = %d and soft_seen = %d", current, deviceId_, mark));
      claim.LogFailure(claimed);
      // The mark did not move (another computer took this rise over first) or the statement
      // failed: look again at the next refresh.
      if (!claimed.ok() || claimed.noRow()) return;
      TakeOverSoftCount(stmt, mark, current);
    }
    softCountSeen_ = current;
    return;
  }
  if (softCountSeen_ < current) TakeOverSoftCount(stmt, softCountSeen_, current);
  softCountSeen_ = current;
}

void TCounter::TakeOverSoftCount(TODBCStatement& stmt, int seen, int current) {
  const int diff = current - seen;
  const int deviceLot = stmt.FieldAsInteger("LOT_ID");
  bool lotFound;
  {
    TODBCStatement lot(db_);
    lotFound = lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", deviceLot);
  }
  if (lotFound) {
    log_.Log("Timer Lot Change Value: " + std::to_string(diff));
    ApplyLotChange(diff, kSoftCountInput, deviceLot);
  }
  log_.Log("Soft Count Device Id: " + std::to_string(deviceId_) + " was " + std::to_string(seen) + " is " +
           std::to_string(current) + " diff " + std::to_string(diff));
}

}  // namespace tarn
