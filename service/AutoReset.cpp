// Automatic resets: passback, group and pathway state of the cards, lot counts and device
// counters, once a day at their configured minute or at once on an operator's request.
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "service/TTARNCard.h"
#include "util/Strings.h"

namespace tarn {

namespace {
bool SameMinute(int h, int m, TDateTime configured) {
  DateParts p = DecodeDateTime(configured);
  return p.hour == h && p.minute == m;
}
}  // namespace

void TTARNCard::AutoResetCards(TDateTime moment) {
  if (!Env) return;
  DateParts now = DecodeDateTime(moment);
  TODBCStatement st(Env.get());
  if (!st.ExecSQL("SELECT * FROM settings")) return;

  std::string list, description;
  bool dailyGroup = st.FieldAsBoolean("AUTO_RESET_GROUP");
  if (st.FieldAsBoolean("AUTO_RESET")) {
    list += "in_lot=0";
    description += "Passback ";
  }
  if (dailyGroup) description += "Groups ";
  if (st.FieldAsBoolean("AUTO_RESET_PATHWAY")) {
    if (!list.empty()) list += ",";
    list += "in_gate=-1";
    description += "Pathways ";
  }
  bool nowPassback = st.FieldAsBoolean("AUTO_NOW");
  bool nowGroup = st.FieldAsBoolean("AUTO_NOW_GRP");
  if (nowPassback || nowGroup) description.clear();
  if (nowPassback) {
    list = "in_lot=0";
    description += "Passback ";
  }
  if (nowGroup) description = "Groups ";
  if (description.empty()) return;
  const bool due = SameMinute(now.hour, now.minute, st.FieldAsDateTime("reset_time"));
  if (!(due || nowPassback || nowGroup)) return;
  // An immediate group request resets the pools: the daily card resets keep their time.
  if (nowGroup && !nowPassback && !due) list.clear();

  if (!list.empty()) ResetAllCards(list);
  TODBCStatement upd(Env.get());
  if (nowGroup || dailyGroup) upd.ExecSQL("UPDATE card_pool SET cur_inlot=0");
  if (nowPassback) upd.ExecSQL("UPDATE settings SET auto_now = 0");
  if (nowGroup) upd.ExecSQL("UPDATE settings SET auto_now_grp = 0");
  if (Log) Log->Log("Auto Reset: " + description);
}

void TTARNCard::ResetAllCards(const std::string& list) {
  TODBCStatement upd(Env.get());
  // One UPDATE over a hundred thousand cards takes a second on an idle server and may take
  // longer than a statement may hold the main thread on a busy one: on a database server the
  // cards are reset in parts, by the order of their number. The rows changed are those of
  // one UPDATE over the table; an in-process database runs the one UPDATE.
  if (Env->InProcess() || Env->DriverFamily() != dfMySQL || ResetPartSize <= 0) {
    upd.ExecSQL("UPDATE card SET " + list);
    return;
  }
  auto literal = [](const std::string& value) {
    return "'" + ReplaceAll(ReplaceAll(value, "\\", "\\\\"), "'", "''") + "'";
  };
  TODBCStatement next(Env.get());
  std::string from;  // the first number of this part; empty for the first part
  for (;;) {
    FeedWatchdog();
    const std::string after = from.empty() ? "" : " WHERE number >= " + literal(from);
    const TSqlOutcome found = next.Execute("SELECT number FROM card" + after + " ORDER BY number LIMIT 1 OFFSET " +
                                           std::to_string(ResetPartSize));
    if (!found.ok()) {
      next.LogFailure(found);
      return;
    }
    const std::string to = found.row() ? next.FieldAsString("number") : "";
    std::string where;
    if (!from.empty()) where = " WHERE number >= " + literal(from);
    if (!to.empty()) where += (where.empty() ? " WHERE" : " AND") + std::string(" number < ") + literal(to);
    if (!upd.ExecSQL("UPDATE card SET " + list + where)) return;
    if (to.empty()) break;
    from = to;
  }
  // A card without a number is in no part.
  upd.ExecSQL("UPDATE card SET " + list + " WHERE number IS NULL");
}

void TTARNCard::AutoResetCounts(TDateTime moment) {
  if (!Env) return;
  DateParts now = DecodeDateTime(moment);
  TODBCStatement st(Env.get());
  TODBCStatement upd(Env.get());
  if (!st.ExecSQL("SELECT * FROM lot")) return;
  do {
    int id = st.FieldAsInteger("id");
    if (st.FieldAsBoolean("AUTO_R_COUNT") && SameMinute(now.hour, now.minute, st.FieldAsDateTime("auto_r_time")))
      upd.ExecSQLFmt("UPDATE lot SET lot_count = %d WHERE id = %d", st.FieldAsInteger("reset_amt"), id);
    if (st.FieldAsBoolean("cnt_reset_flag") &&
        SameMinute(now.hour, now.minute, st.FieldAsDateTime("cnt_reset_time"))) {
      int a = st.FieldAsInteger("cnt_reset_amt");
      upd.ExecSQLFmt(
          "UPDATE device SET count1 = %d, count2 = %d, count3 = %d, count4 = %d, count5 = %d, count_soft = %d "
          "WHERE lot_id = %d",
          a, a, a, a, a, a, id);
    }
  } while (st.dbSkip(skNext, 1));
}

}  // namespace tarn
