#include "counters/TInput.h"

#include <cmath>

#include "db/TODBCStatement.h"
#include "log/TEventLog.h"
#include "log/TMessLog.h"
#include "readerbus/TCard.h"
#include "metrics/StatusStore.h"

namespace tarn {

namespace {

// Input k (1..8) of a reading; numbers outside 1..8 are never active.
bool InputActive(unsigned char bits, int input) {
  return input >= 1 && input <= 8 && (bits & (1u << (input - 1))) != 0;
}

// Whole seconds from `earlier` to `later`, truncated; the difference is taken to the
// millisecond first so that 30 s written as day fractions does not come out as 29.
int64_t WholeSecondsBetween(TDateTime later, TDateTime earlier) {
  const double ms = std::round((later - earlier) * 86400000.0);
  return static_cast<int64_t>(ms / 1000.0);
}

}  // namespace

TInput::TInput(TODBC* db, TEventLog* eventLog, TMessLog& log, readerbus::TCard* card, int address, TKnownRow row)
    : card_(card),
      address_(address),
      deviceId_(row.deviceId),
      log_(log),
      eventLog_(eventLog),
      db_(db),
      doorInput_(row.doorInput),
      ajarTime_(row.ajarTime),
      ajarOutput_(row.ajarOutput),
      fireInput_(row.fireInput) {}

TInput::TInput(int loopId, TODBC* db, TEventLog* eventLog, TMessLog& log, readerbus::TCard* card,
               int address)
    : card_(card), address_(address), log_(log), eventLog_(eventLog), db_(db) {
  TODBCStatement q(db_);
  if (q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address)) {
    deviceId_ = q.FieldAsInteger("id");
    doorInput_ = q.FieldAsInteger("door_input");
    ajarTime_ = q.FieldAsInteger("ajar_timer");
    ajarOutput_ = q.FieldAsInteger("ajar_output");
    fireInput_ = q.FieldAsInteger("fire_input");
  }
}

void TInput::Process(const std::string& data) {
  if (data.empty()) return;
  const auto bits = static_cast<unsigned char>(data[0]);
  if (doorInput_ != 0 && ajarOutput_ != 0) DoorCheck(InputActive(bits, doorInput_));
  if (fireInput_ != 0) FireCheck(InputActive(bits, fireInput_));
}

void TInput::DoorCheck(bool open) {
  if (!open) {
    if (alarm_) {
      TODBCStatement q(db_);
      q.ExecSQLFmt("UPDATE device SET door_ajar = 0 WHERE id = %d", deviceId_);
      metrics::TStatusStore::Instance().DeviceDoorAjar(deviceId_, false);
    }
    openSince_ = 0;
    alarm_ = false;
    acknowledged_ = false;
    return;
  }
  const TDateTime now = Now();
  if (openSince_ == 0) openSince_ = now;
  if (WholeSecondsBetween(now, openSince_) < ajarTime_) return;
  if (!alarm_) {
    TODBCStatement q(db_);
    q.ExecSQLFmt("UPDATE device SET door_ajar = 1 WHERE id = %d", deviceId_);
    metrics::TStatusStore::Instance().DeviceDoorAjar(deviceId_, true);
    if (eventLog_ != nullptr) eventLog_->LogEvent("Door Ajar Alarm", 2, -1);
  }
  alarm_ = true;
  if (!acknowledged_) {
    TODBCStatement q(db_);
    if (q.ExecSQLFmt("SELECT alarm_ack FROM device WHERE id = %d", deviceId_) &&
        q.FieldAsBoolean("alarm_ack")) {
      acknowledged_ = true;
      TODBCStatement upd(db_);
      upd.ExecSQLFmt("UPDATE device SET alarm_ack = 0 WHERE id = %d", deviceId_);
      if (eventLog_ != nullptr) eventLog_->LogEvent("Door Ajar Acknowledged", 3, -1);
    }
  }
  if (!acknowledged_ && card_ != nullptr) card_->PulseOutput(address_, ajarOutput_, kAjarPulse);
}

void TInput::FireCheck(bool active) {
  if (active) {
    if (!fireActive_) {
      TODBCStatement q(db_);
      q.ExecSQL(
          "UPDATE device SET perm_open = 1, remote_user = 'FIRE INPUT!', remote_ip = 'ON' "
          "WHERE fire_flag = 1");
      if (eventLog_ != nullptr) eventLog_->LogEvent("Fire Alarm", 4, -1);
    }
    fireActive_ = true;
  } else {
    if (fireActive_) {
      TODBCStatement q(db_);
      q.ExecSQL(
          "UPDATE device SET perm_open = 0, remote_user = 'FIRE INPUT!', remote_ip = 'OFF' "
          "WHERE fire_flag = 1");
    }
    fireActive_ = false;
  }
}

}  // namespace tarn
