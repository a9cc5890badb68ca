// Card events of the loop controller: cards read now (OnData, which also carries the
// records of ticket dispensers and the barcodes of exit readers) and cards a device stored
// while it could not report (OnMemory). Main thread only, like every handler of TLoop.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "access/CardAnswer.h"
#include "access/CardProcessing.h"
#include "access/CardValidation.h"
#include "access/OdbcRowSource.h"
#include "access/UnreadableCard.h"
#include "access/OfflineStore.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "log/TMessLog.h"
#include "loop/DecisionRoute.h"
#include "loop/TLoop.h"
#include "mail/SendMail.h"
#include "readerbus/TCard.h"
#include "metrics/Metrics.h"
#include "metrics/StatusStore.h"
#include "util/Strings.h"

namespace tarn {

namespace {

// Device type of an address (1 ticket dispenser, 2 exit ticket reader, other: card reader).
int DeviceTypeAt(const std::vector<uint8_t>& types, int address) {
  if (address < 0 || static_cast<size_t>(address) >= types.size()) return 0;
  return types[static_cast<size_t>(address)];
}

// A card number as the readers send it: decimal text. Text that is no number, and a number
// longer than the card columns hold (rounded, it would be another card), are logged and
// refused.
bool CardNumberOf(TMessLog& log, const std::string& text, CardNumber& number) {
  if (ParseCardNumber(text, number)) return true;
  if (!IsNumberText(text))
    log.Log("Card data |" + text + "| is not a card number: refused");
  else
    log.Log("Card number " + text + " has more than " + std::to_string(kCardNumberDigits) +
            " digits, more than the card columns hold: refused");
  return false;
}

// The answer to a read while the database cannot be reached: the gate opens on the last
// known pulse only when the site chose low security for that case.
void AnswerWithoutDatabase(TLoop& loop, int address, const std::string& data) {
  std::string text = "Cannot connect to DB!";
  if (loop.Settings.LowSecurityOnDBError) {
    if (loop.Card1) loop.Card1->GateOpenMsg(address, true, "Thank you...", loop.LastOpenPulse);
    text += "  Card Allowed, ";
  } else {
    text += "  Card NOT Allowed! ";
  }
  metrics::PublishDecision(loop.LoopId, address, "card", data, -1, "no database",
                          loop.Settings.LowSecurityOnDBError ? "Thank you..." : "",
                          loop.Settings.LowSecurityOnDBError);
  if (loop.DebugLog)
    loop.Log.Log(text + " Loop Id " + IntToStr(loop.LoopId) + " address " + IntToStr(address) + ", Card " + data);
}

// The read as the decision takes it.
TCardRead ReadOf(const TLoop& loop, int address, CardNumber number) {
  TCardRead read;
  read.card = number;
  read.address = address;
  read.loopId = loop.LoopId;
  read.debugLog = loop.DebugLog;
  read.debitExpiry = loop.Settings.DebitExpiry;
  return read;
}

// Drives the special "floor" output of a passing card; false when the caller has to open the
// gate itself.
bool DriveSpecialOutput(TLoop& loop, int address, int space, int pulse, const std::optional<TSpotRow>& spot) {
  const TSpecialOutput plan = DecideSpecialOutput(loop.DebugLog, space, pulse, spot);
  for (const std::string& line : plan.log) loop.Log.Log(line);
  if (!plan.handled || !loop.Card1) return plan.handled;
  loop.Card1->GateOpenMsg(address, plan.openGate, "Going Up!", pulse);
  if (plan.output > 0) loop.Card1->PulseOutput(address, plan.output, plan.duration);
  return true;
}

}  // namespace

void TLoop::CardData(int address, const std::string& data) {
  metrics::MarkRead();
  try {
    const int type = DeviceTypeAt(DeviceTypes, address);
    metrics::Report(type == 1   ? metrics::TEvent::ReadIssuedTicket
                    : type == 2 ? metrics::TEvent::ReadTicket
                                : metrics::TEvent::ReadCard);
    metrics::TStatusStore::Instance().DeviceAnswered(LoopId, address);
    // A dispenser waits for this before it issues its next ticket.
    if (type == 1 && Card1) Card1->SendYCommand(address, "");
    Log.Log("Got CardData event!  - " + IntToStr(address) + "  Loop - " + IntToStr(LoopId) + " - |" + data + "|");
    // The round trips of the decision: from the connection's check to its last write.
    const uint64_t trips = DB ? DB->RoundTrips() : 0;
    // A read tries a connection at once, also in the back-off after hung attempts.
    const bool connected = Conn->Connect(true);
    const bool fromCopy = Offline != nullptr && Offline->DecideOffline(connected);
    if (!connected && !fromCopy) {
      AnswerWithoutDatabase(*this, address, data);
      return;
    }
    if (fromCopy) metrics::Report(metrics::TEvent::OfflineDecision);
    if (type == 1)
      RecordIssuedTicket(address, data);
    else if (type == 2)
      CheckExitTicket(address, data);
    else
      CardRead(address, data);
    // A decision from the copy made none: it is not counted among them.
    if (DB && !fromCopy)
      metrics::PublishRoundTrips(type == 1 ? "dispenser" : type == 2 ? "ticket" : "card", DB->RoundTrips() - trips);
  } catch (...) {
    Log.Log("CardData Exception!");
  }
}

void TLoop::CardRead(int address, const std::string& data) {
  CardNumber number = 0;
  if (!CardNumberOf(Log, data, number)) {
    // Refused without looking a card up. Garbage from a reader shows and is recorded as card
    // 0, like any unknown card; a number too long for the columns shows as read and has no
    // row to go into.
    const bool garbage = !IsNumberText(data);
    const std::string shown = garbage ? CardNumberText(0) : data;
    TCardRowsKey key;
    key.loopId = LoopId;
    key.address = address;
    key.decision = false;
    TDecisionRoute route(*this);
    const TCardRows rows = route.Source().CardRows(key);
    // The record first, then the answer, as for every read.
    if (garbage) route.Writer().ApplyCard(UnreadableCardWrites(rows.device, Now()));
    const std::string message = ReaderMessageText(rows, kNotOnFile, 0, shown, Now());
    if (Card1) Card1->GateOpenMsg(address, false, message, LastOpenPulse);
    metrics::PublishDecision(LoopId, address, "card", shown, kNotOnFile, metrics::CardResultName(kNotOnFile), message,
                            false);
    return;
  }
  TDecisionRoute route(*this, CountAtFor(address));
  const uint64_t lostBefore = DB ? DB->LostExecutions() : 0;
  const TCardOutcome outcome = ProcessCard(ReadOf(*this, address, number), route.Source(), route.Writer(), Log);
  if (outcome.unreached && !route.FromCopy() && CopyTakesOverAfterLoss()) {
    CardRead(address, data);
    return;
  }
  const AccessResult result = outcome.result;
  const int pulse = outcome.openPulse;
  // The database went away during the decision: a refusal then says nothing about the card,
  // so the read is answered as any read without the database. A pass stands (its writes are
  // kept and applied once when the database is back). Rows that could not be read at all
  // decided nothing.
  if (outcome.unreached ||
      (!route.FromCopy() && DB && DB->LostExecutions() != lostBefore && !CardPasses(result))) {
    AnswerWithoutDatabase(*this, address, data);
    return;
  }
  LastOpenPulse = pulse;
  const std::string message = ReaderMessageText(outcome.rows, result, number, "", Now());
  const std::string numberText = CardNumberText(number);
  if (!CardPasses(result)) {
    if (Card1) Card1->GateOpenMsg(address, false, message, pulse);
    metrics::PublishDecision(LoopId, address, "card", numberText, result, metrics::CardResultName(result), message,
                            false);
    return;
  }
  // Decided offline, the passage is counted into the journal before the gate opens, like the
  // decision's own writes: a kill after the answer loses nothing that was answered.
  const bool countedFirst = route.FromCopy();
  if (countedFirst) AddSoftCount(address);
  if (!DriveSpecialOutput(*this, address, outcome.specialSpace, pulse, outcome.rows.spot) && Card1)
    Card1->GateOpenMsg(address, true, message, pulse);
  metrics::PublishDecision(LoopId, address, "card", numberText, result, metrics::CardResultName(result), message, true);
  if (DebugLog)
    Log.Log("Card Allowed, Loop Id " + IntToStr(LoopId) + " address " + IntToStr(address) + ", Card " + numberText);
  if (!Settings.EmailServer.empty()) {
    const std::string body =
        "Card: " + numberText + ", Name: " + outcome.firstName + ", Device: " + outcome.deviceName;
    Log.Log("Sending email to: " + Settings.EmailTo + " Server: " + Settings.EmailServer +
            " Port: " + IntToStr(Settings.EmailPort));
    try {
      std::string status;
      SendMail("", Settings.EmailServer, Settings.EmailPort, Settings.EmailFrom, Settings.EmailTo, "", "Card Event",
               body, "", status);
      metrics::Report(status == "Sent" ? metrics::TEvent::MailSent : metrics::TEvent::MailFailed);
    } catch (...) {
      metrics::Report(metrics::TEvent::MailFailed);
      Log.Log("Exception in MailMessage()");
    }
  }
  if (!countedFirst) CountPassage(address, route.Count());
}

void TLoop::MemoryData(int address, const std::string& data) {
  Log.Log("Got MemoryData event!  - " + IntToStr(address) + " - |" + data + "|");
  // A stored read with an impossible date (or any other failure) ends here with a line in
  // the log instead of vanishing in the event dispatch.
  try {
    const bool connected = Conn->Connect();
    const bool fromCopy = Offline != nullptr && Offline->DecideOffline(connected);
    if (fromCopy) metrics::Report(metrics::TEvent::OfflineDecision);
    if (connected || fromCopy)
      MemoryCard(address, data);
    else
      AnswerWithoutDatabase(*this, address, data);
  } catch (const std::exception& e) {
    Log.Log("MemoryData Exception! " + std::string(e.what()));
  } catch (...) {
    Log.Log("MemoryData Exception!");
  }
}

void TLoop::MemoryCard(int address, const std::string& data) {
  CardNumber number = 0;
  if (data.size() > 10 && !CardNumberOf(Log, data.substr(10), number)) return;
  TCardRead read = ReadOf(*this, address, number);
  read.memory = true;
  read.memoryData = data;
  TDecisionRoute route(*this, CountAtFor(address));
  const TCardOutcome outcome = ProcessCard(read, route.Source(), route.Writer(), Log);
  if (outcome.unreached && !route.FromCopy() && CopyTakesOverAfterLoss()) {
    MemoryCard(address, data);
    return;
  }
  if (outcome.unreached) {
    AnswerWithoutDatabase(*this, address, data);
    return;
  }
  if (!CardPasses(outcome.result)) return;
  // The vehicle passed while the device could not report: count it, but send no gate command.
  if (DebugLog)
    Log.Log("Memory Card Success, Loop Id " + IntToStr(LoopId) + " address " + IntToStr(address) + ", Card " +
            CardNumberText(number));
  CountPassage(address, route.Count());
}

std::string TLoop::ReaderMessage(int result, int address, int64_t cardNumber, const std::string& refusedText) {
  TCardRowsKey key;
  key.loopId = LoopId;
  key.address = address;
  if (refusedText.empty()) key.card = cardNumber;
  key.decision = false;
  TDecisionRoute route(*this);
  return ReaderMessageText(route.Source().CardRows(key), result, cardNumber, refusedText, Now());
}

bool TLoop::SpecialOutput(int address, int space, int pulse) {
  if (space <= 0) return false;
  TDecisionRoute route(*this);
  return DriveSpecialOutput(*this, address, space, pulse, route.Source().Spot(space));
}

}  // namespace tarn
