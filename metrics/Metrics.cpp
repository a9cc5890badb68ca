#include "metrics/Metrics.h"

#include "metrics/StatusStore.h"

namespace tarn::metrics {

void Report(TEvent event) {
  TStatusStore& store = TStatusStore::Instance();
  switch (event) {
    case TEvent::SqlRetriedConflict: store.SqlRetried(false); break;
    case TEvent::SqlRetriedLost: store.SqlRetried(true); break;
    case TEvent::SqlGivenUp: store.SqlGivenUp(); break;
    case TEvent::SqlAbandoned: store.SqlAbandoned(); break;
    case TEvent::MailSent: store.Mail(true); break;
    case TEvent::MailFailed: store.Mail(false); break;
    case TEvent::ReadCard: store.Read("card"); break;
    case TEvent::ReadTicket: store.Read("ticket"); break;
    case TEvent::ReadIssuedTicket: store.Read("issued ticket"); break;
    case TEvent::OfflineDecision: store.OfflineDecision(); break;
  }
}

void ReportStatementTime(double seconds) { TStatusStore::Instance().ObserveStatement(seconds); }

}  // namespace tarn::metrics
