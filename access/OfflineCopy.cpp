#include "access/OfflineCopy.h"

#include <cstdio>

#include "access/CardAnswer.h"
#include "access/CardValidation.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// Date-time columns are kept as day counts; null stands for a column the database did not
// have, which reads as today's date like a missing column of a query.
TDateTime TimeAt(const TSqliteStatement& q, int column) { return q.IsNull(column) ? Date() : q.Real(column); }

// A moment as a date-time column keeps it: whole seconds.
TDateTime AsStored(TDateTime dt) {
  const DateParts p = DecodeDateTime(dt);
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(p.year, p.month, p.day, date) || !TryEncodeTime(p.hour, p.minute, p.second, 0, time)) return 0;
  return date + time;
}

constexpr const char* kPeriodColumns = "date_set, start_dt, exp_iry, prev_strt, prev_exp";

TPeriodRow PeriodAt(const TSqliteStatement& q, int first) {
  TPeriodRow p;
  p.dateSet = q.Int(first) != 0;
  p.start = TimeAt(q, first + 1);
  p.expiry = TimeAt(q, first + 2);
  p.prevStart = TimeAt(q, first + 3);
  p.prevExpiry = TimeAt(q, first + 4);
  return p;
}

constexpr const char* kCardColumns =
    "number_text, type_id, type_id_text, group_id, in_gate, in_lot, trans_dt, debit_left, debit_date, "
    "debit_reset_date, first_name, last_name, space_no, misc_1, misc_2, misc_3, misc_4, str_eet, "
    "date_set, start_dt, exp_iry, prev_strt, prev_exp";

TCardRow CardAt(const TSqliteStatement& q) {
  TCardRow c;
  c.numberText = q.Text(0);
  c.number = CardNumberFromText(c.numberText);
  c.typeId = static_cast<int>(q.Int(1));
  c.typeIdText = q.Text(2);
  c.groupId = static_cast<int>(q.Int(3));
  c.inGate = static_cast<int>(q.Int(4));
  c.inLot = static_cast<int>(q.Int(5));
  c.transDt = TimeAt(q, 6);
  c.debitLeft = static_cast<int>(q.Int(7));
  c.debitDate = TimeAt(q, 8);
  c.debitResetDate = TimeAt(q, 9);
  c.firstName = q.Text(10);
  c.lastName = q.Text(11);
  c.spaceNo = static_cast<int>(q.Int(12));
  c.misc = {q.Text(13), q.Text(14), q.Text(15), q.Text(16)};
  c.street = q.Text(17);
  c.period = PeriodAt(q, 18);
  return c;
}

constexpr const char* kCardTypeColumns =
    "id, access_level_id, days, global_expiry, first_use_flg, debit_flg, debit_reset_flag, debit_time_limit, "
    "debit_time_limit_flg, no_expiry_flg, pathway_id, ignore_passback, uses, msg_id, "
    "date_set, start_dt, exp_iry, prev_strt, prev_exp";

TCardTypeRow CardTypeAt(const TSqliteStatement& q) {
  TCardTypeRow t;
  t.id = static_cast<int>(q.Int(0));
  t.accessLevelId = static_cast<int>(q.Int(1));
  t.days = static_cast<int>(q.Int(2));
  t.globalExpiry = q.Int(3) != 0;
  t.firstUse = q.Int(4) != 0;
  t.debit = q.Int(5) != 0;
  t.debitReset = q.Int(6) != 0;
  t.debitTimeLimit = static_cast<int>(q.Int(7));
  t.debitTimeLimitFlag = q.Int(8) != 0;
  t.noExpiry = q.Int(9) != 0;
  t.pathwayId = static_cast<int>(q.Int(10));
  t.ignorePassback = q.Int(11) != 0;
  t.uses = static_cast<int>(q.Int(12));
  t.msgId = static_cast<int>(q.Int(13));
  t.period = PeriodAt(q, 14);
  return t;
}

const char* const kSchema = R"SQL(
CREATE TABLE copy_meta (key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE loop (id INTEGER, name TEXT, enabled INTEGER, port INTEGER, rfmodem INTEGER);
CREATE TABLE device (id INTEGER, loop_id INTEGER, addr_ess INTEGER, name TEXT, msg_id INTEGER, device_type INTEGER,
  dir_ection INTEGER, no_path INTEGER, debit_flag INTEGER, open_pulse REAL, special_out INTEGER, lot_id INTEGER,
  count_soft INTEGER, door_input INTEGER, ajar_timer INTEGER, ajar_output INTEGER, fire_input INTEGER);
CREATE INDEX device_at ON device (loop_id, addr_ess);
CREATE TABLE messages (id INTEGER, idle TEXT, gateup TEXT, accepted TEXT, not_on_file TEXT, access TEXT,
  inac_tive TEXT, passback TEXT, max_group TEXT, not_on_path TEXT);
CREATE TABLE settings (soft_group INTEGER, soft_path INTEGER, soft_pb INTEGER, stup_pbrst INTEGER);
CREATE TABLE card (number_key REAL, number_exact INTEGER, number_text TEXT, type_id INTEGER, type_id_text TEXT,
  group_id INTEGER, in_gate INTEGER, in_lot INTEGER, trans_dt REAL, debit_left INTEGER, debit_date REAL,
  debit_reset_date REAL, first_name TEXT, last_name TEXT, space_no INTEGER, misc_1 TEXT, misc_2 TEXT, misc_3 TEXT,
  misc_4 TEXT, str_eet TEXT, date_set INTEGER, start_dt REAL, exp_iry REAL, prev_strt REAL, prev_exp REAL);
CREATE INDEX card_number ON card (number_key);
CREATE TABLE card_type (id INTEGER, access_level_id INTEGER, days INTEGER, global_expiry INTEGER,
  first_use_flg INTEGER, debit_flg INTEGER, debit_reset_flag INTEGER, debit_time_limit INTEGER,
  debit_time_limit_flg INTEGER, no_expiry_flg INTEGER, pathway_id INTEGER, ignore_passback INTEGER, uses INTEGER,
  msg_id INTEGER, date_set INTEGER, start_dt REAL, exp_iry REAL, prev_strt REAL, prev_exp REAL);
CREATE INDEX card_type_id ON card_type (id);
CREATE TABLE card_pool (id INTEGER, max_inlot INTEGER, cur_inlot INTEGER);
CREATE TABLE a_l_range (id INTEGER, access_level_id INTEGER, day_1 INTEGER, day_2 INTEGER, day_3 INTEGER,
  day_4 INTEGER, day_5 INTEGER, day_6 INTEGER, day_7 INTEGER, day_8 INTEGER, day_9 INTEGER, start_time REAL,
  end_time REAL);
CREATE INDEX a_l_range_level ON a_l_range (access_level_id);
CREATE TABLE a_l_range_device (a_l_range_id INTEGER, device_id INTEGER);
CREATE INDEX a_l_range_device_range ON a_l_range_device (a_l_range_id, device_id);
CREATE TABLE holiday (holi_day TEXT, tab_num INTEGER);
CREATE TABLE pathway_ft (pathway_id INTEGER, from_device INTEGER, to_device INTEGER, time_limit INTEGER);
CREATE TABLE spots (number INTEGER, floor INTEGER);
CREATE TABLE lot (id INTEGER, name TEXT, lot_count INTEGER, max_capacity INTEGER);
CREATE TABLE counters (id INTEGER, lot_id INTEGER);
CREATE TABLE counter_item (device_id INTEGER, input INTEGER, cntr_id INTEGER, chg_lot INTEGER);
CREATE TABLE tickinv (barcode TEXT, ticket INTEGER, issuerid INTEGER, takerid INTEGER, status INTEGER,
  security INTEGER, online INTEGER);
CREATE INDEX tickinv_barcode ON tickinv (barcode);
CREATE INDEX tickinv_ticket ON tickinv (ticket);
)SQL";

std::optional<std::string> Meta(TSqliteFile& file, const char* key) {
  TSqliteStatement q = file.Prepare("SELECT value FROM copy_meta WHERE key = ?");
  q.Bind(1, key);
  if (!q.Step()) return std::nullopt;
  return q.Text(0);
}

bool ReadFacts(TSqliteFile& file, TCopyFacts& facts, std::string* error) {
  const std::optional<std::string> taken = Meta(file, "taken");
  if (!taken) {
    if (error) *error = file.Path() + " is not a complete copy" + (file.Error().empty() ? "" : ": " + file.Error());
    return false;
  }
  facts.taken = StrToFloatDef(*taken, 0);
  facts.computer = Meta(file, "computer").value_or("");
  facts.journalMark = StrToInt64Def(Meta(file, "journal_mark").value_or("0"), 0);
  facts.cards = StrToInt64Def(Meta(file, "cards").value_or("0"), 0);
  return true;
}

}  // namespace

const char* TOfflineCopy::Schema() { return kSchema; }

bool TOfflineCopy::Open(const std::string& path, std::string* error) {
  Close();
  if (!file_.Open(path, TSqliteFile::TMode::ReadWrite, TSqliteFile::TSync::Normal)) {
    if (error) *error = file_.Error();
    return false;
  }
  if (!ReadFacts(file_, facts_, error)) {
    Close();
    return false;
  }
  return true;
}

void TOfflineCopy::Close() noexcept {
  file_.Close();
  facts_ = TCopyFacts{};
}

std::optional<TCopyFacts> ReadCopyFacts(const std::string& path, std::string* error) {
  TSqliteFile file;
  if (!file.Open(path, TSqliteFile::TMode::ReadOnly, TSqliteFile::TSync::Normal)) {
    if (error) *error = file.Error();
    return std::nullopt;
  }
  TCopyFacts facts;
  if (!ReadFacts(file, facts, error)) return std::nullopt;
  return facts;
}

// --- rows -------------------------------------------------------------------------------------

std::optional<TDeviceRow> TOfflineCopy::Device(int loopId, int address) {
  TSqliteStatement q = file_.Prepare(
      "SELECT id, dir_ection, no_path, name, debit_flag, open_pulse, special_out, msg_id FROM device "
      "WHERE loop_id = ? AND addr_ess = ? ORDER BY rowid LIMIT 1");
  q.Bind(1, loopId).Bind(2, address);
  if (!q.Step()) return std::nullopt;
  TDeviceRow d;
  d.id = static_cast<int>(q.Int(0));
  d.direction = static_cast<int>(q.Int(1));
  d.noPath = static_cast<int>(q.Int(2));
  d.name = q.Text(3);
  d.debitFlag = q.Int(4) != 0;
  d.openPulse = q.Real(5);
  d.specialOut = q.Int(6) != 0;
  d.msgId = static_cast<int>(q.Int(7));
  return d;
}

TCardRows TOfflineCopy::CardRows(const TCardRowsKey& key) {
  TCardRows rows;
  rows.device = Device(key.loopId, key.address);
  const int deviceId = rows.device ? rows.device->id : 0;
  if (key.decision) {
    TSqliteStatement q =
        file_.Prepare("SELECT soft_group, soft_path, soft_pb, stup_pbrst FROM settings ORDER BY rowid LIMIT 1");
    if (q.Step())
      rows.settings = TSettingsRow{q.Int(0) != 0, q.Int(1) != 0, q.Int(2) != 0, static_cast<int>(q.Int(3))};
  }
  if (key.card) {
    {
      // The database matches the number numerically; the row that holds it exactly comes first.
      TSqliteStatement q = file_.Prepare(std::string("SELECT ") + kCardColumns +
                                         " FROM card WHERE number_key = ? ORDER BY CASE WHEN number_exact = ? "
                                         "THEN 0 ELSE 1 END, rowid LIMIT 1");
      q.Bind(1, static_cast<double>(*key.card)).Bind(2, static_cast<int64_t>(*key.card));
      if (q.Step()) rows.card = CardAt(q);
    }
    const TCardRow* card = CardOf(rows, *key.card);
    if (card) {
      TSqliteStatement q =
          file_.Prepare(std::string("SELECT ") + kCardTypeColumns + " FROM card_type WHERE id = ? ORDER BY rowid LIMIT 1");
      q.Bind(1, card->typeId);
      if (q.Step()) rows.type = CardTypeAt(q);
    }
    if (card && rows.type && key.decision) {
      {
        TSqliteStatement q = file_.Prepare("SELECT tab_num FROM holiday WHERE holi_day = ? ORDER BY rowid LIMIT 1");
        q.Bind(1, FormatDateTime("yyyy-mm-dd", key.when));
        if (q.Step()) rows.holidayTab = static_cast<int>(q.Int(0));
      }
      {
        TSqliteStatement q = file_.Prepare(
            "SELECT id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9, start_time, end_time, "
            "EXISTS (SELECT 1 FROM a_l_range_device d WHERE d.a_l_range_id = r.id AND d.device_id = ?) "
            "FROM a_l_range r WHERE access_level_id = ? ORDER BY rowid");
        q.Bind(1, deviceId).Bind(2, rows.type->accessLevelId);
        while (q.Step()) {
          TAccessRangeRow range;
          range.id = static_cast<int>(q.Int(0));
          for (size_t i = 0; i < range.day.size(); ++i) range.day[i] = q.Int(static_cast<int>(i) + 1) != 0;
          range.start = TimeAt(q, 10);
          range.end = TimeAt(q, 11);
          range.atDevice = q.Int(12) != 0;
          rows.ranges.push_back(range);
        }
      }
      if (rows.type->pathwayId > 0) {
        TSqliteStatement q = file_.Prepare(
            "SELECT from_device, to_device, time_limit FROM pathway_ft WHERE pathway_id = ? ORDER BY rowid");
        q.Bind(1, rows.type->pathwayId);
        while (q.Step())
          rows.legs.push_back(
              TPathwayLegRow{static_cast<int>(q.Int(0)), static_cast<int>(q.Int(1)), static_cast<int>(q.Int(2))});
      }
    }
  }
  if (key.answer) {
    // The set, or set 1 when the set has no row.
    TSqliteStatement q = file_.Prepare(
        "SELECT accepted, not_on_file, access, inac_tive, passback, max_group, not_on_path FROM messages "
        "WHERE id = ?1 OR id = 1 ORDER BY CASE WHEN id = ?1 THEN 0 ELSE 1 END, rowid LIMIT 1");
    q.Bind(1, MessageSetOf(rows, key.card));
    if (q.Step()) {
      TMessagesRow m;
      for (size_t i = 0; i < m.templates.size(); ++i) m.templates[i] = q.Text(static_cast<int>(i));
      rows.messages = m;
    }
  }
  if (key.answer && key.decision && key.card && rows.device && rows.device->specialOut) {
    const TCardRow* card = CardOf(rows, *key.card);
    if (card && card->spaceNo > 0) rows.spot = Spot(card->spaceNo);
  }
  return rows;
}

std::optional<TCardPoolRow> TOfflineCopy::CardPool(int id) {
  TSqliteStatement q = file_.Prepare("SELECT id, max_inlot, cur_inlot FROM card_pool WHERE id = ? ORDER BY rowid LIMIT 1");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  return TCardPoolRow{static_cast<int>(q.Int(0)), static_cast<int>(q.Int(1)), static_cast<int>(q.Int(2))};
}

std::optional<TSpotRow> TOfflineCopy::Spot(int number) {
  TSqliteStatement q = file_.Prepare("SELECT floor FROM spots WHERE number = ? ORDER BY rowid LIMIT 1");
  q.Bind(1, number);
  if (!q.Step()) return std::nullopt;
  return TSpotRow{static_cast<int>(q.Int(0))};
}

std::optional<TTicketRow> TOfflineCopy::TicketWhere(bool byNumber, const std::string& barcode, int32_t ticket) {
  TSqliteStatement q = file_.Prepare(
      byNumber ? "SELECT status, issuerid, takerid FROM tickinv WHERE ticket = ? AND issuerid IS NULL ORDER BY rowid "
                 "LIMIT 1"
               : "SELECT status, issuerid, takerid FROM tickinv WHERE barcode = ? ORDER BY rowid LIMIT 1");
  if (byNumber)
    q.Bind(1, ticket);
  else
    q.Bind(1, barcode);
  if (!q.Step()) return std::nullopt;
  return TTicketRow{static_cast<int>(q.Int(0)), static_cast<int>(q.Int(1)), static_cast<int>(q.Int(2))};
}

TExitTicketRows TOfflineCopy::ExitTicketRows(int loopId, int address, const std::string& barcode) {
  TExitTicketRows rows;
  rows.ticket = TicketWhere(false, barcode, 0);
  rows.device = Device(loopId, address);
  return rows;
}

std::optional<TTicketRow> TOfflineCopy::Ticket(const std::string& barcode) { return TicketWhere(false, barcode, 0); }

TDispenserRows TOfflineCopy::DispenserRows(const std::string& barcode, int32_t ticket) {
  TDispenserRows rows;
  rows.byBarcode = TicketWhere(false, barcode, 0);
  if (!rows.byBarcode) rows.byNumber = TicketWhere(true, "", ticket);
  return rows;
}

// --- set-up rows -------------------------------------------------------------------------------

std::vector<TCopyLoopRow> TOfflineCopy::Loops(const std::string& computer) {
  std::vector<TCopyLoopRow> loops;
  // This computer's loops first, then the POE/POF loops, as the start-up asks for them.
  for (const char* where : {"name = ?", "UPPER(name) = 'POE/POF' AND name <> ?"}) {
    TSqliteStatement q =
        file_.Prepare(std::string("SELECT id, name, enabled, port, rfmodem FROM loop WHERE ") + where + " ORDER BY rowid");
    q.Bind(1, computer);
    while (q.Step())
      loops.push_back(TCopyLoopRow{static_cast<int>(q.Int(0)), q.Text(1), q.Int(2) != 0, static_cast<int>(q.Int(3)),
                                   q.Int(4) != 0});
  }
  return loops;
}

std::optional<TCopyLoopRow> TOfflineCopy::Loop(int id) {
  TSqliteStatement q = file_.Prepare("SELECT id, name, enabled, port, rfmodem FROM loop WHERE id = ? ORDER BY rowid LIMIT 1");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  return TCopyLoopRow{static_cast<int>(q.Int(0)), q.Text(1), q.Int(2) != 0, static_cast<int>(q.Int(3)), q.Int(4) != 0};
}

std::vector<TCopyDeviceRow> TOfflineCopy::Devices(int loopId) {
  std::vector<TCopyDeviceRow> devices;
  TSqliteStatement q = file_.Prepare(
      "SELECT id, addr_ess, name, msg_id, device_type, count_soft, lot_id, door_input, ajar_timer, ajar_output, "
      "fire_input FROM device WHERE loop_id = ? ORDER BY rowid");
  q.Bind(1, loopId);
  while (q.Step()) {
    TCopyDeviceRow d;
    d.id = static_cast<int>(q.Int(0));
    d.address = static_cast<int>(q.Int(1));
    d.name = q.Text(2);
    d.msgId = static_cast<int>(q.Int(3));
    d.type = static_cast<int>(q.Int(4));
    d.countSoft = static_cast<int>(q.Int(5));
    d.lotId = static_cast<int>(q.Int(6));
    d.doorInput = static_cast<int>(q.Int(7));
    d.ajarTimer = static_cast<int>(q.Int(8));
    d.ajarOutput = static_cast<int>(q.Int(9));
    d.fireInput = static_cast<int>(q.Int(10));
    devices.push_back(d);
  }
  return devices;
}

std::optional<std::pair<std::string, std::string>> TOfflineCopy::IdleTexts(int msgId) {
  TSqliteStatement q = file_.Prepare("SELECT idle, gateup FROM messages WHERE id = ? ORDER BY rowid LIMIT 1");
  q.Bind(1, msgId);
  if (!q.Step()) return std::nullopt;
  return std::make_pair(q.Text(0), q.Text(1));
}

std::string TOfflineCopy::DeviceName(int loopId, int address) {
  const std::optional<TDeviceRow> device = Device(loopId, address);
  return device ? device->name : "";
}

// --- writes ------------------------------------------------------------------------------------

namespace {

// A card's columns, set to the plan's values as the database keeps them.
struct TSet {
  std::string columns;
  std::vector<std::optional<double>> values;
  void Add(const char* column, std::optional<double> value) {
    columns += std::string(columns.empty() ? "" : ", ") + column + " = ?";
    values.push_back(value);
  }
  bool Run(TSqliteFile& file, const std::string& table, const std::string& where, double key) const {
    if (values.empty()) return true;
    TSqliteStatement q = file.Prepare("UPDATE " + table + " SET " + columns + " WHERE " + where);
    int i = 1;
    for (const std::optional<double>& v : values) q.Bind(i++, v);
    q.Bind(i, key);
    return q.Run();
  }
};

void AddActivation(TSet& set, const TActivation& a) {
  set.Add("date_set", 1);
  set.Add("start_dt", AsStored(a.start));
  set.Add("exp_iry", AsStored(a.expiry));
}

bool ApplyCardWrites(TSqliteFile& file, const TCardWrites& w) {
  if (w.typeActivation) {
    TSet set;
    AddActivation(set, *w.typeActivation);
    if (!set.Run(file, "card_type", "id = ?", w.typeActivation->cardTypeId)) return false;
  }
  TSet card;
  if (w.cardActivation) AddActivation(card, *w.cardActivation);
  if (w.debitLeft) card.Add("debit_left", *w.debitLeft);
  if (w.debitResetDate) card.Add("debit_reset_date", AsStored(*w.debitResetDate));
  if (w.inLot) card.Add("in_lot", *w.inLot);
  if (w.debitDate) card.Add("debit_date", AsStored(*w.debitDate));
  if (w.transDt) card.Add("trans_dt", AsStored(*w.transDt));
  if (w.inGate) card.Add("in_gate", *w.inGate);
  if (!card.Run(file, "card", "number_key = ?", static_cast<double>(w.card))) return false;
  if (w.poolId >= 1 && w.poolChange != 0) {
    TSqliteStatement q = file.Prepare(w.poolChange > 0
                                          ? "UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = ?"
                                          : "UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = ? AND cur_inlot > 0");
    q.Bind(1, w.poolId);
    if (!q.Run()) return false;
  }
  return true;
}

bool ApplyDispenser(TSqliteFile& file, const TDispenserWrites& w) {
  if (w.supersede) {
    TSqliteStatement q = file.Prepare(w.supersede->byNumber
                                          ? "UPDATE tickinv SET ticket = -ticket WHERE ticket = ? AND issuerid IS NULL"
                                          : "UPDATE tickinv SET barcode = barcode || '*' WHERE barcode = ?");
    if (w.supersede->byNumber)
      q.Bind(1, w.supersede->ticket);
    else
      q.Bind(1, w.supersede->barcode);
    if (!q.Run()) return false;
  }
  if (w.update) {
    // Only the columns the plan names: a row an exit reader recorded keeps its taker.
    std::string set = "barcode = ?, ticket = ?, issuerid = ?, online = ?";
    if (w.status) set += ", status = " + std::to_string(*w.status);
    if (w.security) set += ", security = " + std::to_string(*w.security);
    if (w.takerId) set += ", takerid = " + std::to_string(*w.takerId);
    TSqliteStatement q = file.Prepare("UPDATE tickinv SET " + set +
                                      (w.where.byNumber ? " WHERE ticket = ? AND issuerid IS NULL" : " WHERE barcode = ?"));
    q.Bind(1, w.barcode).Bind(2, w.ticket).Bind(3, w.issuerId).Bind(4, w.online ? 1 : 0);
    if (w.where.byNumber)
      q.Bind(5, w.where.ticket);
    else
      q.Bind(5, w.where.barcode);
    return q.Run();
  }
  TSqliteStatement q = file.Prepare(
      "INSERT INTO tickinv (barcode, ticket, issuerid, takerid, status, security, online) VALUES (?, ?, ?, ?, ?, ?, ?)");
  q.Bind(1, w.barcode).Bind(2, w.ticket).Bind(3, w.issuerId);
  q.Bind(4, w.takerId ? std::optional<int64_t>(*w.takerId) : std::nullopt);
  q.Bind(5, w.status ? std::optional<int64_t>(*w.status) : std::nullopt);
  q.Bind(6, w.security ? std::optional<int64_t>(*w.security) : std::nullopt);
  q.Bind(7, w.online ? 1 : 0);
  return q.Run();
}

// The lots of the device's soft-count input (7), moved as the counters move them: an add has
// no upper bound, a take-away stops at zero.
bool ApplySoftCount(TSqliteFile& file, const TSoftCount& s, std::vector<TCopyLot>* lots) {
  {
    TSqliteStatement q = file.Prepare("UPDATE device SET count_soft = count_soft + 1 WHERE id = ?");
    q.Bind(1, s.deviceId);
    if (!q.Run()) return false;
  }
  std::vector<std::pair<int, int>> changes;  // lot, chg_lot
  {
    TSqliteStatement q = file.Prepare(
        "SELECT k.lot_id, c.chg_lot FROM counter_item c LEFT JOIN counters k ON c.cntr_id = k.id "
        "WHERE c.device_id = ? AND c.input = 7 ORDER BY c.rowid");
    q.Bind(1, s.deviceId);
    while (q.Step()) changes.emplace_back(static_cast<int>(q.Int(0)), static_cast<int>(q.Int(1)));
    if (q.Failed()) return false;
  }
  for (const auto& [lot, change] : changes) {
    if (change != 1 && change != 2) continue;
    TSqliteStatement q = file.Prepare(change == 1 ? "UPDATE lot SET lot_count = lot_count + 1 WHERE id = ?"
                                                  : "UPDATE lot SET lot_count = MAX(lot_count - 1, 0) WHERE id = ?");
    q.Bind(1, lot);
    if (!q.Run()) return false;
    if (lots == nullptr) continue;
    TSqliteStatement now = file.Prepare("SELECT name, lot_count, max_capacity FROM lot WHERE id = ? ORDER BY rowid LIMIT 1");
    now.Bind(1, lot);
    if (now.Step()) lots->push_back(TCopyLot{lot, now.Text(0), static_cast<int>(now.Int(1)), static_cast<int>(now.Int(2))});
  }
  return true;
}

}  // namespace

bool TOfflineCopy::ApplyOne(const TOfflineWrite& write, std::vector<TCopyLot>* lots) {
  if (const auto* card = std::get_if<TCardWrites>(&write)) return ApplyCardWrites(file_, *card);
  if (const auto* unknown = std::get_if<TUnknownTicket>(&write)) {
    // Once only: the plan may be applied again to a copy that has it already.
    TSqliteStatement q = file_.Prepare(
        "INSERT INTO tickinv (barcode, issuerid, status) SELECT ?1, 0, 0 WHERE NOT EXISTS "
        "(SELECT 1 FROM tickinv WHERE barcode = ?1)");
    q.Bind(1, unknown->barcode);
    return q.Run();
  }
  if (const auto* taken = std::get_if<TTicketTaken>(&write)) {
    TSqliteStatement q = file_.Prepare(taken->status ? "UPDATE tickinv SET takerid = ?, status = ? WHERE barcode = ?"
                                                     : "UPDATE tickinv SET takerid = ? WHERE barcode = ?");
    q.Bind(1, taken->takerId);
    if (taken->status)
      q.Bind(2, *taken->status).Bind(3, taken->barcode);
    else
      q.Bind(2, taken->barcode);
    return q.Run();
  }
  if (const auto* dispenser = std::get_if<TDispenserWrites>(&write)) return ApplyDispenser(file_, *dispenser);
  if (const auto* soft = std::get_if<TSoftCount>(&write)) return ApplySoftCount(file_, *soft, lots);
  return true;  // device status: no decision reads it
}

bool TOfflineCopy::Apply(const TOfflineWrite& write, TDateTime /*made*/, int64_t journalId, std::vector<TCopyLot>* lots) {
  if (!file_.Begin()) return false;
  bool ok = ApplyOne(write, lots);
  if (ok && journalId > 0) {
    TSqliteStatement q = file_.Prepare("INSERT OR REPLACE INTO copy_meta (key, value) VALUES ('journal_mark', ?)");
    q.Bind(1, std::to_string(journalId));
    ok = q.Run();
  }
  if (!ok || !file_.Commit()) {
    file_.Rollback();
    return false;
  }
  if (journalId > 0) facts_.journalMark = journalId;
  return true;
}

bool TOfflineCopy::SetJournalMark(int64_t journalId) {
  TSqliteStatement q = file_.Prepare("INSERT OR REPLACE INTO copy_meta (key, value) VALUES ('journal_mark', ?)");
  q.Bind(1, std::to_string(journalId));
  if (!q.Run()) return false;
  facts_.journalMark = journalId;
  return true;
}

}  // namespace tarn
