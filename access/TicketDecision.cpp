#include "access/TicketDecision.h"

#include <algorithm>

#include "access/CardAnswer.h"
#include "access/RowSource.h"
#include "db/TODBC.h"
#include "log/TMessLog.h"
#include "util/Format.h"
#include "util/Strings.h"
#include "util/TicketTime.h"

namespace tarn {
namespace {

bool Listed(const std::vector<int>& list, int value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

void WriteLines(TMessLog& log, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) log.Log(line);
}

}  // namespace

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

TExitTicketDecision DecideExitTicket(const TTicketRules& rules, int address, const std::string& barcode,
                                     TDateTime issued, const TExitTicketRows& rows, TDateTime now) {
  TExitTicketDecision out;
  if (issued > 0) {
    out.log.push_back(Format("Checking BarCode: %s ", barcode));
    if (!rows.ticket) {
      out.state = TicketState::NotRecorded;
    } else {
      const bool internal = Listed(rules.internalLanes, address);
      const int direction = rows.device ? rows.device->direction : 0;
      const int lane = IntAt(barcode, 9, 2, 0);
      const int status = rows.ticket->status;
      out.log.push_back(Format("Rdr %d St %d Dir %d", address, status, direction));
      int newStatus = 2;
      if (direction == 1 && status == 0) {
        out.state = TicketState::Passback;
      } else if (status == 2 && (direction != 1 || internal)) {
        out.state = TicketState::Used;
      } else if (rules.flatRate && lane > 50) {
        out.state = TicketState::Accepted;
      } else {
        const int64_t minutes = MinutesBetweenSigned(now, issued);
        // Extended-grace lanes are counted from 51 like the flat-rate lanes; the list's
        // placeholder 0 (nothing configured, or an entry that is no number) names no lane.
        const bool extended = lane > 50 && Listed(rules.extendedGraceLanes, lane - 50);
        int64_t limit = extended ? rules.graceTimePOFExtended : rules.graceTimePOF;
        if (direction == 1 && status == 2) {
          // Back in through an entry: only a ticket read within its own minute passes, and it
          // counts as inside again.
          limit = 0;
          newStatus = 0;
        }
        const bool expired = minutes > limit || (minutes < 0 && -minutes > rules.graceTimeFuture);
        out.state = expired ? TicketState::Expired : TicketState::Accepted;
      }
      if (out.state == TicketState::Accepted) {
        TTicketTaken taken;
        taken.barcode = barcode;
        taken.takerId = address;
        if (!internal) taken.status = newStatus;
        out.taken = taken;
      }
    }
    if (rows.device) out.pulse = WholePulse(rows.device->openPulse);
  } else {
    out.state = TicketState::Unread;
  }
  out.open = out.state == TicketState::Accepted;
  out.message = TicketMessage(out.state);
  return out;
}

TExitTicketDecision ProcessExitTicket(const TTicketRules& rules, int loopId, int address, const std::string& barcode,
                                      TRowSource& source, TDecisionWriter& writer, TMessLog& log) {
  const TDateTime issued = TicketTime(barcode, rules.oldTicketFormat);
  TExitTicketRows rows;
  if (issued > 0) {
    rows = source.ExitTicketRows(loopId, address, barcode);
    if (!rows.ticket) {
      writer.RecordUnknownTicket(TUnknownTicket{barcode, issued});
      rows.ticket = source.Ticket(barcode);
    }
  }
  TExitTicketDecision decision = DecideExitTicket(rules, address, barcode, issued, rows, Now());
  WriteLines(log, decision.log);
  if (decision.taken) writer.ApplyTicketTaken(*decision.taken);
  return decision;
}

std::string SqlText(std::string_view text, uint8_t family) {
  std::string s = ReplaceAll(text, "'", "''");
  if (family == dfMySQL) s = ReplaceAll(s, "\\", "\\\\");
  return s;
}

std::string BarcodeCondition(std::string_view barcode, uint8_t family) {
  return "where barcode='" + SqlText(barcode, family) + "'";
}

std::string TicketCondition(const TTicketWhere& where, uint8_t family) {
  if (where.byNumber) return Format("where ticket=%d and issuerid is null", where.ticket);
  return BarcodeCondition(where.barcode, family);
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

TDispenserPlan PlanDispenserRecord(const TDispenserRecord& record, const TDispenserRows& rows, uint8_t family) {
  TDispenserPlan plan;
  plan.log.push_back(Format("Bar:%s Date:%s Lane:%d Ticket:%s ... BackOut:%s OnLine:%s", record.Barcode,
                            FormatDateTime("MMMDD/YYYY HH:NN:SS", record.IssueTime), record.Lane, record.TicketText,
                            std::string(record.BackedOut ? "Y" : "N"), std::string(record.Online ? "Y" : "N")));
  TDispenserWrites& w = plan.writes;
  const int32_t ticketNo = StrToIntDef(record.TicketText, 0);
  w.where.barcode = record.Barcode;
  if (rows.byBarcode) {
    // An exit reader already recorded this ticket and the dispenser reports it late: the
    // exit's row gains the issue data. Anything else is an older ticket of the same barcode.
    w.update = rows.byBarcode->issuerId == 0 && rows.byBarcode->takerId != 0 && !record.Online;
    if (!w.update) w.supersede = w.where;
  } else {
    w.where = TTicketWhere{true, "", ticketNo};
    if (rows.byNumber) {
      w.update = rows.byNumber->takerId != 0 && !record.Online;
      if (!w.update) w.supersede = w.where;
    }
  }
  if (w.update) {
    plan.log.push_back("TickInv Record Found! Updating: " + TicketCondition(w.where, family));
  } else {
    w.status = 0;
    w.security = 1;
  }
  if (record.BackedOut) {
    w.status = 2;
    w.outDate = record.IssueTime;
    w.takerId = record.Lane;
  }
  w.barcode = record.Barcode;
  w.ticket = ticketNo;
  w.inDate = record.IssueTime;
  w.issuerId = record.Lane;
  w.online = record.Online;
  return plan;
}

bool ProcessDispenserRecord(const TDispenserRecord& record, uint8_t family, TRowSource& source,
                            TDecisionWriter& writer, TMessLog& log) {
  const TDispenserRows rows = source.DispenserRows(record.Barcode, StrToIntDef(record.TicketText, 0));
  if (!source.Reached()) return false;
  const TDispenserPlan plan = PlanDispenserRecord(record, rows, family);
  WriteLines(log, plan.log);
  return writer.ApplyDispenserRecord(plan.writes);
}

}  // namespace tarn
