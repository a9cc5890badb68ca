#pragma once
// The metrics sink: the events that hot paths (the statement layer, the card and ticket
// handlers, the mail sender) report as they happen, in one call each. Reporting is a counter
// increment under the status store's lock: it never blocks on anything slower and never
// fails. The sink knows nothing of who reads it; the status server takes snapshots of the
// store (metrics/StatusStore.h) and turns them into JSON and metrics text.
//
// Any thread.
#include <cstdint>

namespace tarn::metrics {

enum class TEvent : uint8_t {
  SqlRetriedConflict,  // a statement run again after a conflict with another writer
  SqlRetriedLost,      // a statement run again after its link was lost and made again
  SqlGivenUp,          // a statement that failed for good after conflicts or a lost link
  SqlAbandoned,        // a call on the database given up after its bound (no answer)
  MailSent,            // a card-event e-mail handed to the mail server
  MailFailed,          // a card-event e-mail that could not be sent
  ReadCard,            // a card read by a reader
  ReadTicket,          // a ticket read by an exit ticket reader
  ReadIssuedTicket,    // a ticket issued by a dispenser
  OfflineDecision,     // a card or ticket decided from the local copy
};

// Counts one event.
void Report(TEvent event);
// One SQL execution took `seconds` (waited for by its caller).
void ReportStatementTime(double seconds);

}  // namespace tarn::metrics
