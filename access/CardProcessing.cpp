#include "access/CardProcessing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "access/CardAnswer.h"
#include "access/OneRequest.h"
#include "access/RowSource.h"
#include "log/TMessLog.h"
#include "util/Strings.h"
#include "util/TicketTime.h"

namespace tarn {
namespace {

bool IsDebitType(const TCardTypeRow& cardType) { return cardType.debit || cardType.debitReset; }

// A moment as a date-time column keeps it: whole seconds.
TDateTime AsStored(TDateTime dt) {
  const DateParts p = DecodeDateTime(dt);
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(p.year, p.month, p.day, date) || !TryEncodeTime(p.hour, p.minute, p.second, 0, time)) return 0;
  return date + time;
}

void ApplyActivation(TPeriodRow& period, const TActivation& activation) {
  period.dateSet = true;
  period.start = AsStored(activation.start);
  period.expiry = AsStored(activation.expiry);
}

// A use of a debit card under the same conditions that let the balance decide in the
// validation, unless it falls within the time limit of the last charged use.
struct TDebitCharge {
  int debitLeft = 0;
  std::optional<TDateTime> resetDate;  // a monthly renewal: good to the end of this month
};

std::optional<TDebitCharge> ChargeDebit(const TCardRow& card, const TCardTypeRow& cardType, bool debitExpiry,
                                        TDateTime when) {
  const bool debitFlg = cardType.debit;
  const bool debitReset = cardType.debitReset;
  if (!debitFlg && !debitReset) return std::nullopt;
  const TDateTime start = (cardType.globalExpiry ? cardType.period : card.period).start;
  const bool applies = (debitExpiry && debitFlg && when < start) || (debitReset && when > start) ||
                       (debitFlg && DecodeDateTime(start).year < 2000) || (!debitExpiry && debitFlg && when > start);
  if (!applies) return std::nullopt;
  // A use within the time limit of the last charged use is free.
  if (cardType.debitTimeLimitFlag && std::llround((when - card.debitDate) * kMsPerDay) <=
                                         static_cast<int64_t>(cardType.debitTimeLimit) * 60000)
    return std::nullopt;
  TDebitCharge charge;
  if (debitReset && card.debitResetDate < when) {
    // Monthly renewal: this use is the first of the new month's allowance.
    charge.debitLeft = cardType.uses - 1;
    charge.resetDate = EndOfTheMonth(when);
  } else {
    charge.debitLeft = card.debitLeft - 1;
  }
  return charge;
}

// Where the card stands on its card type's pathway after passing here: this device when it
// starts a leg, else -1 (off the pathway).
int PathwayGate(const std::vector<TPathwayLegRow>& legs, int deviceId) {
  const bool startsLeg =
      std::any_of(legs.begin(), legs.end(), [&](const TPathwayLegRow& leg) { return leg.fromDevice == deviceId; });
  return startsLeg ? deviceId : -1;
}

}  // namespace

TDateTime MemoryReadTime(const std::string& memData, TDateTime now) {
  const int year = 2000 + IntAt(memData, 1, 2, 0);
  const int month = IntAt(memData, 3, 2, 0);
  const int day = IntAt(memData, 5, 2, 0);
  const int minutes = ClockMinutes(IntAt(memData, 7, 4, 0));
  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, date)) throw std::runtime_error("Invalid memory date: '" + memData + "'");
  TDateTime when = date + minutes / 1440.0;
  // The reader's clock runs its own course: a stored time more than five minutes ahead of
  // ours belongs to yesterday. Whole milliseconds, so that exactly five minutes stays today.
  if (std::llround((when - now) * kMsPerDay) > 5 * 60000) when -= 1;
  return when;
}

TCardDecision DecideCard(const TCardRead& read, const TCardRows& rows, TDateTime when) {
  TCardCheck check = CheckCard(read.debugLog, read.debitExpiry, read.card, when, rows);
  TCardDecision decision;
  decision.result = check.result;
  decision.log = std::move(check.log);
  TCardWrites& w = decision.writes;
  w.card = read.card;
  if (check.activation) {
    // Written whatever the later rules decided.
    if (check.activation->onCardType)
      w.typeActivation = check.activation;
    else
      w.cardActivation = check.activation;
  }
  const TCardRow* card = CardOf(rows, read.card);
  const TDeviceRow device = rows.device.value_or(TDeviceRow{});
  const AccessResult r = check.result;
  if (CardPasses(r) && card && rows.type) {
    const TCardTypeRow& cardType = *rows.type;
    const int dir = device.direction;
    bool charged = false;
    if (dir != 3 && IsDebitType(cardType) && device.debitFlag) {
      if (const std::optional<TDebitCharge> charge = ChargeDebit(*card, cardType, read.debitExpiry, when)) {
        charged = true;
        w.debitLeft = charge->debitLeft;
        w.debitResetDate = charge->resetDate;
      }
    }
    // The direction in lot, except at a device without passback bookkeeping.
    if (dir != 3) w.inLot = dir;
    // A debit card charged per use keeps the time of its last charged use.
    if (!cardType.debit || cardType.debitReset || charged) w.debitDate = when;
    w.transDt = when;
    if (cardType.pathwayId > 0) w.inGate = PathwayGate(rows.legs, device.id);
    // A soft group pass lets the card in without counting it into the full pool; an exit
    // never takes the count below zero (the writer's condition).
    if ((r & ~kSoftBit) != kGroupMax && card->groupId >= 1 && (dir == 1 || dir == 2)) {
      w.poolId = card->groupId;
      w.poolChange = dir == 1 ? 1 : -1;
    }
  }
  TTransRow& t = w.trans;
  t.cardNo = CardNumberText(read.card);
  t.when = when;
  t.deviceId = device.id;
  t.errorCode = r;
  t.errorDesc = ResultText(r);
  t.deviceName = device.name;
  if (card) {
    t.firstName = card->firstName;
    t.lastName = card->lastName;
  }
  t.memory = read.memory;
  return decision;
}

TCardRows RowsAfterWrites(TCardRows rows, const TCardWrites& w) {
  if (rows.type && w.typeActivation) ApplyActivation(rows.type->period, *w.typeActivation);
  if (!rows.card || !SameCard(*rows.card, w.card)) return rows;
  TCardRow& card = *rows.card;
  if (w.cardActivation) ApplyActivation(card.period, *w.cardActivation);
  if (w.debitLeft) card.debitLeft = *w.debitLeft;
  if (w.debitResetDate) card.debitResetDate = AsStored(*w.debitResetDate);
  if (w.inLot) card.inLot = *w.inLot;
  if (w.debitDate) card.debitDate = AsStored(*w.debitDate);
  if (w.transDt) card.transDt = AsStored(*w.transDt);
  if (w.inGate) card.inGate = *w.inGate;
  return rows;
}

TCardOutcome ProcessCard(const TCardRead& read, TRowSource& source, TDecisionWriter& writer, TMessLog& log) {
  const TDateTime now = Now();
  const TDateTime when = read.memory ? MemoryReadTime(read.memoryData, now) : now;
  TCardRowsKey key;
  key.loopId = read.loopId;
  key.address = read.address;
  key.card = read.card;
  key.when = when;
  key.answer = !read.memory;
  TCardOutcome out;
  out.when = when;
  out.rows = source.CardRows(key);
  if (!source.Reached()) {
    out.unreached = true;
    return out;
  }
  if (PoolDecides(read.debitExpiry, read.card, when, out.rows)) out.rows.pool = source.CardPool(out.rows.card->groupId);
  TCardDecision decision = DecideCard(read, out.rows, when);
  for (const std::string& line : decision.log) log.Log(line);
  writer.ApplyCard(decision.writes);

  out.result = decision.result;
  const TDeviceRow device = out.rows.device.value_or(TDeviceRow{});
  const TCardRow* card = CardOf(out.rows, read.card);
  out.openPulse = WholePulse(device.openPulse);
  out.specialSpace = device.specialOut ? (card ? card->spaceNo : 0) : -1;
  out.deviceName = device.name;
  out.firstName = card ? card->firstName : "";
  out.rows = RowsAfterWrites(std::move(out.rows), decision.writes);
  return out;
}

TCardOutcome ProcessCard(const TCardRead& read, TODBC& db, TMessLog& log) {
  TDecisionParts parts = DecisionPartsFor(db);
  return ProcessCard(read, *parts.source, *parts.writer, log);
}

}  // namespace tarn
