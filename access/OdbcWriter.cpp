#include "access/OdbcWriter.h"

#include <string>

#include "access/CardColumns.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"

namespace tarn {
namespace {

std::string TransInsertStatement(const TTransRow& t, uint8_t family) {
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
  return sql.BuildInsert("INSERT INTO trans", "Values", "");
}

std::string TypeActivationStatement(const TActivation& activation, uint8_t family) {
  TSql sql(family);
  AddActivation(sql, activation);
  return sql.BuildUpdate("UPDATE card_type", "WHERE id = " + std::to_string(activation.cardTypeId));
}

std::string CardUpdateStatement(const TCardWrites& w, uint8_t family, int onlyGroup) {
  TSql sql(family);
  bool any = false;
  for (int g = 0; g < kCardGroups; ++g)
    if (onlyGroup < 0 || onlyGroup == g) any = AddCardGroup(sql, w, g) || any;
  if (!any) return "";
  return sql.BuildUpdate("UPDATE card", "WHERE number = " + CardNumberText(w.card));
}

std::string PoolStatement(const TCardWrites& w) {
  // The conditions are part of the UPDATEs: a missing pool changes nothing, and an exit
  // never takes the count below zero.
  if (w.poolId >= 1 && w.poolChange > 0)
    return "UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = " + std::to_string(w.poolId);
  if (w.poolId >= 1 && w.poolChange < 0)
    return "UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = " + std::to_string(w.poolId) + " and cur_inlot > 0";
  return "";
}

}  // namespace

std::vector<std::string> CardWriteStatements(const TCardWrites& w, uint8_t family) {
  std::vector<std::string> out;
  if (w.typeActivation) out.push_back(TypeActivationStatement(*w.typeActivation, family));
  if (w.TouchesCard())
    if (std::string card = CardUpdateStatement(w, family, -1); !card.empty()) out.push_back(card);
  if (std::string pool = PoolStatement(w); !pool.empty()) out.push_back(pool);
  out.push_back(TransInsertStatement(w.trans, family));
  return out;
}

std::string UnknownTicketStatement(const TUnknownTicket& ticket, uint8_t family) {
  TSql sql(family);
  sql.AddField("barcode", ticket.barcode, true);
  sql.AddInteger("issuerid", 0);
  sql.AddInteger("status", 0);
  sql.AddDateTime("in_date", ticket.issued);
  sql.AddNow("l_date");
  return sql.BuildSQL("tickinv", true, "");
}

std::string TicketTakenStatement(const TTicketTaken& taken, uint8_t family) {
  TSql sql(family);
  sql.AddInteger("takerid", taken.takerId);
  if (taken.status) sql.AddInteger("status", *taken.status);
  sql.AddNow("out_date");
  sql.AddNow("l_date");
  return sql.BuildSQL("tickinv", false, BarcodeCondition(taken.barcode, family));
}

std::vector<std::string> DispenserStatements(const TDispenserWrites& w, uint8_t family) {
  std::vector<std::string> out;
  if (w.supersede) {
    TSql sql(family);
    if (w.supersede->byNumber)
      sql.AddInteger("ticket", -static_cast<int64_t>(w.supersede->ticket));
    else
      sql.AddField("barcode", w.supersede->barcode + "*", true);
    out.push_back(sql.BuildSQL("tickinv", false, TicketCondition(*w.supersede, family)));
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
  out.push_back(w.update ? sql.BuildSQL("tickinv", false, TicketCondition(w.where, family))
                         : sql.BuildSQL("tickinv", true, ""));
  return out;
}

TOdbcWriter::TOdbcWriter(TODBC& db) : db_(db) {}

void TOdbcWriter::ApplyCard(const TCardWrites& w) {
  const uint8_t family = db_.DriverFamily();
  TODBCStatement update(&db_);
  if (w.typeActivation) update.ExecSQL(TypeActivationStatement(*w.typeActivation, family));
  if (w.TouchesCard()) {
    int groups = 0;
    for (int g = 0; g < kCardGroups; ++g) groups += CardUpdateStatement(w, family, g).empty() ? 0 : 1;
    // A card table that lacks one of the columns refuses the whole statement: then each
    // group on its own, so the others are still written. Every column is set to a value, so
    // writing one again changes nothing.
    if (!update.ExecSQL(CardUpdateStatement(w, family, -1)) && groups > 1) {
      for (int g = 0; g < kCardGroups; ++g)
        if (std::string one = CardUpdateStatement(w, family, g); !one.empty()) update.ExecSQL(one);
    }
  }
  if (std::string pool = PoolStatement(w); !pool.empty()) update.ExecSQL(pool);
  update.ExecSQL(TransInsertStatement(w.trans, family));
}

void TOdbcWriter::RecordUnknownTicket(const TUnknownTicket& ticket) {
  TODBCStatement insert(&db_);
  insert.ExecSQL(UnknownTicketStatement(ticket, db_.DriverFamily()));
}

void TOdbcWriter::ApplyTicketTaken(const TTicketTaken& taken) {
  TODBCStatement update(&db_);
  update.ExecSQL(TicketTakenStatement(taken, db_.DriverFamily()));
}

bool TOdbcWriter::ApplyDispenserRecord(const TDispenserWrites& w) {
  TODBCStatement write(&db_);
  const std::vector<std::string> statements = DispenserStatements(w, db_.DriverFamily());
  for (size_t i = 0; i + 1 < statements.size(); ++i) write.ExecSQL(statements[i]);
  return write.ExecSQL(statements.back());
}

}  // namespace tarn
