#pragma once
// Card validation: whether one card, read at one device at one moment, may pass. Pure
// functions of the rows of the read (CardRows.h) and the moment: no database, no clock, no
// log. Each returns its answer together with the log lines it wants written, in order, and
// the first-use activation it found due; writing them is the caller's job (ProcessCard).
// Thread-safe.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access/CardRows.h"
#include "util/DateTime.h"

namespace tarn {

// 0 accepted, 1 not on file, 2 no valid access, 3 expired or not valid yet, 4 passback,
// 5 group maximum, 6 not in path; kSoftBit is or-ed into 4, 5 or 6 when the refusing rule
// is configured as soft (the gate still opens).
using AccessResult = int32_t;
constexpr AccessResult kAccepted = 0;
constexpr AccessResult kNotOnFile = 1;
constexpr AccessResult kNoValidAccess = 2;
constexpr AccessResult kExpired = 3;
constexpr AccessResult kPassback = 4;
constexpr AccessResult kGroupMax = 5;
constexpr AccessResult kNotInPath = 6;
constexpr AccessResult kSoftBit = 8;

// True for a result that lets the card through: accepted, or refused by a soft rule.
inline bool CardPasses(AccessResult r) { return r == kAccepted || (r & kSoftBit) != 0; }

// The operator's text of a result; the soft bit is ignored.
std::string ResultText(AccessResult r);

// A card number that is not finite (text that parsed to infinity, say) reads as 0, so no
// "inf" or "nan" ever reaches SQL text.
double SafeCardNumber(double cardNo);

// The number columns (card.number, trans.card_no, trans.cardno) are DECIMAL(20,2): 18 digits
// before the point.
constexpr int kCardNumberDigits = 18;
constexpr CardNumber kMaxCardNumber = 999999999999999999;

// Reads a card number as the readers send it (decimal text). False, with `number` 0, for
// text that is no number (IsNumberText) and for a number with more digits than the columns
// hold: no card can have it, and it is refused without being looked up.
bool ParseCardNumber(const std::string& text, CardNumber& number);
// Whether the text is a number at all: "[sign]digits[.digits]", or a finite number with an
// exponent.
bool IsNumberText(const std::string& text);
// The number as shown in log lines, messages and e-mails, and as written into SQL: plain
// digits. An integer literal is exact on every database (SQLite reads any literal with a
// point as a double).
std::string CardNumberText(CardNumber number);
// A number column's text as a whole number, when it was stored exactly; empty otherwise
// (a fraction, or a double column's exponent form beyond 2^53).
std::optional<CardNumber> CardNumberFromText(const std::string& text);

// A card row is the card of `number` only when it stores exactly that number: a double
// column matches every number that rounds to the same value.
bool SameCard(const TCardRow& card, CardNumber number);
// The row of the card read, or null when it is not on file (or stored inexactly).
const TCardRow* CardOf(const TCardRows& rows, CardNumber number);

// Day column of `date`: 1 = Sunday ... 7 = Saturday; 9 on a holiday of table 2, 8 on a
// holiday of any other table (`holidayTab` 0: no holiday).
int DayIndexOf(int holidayTab, TDateTime date);

// The lines and the answer of one rule.
struct TRuleResult {
  bool pass = true;
  std::vector<std::string> log;
};

// The validity period that starts at a card's first use: date_set = 1, start_dt, exp_iry,
// on the card or, with global_expiry, on its card type.
struct TActivation {
  bool onCardType = false;
  int cardTypeId = 0;     // the card's type_id, with onCardType
  CardNumber card = 0;    // the card's number, without it
  TDateTime start = 0;
  TDateTime expiry = 0;
  bool operator==(const TActivation&) const = default;
};

struct TValidityResult {
  bool pass = true;
  std::vector<std::string> log;
  std::optional<TActivation> activation;  // due now, whatever the decision ends in
};

// True when a range of the access level (`ranges`, already those of the level) applies on
// the day column `dayIndex`, at the device and at the time of day of `when`.
bool AccessTimeAllows(const std::vector<TAccessRangeRow>& ranges, int dayIndex, TDateTime when);
// Validity period, first-use activation and debit balance.
TValidityResult CheckValidity(bool debitExpiry, TDateTime when, const TCardRow& card, const TCardTypeRow& cardType);
// False when the card's pool is full at an entry (no pool: passes).
bool CheckGroupMax(const TCardRow& card, const TDeviceRow& device, const std::optional<TCardPoolRow>& pool);
// False when the card is on its pathway and this device is not the next leg, or too late.
TRuleResult CheckPathway(bool debugLog, TDateTime when, const TCardRow& card, const TDeviceRow& device,
                         const TCardTypeRow& cardType, const std::vector<TPathwayLegRow>& legs);
// False when the card passes twice in the same direction within the passback minutes
// (0 = until the direction changes).
bool CheckPassback(int passbackMinutes, TDateTime when, const TCardRow& card, const TDeviceRow& device,
                   const TCardTypeRow& cardType);

// True when the decision gets as far as the group maximum of a pooled card at an entry, so
// that the card's pool decides: the pool is read only then.
bool PoolDecides(bool debitExpiry, CardNumber cardNo, TDateTime when, const TCardRows& rows);

struct TCardCheck {
  AccessResult result = kAccepted;
  std::vector<std::string> log;
  std::optional<TActivation> activation;
};

// The whole decision in its fixed order; the first refusal ends it. Refusal lines are
// logged only with `debugLog`; the validity source ("Table: ...") and a card stored
// inexactly are always logged.
TCardCheck CheckCard(bool debugLog, bool debitExpiry, CardNumber cardNo, TDateTime when, const TCardRows& rows);

}  // namespace tarn
