#pragma once
// Card validation: whether one card, read at one device at one moment, may pass. Plain
// functions without state: everything comes from the rows they are handed or read on the
// given connection (card, card_type, device, settings, holiday, a_l_range,
// a_l_range_device, card_pool, pathway_ft). The only write is the first-use activation of a
// card (or of a card type with a shared period).
//
// Every query runs on a statement created on the given TODBC and freed before return; a
// failed query is logged by the statement layer and reads as "no row". Called on the thread
// that owns the connection (the main thread in the service).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/DateTime.h"

namespace tarn {

class TMessLog;
class TODBC;
class TODBCStatement;

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

// A card number that is not finite (text that parsed to infinity, say) reads as 0, so no
// "inf" or "nan" ever reaches SQL text.
double SafeCardNumber(double cardNo);

// A card number, kept whole from the reader's text to the SQL text so that long numbers are
// matched, stored and shown digit for digit (a double holds only 15 to 16 of them).
using CardNumber = int64_t;
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
// The number stored in a column of the current row, when it is a whole number that was
// stored exactly; empty otherwise (a double column rounds beyond 2^53).
std::optional<CardNumber> CardNumberField(TODBCStatement& row, std::string_view column);

// The whole decision in its fixed order; the first refusal ends it. `settings` and `device`
// are positioned on their rows; `cardType` and `card` are filled here and stay positioned
// on the card-type and card rows when those exist. Refusal lines are logged only with
// `debugLog`.
AccessResult CheckCard(bool debugLog, TMessLog& log, TODBC& db, bool debitExpiry, int passbackMinutes,
                       CardNumber cardNo, TDateTime when, TODBCStatement& settings, TODBCStatement& device,
                       TODBCStatement& cardType, TODBCStatement& card);

// The operator's text of a result; the soft bit is ignored.
std::string ResultText(AccessResult r);

// tab_num of the holiday row of `date`, 0 when there is none.
int HolidayTab(TODBC& db, TDateTime date);
// Day column of `date`: 1 = Sunday ... 7 = Saturday; 9 on a holiday of table 2, 8 on
// a holiday of any other table.
int DayIndex(TODBC& db, TDateTime date);

// Positions `card` on the card of this number; false when it is not on file. A row whose
// stored number is not exactly this one (a double column that rounded a long number) does
// not count as found; with `log` that is logged.
bool FindCard(TODBCStatement& card, CardNumber cardNo, TMessLog* log = nullptr);
// Positions `cardType` on the type named by the card's type_id.
bool FindCardType(TODBCStatement& card, TODBCStatement& cardType);

// True when a time range of the access level applies to the day, the device and the time.
bool CheckAccessTime(TODBC& db, int accessLevelId, TDateTime when, int deviceId);
// Validity period, first-use activation and debit balance.
bool CheckValidity(TMessLog& log, TODBC& db, bool debitExpiry, TDateTime when, TODBCStatement& card,
                   TODBCStatement& cardType);
// False when the card's pool is full at an entry.
bool CheckGroupMax(TODBC& db, TODBCStatement& card, TODBCStatement& device);
// False when the card is on its pathway and this device is not the next leg, or too late.
bool CheckPathway(bool debugLog, TMessLog& log, TODBC& db, TDateTime when, TODBCStatement& card,
                  TODBCStatement& device, TODBCStatement& cardType);
// False when the card passes twice in the same direction within the passback minutes
// (0 = until the direction changes).
bool CheckPassback(int passbackMinutes, TDateTime when, TODBCStatement& card, TODBCStatement& device,
                   TODBCStatement& cardType);

}  // namespace tarn
