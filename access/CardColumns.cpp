#include "access/CardColumns.h"

namespace tarn {

void AddActivation(TSql& sql, const TActivation& activation) {
  sql.AddInteger("date_set", 1);
  sql.AddDateTime("start_dt", activation.start);
  sql.AddDateTime("exp_iry", activation.expiry);
}

bool AddCardGroup(TSql& sql, const TCardWrites& w, int group) {
  switch (group) {
    case 0:
      if (!w.cardActivation) return false;
      AddActivation(sql, *w.cardActivation);
      return true;
    case 1:
      if (!w.debitLeft) return false;
      sql.AddInteger("debit_left", *w.debitLeft);
      if (w.debitResetDate) sql.AddDateTime("debit_reset_date", *w.debitResetDate);
      return true;
    case 2:
      if (!w.inLot) return false;
      sql.AddInteger("in_lot", *w.inLot);
      return true;
    case 3:
      if (!w.debitDate) return false;
      sql.AddDateTime("debit_date", *w.debitDate);
      return true;
    case 4:
      if (!w.transDt) return false;
      sql.AddDateTime("trans_dt", *w.transDt);
      return true;
    case 5:
      if (!w.inGate) return false;
      sql.AddInteger("in_gate", *w.inGate);
      return true;
    default: return false;
  }
}

}  // namespace tarn
