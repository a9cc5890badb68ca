#pragma once
// Ticket helpers of the loop controller that need no database: the decoding of the record a
// ticket dispenser reports for every ticket it issues, and the quoting of device texts that
// enter SQL conditions. Pure functions; thread-safe.
#include <cstdint>
#include <string>
#include <string_view>

#include "util/DateTime.h"

namespace tarn {

// One dispenser record: 17 characters, "S" + 10-digit barcode + 6-digit ticket number.
//   S        status digit: bit 0 clear = issued while on line, bit 1 set = backed out
//   barcode  characters 1-8 the two-year-cycle seconds of the issue time, 9-10 the lane
struct TDispenserRecord {
  std::string Barcode;
  bool Online = false;
  bool BackedOut = true;
  std::string TicketText;  // leading zeros removed
  TDateTime IssueTime = 0;
  int Lane = 0;
};

// Fills `record` from `data`; false for a record of any other length, which leaves the
// record empty (texts empty, numbers 0, not on line, backed out).
bool ParseDispenserRecord(std::string_view data, TDispenserRecord& record);

// A text as the inside of an SQL string literal for a driver family: single quotes doubled,
// and backslashes doubled for the MySQL family, exactly as the SQL text builder writes
// values, so a condition and a value written by the builder always name the same text.
std::string SqlText(std::string_view text, uint8_t family);

// "where barcode='...'" for a barcode sent by a device.
std::string BarcodeCondition(std::string_view barcode, uint8_t family);

}  // namespace tarn
