// The real service with offline decisions against a private MariaDB server of this suite that
// goes away: reads answered from the local copy during the outage, a kill -9 in the middle of
// it and a start while the server is still away, a kill -9 in the middle of the replay and a
// second outage during it, and 48 readers reading 10 cards each during an outage. Afterwards
// every read has exactly one trans row and the lot count is exact.
//
// The outage of the 48 x 10 run lasts as long as its reads take (about half a minute on the
// two-core CI machine); the five-minute run with the same checks is bench/offline.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/OfflineEntry.h"
#include "access/OfflineJournal.h"
#include "access/OfflineStore.h"
#include "db/SqliteFile.h"
#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "platform/Tick.h"
#include "support/HttpProbe.h"
#include "support/PrivateMariaDB.h"
#include "support/ScratchDir.h"
#include "support/ServiceSite.h"
#include "support/TestDatabase.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;
using ::tarn::testing::JsonInt;
using ::tarn::testing::JsonString;
using ::tarn::testing::TSimProcess;
using ::tarn::testing::TSiteComputer;
using ::tarn::testing::WaitFor;

// The site: loop 1 of computer "offline-a" with 48 readers; reader 2 is the exit, every
// other reader an entry. Lot 1 gains one at every accepted entry and loses one at every
// accepted exit. Cards 5001.. of type 1 (access everywhere, always); card 7001 of type 2
// (no access anywhere).
std::vector<std::string> SiteRows() {
  std::string devices, access, items;
  for (int a = 1; a <= 48; ++a) {
    const int id = 100 + a;
    devices += Format("%s(%d, 1, %d, 'Reader %d', 1, %d, 7, 0, 1)", devices.empty() ? "" : ", ", id, a, a,
                      a == 2 ? 2 : 1);
    access += Format("%s(1, %d)", access.empty() ? "" : ", ", id);
    items += Format("%s(%d, 7, 1, %d)", items.empty() ? "" : ", ", id, a == 2 ? 2 : 1);
  }
  std::string cards;
  for (int n = 5001; n <= 5600; ++n) cards += Format("%s(%d, 1, 'A', 'B', 0, 0)", cards.empty() ? "" : ", ", n);
  return {
      "INSERT INTO `loop` (id, name, enabled, port, rfmodem) VALUES (1, 'offline-a', 1, 1, 0)",
      "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, lot_id) VALUES " +
          devices,
      "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
      "not_on_path) VALUES (1, 'Idle', 'Up', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB %f', 'Group', "
      "'Path')",
      "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES (1, 'Plain', 1, 1, 0), "
      "(2, 'Nowhere', 2, 1, 0)",
      "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9, "
      "start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
      "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES " + access,
      "INSERT INTO settings (reset_vtsql, soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0, 0)",
      "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Lot', 0, 100000)",
      "INSERT INTO counters (id, lot_id) VALUES (1, 1)",
      "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES " + items,
      "INSERT INTO card (number, type_id, first_name, last_name, space_no, in_lot) VALUES " + cards,
      "INSERT INTO card (number, type_id, first_name, last_name, space_no, in_lot) VALUES (7001, 2, 'C', 'D', 0, 0)",
  };
}

class OfflineOutage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (MariaDBTestPort() == 0) return;
    port_ = ::tarn::testing::FreeLoopbackPort();
    server_ = new PrivateMariaDB("mariadb-offline", port_);
    std::string why;
    if (!server_->Install(&why)) installError_ = why;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    if (MariaDBTestPort() == 0) GTEST_SKIP() << "TARNCARD_TEST_MARIADB_PORT is not set";
    ASSERT_TRUE(installError_.empty()) << installError_;
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->WaitReady(60000)) << "private server did not come up";
    database_ = ("tarn_offline_" + LowerCase(::testing::UnitTest::GetInstance()->current_test_info()->name())).substr(0, 60);
    TODBC admin;
    ASSERT_TRUE(admin.ConnectToDataSource("", "tarn", "tarn", "", "MariaDB Unicode", server_->Options()));
    TODBCStatement st(&admin);
    ASSERT_TRUE(st.ExecSQL("DROP DATABASE IF EXISTS " + database_));
    ASSERT_TRUE(st.ExecSQL("CREATE DATABASE " + database_));
    ASSERT_TRUE(Connect());
    for (const std::string& sql : ReadSqlScript(SchemaPath(Backend::MariaDB))) ASSERT_TRUE(Exec(sql)) << sql;
    for (const std::string& sql : SiteRows()) ASSERT_TRUE(Exec(sql)) << sql;

    ConnectionParams p;
    p.Host = "127.0.0.1";
    p.Database = database_;
    p.User = "tarn";
    p.Password = "tarn";
    p.Driver = "MariaDB Unicode";
    p.ConnectOptions = server_->Options();
    site_ = std::make_unique<TSiteComputer>(::tarn::testing::ScratchDir("offline-outage"), p, "offline-a");
    sim_ = site_->AddLoop(1, {"--no-polls", "--baud", "9600", "1-48"});
    ASSERT_NE(sim_, nullptr);
    site_->SetSetting("Offline Decisions", "1");
    site_->SetSetting("Offline Copy Minutes", "1");
  }
  void TearDown() override {
    site_.reset();
    db_.reset();
    if (server_ != nullptr && !server_->Running()) server_->Start();
  }

  bool Connect() {
    db_ = std::make_unique<TODBC>();
    return db_->ConnectToDataSource("", "tarn", "tarn", database_, "MariaDB Unicode", server_->Options());
  }
  bool Exec(const std::string& sql) {
    TODBCStatement st(db_.get());
    return st.ExecSQL(sql);
  }
  // A number from the database (connecting again after an outage); -1 when it cannot be read.
  int64_t Number(const std::string& sql) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!db_ || !db_->Connected() || db_->ConnectionDead()) Connect();
      TODBCStatement st(db_.get());
      if (st.DoSQL(sql)) return StrToInt64Def(st.FieldAsString(st.Columns().empty() ? "" : st.Columns()[0].Name), -1);
      db_.reset();
    }
    return -1;
  }

  // Presents cards at several readers at once and waits for every answer ("G:<data>" or
  // "B:<data>", by address).
  std::map<int, std::string> Present(const std::map<int, std::string>& cards, int timeoutMs = 30000) {
    const size_t mark = sim_->LineCount();
    for (const auto& [address, card] : cards) sim_->Send("card " + std::to_string(address) + " " + card);
    std::map<int, std::string> answers;
    WaitFor(
        [&] {
          const std::vector<std::string> lines = sim_->Lines();
          for (size_t i = mark; i < lines.size(); ++i) {
            const std::string& l = lines[i];
            if (JsonString(l, "t") != "frame") continue;
            const int address = static_cast<int>(JsonInt(l, "addr"));
            const std::string cmd = JsonString(l, "cmd");
            if (cards.count(address) == 0 || answers.count(address) != 0) continue;
            if (cmd == "G" || (cmd == "B" && !JsonString(l, "data").empty()))
              answers[address] = cmd + ":" + JsonString(l, "data");
          }
          return answers.size() == cards.size();
        },
        timeoutMs);
    return answers;
  }
  std::string Read(int address, const std::string& card) {
    const auto answers = Present({{address, card}});
    auto it = answers.find(address);
    return it == answers.end() ? "<no answer>" : it->second;
  }
  void Kill() {
    ::kill(site_->Pid(), SIGKILL);
    site_->Stop();
  }
  std::string JournalPath() const { return (site_->Home() / TOfflineStore::kJournalFile).string(); }

  static PrivateMariaDB* server_;
  static int port_;
  static std::string installError_;
  std::string database_;
  std::unique_ptr<TODBC> db_;
  std::unique_ptr<TSiteComputer> site_;
  TSimProcess* sim_ = nullptr;
};

PrivateMariaDB* OfflineOutage::server_ = nullptr;
int OfflineOutage::port_ = 0;
std::string OfflineOutage::installError_;

TEST_F(OfflineOutage, AKillDuringAnOutageAndAStartWithoutTheDatabaseKeepEveryReadOnce) {
  const int statusPort = ::tarn::testing::FreeLoopbackPort();
  site_->SetStatus("Listen", "127.0.0.1:" + std::to_string(statusPort));
  site_->Start();
  ASSERT_TRUE(site_->WaitLog("Started!", 30000)) << site_->LogText();
  ASSERT_TRUE(site_->WaitLog("Offline copy taken: 601 cards", 30000)) << site_->LogText();
  EXPECT_EQ(Read(1, "5001"), "G:007Hello A");
  EXPECT_EQ(Read(1, "5002"), "G:007Hello A");

  server_->Stop();
  // From the copy, which knows the entries made a moment ago.
  EXPECT_EQ(Read(1, "5001"), "B:PB A");
  EXPECT_EQ(Read(3, "5003"), "G:007Hello A");
  EXPECT_EQ(Read(1, "9999"), "B:No card 9999");
  EXPECT_EQ(Read(1, "7001"), "B:No access");
  EXPECT_EQ(Read(2, "5001"), "G:007Hello A");
  EXPECT_TRUE(site_->WaitLog("Offline decisions started: the database cannot be reached", 5000));
  EXPECT_EQ(site_->CountLog("Cannot connect to DB!"), 0u);
  {
    const auto json = ::tarn::testing::HttpGet(statusPort, "/status.json");
    EXPECT_NE(json.body.find("\"offline\":{\"deciding\":true,\"copy_taken\":\""), std::string::npos) << json.body;
    const auto metrics = ::tarn::testing::HttpGet(statusPort, "/metrics");
    EXPECT_NE(metrics.body.find("tarncard_offline_deciding 1"), std::string::npos);
    EXPECT_NE(metrics.body.find("tarncard_offline_decisions_total 5"), std::string::npos) << metrics.body;
  }

  // Killed in the middle of the outage: what was answered is in the journal.
  Kill();
  std::string error;
  const std::optional<TJournalFacts> journal = ReadJournalFacts(JournalPath(), &error);
  ASSERT_TRUE(journal) << error;
  EXPECT_GE(journal->entries, 5 + 2);
  struct stat sb {};
  ASSERT_EQ(::stat(JournalPath().c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);
  {
    const auto [rc, out] = ::tarn::testing::RunCommand("TARNCARD_HOME=" + site_->Home().string() +
                                                       " TARNCARD_REGISTRY=" + (site_->Home() / "registry.reg").string() +
                                                       " " + TSiteComputer::ExecutablePath() + " check");
    EXPECT_NE(out.find("Offline decisions: on"), std::string::npos) << out;
    EXPECT_NE(out.find("Offline copy:  "), std::string::npos) << out;
    EXPECT_NE(out.find(Format("Offline journal: %d writes waiting for the database", journal->entries)),
              std::string::npos)
        << out;
  }

  // Started again while the server is still away: the loops start from the copy.
  site_->Start();
  ASSERT_TRUE(site_->WaitLog("Starting from the local copy taken ", 30000)) << site_->LogText();
  ASSERT_TRUE(site_->WaitLog("Started!", 30000, 2)) << site_->LogText();
  EXPECT_EQ(Read(3, "5003"), "B:PB A");
  EXPECT_EQ(Read(4, "5004"), "G:007Hello A");

  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(server_->WaitReady(60000));
  ASSERT_TRUE(site_->WaitLog("Offline decisions ended: ", 60000)) << site_->LogText();
  EXPECT_EQ(Read(5, "5005"), "G:007Hello A");
  EXPECT_EQ(Read(4, "5004"), "B:PB A") << "the entry made offline is in the database";

  const std::map<std::string, int> reads = {{"5001", 3}, {"5002", 1}, {"5003", 2}, {"5004", 2},
                                            {"5005", 1}, {"9999", 1}, {"7001", 1}};
  int total = 0;
  for (const auto& [card, n] : reads) {
    EXPECT_EQ(Number("SELECT COUNT(*) FROM trans WHERE card_no = " + card), n) << card;
    total += n;
  }
  EXPECT_EQ(Number("SELECT COUNT(*) FROM trans"), total);
  // Entries 5001..5005 accepted, 5001 out again.
  EXPECT_EQ(Number("SELECT lot_count FROM lot WHERE id = 1"), 4);
  EXPECT_EQ(Number("SELECT in_lot FROM card WHERE number = 5001"), 2);
  const int status = site_->Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Writes waiting in the journal as an outage leaves them (written straight into the site's
// journal file, many of them, so that the replay lasts long enough to be interrupted): a
// kill -9 in the middle of the replay, then the server stopped in the middle of it.
TEST_F(OfflineOutage, AKillAndASecondOutageDuringTheReplayApplyEveryWriteOnce) {
  constexpr int kCards = 12000;
  {
    TOfflineJournal journal;
    std::string error;
    ASSERT_TRUE(journal.Open(JournalPath(), &error)) << error;
  }
  {
    TSqliteFile file;
    ASSERT_TRUE(file.Open(JournalPath(), TSqliteFile::TMode::ReadWrite, TSqliteFile::TSync::Off));
    ASSERT_TRUE(file.Begin());
    TSqliteStatement ins = file.Prepare("INSERT INTO entry (made, kind, payload) VALUES (?, ?, ?)");
    const TDateTime made = EncodeDateTime(2024, 3, 13, 9, 0, 0);
    for (int i = 0; i < kCards; ++i) {
      TCardWrites card;
      card.card = 100000 + i;
      card.inLot = 1;
      card.transDt = made;
      card.trans = TTransRow{std::to_string(card.card), made, 101, 0, "Accepted", "Reader 1", "A", "B", false};
      for (const TOfflineWrite& w : {TOfflineWrite{card}, TOfflineWrite{TSoftCount{101}}}) {
        ins.Bind(1, made).Bind(2, KindOf(w)).Bind(3, EncodeEntry(w));
        ASSERT_TRUE(ins.Run()) << file.Error();
      }
    }
    ASSERT_TRUE(file.Commit());
  }
  auto applied = [&] { return Number("SELECT COUNT(*) FROM offline_applied"); };

  site_->Start();
  ASSERT_TRUE(site_->WaitLog("Offline replay started: 24000 writes waiting", 30000)) << site_->LogText();
  ASSERT_TRUE(WaitFor([&] { return applied() > 0; }, 60000));
  Kill();
  const int64_t atKill = applied();
  ASSERT_GT(atKill, 0);
  ASSERT_LT(atKill, 2 * kCards) << "the replay ended before the kill: make it longer";

  site_->Start();
  ASSERT_TRUE(site_->WaitLog("Offline replay started: ", 30000, 2)) << site_->LogText();
  ASSERT_TRUE(WaitFor([&] { return applied() > atKill + 1000; }, 60000));
  server_->Stop();
  ASSERT_TRUE(site_->WaitLog("Offline replay interrupted", 30000)) << site_->LogText();
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(server_->WaitReady(60000));
  ASSERT_TRUE(site_->WaitLog("Offline replay finished: ", 120000)) << site_->LogText();

  EXPECT_EQ(applied(), 2 * kCards);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM trans"), kCards);
  EXPECT_EQ(Number("SELECT COUNT(DISTINCT card_no) FROM trans"), kCards);
  EXPECT_EQ(Number("SELECT lot_count FROM lot WHERE id = 1"), kCards);
  EXPECT_EQ(Number("SELECT count_soft FROM device WHERE id = 101"), kCards);
  const std::optional<TJournalFacts> journal = ReadJournalFacts(JournalPath(), nullptr);
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->entries, 0);
  const int status = site_->Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(OfflineOutage, FortyEightReadersTenReadsEachDuringAnOutage) {
  // The rounds are spread over this many seconds of outage (bench/offline/outage-run: 300);
  // 0, the test's own run, reads them one after the other.
  const char* spread = std::getenv("TARNCARD_OFFLINE_OUTAGE_SECONDS");
  const int spreadSeconds = spread != nullptr ? StrToIntDef(spread, 0) : 0;
  site_->Start();
  ASSERT_TRUE(site_->WaitLog("Started!", 30000)) << site_->LogText();
  ASSERT_TRUE(site_->WaitLog("Offline copy taken: ", 30000)) << site_->LogText();
  server_->Stop();
  const uint64_t downAt = platform::TickMs();
  // One car in first, so that the exit reader never meets an empty lot.
  EXPECT_EQ(Read(1, "5600"), "G:007Hello A");
  int card = 5001;
  int exits = 0;
  for (int round = 0; round < 10; ++round) {
    if (spreadSeconds > 0) {
      const uint64_t roundAt = downAt + static_cast<uint64_t>(spreadSeconds) * 1000u * static_cast<uint64_t>(round) / 10u;
      WaitFor([&] { return platform::TickMs() >= roundAt; }, spreadSeconds * 1000);
    }
    std::map<int, std::string> cards;
    for (int a = 1; a <= 48; ++a) cards[a] = std::to_string(card++);
    const std::map<int, std::string> answers = Present(cards, 60000);
    ASSERT_EQ(answers.size(), 48u) << "round " << round;
    for (const auto& [address, answer] : answers) {
      // Reader 2 is the exit: a card that never came in passes out all the same (no passback
      // without an entry in the same direction).
      EXPECT_EQ(answer, "G:007Hello A") << "reader " << address << " round " << round;
      if (address == 2) ++exits;
    }
  }
  if (spreadSeconds > 0)
    WaitFor([&] { return platform::TickMs() >= downAt + static_cast<uint64_t>(spreadSeconds) * 1000u; },
            spreadSeconds * 1000);
  const uint64_t outageMs = platform::TickMs() - downAt;
  RecordProperty("OutageMs", std::to_string(outageMs));
  std::printf("outage: %.1f s, 481 reads\n", static_cast<double>(outageMs) / 1000.0);
  EXPECT_TRUE(site_->WaitLog("Offline decisions started", 1000));

  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(server_->WaitReady(60000));
  ASSERT_TRUE(site_->WaitLog("Offline decisions ended: ", 120000)) << site_->LogText();
  for (const std::string& line : site_->LogMessages())
    if (line.find("Offline replay finished") != std::string::npos) std::printf("%s\n", line.c_str());
  EXPECT_EQ(Number("SELECT COUNT(*) FROM trans"), 481);
  EXPECT_EQ(Number("SELECT COUNT(DISTINCT card_no) FROM trans"), 481);
  EXPECT_EQ(Number("SELECT COUNT(*) FROM trans WHERE error_code = 0"), 481);
  EXPECT_EQ(Number("SELECT lot_count FROM lot WHERE id = 1"), 481 - 2 * exits) << "an exit takes one away";
  const int status = site_->Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace tarn::test
