#include "access/SoftCount.h"

#include <algorithm>

#include "util/Format.h"

namespace tarn {
namespace {

const TLotRow* LotOf(const std::vector<TLotRow>& lots, int id) {
  auto it = std::find_if(lots.begin(), lots.end(), [id](const TLotRow& l) { return l.id == id; });
  return it == lots.end() ? nullptr : &*it;
}

void FlagLot(std::vector<std::string>& out, int lot) {
  out.push_back(Format("UPDATE device SET lf_output_flag = 1 WHERE lot_id = %d and lf_enabled <> 0", lot));
  out.push_back(Format("UPDATE device SET lf_sign_flag = 1 WHERE lot_id = %d and lf_sign <> 0", lot));
}

}  // namespace

TSoftCountPlan PlanSoftCount(const TSoftCountRows& rows) {
  TSoftCountPlan c;
  c.deviceId = rows.deviceId;
  c.deviceLot = rows.deviceLot;
  c.softSeen = rows.softSeenColumn;
  c.countSoft = rows.countSoft;
  c.lots = rows.lots;
  // Without the device's row or its lot no lot moves; the device's count still rises.
  if (!rows.deviceFound || LotOf(rows.lots, rows.deviceLot) == nullptr) return c;
  std::vector<TLotRow> running = rows.lots;
  for (const TCounterItemRow& item : rows.items) {
    TLotMove move{item.lotId, item.change, false};
    const TLotRow* lot = LotOf(running, item.lotId);
    const int count = lot ? lot->count : 0;
    if (item.change == 2) move.toZero = count - 1 < 0;
    c.moves.push_back(move);
    // A later item of the same lot sees this one's change.
    for (TLotRow& l : running)
      if (l.id == item.lotId) l.count = item.change == 1 ? count + 1 : item.change == 2 ? std::max(count - 1, 0) : count;
  }
  return c;
}

std::string LotMoveSql(const TLotMove& move) {
  if (move.change == 1) return Format("UPDATE lot SET lot_count=lot_count+%d WHERE id=%d", 1, move.lot);
  if (move.change == 2) {
    if (move.toZero) return Format("UPDATE lot SET lot_count=0 WHERE id=%d", move.lot);
    return Format("UPDATE lot SET lot_count=lot_count-%d WHERE id=%d", 1, move.lot);
  }
  return "";
}

std::vector<std::string> SoftCountStatements(const TSoftCountPlan& count) {
  std::vector<std::string> out;
  for (const TLotMove& move : count.moves) {
    const std::string sql = LotMoveSql(move);
    if (sql.empty()) continue;
    out.push_back(sql);
    FlagLot(out, move.lot);
    if (count.deviceLot != move.lot) FlagLot(out, count.deviceLot);
  }
  // The shared mark moves with the count, so that no computer keeping the soft counts of this
  // device takes this passage over again.
  if (count.softSeen)
    out.push_back(Format("UPDATE device SET count_soft = count_soft + 1, soft_seen = soft_seen + 1 WHERE id = %d",
                         count.deviceId));
  else
    out.push_back(Format("UPDATE device SET count_soft = count_soft + 1 WHERE id = %d", count.deviceId));
  return out;
}

std::vector<std::string> SoftCountLog(const TSoftCountPlan& count) {
  std::vector<std::string> out;
  for (const TLotMove& move : count.moves) out.push_back("Counter sql: " + LotMoveSql(move));
  return out;
}

std::vector<TLotRow> LotsAfter(const TSoftCountPlan& count) {
  std::vector<TLotRow> lots = count.lots;
  std::vector<TLotRow> moved;
  for (const TLotMove& move : count.moves) {
    if (move.change != 1 && move.change != 2) continue;
    auto it = std::find_if(lots.begin(), lots.end(), [&](const TLotRow& l) { return l.id == move.lot; });
    if (it == lots.end()) continue;
    it->count = move.change == 1 ? it->count + 1 : move.toZero ? 0 : it->count - 1;
    auto seen = std::find_if(moved.begin(), moved.end(), [&](const TLotRow& l) { return l.id == move.lot; });
    if (seen == moved.end())
      moved.push_back(*it);
    else
      *seen = *it;
  }
  return moved;
}

std::string LotsReport(const TSoftCountPlan& count) {
  std::string report;
  for (const TLotRow& lot : LotsAfter(count))
    report += Format(", (SELECT lot_count FROM lot WHERE id = %d) AS lot_%d", lot.id, lot.id);
  return report;
}

}  // namespace tarn
