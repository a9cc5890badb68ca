#pragma once
// The answer to a card read, made from the rows the decision loaded: the reader message
// (a template of the card type's or the device's message set, expanded over the card) and the
// special "floor" outputs of a device with special_out. Pure functions; thread-safe.
#include <optional>
#include <string>
#include <vector>

#include "access/CardRows.h"
#include "access/CardValidation.h"
#include "util/DateTime.h"

namespace tarn {

// Expands a reader message template: %1..%4 misc fields, %c card number (cardNoText when
// given), %d uses left (debit types) or whole days from `now` to expiry, %f first name,
// %l last name, %s street; any other code and a final "%" give nothing. Trailing blanks are
// removed. `cardType` may be null (no type on file).
std::string ExpandMessage(const TCardRow& card, const std::string& message, const TCardTypeRow* cardType,
                          const std::string& cardNoText, TDateTime now);

// The text for the reader: the template of the result's rule from the loaded message set,
// expanded over the card. `refusedText`: the reader's text of a number no card can have
// (no card was looked for; %c shows that text).
std::string ReaderMessageText(const TCardRows& rows, AccessResult result, CardNumber cardNo,
                              const std::string& refusedText, TDateTime now);
// The message set to show: the card type's msg_id, else the device's (set 1 when that set has
// no row is the loader's fallback).
int MessageSetOf(const TCardRows& rows, std::optional<CardNumber> cardNo);

// The special "floor" output of a passing card: floors 1 to 3 pulse outputs 1, 3 and 4 and
// keep the gate shut; floor 4 and up open the gate. Not handled (the caller opens the gate
// itself) without a space, a spots row or a positive floor.
struct TSpecialOutput {
  bool handled = false;
  std::vector<std::string> log;
  bool openGate = false;
  int output = 0;    // 0: no output pulse
  int duration = 0;  // of the pulse
};
TSpecialOutput DecideSpecialOutput(bool debugLog, int space, int pulse, const std::optional<TSpotRow>& spot);

// device.open_pulse as the whole number the readers take; a value out of all reason (or not a
// number) must not overflow the callers' arithmetic.
int WholePulse(double value);

}  // namespace tarn
