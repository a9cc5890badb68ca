#include "access/OdbcWriter.h"

#include <string>

#include "access/CardColumns.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"

namespace tarn {

TOdbcWriter::TOdbcWriter(TODBC& db) : db_(db) {}

void TOdbcWriter::ApplyCard(const TCardWrites& w) {
  const uint8_t family = db_.DriverFamily();
  TODBCStatement update(&db_);
  if (w.typeActivation) {
    TSql sql(family);
    AddActivation(sql, *w.typeActivation);
    update.ExecSQL(sql.BuildUpdate("UPDATE card_type", "WHERE id = " + std::to_string(w.typeActivation->cardTypeId)));
  }
  if (w.TouchesCard()) {
    const std::string where = "WHERE number = " + CardNumberText(w.card);
    TSql all(family);
    int groups = 0;
    for (int g = 0; g < kCardGroups; ++g) groups += AddCardGroup(all, w, g) ? 1 : 0;
    // A card table that lacks one of the columns refuses the whole statement: then each
    // group on its own, so the others are still written. Every column is set to a value, so
    // writing one again changes nothing.
    if (!update.ExecSQL(all.BuildUpdate("UPDATE card", where)) && groups > 1) {
      for (int g = 0; g < kCardGroups; ++g) {
        TSql one(family);
        if (AddCardGroup(one, w, g)) update.ExecSQL(one.BuildUpdate("UPDATE card", where));
      }
    }
  }
  // The conditions are part of the UPDATEs: a missing pool changes nothing, and an exit
  // never takes the count below zero.
  if (w.poolId >= 1 && w.poolChange > 0)
    update.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d", w.poolId);
  else if (w.poolId >= 1 && w.poolChange < 0)
    update.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d and cur_inlot > 0", w.poolId);

  const TTransRow& t = w.trans;
  TSql sql(family);
  sql.AddField("card_no", t.cardNo, false);
  sql.AddDateTime("dat_e", t.when);
  sql.AddInteger("device_id", t.deviceId);
  sql.AddInteger("error_code", t.errorCode);
  sql.AddField("error_desc", t.errorDesc, true);
  sql.AddField("cardno", t.cardNo, false);
  sql.AddField("device_name", t.deviceName, true);
  sql.AddField("first_name", t.firstName, true);
  sql.AddField("last_name", t.lastName, true);
  sql.AddInteger("mem_flag", t.memory ? 1 : 0);
  update.ExecSQL(sql.BuildInsert("INSERT INTO trans", "Values", ""));
}

void TOdbcWriter::RecordUnknownTicket(const TUnknownTicket& ticket) {
  TSql sql(db_.DriverFamily());
  sql.AddField("barcode", ticket.barcode, true);
  sql.AddInteger("issuerid", 0);
  sql.AddInteger("status", 0);
  sql.AddDateTime("in_date", ticket.issued);
  sql.AddNow("l_date");
  TODBCStatement insert(&db_);
  insert.ExecSQL(sql.BuildSQL("tickinv", true, ""));
}

void TOdbcWriter::ApplyTicketTaken(const TTicketTaken& taken) {
  const uint8_t family = db_.DriverFamily();
  TSql sql(family);
  sql.AddInteger("takerid", taken.takerId);
  if (taken.status) sql.AddInteger("status", *taken.status);
  sql.AddNow("out_date");
  sql.AddNow("l_date");
  TODBCStatement update(&db_);
  update.ExecSQL(sql.BuildSQL("tickinv", false, BarcodeCondition(taken.barcode, family)));
}

bool TOdbcWriter::ApplyDispenserRecord(const TDispenserWrites& w) {
  const uint8_t family = db_.DriverFamily();
  TODBCStatement write(&db_);
  if (w.supersede) {
    TSql sql(family);
    if (w.supersede->byNumber)
      sql.AddInteger("ticket", -static_cast<int64_t>(w.supersede->ticket));
    else
      sql.AddField("barcode", w.supersede->barcode + "*", true);
    write.ExecSQL(sql.BuildSQL("tickinv", false, TicketCondition(*w.supersede, family)));
  }
  TSql sql(family);
  if (w.status) sql.AddInteger("status", *w.status);
  if (w.security) sql.AddInteger("security", *w.security);
  if (w.outDate) sql.AddDateTime("out_date", *w.outDate);
  if (w.takerId) sql.AddInteger("takerid", *w.takerId);
  sql.AddField("barcode", w.barcode, true);
  sql.AddInteger("ticket", w.ticket);
  sql.AddDateTime("in_date", w.inDate);
  sql.AddInteger("issuerid", w.issuerId);
  sql.AddInteger("online", w.online ? 1 : 0);
  sql.AddNow("l_date");
  const std::string text = w.update ? sql.BuildSQL("tickinv", false, TicketCondition(w.where, family))
                                    : sql.BuildSQL("tickinv", true, "");
  return write.ExecSQL(text);
}

}  // namespace tarn
