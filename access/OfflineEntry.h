#pragma once
// The writes of one decision made while the database could not be reached, as the journal
// keeps them until they are applied to the database (OfflineJournal.h, OfflineReplay.h):
// the plan of a card decision, the ticket writes of an exit reader or a dispenser record, a
// soft count, a device's status. Each entry carries the moment of its read, so that the rows
// written later keep the read's time (trans.dat_e, tickinv.l_date and out_date).
//
// EncodeEntry/DecodeEntry turn an entry into the journal's text and back: one "name=value"
// line per field, values escaped (\\, \n, \r), numbers exact (date-times with 17 digits).
// Plain values and pure functions; thread-safe.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "access/CardProcessing.h"
#include "access/TicketDecision.h"
#include "util/DateTime.h"

namespace tarn {

// A passage counted at a device (its soft count, input 7 of its counter items).
struct TSoftCount {
  int deviceId = 0;
  bool operator==(const TSoftCount&) const = default;
};

// Status columns of a device (online_flag, the printer columns), set to values.
struct TDeviceStatus {
  int loopId = 0;
  int address = 0;
  std::vector<std::pair<std::string, int64_t>> columns;
  bool operator==(const TDeviceStatus&) const = default;
};

using TOfflineWrite =
    std::variant<TCardWrites, TUnknownTicket, TTicketTaken, TDispenserWrites, TSoftCount, TDeviceStatus>;

struct TOfflineEntry {
  int64_t id = 0;      // the journal's number, given when it is appended; 0 before
  TDateTime made = 0;  // the moment of the read
  TOfflineWrite write;
  bool operator==(const TOfflineEntry&) const = default;
};

// The kind of a write as the journal names it ("card", "unknown ticket", "ticket taken",
// "dispenser", "soft count", "device").
std::string KindOf(const TOfflineWrite& write);

// The entry's fields as text (its id and moment are kept beside it, not in it).
std::string EncodeEntry(const TOfflineWrite& write);
// The write of a kind and its text. Failure: nothing, for an unknown kind or a text that is
// not the kind's (a field of the wrong form; a missing field reads as its default).
std::optional<TOfflineWrite> DecodeEntry(const std::string& kind, const std::string& text);

}  // namespace tarn
