#pragma once
// Ticket decisions: whether an exit reader lets a ticket's barcode out, and what the record a
// ticket dispenser reports for every ticket it issues changes in the ticket inventory
// (tickinv). The decisions are pure functions of the rows (a row source loads them), the
// loop's ticket settings and the moment; they return their log lines and a plan of writes
// that a writer applies. ProcessExitTicket and ProcessDispenserRecord put the steps together
// on the thread that owns the source's and the writer's connection; everything else is
// thread-safe.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/CardRows.h"
#include "util/DateTime.h"

namespace tarn {

class TMessLog;
class TRowSource;
class TDecisionWriter;

// A `tickinv` row as the decisions read it (a null column reads as 0).
struct TTicketRow {
  int status = 0;  // 0 issued (vehicle inside), 2 taken (vehicle out)
  int issuerId = 0;
  int takerId = 0;
  bool operator==(const TTicketRow&) const = default;
};

// The loop's ticket settings (its settings file).
struct TTicketRules {
  bool oldTicketFormat = false;
  bool flatRate = false;  // lanes above 50 pass whatever the time
  int graceTimePOF = 15;
  std::vector<int> extendedGraceLanes{0};  // counted from 51; 0 names no lane
  int graceTimePOFExtended = 15;
  int graceTimeFuture = 15;
  std::vector<int> internalLanes{0};  // reader addresses that leave the status alone
};

// Outcome of an exit-reader ticket, with the text shown on the reader.
enum class TicketState { Unread, Accepted, Used, NotRecorded, Expired, Passback };
const char* TicketMessage(TicketState state);
// The state's name on the status page and in the metrics.
const char* TicketResultName(TicketState state);

struct TExitTicketRows {
  std::optional<TTicketRow> ticket;
  std::optional<TDeviceRow> device;
};

// A barcode the dispensers never reported, recorded when an exit reader meets it so that it
// is judged, and later marked taken, like any other: issuerid 0, status 0, in_date = its
// issue time, l_date = the database's time.
struct TUnknownTicket {
  std::string barcode;
  TDateTime issued = 0;
  bool operator==(const TUnknownTicket&) const = default;
};

// An accepted ticket marked taken: takerid = the reader, status (left alone at an internal
// lane), out_date and l_date = the database's time.
struct TTicketTaken {
  std::string barcode;
  int takerId = 0;
  std::optional<int> status;
  bool operator==(const TTicketTaken&) const = default;
};

struct TExitTicketDecision {
  TicketState state = TicketState::Unread;
  bool open = false;
  std::string message;
  int pulse = 5;
  std::vector<std::string> log;
  std::optional<TTicketTaken> taken;
};

// The exit reader's decision on a barcode whose issue time is `issued` (TicketTime; 0 or
// less: unreadable, and `rows` are not consulted). `rows.ticket` is the tickinv row after an
// unknown barcode was recorded (none: it could not be).
TExitTicketDecision DecideExitTicket(const TTicketRules& rules, int address, const std::string& barcode,
                                     TDateTime issued, const TExitTicketRows& rows, TDateTime now);

// Loads, records an unknown barcode, decides, logs and writes; the answer is the caller's.
TExitTicketDecision ProcessExitTicket(const TTicketRules& rules, int loopId, int address, const std::string& barcode,
                                      TRowSource& source, TDecisionWriter& writer, TMessLog& log);

// One dispenser record: 17 characters, "S" + 10-digit barcode + 6-digit ticket number.
//   S        status digit: bit 0 clear = issued while on line, bit 1 set = backed out
//   barcode  characters 1-8 the two-year-cycle seconds of the issue time, 9-10 the lane
struct TDispenserRecord {
  std::string Barcode;
  bool Online = false;
  bool BackedOut = true;
  std::string TicketText;  // leading zeros removed
  TDateTime IssueTime = 0;
  int Lane = 0;
};

// Fills `record` from `data`; false for a record of any other length, which leaves the
// record empty (texts empty, numbers 0, not on line, backed out).
bool ParseDispenserRecord(std::string_view data, TDispenserRecord& record);

// A text as the inside of an SQL string literal for a driver family: single quotes doubled,
// and backslashes doubled for the MySQL family, exactly as the SQL text builder writes
// values, so a condition and a value written by the builder always name the same text.
std::string SqlText(std::string_view text, uint8_t family);

// "where barcode='...'" for a barcode sent by a device.
std::string BarcodeCondition(std::string_view barcode, uint8_t family);

// The tickinv rows a dispenser record's write touches: those of a barcode, or the rows of a
// ticket number that no dispenser has claimed yet.
struct TTicketWhere {
  bool byNumber = false;
  std::string barcode;
  int32_t ticket = 0;
  bool operator==(const TTicketWhere&) const = default;
};
// "where barcode='...'" or "where ticket=<n> and issuerid is null".
std::string TicketCondition(const TTicketWhere& where, uint8_t family);

struct TDispenserRows {
  std::optional<TTicketRow> byBarcode;
  std::optional<TTicketRow> byNumber;  // looked for only when no row has the barcode
};

// What a dispenser record writes: an older row of the same barcode (or number) superseded
// first (its barcode gets "*", or its number is negated), then the ticket's row inserted, or
// the row an exit reader recorded earlier updated. Columns in this order: status, security,
// out_date, takerid, barcode, ticket, in_date, issuerid, online, l_date (the database's time).
struct TDispenserWrites {
  std::optional<TTicketWhere> supersede;
  bool update = false;
  TTicketWhere where;  // of the update
  std::optional<int> status;
  std::optional<int> security;
  std::optional<TDateTime> outDate;
  std::optional<int> takerId;
  std::string barcode;
  int32_t ticket = 0;
  TDateTime inDate = 0;
  int issuerId = 0;
  bool online = false;
  bool operator==(const TDispenserWrites&) const = default;
};

struct TDispenserPlan {
  std::vector<std::string> log;
  TDispenserWrites writes;
};

// The writes of a parsed record, given the rows its barcode (or number) already has.
TDispenserPlan PlanDispenserRecord(const TDispenserRecord& record, const TDispenserRows& rows, uint8_t family);

// Loads, plans, logs and writes a parsed record; false when the ticket's row was not written
// (and when the rows could not be read at all: source.Reached() says which).
bool ProcessDispenserRecord(const TDispenserRecord& record, uint8_t family, TRowSource& source,
                            TDecisionWriter& writer, TMessLog& log);

}  // namespace tarn
