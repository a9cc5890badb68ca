#pragma once
// A passage the system counts itself at a device (a soft count), planned from rows read with
// the decision so that it goes to the database in the same transaction as the decision's
// other writes: the lots of the device's counter items of input 7 move (a take-away never
// below zero), the lot-full outputs and signs of those lots are flagged for the next refresh,
// and the device's count_soft (with the shared mark soft_seen, where the table has it) rises
// by one. The same statements, in the same order and with the same log lines, as a counter of
// the address (TCounter::AddSoftCount) runs when it counts the passage on its own; a
// take-away reads the lot as the decision's rows found it, as the counter reads it just
// before its UPDATE.
//
// Plain values and pure functions: any thread.
#include <string>
#include <vector>

namespace tarn {

// A lot row as a count reads it.
struct TLotRow {
  int id = 0;
  std::string name;
  int count = 0;  // lot_count
  int capacity = 0;  // max_capacity
  bool operator==(const TLotRow&) const = default;
};

// A counter_item row of input 7 with its counter's lot.
struct TCounterItemRow {
  int lotId = 0;
  int change = 0;  // chg_lot: 1 adds, 2 takes away, other values change nothing
  bool operator==(const TCounterItemRow&) const = default;
};

// What a soft count at a device reads: the device row (by loop and address), the rows of its
// lot and of its items' lots, its items of input 7.
struct TSoftCountRows {
  bool deviceFound = false;
  int deviceId = 0;
  int deviceLot = 0;
  int countSoft = 0;
  bool softSeenColumn = false;  // the device table has soft_seen
  std::vector<TCounterItemRow> items;
  std::vector<TLotRow> lots;
  bool operator==(const TSoftCountRows&) const = default;
};

// One lot moved by one counter item.
struct TLotMove {
  int lot = 0;
  int change = 0;       // chg_lot
  bool toZero = false;  // a take-away from a lot that holds less than one: set to 0
  bool operator==(const TLotMove&) const = default;
};

// The plan of one soft count.
struct TSoftCountPlan {
  int deviceId = 0;
  int deviceLot = 0;
  bool softSeen = false;
  std::vector<TLotMove> moves;  // empty when the device or its lot has no row
  int countSoft = 0;            // count_soft as read: the count seen afterwards is one more
  std::vector<TLotRow> lots;    // as read, for the status page
  bool operator==(const TSoftCountPlan&) const = default;
};

TSoftCountPlan PlanSoftCount(const TSoftCountRows& rows);

// The statement of a move, as the log line "Counter sql: ..." shows it ("" for a change of no
// kind).
std::string LotMoveSql(const TLotMove& move);
// Every statement of the plan, in order.
std::vector<std::string> SoftCountStatements(const TSoftCountPlan& count);
// The log lines of the plan ("Counter sql: ..." per move).
std::vector<std::string> SoftCountLog(const TSoftCountPlan& count);
// The lots the plan moved, with their counts after it.
std::vector<TLotRow> LotsAfter(const TSoftCountPlan& count);
// The select list a whole write answers with (WholeWriteText's report): each moved lot's
// count after the commit, as column "lot_<id>".
std::string LotsReport(const TSoftCountPlan& count);

}  // namespace tarn
