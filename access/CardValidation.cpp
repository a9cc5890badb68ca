#include "access/CardValidation.h"

#include <cmath>
#include <cstdlib>

#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// Milliseconds from `earlier` to `later`; rounding to whole milliseconds keeps moments read
// back from the database (whole seconds) comparable with computed ones.
int64_t MsBetween(TDateTime later, TDateTime earlier) {
  return static_cast<int64_t>(std::llround((later - earlier) * kMsPerDay));
}

// Time of day in whole seconds.
int64_t SecondOfDay(TDateTime dt) {
  return static_cast<int64_t>(std::floor(TimeOf(dt) * 86400.0 + 1e-6)) % 86400;
}

// Splits "[sign]digits[.digits]" into sign, whole digits without leading zeros and the
// fraction; false for any other text.
bool SplitDecimal(std::string_view text, bool& negative, std::string& whole, std::string& fraction) {
  size_t i = 0;
  negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t wholeStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  whole.assign(text.substr(wholeStart, i - wholeStart));
  fraction.clear();
  if (i < text.size() && text[i] == '.') {
    const size_t fractionStart = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    fraction.assign(text.substr(fractionStart, i - fractionStart));
  }
  if (i != text.size() || (whole.empty() && fraction.empty())) return false;
  const size_t firstSignificant = whole.find_first_not_of('0');
  whole = firstSignificant == std::string::npos ? "" : whole.substr(firstSignificant);
  return true;
}

CardNumber WholeDigits(const std::string& whole, bool negative) {
  CardNumber value = 0;
  for (char c : whole) value = value * 10 + (c - '0');
  return negative ? -value : value;
}

// The period the validity rules read: the card type's when it keeps one for all its cards.
const TPeriodRow& PeriodOf(const TCardRow& card, const TCardTypeRow& cardType) {
  return cardType.globalExpiry ? cardType.period : card.period;
}

AccessResult Soft(AccessResult rule, bool soft) { return soft ? (rule | kSoftBit) : rule; }

}  // namespace

double SafeCardNumber(double cardNo) { return std::isfinite(cardNo) ? cardNo : 0.0; }

bool ParseCardNumber(const std::string& text, CardNumber& number) {
  number = 0;
  bool negative = false;
  std::string whole, fraction;
  if (SplitDecimal(text, negative, whole, fraction)) {
    // A fraction never belongs to a card: the whole digits are the number.
    if (whole.size() > static_cast<size_t>(kCardNumberDigits)) return false;
    number = WholeDigits(whole, negative);
    return true;
  }
  const std::optional<double> value = TryStrToFloat(text);
  if (!value || !std::isfinite(*value)) return false;  // no number: no card has it
  if (std::fabs(*value) >= 1e18) return false;         // 19 digits or more
  number = static_cast<CardNumber>(std::llround(*value));
  return true;
}

bool IsNumberText(const std::string& text) {
  bool negative = false;
  std::string whole, fraction;
  return SplitDecimal(text, negative, whole, fraction) || TryStrToFloat(text).has_value();
}

std::string CardNumberText(CardNumber number) { return std::to_string(number); }

std::optional<CardNumber> CardNumberFromText(const std::string& columnText) {
  const std::string text = Trim(columnText);
  bool negative = false;
  std::string whole, fraction;
  if (SplitDecimal(text, negative, whole, fraction)) {
    if (whole.size() > static_cast<size_t>(kCardNumberDigits) ||
        fraction.find_first_not_of('0') != std::string::npos)
      return std::nullopt;
    return WholeDigits(whole, negative);
  }
  // Exponent form, as a double column gives its value: exact only up to 2^53.
  const std::optional<double> value = TryStrToFloat(text);
  constexpr double kExactDouble = 9007199254740992.0;
  if (!value || std::fabs(*value) > kExactDouble || std::trunc(*value) != *value) return std::nullopt;
  return static_cast<CardNumber>(*value);
}

bool SameCard(const TCardRow& card, CardNumber number) { return card.number == number; }

const TCardRow* CardOf(const TCardRows& rows, CardNumber number) {
  return rows.card && SameCard(*rows.card, number) ? &*rows.card : nullptr;
}

std::string ResultText(AccessResult r) {
  switch (r & ~kSoftBit) {
    case kAccepted: return "Accepted";
    case kNotOnFile: return "Not On File";
    case kNoValidAccess: return "No Valid Access Found";
    case kExpired: return "Expired, or not valid yet";
    case kPassback: return "Passback Error";
    case kGroupMax: return "Group Max. Exceeded";
    case kNotInPath: return "Not in Path";
    default: return "Unknown error!";
  }
}

int DayIndexOf(int holidayTab, TDateTime date) {
  if (holidayTab == 0) return DayOfWeek(date);
  return holidayTab == 2 ? 9 : 8;
}

bool AccessTimeAllows(const std::vector<TAccessRangeRow>& ranges, int dayIndex, TDateTime when) {
  if (dayIndex < 1 || dayIndex > 9) return false;
  const int64_t t = SecondOfDay(when);
  for (const TAccessRangeRow& range : ranges) {
    // A range applies only on its days and at the devices listed for it.
    if (!range.day[static_cast<size_t>(dayIndex - 1)] || !range.atDevice) continue;
    const int64_t s = SecondOfDay(range.start);
    const int64_t e = SecondOfDay(range.end);
    if (e > s) {
      if (s <= t && t <= e) return true;
    } else if (e < s) {
      if (t >= s || t <= e) return true;  // the window runs across midnight
    } else {
      return true;  // equal ends: the whole day
    }
  }
  return false;
}

TValidityResult CheckValidity(bool debitExpiry, TDateTime when, const TCardRow& card, const TCardTypeRow& cardType) {
  TValidityResult out;
  const bool global = cardType.globalExpiry;
  const TPeriodRow& source = PeriodOf(card, cardType);
  out.log.push_back(std::string("Table: ") + (global ? "card_type" : "card"));

  const bool debitFlg = cardType.debit;
  const bool debitReset = cardType.debitReset;
  TDateTime start = 0, expiry = 0;
  if (cardType.firstUse && !debitFlg && !source.dateSet && !debitReset) {
    // First use: the period starts now, and is written whatever the later rules decide.
    start = when;
    expiry = when + cardType.days;
    TActivation activation;
    activation.onCardType = global;
    activation.cardTypeId = card.typeId;
    activation.card = card.number.value_or(0);
    activation.start = start;
    activation.expiry = expiry;
    out.activation = activation;
  } else {
    start = source.start;
    expiry = source.expiry;
  }

  if (debitFlg || debitReset) {
    // The monthly allowance is due for renewal; the card update renews it.
    if (debitReset && card.debitResetDate < when) return out;
    const bool balanceDecides = (debitExpiry && debitFlg && when < start) || (debitReset && when > start) ||
                                (debitFlg && DecodeDateTime(start).year < 2000) ||
                                (!debitExpiry && debitFlg && when > start);
    if (!balanceDecides) {
      out.pass = false;
      return out;
    }
    if (card.debitLeft > 0) return out;
    // A re-entry within the time limit of the last charged use is free.
    out.pass = cardType.debitTimeLimitFlag &&
               MsBetween(when, card.debitDate) < static_cast<int64_t>(cardType.debitTimeLimit) * 60000;
    return out;
  }

  if (cardType.noExpiry) return out;
  if (when < start) {
    // Not yet in the current period: the previous one may still hold.
    start = source.prevStart;
    expiry = source.prevExpiry;
  }
  out.pass = start <= when && when <= expiry;
  return out;
}

bool CheckGroupMax(const TCardRow& card, const TDeviceRow& device, const std::optional<TCardPoolRow>& pool) {
  if (card.groupId < 1 || device.direction != 1) return true;
  if (!pool) return true;
  return pool->curInLot < pool->maxInLot;
}

TRuleResult CheckPathway(bool debugLog, TDateTime when, const TCardRow& card, const TDeviceRow& device,
                         const TCardTypeRow& cardType, const std::vector<TPathwayLegRow>& legs) {
  TRuleResult out;
  const int pathway = cardType.pathwayId;
  const int inGate = card.inGate;
  const int deviceId = device.id;
  if (debugLog)
    out.log.push_back(Format("Card#: %s - pathway_id ( > 0) %d  /  in_gate (<> -1) %d  /  no_path (<> 0) %d",
                             card.numberText, pathway, inGate, device.noPath));
  if (pathway <= 0 || inGate == -1 || device.noPath != 0) return out;
  const TPathwayLegRow* leg = nullptr;
  for (const TPathwayLegRow& candidate : legs)
    if (candidate.fromDevice == inGate && candidate.toDevice == deviceId) {
      leg = &candidate;
      break;
    }
  if (!leg) {
    if (debugLog) out.log.push_back(Format("Pathway %d does NOT have path for %d to %d!", pathway, inGate, deviceId));
    out.pass = false;
    return out;
  }
  const int64_t minutes = std::llabs(MinutesBetweenSigned(when, card.transDt));
  const int limit = leg->timeLimit;
  out.pass = minutes <= limit;
  if (debugLog)
    out.log.push_back(
        Format("Pathway Time %s - Minutes: %d, Limit: %d", std::string(out.pass ? "OK" : "OUT"), minutes, limit));
  return out;
}

bool CheckPassback(int passbackMinutes, TDateTime when, const TCardRow& card, const TDeviceRow& device,
                   const TCardTypeRow& cardType) {
  if (cardType.ignorePassback) return true;
  const int dir = device.direction;
  if (dir == 0 || dir == 3 || dir != card.inLot) return true;
  // Same direction as the last pass: held until the direction changes (0 minutes) or for
  // the passback minutes.
  if (passbackMinutes == 0) return false;
  return std::llabs(MinutesBetweenSigned(when, card.transDt)) >= passbackMinutes;
}

bool PoolDecides(bool debitExpiry, CardNumber cardNo, TDateTime when, const TCardRows& rows) {
  const TCardRow* card = CardOf(rows, cardNo);
  if (!card || !rows.type || card->groupId < 1 || !rows.device || rows.device->direction != 1) return false;
  return AccessTimeAllows(rows.ranges, DayIndexOf(rows.holidayTab, when), when) &&
         CheckValidity(debitExpiry, when, *card, *rows.type).pass;
}

TCardCheck CheckCard(bool debugLog, bool debitExpiry, CardNumber cardNo, TDateTime when, const TCardRows& rows) {
  TCardCheck out;
  auto refuse = [&](AccessResult result, const std::string& line) {
    if (debugLog) out.log.push_back(line);
    out.result = result;
    return out;
  };
  auto take = [&](std::vector<std::string>& lines) {
    for (std::string& line : lines) out.log.push_back(std::move(line));
  };
  const std::string number = CardNumberText(cardNo);
  if (rows.card && !SameCard(*rows.card, cardNo))
    out.log.push_back("Card " + number + " is stored as " + rows.card->numberText +
                      " in the card table, which cannot hold it exactly: refused");
  const TCardRow* card = CardOf(rows, cardNo);
  if (!card) return refuse(kNotOnFile, "Card " + number + " not on file");
  if (!rows.type) return refuse(kNoValidAccess, "Type id " + card->typeIdText + " is not on file for card " + number);
  const TCardTypeRow& cardType = *rows.type;
  const TDeviceRow device = rows.device.value_or(TDeviceRow{});
  const TSettingsRow settings = rows.settings.value_or(TSettingsRow{});

  if (!AccessTimeAllows(rows.ranges, DayIndexOf(rows.holidayTab, when), when))
    return refuse(kNoValidAccess,
                  "Access level id " + std::to_string(cardType.accessLevelId) + " access failure for card " + number);
  TValidityResult validity = CheckValidity(debitExpiry, when, *card, cardType);
  take(validity.log);
  out.activation = validity.activation;
  if (!validity.pass) return refuse(kExpired, "Card " + number + " is inactive");
  if (!CheckGroupMax(*card, device, rows.pool))
    return refuse(Soft(kGroupMax, settings.softGroup), "Card " + number + " is over group maximum");
  TRuleResult pathway = CheckPathway(debugLog, when, *card, device, cardType, rows.legs);
  take(pathway.log);
  if (!pathway.pass) return refuse(Soft(kNotInPath, settings.softPath), "Card " + number + " has a pathway error");
  if (!CheckPassback(settings.passbackMinutes, when, *card, device, cardType))
    return refuse(Soft(kPassback, settings.softPassback), "Card " + number + " passback error");
  return out;
}

}  // namespace tarn
