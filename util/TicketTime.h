#pragma once
// Issue times of ticket barcodes, and the small text-to-number helpers shared by the ticket
// and memory-card handling. Three barcode layouts exist:
//   10/11 digits  seconds since 1 January of the current two-year cycle's even year,
//                 plus 20000000 (the last two digits are the lane, not time);
//   12 digits     seconds since 1999-12-31 00:00 in the first ten digits;
//   old format    "TTTTMMDDHHNN": ticket number, month, day, hour, minute.
// Pure functions apart from reading today's date through Now() (tests fix it with
// ScopedClock). Thread-safe.
#include <cstdint>
#include <string>
#include <string_view>

#include "util/DateTime.h"

namespace tarn {

// The issue time of a barcode: positive when the barcode carries a usable time, 0 when it
// carries none (wrong length, "9" prefix, bad old-format date) and -1 for a short barcode
// starting with "1".
TDateTime TicketTime(std::string_view barcode, bool oldFormat);

// Two-year-cycle decoding of a seconds value (20000000 = 1 January of the cycle's even year).
TDateTime CycleTime(int64_t seconds);

// Seconds since 1999-12-31 00:00.
TDateTime SecondsTime(int64_t seconds);

// Old-format decoding; false when month, day, hour or minute make no valid moment.
bool OldTicketTime(std::string_view barcode, std::string& ticketNo, TDateTime& when);

// `count` characters from 1-based position `first`, trimmed of blanks, read as a decimal
// integer; `def` when that is not a number. With count <= 0 the whole text is read untrimmed.
int IntAt(std::string_view text, int first, int count, int def);

// Leading "0" characters removed while more than one character remains.
std::string StripZeros(std::string_view text);

// A clock time hhmm as minutes after midnight.
int ClockMinutes(int hhmm);

}  // namespace tarn
