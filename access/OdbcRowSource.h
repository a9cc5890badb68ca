#pragma once
// TOdbcRowSource: the rows of card and ticket decisions read with SQL on one connection.
// Every column is read through the statement accessors, so a missing column reads as 0,
// empty text or today's date, and a failed query (logged by the statement layer) as no row.
// Also the statement-level helpers other code shares: finding a card, the holiday of a date,
// and the row readers that turn a positioned statement into a plain row.
//
// One thread at a time: the thread that owns the connection (the main thread in the service).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/CardRows.h"
#include "access/RowSource.h"
#include "util/DateTime.h"

namespace tarn {

class TMessLog;
class TODBC;
class TODBCStatement;

class TOdbcRowSource : public TRowSource {
 public:
  // `db` must outlive the source.
  explicit TOdbcRowSource(TODBC& db);

  // Read in the decision's order: device, settings, card; when the card is on file (stored
  // exactly) its type; when the type is on file the holiday, the ranges of its access level
  // (with their links to the device) and the pathway's legs; then the message set (or set 1,
  // in the same statement) and, at a special-output device, the spot of the card's space.
  TCardRows CardRows(const TCardRowsKey& key) override;
  std::optional<TCardPoolRow> CardPool(int id) override;
  // Read without error logging: a site without a spots table is not an error.
  std::optional<TSpotRow> Spot(int number) override;
  TExitTicketRows ExitTicketRows(int loopId, int address, const std::string& barcode) override;
  std::optional<TTicketRow> Ticket(const std::string& barcode) override;
  TDispenserRows DispenserRows(const std::string& barcode, int32_t ticket) override;

 private:
  TODBC& db_;
};

// The row the statement stands on, as a plain row.
TDeviceRow DeviceRowOf(TODBCStatement& row);
TSettingsRow SettingsRowOf(TODBCStatement& row);
TCardRow CardRowOf(TODBCStatement& row);
TCardTypeRow CardTypeRowOf(TODBCStatement& row);
TTicketRow TicketRowOf(TODBCStatement& row);
TMessagesRow MessagesRowOf(TODBCStatement& row);
// A row of a_l_range, with its at_device column when the query gives one.
TAccessRangeRow AccessRangeRowOf(TODBCStatement& row);
TPathwayLegRow PathwayLegRowOf(TODBCStatement& row);
TCardPoolRow CardPoolRowOf(TODBCStatement& row);

// The number stored in a column of the current row, when it is a whole number that was
// stored exactly; empty otherwise (a double column rounds beyond 2^53).
std::optional<CardNumber> CardNumberField(TODBCStatement& row, std::string_view column);
// Positions `card` on the card of this number; false when it is not on file. A row whose
// stored number is not exactly this one (a double column that rounded a long number) does
// not count as found; with `log` that is logged.
bool FindCard(TODBCStatement& card, CardNumber cardNo, TMessLog* log = nullptr);
// Positions `cardType` on the type named by the card's type_id.
bool FindCardType(TODBCStatement& card, TODBCStatement& cardType);

// tab_num of the holiday row of `date`, 0 when there is none.
int HolidayTab(TODBC& db, TDateTime date);
// Day column of `date` (DayIndexOf with the date's holiday).
int DayIndex(TODBC& db, TDateTime date);
// The ranges of an access level, each with whether it is linked to the device.
std::vector<TAccessRangeRow> AccessRanges(TODBC& db, int accessLevelId, int deviceId);
// True when a time range of the access level applies to the day, the device and the time.
bool CheckAccessTime(TODBC& db, int accessLevelId, TDateTime when, int deviceId);
// ExpandMessage over the rows two statements stand on (now: the clock's).
std::string ExpandMessage(TODBCStatement& card, const std::string& message, TODBCStatement& cardType,
                          const std::string& cardNoText);

}  // namespace tarn
