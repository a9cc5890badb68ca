// Statements and result sets, run once on SQLite3 ODBC and once on MariaDB ODBC.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "db/TODBCStatement.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

using TKind = TSqlOutcome::TKind;

class StatementTest : public BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_db"; }
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(Db().Exec("INSERT INTO lot (id, name, lot_count) VALUES (1, 'North', 10)"));
    ASSERT_TRUE(Db().Exec("INSERT INTO lot (id, name, lot_count) VALUES (2, 'South', 20)"));
    ASSERT_TRUE(Db().Exec("INSERT INTO lot (id, name, lot_count) VALUES (3, 'East', 30)"));
  }
  std::unique_ptr<TODBCStatement> Stmt() { return std::make_unique<TODBCStatement>(&Db().ODBC()); }
  bool IsMariaDB() const { return backend() == Backend::MariaDB; }
  // A table with one column of every kind the service reads.
  void CreateKindsTable() {
    const std::string big = IsMariaDB() ? "BIGINT" : "INTEGER";
    const std::string dec = IsMariaDB() ? "DECIMAL(10,2)" : "DOUBLE";
    const std::string memo = IsMariaDB() ? "TEXT" : "VARCHAR(200)";
    ASSERT_TRUE(Db().Exec("CREATE TABLE kinds (d DATE, t TIME, ts DATETIME, i INTEGER, b " + big +
                          ", f " + dec + ", s VARCHAR(20), m " + memo + ")"));
  }
};

TEST_P(StatementTest, SelectFetchesTheFirstRowAndSkipsThroughTheRest) {
  auto s = Stmt();
  ASSERT_EQ(s->Execute("SELECT * FROM lot ORDER BY id").kind(), TKind::Row);
  EXPECT_EQ(s->FieldAsInteger("ID"), 1);
  EXPECT_EQ(s->FieldAsString("name"), "North");
  ASSERT_TRUE(s->dbSkip(skNext, 1));
  EXPECT_EQ(s->FieldAsInteger("lot_count"), 20);
  ASSERT_TRUE(s->dbSkip());
  EXPECT_EQ(s->FieldAsString("Name"), "East");
  EXPECT_FALSE(s->dbSkip());
  // A failed fetch leaves empty values behind.
  EXPECT_EQ(s->FieldAsString("name"), "");
  EXPECT_EQ(s->FieldAsInteger("lot_count"), 0);
  EXPECT_FALSE(s->dbSkip(static_cast<TSkipMode>(6), 1));
}

// What each statement comes to, and the boolean DoSQL makes of it: a change that touched
// nothing has run (true), a query without a row has not found it (false).
TEST_P(StatementTest, OutcomesOfQueriesAndChangesInOrder) {
  struct Case {
    const char* sql;
    TKind kind;
    bool doSQL;
    const char* name;  // the row's name column, when the kind is Row
  } cases[] = {
      {"SELECT * FROM lot WHERE id = 99", TKind::NoRow, false, nullptr},
      // A leading blank hides the verb: executed, but no row is fetched.
      {" SELECT * FROM lot WHERE id = 1", TKind::Done, true, nullptr},
      {"SELECT * FROM lot WHERE id = 2", TKind::Row, true, "South"},
      {"UPDATE lot SET lot_count = 5 WHERE id = 99", TKind::NoRow, true, nullptr},
      {"DELETE FROM lot WHERE id = 99", TKind::NoRow, true, nullptr},
      {"UPDATE lot SET lot_count = 5 WHERE id = 1", TKind::Done, true, nullptr},
      // Matched but unchanged is still a touched row: callers must not insert a duplicate.
      {"UPDATE lot SET lot_count = 5 WHERE id = 1", TKind::Done, true, nullptr},
      {"INSERT INTO lot (id, name) VALUES (4, 'West')", TKind::Done, true, nullptr},
      {"DELETE FROM lot WHERE id = 4", TKind::Done, true, nullptr},
      // The start-up pattern: no settings row yet, so the update touches nothing and the insert runs.
      {"UPDATE settings SET reset_vtsql = 0", TKind::NoRow, true, nullptr},
      {"INSERT into settings (reset_vtsql) values (0)", TKind::Done, true, nullptr},
      {"UPDATE settings SET reset_vtsql = 0", TKind::Done, true, nullptr},
      // Other verbs: done on success.
      {"CREATE TABLE extra (a INTEGER)", TKind::Done, true, nullptr},
      {"DROP TABLE extra", TKind::Done, true, nullptr},
  };
  auto s = Stmt();
  for (const Case& c : cases) {
    const TSqlOutcome outcome = s->Execute(c.sql);
    EXPECT_EQ(outcome.kind(), c.kind) << c.sql << ": " << outcome.ToString();
    EXPECT_EQ(TODBCStatement::Succeeded(outcome, c.sql), c.doSQL) << c.sql;
    EXPECT_TRUE(outcome.records().empty()) << c.sql;
    if (c.name != nullptr) {
      EXPECT_EQ(s->FieldAsString("name"), c.name) << c.sql;
    }
  }
  EXPECT_EQ(Db().QueryText("SELECT count(*) FROM settings"), "1");
  // DoSQL answers as the table says on both sides of the line; a query without a row still
  // has its columns, with empty values.
  EXPECT_TRUE(s->DoSQL("DELETE FROM lot WHERE id = 99"));
  ASSERT_FALSE(s->DoSQL("SELECT * FROM lot WHERE id = 99"));
  EXPECT_EQ(s->FieldAsString("name"), "");
  EXPECT_EQ(s->FindColumn("NAME"), 1);
}

TEST_P(StatementTest, FailureCarriesTheRecordAndOnlyExecSQLLogsIt) {
  auto s = Stmt();
  const TSqlOutcome failed = s->Execute("SELECT * FROM no_such_table");
  EXPECT_EQ(failed.kind(), TKind::Failed) << failed.ToString();
  ASSERT_FALSE(failed.records().empty());
  EXPECT_EQ(failed.diag().state.size(), 5u);
  EXPECT_FALSE(failed.diag().message.empty());
  if (IsMariaDB()) {
    EXPECT_EQ(failed.diag().native, 1146) << failed.ToString();  // no such table
  }
  EXPECT_FALSE(s->DoSQL("SELECT * FROM no_such_table"));
  EXPECT_EQ(Db().LogText().find("no_such_table"), std::string::npos);
  // The caller decides: the outcome written as ExecSQL writes it.
  s->LogFailure(failed);
  EXPECT_NE(Db().LogText().find(" - SELECT * FROM no_such_table\r\n"), std::string::npos);
  EXPECT_FALSE(s->ExecSQL("UPDATE no_such_table SET a = 1"));
  const std::string log = Db().LogText();
  EXPECT_NE(log.find(" - UPDATE no_such_table SET a = 1\r\n"), std::string::npos) << log;
  EXPECT_TRUE(HasDiagnosticLine(log)) << log;
  EXPECT_FALSE(Db().ODBC().ConnectionDead());
  // An outcome that is no failure writes nothing.
  const size_t size = Db().LogText().size();
  s->LogFailure(s->Execute("SELECT * FROM lot WHERE id = 99"));
  EXPECT_EQ(Db().LogText().size(), size);
}

TEST_P(StatementTest, SelectIntoIsDoneOnlyForOneItemBeforeInto) {
  if (!IsMariaDB()) GTEST_SKIP() << "SQLite has no SELECT ... INTO";
  auto s = Stmt();
  EXPECT_EQ(s->Execute("SELECT lot_count INTO @x FROM lot WHERE id = 1").kind(), TKind::Done);
  ASSERT_TRUE(s->DoSQL("SELECT @x AS x"));
  EXPECT_EQ(s->FieldAsInteger("x"), 10);
  // Two items: the third word is not INTO, so a row is fetched - and there is none.
  EXPECT_EQ(s->Execute("SELECT id, lot_count INTO @a, @b FROM lot WHERE id = 2").kind(), TKind::NoRow);
  EXPECT_FALSE(s->DoSQL("SELECT id, lot_count INTO @a, @b FROM lot WHERE id = 2"));
}

// Every request to the server counts once: an execution, a column list, and on MariaDB the
// liveness probe (unless it found the link alive a moment ago) and each statement of a
// guarded write's transaction.
TEST_P(StatementTest, RoundTripsCountEachRequest) {
  TODBC& odbc = Db().ODBC();
  auto q = Stmt();
  // The guard sets itself up at the first write that must not run twice: not counted below.
  ASSERT_TRUE(q->ExecSQL("UPDATE lot SET lot_count = lot_count + 1 WHERE id = 3"));
  const bool maria = IsMariaDB();
  const struct {
    const char* what;
    std::function<void()> run;
    uint64_t trips;
  } cases[] = {
      {"a query", [&] { q->ExecSQL("SELECT * FROM lot WHERE id = 1"); }, 1},
      {"a harmless update", [&] { q->ExecSQL("UPDATE lot SET name = 'N' WHERE id = 1"); }, 1},
      // START TRANSACTION, the mark, the statement, COMMIT.
      {"a guarded increment", [&] { q->ExecSQL("UPDATE lot SET lot_count = lot_count + 1 WHERE id = 1"); },
       maria ? 4u : 1u},
      {"a failing query", [&] { q->DoSQL("SELECT * FROM no_such_table"); }, 1},
      {"the column list", [&] { q->GetColumnNames("lot"); }, 1},
      {"the liveness probe",
       [&] {
         std::this_thread::sleep_for(std::chrono::milliseconds(TODBC::kAliveCheckKeepsMs + 50));
         EXPECT_FALSE(odbc.IsConnectionDead());
       },
       maria ? 1u : 0u},
      // A link found alive a moment ago is not asked again; a failure that marks it dead is
      // believed at once.
      {"the probe a moment later", [&] { EXPECT_FALSE(odbc.IsConnectionDead()); }, 0},
      {"the probe after a lost link", [&] {
         odbc.MarkConnectionDead();
         EXPECT_TRUE(odbc.IsConnectionDead());
       },
       0},
  };
  for (const auto& c : cases) {
    const uint64_t before = odbc.RoundTrips();
    c.run();
    EXPECT_EQ(odbc.RoundTrips() - before, c.trips) << c.what;
  }
}

TEST_P(StatementTest, FormattedStatements) {
  auto s = Stmt();
  ASSERT_TRUE(s->DoSQLFmt("SELECT * FROM lot WHERE id = %d and name = '%s'", 2, "South"));
  EXPECT_EQ(s->FieldAsInteger("lot_count"), 20);
  ASSERT_TRUE(s->ExecSQLFmt("UPDATE lot SET lot_count = %d WHERE id = %d", 7, 3));
  EXPECT_EQ(Db().QueryText("SELECT lot_count FROM lot WHERE id = 3"), "7");
  // A format error fails the statement without running it; ExecSQLFmt says why.
  EXPECT_FALSE(s->DoSQLFmt("SELECT * FROM lot WHERE id = %d", "x"));
  EXPECT_FALSE(s->ExecSQLFmt("UPDATE lot SET lot_count = %d", 1.5));
  EXPECT_NE(Db().LogText().find("SQL format error"), std::string::npos);
  EXPECT_EQ(Db().QueryText("SELECT lot_count FROM lot WHERE id = 3"), "7");
}

TEST_P(StatementTest, TextThatFillsItsColumnInUtf8IsReadWhole) {
  const std::string name = "Jos\xC3\xA9 N\xC3\xBA\xC3\xB1" "ez";  // ten characters, thirteen bytes
  const std::string zoe = "Zo\xC3\xAB";
  ASSERT_TRUE(Db().Exec(backend() == Backend::MariaDB
                            ? "CREATE TABLE names (id INTEGER, name VARCHAR(10), short_name VARCHAR(3)) "
                              "CHARACTER SET utf8mb4"
                            : "CREATE TABLE names (id INTEGER, name VARCHAR(10), short_name VARCHAR(3))"));
  ASSERT_TRUE(Db().Exec("INSERT INTO names VALUES (1, '" + name + "', '" + zoe + "')"));
  TODBCStatement st(&Db().ODBC());
  ASSERT_TRUE(st.ExecSQL("SELECT name, short_name FROM names WHERE id = 1"));
  EXPECT_EQ(st.FieldAsString("name"), name);
  EXPECT_EQ(st.FieldAsString("short_name"), zoe);
  // A value written back through the layer arrives unchanged.
  ASSERT_TRUE(st.ExecSQL("UPDATE names SET short_name = '" + zoe + "' WHERE name = '" + name + "'"));
  EXPECT_EQ(Db().QueryText("SELECT COUNT(*) FROM names WHERE short_name = '" + zoe + "'"), "1");
}

TEST_P(StatementTest, ColumnKindsFollowTheDeclaredTypes) {
  CreateKindsTable();
  ASSERT_TRUE(Db().Exec("INSERT INTO kinds VALUES ('2026-02-03', '04:05:06', '2026-02-03 04:05:06', 5, 7, "
                        "5.00, 'text', 'memo text')"));
  auto s = Stmt();
  ASSERT_TRUE(s->DoSQL("SELECT * FROM kinds"));
  EXPECT_EQ(s->ColumnKind(s->FindColumn("d")), ckDate);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("t")), ckTime);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("ts")), ckDateTime);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("i")), ckInteger);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("b")), ckInteger);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("f")), ckFloat);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("s")), ckString);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("m")), IsMariaDB() ? ckMemo : ckString);
  EXPECT_EQ(s->ColumnKind(99), ckUnknown);
  EXPECT_EQ(s->ColumnSize(-1), -1);
  EXPECT_GE(s->ColumnSize(s->FindColumn("s")), 20);
}

TEST_P(StatementTest, ReferenceSchemaGivesTheKindsTheServiceReads) {
  auto s = Stmt();
  ASSERT_TRUE(Db().Exec("INSERT INTO card (number, type_id, trans_dt) VALUES (12345, 1, '2026-01-02 03:04:05')"));
  ASSERT_TRUE(Db().Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ('2026-12-25', 2)"));
  ASSERT_TRUE(Db().Exec("INSERT INTO gateoc (id, device_id, dayofweek, start_time, end_time) VALUES (1, 1, 3, '22:00:00', '06:00:00')"));
  ASSERT_TRUE(s->DoSQLFmt("SELECT * FROM card WHERE number = %f", 12345.0));
  EXPECT_EQ(s->ColumnKind(s->FindColumn("number")), ckFloat);
  EXPECT_EQ(s->FieldAsFloat("number"), 12345.0);
  EXPECT_EQ(s->ColumnKind(s->FindColumn("trans_dt")), ckDateTime);
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("trans_dt"), EncodeDateTime(2026, 1, 2, 3, 4, 5));
  ASSERT_TRUE(s->DoSQL("SELECT tab_num FROM holiday WHERE holi_day = '2026-12-25'"));
  EXPECT_EQ(s->FieldAsInteger("tab_num"), 2);
  ASSERT_TRUE(s->DoSQL("SELECT * FROM gateoc WHERE device_id = 1 and dayofweek = 3"));
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("start_time"), EncodeTime(22, 0, 0));
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("end_time"), EncodeTime(6, 0, 0));
}

TEST_P(StatementTest, FieldDefaultsAndConversions) {
  CreateKindsTable();
  ASSERT_TRUE(Db().Exec("INSERT INTO kinds VALUES (NULL, NULL, NULL, -12, 9999999999, 5.00, ' 42 ', NULL)"));
  ScopedClock clock([] { return EncodeDateTime(2026, 6, 7, 8, 9, 10); });
  auto s = Stmt();
  ASSERT_TRUE(s->DoSQL("SELECT * FROM kinds"));
  // Missing columns.
  EXPECT_EQ(s->FieldAsString("nope"), "");
  EXPECT_EQ(s->FieldAsInteger("nope"), 0);
  EXPECT_EQ(s->FieldAsFloat("nope"), 0.0);
  EXPECT_FALSE(s->FieldAsBoolean("nope"));
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("nope"), EncodeDate(2026, 6, 7));
  // Numbers.
  EXPECT_EQ(s->FieldAsInteger("i"), -12);
  EXPECT_TRUE(s->FieldAsBoolean("i"));
  EXPECT_EQ(s->FieldAsInteger("b"), 0);  // beyond 32 bits
  EXPECT_DOUBLE_EQ(s->FieldAsFloat("b"), 9999999999.0);
  EXPECT_EQ(s->FieldAsInteger("f"), 0);  // 5.00 is no integer text
  EXPECT_DOUBLE_EQ(s->FieldAsFloat("f"), 5.0);
  EXPECT_EQ(s->FieldAsString("s"), "42");
  EXPECT_EQ(s->FieldAsInteger("s"), 42);
  // A text column is no date: today.
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("s"), EncodeDate(2026, 6, 7));
  // Null date-times read as empty text, which parses to day 0.
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("d"), 0.0);
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("ts"), 0.0);
  EXPECT_EQ(s->FieldAsString("m"), "");
  // The first of two columns of one name wins.
  ASSERT_TRUE(s->DoSQL("SELECT 1 AS a, 2 AS A"));
  EXPECT_EQ(s->FieldAsInteger("a"), 1);
}

TEST_P(StatementTest, ImpossibleDateReadsAsDayZero) {
  CreateKindsTable();
  if (IsMariaDB()) {
    ASSERT_TRUE(Db().Exec("SET SESSION sql_mode = ''"));
    ASSERT_TRUE(Db().Exec("INSERT INTO kinds (d, ts) VALUES ('0000-00-00', '0000-00-00 00:00:00')"));
  } else {
    ASSERT_TRUE(Db().Exec("INSERT INTO kinds (d, ts) VALUES ('2026-02-30', '2026-13-01 10:00:00')"));
  }
  auto s = Stmt();
  ASSERT_TRUE(s->DoSQL("SELECT d, ts FROM kinds"));
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("d"), 0.0);
  EXPECT_DOUBLE_EQ(s->FieldAsDateTime("ts"), 0.0);
}

TEST_P(StatementTest, MemoColumnReadsTheSameTextTwiceInOneRow) {
  CreateKindsTable();
  const std::string text(IsMariaDB() ? 3000 : 150, 'x');
  ASSERT_TRUE(Db().Exec("INSERT INTO kinds (i, m) VALUES (1, ' " + text + "  ')"));
  ASSERT_TRUE(Db().Exec("INSERT INTO kinds (i, m) VALUES (2, 'second row')"));
  auto s = Stmt();
  ASSERT_TRUE(s->DoSQL("SELECT i, m FROM kinds ORDER BY i"));
  EXPECT_EQ(s->FieldAsString("m"), text);
  EXPECT_EQ(s->FieldAsString("m"), text);
  ASSERT_TRUE(s->dbSkip());
  EXPECT_EQ(s->FieldAsString("m"), "second row");
  EXPECT_FALSE(s->dbSkip());
  EXPECT_EQ(s->FieldAsString("m"), "");
}

TEST_P(StatementTest, ColumnNamesOfATable) {
  auto s = Stmt();
  EXPECT_EQ(s->GetColumnNames("counters"), "ID,LOT_ID");
  const std::string q = IsMariaDB() ? "`" : "\"";
  ASSERT_TRUE(Db().Exec("CREATE TABLE spaced (id INTEGER, " + q + "my col" + q + " INTEGER)"));
  EXPECT_EQ(s->GetColumnNames("spaced"), "ID,\"MY COL\"");
  EXPECT_EQ(s->GetColumnNames("no_such_table"), "");
  // The statement is usable for queries afterwards.
  ASSERT_TRUE(s->DoSQL("SELECT name FROM lot WHERE id = 2"));
  EXPECT_EQ(s->FieldAsString("name"), "South");
}

TEST_P(StatementTest, ScrollModes) {
  // SQLite's dynamic cursor scrolls both ways; the MariaDB driver's static cursor is set back
  // to forward-only, where every mode fetches the next row.
  auto s = Stmt();
  ASSERT_TRUE(s->DoSQL("SELECT id FROM lot ORDER BY id"));
  EXPECT_EQ(s->ForwardOnly(), IsMariaDB());
  EXPECT_EQ(s->CanAbsolute(), !IsMariaDB());
  EXPECT_EQ(s->CanRelative(), !IsMariaDB());
  // The id current after each move in turn (0: the move finds no row).
  struct Move {
    TSkipMode mode;
    int32_t offset;
    int scrolling;
    int forwardOnly;
  };
  const Move moves[] = {
      {skNext, 1, 2, 2},     {skLast, 0, 3, 3},  {skFirst, 0, 1, 0},
      {skRelative, 2, 3, 0}, {skPrior, 1, 2, 0}, {skAbsolute, 1, 1, 0},
  };
  for (const Move& m : moves) {
    const int want = s->ForwardOnly() ? m.forwardOnly : m.scrolling;
    EXPECT_EQ(s->dbSkip(m.mode, m.offset), want != 0) << "mode " << int(m.mode);
    if (want != 0) {
      EXPECT_EQ(s->FieldAsInteger("id"), want) << "mode " << int(m.mode);
    }
  }
}

TEST_P(StatementTest, TimingLineForSlowStatements) {
  Db().ODBC().TimeOverMs = 1;
  auto s = Stmt();
  const std::string slow =
      IsMariaDB() ? "SELECT SLEEP(0.02) AS z"
                  : "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 300000) "
                    "SELECT count(*) AS z FROM c";
  EXPECT_TRUE(s->DoSQL(slow));
  Db().ODBC().TimeOverMs = 0;
  const std::string log = Db().LogText();
  const size_t line = log.find(" - *** TIMEOVR *** #00: ");
  ASSERT_NE(line, std::string::npos) << log;
  const size_t secs = log.find(" secs 'DoSQL'  " + slow + "\r\n", line);
  ASSERT_NE(secs, std::string::npos) << log;
  const std::string seconds = log.substr(line + 24, secs - line - 24);  // "0.012"
  ASSERT_GE(seconds.size(), 5u) << seconds;
  EXPECT_EQ(seconds[seconds.size() - 4], '.') << seconds;
}

TEST_P(StatementTest, DisconnectInvalidatesRegisteredStatements) {
  auto kept = Stmt();
  ASSERT_TRUE(kept->DoSQL("SELECT * FROM lot"));
  EXPECT_GE(Db().ODBC().StatementCount(), 1u);
  Db().ODBC().DisconnectFromDataSource();
  EXPECT_EQ(Db().ODBC().StatementCount(), 0u);
  EXPECT_EQ(kept->ODBC(), nullptr);
  EXPECT_FALSE(kept->Allocated());
  EXPECT_FALSE(kept->DoSQL("SELECT * FROM lot"));
  EXPECT_EQ(kept->FieldAsString("name"), "");
  EXPECT_EQ(kept->GetColumnNames("lot"), "");
  kept.reset();  // nothing is freed twice
  // The managed connection brings it back; a statement on a disconnected TODBC is unusable.
  TODBC idle;
  TODBCStatement orphan(&idle);
  EXPECT_FALSE(orphan.Allocated());
  EXPECT_FALSE(orphan.DoSQL("SELECT 1"));
  ASSERT_TRUE(Db().Conn().Connect());
  EXPECT_EQ(Db().QueryText("SELECT name FROM lot WHERE id = 1"), "North");
}

TEST_P(StatementTest, StatementMayOutliveItsConnectionObject) {
  auto odbc = std::make_unique<TODBC>();
  ASSERT_TRUE(odbc->ConnectToDataSource("", Db().Params().User, Db().Params().Password,
                                        Db().Params().Database, Db().Params().Driver,
                                        Db().Params().ConnectOptions));
  auto s = std::make_unique<TODBCStatement>(odbc.get());
  ASSERT_TRUE(s->DoSQL("SELECT * FROM lot"));
  odbc.reset();
  EXPECT_FALSE(s->Allocated());
  EXPECT_FALSE(s->DoSQL("SELECT * FROM lot"));
}

TEST_P(StatementTest, OdbcDateFunctionsWork) {
  auto s = Stmt();
  const std::string loop = IsMariaDB() ? "`loop`" : "loop";  // reserved in the MySQL family
  ASSERT_TRUE(Db().Exec("INSERT INTO " + loop + " (id, name) VALUES (1, 'x')"));
  ASSERT_TRUE(Db().Exec("INSERT INTO trans (card_no, dat_e, device_id) VALUES (1, {fn now()}, 1)"));
  ASSERT_TRUE(Db().Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ({fn curdate()}, 1)"));
  ASSERT_TRUE(s->DoSQL("SELECT dat_e FROM trans"));
  const TDateTime stamp = s->FieldAsDateTime("dat_e");
  EXPECT_LT(std::abs(stamp - SystemNow()), 2.0 / 1440);  // within two minutes of the clock
  ASSERT_TRUE(s->DoSQL("SELECT holi_day FROM holiday"));
  EXPECT_LE(std::abs(s->FieldAsDateTime("holi_day") - DateOf(SystemNow())), 1.0);
  // The update touched the row: done, not "no row".
  EXPECT_EQ(s->Execute("UPDATE " + loop + " SET lastupdate={fn now()} WHERE name='x'").kind(), TKind::Done);
  ASSERT_TRUE(s->DoSQL("SELECT lastupdate FROM " + loop + " WHERE name='x'"));
  EXPECT_LT(std::abs(s->FieldAsDateTime("lastupdate") - SystemNow()), 2.0 / 1440);
}

TEST_P(StatementTest, LegacySchemaHasTheOldDeviceAndTicketShapes) {
  auto s = Stmt();
  const std::string device = s->GetColumnNames("device");
  EXPECT_NE(device.find("GATE_UP"), std::string::npos);
  EXPECT_NE(s->GetColumnNames("tickinv").find("ONLINE"), std::string::npos);
  const std::string legacy = std::string(TARNCARD_SOURCE_DIR) + "/schema/legacy-" +
                             (IsMariaDB() ? "mariadb" : "sqlite") + ".sql";
  ASSERT_TRUE(Db().ExecScript(legacy)) << Db().LogText();
  const std::string old = s->GetColumnNames("device");
  for (const char* added : {"GATE_UP", "PTR_PAPER", "PTR_STAT2", "DEVICE_TYPE", "SPECIAL_OUT"})
    EXPECT_EQ(old.find(added), std::string::npos) << added;
  EXPECT_NE(old.find("ADDR_ESS"), std::string::npos);
  const std::string tickets = s->GetColumnNames("tickinv");
  EXPECT_EQ(tickets, "BARCODE,TICKET,ISSUERID,ISSUERNAME,STATUS,SECURITY,IN_DATE,OUT_DATE,L_DATE");
}

INSTANTIATE_TEST_SUITE_P(Backends, StatementTest, TARN_BACKENDS);

TEST(DateParsing, FixedPositionsWithDefaults) {
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseDate("2026-02-03"), EncodeDate(2026, 2, 3));
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseDate("2026-02-30"), 0.0);
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseDate(""), 0.0);           // 1899-12-30 by default
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseDate("2026"), EncodeDate(2026, 12, 30));
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseTime("23:59:58"), EncodeTime(23, 59, 58));
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseTime("24:00:00"), 0.0);
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseTime("07:30"), EncodeTime(7, 30, 0));
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseDateTime("2026-02-03 04:05:06.789"),
                   EncodeDateTime(2026, 2, 3, 4, 5, 6));
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseDateTime("2026-02-03"), EncodeDate(2026, 2, 3));
  EXPECT_DOUBLE_EQ(TODBCStatement::ParseDateTime("2026-02-03 25:00:00"), 0.0);
}

TEST(DateParsing, ColumnKindTable) {
  const std::pair<SQLLEN, TColumnKind> rows[] = {
      {SQL_CHAR, ckString},        {SQL_VARCHAR, ckString},       {SQL_WVARCHAR, ckString},
      {SQL_WCHAR, ckString},       {SQL_LONGVARBINARY, ckString}, {SQL_VARBINARY, ckString},
      {SQL_INTEGER, ckInteger},    {SQL_SMALLINT, ckInteger},     {SQL_TINYINT, ckInteger},
      {SQL_BIGINT, ckInteger},     {SQL_NUMERIC, ckFloat},        {SQL_DECIMAL, ckFloat},
      {SQL_FLOAT, ckFloat},        {SQL_REAL, ckFloat},           {SQL_DOUBLE, ckFloat},
      {SQL_BIT, ckBoolean},        {SQL_TYPE_DATE, ckDate},       {SQL_TIME, ckTime},
      {SQL_TYPE_TIME, ckTime},     {SQL_DATE, ckDateTime},        {SQL_TIMESTAMP, ckDateTime},
      {SQL_TYPE_TIMESTAMP, ckDateTime}, {SQL_WLONGVARCHAR, ckMemo}, {SQL_LONGVARCHAR, ckMemo},
  };
  for (const auto& [type, kind] : rows) {
    int32_t size = 12;
    EXPECT_EQ(TODBCStatement::KindOfType(type, size), kind) << type;
    EXPECT_EQ(size, 12);
  }
  int32_t size = 12;
  EXPECT_EQ(TODBCStatement::KindOfType(SQL_UNKNOWN_TYPE, size), ckUnknown);
  EXPECT_EQ(size, 12);
  EXPECT_EQ(TODBCStatement::KindOfType(SQL_BINARY, size), ckUnknown);
  EXPECT_EQ(size, 0);
}

}  // namespace
}  // namespace tarn::test
