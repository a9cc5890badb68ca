#include "access/OdbcRowSource.h"

#include "access/CardAnswer.h"
#include "access/CardProcessing.h"
#include "access/CardValidation.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "util/Format.h"

namespace tarn {
namespace {

TPeriodRow PeriodRowOf(TODBCStatement& row) {
  TPeriodRow p;
  p.dateSet = row.FieldAsBoolean("date_set");
  p.start = row.FieldAsDateTime("start_dt");
  p.expiry = row.FieldAsDateTime("exp_iry");
  p.prevStart = row.FieldAsDateTime("prev_strt");
  p.prevExpiry = row.FieldAsDateTime("prev_exp");
  return p;
}

// The columns of a message set, by access result.
constexpr const char* kTemplateColumns[7] = {"accepted", "not_on_file", "access",     "inac_tive",
                                             "passback", "max_group",   "not_on_path"};

std::optional<TDeviceRow> ReadDevice(TODBCStatement& q, int loopId, int address) {
  if (!q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address)) return std::nullopt;
  return DeviceRowOf(q);
}

// The message set, or set 1 when it has no row: both looked for in one statement.
std::optional<TMessagesRow> ReadMessages(TODBCStatement& q, int set) {
  std::optional<TMessagesRow> fallback;
  bool row = set == 1 ? q.ExecSQL("SELECT * FROM messages WHERE id = 1")
                      : q.ExecSQLFmt("SELECT * FROM messages WHERE id = %d or id = 1", set);
  for (; row; row = q.dbSkip(skNext, 1)) {
    const int id = q.FieldAsInteger("id");
    if (id == set) return MessagesRowOf(q);
    if (!fallback) fallback = MessagesRowOf(q);
  }
  return fallback;
}

std::optional<TTicketRow> ReadTicket(TODBCStatement& q, const std::string& condition) {
  if (!q.ExecSQL("select * from tickinv " + condition)) return std::nullopt;
  return TicketRowOf(q);
}

int ReadHolidayTab(TODBCStatement& q, TDateTime date) {
  if (!q.ExecSQLFmt("SELECT tab_num FROM holiday WHERE holi_day = '%s'", FormatDateTime("yyyy-mm-dd", date)))
    return 0;
  return q.FieldAsInteger("tab_num");
}

std::vector<TAccessRangeRow> ReadRanges(TODBCStatement& q, int accessLevelId, int deviceId) {
  std::vector<TAccessRangeRow> ranges;
  // Whether a range is linked to the device comes with the range, in the same statement.
  bool row = q.ExecSQLFmt(
      "SELECT r.*, CASE WHEN EXISTS (SELECT * FROM a_l_range_device d WHERE d.a_l_range_id = r.id and "
      "d.device_id = %d) THEN 1 ELSE 0 END AS at_device FROM a_l_range r WHERE r.access_level_id = %d",
      deviceId, accessLevelId);
  for (; row; row = q.dbSkip(skNext, 1)) ranges.push_back(AccessRangeRowOf(q));
  return ranges;
}

}  // namespace

TMessagesRow MessagesRowOf(TODBCStatement& row) {
  TMessagesRow m;
  for (size_t i = 0; i < m.templates.size(); ++i) m.templates[i] = row.FieldAsString(kTemplateColumns[i]);
  return m;
}

TAccessRangeRow AccessRangeRowOf(TODBCStatement& row) {
  TAccessRangeRow range;
  range.id = row.FieldAsInteger("id");
  for (size_t i = 0; i < range.day.size(); ++i) range.day[i] = row.FieldAsBoolean("day_" + std::to_string(i + 1));
  range.start = row.FieldAsDateTime("start_time");
  range.end = row.FieldAsDateTime("end_time");
  range.atDevice = row.FieldAsBoolean("at_device");
  return range;
}

TPathwayLegRow PathwayLegRowOf(TODBCStatement& row) {
  return TPathwayLegRow{row.FieldAsInteger("from_device"), row.FieldAsInteger("to_device"),
                        row.FieldAsInteger("time_limit")};
}

TCardPoolRow CardPoolRowOf(TODBCStatement& row) {
  return TCardPoolRow{row.FieldAsInteger("id"), row.FieldAsInteger("max_inlot"), row.FieldAsInteger("cur_inlot")};
}

TDeviceRow DeviceRowOf(TODBCStatement& row) {
  TDeviceRow d;
  d.id = row.FieldAsInteger("id");
  d.direction = row.FieldAsInteger("dir_ection");
  d.noPath = row.FieldAsInteger("no_path");
  d.name = row.FieldAsString("name");
  d.debitFlag = row.FieldAsBoolean("debit_flag");
  d.openPulse = row.FieldAsFloat("open_pulse");
  d.specialOut = row.FieldAsBoolean("special_out");
  d.msgId = row.FieldAsInteger("msg_id");
  return d;
}

TSettingsRow SettingsRowOf(TODBCStatement& row) {
  TSettingsRow s;
  s.softGroup = row.FieldAsBoolean("soft_group");
  s.softPath = row.FieldAsBoolean("soft_path");
  s.softPassback = row.FieldAsBoolean("soft_pb");
  s.passbackMinutes = row.FieldAsInteger("stup_pbrst");
  return s;
}

TCardRow CardRowOf(TODBCStatement& row) {
  TCardRow c;
  c.numberText = row.FieldAsString("number");
  c.number = CardNumberFromText(c.numberText);
  c.typeId = row.FieldAsInteger("type_id");
  c.typeIdText = row.FieldAsString("type_id");
  c.groupId = row.FieldAsInteger("group_id");
  c.inGate = row.FieldAsInteger("in_gate");
  c.inLot = row.FieldAsInteger("in_lot");
  c.transDt = row.FieldAsDateTime("trans_dt");
  c.debitLeft = row.FieldAsInteger("debit_left");
  c.debitDate = row.FieldAsDateTime("debit_date");
  c.debitResetDate = row.FieldAsDateTime("debit_reset_date");
  c.period = PeriodRowOf(row);
  c.firstName = row.FieldAsString("first_name");
  c.lastName = row.FieldAsString("last_name");
  c.spaceNo = row.FieldAsInteger("space_no");
  c.misc = {row.FieldAsString("misc_1"), row.FieldAsString("misc_2"), row.FieldAsString("misc_3"),
            row.FieldAsString("misc_4")};
  c.street = row.FieldAsString("str_eet");
  return c;
}

TCardTypeRow CardTypeRowOf(TODBCStatement& row) {
  TCardTypeRow t;
  t.id = row.FieldAsInteger("id");
  t.accessLevelId = row.FieldAsInteger("access_level_id");
  t.days = row.FieldAsInteger("days");
  t.globalExpiry = row.FieldAsBoolean("global_expiry");
  t.firstUse = row.FieldAsBoolean("first_use_flg");
  t.debit = row.FieldAsBoolean("debit_flg");
  t.debitReset = row.FieldAsBoolean("debit_reset_flag");
  t.debitTimeLimit = row.FieldAsInteger("debit_time_limit");
  t.debitTimeLimitFlag = row.FieldAsBoolean("debit_time_limit_flg");
  t.noExpiry = row.FieldAsBoolean("no_expiry_flg");
  t.pathwayId = row.FieldAsInteger("pathway_id");
  t.ignorePassback = row.FieldAsBoolean("ignore_passback");
  t.uses = row.FieldAsInteger("uses");
  t.msgId = row.FieldAsInteger("msg_id");
  t.period = PeriodRowOf(row);
  return t;
}

TTicketRow TicketRowOf(TODBCStatement& row) {
  TTicketRow t;
  t.status = row.FieldAsInteger("status");
  t.issuerId = row.FieldAsInteger("issuerid");
  t.takerId = row.FieldAsInteger("takerid");
  return t;
}

std::optional<CardNumber> CardNumberField(TODBCStatement& row, std::string_view column) {
  return CardNumberFromText(row.FieldAsString(column));
}

bool FindCard(TODBCStatement& card, CardNumber cardNo, TMessLog* log) {
  if (!card.ExecSQL("SELECT * FROM card WHERE number = " + CardNumberText(cardNo))) return false;
  // A double column matches every number that rounds to the same value: only the exact
  // number is this card.
  if (CardNumberField(card, "number") == cardNo) return true;
  if (log)
    log->Log("Card " + CardNumberText(cardNo) + " is stored as " + card.FieldAsString("number") +
             " in the card table, which cannot hold it exactly: refused");
  card.DoSQL("SELECT * FROM card WHERE 1 = 0");  // leave no other card's row current
  return false;
}

bool FindCardType(TODBCStatement& card, TODBCStatement& cardType) {
  return cardType.ExecSQLFmt("SELECT * FROM card_type WHERE id = %d", card.FieldAsInteger("type_id"));
}

int HolidayTab(TODBC& db, TDateTime date) {
  TODBCStatement q(&db);
  return ReadHolidayTab(q, date);
}

int DayIndex(TODBC& db, TDateTime date) { return DayIndexOf(HolidayTab(db, date), date); }

std::vector<TAccessRangeRow> AccessRanges(TODBC& db, int accessLevelId, int deviceId) {
  TODBCStatement q(&db);
  return ReadRanges(q, accessLevelId, deviceId);
}

bool CheckAccessTime(TODBC& db, int accessLevelId, TDateTime when, int deviceId) {
  const int day = DayIndex(db, when);
  return AccessTimeAllows(AccessRanges(db, accessLevelId, deviceId), day, when);
}

std::string ExpandMessage(TODBCStatement& card, const std::string& message, TODBCStatement& cardType,
                          const std::string& cardNoText) {
  const TCardTypeRow type = CardTypeRowOf(cardType);
  return ExpandMessage(CardRowOf(card), message, &type, cardNoText, Now());
}

TOdbcRowSource::TOdbcRowSource(TODBC& db) : db_(db) {}

TCardRows TOdbcRowSource::CardRows(const TCardRowsKey& key) {
  TCardRows rows;
  TODBCStatement q(&db_);
  rows.device = ReadDevice(q, key.loopId, key.address);
  const int deviceId = rows.device ? rows.device->id : 0;
  if (key.decision && q.ExecSQL("SELECT * FROM settings")) rows.settings = SettingsRowOf(q);
  if (key.card) {
    if (q.ExecSQL("SELECT * FROM card WHERE number = " + CardNumberText(*key.card))) rows.card = CardRowOf(q);
    // The rows behind a card belong to the card read only.
    const TCardRow* card = CardOf(rows, *key.card);
    if (card && q.ExecSQLFmt("SELECT * FROM card_type WHERE id = %d", card->typeId)) rows.type = CardTypeRowOf(q);
    if (card && rows.type && key.decision) {
      rows.holidayTab = ReadHolidayTab(q, key.when);
      rows.ranges = ReadRanges(q, rows.type->accessLevelId, deviceId);
      if (rows.type->pathwayId > 0) {
        bool row = q.ExecSQLFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d", rows.type->pathwayId);
        for (; row; row = q.dbSkip(skNext, 1)) rows.legs.push_back(PathwayLegRowOf(q));
      }
    }
  }
  if (key.answer) rows.messages = ReadMessages(q, MessageSetOf(rows, key.card));
  if (key.answer && key.decision && key.card && rows.device && rows.device->specialOut) {
    const TCardRow* card = CardOf(rows, *key.card);
    if (card && card->spaceNo > 0) rows.spot = Spot(card->spaceNo);
  }
  return rows;
}

std::optional<TCardPoolRow> TOdbcRowSource::CardPool(int id) {
  TODBCStatement q(&db_);
  if (!q.ExecSQLFmt("SELECT * FROM card_pool WHERE id = %d", id)) return std::nullopt;
  return CardPoolRowOf(q);
}

std::optional<TSpotRow> TOdbcRowSource::Spot(int number) {
  TODBCStatement q(&db_);
  if (!q.DoSQLFmt("select * from spots where number=%d", number)) return std::nullopt;
  return TSpotRow{q.FieldAsInteger("floor")};
}

TExitTicketRows TOdbcRowSource::ExitTicketRows(int loopId, int address, const std::string& barcode) {
  TExitTicketRows rows;
  TODBCStatement q(&db_);
  rows.ticket = ReadTicket(q, BarcodeCondition(barcode, db_.DriverFamily()));
  rows.device = ReadDevice(q, loopId, address);
  return rows;
}

std::optional<TTicketRow> TOdbcRowSource::Ticket(const std::string& barcode) {
  TODBCStatement q(&db_);
  return ReadTicket(q, BarcodeCondition(barcode, db_.DriverFamily()));
}

TDispenserRows TOdbcRowSource::DispenserRows(const std::string& barcode, int32_t ticket) {
  TDispenserRows rows;
  TODBCStatement q(&db_);
  const uint8_t family = db_.DriverFamily();
  rows.byBarcode = ReadTicket(q, TicketCondition(TTicketWhere{false, barcode, 0}, family));
  if (!rows.byBarcode) rows.byNumber = ReadTicket(q, TicketCondition(TTicketWhere{true, "", ticket}, family));
  return rows;
}

}  // namespace tarn
