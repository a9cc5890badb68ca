// The decisions' parts of a connection (DecisionPartsFor) against the statement-at-a-time
// ones on the same rows: the same rows, the same plans, written exactly once, and on MariaDB a
// decision's reads in one request and its writes in one more.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <chrono>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "access/CardProcessing.h"
#include "access/OdbcRowSource.h"
#include "access/OdbcWriter.h"
#include "access/OneRequest.h"
#include "access/SoftCount.h"
#include "access/TicketDecision.h"
#include "access/CardValidation.h"
#include "db/WholeWrite.h"
#include "db/OdbcLibrary.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {
namespace {

constexpr double kMinute = 1.0 / 1440.0;

std::string Ts(TDateTime t) { return "'" + FormatDateTime("YYYY-MM-DD HH:NN:SS", t) + "'"; }

// The plans a decision hands over, kept instead of written.
class TPlans : public TDecisionWriter {
 public:
  void ApplyCard(const TCardWrites& writes) override { cards.push_back(writes); }
  void RecordUnknownTicket(const TUnknownTicket& ticket) override { unknown.push_back(ticket); }
  void ApplyTicketTaken(const TTicketTaken& taken) override { takes.push_back(taken); }
  bool ApplyDispenserRecord(const TDispenserWrites& writes) override {
    dispensed.push_back(writes);
    return true;
  }
  std::vector<TCardWrites> cards;
  std::vector<TUnknownTicket> unknown;
  std::vector<TTicketTaken> takes;
  std::vector<TDispenserWrites> dispensed;
};

// A two-year-cycle ticket barcode (10 digits) issued at `when` at `lane`.
std::string Barcode(TDateTime when, int lane) {
  const int year = DecodeDateTime(when).year;
  const int even = year % 2 == 0 ? year : year - 1;
  const auto seconds = static_cast<int64_t>(std::llround((when - EncodeDate(even, 1, 1)) * 86400.0));
  return Format("%.8d%.2d", seconds + 20000000, lane);
}

// A site of one loop: an entry with a counter's device row, an exit, an inner reader, a second
// entry; cards for each way a decision can go.
class OneRequestTest : public test::BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_one"; }
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Exec("INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)");
    Exec("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'North', 5, 100)");
    AddDevice("1, 1, 'Entry 1', 1, 2, 1");
    AddDevice("2, 2, 'Exit 1', 2, 3, 0");
    AddDevice("3, 3, 'Inner', 3, 1, 0");
    AddDevice("4, 4, 'Entry B', 1, 1, 0");
    Exec("UPDATE device SET lot_id = 1, count_soft = 4");
    Exec("INSERT INTO a_l_range VALUES (1, 1, 1,1,1,1,1,1,1,1,1, '00:00:00', '00:00:00')");
    for (int d = 1; d <= 4; ++d) Exec("INSERT INTO a_l_range_device VALUES (1, " + std::to_string(d) + ")");
    Exec("INSERT INTO a_l_range VALUES (2, 2, 1,1,1,1,1,1,1,1,1, '07:00:00', '09:00:00')");
    Exec("INSERT INTO a_l_range_device VALUES (2, 1)");
    AddType(1, "access_level_id, no_expiry_flg", "1, 1");
    AddType(2, "pathway_id, ignore_passback", "1, 1");
    AddType(3, "access_level_id, no_expiry_flg, msg_id", "2, 1, 2");
    AddType(4, "access_level_id", "1");
    Exec("INSERT INTO messages (id) VALUES (1)");
    Exec("INSERT INTO messages (id) VALUES (2)");
    Exec("UPDATE messages SET accepted = 'Hello %f' WHERE id = 1");
    Exec("UPDATE messages SET accepted = 'Morning %f', access = 'Not yet %f' WHERE id = 2");
    Exec("INSERT INTO spots (number, floor) VALUES (7, 2)");
    Exec("INSERT INTO pathway_ft VALUES (1, 1, 4, 10)");
    Exec("INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (1, 2, 2), (2, 10, 3)");
    AddCard(1001, 1, "first_name, space_no, group_id", "'John', 7, 2");
    AddCard(7001, 1, "in_lot, trans_dt", "1, " + Ts(now_ - 365));
    AddCard(5001, 1, "group_id", "1");
    AddCard(6003, 2, "in_gate, trans_dt", "2, " + Ts(now_ - kMinute));
    AddCard(6001, 2, "in_gate, trans_dt", "1, " + Ts(now_ - 10 * kMinute));
    AddCard(8001, 4, "exp_iry", Ts(now_ - 1));
    AddCard(8101, 3, "first_name", "'Early'");
    ticket_ = Barcode(now_ - 10 * kMinute, 12);
    Exec("INSERT INTO tickinv (barcode, ticket, issuerid, status, security) VALUES ('" + ticket_ +
         "', 100, 3, 0, 0)");
    Exec("INSERT INTO tickinv (barcode, ticket, issuerid, status) VALUES ('other', 104, 0, 0)");
  }

  void Exec(const std::string& sql) { EXPECT_TRUE(Db().Exec(sql)) << sql; }
  int Int(const std::string& sql) { return StrToIntDef(Db().QueryText(sql), -999); }
  TODBC& Odbc() { return Db().ODBC(); }
  bool Maria() const { return backend() == test::Backend::MariaDB; }

  // id, address, name, direction, open pulse, special output; on loop 1.
  void AddDevice(const std::string& values) {
    Exec("INSERT INTO device (id, addr_ess, name, dir_ection, open_pulse, special_out, loop_id, no_path, "
         "debit_flag) VALUES (" + values + ", 1, 0, 1)");
  }
  void AddType(int id, const std::string& columns, const std::string& values) {
    Exec("INSERT INTO card_type (id, access_level_id, days, global_expiry, first_use_flg, debit_flg, "
         "debit_reset_flag, debit_time_limit, debit_time_limit_flg, no_expiry_flg, pathway_id, ignore_passback, "
         "uses, date_set) VALUES (" +
         std::to_string(id) + ", 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)");
    Exec("UPDATE card_type SET " + Assignments(columns, values) + " WHERE id = " + std::to_string(id));
  }
  void AddCard(int number, int type, const std::string& columns, const std::string& values) {
    const std::string n = std::to_string(number);
    Exec("INSERT INTO card (number, type_id, group_id, in_gate, in_lot, trans_dt, debit_left, date_set, "
         "start_dt, exp_iry, first_name, last_name) VALUES (" +
         n + ", " + std::to_string(type) + ", 0, -1, 0, " + Ts(now_ - 30) + ", 0, 1, " + Ts(now_ - 10) + ", " +
         Ts(now_ + 10) + ", '', '')");
    Exec("UPDATE card SET " + Assignments(columns, values) + " WHERE number = " + n);
  }
  static std::string Assignments(const std::string& columns, const std::string& values) {
    std::string out;
    size_t c = 0, v = 0;
    while (c < columns.size()) {
      size_t ce = columns.find(',', c), ve = values.find(',', v);
      if (ce == std::string::npos) ce = columns.size();
      if (ve == std::string::npos) ve = values.size();
      if (!out.empty()) out += ", ";
      out += columns.substr(c, ce - c) + " = " + values.substr(v, ve - v);
      c = ce + 1;
      v = ve + 1;
    }
    return out;
  }
  TCardRead ReadOf(CardNumber card, int address) {
    TCardRead read;
    read.card = card;
    read.address = address;
    read.loopId = 1;
    return read;
  }

  TDateTime now_ = EncodeDateTime(2024, 3, 13, 10, 0, 0);  // a Wednesday
  ScopedClock clock_{[this] { return now_; }};
  std::string ticket_;
};

// The card cases: what a decision meets, and what it comes to.
struct TCardCase {
  const char* name;
  CardNumber card;
  int address;
  AccessResult result;
};
const TCardCase kCardCases[] = {
    {"accepted, counted into its pool", 1001, 1, kAccepted},
    {"accepted at an exit", 1001, 2, kAccepted},
    {"not on file", 9999, 1, kNotOnFile},
    {"passback", 7001, 1, kPassback},
    {"pool full at an entry", 5001, 1, kGroupMax},
    {"pool full, but an exit", 5001, 2, kAccepted},
    {"off its pathway", 6003, 4, kNotInPath},
    {"on its pathway within the time", 6001, 4, kAccepted},
    {"expired", 8001, 1, kExpired},
    {"outside its hours, its type's messages", 8101, 1, kNoValidAccess},
};

TEST_P(OneRequestTest, CardRowsAndPlansEqualThoseReadOneStatementAtATime) {
  const TDecisionParts parts = DecisionPartsFor(Odbc(), TCountAt{1, 1});
  // MariaDB takes the one-request parts; SQLite keeps the statements one at a time.
  EXPECT_EQ(dynamic_cast<TOneRequestSource*>(parts.source.get()) != nullptr, Maria());
  TOdbcRowSource alone(Odbc());
  for (const TCardCase& c : kCardCases) {
    SCOPED_TRACE(c.name);
    // Every shape of key: a decision with its answer, a stored read (no answer), an answer
    // only, a reader text that is no card.
    for (int shape = 0; shape < 4; ++shape) {
      TCardRowsKey key{1, c.address, c.card, now_, shape != 2, shape != 1};
      if (shape == 3) key.card.reset();
      const uint64_t before = Odbc().RoundTrips();
      const TCardRows rows = parts.source->CardRows(key);
      if (Maria()) {
        EXPECT_EQ(Odbc().RoundTrips() - before, 1u) << "shape " << shape;
      }
      const TCardRows other = alone.CardRows(key);
      EXPECT_TRUE(rows == other) << "shape " << shape;
      EXPECT_EQ(rows.card, other.card);
      EXPECT_EQ(rows.type, other.type);
      EXPECT_EQ(rows.ranges, other.ranges);
      EXPECT_EQ(rows.messages, other.messages);
      EXPECT_EQ(rows.holidayTab, other.holidayTab);
      EXPECT_EQ(rows.legs, other.legs);
      EXPECT_EQ(rows.spot, other.spot);
      if (rows.card) {
        EXPECT_EQ(parts.source->CardPool(rows.card->groupId), alone.CardPool(rows.card->groupId));
        EXPECT_EQ(parts.source->Spot(rows.card->spaceNo), alone.Spot(rows.card->spaceNo));
      }
    }
    // The whole decision: its reads in one request, the same result and the same writes.
    TPlans viaParts, viaAlone;
    auto partsNow = DecisionPartsFor(Odbc(), TCountAt{1, c.address});
    const uint64_t before = Odbc().RoundTrips();
    const TCardOutcome one = ProcessCard(ReadOf(c.card, c.address), *partsNow.source, viaParts, Db().Log());
    if (Maria()) {
      EXPECT_EQ(Odbc().RoundTrips() - before, 1u);
    }
    const TCardOutcome two = ProcessCard(ReadOf(c.card, c.address), alone, viaAlone, Db().Log());
    EXPECT_EQ(one.result, c.result);
    EXPECT_EQ(two.result, c.result);
    EXPECT_TRUE(one.rows == two.rows);
    EXPECT_EQ(viaParts.cards, viaAlone.cards);
    // A passing card's count was read with its rows, as a counter reads it.
    if (Maria() && c.card != 9999) {
      ASSERT_TRUE(partsNow.count && partsNow.count->rows);
      const TSoftCountRows& count = *partsNow.count->rows;
      EXPECT_TRUE(count.deviceFound);
      EXPECT_EQ(count.deviceId, c.address);
      EXPECT_EQ(count.deviceLot, 1);
      EXPECT_EQ(count.countSoft, 4);
    }
  }
}

TEST_P(OneRequestTest, TicketRowsEqualThoseReadOneStatementAtATime) {
  const TDecisionParts parts = DecisionPartsFor(Odbc());
  TOdbcRowSource alone(Odbc());
  const struct {
    const char* name;
    std::string barcode;
    int32_t number;
    bool found;  // the barcode's own row
  } cases[] = {
      {"a ticket on file", ticket_, 100, true},
      {"a barcode not on file", Barcode(now_ - 5 * kMinute, 12), 100, false},
      {"a barcode not on file, its number unclaimed", "0000000000", 104, false},
      {"neither", "1111111111", 555, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int address : {2, 3}) {
      const uint64_t before = Odbc().RoundTrips();
      const TExitTicketRows rows = parts.source->ExitTicketRows(1, address, c.barcode);
      if (Maria()) {
        EXPECT_EQ(Odbc().RoundTrips() - before, 1u);
      }
      const TExitTicketRows other = alone.ExitTicketRows(1, address, c.barcode);
      EXPECT_EQ(rows.ticket, other.ticket);
      EXPECT_TRUE(rows.device == other.device);
      EXPECT_EQ(rows.ticket.has_value(), c.found);
    }
    const uint64_t before = Odbc().RoundTrips();
    const TDispenserRows rows = parts.source->DispenserRows(c.barcode, c.number);
    if (Maria()) {
      EXPECT_EQ(Odbc().RoundTrips() - before, 1u);
    }
    const TDispenserRows other = alone.DispenserRows(c.barcode, c.number);
    EXPECT_EQ(rows.byBarcode, other.byBarcode);
    EXPECT_EQ(rows.byNumber, other.byNumber);
    // The exit decision on those rows: the same plan both ways.
    TPlans viaParts, viaAlone;
    const TTicketRules rules;
    const TExitTicketDecision one = ProcessExitTicket(rules, 1, 2, c.barcode, *parts.source, viaParts, Db().Log());
    const TExitTicketDecision two = ProcessExitTicket(rules, 1, 2, c.barcode, alone, viaAlone, Db().Log());
    EXPECT_EQ(one.state, two.state);
    EXPECT_EQ(one.taken, two.taken);
    EXPECT_EQ(viaParts.takes, viaAlone.takes);
  }
}

// Lots and a device row as a counter reads them, and what the plan makes of them.
TEST(SoftCountPlan, MovesLotsAsACounterDoes) {
  const TLotRow north{1, "North", 5, 100};
  const TLotRow empty{2, "South", 0, 50};
  const struct {
    const char* name;
    TSoftCountRows rows;
    std::vector<std::string> statements;
    int northAfter;  // -1: not moved
  } cases[] = {
      {"an entry adds one", {true, 7, 1, 4, false, {{1, 1}}, {north}},
       {"UPDATE lot SET lot_count=lot_count+1 WHERE id=1",
        "UPDATE device SET lf_output_flag = 1 WHERE lot_id = 1 and lf_enabled <> 0",
        "UPDATE device SET lf_sign_flag = 1 WHERE lot_id = 1 and lf_sign <> 0",
        "UPDATE device SET count_soft = count_soft + 1 WHERE id = 7"},
       6},
      {"a take-away from an empty lot sets it to zero, the device's own lot flagged too",
       {true, 7, 1, 4, true, {{2, 2}}, {north, empty}},
       {"UPDATE lot SET lot_count=0 WHERE id=2",
        "UPDATE device SET lf_output_flag = 1 WHERE lot_id = 2 and lf_enabled <> 0",
        "UPDATE device SET lf_sign_flag = 1 WHERE lot_id = 2 and lf_sign <> 0",
        "UPDATE device SET lf_output_flag = 1 WHERE lot_id = 1 and lf_enabled <> 0",
        "UPDATE device SET lf_sign_flag = 1 WHERE lot_id = 1 and lf_sign <> 0",
        "UPDATE device SET count_soft = count_soft + 1, soft_seen = soft_seen + 1 WHERE id = 7"},
       -1},
      {"no lot row for the device: only the device's count", {true, 7, 9, 4, false, {{1, 1}}, {north}},
       {"UPDATE device SET count_soft = count_soft + 1 WHERE id = 7"}, -1},
      {"a take-away from a lot of one leaves zero by subtraction", {true, 7, 1, 0, false, {{1, 2}},
        {{1, "North", 1, 100}}},
       {"UPDATE lot SET lot_count=lot_count-1 WHERE id=1",
        "UPDATE device SET lf_output_flag = 1 WHERE lot_id = 1 and lf_enabled <> 0",
        "UPDATE device SET lf_sign_flag = 1 WHERE lot_id = 1 and lf_sign <> 0",
        "UPDATE device SET count_soft = count_soft + 1 WHERE id = 7"},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TSoftCountPlan plan = PlanSoftCount(c.rows);
    EXPECT_EQ(SoftCountStatements(plan), c.statements);
    int after = -1;
    for (const TLotRow& lot : LotsAfter(plan))
      if (lot.id == 1) after = lot.count;
    EXPECT_EQ(after, c.northAfter);
  }
}

// ---- writes (MariaDB: one request, exactly once) -------------------------------------------

class OneRequestWrites : public OneRequestTest {
 protected:
  void SetUp() override {
    OneRequestTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!Maria()) GTEST_SKIP() << "one-request writes are made on MariaDB only";
  }
  // The plan of a card decision, read the one-request way.
  TCardWrites PlanOf(CardNumber card, int address) {
    TPlans plans;
    auto parts = DecisionPartsFor(Odbc());
    ProcessCard(ReadOf(card, address), *parts.source, plans, Db().Log());
    EXPECT_EQ(plans.cards.size(), 1u);
    return plans.cards.empty() ? TCardWrites{} : plans.cards.front();
  }
};

TEST_P(OneRequestWrites, ADecisionsWritesGoInOneRequestAndLandOnce) {
  TOneRequestWriter writer(Odbc());
  // The first write of a connection sets the mark's table up.
  writer.ApplyCard(PlanOf(7001, 2));
  ASSERT_EQ(Int("SELECT COUNT(*) FROM trans"), 1) << Db().LogText();
  const struct {
    const char* name;
    CardNumber card;
    int address;
    int poolAfter;  // pool 2
    int inLotAfter;
  } cases[] = {
      {"an entry into its pool", 1001, 1, 4, 1},
      {"the exit again", 1001, 2, 3, 2},
      {"refused: the trans row only", 5001, 1, 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int transBefore = Int("SELECT COUNT(*) FROM trans");
    const TCardWrites plan = PlanOf(c.card, c.address);
    const uint64_t before = Odbc().RoundTrips();
    writer.ApplyCard(plan);
    EXPECT_EQ(Odbc().RoundTrips() - before, 1u);
    EXPECT_EQ(Int("SELECT COUNT(*) FROM trans"), transBefore + 1);
    EXPECT_EQ(Int("SELECT cur_inlot FROM card_pool WHERE id = 2"), c.poolAfter);
    EXPECT_EQ(Int("SELECT in_lot FROM card WHERE number = " + std::to_string(c.card)), c.inLotAfter);
  }
  // The passage's count goes with the writes: the lot and the device's count in the same
  // request, the lot's count after it reported back.
  Exec("INSERT INTO counters (id, lot_id) VALUES (1, 1)");
  Exec("INSERT INTO counter_item (cntr_id, device_id, input, chg_lot) VALUES (1, 1, 7, 1)");
  auto counted = DecisionPartsFor(Odbc(), TCountAt{1, 1});
  const uint64_t before = Odbc().RoundTrips();
  EXPECT_EQ(ProcessCard(ReadOf(1001, 1), *counted.source, *counted.writer, Db().Log()).result, kAccepted);
  EXPECT_EQ(Odbc().RoundTrips() - before, 2u);
  ASSERT_TRUE(counted.count && counted.count->carried);
  EXPECT_EQ(Int("SELECT lot_count FROM lot WHERE id = 1"), 6);
  EXPECT_EQ(Int("SELECT count_soft FROM device WHERE id = 1"), 5);
  EXPECT_EQ(counted.count->lotsNow.at(1), 6);
}

TEST_P(OneRequestWrites, AWriteTheServerRefusesAsAWholeGoesOneStatementAtATimeWithNothingLost) {
  TOneRequestWriter writer(Odbc());
  // A card table without one of the columns a pass sets: the whole transaction is refused
  // and rolled back, then each statement on its own writes what it can, once.
  Exec("ALTER TABLE card DROP COLUMN in_gate");
  const TCardWrites plan = PlanOf(1001, 1);
  writer.ApplyCard(plan);
  EXPECT_EQ(Int("SELECT COUNT(*) FROM trans WHERE card_no = '1001'"), 1) << Db().LogText();
  EXPECT_EQ(Int("SELECT cur_inlot FROM card_pool WHERE id = 2"), 4);
  EXPECT_EQ(Int("SELECT in_lot FROM card WHERE number = 1001"), 1);
  // Compound statements still go: the server took them, the write was what it refused.
  EXPECT_TRUE(TakesCompound(Odbc()));
  // A server that refuses compound statements as such is remembered: from then on every
  // decision reads and writes one statement at a time.
  Odbc().Guard().SetCompound(TWriteGuard::TState::Off);
  auto parts = DecisionPartsFor(Odbc());
  EXPECT_EQ(dynamic_cast<TOneRequestSource*>(parts.source.get()), nullptr);
  const TCardOutcome out = ProcessCard(ReadOf(1001, 2), *parts.source, *parts.writer, Db().Log());
  EXPECT_EQ(out.result, kAccepted);
  EXPECT_EQ(Int("SELECT COUNT(*) FROM trans WHERE card_no = '1001'"), 2);
  EXPECT_EQ(Int("SELECT cur_inlot FROM card_pool WHERE id = 2"), 3);
}

TEST_P(OneRequestWrites, DecisionsTakeAtMostThreeRoundTripsWithTheConnectionCheck) {
  // The first decision of a connection sets the mark's table up.
  {
    auto parts = DecisionPartsFor(Odbc());
    ASSERT_TRUE(Db().Conn().Connect());
    ProcessCard(ReadOf(7001, 2), *parts.source, *parts.writer, Db().Log());
  }
  const struct {
    const char* name;
    std::function<void(TDecisionParts&)> decide;
  } cases[] = {
      {"an accepted card", [&](TDecisionParts& p) {
         EXPECT_EQ(ProcessCard(ReadOf(1001, 1), *p.source, *p.writer, Db().Log()).result, kAccepted);
       }},
      {"a refused card", [&](TDecisionParts& p) {
         EXPECT_EQ(ProcessCard(ReadOf(5001, 1), *p.source, *p.writer, Db().Log()).result, kGroupMax);
       }},
      {"an exit ticket", [&](TDecisionParts& p) {
         EXPECT_TRUE(ProcessExitTicket(TTicketRules{}, 1, 2, ticket_, *p.source, *p.writer, Db().Log()).open);
       }},
      {"a dispenser record", [&](TDecisionParts& p) {
         TDispenserRecord record;
         record.Barcode = Barcode(now_, 12);
         record.TicketText = "201";
         record.IssueTime = now_;
         record.Lane = 12;
         record.Online = true;
         EXPECT_TRUE(ProcessDispenserRecord(record, Odbc().DriverFamily(), *p.source, *p.writer, Db().Log()));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t before = Odbc().RoundTrips();
    ASSERT_TRUE(Db().Conn().Connect());
    auto parts = DecisionPartsFor(Odbc(), TCountAt{1, 1});
    c.decide(parts);
    EXPECT_LE(Odbc().RoundTrips() - before, 3u);
  }
  EXPECT_EQ(Int("SELECT COUNT(*) FROM tickinv WHERE ticket = 201"), 1);
  EXPECT_EQ(Int("SELECT COUNT(*) FROM tickinv WHERE ticket = 100 AND out_date IS NOT NULL"), 1);
}

// ---- a COMMIT whose reply is lost ----------------------------------------------------------

// The driver manager's own calls, except that the reply to one whole write is lost after the
// server has committed it: the connection is killed before the answer is read.
struct TLostReply {
  TOdbcEntryPoints real{};
  test::TestDatabase* db = nullptr;
  std::string session;  // the connection to kill
  bool lose = false;
  int wholeWrites = 0;
};
TLostReply& L() {
  static TLostReply l;
  return l;
}

SQLRETURN LosingExec(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER length) {
  const std::string sql(reinterpret_cast<const char*>(text));
  const bool whole = sql.rfind("BEGIN NOT ATOMIC", 0) == 0 && sql.find("COMMIT") != std::string::npos;
  if (whole) ++L().wholeWrites;
  const SQLRETURN code = L().real.SQLExecDirect(handle, text, length);
  if (!whole || !L().lose) return code;
  L().lose = false;
  // Committed: its answers are read away, then the link goes before the caller sees one.
  while (SqlSucceeded(L().real.SQLMoreResults(handle))) {
  }
  L().real.SQLFreeStmt(handle, SQL_CLOSE);
  L().db->Exec("KILL CONNECTION " + L().session);
  // The link is gone once the server has ended the session.
  const std::string gone = "SELECT COUNT(*) FROM information_schema.processlist WHERE id = " + L().session;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (L().db->QueryNumber(gone) != std::optional<int64_t>(0) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return L().real.SQLExecDirect(handle, reinterpret_cast<SQLCHAR*>(const_cast<char*>("SELECT 1")), SQL_NTS);
}

class LostCommitReply : public OneRequestWrites {
 protected:
  void SetUp() override {
    OneRequestWrites::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    library_ = TOdbcLibrary::Load();
    ASSERT_NE(library_, nullptr);
    L().real = library_->Api();
    L().db = &Db();
    L().lose = false;
    L().wholeWrites = 0;
    TOdbcEntryPoints api = library_->Api();
    api.SQLExecDirect = LosingExec;
    odbc_ = std::make_unique<TODBC>(TOdbcLibrary::FromEntryPoints(api));
    conn_ = std::make_unique<TODBCConn>(701, "");
    conn_->ODBC = odbc_.get();
    conn_->SetLog(&Db().Log());
    const test::ConnectionParams& p = Db().Params();
    conn_->SetParams(p.DSNName, p.Driver, p.Database, p.User, p.Password, p.ConnectOptions);
    conn_->ServerHost = p.Host;
    ASSERT_TRUE(conn_->Connect()) << Db().LogText();
  }
  void TearDown() override {
    conn_.reset();
    odbc_.reset();
    L().db = nullptr;
    OneRequestWrites::TearDown();
  }
  void LoseTheNextReply() {
    TODBCStatement id(odbc_.get());
    ASSERT_TRUE(id.DoSQL("SELECT CONNECTION_ID() AS id"));
    L().session = id.FieldAsString("id");
    L().lose = true;
  }
  std::unique_ptr<TOdbcLibrary> library_;
  std::unique_ptr<TODBC> odbc_;
  std::unique_ptr<TODBCConn> conn_;
};

TEST_P(LostCommitReply, IsSettledByTheMarkAndNeverAppliedTwice) {
  TOneRequestWriter writer(*odbc_);
  writer.ApplyCard(PlanOf(7001, 2));  // the mark's row exists now
  ASSERT_EQ(Int("SELECT COUNT(*) FROM trans"), 1);
  const struct {
    const char* name;
    int reconnectWaitMs;  // 0: the write cannot wait for the new connection and is kept
    CardNumber card;
    int address;
    int poolAfter;
  } cases[] = {
      {"run again on the new connection", TODBCConn::kReconnectWaitMs, 1001, 1, 4},
      {"kept and settled when the connection is back", 0, 1001, 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    conn_->ReconnectWaitMs = c.reconnectWaitMs;
    const TCardWrites plan = PlanOf(c.card, c.address);
    const int trans = Int("SELECT COUNT(*) FROM trans");
    const int runs = L().wholeWrites;
    LoseTheNextReply();
    writer.ApplyCard(plan);
    EXPECT_FALSE(L().lose);
    if (c.reconnectWaitMs == 0) {
      EXPECT_TRUE(odbc_->Guard().HasPending());
      conn_->WaitForAttempt();
      EXPECT_FALSE(odbc_->Guard().HasPending());
    }
    // Sent twice, applied once: the second run found the mark at its number.
    EXPECT_EQ(L().wholeWrites - runs, 2) << Db().LogText();
    EXPECT_EQ(Int("SELECT COUNT(*) FROM trans"), trans + 1) << Db().LogText();
    EXPECT_EQ(Int("SELECT cur_inlot FROM card_pool WHERE id = 2"), c.poolAfter);
  }
  EXPECT_NE(Db().LogText().find("Write found applied before the connection was lost: UPDATE card set"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, OneRequestTest, TARN_BACKENDS);
INSTANTIATE_TEST_SUITE_P(Backends, OneRequestWrites, TARN_BACKENDS);
INSTANTIATE_TEST_SUITE_P(Backends, LostCommitReply, TARN_BACKENDS);

}  // namespace
}  // namespace tarn
