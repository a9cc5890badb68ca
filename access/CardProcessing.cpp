#include "access/CardProcessing.h"

#include <cmath>
#include <stdexcept>

#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"
#include "log/TMessLog.h"
#include "util/Format.h"
#include "util/Strings.h"
#include "util/TicketTime.h"

namespace tarn {
namespace {

bool IsDebitType(TODBCStatement& cardType) {
  return cardType.FieldAsBoolean("debit_flg") || cardType.FieldAsBoolean("debit_reset_flag");
}

// The moment stored with a memory read: "YYMMDDhhmm".
TDateTime MemoryTime(const std::string& memData) {
  const int year = 2000 + IntAt(memData, 1, 2, 0);
  const int month = IntAt(memData, 3, 2, 0);
  const int day = IntAt(memData, 5, 2, 0);
  const int minutes = ClockMinutes(IntAt(memData, 7, 4, 0));
  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, date))
    throw std::runtime_error("Invalid memory date: '" + memData + "'");
  TDateTime when = date + minutes / 1440.0;
  // The reader's clock runs its own course: a stored time more than five minutes ahead of
  // ours belongs to yesterday. Whole milliseconds, so that exactly five minutes stays today.
  if (std::llround((when - Now()) * kMsPerDay) > 5 * 60000) when -= 1;
  return when;
}

}  // namespace

bool ChargeDebit(TODBC& db, TODBCStatement& card, TODBCStatement& cardType, bool debitExpiry, TDateTime when) {
  const bool debitFlg = cardType.FieldAsBoolean("debit_flg");
  const bool debitReset = cardType.FieldAsBoolean("debit_reset_flag");
  if (!debitFlg && !debitReset) return false;
  TODBCStatement& source = cardType.FieldAsBoolean("global_expiry") ? cardType : card;
  const TDateTime start = source.FieldAsDateTime("start_dt");
  // Charged under the same conditions that let the balance decide in the validation.
  const bool applies = (debitExpiry && debitFlg && when < start) || (debitReset && when > start) ||
                       (debitFlg && DecodeDateTime(start).year < 2000) || (!debitExpiry && debitFlg && when > start);
  if (!applies) return false;
  // A use within the time limit of the last charged use is free.
  if (cardType.FieldAsBoolean("debit_time_limit_flg") &&
      std::llround((when - card.FieldAsDateTime("debit_date")) * kMsPerDay) <=
          static_cast<int64_t>(cardType.FieldAsInteger("debit_time_limit")) * 60000)
    return false;
  const std::string number = CardNumberText(CardNumberField(card, "number").value_or(0));
  TODBCStatement update(&db);
  if (debitReset && card.FieldAsDateTime("debit_reset_date") < when) {
    // Monthly renewal: this use is the first of the new month's allowance.
    update.ExecSQLFmt("UPDATE card SET debit_left = %d, debit_reset_date = {ts '%s'} WHERE number = %s",
                      cardType.FieldAsInteger("uses") - 1, FormatDateTime("YYYY-MM-DD HH:NN:SS", EndOfTheMonth(when)),
                      number);
  } else {
    update.ExecSQLFmt("UPDATE card SET debit_left = %d WHERE number = %s", card.FieldAsInteger("debit_left") - 1,
                      number);
  }
  return true;
}

void UpdatePathwayGate(TODBC& db, TODBCStatement& card, TODBCStatement& device, TODBCStatement& cardType) {
  const int pathway = cardType.FieldAsInteger("pathway_id");
  if (pathway <= 0) return;
  const int deviceId = device.FieldAsInteger("id");
  bool startsLeg = false;
  {
    TODBCStatement leg(&db);
    startsLeg = leg.ExecSQLFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d", pathway, deviceId);
  }
  // A device that starts no leg of the pathway takes the card off it.
  TODBCStatement update(&db);
  update.ExecSQLFmt("UPDATE card SET in_gate=%d WHERE number=%s", startsLeg ? deviceId : -1,
                    CardNumberText(CardNumberField(card, "number").value_or(0)));
}

void UpdatePoolCount(TODBC& db, TODBCStatement& card, TODBCStatement& device) {
  const int group = card.FieldAsInteger("group_id");
  if (group < 1) return;
  // The conditions are part of the UPDATEs: a missing pool changes nothing, and an exit
  // never takes the count below zero.
  const int dir = device.FieldAsInteger("dir_ection");
  TODBCStatement update(&db);
  if (dir == 1)
    update.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d", group);
  else if (dir == 2)
    update.ExecSQLFmt("UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d and cur_inlot > 0", group);
}

AccessResult ProcessCard(bool debugLog, TMessLog& log, TODBC& db, bool debitExpiry, std::string& deviceName,
                         std::string& firstName, TDateTime& eventTime, const std::string& memData, bool memFlag,
                         int& specialSpace, int& openPulse, CardNumber cardNo, int address, int loopId) {
  const TDateTime when = memFlag ? MemoryTime(memData) : Now();
  eventTime = when;

  TODBCStatement device(&db);
  device.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address);
  TODBCStatement settings(&db);
  settings.ExecSQL("SELECT * FROM settings");

  TODBCStatement cardType(&db);
  TODBCStatement card(&db);
  const AccessResult r = CheckCard(debugLog, log, db, debitExpiry, settings.FieldAsInteger("stup_pbrst"), cardNo, when,
                                   settings, device, cardType, card);

  if (CardPasses(r)) {
    const int dir = device.FieldAsInteger("dir_ection");
    bool charged = false;
    if (dir != 3 && IsDebitType(cardType) && device.FieldAsBoolean("debit_flag"))
      charged = ChargeDebit(db, card, cardType, debitExpiry, when);
    TODBCStatement update(&db);
    // The direction in lot, except at a device without passback bookkeeping.
    const std::string where = "WHERE number = " + CardNumberText(cardNo);
    if (dir != 3) update.ExecSQLFmt("UPDATE card SET in_lot = %d %s", dir, where);
    // A debit card charged per use keeps the time of its last charged use.
    if (!cardType.FieldAsBoolean("debit_flg") || cardType.FieldAsBoolean("debit_reset_flag") || charged) {
      TSql sql(db.DriverFamily());
      sql.AddDateTime("debit_date", when);
      update.ExecSQL(sql.BuildUpdate("UPDATE card", where));
    }
    {
      TSql sql(db.DriverFamily());
      sql.AddDateTime("trans_dt", when);
      update.ExecSQL(sql.BuildUpdate("UPDATE card", where));
    }
    UpdatePathwayGate(db, card, device, cardType);
    // A soft group pass lets the card in without counting it into the full pool.
    if ((r & ~kSoftBit) != kGroupMax) UpdatePoolCount(db, card, device);
  }

  openPulse = static_cast<int>(std::trunc(device.FieldAsFloat("open_pulse")));
  specialSpace = device.FieldAsBoolean("special_out") ? card.FieldAsInteger("space_no") : -1;
  deviceName = device.FieldAsString("name");
  firstName = card.FieldAsString("first_name");

  const std::string number = CardNumberText(cardNo);
  TSql sql(db.DriverFamily());
  sql.AddField("card_no", number, false);
  sql.AddDateTime("dat_e", when);
  sql.AddInteger("device_id", device.FieldAsInteger("id"));
  sql.AddInteger("error_code", r);
  sql.AddField("error_desc", ResultText(r), true);
  sql.AddField("cardno", number, false);
  sql.AddField("device_name", deviceName, true);
  sql.AddField("first_name", firstName, true);
  sql.AddField("last_name", card.FieldAsString("last_name"), true);
  sql.AddInteger("mem_flag", memFlag ? 1 : 0);
  TODBCStatement insert(&db);
  insert.ExecSQL(sql.BuildInsert("INSERT INTO trans", "Values", ""));
  return r;
}

std::string ExpandMessage(TODBCStatement& card, const std::string& message, TODBCStatement& cardType,
                          const std::string& cardNoText) {
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != '%') {
      out += message[i];
      continue;
    }
    if (++i >= message.size()) break;
    switch (message[i]) {
      case '1': out += card.FieldAsString("misc_1"); break;
      case '2': out += card.FieldAsString("misc_2"); break;
      case '3': out += card.FieldAsString("misc_3"); break;
      case '4': out += card.FieldAsString("misc_4"); break;
      case 'c':
        // Drivers give the number column's text as "1001.0" or "1001.00", which is not how
        // the card reads on the display.
        out += cardNoText.empty() ? CardNumberText(CardNumberField(card, "number").value_or(0)) : cardNoText;
        break;
      case 'd':
        if (IsDebitType(cardType))
          out += std::to_string(card.FieldAsInteger("debit_left"));
        else
          out += std::to_string(static_cast<int64_t>(std::trunc(card.FieldAsDateTime("exp_iry") - Now())));
        break;
      case 'f': out += card.FieldAsString("first_name"); break;
      case 'l': out += card.FieldAsString("last_name"); break;
      case 's': out += card.FieldAsString("str_eet"); break;
      default: break;
    }
  }
  return TrimRight(out);
}

}  // namespace tarn
