#pragma once
// Card processing: the complete handling of one card read (or one stored memory-card read).
// ProcessCard loads the rows of the read through a row source, decides (DecideCard: the
// validation and the plan of writes, a pure function of the rows and the moment), writes the
// decision's log lines and hands the plan to a writer: for a card that may pass, the card
// (direction in lot, last pass, debit balance, pathway position) and its pool; a first-use
// activation whatever the decision; one trans row for every read. The answer is made from
// the outcome's rows (CardAnswer.h).
//
// ProcessCard runs on the thread that owns the source's and the writer's connection; the
// rest are pure functions and thread-safe.
#include <optional>
#include <string>
#include <vector>

#include "access/CardRows.h"
#include "access/CardValidation.h"
#include "util/DateTime.h"

namespace tarn {

class TMessLog;
class TODBC;
class TRowSource;
class TDecisionWriter;

// One card read as the loop hands it over.
struct TCardRead {
  CardNumber card = 0;
  int address = 0;
  int loopId = 0;
  bool debugLog = true;      // the detail lines of refusals
  bool debitExpiry = false;  // "Debit Expiry": a debit card's start_dt is its last day of use
  // A read the device stored while it could not report, with its time as "YYMMDDhhmm"; it is
  // recorded and counted, not answered.
  bool memory = false;
  std::string memoryData;
};

// The trans row of a read, column by column.
struct TTransRow {
  std::string cardNo;  // card_no and cardno
  TDateTime when = 0;  // dat_e
  int deviceId = 0;
  AccessResult errorCode = 0;
  std::string errorDesc;
  std::string deviceName;
  std::string firstName;
  std::string lastName;
  bool memory = false;  // mem_flag
  bool operator==(const TTransRow&) const = default;
};

// The plan of writes of one card decision: a plain value, applied by a TDecisionWriter in
// this order (card type, card, pool, trans row). Empty optionals change nothing.
struct TCardWrites {
  // First-use activation of the card type's shared period (card_type: date_set = 1,
  // start_dt, exp_iry).
  std::optional<TActivation> typeActivation;
  // The card row, keyed by its number.
  CardNumber card = 0;
  std::optional<TActivation> cardActivation;  // card: date_set = 1, start_dt, exp_iry
  std::optional<int> debitLeft;
  std::optional<TDateTime> debitResetDate;
  std::optional<int> inLot;
  std::optional<TDateTime> debitDate;
  std::optional<TDateTime> transDt;
  std::optional<int> inGate;
  // The card's pool: +1 at an entry, -1 at an exit (never below zero), 0 no change.
  int poolId = 0;
  int poolChange = 0;
  TTransRow trans;
  bool TouchesCard() const {
    return cardActivation || debitLeft || debitResetDate || inLot || debitDate || transDt || inGate;
  }
  bool operator==(const TCardWrites&) const = default;
};

struct TCardDecision {
  AccessResult result = kAccepted;
  std::vector<std::string> log;  // to be written in order, before the writes
  TCardWrites writes;
};

// The validation and everything it changes, from the rows and the moment of the read.
TCardDecision DecideCard(const TCardRead& read, const TCardRows& rows, TDateTime when);

// The moment stored with a memory read ("YYMMDDhhmm"); a time more than five minutes ahead of
// `now` is taken as yesterday's. Throws std::runtime_error for an impossible date.
TDateTime MemoryReadTime(const std::string& memData, TDateTime now);

// The rows as the writes leave them (card and card type), for the answer's templates.
TCardRows RowsAfterWrites(TCardRows rows, const TCardWrites& writes);

struct TCardOutcome {
  AccessResult result = kNotOnFile;
  TDateTime when = 0;       // the read's moment: now, or the time stored with a memory read
  std::string deviceName;
  std::string firstName;
  int specialSpace = -1;    // the card's space at a special-output device, else -1
  int openPulse = 0;        // device.open_pulse
  TCardRows rows;           // as the writes left them: what the answer is made from
  // The rows could not be read: the database is out of reach (TRowSource::Reached). Nothing
  // was decided, logged or written; the caller answers as without a database.
  bool unreached = false;
};

// Handles one read: loads, decides, logs, writes. An impossible memory date throws
// std::runtime_error before anything is read or written.
TCardOutcome ProcessCard(const TCardRead& read, TRowSource& source, TDecisionWriter& writer, TMessLog& log);
// The same on one connection (its row source and writer, DecisionPartsFor: one request each
// where the server takes it).
TCardOutcome ProcessCard(const TCardRead& read, TODBC& db, TMessLog& log);

}  // namespace tarn
