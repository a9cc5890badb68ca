#include "db/CompoundText.h"

namespace tarn {

std::string QueryBlock(const std::vector<TBlockQuery>& queries) {
  std::string text = "BEGIN NOT ATOMIC ";
  for (const TBlockQuery& q : queries) {
    if (q.optional)
      // The handler ends this inner block only: the failure gives no result, nothing more.
      text += "BEGIN DECLARE CONTINUE HANDLER FOR SQLEXCEPTION BEGIN END; " + q.sql + "; END; ";
    else
      text += q.sql + "; ";
  }
  return text + "END";
}

std::string WholeWriteText(const std::string& markId, uint64_t seq, const std::vector<std::string>& writes,
                           const std::string& report) {
  std::string body;
  for (const std::string& w : writes)
    if (!w.empty()) body += w + "; ";
  const std::string done = "COMMIT; SELECT '" + std::string(kWriteDone) + "' AS tarn_outcome" + report + "; ";
  const std::string onFailure = "DECLARE EXIT HANDLER FOR SQLEXCEPTION BEGIN ROLLBACK; RESIGNAL; END; ";
  if (markId.empty()) return "BEGIN NOT ATOMIC " + onFailure + "START TRANSACTION; " + body + done + "END";
  const std::string n = std::to_string(seq);
  const std::string id = "'" + markId + "'";
  return "BEGIN NOT ATOMIC DECLARE tarn_moved INT DEFAULT 0; DECLARE tarn_marks INT DEFAULT 0; " + onFailure +
         "START TRANSACTION; "
         // The row lock of this UPDATE waits for a first run still in flight on the server.
         "UPDATE write_mark SET seq = " + n + ", made = NOW() WHERE id = " + id + " AND seq <> " + n + "; "
         "SET tarn_moved = ROW_COUNT(); "
         "IF tarn_moved = 0 THEN SELECT COUNT(*) INTO tarn_marks FROM write_mark WHERE id = " + id + "; END IF; "
         "IF tarn_marks > 0 THEN ROLLBACK; SELECT '" + std::string(kWriteAppliedEarlier) + "' AS tarn_outcome; "
         "ELSE "
         "IF tarn_moved = 0 THEN BEGIN "
         "DECLARE EXIT HANDLER FOR 1062 SIGNAL SQLSTATE '40001' SET MYSQL_ERRNO = 1213, "
         "MESSAGE_TEXT = 'The write mark was made by another run at the same moment'; "
         "INSERT INTO write_mark (id, seq, made) VALUES (" + id + ", " + n + ", NOW()); END; END IF; " +
         body + done + "END IF; END";
}

std::string WritesShown(const std::vector<std::string>& writes) {
  std::string shown;
  for (const std::string& w : writes) {
    if (w.empty()) continue;
    if (!shown.empty()) shown += "; ";
    shown += w;
  }
  return shown;
}

bool RefusesCompound(const TDiagRecord& diag) { return diag.native == 1064; }

}  // namespace tarn
