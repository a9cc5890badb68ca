// The offline store with its threads, on SQLite and MariaDB: a copy taken by the refresh
// thread, decisions from it while the database cannot be reached, the journal emptied into
// the database by the replay thread once it can, offline deciding told in the log and on the
// status page; an entry on the disk survives a kill, and a copy that missed entries before a
// crash gets them at the next open.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "access/CardProcessing.h"
#include "access/CopyTaking.h"
#include "access/OfflineStore.h"
#include "metrics/StatusStore.h"
#include "platform/Tick.h"
#include "support/ScratchDir.h"
#include "support/SmtpSink.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"
#include "util/Format.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& pred, int ms) {
  const uint64_t until = platform::TickMs() + static_cast<uint64_t>(ms);
  while (!pred()) {
    if (platform::TickMs() > until) return false;
    usleep(10000);
  }
  return true;
}

class OfflineStoreTest : public test::BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_store"; }
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string loopTable = backend() == test::Backend::MariaDB ? "`loop`" : "loop";
    for (const std::string& sql : {
             "INSERT INTO " + loopTable + " (id, name, enabled, port, rfmodem) VALUES (1, 'site', 1, 1, 0)",
             std::string("INSERT INTO settings (soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0)"),
             std::string("INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, lot_id) "
                         "VALUES (101, 1, 1, 'Entry', 1, 1, 7, 1), (102, 1, 2, 'Exit', 1, 2, 4, 1)"),
             std::string("INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, "
                         "max_group, not_on_path) VALUES (1, 'Idle', 'Up', 'Hello %f', 'No card %c', 'No access', "
                         "'Inactive', 'PB', 'Full', 'Path')"),
             std::string("INSERT INTO card_type (id, access_level_id, no_expiry_flg, msg_id) VALUES (1, 1, 1, 0)"),
             std::string("INSERT INTO card (number, type_id, first_name, last_name, in_lot, in_gate) VALUES "
                         "(1001, 1, 'Ann', 'Lee', 0, -1), (1002, 1, 'Bob', 'Ray', 0, -1)"),
             std::string("INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, "
                         "day_7, day_8, day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, "
                         "'00:00:00', '00:00:00')"),
             std::string("INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 101), (1, 102)"),
             std::string("INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 0, 100)"),
             std::string("INSERT INTO counters (id, lot_id) VALUES (1, 1)"),
             std::string("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (101, 7, 1, 1)"),
         })
      ASSERT_TRUE(Db().Exec(sql)) << sql;
    dir_ = ::tarn::testing::ScratchDir("offline-store");
  }

  TCentralParams Central() const {
    const test::ConnectionParams& p = const_cast<OfflineStoreTest*>(this)->Db().Params();
    return TCentralParams{p.DSNName, p.User, p.Password, p.Database, p.Driver, p.ConnectOptions};
  }
  // A database nobody can reach: a closed port, or a file in a folder that does not exist.
  TCentralParams Unreachable() const {
    TCentralParams p = Central();
    if (backend() == test::Backend::MariaDB)
      p.options = Format("SERVER=127.0.0.1;PORT=%d", ::tarn::test::ClosedPort());
    else
      p.database = (dir_ / "gone" / "site.db").string();
    return p;
  }
  std::unique_ptr<TOfflineStore> MakeStore() {
    auto store = std::make_unique<TOfflineStore>(Db().Log(), TOfflineStore::TSettings{dir_.string(), 5, "site", false});
    EXPECT_TRUE(store->Open());
    return store;
  }
  AccessResult Decide(TOfflineStore& store, CardNumber card, int address) {
    TCardRead read;
    read.card = card;
    read.address = address;
    read.loopId = 1;
    EXPECT_TRUE(store.DecideOffline(false));
    return ProcessCard(read, store.Source(), store.OfflineWriter(), Db().Log()).result;
  }
  int Count(const std::string& text) {
    const std::string log = Db().LogText();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

  fs::path dir_;
};

TEST_P(OfflineStoreTest, DecidesThroughAnOutageAndSendsTheWritesWhenItEnds) {
  auto store = MakeStore();
  EXPECT_FALSE(store->HasCopy());
  // No copy yet: nothing can be decided from it.
  EXPECT_FALSE(store->DecideOffline(false));
  EXPECT_EQ(Count("Offline decisions: there is no local copy yet"), 1);

  store->SetCentral(Central());
  ASSERT_TRUE(store->RefreshNow());
  ASSERT_TRUE(store->FinishRefresh(60000)) << Db().LogText();
  EXPECT_EQ(Count("Offline copy taken: 2 cards"), 1);
  EXPECT_EQ(metrics::TStatusStore::Instance().Snapshot().offline.copyTaken, store->CopyFacts().taken);

  // The outage: the replay cannot reach the database either.
  store->SetCentral(Unreachable());
  EXPECT_EQ(Decide(*store, 1001, 1), kAccepted);
  EXPECT_EQ(Decide(*store, 1001, 1), kPassback) << "the copy follows its own decisions";
  EXPECT_EQ(Decide(*store, 1002, 1), kAccepted);
  EXPECT_EQ(Decide(*store, 1002, 2), kAccepted);
  store->SoftCount(101);
  EXPECT_EQ(store->Waiting(), 5);
  EXPECT_EQ(Count("Offline decisions started: the database cannot be reached"), 1);
  const metrics::TOfflineState state = metrics::TStatusStore::Instance().Snapshot().offline;
  EXPECT_TRUE(state.deciding);
  EXPECT_EQ(state.waitingWrites, 5u);
  EXPECT_EQ(Db().QueryNumber("SELECT COUNT(*) FROM trans"), 0);

  // The database is back: decisions stay with the copy until the journal is empty.
  store->SetCentral(Central());
  EXPECT_TRUE(store->DecideOffline(true) || store->Waiting() == 0);
  store->KickReplay();
  ASSERT_TRUE(WaitFor([&] { return store->Waiting() == 0 && Count("Offline replay finished: ") == 1; }, 60000))
      << Db().LogText();
  EXPECT_FALSE(store->DecideOffline(true));
  EXPECT_EQ(Count("Offline decisions ended: 5 writes waited for the database, the replay took "), 1) << Db().LogText();
  EXPECT_EQ(Count("Offline replay finished: 5 writes applied in "), 1);
  EXPECT_FALSE(metrics::TStatusStore::Instance().Snapshot().offline.deciding);

  EXPECT_EQ(Db().QueryNumber("SELECT COUNT(*) FROM trans"), 4);
  EXPECT_EQ(Db().QueryNumber("SELECT COUNT(*) FROM trans WHERE error_code = 4"), 1);
  EXPECT_EQ(Db().QueryNumber("SELECT in_lot FROM card WHERE number = 1001"), 1);
  EXPECT_EQ(Db().QueryNumber("SELECT in_lot FROM card WHERE number = 1002"), 2);
  EXPECT_EQ(Db().QueryNumber("SELECT lot_count FROM lot WHERE id = 1"), 1);
  EXPECT_EQ(Db().QueryNumber("SELECT count_soft FROM device WHERE id = 101"), 1);

  // Files of card holders' names: the owner's only.
  for (const std::string& path : {store->CopyPath(), store->JournalPath()}) {
    struct stat sb {};
    ASSERT_EQ(::stat(path.c_str(), &sb), 0) << path;
    EXPECT_EQ(sb.st_mode & 0777, 0600u) << path;
  }
}

// A child process appends and says so after each append; it is killed at some moment. Every
// entry it said it had appended is in the journal, whole.
TEST_P(OfflineStoreTest, AnEntryAppendedSurvivesAKill) {
  if (backend() != test::Backend::SQLite) GTEST_SKIP() << "the journal is the same file on every database";
  const std::string path = (dir_ / "killed-journal.sqlite").string();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    TOfflineJournal journal;
    if (!journal.Open(path, nullptr)) ::_exit(2);
    for (int i = 1; i <= 100000; ++i) {
      TCardWrites w;
      w.card = 1000 + i;
      w.trans.cardNo = std::to_string(w.card);
      const int64_t id = journal.Append(w, 45000.5 + i);
      if (id <= 0 || ::write(fds[1], &id, sizeof id) != sizeof id) ::_exit(3);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  int64_t said = 0;
  for (int n = 0; n < 40; ++n) ASSERT_EQ(::read(fds[0], &said, sizeof said), static_cast<ssize_t>(sizeof said));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  // What was in the pipe when it died was appended as well.
  int64_t id = 0;
  while (::read(fds[0], &id, sizeof id) == static_cast<ssize_t>(sizeof id)) said = id;
  ::close(fds[0]);
  ASSERT_TRUE(WIFSIGNALED(status));

  TOfflineJournal journal;
  std::string error;
  ASSERT_TRUE(journal.Open(path, &error)) << error;
  const std::vector<TJournalRecord> records = journal.Entries(0, 200000);
  ASSERT_GE(static_cast<int64_t>(records.size()), said);
  for (int64_t i = 0; i < said; ++i) {
    EXPECT_EQ(records[static_cast<size_t>(i)].id, i + 1);
    ASSERT_TRUE(records[static_cast<size_t>(i)].write.has_value());
    EXPECT_EQ(std::get<TCardWrites>(*records[static_cast<size_t>(i)].write).card, 1001 + i);
  }
}

// Entries appended just before a crash that never reached the copy are applied to it when
// the store opens again, so the outage goes on from the site's own state.
TEST_P(OfflineStoreTest, ACopyThatMissedEntriesGetsThemAtTheNextOpen) {
  {
    auto store = MakeStore();
    store->SetCentral(Central());
    ASSERT_TRUE(store->RefreshNow());
    ASSERT_TRUE(store->FinishRefresh(60000));
    store->SetCentral(Unreachable());
    EXPECT_EQ(Decide(*store, 1001, 1), kAccepted);
  }
  {
    // The crash: an entry in the journal, not in the copy.
    TOfflineJournal journal;
    ASSERT_TRUE(journal.Open((dir_ / TOfflineStore::kJournalFile).string(), nullptr));
    TCardWrites exit;
    exit.card = 1002;
    exit.inLot = 1;
    exit.transDt = Now();
    exit.trans.cardNo = "1002";
    exit.trans.when = Now();
    ASSERT_GT(journal.Append(exit, Now()), 0);
  }
  auto store = MakeStore();
  store->SetCentral(Unreachable());
  EXPECT_EQ(store->Waiting(), 2);
  EXPECT_EQ(Count("Offline copy: 1 journal entries applied to it after a restart"), 1);
  EXPECT_EQ(Decide(*store, 1001, 1), kPassback);
  EXPECT_EQ(Decide(*store, 1002, 1), kPassback) << "the entry the copy missed is in it now";
}

INSTANTIATE_TEST_SUITE_P(Backends, OfflineStoreTest, TARN_BACKENDS);

}  // namespace
}  // namespace tarn
