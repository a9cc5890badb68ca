#include "access/OneRequest.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "access/CardAnswer.h"
#include "access/CardValidation.h"
#include "access/OdbcRowSource.h"
#include "access/OdbcWriter.h"
#include "db/CompoundText.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "db/WholeWrite.h"
#include "log/TMessLog.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// Queries sent as one compound statement, each with the reader of its result.
class TQueryBlock {
 public:
  using TReader = std::function<void(TODBCStatement& q, bool row)>;
  enum class TRun : uint8_t {
    Read,       // every reader has had its result
    Refused,    // the server refused the block (or a query of it): read one statement at a time
    Unreached,  // the link was lost and did not come back
  };

  // An optional query must come last: when it fails, its result is simply not there.
  void Add(std::string query, TReader read, bool optional = false) {
    queries_.push_back(TBlockQuery{std::move(query), optional});
    readers_.push_back(std::move(read));
  }

  TRun Run(TODBC& db) {
    TODBCStatement q(&db);
    // MariaDB Connector/ODBC 3.1 gives only the first row of every result after the first on
    // a forward-only cursor; a static one (the results kept on the client) gives them all.
    if (!StaticCursor(db, q)) return TRun::Refused;
    TSqlOutcome outcome = q.Execute(QueryBlock(queries_));
    if (!outcome.ok()) return Failed(db, outcome);
    // A statement set up again on a new connection within the execution has lost it: rows
    // might be missing, so they are read one statement at a time.
    if (!IsStatic(db, q)) return TRun::Refused;
    // The block's first query answers first: its columns are described, its first row is
    // fetched here.
    bool row = q.ColumnCount() > 0 && q.dbSkip(skNext, 1);
    for (size_t i = 0; i < readers_.size(); ++i) {
      if (i > 0) {
        outcome = q.NextResult();
        if (!outcome.ok()) {
          if (queries_[i].optional && outcome.records().empty()) return TRun::Read;
          return Failed(db, outcome);
        }
        row = outcome.row();
      }
      readers_[i](q, row);
    }
    return TRun::Read;
  }

 private:
  static bool IsStatic(TODBC& db, TODBCStatement& q) {
    SQLULEN type = SQL_CURSOR_FORWARD_ONLY;
    return q.Allocated() && SqlSucceeded(db.Api().SQLGetStmtAttr(q.Handle(), SQL_ATTR_CURSOR_TYPE, &type, 0, nullptr)) &&
           type == SQL_CURSOR_STATIC;
  }
  static bool StaticCursor(TODBC& db, TODBCStatement& q) {
    if (!q.Allocated()) return false;
    db.Api().SQLSetStmtAttr(q.Handle(), SQL_ATTR_CURSOR_TYPE,
                            reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(SQL_CURSOR_STATIC)), 0);
    return IsStatic(db, q);
  }
  static TRun Failed(TODBC& db, const TSqlOutcome& outcome) {
    if (outcome.linkLost() && !db.Connected()) return TRun::Unreached;
    if (!outcome.records().empty() && RefusesCompound(outcome.records().front()) &&
        db.Guard().Compound() != TWriteGuard::TState::On) {
      db.Guard().SetCompound(TWriteGuard::TState::Off);
      if (db.MessLog != nullptr)
        db.MessLog->Log("The database server takes no compound statements (" + outcome.records().front().message +
                        "): each decision's rows are read one statement at a time");
    }
    return TRun::Refused;
  }

  std::vector<TBlockQuery> queries_;
  std::vector<TReader> readers_;
};

std::string DeviceWhere(int loopId, int address) {
  return Format("loop_id = %d and addr_ess = %d", loopId, address);
}

// A value of the first device row of the address, as the decision reads it (0 for none).
std::string DeviceValue(const std::string& column, int loopId, int address) {
  return "COALESCE((SELECT " + column + " FROM device WHERE " + DeviceWhere(loopId, address) + " LIMIT 1), 0)";
}

// A value of the first card row of the number.
std::string CardValue(const std::string& column, const std::string& card) {
  return "COALESCE((SELECT " + column + " FROM card WHERE number = " + card + " LIMIT 1), 0)";
}

// A value of the first card_type row of the card's type.
std::string TypeValue(const std::string& column, const std::string& card) {
  return "COALESCE((SELECT " + column + " FROM card_type WHERE id = " + CardValue("type_id", card) + " LIMIT 1), 0)";
}

std::optional<TTicketRow> FirstTicket(TODBCStatement& q, bool row) {
  if (!row) return std::nullopt;
  return TicketRowOf(q);
}

// The queries of a soft count at `at`, read into `rows`: the device row (which the caller
// reads anyway: `device` is its reader), the counter items of input 7 with their counters'
// lots, and the rows of those lots and the device's own.
void AddCountQueries(TQueryBlock& block, const TCountAt& at, std::optional<TSoftCountRows>& rows) {
  const std::string device = DeviceValue("id", at.loopId, at.address);
  rows = TSoftCountRows{};
  block.Add(Format("SELECT c.*,k.lot_id FROM counter_item c left join counters k on c.cntr_id=k.id "
                   "WHERE device_id=%s and input=%d",
                   device, 7),
            [&rows](TODBCStatement& q, bool row) {
              for (; row; row = q.dbSkip(skNext, 1))
                rows->items.push_back(TCounterItemRow{q.FieldAsInteger("lot_id"), q.FieldAsInteger("chg_lot")});
            });
  block.Add("SELECT * FROM lot WHERE id = " + DeviceValue("lot_id", at.loopId, at.address) +
                " OR id IN (SELECT k.lot_id FROM counter_item c JOIN counters k ON c.cntr_id = k.id WHERE "
                "c.device_id = " + device + " AND c.input = 7)",
            [&rows](TODBCStatement& q, bool row) {
              for (; row; row = q.dbSkip(skNext, 1))
                rows->lots.push_back(TLotRow{q.FieldAsInteger("id"), q.FieldAsString("name"),
                                             q.FieldAsInteger("lot_count"), q.FieldAsInteger("max_capacity")});
            });
}

// The device's part of the count's rows, from the device row as the decision reads it.
void TakeCountDevice(std::optional<TSoftCountRows>& rows, TODBCStatement& q, bool row) {
  if (!rows) return;
  rows->softSeenColumn = q.FindColumn("soft_seen") >= 0;
  if (!row) return;
  rows->deviceFound = true;
  rows->deviceId = q.FieldAsInteger("id");
  rows->deviceLot = q.FieldAsInteger("LOT_ID");
  rows->countSoft = q.FieldAsInteger("count_soft");
}

}  // namespace

TOneRequestSource::TOneRequestSource(TODBC& db, std::optional<TCountAt> count, std::shared_ptr<TSharedCount> shared)
    : db_(db), count_(count), shared_(std::move(shared)) {}

TCardRows TOneRequestSource::CardRows(const TCardRowsKey& key) {
  TCardRows rows;
  reached_ = true;
  const bool counting = count_ && shared_ && key.decision && key.card;
  std::optional<TSoftCountRows> count;
  if (counting) count = TSoftCountRows{};
  TQueryBlock block;
  block.Add("SELECT * FROM device WHERE " + DeviceWhere(key.loopId, key.address), [&](TODBCStatement& q, bool row) {
    if (row) rows.device = DeviceRowOf(q);
    TakeCountDevice(count, q, row);
  });
  if (key.decision)
    block.Add("SELECT * FROM settings", [&](TODBCStatement& q, bool row) {
      if (row) rows.settings = SettingsRowOf(q);
    });
  // What the card's queries bring, before the decision's order picks from it.
  std::optional<TCardTypeRow> type;
  std::vector<std::pair<int, TAccessRangeRow>> ranges;  // access level, range
  std::vector<std::pair<int, TPathwayLegRow>> legs;     // pathway, leg
  std::map<int, TMessagesRow> messages;
  std::optional<TCardPoolRow> pool;
  std::optional<std::pair<int, TSpotRow>> spot;
  int holidayTab = 0;
  std::string card;
  if (key.card) {
    card = CardNumberText(*key.card);
    block.Add("SELECT * FROM card WHERE number = " + card, [&](TODBCStatement& q, bool row) {
      if (row) rows.card = CardRowOf(q);
    });
    block.Add("SELECT * FROM card_type WHERE id = " + CardValue("type_id", card), [&](TODBCStatement& q, bool row) {
      if (row) type = CardTypeRowOf(q);
    });
    if (key.decision) {
      block.Add(Format("SELECT tab_num FROM holiday WHERE holi_day = '%s'", FormatDateTime("yyyy-mm-dd", key.when)),
                [&](TODBCStatement& q, bool row) {
                  if (row) holidayTab = q.FieldAsInteger("tab_num");
                });
      // Whether a range is linked to the device comes with the range, as one statement
      // reads it.
      block.Add("SELECT r.*, CASE WHEN EXISTS (SELECT * FROM a_l_range_device d WHERE d.a_l_range_id = r.id and "
                "d.device_id = " + DeviceValue("id", key.loopId, key.address) +
                    ") THEN 1 ELSE 0 END AS at_device FROM a_l_range r WHERE r.access_level_id = " +
                    TypeValue("access_level_id", card),
                [&](TODBCStatement& q, bool row) {
                  for (; row; row = q.dbSkip(skNext, 1))
                    ranges.emplace_back(q.FieldAsInteger("access_level_id"), AccessRangeRowOf(q));
                });
      block.Add("SELECT * FROM pathway_ft WHERE pathway_id=" + TypeValue("pathway_id", card),
                [&](TODBCStatement& q, bool row) {
                  for (; row; row = q.dbSkip(skNext, 1)) legs.emplace_back(q.FieldAsInteger("pathway_id"), PathwayLegRowOf(q));
                });
      block.Add("SELECT * FROM card_pool WHERE id = " + CardValue("group_id", card), [&](TODBCStatement& q, bool row) {
        if (row) pool = CardPoolRowOf(q);
      });
    }
  }
  if (key.answer) {
    // The card type's set, the device's, and set 1: the answer takes the first that is there.
    std::string sets = "SELECT * FROM messages WHERE id = 1 OR id = " + DeviceValue("msg_id", key.loopId, key.address);
    if (key.card) sets += " OR id = " + TypeValue("msg_id", card);
    block.Add(sets, [&](TODBCStatement& q, bool row) {
      for (; row; row = q.dbSkip(skNext, 1)) messages.emplace(q.FieldAsInteger("id"), MessagesRowOf(q));
    });
  }
  if (counting) AddCountQueries(block, *count_, count);
  // Last: a site without a spots table only misses the spot (it is read without error
  // logging one statement at a time as well).
  const bool spotQuery = key.answer && key.decision && key.card;
  if (spotQuery)
    block.Add("select * from spots where number=" + CardValue("space_no", card),
              [&](TODBCStatement& q, bool row) {
                if (row) spot.emplace(q.FieldAsInteger("number"), TSpotRow{q.FieldAsInteger("floor")});
              },
              true);
  const TQueryBlock::TRun run = TakesCompound(db_) ? block.Run(db_) : TQueryBlock::TRun::Refused;
  if (run != TQueryBlock::TRun::Read) {
    if (run == TQueryBlock::TRun::Unreached) {
      reached_ = false;
      return TCardRows{};
    }
    // Each query on its own, as that source reads and logs them; the count then is the
    // counter's own.
    TOdbcRowSource one(db_);
    return one.CardRows(key);
  }

  // The rows behind a card belong to a card found exactly, in the decision's order.
  const TCardRow* found = key.card ? CardOf(rows, *key.card) : nullptr;
  if (found) {
    rows.type = type;
    // The pool is read with a decision's rows only.
    if (key.decision) pools_[found->groupId] = pool && pool->id == found->groupId ? pool : std::nullopt;
    if (spotQuery) spots_[found->spaceNo] = spot && spot->first == found->spaceNo ? std::optional(spot->second) : std::nullopt;
  }
  if (found && rows.type && key.decision) {
    rows.holidayTab = holidayTab;
    for (const auto& [level, range] : ranges)
      if (level == rows.type->accessLevelId) rows.ranges.push_back(range);
    if (rows.type->pathwayId > 0)
      for (const auto& [pathway, leg] : legs)
        if (pathway == rows.type->pathwayId) rows.legs.push_back(leg);
  }
  if (key.answer) {
    auto set = messages.find(MessageSetOf(rows, key.card));
    if (set == messages.end()) set = messages.find(1);
    if (set != messages.end()) rows.messages = set->second;
  }
  if (spotQuery && found && rows.device && rows.device->specialOut && found->spaceNo > 0) rows.spot = spots_[found->spaceNo];
  if (counting) shared_->rows = count;
  return rows;
}

std::optional<TCardPoolRow> TOneRequestSource::CardPool(int id) {
  if (auto it = pools_.find(id); it != pools_.end()) return it->second;
  TOdbcRowSource one(db_);
  return one.CardPool(id);
}

std::optional<TSpotRow> TOneRequestSource::Spot(int number) {
  if (auto it = spots_.find(number); it != spots_.end()) return it->second;
  TOdbcRowSource one(db_);
  return one.Spot(number);
}

TExitTicketRows TOneRequestSource::ExitTicketRows(int loopId, int address, const std::string& barcode) {
  TExitTicketRows rows;
  reached_ = true;
  const bool counting = count_ && shared_;
  std::optional<TSoftCountRows> count;
  if (counting) count = TSoftCountRows{};
  TQueryBlock block;
  block.Add("select * from tickinv " + BarcodeCondition(barcode, db_.DriverFamily()),
            [&](TODBCStatement& q, bool row) { rows.ticket = FirstTicket(q, row); });
  block.Add("SELECT * FROM device WHERE " + DeviceWhere(loopId, address), [&](TODBCStatement& q, bool row) {
    if (row) rows.device = DeviceRowOf(q);
    TakeCountDevice(count, q, row);
  });
  if (counting) AddCountQueries(block, *count_, count);
  const TQueryBlock::TRun run = TakesCompound(db_) ? block.Run(db_) : TQueryBlock::TRun::Refused;
  if (run == TQueryBlock::TRun::Unreached) {
    reached_ = false;
    return TExitTicketRows{};
  }
  if (run == TQueryBlock::TRun::Refused) {
    TOdbcRowSource one(db_);
    return one.ExitTicketRows(loopId, address, barcode);
  }
  if (counting) shared_->rows = count;
  return rows;
}

std::optional<TTicketRow> TOneRequestSource::Ticket(const std::string& barcode) {
  TOdbcRowSource one(db_);
  return one.Ticket(barcode);
}

TDispenserRows TOneRequestSource::DispenserRows(const std::string& barcode, int32_t ticket) {
  TDispenserRows rows;
  reached_ = true;
  const bool counting = count_ && shared_;
  std::optional<TSoftCountRows> count;
  if (counting) count = TSoftCountRows{};
  std::optional<TTicketRow> byNumber;
  TQueryBlock block;
  const uint8_t family = db_.DriverFamily();
  block.Add("select * from tickinv " + TicketCondition(TTicketWhere{false, barcode, 0}, family),
            [&](TODBCStatement& q, bool row) { rows.byBarcode = FirstTicket(q, row); });
  block.Add("select * from tickinv " + TicketCondition(TTicketWhere{true, "", ticket}, family),
            [&](TODBCStatement& q, bool row) { byNumber = FirstTicket(q, row); });
  if (counting) {
    block.Add("SELECT * FROM device WHERE " + DeviceWhere(count_->loopId, count_->address),
              [&](TODBCStatement& q, bool row) { TakeCountDevice(count, q, row); });
    AddCountQueries(block, *count_, count);
  }
  const TQueryBlock::TRun run = TakesCompound(db_) ? block.Run(db_) : TQueryBlock::TRun::Refused;
  if (run == TQueryBlock::TRun::Unreached) {
    reached_ = false;
    return TDispenserRows{};
  }
  if (run == TQueryBlock::TRun::Refused) {
    TOdbcRowSource one(db_);
    return one.DispenserRows(barcode, ticket);
  }
  if (counting) shared_->rows = count;
  // The number's row counts only when no row has the barcode.
  if (!rows.byBarcode) rows.byNumber = byNumber;
  return rows;
}

TOneRequestWriter::TOneRequestWriter(TODBC& db, std::shared_ptr<TSharedCount> shared)
    : db_(db), shared_(std::move(shared)) {}

std::optional<TSoftCountPlan> TOneRequestWriter::PassageCount() const {
  if (!shared_ || !shared_->rows) return std::nullopt;
  return PlanSoftCount(*shared_->rows);
}

bool TOneRequestWriter::Send(std::vector<std::string> statements, const std::optional<TSoftCountPlan>& count) {
  if (count)
    for (std::string& s : SoftCountStatements(*count)) statements.push_back(std::move(s));
  const TWholeWriteResult result = RunWholeWrite(db_, statements, count ? LotsReport(*count) : "");
  // A lost link leaves the write kept (applied once later) or, unguarded, possibly applied:
  // either way it is not written again here.
  const bool written = !result.refused && (result.outcome.ok() || result.outcome.linkLost());
  if (!written) return false;
  if (shared_ && count) {
    shared_->carried = count;
    for (const TLotRow& lot : LotsAfter(*count)) {
      const std::string now = result.Reported("lot_" + std::to_string(lot.id));
      if (!now.empty()) shared_->lotsNow[lot.id] = StrToIntDef(now, lot.count);
    }
  }
  return true;
}

void TOneRequestWriter::ApplyCard(const TCardWrites& w) {
  // A passing card is a passage (the result is the trans row's).
  const std::optional<TSoftCountPlan> count = CardPasses(w.trans.errorCode) ? PassageCount() : std::nullopt;
  if (Send(CardWriteStatements(w, db_.DriverFamily()), count)) return;
  TOdbcWriter(db_).ApplyCard(w);
}

void TOneRequestWriter::RecordUnknownTicket(const TUnknownTicket& ticket) {
  if (Send({UnknownTicketStatement(ticket, db_.DriverFamily())}, std::nullopt)) return;
  TOdbcWriter(db_).RecordUnknownTicket(ticket);
}

void TOneRequestWriter::ApplyTicketTaken(const TTicketTaken& taken) {
  // An accepted ticket is a passage.
  if (Send({TicketTakenStatement(taken, db_.DriverFamily())}, PassageCount())) return;
  TOdbcWriter(db_).ApplyTicketTaken(taken);
}

bool TOneRequestWriter::ApplyDispenserRecord(const TDispenserWrites& w) {
  // A ticket issued is a passage: counted when its row is written.
  if (Send(DispenserStatements(w, db_.DriverFamily()), PassageCount())) return true;
  return TOdbcWriter(db_).ApplyDispenserRecord(w);
}

TDecisionParts DecisionPartsFor(TODBC& db, std::optional<TCountAt> count) {
  TDecisionParts parts;
  if (db.DriverFamily() == dfMySQL && TakesCompound(db)) {
    if (count) parts.count = std::make_shared<TSharedCount>();
    parts.source = std::make_unique<TOneRequestSource>(db, count, parts.count);
    parts.writer = std::make_unique<TOneRequestWriter>(db, parts.count);
  } else {
    parts.source = std::make_unique<TOdbcRowSource>(db);
    parts.writer = std::make_unique<TOdbcWriter>(db);
  }
  return parts;
}

}  // namespace tarn
