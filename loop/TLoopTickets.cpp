// Ticket barcode events of the loop controller: exit-reader barcodes judged against the
// ticket inventory (tickinv), and the records ticket dispensers report for every ticket they
// issue. Main thread only, like every handler of TLoop.
#include <string>

#include "access/OfflineStore.h"
#include "access/TicketDecision.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "log/TMessLog.h"
#include "loop/DecisionRoute.h"
#include "loop/TLoop.h"
#include "readerbus/TCard.h"
#include "metrics/Metrics.h"
#include "metrics/StatusStore.h"
#include "util/Strings.h"

namespace tarn {

namespace {

// The loop's ticket settings as the decisions take them.
TTicketRules TicketRulesOf(const TLoop& loop) {
  TTicketRules rules;
  rules.oldTicketFormat = loop.Settings.OldTicketFormat;
  rules.flatRate = loop.Settings.FlatRateFlag;
  rules.graceTimePOF = loop.Settings.GraceTimePOF;
  rules.extendedGraceLanes = loop.Settings.ExtendedGraceLanes;
  rules.graceTimePOFExtended = loop.Settings.GraceTimePOFExtended;
  rules.graceTimeFuture = loop.Settings.GraceTimeFuture;
  rules.internalLanes = loop.Settings.InternalLanes;
  return rules;
}

}  // namespace

void TLoop::BarcodeEvent(int address, const std::string& data) {
  metrics::MarkRead();
  metrics::Report(metrics::TEvent::ReadTicket);
  metrics::TStatusStore::Instance().DeviceAnswered(LoopId, address);
  Log.Log("Got BarcodeEvent event!  - " + IntToStr(address) + " - |" + data + "|");
  // The round trips of the decision: from the connection's check to its last write.
  const uint64_t trips = DB ? DB->RoundTrips() : 0;
  const bool connected = Conn->Connect();
  const bool fromCopy = Offline != nullptr && Offline->DecideOffline(connected);
  if (fromCopy) metrics::Report(metrics::TEvent::OfflineDecision);
  if (!connected && !fromCopy) return;
  CheckExitTicket(address, data);
  // A decision from the copy made none: it is not counted among them.
  if (DB && !fromCopy) metrics::PublishRoundTrips("ticket", DB->RoundTrips() - trips);
}

void TLoop::CheckExitTicket(int address, const std::string& barcode) {
  TDecisionRoute route(*this, CountAtFor(address));
  const TExitTicketDecision decision =
      ProcessExitTicket(TicketRulesOf(*this), LoopId, address, barcode, route.Source(), route.Writer(), Log);
  if (!route.FromCopy() && !route.Source().Reached() && CopyTakesOverAfterLoss()) {
    CheckExitTicket(address, barcode);
    return;
  }
  const bool open = decision.open;
  const int pulse = decision.pulse;
  const std::string& message = decision.message;
  LastOpenPulse = pulse;
  // Decided offline, the passage is in the journal before the gate opens.
  const bool countedFirst = open && route.FromCopy();
  if (countedFirst) AddSoftCount(address);
  if (Card1) Card1->GateOpenMsg(address, open, message, pulse);
  metrics::PublishDecision(LoopId, address, "ticket", barcode, static_cast<int>(decision.state),
                          TicketResultName(decision.state), message, open);
  Log.LogFmt("Card1.GateOpenMsg(%d, %s, %d, %s)", address, std::string(open ? "Y" : "N"), pulse, message);
  if (open && !countedFirst) CountPassage(address, route.Count());
}

void TLoop::RecordIssuedTicket(int address, const std::string& data) {
  TDispenserRecord record;
  bool failed = false;
  std::shared_ptr<TSharedCount> count;
  if (!ParseDispenserRecord(data, record)) {
    Log.Log("Invalid or unknown value?");
  } else {
    TDecisionRoute route(*this, CountAtFor(address));
    failed = !ProcessDispenserRecord(record, DB->DriverFamily(), route.Source(), route.Writer(), Log);
    count = route.Count();
    if (failed && !route.FromCopy() && !route.Source().Reached() && CopyTakesOverAfterLoss()) {
      RecordIssuedTicket(address, data);
      return;
    }
  }
  if (!failed) CountPassage(address, count);
}

}  // namespace tarn
