#include "access/UnreadableCard.h"

#include "access/CardValidation.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"
#include "util/DateTime.h"

namespace tarn {

std::string RecordUnreadableCard(TODBC& db, int address, int loopId) {
  TODBCStatement device(&db);
  device.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address);
  const std::string deviceName = device.FieldAsString("name");
  const std::string number = CardNumberText(0);
  TSql sql(db.DriverFamily());
  sql.AddField("card_no", number, false);
  sql.AddDateTime("dat_e", Now());
  sql.AddInteger("device_id", device.FieldAsInteger("id"));
  sql.AddInteger("error_code", kNotOnFile);
  sql.AddField("error_desc", ResultText(kNotOnFile), true);
  sql.AddField("cardno", number, false);
  sql.AddField("device_name", deviceName, true);
  sql.AddField("first_name", "", true);
  sql.AddField("last_name", "", true);
  sql.AddInteger("mem_flag", 0);
  TODBCStatement insert(&db);
  insert.ExecSQL(sql.BuildInsert("INSERT INTO trans", "Values", ""));
  return deviceName;
}

}  // namespace tarn
