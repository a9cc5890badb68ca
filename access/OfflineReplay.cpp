#include "access/OfflineReplay.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include "access/CardColumns.h"
#include "access/CardValidation.h"
#include "db/RetryPolicy.h"
#include "db/SqlDiag.h"
#include "db/TODBC.h"
#include "db/TSql.h"
#include "log/TMessLog.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// One execution on the connection's own statement handle, run on its worker thread.
struct TRawRun {
  SQLRETURN code = SQL_ERROR;
  std::vector<TDiagRecord> records;
  std::vector<std::map<std::string, std::string>> rows;  // column names upper-cased
  bool Ran() const { return SqlSucceeded(code) || code == SQL_NO_DATA; }
};

class TRawSession {
 public:
  explicit TRawSession(TODBC& db) : db_(db) {
    auto handle = std::make_shared<SQLHSTMT>(static_cast<SQLHSTMT>(SQL_NULL_HSTMT));
    const bool ran = Call(
        [library = db_.LibraryRef(), dbc = db_.ConnectionHandle(), handle] {
          if (!SqlSucceeded(library->Api().SQLAllocHandle(SQL_HANDLE_STMT, dbc, handle.get()))) *handle = SQL_NULL_HSTMT;
        },
        {});
    handle_ = ran ? *handle : SQL_NULL_HSTMT;
  }
  ~TRawSession() {
    // A connection closed or given up meanwhile has freed its statements with it.
    if (handle_ == SQL_NULL_HSTMT || !db_.Connected()) return;
    Call([library = db_.LibraryRef(), h = handle_] { library->Api().SQLFreeHandle(SQL_HANDLE_STMT, h); }, {});
  }
  TRawSession(const TRawSession&) = delete;
  TRawSession& operator=(const TRawSession&) = delete;

  bool Valid() const { return handle_ != SQL_NULL_HSTMT; }

  TRawRun Exec(const std::string& sql, bool fetch) {
    if (handle_ == SQL_NULL_HSTMT) return TRawRun{};
    // The job owns what it uses: a call given up after its bound may end after this session.
    auto run = std::make_shared<TRawRun>();
    db_.CountRoundTrip();
    const bool ran = Call([library = db_.LibraryRef(), h = handle_, sql, fetch, run] {
      const TOdbcEntryPoints& api = library->Api();
      api.SQLFreeStmt(h, SQL_CLOSE);
      run->code = api.SQLExecDirect(h, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
      if (!run->Ran()) {
        run->records = ReadDiagRecords(api, SQL_HANDLE_STMT, h);
        return;
      }
      if (!fetch || run->code == SQL_NO_DATA) return;
      SQLSMALLINT count = 0;
      api.SQLNumResultCols(h, &count);
      std::vector<std::string> names;
      for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(count); ++c) {
        SQLCHAR name[256] = {0};
        SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        api.SQLDescribeCol(h, c, name, sizeof name, &length, &type, &size, &digits, &nullable);
        names.push_back(UpperCase(reinterpret_cast<const char*>(name)));
      }
      for (;;) {
        const SQLRETURN f = api.SQLFetch(h);
        if (f == SQL_NO_DATA) break;
        if (!SqlSucceeded(f)) {
          run->code = f;
          run->records = ReadDiagRecords(api, SQL_HANDLE_STMT, h);
          return;
        }
        std::map<std::string, std::string> row;
        for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(count); ++c) {
          char buffer[512];
          SQLLEN indicator = 0;
          std::string value;
          for (;;) {
            const SQLRETURN g = api.SQLGetData(h, c, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
            if (g == SQL_NO_DATA || !SqlSucceeded(g) || indicator == SQL_NULL_DATA) break;
            const size_t got = (indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer))
                                   ? sizeof buffer - 1
                                   : static_cast<size_t>(indicator);
            value.append(buffer, got);
            if (g == SQL_SUCCESS) break;
          }
          row[names[c - 1]] = Trim(value);
        }
        run->rows.push_back(std::move(row));
      }
    }, sql);
    if (!ran) return TRawRun{};
    return std::move(*run);
  }

 private:
  // One call on the connection's worker within a statement's bound; false when it did not
  // run there (no worker) or was given up (the connection is lost then).
  bool Call(std::function<void()> job, std::string_view sql) {
    return db_.RunOnWorker(std::move(job), TODBC::TCall{"Statement", sql,
                                                        db_.WaitBoundMs(TODBC::TWaitKind::Statement), false}) ==
           TODBC::TRun::Done;
  }

  TODBC& db_;
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

std::string Quoted(const std::string& text, uint8_t family) {
  std::string s = ReplaceAll(text, "'", "''");
  if (family == dfMySQL) s = ReplaceAll(s, "\\", "\\\\");
  return "'" + s + "'";
}

std::string TimeLiteral(TDateTime t) { return "{ts '" + FormatDateTime("YYYY-MM-DD HH:NN:SS", t) + "'}"; }

std::string CardUpdate(const TCardWrites& w, uint8_t family, int onlyGroup) {
  TSql sql(family);
  for (int g = 0; g < kCardGroups; ++g)
    if (onlyGroup < 0 || g == onlyGroup) AddCardGroup(sql, w, g);
  return sql.BuildUpdate("UPDATE card", "WHERE number = " + CardNumberText(w.card));
}

std::vector<std::string> CardStatements(const TCardWrites& w, uint8_t family) {
  std::vector<std::string> out;
  if (w.typeActivation) {
    TSql sql(family);
    AddActivation(sql, *w.typeActivation);
    out.push_back(sql.BuildUpdate("UPDATE card_type", "WHERE id = " + std::to_string(w.typeActivation->cardTypeId)));
  }
  if (w.TouchesCard()) out.push_back(CardUpdate(w, family, -1));
  if (w.poolId >= 1 && w.poolChange > 0)
    out.push_back(Format("UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d", w.poolId));
  else if (w.poolId >= 1 && w.poolChange < 0)
    out.push_back(Format("UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d and cur_inlot > 0", w.poolId));
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
  out.push_back(sql.BuildInsert("INSERT INTO trans", "Values", ""));
  return out;
}

std::vector<std::string> DispenserStatements(const TDispenserWrites& w, TDateTime made, uint8_t family) {
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
  // The moment of the record, not of the replay.
  sql.AddDateTime("l_date", made);
  out.push_back(w.update ? sql.BuildSQL("tickinv", false, TicketCondition(w.where, family))
                         : sql.BuildSQL("tickinv", true, ""));
  return out;
}

struct TStatementsOf {
  TDateTime made;
  uint8_t family;
  std::vector<std::string> operator()(const TCardWrites& w) const { return CardStatements(w, family); }
  std::vector<std::string> operator()(const TUnknownTicket& t) const {
    TSql sql(family);
    sql.AddField("barcode", t.barcode, true);
    sql.AddInteger("issuerid", 0);
    sql.AddInteger("status", 0);
    sql.AddDateTime("in_date", t.issued);
    sql.AddDateTime("l_date", made);
    return {sql.BuildSQL("tickinv", true, "")};
  }
  std::vector<std::string> operator()(const TTicketTaken& t) const {
    TSql sql(family);
    sql.AddInteger("takerid", t.takerId);
    if (t.status) sql.AddInteger("status", *t.status);
    sql.AddDateTime("out_date", made);
    sql.AddDateTime("l_date", made);
    return {sql.BuildSQL("tickinv", false, BarcodeCondition(t.barcode, family))};
  }
  std::vector<std::string> operator()(const TDispenserWrites& w) const { return DispenserStatements(w, made, family); }
  std::vector<std::string> operator()(const TSoftCount&) const { return {}; }
  std::vector<std::string> operator()(const TDeviceStatus& d) const {
    if (d.columns.empty()) return {};
    TSql sql(family);
    for (const auto& [column, value] : d.columns) sql.AddInteger(column, value);
    return {sql.BuildUpdate("UPDATE device",
                            "WHERE loop_id = " + std::to_string(d.loopId) + " and addr_ess = " + std::to_string(d.address))};
  }
};

int IntOf(const std::map<std::string, std::string>& row, const std::string& column) {
  auto it = row.find(column);
  return it == row.end() ? 0 : static_cast<int>(StrToFloatDef(it->second, 0));
}

}  // namespace

std::vector<std::string> ReplayStatements(const TOfflineWrite& write, TDateTime made, uint8_t family) {
  return std::visit(TStatementsOf{made, family}, write);
}

std::string ReplayKey(const std::string& journalId, int64_t entryId) {
  return journalId + ":" + std::to_string(entryId);
}

TOfflineReplay::TOfflineReplay(TODBC& central, std::string journalId, TMessLog* log)
    : central_(central), journalId_(std::move(journalId)), log_(log) {}

bool TOfflineReplay::SetUp(std::string& error) {
  TRawSession s(central_);
  if (!s.Valid()) {
    error = "no statement on the connection";
    return false;
  }
  const bool mysql = central_.DriverFamily() == dfMySQL;
  const TRawRun made = s.Exec(mysql ? "CREATE TABLE IF NOT EXISTS offline_applied (entry VARCHAR(64) NOT NULL PRIMARY "
                                      "KEY, made DATETIME NOT NULL) ENGINE=InnoDB"
                                    : "CREATE TABLE IF NOT EXISTS offline_applied (entry VARCHAR(64) NOT NULL PRIMARY "
                                      "KEY, made DATETIME NOT NULL)",
                              false);
  // Without the right to create tables the table may be there all the same.
  const TRawRun probe = s.Exec("SELECT entry FROM offline_applied WHERE 1 = 0", false);
  if (!probe.Ran()) {
    error = (made.records.empty() ? probe.records : made.records).empty()
                ? "the table offline_applied cannot be made"
                : "the table offline_applied cannot be made: " +
                      (made.records.empty() ? probe.records : made.records).front().message;
    return false;
  }
  // Keys of entries applied long ago are not needed any more: the journal let them go once
  // they were applied.
  s.Exec("DELETE FROM offline_applied WHERE made < " + TimeLiteral(Now() - 30), false);
  return true;
}

TOfflineReplay::TBatch TOfflineReplay::Apply(const std::vector<TJournalRecord>& records) {
  TBatch batch;
  if (records.empty()) {
    batch.result = TResult::Applied;
    return batch;
  }
  const uint8_t family = central_.DriverFamily();
  const bool mysql = family == dfMySQL;
  TRawSession s(central_);
  if (!s.Valid()) {
    batch.result = TResult::LinkLost;
    batch.error = "no statement on the connection";
    return batch;
  }
  // What a failed run means for the batch; a lock wait that timed out is tried again later
  // rather than losing one write of the entry.
  auto outcomeOf = [&](const TRawRun& run) {
    const TDiagRecord first = run.records.empty() ? TDiagRecord{} : run.records.front();
    if (!central_.Connected() || run.records.empty()) return TResult::LinkLost;
    if (mysql && first.native == 1205) return TResult::Conflict;
    switch (FailureKindOf(first, mysql)) {
      case TSqlOutcome::TKind::LinkLost: return TResult::LinkLost;
      case TSqlOutcome::TKind::Conflict: return TResult::Conflict;
      default: return TResult::Failed;
    }
  };
  auto abort = [&](TResult result, const TRawRun& run) {
    if (result != TResult::LinkLost) s.Exec("ROLLBACK", false);
    if (result == TResult::LinkLost) central_.MarkConnectionDead();
    batch.result = result;
    batch.applied = 0;
    batch.error = run.records.empty() ? "no answer from the database" : run.records.front().ToString();
    return batch;
  };

  TRawRun begin = s.Exec(mysql ? "START TRANSACTION" : "BEGIN", false);
  if (!begin.Ran()) return abort(outcomeOf(begin), begin);

  std::string keys;
  for (const TJournalRecord& r : records) keys += (keys.empty() ? "" : ", ") + Quoted(ReplayKey(journalId_, r.id), family);
  TRawRun found = s.Exec("SELECT entry FROM offline_applied WHERE entry IN (" + keys + ")", true);
  if (!found.Ran()) return abort(outcomeOf(found), found);
  std::set<std::string> applied;
  for (const auto& row : found.rows) {
    auto it = row.find("ENTRY");
    if (it != row.end()) applied.insert(it->second);
  }

  // A statement of an entry: refused for a reason of its own it is logged and the entry goes
  // on; a lost link or a conflict ends the batch (nothing of it stays).
  std::optional<TResult> stop;
  TRawRun stopRun;
  auto run = [&](const std::string& sql, int64_t entryId, bool fetch = false) -> std::optional<TRawRun> {
    TRawRun r = s.Exec(sql, fetch);
    if (r.Ran()) return r;
    const TResult kind = outcomeOf(r);
    if (kind != TResult::Failed) {
      stop = kind;
      stopRun = r;
      return std::nullopt;
    }
    ++batch.refused;
    if (log_ != nullptr)
      log_->Log("Offline write " + std::to_string(entryId) + " refused by the database: " + sql.substr(0, 300) + " (" +
                (r.records.empty() ? std::string() : r.records.front().ToString()) + ")");
    return std::nullopt;
  };

  for (const TJournalRecord& r : records) {
    const std::string key = ReplayKey(journalId_, r.id);
    if (applied.count(key) != 0) {
      ++batch.earlier;
      continue;
    }
    if (!r.write) {
      if (log_ != nullptr) log_->Log("Offline write " + std::to_string(r.id) + " (" + r.kind + ") cannot be read: dropped");
    } else if (const auto* soft = std::get_if<TSoftCount>(&*r.write)) {
      // As the counters count a passage: the lots of the device's input 7 move by one, the
      // lot-full outputs and signs of the lots are flagged, count_soft (and the shared mark)
      // rise by one.
      const std::optional<TRawRun> device = run(Format("SELECT * FROM device WHERE id = %d", soft->deviceId), r.id, true);
      if (stop) return abort(*stop, stopRun);
      if (device && !device->rows.empty()) {
        const int deviceLot = IntOf(device->rows.front(), "LOT_ID");
        const bool softSeen = device->rows.front().count("SOFT_SEEN") != 0;
        const std::optional<TRawRun> lot = run(Format("SELECT * FROM lot WHERE id = %d", deviceLot), r.id, true);
        if (stop) return abort(*stop, stopRun);
        if (lot && !lot->rows.empty()) {
          const std::optional<TRawRun> items = run(
              Format("SELECT c.*,k.lot_id FROM counter_item c left join counters k on c.cntr_id=k.id "
                     "WHERE device_id=%d and input=7",
                     soft->deviceId),
              r.id, true);
          if (stop) return abort(*stop, stopRun);
          for (const auto& item : items ? items->rows : std::vector<std::map<std::string, std::string>>{}) {
            const int lotId = IntOf(item, "LOT_ID");
            const int change = IntOf(item, "CHG_LOT");
            std::string sql;
            if (change == 1)
              sql = Format("UPDATE lot SET lot_count=lot_count+1 WHERE id=%d", lotId);
            else if (change == 2)
              sql = Format("UPDATE lot SET lot_count = CASE WHEN lot_count - 1 < 0 THEN 0 ELSE lot_count - 1 END "
                           "WHERE id=%d",
                           lotId);
            if (sql.empty()) continue;
            std::vector<std::string> statements = {sql};
            for (int flagged : {lotId, deviceLot}) {
              statements.push_back(
                  Format("UPDATE device SET lf_output_flag = 1 WHERE lot_id = %d and lf_enabled <> 0", flagged));
              statements.push_back(Format("UPDATE device SET lf_sign_flag = 1 WHERE lot_id = %d and lf_sign <> 0", flagged));
              if (flagged == deviceLot && deviceLot == lotId) break;
            }
            for (const std::string& statement : statements) {
              run(statement, r.id);
              if (stop) return abort(*stop, stopRun);
            }
          }
        }
        run(softSeen ? Format("UPDATE device SET count_soft = count_soft + 1, soft_seen = soft_seen + 1 WHERE id = %d",
                              soft->deviceId)
                     : Format("UPDATE device SET count_soft = count_soft + 1 WHERE id = %d", soft->deviceId),
            r.id);
        if (stop) return abort(*stop, stopRun);
      } else {
        run(Format("UPDATE device SET count_soft = count_soft + 1 WHERE id = %d", soft->deviceId), r.id);
        if (stop) return abort(*stop, stopRun);
      }
    } else {
      const std::vector<std::string> statements = ReplayStatements(*r.write, r.made, family);
      for (const std::string& sql : statements) {
        const int refusedBefore = batch.refused;
        run(sql, r.id);
        if (stop) return abort(*stop, stopRun);
        // A card table without one of the columns refuses the whole UPDATE: each group on its
        // own then, so the others are still written.
        const auto* card = std::get_if<TCardWrites>(&*r.write);
        if (card && batch.refused > refusedBefore && StartsText("UPDATE card ", sql)) {
          for (int g = 0; g < kCardGroups; ++g) {
            TSql probe(family);
            if (!AddCardGroup(probe, *card, g)) continue;
            run(CardUpdate(*card, family, g), r.id);
            if (stop) return abort(*stop, stopRun);
          }
        }
      }
    }
    // Without its key the entry could be applied again: the batch does not commit without it.
    const TRawRun mark =
        s.Exec("INSERT INTO offline_applied (entry, made) VALUES (" + Quoted(key, family) + ", " + TimeLiteral(Now()) + ")",
               false);
    if (!mark.Ran()) return abort(outcomeOf(mark), mark);
    ++batch.applied;
  }
  TRawRun commit = s.Exec("COMMIT", false);
  if (!commit.Ran()) return abort(outcomeOf(commit), commit);
  batch.result = TResult::Applied;
  return batch;
}

}  // namespace tarn
