#include "access/BatchRowSource.h"

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

#include "access/BatchWriter.h"
#include "access/CardAnswer.h"
#include "access/CardValidation.h"
#include "access/OdbcRowSource.h"
#include "access/OdbcWriter.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "util/Format.h"

namespace tarn {
namespace {

// Queries sent in one request, each with the reader of its result. A query may be marked
// optional: its failure (a table the site does not have) ends the batch without failing it.
class TQueryBatch {
 public:
  using TReader = std::function<void(TODBCStatement& q, bool row)>;
  void Add(std::string query, TReader read, bool optional = false) {
    queries_.push_back(std::move(query));
    readers_.push_back(std::move(read));
    optional_.push_back(optional);
  }
  // False when a query that is not optional failed (its result and those after it are not
  // read).
  bool Run(TODBC& db) {
    TODBCStatement q(&db);
    TSqlOutcome outcome = q.ExecuteQueries(queries_);
    for (size_t i = 0; i < readers_.size(); ++i) {
      if (i > 0) outcome = q.NextResult();
      if (!outcome.ok()) return optional_[i];
      readers_[i](q, outcome.row());
    }
    return true;
  }

 private:
  std::vector<std::string> queries_;
  std::vector<TReader> readers_;
  std::vector<bool> optional_;
};

std::string DeviceWhere(int loopId, int address) {
  return Format("loop_id = %d and addr_ess = %d", loopId, address);
}

// The queries of a soft count at `at`, read into `rows`.
void AddCountQueries(TQueryBatch& batch, const TCountAt& at, std::optional<TSoftCountRows>& rows) {
  const std::string devices = "(SELECT id FROM device WHERE " + DeviceWhere(at.loopId, at.address) + ")";
  rows = TSoftCountRows{};
  batch.Add("SELECT * FROM device WHERE " + DeviceWhere(at.loopId, at.address), [&rows](TODBCStatement& q, bool row) {
    rows->softSeenColumn = q.FindColumn("soft_seen") >= 0;
    if (!row) return;
    rows->deviceFound = true;
    rows->deviceId = q.FieldAsInteger("id");
    rows->deviceLot = q.FieldAsInteger("LOT_ID");
    rows->countSoft = q.FieldAsInteger("count_soft");
  });
  batch.Add("SELECT c.*, k.lot_id FROM counter_item c left join counters k on c.cntr_id=k.id WHERE c.device_id IN " +
                devices + " and c.input=7",
            [&rows](TODBCStatement& q, bool row) {
              for (; row; row = q.dbSkip(skNext, 1))
                rows->items.push_back(TCounterItemRow{q.FieldAsInteger("lot_id"), q.FieldAsInteger("chg_lot")});
            });
  batch.Add("SELECT * FROM lot WHERE id IN (SELECT lot_id FROM device WHERE " + DeviceWhere(at.loopId, at.address) +
                ") OR id IN (SELECT k.lot_id FROM counter_item c JOIN counters k ON c.cntr_id = k.id WHERE "
                "c.device_id IN " + devices + " AND c.input = 7)",
            [&rows](TODBCStatement& q, bool row) {
              for (; row; row = q.dbSkip(skNext, 1))
                rows->lots.push_back(TLotRow{q.FieldAsInteger("id"), q.FieldAsString("name"),
                                             q.FieldAsInteger("lot_count"), q.FieldAsInteger("max_capacity")});
            });
}

std::optional<TTicketRow> FirstTicket(TODBCStatement& q, bool row) {
  if (!row) return std::nullopt;
  return TicketRowOf(q);
}

}  // namespace

TBatchRowSource::TBatchRowSource(TODBC& db, std::optional<TCountAt> count, std::shared_ptr<TSharedCount> shared)
    : db_(db), count_(count), shared_(std::move(shared)) {}

TCardRows TBatchRowSource::CardRows(const TCardRowsKey& key) {
  TCardRows rows;
  TQueryBatch batch;
  const std::string device = DeviceWhere(key.loopId, key.address);
  batch.Add("SELECT * FROM device WHERE " + device, [&](TODBCStatement& q, bool row) {
    if (row) rows.device = DeviceRowOf(q);
  });
  if (key.decision)
    batch.Add("SELECT * FROM settings", [&](TODBCStatement& q, bool row) {
      if (row) rows.settings = SettingsRowOf(q);
    });
  // What the card's queries bring, before the decision's order picks from it.
  std::vector<TCardTypeRow> types;
  std::vector<std::pair<int, TAccessRangeRow>> ranges;  // access level, range
  std::vector<int> linked;                              // ranges linked to the device
  std::vector<std::pair<int, TPathwayLegRow>> legs;     // pathway, leg
  std::map<int, TMessagesRow> messages;
  std::optional<TCardPoolRow> pool;
  std::map<int, TSpotRow> spots;
  std::string card;
  if (key.card) {
    card = CardNumberText(*key.card);
    const std::string type = "(SELECT type_id FROM card WHERE number = " + card + ")";
    batch.Add("SELECT * FROM card WHERE number = " + card, [&](TODBCStatement& q, bool row) {
      if (row) rows.card = CardRowOf(q);
    });
    batch.Add("SELECT * FROM card_type WHERE id IN " + type, [&](TODBCStatement& q, bool row) {
      for (; row; row = q.dbSkip(skNext, 1)) types.push_back(CardTypeRowOf(q));
    });
    if (key.decision) {
      const std::string level = "(SELECT access_level_id FROM card_type WHERE id IN " + type + ")";
      batch.Add(Format("SELECT tab_num FROM holiday WHERE holi_day = '%s'", FormatDateTime("yyyy-mm-dd", key.when)),
                [&](TODBCStatement& q, bool row) {
                  if (row) rows.holidayTab = q.FieldAsInteger("tab_num");
                });
      batch.Add("SELECT * FROM a_l_range WHERE access_level_id IN " + level, [&](TODBCStatement& q, bool row) {
        for (; row; row = q.dbSkip(skNext, 1)) ranges.emplace_back(q.FieldAsInteger("access_level_id"), AccessRangeRowOf(q));
      });
      batch.Add("SELECT a_l_range_id FROM a_l_range_device WHERE device_id IN (SELECT id FROM device WHERE " + device +
                    ") AND a_l_range_id IN (SELECT id FROM a_l_range WHERE access_level_id IN " + level + ")",
                [&](TODBCStatement& q, bool row) {
                  for (; row; row = q.dbSkip(skNext, 1)) linked.push_back(q.FieldAsInteger("a_l_range_id"));
                });
      batch.Add("SELECT * FROM pathway_ft WHERE pathway_id IN (SELECT pathway_id FROM card_type WHERE id IN " + type + ")",
                [&](TODBCStatement& q, bool row) {
                  for (; row; row = q.dbSkip(skNext, 1))
                    legs.emplace_back(q.FieldAsInteger("pathway_id"),
                                      TPathwayLegRow{q.FieldAsInteger("from_device"), q.FieldAsInteger("to_device"),
                                                     q.FieldAsInteger("time_limit")});
                });
      batch.Add("SELECT * FROM card_pool WHERE id IN (SELECT group_id FROM card WHERE number = " + card + ")",
                [&](TODBCStatement& q, bool row) {
                  if (row)
                    pool = TCardPoolRow{q.FieldAsInteger("id"), q.FieldAsInteger("max_inlot"),
                                        q.FieldAsInteger("cur_inlot")};
                });
    }
  }
  if (key.answer) {
    std::string sets = "SELECT * FROM messages WHERE id = 1 OR id IN (SELECT msg_id FROM device WHERE " + device + ")";
    if (key.card)
      sets += " OR id IN (SELECT msg_id FROM card_type WHERE id IN (SELECT type_id FROM card WHERE number = " + card + "))";
    batch.Add(sets, [&](TODBCStatement& q, bool row) {
      for (; row; row = q.dbSkip(skNext, 1)) messages.emplace(q.FieldAsInteger("id"), MessagesRowOf(q));
    });
  }
  std::optional<TSoftCountRows> count;
  if (count_ && key.decision && key.card) AddCountQueries(batch, *count_, count);
  // Last: a site without a spots table only misses the spot.
  const bool spotQuery = key.answer && key.decision && key.card;
  if (spotQuery)
    batch.Add("select * from spots where number IN (SELECT space_no FROM card WHERE number = " + card + ")",
              [&](TODBCStatement& q, bool row) {
                for (; row; row = q.dbSkip(skNext, 1)) spots.emplace(q.FieldAsInteger("number"), TSpotRow{q.FieldAsInteger("floor")});
              },
              true);
  if (!batch.Run(db_)) {
    // A site whose tables refuse one of the queries: each on its own, as that source logs them.
    TOdbcRowSource one(db_);
    return one.CardRows(key);
  }

  // The rows behind a card belong to a card found exactly, in the decision's order.
  const TCardRow* found = key.card ? CardOf(rows, *key.card) : nullptr;
  if (found) {
    for (const TCardTypeRow& t : types)
      if (t.id == found->typeId && !rows.type) rows.type = t;
    pools_[found->groupId] = pool && pool->id == found->groupId ? pool : std::nullopt;
    if (spotQuery) {
      auto spot = spots.find(found->spaceNo);
      spots_[found->spaceNo] = spot == spots.end() ? std::nullopt : std::optional<TSpotRow>(spot->second);
    }
  }
  if (found && rows.type && key.decision) {
    const int deviceId = rows.device ? rows.device->id : 0;
    for (auto& [level, range] : ranges) {
      if (level != rows.type->accessLevelId) continue;
      range.atDevice = deviceId != 0 && std::find(linked.begin(), linked.end(), range.id) != linked.end();
      rows.ranges.push_back(range);
    }
    if (rows.type->pathwayId > 0)
      for (const auto& [pathway, leg] : legs)
        if (pathway == rows.type->pathwayId) rows.legs.push_back(leg);
  } else {
    rows.holidayTab = 0;
  }
  if (key.answer) {
    auto set = messages.find(MessageSetOf(rows, key.card));
    if (set == messages.end()) set = messages.find(1);
    if (set != messages.end()) rows.messages = set->second;
  }
  if (spotQuery && found && rows.device && rows.device->specialOut && found->spaceNo > 0)
    rows.spot = spots_[found->spaceNo];
  rows.softCount = count;
  return rows;
}

std::optional<TCardPoolRow> TBatchRowSource::CardPool(int id) {
  if (auto it = pools_.find(id); it != pools_.end()) return it->second;
  TOdbcRowSource one(db_);
  return one.CardPool(id);
}

std::optional<TSpotRow> TBatchRowSource::Spot(int number) {
  if (auto it = spots_.find(number); it != spots_.end()) return it->second;
  TOdbcRowSource one(db_);
  return one.Spot(number);
}

TExitTicketRows TBatchRowSource::ExitTicketRows(int loopId, int address, const std::string& barcode) {
  TExitTicketRows rows;
  TQueryBatch batch;
  batch.Add("select * from tickinv " + BarcodeCondition(barcode, db_.DriverFamily()),
            [&](TODBCStatement& q, bool row) { rows.ticket = FirstTicket(q, row); });
  batch.Add("SELECT * FROM device WHERE " + DeviceWhere(loopId, address), [&](TODBCStatement& q, bool row) {
    if (row) rows.device = DeviceRowOf(q);
  });
  std::optional<TSoftCountRows> count;
  if (count_ && shared_) AddCountQueries(batch, *count_, count);
  if (!batch.Run(db_)) {
    TOdbcRowSource one(db_);
    return one.ExitTicketRows(loopId, address, barcode);
  }
  if (shared_) shared_->rows = count;
  return rows;
}

std::optional<TTicketRow> TBatchRowSource::Ticket(const std::string& barcode) {
  TOdbcRowSource one(db_);
  return one.Ticket(barcode);
}

TDispenserRows TBatchRowSource::DispenserRows(const std::string& barcode, int32_t ticket) {
  TDispenserRows rows;
  std::optional<TTicketRow> byNumber;
  TQueryBatch batch;
  const uint8_t family = db_.DriverFamily();
  batch.Add("select * from tickinv " + TicketCondition(TTicketWhere{false, barcode, 0}, family),
            [&](TODBCStatement& q, bool row) { rows.byBarcode = FirstTicket(q, row); });
  batch.Add("select * from tickinv " + TicketCondition(TTicketWhere{true, "", ticket}, family),
            [&](TODBCStatement& q, bool row) { byNumber = FirstTicket(q, row); });
  std::optional<TSoftCountRows> count;
  if (count_ && shared_) AddCountQueries(batch, *count_, count);
  if (!batch.Run(db_)) {
    TOdbcRowSource one(db_);
    return one.DispenserRows(barcode, ticket);
  }
  if (shared_) shared_->rows = count;
  // The number's row counts only when no row has the barcode.
  if (!rows.byBarcode) rows.byNumber = byNumber;
  return rows;
}

TDecisionParts DecisionPartsFor(TODBC& db, std::optional<TCountAt> count) {
  TDecisionParts parts;
  if (db.Batches()) {
    parts.count = std::make_shared<TSharedCount>();
    parts.source = std::make_unique<TBatchRowSource>(db, count, parts.count);
    parts.writer = std::make_unique<TBatchWriter>(db, parts.count);
  } else {
    parts.source = std::make_unique<TOdbcRowSource>(db);
    parts.writer = std::make_unique<TOdbcWriter>(db);
  }
  return parts;
}

}  // namespace tarn
