// The card decision without a database: tables of rows and a moment against the result, the
// log lines in their order and the plan of writes.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "access/CardAnswer.h"
#include "access/CardProcessing.h"
#include "access/CardValidation.h"
#include "util/DateTime.h"

namespace tarn {
namespace {

constexpr double kMinute = 1.0 / 1440.0;
const TDateTime kNow = EncodeDateTime(2024, 3, 13, 10, 0, 0);  // a Wednesday

// An entry reader, an all-day range of level 1 at it, card 1001 of a plain type with a
// period around now, nothing else.
TCardRows Site() {
  TCardRows rows;
  TDeviceRow device;
  device.id = 1;
  device.direction = 1;
  device.name = "Entry 1";
  device.debitFlag = true;
  device.openPulse = 2;
  rows.device = device;
  rows.settings = TSettingsRow{};
  TCardRow card;
  card.numberText = "1001.00";
  card.number = 1001;
  card.typeId = 1;
  card.typeIdText = "1";
  card.inGate = -1;
  card.transDt = kNow - 30;
  card.period.dateSet = true;
  card.period.start = kNow - 10;
  card.period.expiry = kNow + 10;
  card.firstName = "John";
  card.lastName = "Smith";
  rows.card = card;
  TCardTypeRow type;
  type.id = 1;
  type.accessLevelId = 1;
  rows.type = type;
  TAccessRangeRow range;
  range.id = 1;
  range.day.fill(true);
  range.atDevice = true;
  rows.ranges = {range};
  return rows;
}

TAccessRangeRow Range(std::initializer_list<int> days, int startHour, int endHour, bool atDevice = true) {
  TAccessRangeRow r;
  for (int d : days) r.day[static_cast<size_t>(d - 1)] = true;
  r.start = EncodeTime(startHour, 0, 0);
  r.end = EncodeTime(endHour, 0, 0);
  r.atDevice = atDevice;
  return r;
}

struct CheckCase {
  const char* name;
  std::function<void(TCardRows&)> change;
  TDateTime when;
  AccessResult result;
  std::vector<std::string> log;
  bool debugLog = true;
  bool debitExpiry = false;
};

TEST(CardDecision, RulesInTheirOrderWithTheirLines) {
  const std::string table = "Table: card";
  const std::string noPath = "Card#: 1001.00 - pathway_id ( > 0) 0  /  in_gate (<> -1) -1  /  no_path (<> 0) 0";
  const std::string path = "Card#: 1001.00 - pathway_id ( > 0) 1  /  in_gate (<> -1) 2  /  no_path (<> 0) 0";
  auto pathway = [](TCardRows& r, int inGate, TDateTime lastPass, int limit) {
    r.type->pathwayId = 1;
    r.type->ignorePassback = true;
    r.card->inGate = inGate;
    r.card->transDt = lastPass;
    r.legs = {TPathwayLegRow{5, 9, 99}, TPathwayLegRow{2, 1, limit}, TPathwayLegRow{2, 1, 0}};
  };
  auto pool = [](TCardRows& r, int cur, int max) {
    r.card->groupId = 4;
    r.pool = TCardPoolRow{4, max, cur};
  };
  auto passback = [](TCardRows& r, int minutes, TDateTime lastPass) {
    r.card->inLot = 1;
    r.card->transDt = lastPass;
    r.settings->passbackMinutes = minutes;
  };
  const std::vector<CheckCase> cases = {
      {"accepted", [](TCardRows&) {}, kNow, kAccepted,
       {table, "Card#: 1001.00 - pathway_id ( > 0) 0  /  in_gate (<> -1) -1  /  no_path (<> 0) 0"}},
      {"not on file", [](TCardRows& r) { r.card.reset(); }, kNow, kNotOnFile, {"Card 1001 not on file"}},
      {"stored inexactly",
       [](TCardRows& r) {
         r.card->numberText = "1.001e3x";
         r.card->number.reset();
       },
       kNow, kNotOnFile,
       {"Card 1001 is stored as 1.001e3x in the card table, which cannot hold it exactly: refused",
        "Card 1001 not on file"}},
      {"another number's row", [](TCardRows& r) { r.card->number = 1002; }, kNow, kNotOnFile,
       {"Card 1001 is stored as 1001.00 in the card table, which cannot hold it exactly: refused",
        "Card 1001 not on file"}},
      {"type not on file",
       [](TCardRows& r) {
         r.type.reset();
         r.card->typeIdText = "77";
       },
       kNow, kNoValidAccess, {"Type id 77 is not on file for card 1001"}},
      {"range of another device", [](TCardRows& r) { r.ranges[0].atDevice = false; }, kNow, kNoValidAccess,
       {"Access level id 1 access failure for card 1001"}},
      {"no range at all", [](TCardRows& r) { r.ranges.clear(); }, kNow, kNoValidAccess,
       {"Access level id 1 access failure for card 1001"}},
      {"across midnight, late", [](TCardRows& r) { r.ranges = {Range({4}, 22, 6)}; },
       EncodeDateTime(2024, 3, 13, 23, 30, 0), kAccepted, {}},
      {"across midnight, early", [](TCardRows& r) { r.ranges = {Range({4}, 22, 6)}; },
       EncodeDateTime(2024, 3, 13, 5, 0, 0), kAccepted, {}},
      {"across midnight, noon", [](TCardRows& r) { r.ranges = {Range({4}, 22, 6)}; }, kNow, kNoValidAccess,
       {"Access level id 1 access failure for card 1001"}},
      {"second range passes", [](TCardRows& r) { r.ranges = {Range({4}, 1, 2), Range({4}, 9, 11)}; }, kNow,
       kAccepted, {}},
      {"window ends inclusive", [](TCardRows& r) { r.ranges = {Range({4}, 8, 10)}; }, kNow, kAccepted, {}},
      {"wrong weekday", [](TCardRows& r) { r.ranges = {Range({1, 2, 3, 5, 6, 7, 8, 9}, 0, 0)}; }, kNow,
       kNoValidAccess, {"Access level id 1 access failure for card 1001"}},
      {"holiday of table 2 takes day_9",
       [](TCardRows& r) {
         r.holidayTab = 2;
         r.ranges = {Range({9}, 0, 0)};
       },
       kNow, kAccepted, {}},
      {"holiday of table 3 takes day_8, not the weekday",
       [](TCardRows& r) {
         r.holidayTab = 3;
         r.ranges = {Range({4, 9}, 0, 0)};
       },
       kNow, kNoValidAccess, {"Access level id 1 access failure for card 1001"}},
      {"expired", [](TCardRows& r) { r.card->period.expiry = kNow - kMinute; }, kNow, kExpired,
       {table, "Card 1001 is inactive"}},
      {"previous period holds",
       [](TCardRows& r) {
         r.card->period.start = kNow + 5;
         r.card->period.prevStart = kNow - 20;
         r.card->period.prevExpiry = kNow + 1;
       },
       kNow, kAccepted, {table, noPath}},
      {"shared period of the type",
       [](TCardRows& r) {
         r.type->globalExpiry = true;
         r.type->period.start = kNow - 30;
         r.type->period.expiry = kNow - 20;
       },
       kNow, kExpired, {"Table: card_type", "Card 1001 is inactive"}},
      {"no expiry", [](TCardRows& r) {
         r.type->noExpiry = true;
         r.card->period.expiry = kNow - 20;
       },
       kNow, kAccepted, {table, noPath}},
      {"debit balance spent, within the time limit",
       [](TCardRows& r) {
         r.type->debit = true;
         r.type->debitTimeLimitFlag = true;
         r.type->debitTimeLimit = 30;
         r.card->debitDate = kNow - 29 * kMinute;
       },
       kNow, kAccepted, {table, noPath}},
      {"debit balance spent, at the time limit",
       [](TCardRows& r) {
         r.type->debit = true;
         r.type->debitTimeLimitFlag = true;
         r.type->debitTimeLimit = 30;
         r.card->debitDate = kNow - 30 * kMinute;
       },
       kNow, kExpired, {table, "Card 1001 is inactive"}},
      {"debit card not valid yet",
       [](TCardRows& r) {
         r.type->debit = true;
         r.card->debitLeft = 5;
         r.card->period.start = kNow + 1;
       },
       kNow, kExpired, {table, "Card 1001 is inactive"}},
      {"debit expiry: start is the last day",
       [](TCardRows& r) {
         r.type->debit = true;
         r.card->debitLeft = 5;
         r.card->period.start = kNow + 1;
       },
       kNow, kAccepted, {table, noPath}, true, true},
      {"monthly allowance due", [](TCardRows& r) {
         r.type->debitReset = true;
         r.card->debitResetDate = kNow - 20;
         r.card->period.start = kNow + 1;
       },
       kNow, kAccepted, {table, noPath}},
      {"pool full at an entry", [&](TCardRows& r) { pool(r, 2, 2); }, kNow, kGroupMax,
       {table, "Card 1001 is over group maximum"}},
      {"pool full, soft", [&](TCardRows& r) {
         pool(r, 2, 2);
         r.settings->softGroup = true;
         pathway(r, 7, kNow, 10);  // would refuse too: never looked at
       },
       kNow, kGroupMax | kSoftBit, {table, "Card 1001 is over group maximum"}},
      {"pool full at an exit", [&](TCardRows& r) {
         pool(r, 2, 2);
         r.device->direction = 2;
       },
       kNow, kAccepted, {table, noPath}},
      {"pool with room", [&](TCardRows& r) { pool(r, 1, 2); }, kNow, kAccepted, {table, noPath}},
      {"pool not on file", [](TCardRows& r) { r.card->groupId = 4; }, kNow, kAccepted, {table, noPath}},
      {"pathway leg at its limit", [&](TCardRows& r) { pathway(r, 2, kNow - 10 * kMinute, 10); }, kNow, kAccepted,
       {table, path, "Pathway Time OK - Minutes: 10, Limit: 10"}},
      {"pathway leg too late", [&](TCardRows& r) { pathway(r, 2, kNow - 11 * kMinute, 10); }, kNow, kNotInPath,
       {table, path, "Pathway Time OUT - Minutes: 11, Limit: 10", "Card 1001 has a pathway error"}},
      {"no pathway leg from here", [&](TCardRows& r) { pathway(r, 3, kNow, 10); }, kNow, kNotInPath,
       {table, "Card#: 1001.00 - pathway_id ( > 0) 1  /  in_gate (<> -1) 3  /  no_path (<> 0) 0",
        "Pathway 1 does NOT have path for 3 to 1!", "Card 1001 has a pathway error"}},
      {"pathway soft, passback soft: the pathway's code", [&](TCardRows& r) {
         pathway(r, 3, kNow, 10);
         r.type->ignorePassback = false;
         passback(r, 0, kNow);
         r.settings->softPath = true;
         r.settings->softPassback = true;
       },
       kNow, kNotInPath | kSoftBit,
       {table, "Card#: 1001.00 - pathway_id ( > 0) 1  /  in_gate (<> -1) 3  /  no_path (<> 0) 0",
        "Pathway 1 does NOT have path for 3 to 1!", "Card 1001 has a pathway error"}},
      {"device outside pathways", [&](TCardRows& r) {
         pathway(r, 3, kNow, 10);
         r.device->noPath = 1;
       },
       kNow, kAccepted, {table, "Card#: 1001.00 - pathway_id ( > 0) 1  /  in_gate (<> -1) 3  /  no_path (<> 0) 1"}},
      {"passback until the direction changes", [&](TCardRows& r) { passback(r, 0, kNow - 365); }, kNow, kPassback,
       {table, "Card#: 1001.00 - pathway_id ( > 0) 0  /  in_gate (<> -1) -1  /  no_path (<> 0) 0",
        "Card 1001 passback error"}},
      {"passback within its minutes", [&](TCardRows& r) { passback(r, 5, kNow - 4 * kMinute); }, kNow, kPassback,
       {table, "Card#: 1001.00 - pathway_id ( > 0) 0  /  in_gate (<> -1) -1  /  no_path (<> 0) 0",
        "Card 1001 passback error"}},
      {"passback minutes over", [&](TCardRows& r) { passback(r, 5, kNow - 5 * kMinute); }, kNow, kAccepted, {}},
      {"passback soft", [&](TCardRows& r) {
         passback(r, 0, kNow);
         r.settings->softPassback = true;
       },
       kNow, kPassback | kSoftBit, {}},
      {"no passback at a device without bookkeeping", [&](TCardRows& r) {
         passback(r, 0, kNow);
         r.device->direction = 3;
         r.card->inLot = 3;
       },
       kNow, kAccepted, {}},
      {"no passback for a type that ignores it", [&](TCardRows& r) {
         passback(r, 0, kNow);
         r.type->ignorePassback = true;
       },
       kNow, kAccepted, {}},
      {"quiet: only the validity source", [](TCardRows& r) { r.card->period.expiry = kNow - 1; }, kNow, kExpired,
       {table}, false},
      {"quiet: nothing for an unknown card", [](TCardRows& r) { r.card.reset(); }, kNow, kNotOnFile, {}, false},
  };
  for (const CheckCase& c : cases) {
    TCardRows rows = Site();
    c.change(rows);
    const TCardCheck check = CheckCard(c.debugLog, c.debitExpiry, 1001, c.when, rows);
    EXPECT_EQ(check.result, c.result) << c.name;
    // An empty expectation after the first line checks the result only.
    if (!c.log.empty()) {
      EXPECT_EQ(check.log, c.log) << c.name;
    }
  }
}

// The pool is read only for a pooled card at an entry that the rules before it let pass.
TEST(CardDecision, PoolDecidesOnlyWhenTheDecisionComesToIt) {
  const struct {
    const char* name;
    std::function<void(TCardRows&)> change;
    bool decides;
  } cases[] = {
      {"pooled card at an entry", [](TCardRows&) {}, true},
      {"no pool", [](TCardRows& r) { r.card->groupId = 0; }, false},
      {"at an exit", [](TCardRows& r) { r.device->direction = 2; }, false},
      {"no device row", [](TCardRows& r) { r.device.reset(); }, false},
      {"expired first", [](TCardRows& r) { r.card->period.expiry = kNow - 1; }, false},
      {"no access first", [](TCardRows& r) { r.ranges.clear(); }, false},
      {"no card type", [](TCardRows& r) { r.type.reset(); }, false},
      {"another card's row", [](TCardRows& r) { r.card->number = 1002; }, false},
  };
  for (const auto& c : cases) {
    TCardRows rows = Site();
    rows.card->groupId = 4;
    c.change(rows);
    EXPECT_EQ(PoolDecides(false, 1001, kNow, rows), c.decides) << c.name;
  }
}

TEST(CardDecision, DayIndexOfHolidayTables) {
  const struct {
    int tab;
    TDateTime date;
    int day;
  } cases[] = {
      {0, EncodeDate(2024, 3, 10), 1}, {0, EncodeDate(2024, 3, 16), 7}, {0, EncodeDate(2024, 3, 13), 4},
      {1, EncodeDate(2024, 3, 13), 8}, {3, EncodeDate(2024, 3, 13), 8}, {2, EncodeDate(2024, 3, 13), 9},
  };
  for (const auto& c : cases) EXPECT_EQ(DayIndexOf(c.tab, c.date), c.day) << c.tab << " " << c.date;
}

struct PlanCase {
  const char* name;
  std::function<void(TCardRows&, TCardRead&)> change;
  AccessResult result;
  std::function<void(TCardWrites&)> expected;  // applied to a plan with only the trans row
};

TEST(CardDecision, PlansOfWrites) {
  auto passing = [](TCardWrites& w) {
    w.inLot = 1;
    w.debitDate = kNow;
    w.transDt = kNow;
  };
  auto debit = [](TCardRows& r, int left) {
    r.type->debit = true;
    r.type->debitTimeLimitFlag = true;
    r.type->debitTimeLimit = 30;
    r.type->ignorePassback = true;
    r.card->debitLeft = left;
  };
  const std::vector<PlanCase> cases = {
      {"accepted entry", [](TCardRows&, TCardRead&) {}, kAccepted, passing},
      {"entry counts into the pool",
       [](TCardRows& r, TCardRead&) {
         r.card->groupId = 4;
         r.pool = TCardPoolRow{4, 10, 3};
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.poolId = 4;
         w.poolChange = 1;
       }},
      {"exit counts out of the pool",
       [](TCardRows& r, TCardRead&) {
         r.card->groupId = 4;
         r.device->direction = 2;
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.inLot = 2;
         w.poolId = 4;
         w.poolChange = -1;
       }},
      {"no direction, no count",
       [](TCardRows& r, TCardRead&) {
         r.card->groupId = 4;
         r.device->direction = 0;
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.inLot = 0;
       }},
      {"a soft group pass is not counted",
       [](TCardRows& r, TCardRead&) {
         r.card->groupId = 4;
         r.pool = TCardPoolRow{4, 2, 2};
         r.settings->softGroup = true;
       },
       kGroupMax | kSoftBit, passing},
      {"a soft passback is counted",
       [](TCardRows& r, TCardRead&) {
         r.card->groupId = 4;
         r.pool = TCardPoolRow{4, 10, 3};
         r.card->inLot = 1;
         r.settings->softPassback = true;
       },
       kPassback | kSoftBit,
       [&](TCardWrites& w) {
         passing(w);
         w.poolId = 4;
         w.poolChange = 1;
       }},
      {"device without bookkeeping keeps direction and balance",
       [&](TCardRows& r, TCardRead&) {
         debit(r, 5);
         r.device->direction = 3;
       },
       kAccepted, [](TCardWrites& w) { w.transDt = kNow; }},
      {"debit use charged",
       [&](TCardRows& r, TCardRead&) {
         debit(r, 5);
         r.card->debitDate = kNow - 2;
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.debitLeft = 4;
       }},
      {"debit use within the limit is free and keeps the charged time",
       [&](TCardRows& r, TCardRead&) {
         debit(r, 5);
         r.card->debitDate = kNow - 30 * kMinute;
       },
       kAccepted,
       [](TCardWrites& w) {
         w.inLot = 1;
         w.transDt = kNow;
       }},
      {"no charge at a device that does not charge",
       [&](TCardRows& r, TCardRead&) {
         debit(r, 5);
         r.card->debitDate = kNow - 2;
         r.device->debitFlag = false;
       },
       kAccepted,
       [](TCardWrites& w) {
         w.inLot = 1;
         w.transDt = kNow;
       }},
      {"monthly renewal",
       [](TCardRows& r, TCardRead&) {
         r.type->debitReset = true;
         r.type->uses = 20;
         r.type->ignorePassback = true;
         r.card->debitResetDate = EncodeDateTime(2024, 2, 29, 23, 59, 59);
         r.card->period.start = kNow - 60;
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.debitLeft = 19;
         w.debitResetDate = EncodeDateTime(2024, 3, 31, 23, 59, 59);
       }},
      {"first use activates the card",
       [](TCardRows& r, TCardRead&) {
         r.type->firstUse = true;
         r.type->days = 30;
         r.card->period.dateSet = false;
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.cardActivation = TActivation{false, 1, 1001, kNow, kNow + 30};
       }},
      {"first use is written although passback refuses",
       [](TCardRows& r, TCardRead&) {
         r.type->firstUse = true;
         r.type->days = 30;
         r.card->period.dateSet = false;
         r.card->inLot = 1;
       },
       kPassback, [](TCardWrites& w) { w.cardActivation = TActivation{false, 1, 1001, kNow, kNow + 30}; }},
      {"first use of a shared period activates the type",
       [](TCardRows& r, TCardRead&) {
         r.type->firstUse = true;
         r.type->days = 10;
         r.type->globalExpiry = true;
         r.card->typeId = 3;
         r.type->id = 3;
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.typeActivation = TActivation{true, 3, 1001, kNow, kNow + 10};
       }},
      {"pathway: a device that starts a leg",
       [](TCardRows& r, TCardRead&) {
         r.type->pathwayId = 1;
         r.legs = {TPathwayLegRow{1, 4, 10}};
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.inGate = 1;
       }},
      {"pathway: a device that starts none takes the card off",
       [](TCardRows& r, TCardRead&) {
         r.type->pathwayId = 1;
         r.legs = {TPathwayLegRow{4, 1, 10}};
       },
       kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.inGate = -1;
       }},
      {"refused: only the trans row", [](TCardRows& r, TCardRead&) { r.card->period.expiry = kNow - 1; }, kExpired,
       [](TCardWrites&) {}},
      {"memory read", [](TCardRows&, TCardRead& read) { read.memory = true; }, kAccepted,
       [&](TCardWrites& w) {
         passing(w);
         w.trans.memory = true;
       }},
  };
  for (const PlanCase& c : cases) {
    TCardRows rows = Site();
    TCardRead read;
    read.card = 1001;
    read.address = 1;
    read.loopId = 1;
    c.change(rows, read);
    const TCardDecision decision = DecideCard(read, rows, kNow);
    EXPECT_EQ(decision.result, c.result) << c.name;
    TCardWrites expected;
    expected.card = 1001;
    expected.trans = TTransRow{"1001", kNow, 1, c.result, ResultText(c.result), rows.device->name, "John", "Smith",
                               read.memory};
    c.expected(expected);
    EXPECT_EQ(decision.writes, expected) << c.name;
  }
}

TEST(CardDecision, TransRowOfAnUnknownCardAndAnUnknownDevice) {
  TCardRows rows = Site();
  rows.card.reset();
  TCardRead read;
  read.card = 123456789012345678;
  TCardDecision d = DecideCard(read, rows, kNow);
  EXPECT_EQ(d.writes.trans, (TTransRow{"123456789012345678", kNow, 1, kNotOnFile, "Not On File", "Entry 1", "", "", false}));
  EXPECT_FALSE(d.writes.TouchesCard());
  EXPECT_EQ(d.writes.poolChange, 0);

  rows = Site();
  rows.device.reset();  // no device row: direction 0, id 0, no name
  read.card = 1001;
  d = DecideCard(read, rows, kNow);
  EXPECT_EQ(d.result, kAccepted);
  EXPECT_EQ(d.writes.trans.deviceId, 0);
  EXPECT_EQ(d.writes.trans.deviceName, "");
  EXPECT_EQ(d.writes.inLot, 0);
}

// What the answer shows comes from the card as the writes left it.
TEST(CardDecision, RowsAfterWritesAreWhatTheDatabaseHolds) {
  TCardRows rows = Site();
  TCardWrites w;
  w.card = 1001;
  w.debitLeft = 4;
  w.cardActivation = TActivation{false, 1, 1001, kNow + 0.4 / 86400, kNow + 30 + 0.4 / 86400};
  w.inGate = 7;
  const TCardRows after = RowsAfterWrites(rows, w);
  EXPECT_EQ(after.card->debitLeft, 4);
  EXPECT_EQ(after.card->inGate, 7);
  EXPECT_TRUE(after.card->period.dateSet);
  // Whole seconds, as a date-time column keeps them.
  EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS.ZZZ", after.card->period.expiry), "2024-04-12 10:00:00.000");
  // Another card's writes leave this row alone.
  w.card = 1002;
  EXPECT_EQ(RowsAfterWrites(rows, w).card, rows.card);
}

TEST(CardDecision, ReaderMessages) {
  TCardRows rows = Site();
  TMessagesRow set;
  set.templates = {"Hello %f %l, %d days left %", "Card %c unknown", "No access", "Inactive %c",
                   "Passback %f",                 "Group",           "Path"};
  rows.messages = set;
  rows.card->period.expiry = kNow + 10.5;
  rows.card->misc = {"M1", "M2", "M3", "M4"};
  rows.card->street = "Elm St";
  const struct {
    const char* name;
    std::function<void(TCardRows&)> change;
    AccessResult result;
    CardNumber card;
    std::string refusedText;
    std::string message;
  } cases[] = {
      {"accepted", [](TCardRows&) {}, kAccepted, 1001, "", "Hello John Smith, 10 days left"},
      {"soft passback takes the passback template", [](TCardRows&) {}, kPassback | kSoftBit, 1001, "",
       "Passback John"},
      {"%c of a card on file is its row's number", [](TCardRows&) {}, kExpired, 1001, "", "Inactive 1001"},
      {"not on file: the number read", [](TCardRows& r) { r.card.reset(); }, kNotOnFile, 777, "", "Card 777 unknown"},
      {"a number no card can have: its text", [](TCardRows& r) { r.card.reset(); }, kNotOnFile, 0, "12345678901234567890",
       "Card 12345678901234567890 unknown"},
      {"unknown result", [](TCardRows&) {}, 7, 1001, "", "Unknown Error"},
      {"no message row at all", [](TCardRows& r) { r.messages.reset(); }, kAccepted, 1001, "", ""},
      {"debit types show the uses left",
       [](TCardRows& r) {
         r.type->debit = true;
         r.card->debitLeft = 6;
       },
       kAccepted, 1001, "", "Hello John Smith, 6 days left"},
      {"codes and a lone percent",
       [](TCardRows& r) { r.messages->templates[0] = "%1%2%3%4 %s%x%%  \t"; }, kAccepted, 1001, "",
       "M1M2M3M4 Elm St"},
      {"expired two and a half days ago", [](TCardRows& r) { r.card->period.expiry = kNow - 2.5; }, kAccepted, 1001, "",
       "Hello John Smith, -2 days left"},
  };
  for (const auto& c : cases) {
    TCardRows r = rows;
    c.change(r);
    EXPECT_EQ(ReaderMessageText(r, c.result, c.card, c.refusedText, kNow), c.message) << c.name;
  }
}

TEST(CardDecision, MessageSetOfTypeThenDevice) {
  TCardRows rows = Site();
  rows.device->msgId = 2;
  EXPECT_EQ(MessageSetOf(rows, 1001), 2);
  rows.type->msgId = 3;
  EXPECT_EQ(MessageSetOf(rows, 1001), 3);
  EXPECT_EQ(MessageSetOf(rows, std::nullopt), 2);  // no card looked for
  EXPECT_EQ(MessageSetOf(rows, 1002), 2);          // the row is another card's
  rows.type.reset();
  EXPECT_EQ(MessageSetOf(rows, 1001), 2);
  rows.device.reset();
  EXPECT_EQ(MessageSetOf(rows, 1001), 0);
}

TEST(CardDecision, SpecialOutputs) {
  const struct {
    int space;
    int pulse;
    std::optional<TSpotRow> spot;
    bool handled;
    bool open;
    int output;
    int duration;
    std::vector<std::string> log;
  } cases[] = {
      {-1, 3, TSpotRow{2}, false, false, 0, 0, {}},
      {9, 3, std::nullopt, false, false, 0, 0, {"'Special' output.  9 NOT Found in Spots file"}},
      {9, 3, TSpotRow{0}, false, false, 0, 0, {"'Special' output 0 invalid"}},
      {9, 3, TSpotRow{1}, true, false, 1, 30, {"'Special' output 1 going On!"}},
      {9, 3, TSpotRow{2}, true, false, 3, 30, {"'Special' output 2 going On!"}},
      {9, 0, TSpotRow{3}, true, false, 4, 5, {"'Special' output 3 going On!"}},
      {9, 3, TSpotRow{4}, true, true, 0, 0, {"'Special' output 4 going On!"}},
  };
  for (const auto& c : cases) {
    const TSpecialOutput out = DecideSpecialOutput(true, c.space, c.pulse, c.spot);
    EXPECT_EQ(out.handled, c.handled) << c.space << " " << (c.spot ? c.spot->floor : -1);
    EXPECT_EQ(out.openGate, c.open);
    EXPECT_EQ(out.output, c.output);
    EXPECT_EQ(out.duration, c.duration);
    EXPECT_EQ(out.log, c.log);
    EXPECT_TRUE(DecideSpecialOutput(false, c.space, c.pulse, c.spot).log.empty());
  }
}

TEST(CardDecision, MemoryReadTimes) {
  const struct {
    const char* data;
    TDateTime now;
    const char* when;
  } cases[] = {
      {"2403130945", kNow, "2024-03-13 09:45:00"},
      {"2403131005", kNow, "2024-03-13 10:05:00"},  // five minutes ahead: today
      {"2403131005", kNow - 1.0 / 86400, "2024-03-12 10:05:00"},
      {"2403131010", kNow, "2024-03-12 10:10:00"},
      {"2403132300", EncodeDateTime(2024, 3, 13, 22, 55, 0), "2024-03-13 23:00:00"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatDateTime("YYYY-MM-DD HH:NN:SS", MemoryReadTime(c.data, c.now)), c.when) << c.data;
  for (const char* bad : {"2402300900", "xx", ""}) EXPECT_THROW(MemoryReadTime(bad, kNow), std::runtime_error) << bad;
}

TEST(CardDecision, CardNumbersOfColumnTexts) {
  const struct {
    const char* text;
    std::optional<CardNumber> number;
  } cases[] = {
      {"1001", 1001},
      {"1001.00", 1001},
      {" 1001.0 ", 1001},
      {"1001.5", std::nullopt},
      {"123456789012345678.00", 123456789012345678},
      {"1234567890123456789", std::nullopt},
      {"1.23456789012346e+17", std::nullopt},  // a double column beyond 2^53
      {"1.001e3", 1001},
      {"", std::nullopt},
      {"abc", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(CardNumberFromText(c.text), c.number) << c.text;
}

TEST(CardDecision, WholePulses) {
  EXPECT_EQ(WholePulse(7.9), 7);
  EXPECT_EQ(WholePulse(-2.5), -2);
  EXPECT_EQ(WholePulse(1e12), 1000000);
  EXPECT_EQ(WholePulse(std::nan("")), 0);
}

}  // namespace
}  // namespace tarn
