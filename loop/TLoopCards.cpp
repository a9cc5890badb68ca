// Card events of the loop controller: cards read now (OnData, which also carries the
// records of ticket dispensers and the barcodes of exit readers) and cards a device stored
// while it could not report (OnMemory). Main thread only, like every handler of TLoop.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>

#include "access/CardProcessing.h"
#include "access/CardValidation.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
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

// A card number as the readers send it: decimal text, 0 when it is none. A number longer
// than the card columns hold is logged and refused: rounded, it would be another card.
bool CardNumberOf(TMessLog& log, const std::string& text, CardNumber& number) {
  if (ParseCardNumber(text, number)) return true;
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

// Template column of each refusal rule, by result code without the soft bit.
const char* TemplateColumn(AccessResult rule) {
  switch (rule) {
    case kAccepted: return "accepted";
    case kNotOnFile: return "not_on_file";
    case kNoValidAccess: return "access";
    case kExpired: return "inac_tive";
    case kPassback: return "passback";
    case kGroupMax: return "max_group";
    case kNotInPath: return "not_on_path";
    default: return nullptr;
  }
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
    if (!Conn->Connect(true)) {
      AnswerWithoutDatabase(*this, address, data);
      return;
    }
    if (type == 1)
      RecordIssuedTicket(address, data);
    else if (type == 2)
      CheckExitTicket(address, data);
    else
      CardRead(address, data);
  } catch (...) {
    Log.Log("CardData Exception!");
  }
}

void TLoop::CardRead(int address, const std::string& data) {
  CardNumber number = 0;
  if (!CardNumberOf(Log, data, number)) {
    if (Card1) Card1->GateOpenMsg(address, false, ReaderMessage(kNotOnFile, address, 0, data), LastOpenPulse);
    return;
  }
  std::string deviceName;
  std::string firstName;
  TDateTime when = 0;
  int space = -1;
  int pulse = 0;
  const uint64_t lostBefore = DB->LostExecutions();
  const AccessResult result = ProcessCard(DebugLog, Log, *DB, Settings.DebitExpiry, deviceName, firstName, when,
                                          "0000", false, space, pulse, number, address, LoopId);
  // The database went away during the decision: a refusal then says nothing about the card,
  // so the read is answered as any read without the database. A pass stands (its writes are
  // kept and applied once when the database is back).
  if (DB->LostExecutions() != lostBefore && !CardPasses(result)) {
    AnswerWithoutDatabase(*this, address, data);
    return;
  }
  LastOpenPulse = pulse;
  const std::string message = ReaderMessage(result, address, number);
  const std::string numberText = CardNumberText(number);
  if (!CardPasses(result)) {
    if (Card1) Card1->GateOpenMsg(address, false, message, pulse);
    metrics::PublishDecision(LoopId, address, "card", numberText, result, metrics::CardResultName(result), message,
                            false);
    return;
  }
  if (!SpecialOutput(address, space, pulse) && Card1) Card1->GateOpenMsg(address, true, message, pulse);
  metrics::PublishDecision(LoopId, address, "card", numberText, result, metrics::CardResultName(result), message, true);
  if (DebugLog)
    Log.Log("Card Allowed, Loop Id " + IntToStr(LoopId) + " address " + IntToStr(address) + ", Card " + numberText);
  if (!Settings.EmailServer.empty()) {
    const std::string body = "Card: " + numberText + ", Name: " + firstName + ", Device: " + deviceName;
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
  AddSoftCount(address);
}

void TLoop::MemoryData(int address, const std::string& data) {
  Log.Log("Got MemoryData event!  - " + IntToStr(address) + " - |" + data + "|");
  // A stored read with an impossible date (or any other failure) ends here with a line in
  // the log instead of vanishing in the event dispatch.
  try {
    if (Conn->Connect())
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
  std::string deviceName;
  std::string firstName;
  TDateTime when = 0;
  int space = -1;
  int pulse = 0;
  const AccessResult result = ProcessCard(DebugLog, Log, *DB, Settings.DebitExpiry, deviceName, firstName, when,
                                          data, true, space, pulse, number, address, LoopId);
  if (!CardPasses(result)) return;
  // The vehicle passed while the device could not report: count it, but send no gate command.
  if (DebugLog)
    Log.Log("Memory Card Success, Loop Id " + IntToStr(LoopId) + " address " + IntToStr(address) + ", Card " +
            CardNumberText(number));
  AddSoftCount(address);
}

std::string TLoop::ReaderMessage(int result, int address, int64_t cardNumber, const std::string& refusedText) {
  int set = 0;
  TODBCStatement card(DB.get());
  TODBCStatement cardType(DB.get());
  if (refusedText.empty() && FindCard(card, cardNumber) && FindCardType(card, cardType))
    set = cardType.FieldAsInteger("msg_id");
  if (set <= 0) {
    TODBCStatement device(DB.get());
    if (device.ExecSQLFmt("SELECT msg_id FROM device WHERE loop_id = %d and addr_ess = %d", LoopId, address))
      set = device.FieldAsInteger("msg_id");
  }
  TODBCStatement messages(DB.get());
  if (!messages.ExecSQLFmt("SELECT * FROM messages WHERE id = %d", set))
    messages.ExecSQLFmt("SELECT * FROM messages WHERE id = %d", 1);
  std::string message = "Unknown Error";
  const AccessResult rule = result & ~kSoftBit;
  if (const char* column = TemplateColumn(rule)) {
    // A card that is not on file has no row to read its number from.
    const std::string numberText =
        rule != kNotOnFile ? "" : refusedText.empty() ? CardNumberText(cardNumber) : refusedText;
    message = ExpandMessage(card, messages.FieldAsString(column), cardType, numberText);
  }
  return message;
}

bool TLoop::SpecialOutput(int address, int space, int pulse) {
  if (space <= 0) return false;
  TODBCStatement spot(DB.get());
  if (!spot.DoSQLFmt("select * from spots where number=%d", space)) {
    if (DebugLog) Log.LogFmt("'Special' output.  %d NOT Found in Spots file", space);
    return false;
  }
  const int floor = spot.FieldAsInteger("floor");
  if (floor <= 0) {
    if (DebugLog) Log.LogFmt("'Special' output %d invalid", floor);
    return false;
  }
  if (DebugLog) Log.LogFmt("'Special' output %d going On!", floor);
  if (!Card1) return true;
  if (floor < 4) {
    // Floors 1 to 3 are driven by outputs 1, 3 and 4; the gate itself stays shut.
    Card1->GateOpenMsg(address, false, "Going Up!", pulse);
    const int output = floor == 1 ? 1 : floor + 1;
    const int64_t duration = std::max<int64_t>(static_cast<int64_t>(pulse) * 10, 5);
    Card1->PulseOutput(address, output, static_cast<int>(std::min<int64_t>(duration, 1000000)));
  } else {
    Card1->GateOpenMsg(address, true, "Going Up!", pulse);
  }
  return true;
}

}  // namespace tarn
