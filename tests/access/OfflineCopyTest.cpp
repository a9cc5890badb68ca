// The local copy against the database it was taken from, on SQLite and MariaDB: it gives a
// decision the rows the database gives, it follows the site's own writes so that a run of
// reads decided from it ends as the same run decided online, and it knows what the database
// said when it was taken, not what changed afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "access/CardAnswer.h"
#include "access/CardProcessing.h"
#include "access/CopyTaking.h"
#include "access/OdbcRowSource.h"
#include "access/OdbcWriter.h"
#include "access/OfflineCopy.h"
#include "support/ScratchDir.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

const TDateTime kNow = EncodeDateTime(2024, 3, 13, 10, 0, 0);  // a Wednesday

std::string Ts(TDateTime t) { return "'" + FormatDateTime("YYYY-MM-DD HH:NN:SS", t) + "'"; }

// Writes of the decisions to the copy, as the offline store applies them.
class TCopyWriter : public TDecisionWriter {
 public:
  explicit TCopyWriter(TOfflineCopy& copy) : copy_(copy) {}
  void ApplyCard(const TCardWrites& w) override { EXPECT_TRUE(copy_.Apply(w, w.trans.when, 0)) << copy_.Error(); }
  void RecordUnknownTicket(const TUnknownTicket& t) override { EXPECT_TRUE(copy_.Apply(t, Now(), 0)); }
  void ApplyTicketTaken(const TTicketTaken& t) override { EXPECT_TRUE(copy_.Apply(t, Now(), 0)); }
  bool ApplyDispenserRecord(const TDispenserWrites& w) override { return copy_.Apply(w, Now(), 0); }

 private:
  TOfflineCopy& copy_;
};

// One loop with an entry (special output), an exit and an inner reader; plain cards, a card
// on a pathway in a pool of two, a first-use card of a type with one shared period, a card
// whose type is missing, a card with empty dates; a holiday today; tickets in and out.
class OfflineCopyTest : public test::BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_copy"; }
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string loopTable = backend() == test::Backend::MariaDB ? "`loop`" : "loop";
    for (const std::string& sql : {
             "INSERT INTO " + loopTable + " (id, name, enabled, port, rfmodem) VALUES (1, 'site', 1, 1, 0), "
             "(2, 'other', 1, 2, 0), (3, 'POE/POF', 0, 0, 0)",
             std::string("INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 1, 5)"),
             std::string("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, no_path, debit_flag, "
                         "open_pulse, special_out, device_type, lot_id) VALUES "
                         "(101, 1, 1, 'Entry', 2, 1, 0, 1, 7, 1, 0, 1), (102, 1, 2, 'Exit', 2, 2, 0, 1, 4, 0, 0, 1), "
                         "(103, 1, 3, 'Inner', 1, 3, 0, 0, 3, 0, 0, 1), (201, 2, 1, 'Elsewhere', 1, 1, 0, 0, 5, 0, 0, 1)"),
             std::string("INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, "
                         "max_group, not_on_path) VALUES "
                         "(1, 'Idle', 'Up', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB %f', 'Full', 'Path'), "
                         "(2, 'Idle 2', 'Up 2', 'Welcome %f %l %d', 'Card %c?', 'No', 'Old', 'Passback %f', 'Pool "
                         "full', 'Wrong way')"),
             std::string("INSERT INTO card_type (id, access_level_id, days, global_expiry, first_use_flg, no_expiry_flg, "
                         "pathway_id, msg_id, date_set) VALUES (1, 1, 0, 0, 0, 1, 0, 0, 0), (2, 1, 0, 0, 0, 1, 7, 1, 0), "
                         "(3, 2, 30, 1, 1, 0, 0, 0, 0)"),
             "INSERT INTO card (number, type_id, group_id, in_gate, in_lot, trans_dt, first_name, last_name, space_no, "
             "misc_1, str_eet, date_set, start_dt, exp_iry) VALUES "
             "(1001, 1, 0, -1, 0, " + Ts(kNow - 1) + ", 'Ann', 'Lee', 5, 'm1', 'High St', 1, " + Ts(kNow - 9) + ", " +
                 Ts(kNow + 9) + "), "
             "(1002, 2, 3, -1, 0, " + Ts(kNow - 1) + ", 'Bob', 'Ray', 0, '', '', 1, " + Ts(kNow - 9) + ", " +
                 Ts(kNow + 9) + "), "
             "(1003, 3, 0, -1, 0, NULL, 'Cy', 'Day', 0, '', '', 0, NULL, NULL), "
             "(1004, 99, 0, -1, 0, NULL, 'Dee', 'Fox', 0, '', '', 0, NULL, NULL), "
             "(1005, 2, 3, -1, 0, " + Ts(kNow - 1) + ", 'Eve', 'Kim', 0, '', '', 1, " + Ts(kNow - 9) + ", " +
                 Ts(kNow + 9) + "), "
             "(1006, 2, 3, -1, 0, " + Ts(kNow - 1) + ", 'Fay', 'Orr', 0, '', '', 1, " + Ts(kNow - 9) + ", " +
                 Ts(kNow + 9) + ")",
             std::string("INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (3, 2, 0)"),
             std::string("INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, "
                         "day_8, day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', "
                         "'00:00:00'), (2, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, '08:00:00', '09:00:00'), "
                         "(3, 2, 1, 1, 1, 1, 1, 1, 1, 0, 1, '22:00:00', '06:00:00')"),
             std::string("INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 101), (1, 102), (1, 103), "
                         "(2, 101), (3, 101)"),
             "INSERT INTO holiday (holi_day, tab_num) VALUES ('" + FormatDateTime("yyyy-mm-dd", kNow + 1) + "', 1)",
             std::string("INSERT INTO pathway_ft (pathway_id, from_device, to_device, time_limit) VALUES "
                         "(7, 101, 103, 30), (7, 103, 102, 10)"),
             std::string("INSERT INTO spots (number, floor) VALUES (5, 2)"),
             std::string("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 4, 100)"),
             "INSERT INTO tickinv (barcode, ticket, issuerid, takerid, status, in_date, l_date) VALUES "
             "('1111111101', 11, 1, NULL, 0, " + Ts(kNow - 0.1) + ", " + Ts(kNow - 0.1) + "), "
             "('2222222202', 22, 2, 5, 2, " + Ts(kNow - 0.2) + ", " + Ts(kNow - 0.01) + "), "
             "('3333333303', 33, 3, 5, 2, " + Ts(kNow - 30) + ", " + Ts(kNow - 20) + "), "
             "('4444444404', 44, NULL, NULL, 0, " + Ts(kNow - 0.1) + ", " + Ts(kNow - 0.1) + ")",
         })
      ASSERT_TRUE(Db().Exec(sql)) << sql;
    path_ = (::tarn::testing::ScratchDir("offline-copy") / "copy.sqlite").string();
  }

  // Takes the copy as the refresh does and opens it.
  void Take() {
    std::atomic<bool> stop{false};
    TCopyTaken taken;
    std::string error;
    ASSERT_TRUE(TakeCopy(Db().ODBC(), path_, "site", stop, taken, error)) << error;
    ASSERT_TRUE(copy_.Open(path_, &error)) << error;
    EXPECT_EQ(copy_.Facts().computer, "site");
    EXPECT_EQ(copy_.Facts().cards, taken.cards);
    EXPECT_EQ(copy_.Facts().taken, now_);
  }

  TCardRowsKey Key(int address, std::optional<CardNumber> card, bool decision = true, bool answer = true) {
    TCardRowsKey key;
    key.loopId = 1;
    key.address = address;
    key.card = card;
    key.when = now_;
    key.decision = decision;
    key.answer = answer;
    return key;
  }

  TDateTime now_ = kNow;
  ScopedClock clock_{[this] { return now_; }};
  std::string path_;
  TOfflineCopy copy_;
};

TEST_P(OfflineCopyTest, GivesTheRowsTheDatabaseGives) {
  Take();
  EXPECT_EQ(copy_.Facts().cards, 6);
  TOdbcRowSource database(Db().ODBC());
  struct Case {
    const char* what;
    TCardRowsKey key;
  };
  const Case cases[] = {
      {"plain card at the special-output entry", Key(1, 1001)},
      {"pooled card on a pathway at the exit", Key(2, 1002)},
      {"first-use card of a shared period at the inner reader", Key(3, 1003)},
      {"card whose type is missing", Key(1, 1004)},
      {"card not on file", Key(1, 5555)},
      {"no card number (the device's messages)", Key(1, std::nullopt, false)},
      {"the answer's rows only", Key(2, 1001, false)},
      {"a stored read: no answer", Key(1, 1002, true, false)},
      {"no device at the address", Key(9, 1001)},
      {"tomorrow is a holiday", [&] {
         TCardRowsKey k = Key(1, 1001);
         k.when = kNow + 1;
         return k;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TCardRows online = database.CardRows(c.key);
    const TCardRows offline = copy_.CardRows(c.key);
    EXPECT_TRUE(online.device == offline.device);
    EXPECT_TRUE(online.settings == offline.settings);
    EXPECT_TRUE(online.card == offline.card);
    EXPECT_TRUE(online.type == offline.type);
    EXPECT_EQ(online.holidayTab, offline.holidayTab);
    EXPECT_TRUE(online.ranges == offline.ranges);
    EXPECT_TRUE(online.legs == offline.legs);
    EXPECT_TRUE(online.messages == offline.messages);
    EXPECT_TRUE(online.spot == offline.spot);
    EXPECT_TRUE(online == offline);
  }
  for (int pool : {3, 4}) EXPECT_TRUE(database.CardPool(pool) == copy_.CardPool(pool)) << pool;
  for (int spot : {5, 6}) EXPECT_TRUE(database.Spot(spot) == copy_.Spot(spot)) << spot;
  struct Ticket {
    const char* barcode;
    int32_t number;
  };
  // Tickets inside, taken today, unknown; a number no dispenser has claimed, one already claimed.
  for (const Ticket& t : {Ticket{"1111111101", 11}, Ticket{"2222222202", 0}, Ticket{"9999999999", 44},
                          Ticket{"9999999999", 11}, Ticket{"9999999999", 0}}) {
    SCOPED_TRACE(t.barcode + std::string(" / ") + std::to_string(t.number));
    const TExitTicketRows a = database.ExitTicketRows(1, 2, t.barcode), b = copy_.ExitTicketRows(1, 2, t.barcode);
    EXPECT_TRUE(a.ticket == b.ticket);
    EXPECT_TRUE(a.device == b.device);
    const TDispenserRows c = database.DispenserRows(t.barcode, t.number), d = copy_.DispenserRows(t.barcode, t.number);
    EXPECT_TRUE(c.byBarcode == d.byBarcode);
    EXPECT_TRUE(c.byNumber == d.byNumber);
  }
  // A ticket taken long ago stays out of the copy: a read of it is judged as a new one.
  EXPECT_TRUE(database.Ticket("3333333303").has_value());
  EXPECT_FALSE(copy_.Ticket("3333333303").has_value());

  // Set-up rows: this computer's loop and the POE/POF loop, not another computer's.
  const std::vector<TCopyLoopRow> loops = copy_.Loops("site");
  ASSERT_EQ(loops.size(), 2u);
  EXPECT_EQ(loops[0].id, 1);
  EXPECT_EQ(loops[1].id, 3);
  EXPECT_EQ(copy_.Devices(1).size(), 3u);
  EXPECT_EQ(copy_.Devices(2).size(), 1u);
  EXPECT_EQ(copy_.IdleTexts(2)->first, "Idle 2");

  // The file holds card holders' names: its owner only.
  struct stat sb {};
  ASSERT_EQ(::stat(path_.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);
}

// The same reads, one after the other, decided online against the database and offline
// against the copy (which follows its own writes): the same results, the same texts, and
// the card rows end the same.
TEST_P(OfflineCopyTest, FollowsItsOwnWritesLikeTheDatabase) {
  Take();
  TOdbcRowSource database(Db().ODBC());
  TOdbcWriter databaseWriter(Db().ODBC());
  TCopyWriter copyWriter(copy_);
  struct Read {
    const char* what;
    CardNumber card;
    int address;
    double minutes;  // after the start
    AccessResult expected;
  };
  const Read reads[] = {
      {"entry", 1001, 1, 0, kAccepted},
      {"entry again within the passback minutes (soft)", 1001, 1, 2, kPassback | kSoftBit},
      {"exit", 1001, 2, 3, kAccepted},
      {"pooled entry starts the pathway", 1002, 1, 4, kAccepted},
      {"second of the pool", 1005, 1, 5, kAccepted},
      {"the pool is full", 1006, 1, 6, kGroupMax},
      {"pathway's next leg", 1002, 3, 7, kAccepted},
      {"pathway skipped a leg", 1005, 2, 8, kNotInPath},
      {"pool exit frees a place", 1002, 2, 9, kAccepted},
      {"now there is room", 1006, 1, 10, kAccepted},
      {"first use sets the shared period (night range at the entry only)", 1003, 1, 11, kNoValidAccess},
      {"type missing", 1004, 1, 12, kNoValidAccess},
      {"not on file", 5555, 1, 13, kNotOnFile},
  };
  for (const Read& r : reads) {
    SCOPED_TRACE(r.what);
    now_ = kNow + r.minutes / 1440.0;
    TCardRead read;
    read.card = r.card;
    read.address = r.address;
    read.loopId = 1;
    const TCardOutcome online = ProcessCard(read, database, databaseWriter, Db().Log());
    const TCardOutcome offline = ProcessCard(read, copy_, copyWriter, Db().Log());
    EXPECT_EQ(online.result, r.expected);
    EXPECT_EQ(offline.result, online.result);
    EXPECT_EQ(ReaderMessageText(offline.rows, offline.result, r.card, "", now_),
              ReaderMessageText(online.rows, online.result, r.card, "", now_));
    EXPECT_EQ(offline.openPulse, online.openPulse);
    EXPECT_EQ(offline.specialSpace, online.specialSpace);
  }
  for (CardNumber card : {1001, 1002, 1003, 1005, 1006}) {
    SCOPED_TRACE(card);
    EXPECT_TRUE(database.CardRows(Key(1, card)).card == copy_.CardRows(Key(1, card)).card);
    EXPECT_TRUE(database.CardRows(Key(1, card)).type == copy_.CardRows(Key(1, card)).type);
  }
  EXPECT_TRUE(database.CardPool(3) == copy_.CardPool(3));
  EXPECT_EQ(copy_.CardPool(3)->curInLot, 2);
}

// What the database said when the copy was taken is what the copy decides by; a change
// made afterwards by another program is not known to it.
TEST_P(OfflineCopyTest, DecidesAsTheDatabaseStoodWhenTheCopyWasTaken) {
  struct Case {
    const char* what;
    std::string before;  // run before the copy is taken
    std::string after;   // run after it
    CardNumber card;
    int address;
    AccessResult offline;
  };
  const Case cases[] = {
      {"revoked before the copy", "DELETE FROM card WHERE number = 1001", "", 1001, 1, kNotOnFile},
      {"access at the exit taken away before the copy", "DELETE FROM a_l_range_device WHERE device_id = 102", "",
       1002, 2, kNoValidAccess},
      {"moved to a night-only type before the copy", "UPDATE card SET type_id = 3 WHERE number = 1005", "", 1005, 1,
       kNoValidAccess},
      {"revoked after the copy: not known", "", "DELETE FROM card WHERE number = 1006", 1006, 1, kAccepted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    copy_.Close();
    if (!c.before.empty()) {
      ASSERT_TRUE(Db().Exec(c.before));
    }
    Take();
    if (!c.after.empty()) {
      ASSERT_TRUE(Db().Exec(c.after));
    }
    TCardRead read;
    read.card = c.card;
    read.address = c.address;
    read.loopId = 1;
    TCopyWriter writer(copy_);
    EXPECT_EQ(ProcessCard(read, copy_, writer, Db().Log()).result, c.offline);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, OfflineCopyTest, TARN_BACKENDS);

}  // namespace
}  // namespace tarn
