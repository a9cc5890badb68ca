// Journal entries applied to the database, on SQLite and MariaDB: every kind of write lands
// with the read's time, counts move by increments on top of what other programs did
// meanwhile, each entry lands once however often a batch is run again, and a statement the
// database refuses leaves the entry's other writes standing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "access/OfflineJournal.h"
#include "access/OfflineReplay.h"
#include "support/ScratchDir.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"

namespace tarn {
namespace {

const TDateTime kRead = EncodeDateTime(2024, 3, 13, 9, 0, 0);

std::string Stamp(TDateTime t) { return FormatDateTime("YYYY-MM-DD HH:NN:SS", t); }

TCardWrites Entry(CardNumber card, TDateTime when, int direction) {
  TCardWrites w;
  w.card = card;
  w.inLot = direction;
  w.transDt = when;
  w.debitDate = when;
  w.inGate = -1;
  w.poolId = 3;
  w.poolChange = direction == 1 ? 1 : -1;
  w.trans = TTransRow{std::to_string(card), when, 101, 0, "Accepted", "Entry", "Ann", "Lee", false};
  return w;
}

class OfflineReplayTest : public test::BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_replay"; }
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* sql : {
             "INSERT INTO device (id, loop_id, addr_ess, name, lot_id, count_soft, lf_enabled, online_flag) VALUES "
             "(101, 1, 1, 'Entry', 1, 0, 1, 1), (102, 1, 2, 'Lane 2', 2, 0, 0, 1)",
             "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 0, 100), (2, 'Other', 5, 10)",
             "INSERT INTO counters (id, lot_id) VALUES (1, 1), (2, 2)",
             // A passage at 101 adds to lot 1 and takes from lot 2.
             "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (101, 7, 1, 1), (101, 7, 2, 2)",
             "INSERT INTO card (number, type_id, in_lot, in_gate) VALUES (1001, 1, 0, 5), (1002, 1, 0, 5)",
             "INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (3, 10, 0)",
             "INSERT INTO tickinv (barcode, ticket, issuerid, status) VALUES ('2222222202', 22, 2, 0)",
         })
      ASSERT_TRUE(Db().Exec(sql)) << sql;
    dir_ = ::tarn::testing::ScratchDir("offline-replay");
    std::string error;
    ASSERT_TRUE(journal_.Open((dir_ / "journal.sqlite").string(), &error)) << error;
  }

  std::vector<TJournalRecord> Append(const std::vector<TOfflineWrite>& writes, TDateTime made = kRead) {
    for (const TOfflineWrite& w : writes) EXPECT_GT(journal_.Append(w, made), 0) << journal_.Error();
    return journal_.Entries(0, 1000);
  }
  TOfflineReplay::TBatch Replay(const std::vector<TJournalRecord>& records, const std::string& journalId = "") {
    TOfflineReplay replay(Db().ODBC(), journalId.empty() ? journal_.Id() : journalId, &Db().Log());
    std::string error;
    EXPECT_TRUE(replay.SetUp(error)) << error;
    return replay.Apply(records);
  }
  std::optional<int64_t> Number(const std::string& sql) { return Db().QueryNumber(sql); }
  std::string Text(const std::string& sql) { return Db().QueryText(sql).substr(0, 19); }

  std::filesystem::path dir_;
  TOfflineJournal journal_;
  TDateTime now_ = EncodeDateTime(2024, 3, 13, 10, 0, 0);
  ScopedClock clock_{[this] { return now_; }};
};

TEST_P(OfflineReplayTest, EveryKindOfWriteLandsWithTheReadsTime) {
  TDispenserWrites issued;
  issued.status = 0;
  issued.security = 1;
  issued.barcode = "3333333303";
  issued.ticket = 33;
  issued.inDate = kRead - 0.01;
  issued.issuerId = 3;
  issued.online = true;
  const std::vector<TJournalRecord> records = Append({
      Entry(1001, kRead, 1),
      TUnknownTicket{"1111111101", kRead - 0.02},
      TTicketTaken{"2222222202", 5, 2},
      issued,
      TSoftCount{101},
      TDeviceStatus{1, 2, {{"online_flag", 0}, {"ptr_stat", 130}}},
  });
  // Other programs moved the counts meanwhile: the replay adds to them.
  ASSERT_TRUE(Db().Exec("UPDATE lot SET lot_count = 40 WHERE id = 1"));
  ASSERT_TRUE(Db().Exec("UPDATE card_pool SET cur_inlot = 7 WHERE id = 3"));
  const TOfflineReplay::TBatch batch = Replay(records);
  ASSERT_EQ(batch.result, TOfflineReplay::TResult::Applied) << batch.error;
  EXPECT_EQ(batch.applied, 6);
  EXPECT_EQ(batch.refused, 0);

  EXPECT_EQ(Number("SELECT COUNT(*) FROM trans"), 1);
  EXPECT_EQ(Text("SELECT dat_e FROM trans"), Stamp(kRead));
  EXPECT_EQ(Number("SELECT in_lot FROM card WHERE number = 1001"), 1);
  EXPECT_EQ(Number("SELECT in_gate FROM card WHERE number = 1001"), -1);
  EXPECT_EQ(Text("SELECT trans_dt FROM card WHERE number = 1001"), Stamp(kRead));
  EXPECT_EQ(Number("SELECT cur_inlot FROM card_pool WHERE id = 3"), 8);
  // The unknown ticket and the taken ticket carry the moment of their read, not the replay's.
  EXPECT_EQ(Number("SELECT issuerid FROM tickinv WHERE barcode = '1111111101'"), 0);
  EXPECT_EQ(Text("SELECT l_date FROM tickinv WHERE barcode = '1111111101'"), Stamp(kRead));
  EXPECT_EQ(Number("SELECT status FROM tickinv WHERE barcode = '2222222202'"), 2);
  EXPECT_EQ(Number("SELECT takerid FROM tickinv WHERE barcode = '2222222202'"), 5);
  EXPECT_EQ(Text("SELECT out_date FROM tickinv WHERE barcode = '2222222202'"), Stamp(kRead));
  EXPECT_EQ(Text("SELECT l_date FROM tickinv WHERE barcode = '3333333303'"), Stamp(kRead));
  EXPECT_EQ(Number("SELECT security FROM tickinv WHERE barcode = '3333333303'"), 1);
  // The soft count: both lots of the device's input 7, its count, its lot's full flags.
  EXPECT_EQ(Number("SELECT lot_count FROM lot WHERE id = 1"), 41);
  EXPECT_EQ(Number("SELECT lot_count FROM lot WHERE id = 2"), 4);
  EXPECT_EQ(Number("SELECT count_soft FROM device WHERE id = 101"), 1);
  EXPECT_EQ(Number("SELECT lf_output_flag FROM device WHERE id = 101"), 1);
  EXPECT_EQ(Number("SELECT online_flag FROM device WHERE id = 102"), 0);
  EXPECT_EQ(Number("SELECT ptr_stat FROM device WHERE id = 102"), 130);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM offline_applied"), 6);
}

// The runs a batch may see: its commit's answer lost (run again whole), a second run that
// finds more entries, single entries before the lot. Whatever the runs, each entry once.
TEST_P(OfflineReplayTest, EachEntryLandsOnceHoweverOftenItIsRun) {
  struct Case {
    const char* what;
    std::vector<std::vector<int>> runs;  // entry positions per run
    std::vector<int> earlier;            // entries found applied, per run
  };
  const Case cases[] = {
      {"a batch run twice", {{0, 1, 2, 3}, {0, 1, 2, 3}}, {0, 4}},
      {"a second run with more", {{0, 1}, {0, 1, 2, 3}}, {0, 2}},
      {"single entries, then all", {{0}, {2}, {0, 1, 2, 3}}, {0, 0, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Db().Exec("DELETE FROM trans"));
    ASSERT_TRUE(Db().Exec("UPDATE card_pool SET cur_inlot = 0"));
    ASSERT_TRUE(Db().Exec("UPDATE lot SET lot_count = 0 WHERE id = 1"));
    // A journal of its own per case: its entries are new to the database.
    TOfflineJournal journal;
    std::string error;
    const std::string path = (dir_ / (std::string("case-") + std::to_string(&c - cases) + ".sqlite")).string();
    ASSERT_TRUE(journal.Open(path, &error)) << error;
    for (const TOfflineWrite& w : std::vector<TOfflineWrite>{Entry(1001, kRead, 1), TSoftCount{101},
                                                             Entry(1002, kRead + 0.001, 1), TSoftCount{101}})
      ASSERT_GT(journal.Append(w, kRead), 0);
    const std::vector<TJournalRecord> all = journal.Entries(0, 10);
    ASSERT_EQ(all.size(), 4u);
    for (size_t run = 0; run < c.runs.size(); ++run) {
      std::vector<TJournalRecord> batch;
      for (int i : c.runs[run]) batch.push_back(all[static_cast<size_t>(i)]);
      const TOfflineReplay::TBatch result = Replay(batch, journal.Id());
      ASSERT_EQ(result.result, TOfflineReplay::TResult::Applied) << result.error;
      EXPECT_EQ(result.earlier, c.earlier[run]) << "run " << run;
    }
    EXPECT_EQ(Number("SELECT COUNT(*) FROM trans"), 2);
    EXPECT_EQ(Number("SELECT cur_inlot FROM card_pool WHERE id = 3"), 2);
    EXPECT_EQ(Number("SELECT lot_count FROM lot WHERE id = 1"), 2);
  }
  // Entry numbers start again in another journal file: its keys are its own.
  EXPECT_EQ(Number("SELECT COUNT(*) FROM offline_applied"), 12);
}

TEST_P(OfflineReplayTest, ARefusedStatementLeavesTheEntrysOtherWrites) {
  // The site's card table lacks in_gate: the whole UPDATE is refused, each column group then
  // goes on its own.
  ASSERT_TRUE(Db().Exec("ALTER TABLE card DROP COLUMN in_gate"));
  const TOfflineReplay::TBatch batch = Replay(Append({Entry(1001, kRead, 1)}));
  ASSERT_EQ(batch.result, TOfflineReplay::TResult::Applied) << batch.error;
  EXPECT_EQ(batch.applied, 1);
  EXPECT_GE(batch.refused, 1);
  EXPECT_EQ(Number("SELECT in_lot FROM card WHERE number = 1001"), 1);
  EXPECT_EQ(Text("SELECT trans_dt FROM card WHERE number = 1001"), Stamp(kRead));
  EXPECT_EQ(Number("SELECT COUNT(*) FROM trans"), 1);
  EXPECT_NE(Db().LogText().find("Offline write 1 refused by the database: UPDATE card set"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, OfflineReplayTest, TARN_BACKENDS);

}  // namespace
}  // namespace tarn
