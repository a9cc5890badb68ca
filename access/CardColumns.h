#pragma once
// The card row's columns of a plan of writes, in the groups that belong together: the
// activation, the debit charge, in_lot, debit_date, trans_dt, in_gate. One list for every
// writer of card rows (online, and the replay of what was decided offline), so that a column
// added to the plan is written by both.
#include "access/CardRows.h"
#include "access/CardProcessing.h"
#include "db/TSql.h"

namespace tarn {

void AddActivation(TSql& sql, const TActivation& activation);

constexpr int kCardGroups = 6;
// Adds group `group` (0 .. kCardGroups - 1) of `w` to `sql`; false when the plan has nothing
// of the group.
bool AddCardGroup(TSql& sql, const TCardWrites& w, int group);

}  // namespace tarn
