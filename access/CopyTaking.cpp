#include "access/CopyTaking.h"

#include <cstdio>
#include <functional>
#include <vector>

#include "access/CardValidation.h"
#include "access/OfflineCopy.h"
#include "db/SqliteFile.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// How a column of the database is read into the copy: with the same accessor the decisions'
// row readers use, so the copy holds what they would have read.
enum class TKind { Int, Bool, Real, Text, Time };

struct TColumn {
  const char* name;
  TKind kind;
};

void BindColumn(TSqliteStatement& ins, int index, TODBCStatement& row, const TColumn& c) {
  switch (c.kind) {
    case TKind::Int: ins.Bind(index, static_cast<int64_t>(row.FieldAsInteger(c.name))); break;
    case TKind::Bool: ins.Bind(index, row.FieldAsBoolean(c.name) ? 1 : 0); break;
    case TKind::Real: ins.Bind(index, row.FieldAsFloat(c.name)); break;
    case TKind::Text: ins.Bind(index, row.FieldAsString(c.name)); break;
    case TKind::Time:
      // A column the database does not have reads as today's date at every read: kept as null.
      if (row.FindColumn(c.name) < 0)
        ins.BindNull(index);
      else
        ins.Bind(index, row.FieldAsDateTime(c.name));
      break;
  }
}

const std::vector<TColumn> kPeriod = {
    {"date_set", TKind::Bool}, {"start_dt", TKind::Time}, {"exp_iry", TKind::Time},
    {"prev_strt", TKind::Time}, {"prev_exp", TKind::Time}};

std::vector<TColumn> With(std::vector<TColumn> columns, const std::vector<TColumn>& more) {
  columns.insert(columns.end(), more.begin(), more.end());
  return columns;
}

struct TTable {
  const char* name;  // in the copy
  std::vector<TColumn> columns;
};

const std::vector<TTable>& PlainTables() {
  static const std::vector<TTable> tables = {
      {"messages",
       {{"id", TKind::Int}, {"idle", TKind::Text}, {"gateup", TKind::Text}, {"accepted", TKind::Text},
        {"not_on_file", TKind::Text}, {"access", TKind::Text}, {"inac_tive", TKind::Text}, {"passback", TKind::Text},
        {"max_group", TKind::Text}, {"not_on_path", TKind::Text}}},
      {"card_type",
       With({{"id", TKind::Int}, {"access_level_id", TKind::Int}, {"days", TKind::Int}, {"global_expiry", TKind::Bool},
             {"first_use_flg", TKind::Bool}, {"debit_flg", TKind::Bool}, {"debit_reset_flag", TKind::Bool},
             {"debit_time_limit", TKind::Int}, {"debit_time_limit_flg", TKind::Bool}, {"no_expiry_flg", TKind::Bool},
             {"pathway_id", TKind::Int}, {"ignore_passback", TKind::Bool}, {"uses", TKind::Int}, {"msg_id", TKind::Int}},
            kPeriod)},
      {"card_pool", {{"id", TKind::Int}, {"max_inlot", TKind::Int}, {"cur_inlot", TKind::Int}}},
      {"a_l_range",
       {{"id", TKind::Int}, {"access_level_id", TKind::Int}, {"day_1", TKind::Bool}, {"day_2", TKind::Bool},
        {"day_3", TKind::Bool}, {"day_4", TKind::Bool}, {"day_5", TKind::Bool}, {"day_6", TKind::Bool},
        {"day_7", TKind::Bool}, {"day_8", TKind::Bool}, {"day_9", TKind::Bool}, {"start_time", TKind::Time},
        {"end_time", TKind::Time}}},
      {"a_l_range_device", {{"a_l_range_id", TKind::Int}, {"device_id", TKind::Int}}},
      // The date as the database's text: the decisions look it up by "yyyy-mm-dd".
      {"holiday", {{"holi_day", TKind::Text}, {"tab_num", TKind::Int}}},
      {"pathway_ft",
       {{"pathway_id", TKind::Int}, {"from_device", TKind::Int}, {"to_device", TKind::Int}, {"time_limit", TKind::Int}}},
      {"spots", {{"number", TKind::Int}, {"floor", TKind::Int}}},
      {"lot", {{"id", TKind::Int}, {"name", TKind::Text}, {"lot_count", TKind::Int}, {"max_capacity", TKind::Int}}},
      {"counters", {{"id", TKind::Int}, {"lot_id", TKind::Int}}},
      {"counter_item", {{"device_id", TKind::Int}, {"input", TKind::Int}, {"cntr_id", TKind::Int}, {"chg_lot", TKind::Int}}},
  };
  return tables;
}

const TTable kLoop = {"loop",
                      {{"id", TKind::Int}, {"name", TKind::Text}, {"enabled", TKind::Bool}, {"port", TKind::Int},
                       {"rfmodem", TKind::Bool}}};
const TTable kDevice = {"device",
                        {{"id", TKind::Int}, {"loop_id", TKind::Int}, {"addr_ess", TKind::Int}, {"name", TKind::Text},
                         {"msg_id", TKind::Int}, {"device_type", TKind::Int}, {"dir_ection", TKind::Int},
                         {"no_path", TKind::Int}, {"debit_flag", TKind::Bool}, {"open_pulse", TKind::Real},
                         {"special_out", TKind::Bool}, {"lot_id", TKind::Int}, {"count_soft", TKind::Int},
                         {"door_input", TKind::Int}, {"ajar_timer", TKind::Int}, {"ajar_output", TKind::Int},
                         {"fire_input", TKind::Int}}};
const TTable kSettings = {"settings",
                          {{"soft_group", TKind::Bool}, {"soft_path", TKind::Bool}, {"soft_pb", TKind::Bool},
                           {"stup_pbrst", TKind::Int}}};

std::string InsertText(const std::string& table, const std::vector<std::string>& columns) {
  std::string names, marks;
  for (const std::string& c : columns) {
    names += (names.empty() ? "" : ", ") + c;
    marks += marks.empty() ? "?" : ", ?";
  }
  return "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")";
}

std::vector<std::string> NamesOf(const std::vector<TColumn>& columns) {
  std::vector<std::string> names;
  for (const TColumn& c : columns) names.push_back(c.name);
  return names;
}

class TCopier {
 public:
  TCopier(TODBC& central, TSqliteFile& out, const std::atomic<bool>& stop) : central_(central), out_(out), stop_(stop) {}

  // Runs `select` and hands every row to `row`; false when the copy must fail (stopped, the
  // link lost, or the copy not written). A query the database refuses (a table the site does
  // not have) gives no rows, as it does to the decisions.
  bool Rows(const std::string& select, const std::function<bool(TODBCStatement&)>& row) {
    TODBCStatement q(&central_);
    const TSqlOutcome outcome = q.Execute(select);
    if (!outcome.ok()) {
      if (outcome.linkLost() || !central_.Connected() || central_.ConnectionDead()) {
        error = "the database was lost while the copy was read";
        return false;
      }
      return true;
    }
    if (outcome.kind() != TSqlOutcome::TKind::Row) return true;
    int64_t n = 0;
    do {
      if ((++n & 1023) == 0 && stop_.load()) {
        error = "stopped";
        return false;
      }
      ++rows;
      if (!row(q)) {
        error = "the copy could not be written: " + out_.Error();
        return false;
      }
    } while (q.dbSkip(skNext, 1));
    return true;
  }

  // A table copied column by column; `limit` rows at most (0: all).
  bool Table(const TTable& table, const std::string& select, int limit = 0) {
    TSqliteStatement ins = out_.Prepare(InsertText(table.name, NamesOf(table.columns)));
    if (!ins.Valid()) {
      error = out_.Error();
      return false;
    }
    int taken = 0;
    bool done = false;
    return Rows(select, [&](TODBCStatement& row) {
      if (done) return true;
      int i = 1;
      for (const TColumn& c : table.columns) BindColumn(ins, i++, row, c);
      if (limit > 0 && ++taken >= limit) done = true;
      return ins.Run();
    });
  }

  std::string error;
  int64_t rows = 0;

 private:
  TODBC& central_;
  TSqliteFile& out_;
  const std::atomic<bool>& stop_;
};

void RemoveFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
}

std::string MetaInsert(const std::string& key, const std::string& value) {
  return "INSERT OR REPLACE INTO copy_meta (key, value) VALUES ('" + key + "', '" + ReplaceAll(value, "'", "''") + "')";
}

}  // namespace

bool TakeCopy(TODBC& central, const std::string& path, const std::string& computer, const std::atomic<bool>& stop,
              TCopyTaken& taken, std::string& error) {
  taken = TCopyTaken{};
  RemoveFiles(path);
  TSqliteFile out;
  if (!out.Open(path, TSqliteFile::TMode::ReadWrite, TSqliteFile::TSync::Off) || !out.Exec(TOfflineCopy::Schema()) ||
      !out.Begin()) {
    error = "the copy cannot be made: " + out.Error();
    out.Close();
    RemoveFiles(path);
    return false;
  }
  const bool mysql = central.DriverFamily() == dfMySQL;
  TCopier copier(central, out, stop);
  taken.taken = Now();
  auto fail = [&](const std::string& why) {
    error = why;
    if (mysql) {
      TODBCStatement end(&central);
      end.DoSQL("ROLLBACK");
    }
    out.Rollback();
    out.Close();
    RemoveFiles(path);
    return false;
  };
  // One snapshot for every table: a card and its pool, a device and its ranges, as they stood
  // together at one moment.
  if (mysql) {
    TODBCStatement begin(&central);
    const TSqlOutcome began = begin.Execute("START TRANSACTION WITH CONSISTENT SNAPSHOT");
    if (!began.ok()) return fail("the consistent read could not begin");
  }
  // Every loop and every device: the start-up picks this computer's loops from the copy by
  // its name then, and a device row costs little beside the cards.
  const std::string loopTable = mysql ? "`loop`" : "loop";
  if (!copier.Table(kLoop, "SELECT * FROM " + loopTable)) return fail(copier.error);
  if (!copier.Table(kDevice, "SELECT * FROM device")) return fail(copier.error);
  if (!copier.Table(kSettings, "SELECT * FROM settings", 1)) return fail(copier.error);
  {
    // The card's number as the decisions match it: numerically (number_key), exactly when
    // the column holds it exactly (number_exact), and the text the row reader keeps.
    std::vector<TColumn> columns = {
        {"group_id", TKind::Int}, {"in_gate", TKind::Int}, {"in_lot", TKind::Int}, {"trans_dt", TKind::Time},
        {"debit_left", TKind::Int}, {"debit_date", TKind::Time}, {"debit_reset_date", TKind::Time},
        {"first_name", TKind::Text}, {"last_name", TKind::Text}, {"space_no", TKind::Int}, {"misc_1", TKind::Text},
        {"misc_2", TKind::Text}, {"misc_3", TKind::Text}, {"misc_4", TKind::Text}, {"str_eet", TKind::Text}};
    columns = With(columns, kPeriod);
    std::vector<std::string> names = {"number_key", "number_exact", "number_text", "type_id", "type_id_text"};
    for (const TColumn& c : columns) names.push_back(c.name);
    TSqliteStatement ins = out.Prepare(InsertText("card", names));
    if (!copier.Rows("SELECT * FROM card", [&](TODBCStatement& row) {
          const std::string number = row.FieldAsString("number");
          ins.Bind(1, StrToFloatDef(number, 0));
          const std::optional<CardNumber> exact = CardNumberFromText(number);
          ins.Bind(2, exact ? std::optional<int64_t>(*exact) : std::nullopt);
          ins.Bind(3, number);
          ins.Bind(4, static_cast<int64_t>(row.FieldAsInteger("type_id")));
          ins.Bind(5, row.FieldAsString("type_id"));
          int i = 6;
          for (const TColumn& c : columns) BindColumn(ins, i++, row, c);
          ++taken.cards;
          return ins.Run();
        }))
      return fail(copier.error);
  }
  for (const TTable& table : PlainTables())
    if (!copier.Table(table, std::string("SELECT * FROM ") + table.name)) return fail(copier.error);
  {
    // Tickets still inside, and those taken lately (a ticket used again within its grace
    // time is told apart from a new one).
    TSqliteStatement ins = out.Prepare(
        "INSERT INTO tickinv (barcode, ticket, issuerid, takerid, status, security, online) VALUES (?, ?, ?, ?, ?, ?, ?)");
    const std::string since = FormatDateTime("YYYY-MM-DD HH:NN:SS", taken.taken - 1);
    auto nullable = [](TODBCStatement& row, const char* column) -> std::optional<int64_t> {
      if (row.FieldAsString(column).empty()) return std::nullopt;
      return row.FieldAsInteger(column);
    };
    if (!copier.Rows("SELECT * FROM tickinv WHERE status IS NULL OR status <> 2 OR l_date >= {ts '" + since + "'}",
                     [&](TODBCStatement& row) {
                       ins.Bind(1, row.FieldAsString("barcode"));
                       ins.Bind(2, nullable(row, "ticket"));
                       ins.Bind(3, nullable(row, "issuerid"));
                       ins.Bind(4, nullable(row, "takerid"));
                       ins.Bind(5, nullable(row, "status"));
                       ins.Bind(6, nullable(row, "security"));
                       ins.Bind(7, nullable(row, "online"));
                       return ins.Run();
                     }))
      return fail(copier.error);
  }
  if (mysql) {
    TODBCStatement status(&central);
    if (status.Execute("SELECT VARIABLE_VALUE AS v FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME = "
                       "'BYTES_SENT'")
            .row())
      taken.bytes = StrToInt64Def(status.FieldAsString("v"), 0);
    TODBCStatement end(&central);
    end.DoSQL("COMMIT");
  }
  char when[40];
  std::snprintf(when, sizeof when, "%.17g", taken.taken);
  // The file is put in place by the main thread: everything it reads then is kept here
  // (counting the cards there would cost it a scan), and the file is in write-ahead mode
  // already.
  if (!out.Exec(MetaInsert("taken", when)) || !out.Exec(MetaInsert("computer", computer)) ||
      !out.Exec(MetaInsert("journal_mark", "0")) || !out.Exec(MetaInsert("cards", std::to_string(taken.cards))) ||
      !out.Commit() || !out.Exec("PRAGMA journal_mode=WAL")) {
    error = "the copy could not be written: " + out.Error();
    out.Rollback();
    out.Close();
    RemoveFiles(path);
    return false;
  }
  out.Close();
  taken.rows = copier.rows;
  return true;
}

}  // namespace tarn
