// A loop with offline decisions through an outage of its database, on SQLite and MariaDB,
// over the simulated reader loop: while the database cannot be reached every read gets the
// answer an online decision would give from the copy (accepted, refused, passback, unknown,
// expired, a card revoked before the copy), tickets and dispenser records included; when it
// is back the writes reach it once each with the reads' time, and decisions go online again
// once the journal is empty.
#include <gtest/gtest.h>

#include <memory>

#include "LoopFixture.h"
#include "access/OfflineStore.h"
#include "db/TODBCConn.h"
#include "metrics/StatusStore.h"
#include "platform/Tick.h"
#include "support/SmtpSink.h"
#include "util/Format.h"

namespace tarn::test {
namespace {

using ::tarn::testing::JsonString;

constexpr double kMinute = 1.0 / 1440;

class OfflineCards : public LoopFixture {
 protected:
  TOfflineStore* OfflineStore() override {
    // Changes the database had before the copy was taken.
    const std::string past = "'" + FormatDateTime("YYYY-MM-DD HH:NN:SS", Clock() - 2) + "'";
    const std::string future = "'" + FormatDateTime("YYYY-MM-DD HH:NN:SS", Clock() + 2) + "'";
    for (const std::string& sql : {
             std::string("INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES "
                         "(4, 'Dated', 1, 0, 0), (5, 'No access', 2, 1, 0)"),
             "INSERT INTO card (number, type_id, first_name, last_name, space_no, in_lot, date_set, start_dt, "
             "exp_iry) VALUES (1005, 4, 'Eve', 'Kim', 0, 0, 1, " + past + ", " + past + "), "
             "(1006, 4, 'Fay', 'Orr', 0, 0, 1, " + past + ", " + future + "), "
             "(1007, 5, 'Gus', 'Pym', 0, 0, 0, NULL, NULL)",
             std::string("DELETE FROM card WHERE number = 1004"),
         })
      EXPECT_TRUE(Db().Exec(sql)) << sql;
    store_ = std::make_unique<TOfflineStore>(Db().Log(), TOfflineStore::TSettings{dir_.string(), 5, "main", false});
    EXPECT_TRUE(store_->Open());
    store_->SetCentral(Central());
    EXPECT_TRUE(store_->RefreshNow());
    EXPECT_TRUE(store_->FinishRefresh(60000)) << LogText();
    return store_.get();
  }
  void TearDown() override {
    LoopFixture::TearDown();
    store_.reset();
  }

  TCentralParams Central() {
    const ConnectionParams& p = Db().Params();
    return TCentralParams{p.DSNName, p.User, p.Password, p.Database, p.Driver, p.ConnectOptions};
  }
  // The loop's database and the replay's go away: a closed port, or a file in a folder that
  // does not exist.
  void DatabaseGone() {
    custom_ = Loop().Conn->Custom;
    database_ = Loop().Conn->DataBase;
    Loop().Conn->Disconnect();
    TCentralParams gone = Central();
    if (backend() == Backend::MariaDB) {
      Loop().Conn->Custom = gone.options = Format("SERVER=127.0.0.1;PORT=%d", ClosedPort());
    } else {
      Loop().Conn->DataBase = gone.database = (dir_ / "gone" / "site.db").string();
    }
    store_->SetCentral(gone);
  }
  void DatabaseBack() {
    Loop().Conn->Custom = custom_;
    Loop().Conn->DataBase = database_;
    store_->SetCentral(Central());
  }
  // The reader's answer to a read at `address`: "G:<data>", "B:<data>" or, for a dispenser,
  // the count of frames.
  std::string Read(int address, const std::string& data) {
    const size_t from = Mark();
    Loop().CardData(address, data);
    const auto frames = FramesUntilMarker(address, from);
    std::string answer;
    for (const std::string& f : frames) {
      const std::string cmd = JsonString(f, "cmd");
      if (cmd == "Y") continue;  // the dispenser's go-ahead
      answer += (answer.empty() ? "" : " ") + cmd + ":" + JsonString(f, "data");
    }
    return answer;
  }
  int Trans(const std::string& where = "") { return QueryInt("SELECT count(*) FROM trans " + where); }

  std::unique_ptr<TOfflineStore> store_;
  std::string custom_;
  std::string database_;
};

TEST_P(OfflineCards, AnOutageWhileReadsGoOn) {
  const std::string exitTicket = CycleBarcode(Clock() - 5 * kMinute, 12);
  const std::string dispensed = "0" + CycleBarcode(Clock() - kMinute, 4) + "000321";
  struct Step {
    const char* what;
    int address;
    std::string data;
    std::string answer;
  };
  const Step outage[] = {
      {"accepted", 1, "1001", "G:007Welcome Ann Lee"},
      {"passback", 1, "1001", "B:Passback Ann"},
      {"unknown", 1, "5555", "B:Card 5555 unknown"},
      {"expired", 1, "1005", "B:Inactive two"},
      {"no access", 1, "1007", "B:No access two"},
      {"revoked before the copy", 1, "1004", "B:Card 1004 unknown"},
      {"out through the exit", 2, "1001", "G:004Welcome Ann Lee"},
      {"a paid ticket no dispenser reported", 5, exitTicket, "G:009Thank you..."},
      {"the same ticket again", 5, exitTicket, "B:ExitPass Used"},
      {"a dispenser's record", 4, dispensed, ""},
  };
  DatabaseGone();
  for (const Step& s : outage) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(Read(s.address, s.data), s.answer);
  }
  EXPECT_NE(LogText().find("Offline decisions started: the database cannot be reached"), std::string::npos);
  EXPECT_EQ(LogText().find("Cannot connect to DB!"), std::string::npos);
  EXPECT_TRUE(metrics::TStatusStore::Instance().Snapshot().offline.deciding);
  // Seven card reads, the ticket's two writes, the dispenser's record, four passages counted;
  // and the devices' own reports (power-ups) as they came.
  EXPECT_GE(store_->Waiting(), 7 + 2 + 1 + 4);
  EXPECT_EQ(Trans(), 0);

  DatabaseBack();
  // Decided from the copy until the journal is empty, online afterwards: the same answers.
  EXPECT_EQ(Read(1, "1006"), "G:007Welcome Fay Orr");
  ASSERT_TRUE(RunUntil([&] { return store_->Waiting() == 0; }, 60000)) << LogText();
  EXPECT_EQ(Read(1, "1001"), "G:007Welcome Ann Lee");
  EXPECT_FALSE(Loop().FromCopy());
  EXPECT_NE(LogText().find("Offline decisions ended: "), std::string::npos);

  // Every read once, with its own time; the ticket with the time of its read.
  EXPECT_EQ(Trans(), 9);
  const std::string when = FormatDateTime("YYYY-MM-DD HH:NN:SS", Clock());
  EXPECT_EQ(Trans("WHERE dat_e = {ts '" + when + "'}"), 9);
  EXPECT_EQ(Trans("WHERE cardno = 1001"), 4);
  EXPECT_EQ(Trans("WHERE error_code = 4"), 1);
  EXPECT_EQ(Trans("WHERE error_code = 1"), 2);
  EXPECT_EQ(QueryInt("SELECT in_lot FROM card WHERE number = 1001"), 1);
  EXPECT_EQ(QueryInt("SELECT status FROM tickinv WHERE barcode = '" + exitTicket + "'"), 2);
  EXPECT_EQ(Query("SELECT l_date FROM tickinv WHERE barcode = '" + exitTicket + "'").substr(0, 19), when);
  EXPECT_EQ(QueryInt("SELECT issuerid FROM tickinv WHERE barcode = '" + dispensed.substr(1, 10) + "'"), 4);
  // Passages: 1001 in and out, the ticket, the dispenser, 1006 and 1001 after the outage.
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 6);
  EXPECT_EQ(QueryInt("SELECT count_soft FROM device WHERE id = 101"), 3);
}

// With the database there, the copy follows the loop's own decisions: an outage that begins
// right after an entry still refuses the passback.
TEST_P(OfflineCards, TheCopyKnowsTheDecisionsMadeBeforeTheOutage) {
  EXPECT_EQ(Read(1, "1001"), "G:007Welcome Ann Lee");
  EXPECT_EQ(Trans(), 1);
  DatabaseGone();
  EXPECT_EQ(Read(1, "1001"), "B:Passback Ann");
  EXPECT_EQ(Read(2, "1001"), "G:004Welcome Ann Lee");
  DatabaseBack();
  ASSERT_TRUE(RunUntil([&] { return store_->Waiting() == 0; }, 60000)) << LogText();
  EXPECT_EQ(Trans(), 3);
  EXPECT_EQ(QueryInt("SELECT in_lot FROM card WHERE number = 1001"), 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, OfflineCards, TARN_BACKENDS);

}  // namespace
}  // namespace tarn::test
