#pragma once
// Card processing: the complete handling of one card read (or one stored memory-card read)
// against the database. Loads the device and settings rows, runs the card validation, and
// for a card that may pass updates the card (direction in lot, last pass, debit balance,
// pathway position) and its pool; whatever the decision, appends one trans row. Also the
// expansion of reader message templates from card fields.
//
// Statements are created on the given TODBC and freed before return. Called on the thread
// that owns the connection.
#include <string>

#include "access/CardValidation.h"
#include "util/DateTime.h"

namespace tarn {

class TMessLog;
class TODBC;
class TODBCStatement;

// Handles one read and returns its access result. Outputs: the device's name, the card
// holder's first name, the moment of the read (now, or the time stored with a memory
// read), the special-output space (-1 when the device has none) and the gate-open pulse.
// A memory read (`memFlag`) carries its time in `memData` as "YYMMDDhhmm"; a later time
// than five minutes from now is taken as yesterday's. An impossible stored date throws
// std::runtime_error before anything is written.
AccessResult ProcessCard(bool debugLog, TMessLog& log, TODBC& db, bool debitExpiry, std::string& deviceName,
                         std::string& firstName, TDateTime& eventTime, const std::string& memData, bool memFlag,
                         int& specialSpace, int& openPulse, CardNumber cardNo, int address, int loopId);

// Charges one use of a debit card when the debit rules apply; true when charged.
bool ChargeDebit(TODBC& db, TODBCStatement& card, TODBCStatement& cardType, bool debitExpiry, TDateTime when);
// Records where the card stands on its card type's pathway (device id, or -1 when it left).
void UpdatePathwayGate(TODBC& db, TODBCStatement& card, TODBCStatement& device, TODBCStatement& cardType);
// Counts the card into (entry) or out of (exit) its pool; the count never drops below 0.
void UpdatePoolCount(TODBC& db, TODBCStatement& card, TODBCStatement& device);

// Expands a reader message template: %1..%4 misc fields, %c card number (cardNoText when
// given), %d uses left (debit types) or whole days to expiry, %f first name, %l last name,
// %s street; any other code and a final "%" give nothing. Trailing blanks are removed.
std::string ExpandMessage(TODBCStatement& card, const std::string& message, TODBCStatement& cardType,
                          const std::string& cardNoText);

}  // namespace tarn
