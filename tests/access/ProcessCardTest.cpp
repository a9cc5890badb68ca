// ProcessCard's steps over a row source and a writer of the test's own: what is read when,
// what reaches the writer and the log, and what the answer is made from.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "access/CardAnswer.h"
#include "access/CardProcessing.h"
#include "access/RowSource.h"
#include "log/TMessLog.h"
#include "support/ScratchDir.h"
#include "util/DateTime.h"

namespace tarn {
namespace {

const TDateTime kNow = EncodeDateTime(2024, 3, 13, 10, 0, 0);

class TTableSource : public TRowSource {
 public:
  explicit TTableSource(TCardRows rows) : rows_(std::move(rows)) {}
  TCardRows CardRows(const TCardRowsKey& key) override {
    keys.push_back(key);
    TCardRows rows = rows_;
    rows.pool.reset();  // the pool comes by itself
    return rows;
  }
  std::optional<TCardPoolRow> CardPool(int id) override {
    pools.push_back(id);
    return rows_.pool;
  }
  std::optional<TSpotRow> Spot(int) override { return std::nullopt; }
  TExitTicketRows ExitTicketRows(int, int, const std::string&) override { return {}; }
  std::optional<TTicketRow> Ticket(const std::string&) override { return std::nullopt; }
  TDispenserRows DispenserRows(const std::string&, int32_t) override { return {}; }

  std::vector<TCardRowsKey> keys;
  std::vector<int> pools;

 private:
  TCardRows rows_;
};

class TKeptWrites : public TDecisionWriter {
 public:
  void ApplyCard(const TCardWrites& writes) override { cards.push_back(writes); }
  void RecordUnknownTicket(const TUnknownTicket&) override {}
  void ApplyTicketTaken(const TTicketTaken&) override {}
  bool ApplyDispenserRecord(const TDispenserWrites&) override { return true; }
  std::vector<TCardWrites> cards;
};

TCardRows Site() {
  TCardRows rows;
  TDeviceRow device;
  device.id = 3;
  device.direction = 1;
  device.name = "Entry 3";
  device.debitFlag = true;
  device.openPulse = 7.6;
  device.specialOut = true;
  rows.device = device;
  rows.settings = TSettingsRow{};
  TCardRow card;
  card.numberText = "1001";
  card.number = 1001;
  card.typeId = 1;
  card.groupId = 2;
  card.inGate = -1;
  card.period = TPeriodRow{true, kNow - 10, kNow + 10, 0, 0};
  card.firstName = "Ann";
  card.spaceNo = 9;
  rows.card = card;
  TCardTypeRow type;
  type.id = 1;
  rows.type = type;
  TAccessRangeRow range;
  range.day.fill(true);
  range.atDevice = true;
  rows.ranges = {range};
  rows.pool = TCardPoolRow{2, 10, 3};
  TMessagesRow set;
  set.templates[0] = "Hello %f, %d left";
  rows.messages = set;
  return rows;
}

class ProcessCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::tarn::testing::ScratchDir("process-card");
    log_ = std::make_unique<TMessLog>((dir_ / "log.txt").string(), false, false, false, true);
  }
  std::string LogText() {
    log_->Log("");
    std::ifstream in(dir_ / "log.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::filesystem::path dir_;
  std::unique_ptr<TMessLog> log_;
  ScopedClock clock_{[] { return kNow; }};
};

TEST_F(ProcessCardTest, ReadsDecidesLogsWritesAndAnswers) {
  const struct {
    const char* name;
    std::function<void(TCardRows&, TCardRead&)> change;
    AccessResult result;
    bool poolRead;
    int poolChange;
    std::string message;
  } cases[] = {
      {"pooled entry", [](TCardRows&, TCardRead&) {}, kAccepted, true, 1, "Hello Ann, 10 left"},
      {"full pool", [](TCardRows& r, TCardRead&) { r.pool->curInLot = 10; }, kGroupMax, true, 0, ""},
      {"expired: the pool is never read", [](TCardRows& r, TCardRead&) { r.card->period.expiry = kNow - 1; },
       kExpired, false, 0, ""},
      {"exit: counted out without reading the pool", [](TCardRows& r, TCardRead&) { r.device->direction = 2; },
       kAccepted, false, -1, "Hello Ann, 10 left"},
      {"debit card: the answer shows the balance after the charge",
       [](TCardRows& r, TCardRead&) {
         r.type->debit = true;
         r.card->debitLeft = 5;
       },
       kAccepted, true, 1, "Hello Ann, 4 left"},
      {"first use: the answer shows the new period",
       [](TCardRows& r, TCardRead&) {
         r.type->firstUse = true;
         r.type->days = 30;
         r.card->period.dateSet = false;
       },
       kAccepted, true, 1, "Hello Ann, 30 left"},
  };
  for (const auto& c : cases) {
    TCardRows rows = Site();
    TCardRead read;
    read.card = 1001;
    read.address = 3;
    read.loopId = 4;
    c.change(rows, read);
    TTableSource source(rows);
    TKeptWrites writer;
    const TCardOutcome out = ProcessCard(read, source, writer, *log_);
    EXPECT_EQ(out.result, c.result) << c.name;
    ASSERT_EQ(source.keys.size(), 1u) << c.name;
    EXPECT_EQ(source.keys[0].loopId, 4);
    EXPECT_EQ(source.keys[0].address, 3);
    EXPECT_EQ(source.keys[0].card, 1001);
    EXPECT_TRUE(source.keys[0].decision);
    EXPECT_TRUE(source.keys[0].answer);
    EXPECT_EQ(source.pools, c.poolRead ? std::vector<int>{2} : std::vector<int>{}) << c.name;
    ASSERT_EQ(writer.cards.size(), 1u) << c.name;
    EXPECT_EQ(writer.cards[0].poolChange, c.poolChange) << c.name;
    EXPECT_EQ(out.openPulse, 7);
    EXPECT_EQ(out.specialSpace, 9);
    EXPECT_EQ(out.deviceName, "Entry 3");
    EXPECT_EQ(out.firstName, "Ann");
    if (CardPasses(c.result)) {
      EXPECT_EQ(ReaderMessageText(out.rows, c.result, 1001, "", kNow), c.message) << c.name;
    }
  }
}

TEST_F(ProcessCardTest, LinesGoToTheLogInTheRulesOrder) {
  TCardRows rows = Site();
  rows.card->inLot = 1;  // a second entry: passback
  TTableSource source(rows);
  TKeptWrites writer;
  TCardRead read;
  read.card = 1001;
  EXPECT_EQ(ProcessCard(read, source, writer, *log_).result, kPassback);
  const std::string log = LogText();
  const size_t table = log.find("Table: card\r\n");
  const size_t path = log.find("Card#: 1001 - pathway_id ( > 0) 0  /  in_gate (<> -1) -1  /  no_path (<> 0) 0\r\n");
  const size_t passback = log.find("Card 1001 passback error\r\n");
  ASSERT_NE(table, std::string::npos) << log;
  ASSERT_NE(path, std::string::npos) << log;
  ASSERT_NE(passback, std::string::npos) << log;
  EXPECT_LT(table, path);
  EXPECT_LT(path, passback);
}

TEST_F(ProcessCardTest, MemoryReadsCarryTheirTimeAndAnImpossibleDateTouchesNothing) {
  TTableSource source(Site());
  TKeptWrites writer;
  TCardRead read;
  read.card = 1001;
  read.memory = true;
  read.memoryData = "2403130945";
  const TCardOutcome out = ProcessCard(read, source, writer, *log_);
  EXPECT_EQ(out.when, EncodeDateTime(2024, 3, 13, 9, 45, 0));
  ASSERT_EQ(source.keys.size(), 1u);
  EXPECT_EQ(source.keys[0].when, out.when);  // the holiday of the read's own date
  EXPECT_FALSE(source.keys[0].answer);       // nothing is shown for it
  ASSERT_EQ(writer.cards.size(), 1u);
  EXPECT_TRUE(writer.cards[0].trans.memory);
  EXPECT_EQ(writer.cards[0].trans.when, out.when);

  read.memoryData = "2402300900";
  EXPECT_THROW(ProcessCard(read, source, writer, *log_), std::runtime_error);
  EXPECT_EQ(source.keys.size(), 1u);
  EXPECT_EQ(writer.cards.size(), 1u);
}

}  // namespace
}  // namespace tarn
