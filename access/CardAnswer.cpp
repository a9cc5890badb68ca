#include "access/CardAnswer.h"

#include <algorithm>
#include <cmath>

#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {
namespace {

bool IsDebitType(const TCardTypeRow& cardType) { return cardType.debit || cardType.debitReset; }

// Results with a template column: accepted ... not in path, without the soft bit.
bool HasTemplate(AccessResult rule) { return rule >= kAccepted && rule <= kNotInPath; }

}  // namespace

int WholePulse(double value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<int>(std::clamp(std::trunc(value), -1000000.0, 1000000.0));
}

std::string ExpandMessage(const TCardRow& card, const std::string& message, const TCardTypeRow* cardType,
                          const std::string& cardNoText, TDateTime now) {
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '%') {
      out += message[i];
      continue;
    }
    if (++i >= message.size()) break;
    switch (message[i]) {
      case '1': out += card.misc[0]; break;
      case '2': out += card.misc[1]; break;
      case '3': out += card.misc[2]; break;
      case '4': out += card.misc[3]; break;
      case 'c':
        // Drivers give the number column's text as "1001.0" or "1001.00", which is not how
        // the card reads on the display.
        out += cardNoText.empty() ? CardNumberText(card.number.value_or(0)) : cardNoText;
        break;
      case 'd':
        if (cardType && IsDebitType(*cardType))
          out += std::to_string(card.debitLeft);
        else
          out += std::to_string(static_cast<int64_t>(std::trunc(card.period.expiry - now)));
        break;
      case 'f': out += card.firstName; break;
      case 'l': out += card.lastName; break;
      case 's': out += card.street; break;
      default: break;
    }
  }
  return TrimRight(out);
}

int MessageSetOf(const TCardRows& rows, std::optional<CardNumber> cardNo) {
  int set = 0;
  if (cardNo && CardOf(rows, *cardNo) && rows.type) set = rows.type->msgId;
  if (set <= 0 && rows.device) set = rows.device->msgId;
  return set;
}

std::string ReaderMessageText(const TCardRows& rows, AccessResult result, CardNumber cardNo,
                              const std::string& refusedText, TDateTime now) {
  const AccessResult rule = result & ~kSoftBit;
  if (!HasTemplate(rule)) return "Unknown Error";
  TCardRow card;
  const TCardTypeRow* cardType = nullptr;
  if (!refusedText.empty()) {
    // No card was looked for: its date-times read as today.
    card.period.expiry = DateOf(now);
  } else if (const TCardRow* found = CardOf(rows, cardNo)) {
    card = *found;
    if (rows.type) cardType = &*rows.type;
  }
  // A card that is not on file has no row to read its number from.
  const std::string numberText =
      rule != kNotOnFile ? "" : refusedText.empty() ? CardNumberText(cardNo) : refusedText;
  const std::string& pattern = rows.messages ? rows.messages->templates[static_cast<size_t>(rule)] : std::string();
  return ExpandMessage(card, pattern, cardType, numberText, now);
}

TSpecialOutput DecideSpecialOutput(bool debugLog, int space, int pulse, const std::optional<TSpotRow>& spot) {
  TSpecialOutput out;
  if (space <= 0) return out;
  if (!spot) {
    if (debugLog) out.log.push_back(Format("'Special' output.  %d NOT Found in Spots file", space));
    return out;
  }
  const int floor = spot->floor;
  if (floor <= 0) {
    if (debugLog) out.log.push_back(Format("'Special' output %d invalid", floor));
    return out;
  }
  if (debugLog) out.log.push_back(Format("'Special' output %d going On!", floor));
  out.handled = true;
  if (floor < 4) {
    // Floors 1 to 3 are driven by outputs 1, 3 and 4; the gate itself stays shut.
    out.openGate = false;
    out.output = floor == 1 ? 1 : floor + 1;
    const int64_t duration = std::max<int64_t>(static_cast<int64_t>(pulse) * 10, 5);
    out.duration = static_cast<int>(std::min<int64_t>(duration, 1000000));
  } else {
    out.openGate = true;
  }
  return out;
}

}  // namespace tarn
