// Ticket decisions without a database: the exit reader's rules and the dispenser record's
// writes, from tables of rows.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "access/TicketDecision.h"
#include "db/TODBC.h"
#include "util/DateTime.h"

namespace tarn {
namespace {

constexpr double kMinute = 1.0 / 1440.0;
const TDateTime kNow = EncodeDateTime(2026, 3, 10, 12, 0, 0);

// Only characters 9-10 (the lane) of a barcode matter to the decision; its time comes apart.
std::string Barcode(int lane) { return "20000000" + std::string(lane < 10 ? "0" : "") + std::to_string(lane); }

TDeviceRow Device(int direction, double pulse = 9) {
  TDeviceRow d;
  d.direction = direction;
  d.openPulse = pulse;
  return d;
}

TEST(TicketDecision, ExitReaderRules) {
  TTicketRules plain;
  TTicketRules rules;
  rules.flatRate = true;
  rules.extendedGraceLanes = {2};
  rules.graceTimePOFExtended = 60;
  rules.internalLanes = {7};
  rules.graceTimeFuture = 9;
  const std::optional<TTicketRow> inside = TTicketRow{0, 3, 0};
  const std::optional<TTicketRow> out = TTicketRow{2, 3, 5};
  const struct {
    const char* name;
    const TTicketRules& rules;
    int address;
    int lane;
    TDateTime issued;
    std::optional<TTicketRow> ticket;
    std::optional<TDeviceRow> device;
    TicketState state;
    int pulse;
    std::optional<int> takenStatus;  // when accepted: the status written (none: left alone)
  } cases[] = {
      {"unreadable barcode", plain, 5, 1, 0, inside, Device(2), TicketState::Unread, 5, {}},
      {"not recorded", plain, 5, 1, kNow, std::nullopt, Device(2), TicketState::NotRecorded, 9, {}},
      {"not recorded, no device", plain, 5, 1, kNow, std::nullopt, std::nullopt, TicketState::NotRecorded, 5, {}},
      {"paid 15 minutes ago", plain, 5, 1, kNow - 15 * kMinute, inside, Device(2), TicketState::Accepted, 9, 2},
      {"paid 16 minutes ago", plain, 5, 1, kNow - 16 * kMinute, inside, Device(2), TicketState::Expired, 9, {}},
      {"15 minutes 59 seconds", plain, 5, 1, kNow - 15 * kMinute - 59.0 / 86400, inside, Device(2),
       TicketState::Accepted, 9, 2},
      {"10 minutes ahead, future grace 15", plain, 5, 1, kNow + 10 * kMinute, inside, Device(2),
       TicketState::Accepted, 9, 2},
      {"10 minutes ahead, future grace 9", rules, 5, 1, kNow + 10 * kMinute, inside, Device(2),
       TicketState::Expired, 9, {}},
      {"already used", plain, 5, 1, kNow, out, Device(2), TicketState::Used, 9, {}},
      {"issued ticket at an entry", plain, 6, 1, kNow, inside, Device(1, 8), TicketState::Passback, 8, {}},
      {"used ticket back in within its minute", plain, 6, 1, kNow - 59.0 / 86400, out, Device(1, 8),
       TicketState::Accepted, 8, 0},
      {"used ticket back in a minute later", plain, 6, 1, kNow - kMinute, out, Device(1, 8), TicketState::Expired, 8,
       {}},
      {"used ticket at an internal entry", rules, 7, 1, kNow, out, Device(1), TicketState::Used, 9, {}},
      {"internal exit leaves the status alone", rules, 7, 1, kNow, inside, Device(2), TicketState::Accepted, 9,
       std::nullopt},
      {"flat rate above lane 50", rules, 5, 51, kNow - 600 * kMinute, inside, Device(2), TicketState::Accepted, 9,
       2},
      {"flat rate not at lane 50", rules, 5, 50, kNow - 600 * kMinute, inside, Device(2), TicketState::Expired, 9,
       {}},
      {"flat rate comes before the grace", rules, 5, 52, kNow - 30 * kMinute, inside, Device(2),
       TicketState::Accepted, 9, 2},
      {"extended grace lane without flat rate", plain, 5, 52, kNow - 30 * kMinute, inside, Device(2),
       TicketState::Expired, 9, {}},
      {"no device row: no direction, pulse 5", plain, 5, 1, kNow, inside, std::nullopt, TicketState::Accepted, 5, 2},
      {"pulse truncated", plain, 5, 1, kNow, inside, Device(2, 4.9), TicketState::Accepted, 4, 2},
  };
  for (const auto& c : cases) {
    const std::string barcode = Barcode(c.lane);
    const TExitTicketDecision d =
        DecideExitTicket(c.rules, c.address, barcode, c.issued, TExitTicketRows{c.ticket, c.device}, kNow);
    EXPECT_EQ(d.state, c.state) << c.name;
    EXPECT_EQ(d.pulse, c.pulse) << c.name;
    EXPECT_EQ(d.open, c.state == TicketState::Accepted) << c.name;
    EXPECT_EQ(d.message, TicketMessage(c.state)) << c.name;
    if (c.state == TicketState::Accepted) {
      ASSERT_TRUE(d.taken.has_value()) << c.name;
      EXPECT_EQ(*d.taken, (TTicketTaken{barcode, c.address, c.takenStatus})) << c.name;
    } else {
      EXPECT_FALSE(d.taken.has_value()) << c.name;
    }
    std::vector<std::string> log;
    if (c.issued > 0) log.push_back("Checking BarCode: " + barcode + " ");
    if (c.issued > 0 && c.ticket)
      log.push_back("Rdr " + std::to_string(c.address) + " St " + std::to_string(c.ticket->status) + " Dir " +
                    std::to_string(c.device ? c.device->direction : 0));
    EXPECT_EQ(d.log, log) << c.name;
  }
}

// Extended grace needs a lane above 50 that the list names, counted from 51.
TEST(TicketDecision, ExtendedGraceLanes) {
  TTicketRules rules;
  rules.extendedGraceLanes = {2, 0};
  rules.graceTimePOFExtended = 60;
  const struct {
    int lane;
    TicketState state;
  } cases[] = {{52, TicketState::Accepted}, {53, TicketState::Expired}, {2, TicketState::Expired},
               {50, TicketState::Expired}};
  for (const auto& c : cases) {
    const TExitTicketDecision d = DecideExitTicket(rules, 5, Barcode(c.lane), kNow - 30 * kMinute,
                                                   TExitTicketRows{TTicketRow{}, Device(2)}, kNow);
    EXPECT_EQ(d.state, c.state) << c.lane;
  }
}

TEST(TicketDecision, DispenserRecordWrites) {
  const TDateTime issued = EncodeDateTime(2026, 2, 1, 0, 0, 0);
  auto record = [&](bool online, bool backedOut) {
    TDispenserRecord r;
    r.Barcode = "2267840042";
    r.Online = online;
    r.BackedOut = backedOut;
    r.TicketText = "123";
    r.IssueTime = issued;
    r.Lane = 42;
    return r;
  };
  const TTicketWhere byBarcode{false, "2267840042", 0};
  const TTicketWhere byNumber{true, "", 123};
  const TTicketRow fromExit{0, 0, 5};
  const TTicketRow fromDispenser{0, 41, 0};
  const std::string found = "TickInv Record Found! Updating: ";
  const struct {
    const char* name;
    bool online;
    bool backedOut;
    TDispenserRows rows;
    std::optional<TTicketWhere> supersede;
    bool update;
    TTicketWhere where;
    std::optional<int> status;
    std::optional<int> security;
    std::string foundLine;
  } cases[] = {
      {"a new ticket", true, false, {}, std::nullopt, false, byNumber, 0, 1, ""},
      {"a new ticket backed out", true, true, {}, std::nullopt, false, byNumber, 2, 1, ""},
      {"recorded by an exit, reported late", false, false, {fromExit, std::nullopt}, std::nullopt, true, byBarcode,
       std::nullopt, std::nullopt, "where barcode='2267840042'"},
      {"recorded by an exit, reported late, backed out", false, true, {fromExit, std::nullopt}, std::nullopt, true,
       byBarcode, 2, std::nullopt, "where barcode='2267840042'"},
      {"recorded by an exit, reported on line", true, false, {fromExit, std::nullopt}, byBarcode, false, byBarcode, 0,
       1, ""},
      {"an older ticket of the barcode", false, false, {fromDispenser, std::nullopt}, byBarcode, false, byBarcode, 0,
       1, ""},
      {"taken under its number, reported late", false, false, {std::nullopt, fromExit}, std::nullopt, true, byNumber,
       std::nullopt, std::nullopt, "where ticket=123 and issuerid is null"},
      {"taken under its number, reported on line", true, false, {std::nullopt, fromExit}, byNumber, false, byNumber,
       0, 1, ""},
      {"an older ticket of the number", false, false, {std::nullopt, fromDispenser}, byNumber, false, byNumber, 0, 1,
       ""},
  };
  for (const auto& c : cases) {
    const TDispenserRecord r = record(c.online, c.backedOut);
    const TDispenserPlan plan = PlanDispenserRecord(r, c.rows, dfUnknown);
    TDispenserWrites expected;
    expected.supersede = c.supersede;
    expected.update = c.update;
    expected.where = c.where;
    expected.status = c.status;
    expected.security = c.security;
    if (c.backedOut) {
      expected.outDate = issued;
      expected.takerId = 42;
    }
    expected.barcode = "2267840042";
    expected.ticket = 123;
    expected.inDate = issued;
    expected.issuerId = 42;
    expected.online = c.online;
    EXPECT_EQ(plan.writes, expected) << c.name;
    std::vector<std::string> log = {std::string("Bar:2267840042 Date:Feb01/2026 00:00:00 Lane:42 Ticket:123 ... ") +
                                    "BackOut:" + (c.backedOut ? "Y" : "N") + " OnLine:" + (c.online ? "Y" : "N")};
    if (!c.foundLine.empty()) log.push_back(found + c.foundLine);
    EXPECT_EQ(plan.log, log) << c.name;
  }
}

TEST(TicketDecision, ConditionsQuoteForTheFamily) {
  EXPECT_EQ(TicketCondition(TTicketWhere{false, "a'b\\c", 0}, dfUnknown), "where barcode='a''b\\c'");
  EXPECT_EQ(TicketCondition(TTicketWhere{false, "a'b\\c", 0}, dfMySQL), "where barcode='a''b\\\\c'");
  EXPECT_EQ(TicketCondition(TTicketWhere{true, "ignored", -7}, dfMySQL), "where ticket=-7 and issuerid is null");
}

}  // namespace
}  // namespace tarn
