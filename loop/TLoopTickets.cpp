// Ticket barcode events of the loop controller: exit-reader barcodes judged against the
// ticket inventory (tickinv), and the records ticket dispensers report for every ticket they
// issue. Main thread only, like every handler of TLoop.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"
#include "log/TMessLog.h"
#include "loop/TLoop.h"
#include "loop/Tickets.h"
#include "readerbus/TCard.h"
#include "metrics/Metrics.h"
#include "metrics/StatusStore.h"
#include "util/DateTime.h"
#include "util/Format.h"
#include "util/Strings.h"
#include "util/TicketTime.h"

namespace tarn {

namespace {

bool Listed(const std::vector<int>& list, int value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// device.open_pulse as the whole number the readers take; a value out of all reason (or not
// a number) must not overflow the arithmetic of the callers.
int WholePulse(double value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<int>(std::clamp(std::trunc(value), -1000000.0, 1000000.0));
}

// Outcome of an exit-reader ticket, with the text shown on the reader.
enum class TicketState { Unread, Accepted, Used, NotRecorded, Expired, Passback };

const char* TicketMessage(TicketState state) {
  switch (state) {
    case TicketState::Accepted: return "Thank you...";
    case TicketState::Used: return "ExitPass Used";
    case TicketState::NotRecorded: return "System ERROR!";
    case TicketState::Expired: return "ExitPass Expired";
    case TicketState::Passback: return "Passback Error";
    case TicketState::Unread: break;
  }
  return "Read ERROR;Please Re-try";
}

// The state's name on the status page and in the metrics.
const char* TicketResultName(TicketState state) {
  switch (state) {
    case TicketState::Accepted: return "accepted";
    case TicketState::Used: return "used";
    case TicketState::NotRecorded: return "not recorded";
    case TicketState::Expired: return "expired";
    case TicketState::Passback: return "passback";
    case TicketState::Unread: break;
  }
  return "unreadable";
}

}  // namespace

std::string SqlText(std::string_view text, uint8_t family) {
  std::string s = ReplaceAll(text, "'", "''");
  if (family == dfMySQL) s = ReplaceAll(s, "\\", "\\\\");
  return s;
}

std::string BarcodeCondition(std::string_view barcode, uint8_t family) {
  return "where barcode='" + SqlText(barcode, family) + "'";
}

bool ParseDispenserRecord(std::string_view data, TDispenserRecord& record) {
  record = TDispenserRecord{};
  if (data.size() != 17) return false;
  const int status = IntAt(data, 1, 1, 0);
  record.Online = (status & 1) == 0;
  record.BackedOut = (status & 2) != 0;
  record.Barcode = std::string(data.substr(1, 10));
  record.IssueTime = CycleTime(IntAt(record.Barcode, 1, 8, 0));
  record.Lane = IntAt(record.Barcode, 9, 2, 0);
  record.TicketText = StripZeros(data.substr(11, 6));
  return true;
}

void TLoop::BarcodeEvent(int address, const std::string& data) {
  metrics::MarkRead();
  metrics::Report(metrics::TEvent::ReadTicket);
  metrics::TStatusStore::Instance().DeviceAnswered(LoopId, address);
  Log.Log("Got BarcodeEvent event!  - " + IntToStr(address) + " - |" + data + "|");
  if (Conn->Connect()) CheckExitTicket(address, data);
}

void TLoop::CheckExitTicket(int address, const std::string& barcode) {
  TicketState state = TicketState::Unread;
  int pulse = 5;
  const TDateTime issued = TicketTime(barcode, Settings.OldTicketFormat);
  if (issued > 0) {
    state = TicketState::Accepted;
    Log.LogFmt("Checking BarCode: %s ", barcode);
    const uint8_t family = DB->DriverFamily();
    const std::string where = BarcodeCondition(barcode, family);
    TODBCStatement ticket(DB.get());
    bool found = ticket.ExecSQL("select * from tickinv " + where);
    if (!found) {
      // A ticket the dispensers never reported: record it now so that it is judged, and
      // later marked taken, like any other.
      TSql sql(family);
      sql.AddField("barcode", barcode, true);
      sql.AddInteger("issuerid", 0);
      sql.AddInteger("status", 0);
      sql.AddDateTime("in_date", issued);
      sql.AddNow("l_date");
      TODBCStatement insert(DB.get());
      insert.ExecSQL(sql.BuildSQL("tickinv", true, ""));
      found = ticket.ExecSQL("select * from tickinv " + where);
    }
    if (!found) {
      state = TicketState::NotRecorded;
    } else {
      const bool internal = Listed(Settings.InternalLanes, address);
      TODBCStatement device(DB.get());
      device.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", LoopId, address);
      const int direction = device.FieldAsInteger("dir_ection");
      const int lane = IntAt(barcode, 9, 2, 0);
      const int status = ticket.FieldAsInteger("status");
      Log.LogFmt("Rdr %d St %d Dir %d", address, status, direction);
      int newStatus = 2;
      if (direction == 1 && status == 0) {
        state = TicketState::Passback;
      } else if (status == 2 && (direction != 1 || internal)) {
        state = TicketState::Used;
      } else if (Settings.FlatRateFlag && lane > 50) {
        state = TicketState::Accepted;
      } else {
        const int64_t minutes = MinutesBetween(Now(), issued);
        // Extended-grace lanes are counted from 51 like the flat-rate lanes; the list's
        // placeholder 0 (nothing configured, or an entry that is no number) names no lane.
        const bool extended = lane > 50 && Listed(Settings.ExtendedGraceLanes, lane - 50);
        int64_t limit = extended ? Settings.GraceTimePOFExtended : Settings.GraceTimePOF;
        if (direction == 1 && status == 2) {
          // Back in through an entry: only a ticket read within its own minute passes, and it
          // counts as inside again.
          limit = 0;
          newStatus = 0;
        }
        const bool expired = minutes > limit || (minutes < 0 && -minutes > Settings.GraceTimeFuture);
        state = expired ? TicketState::Expired : TicketState::Accepted;
      }
      if (state == TicketState::Accepted) {
        TSql sql(family);
        sql.AddInteger("takerid", address);
        if (!internal) sql.AddInteger("status", newStatus);
        sql.AddNow("out_date");
        sql.AddNow("l_date");
        TODBCStatement update(DB.get());
        update.ExecSQL(sql.BuildSQL("tickinv", false, where));
      }
    }
    TODBCStatement device(DB.get());
    if (device.ExecSQLFmt("SELECT * FROM device WHERE loop_id=%d and addr_ess=%d", LoopId, address))
      pulse = WholePulse(device.FieldAsFloat("open_pulse"));
  }
  const bool open = state == TicketState::Accepted;
  const std::string message = TicketMessage(state);
  LastOpenPulse = pulse;
  if (Card1) Card1->GateOpenMsg(address, open, message, pulse);
  metrics::PublishDecision(LoopId, address, "ticket", barcode, static_cast<int>(state), TicketResultName(state), message,
                          open);
  Log.LogFmt("Card1.GateOpenMsg(%d, %s, %d, %s)", address, std::string(open ? "Y" : "N"), pulse, message);
  if (open) AddSoftCount(address);
}

void TLoop::RecordIssuedTicket(int address, const std::string& data) {
  TDispenserRecord record;
  bool failed = false;
  if (!ParseDispenserRecord(data, record)) {
    Log.Log("Invalid or unknown value?");
  } else {
    Log.LogFmt("Bar:%s Date:%s Lane:%d Ticket:%s ... BackOut:%s OnLine:%s", record.Barcode,
               FormatDateTime("MMMDD/YYYY HH:NN:SS", record.IssueTime), record.Lane, record.TicketText,
               std::string(record.BackedOut ? "Y" : "N"), std::string(record.Online ? "Y" : "N"));
    const int32_t ticketNo = StrToIntDef(record.TicketText, 0);
    const uint8_t family = DB->DriverFamily();
    TSql sql(family);
    bool update = false;
    std::string where = BarcodeCondition(record.Barcode, family);
    TODBCStatement found(DB.get());
    TODBCStatement change(DB.get());
    if (found.ExecSQL("select * from tickinv " + where)) {
      // An exit reader already recorded this ticket and the dispenser reports it late: the
      // exit's row gains the issue data. Anything else is an older ticket of the same barcode.
      update = found.FieldAsInteger("issuerid") == 0 && found.FieldAsInteger("takerid") != 0 && !record.Online;
      if (!update) {
        sql.AddField("barcode", record.Barcode + "*", true);
        change.ExecSQL(sql.BuildSQL("tickinv", false, where));
        sql.ClearFields(false);
      }
    } else {
      where = Format("where ticket=%d and issuerid is null", ticketNo);
      if (found.ExecSQL("select * from tickinv " + where)) {
        update = found.FieldAsInteger("takerid") != 0 && !record.Online;
        if (!update) {
          sql.AddInteger("ticket", -static_cast<int64_t>(ticketNo));
          change.ExecSQL(sql.BuildSQL("tickinv", false, where));
          sql.ClearFields(false);
        }
      }
    }
    if (update) {
      Log.Log("TickInv Record Found! Updating: " + where);
    } else {
      sql.AddInteger("status", 0);
      sql.AddInteger("security", 1);
    }
    if (record.BackedOut) {
      sql.SetInteger("status", 2, false);
      sql.AddDateTime("out_date", record.IssueTime);
      sql.AddInteger("takerid", record.Lane);
    }
    sql.AddField("barcode", record.Barcode, true);
    sql.AddInteger("ticket", ticketNo);
    sql.AddDateTime("in_date", record.IssueTime);
    sql.AddInteger("issuerid", record.Lane);
    sql.AddInteger("online", record.Online ? 1 : 0);
    sql.AddNow("l_date");
    const std::string text = update ? sql.BuildSQL("tickinv", false, where) : sql.BuildSQL("tickinv", true, "");
    TODBCStatement write(DB.get());
    failed = !write.ExecSQL(text);
  }
  if (!failed) AddSoftCount(address);
}

}  // namespace tarn
