#include <gtest/gtest.h>

#include "LoopFixture.h"
#include "db/TODBC.h"
#include "access/TicketDecision.h"
#include "readerbus/TCard.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn::test {
namespace {

using ::tarn::testing::JsonString;

constexpr double kMinute = 1.0 / 1440;
constexpr double kSecond = 1.0 / 86400;

class TicketEvents : public LoopFixture {
 protected:
  // The reader's answer to a barcode read at `address`: "G:<data>" or "B:<data>".
  std::string Read(int address, const std::string& barcode) {
    const size_t from = Mark();
    Loop().CardData(address, barcode);
    const auto frames = FramesUntilMarker(address, from);
    if (frames.size() != 1) return "<" + std::to_string(frames.size()) + " frames>";
    return JsonString(frames[0], "cmd") + ":" + JsonString(frames[0], "data");
  }
  // A ticket already in the inventory.
  void Ticket(const std::string& barcode, int status, int issuer = 3) {
    ASSERT_TRUE(Db().Exec(Format("INSERT INTO tickinv (barcode, ticket, issuerid, status, security) VALUES "
                                 "('%s', 1, %d, %d, 1)",
                                 barcode, issuer, status)));
  }
  std::string Column(const std::string& column, const std::string& barcode) {
    return Query("SELECT " + column + " FROM tickinv WHERE barcode = '" + SqlText(barcode, Family()) + "'");
  }
  int Rows(const std::string& where = "") { return QueryInt("SELECT count(*) FROM tickinv " + where); }
  uint8_t Family() { return Db().ODBC().DriverFamily(); }
  int LotCount() { return QueryInt("SELECT lot_count FROM lot WHERE id = 1"); }
  bool Logged(const std::string& text) { return LogText().find(text) != std::string::npos; }
};

TEST_P(TicketEvents, UnknownTicketIsRecordedJudgedAndTaken) {
  const std::string b = CycleBarcode(Clock() - 10 * kMinute, 12);
  EXPECT_EQ(Read(5, b), "G:009Thank you...");
  EXPECT_EQ(Column("issuerid", b), "0");
  EXPECT_EQ(Column("status", b), "2");
  EXPECT_EQ(Column("takerid", b), "5");
  EXPECT_NE(Column("out_date", b), "");
  EXPECT_EQ(Loop().LastOpenPulse, 9);
  EXPECT_EQ(LotCount(), 1);
  EXPECT_TRUE(Logged("Checking BarCode: " + b + " "));
  EXPECT_TRUE(Logged("Rdr 5 St 0 Dir 2"));
  EXPECT_TRUE(Logged("Card1.GateOpenMsg(5, Y, 9, Thank you...)"));

  // Taken once: a second exit is refused.
  EXPECT_EQ(Read(5, b), "B:ExitPass Used");
  EXPECT_TRUE(Logged("Card1.GateOpenMsg(5, N, 9, ExitPass Used)"));
  EXPECT_EQ(LotCount(), 1);
  EXPECT_EQ(Rows(), 1);

  // No usable time: the default pulse, and the inventory is not touched.
  EXPECT_EQ(Read(5, "1234567890"), "B:Read ERROR;Please Re-try");
  EXPECT_TRUE(Logged("Card1.GateOpenMsg(5, N, 5, Read ERROR;Please Re-try)"));
  EXPECT_EQ(Loop().LastOpenPulse, 5);
  EXPECT_EQ(Rows(), 1);
}

TEST_P(TicketEvents, EntryReaderDirectionRules) {
  const std::string inside = CycleBarcode(Clock() - 3 * kMinute, 12);
  Ticket(inside, 0);
  EXPECT_EQ(Read(6, inside), "B:Passback Error");

  // A taken ticket at an entry: expired unless read within the minute of its time.
  const std::string old = CycleBarcode(Clock() - 5 * kMinute, 12);
  Ticket(old, 2);
  EXPECT_EQ(Read(6, old), "B:ExitPass Expired");
  const std::string fresh = CycleBarcode(Clock() - 20 * kSecond, 12);
  Ticket(fresh, 2);
  EXPECT_EQ(Read(6, fresh), "G:008Thank you...");
  EXPECT_EQ(Column("status", fresh), "0");
  EXPECT_EQ(Column("takerid", fresh), "6");
}

TEST_P(TicketEvents, GraceFlatRateAndExtendedLanes) {
  Loop().Settings.GraceTimePOF = 15;
  Loop().Settings.GraceTimeFuture = 10;
  EXPECT_EQ(Read(5, CycleBarcode(Clock() - 15 * kMinute - 30 * kSecond, 12)), "G:009Thank you...");
  EXPECT_EQ(Read(5, CycleBarcode(Clock() - 16 * kMinute - 30 * kSecond, 12)), "B:ExitPass Expired");
  EXPECT_EQ(Read(5, CycleBarcode(Clock() + 10 * kMinute + 30 * kSecond, 12)), "G:009Thank you...");
  Loop().Settings.GraceTimeFuture = 9;
  EXPECT_EQ(Read(5, CycleBarcode(Clock() + 10 * kMinute + 30 * kSecond, 14)), "B:ExitPass Expired");

  Loop().Settings.FlatRateFlag = true;
  EXPECT_EQ(Read(5, CycleBarcode(Clock() - 120 * kMinute, 51)), "G:009Thank you...");
  EXPECT_EQ(Read(5, CycleBarcode(Clock() - 120 * kMinute, 50)), "B:ExitPass Expired");
  Loop().Settings.FlatRateFlag = false;

  // Nothing configured (the list holds its placeholder 0): lane 50 is an ordinary lane.
  Loop().Settings.ExtendedGraceLanes = {0};
  Loop().Settings.GraceTimePOFExtended = 60;
  EXPECT_EQ(Read(5, CycleBarcode(Clock() - 31 * kMinute, 50)), "B:ExitPass Expired");
  Loop().Settings.ExtendedGraceLanes = {3};
  EXPECT_EQ(Read(5, CycleBarcode(Clock() - 30 * kMinute, 53)), "G:009Thank you...");
  EXPECT_EQ(Read(5, CycleBarcode(Clock() - 30 * kMinute, 52)), "B:ExitPass Expired");
}

TEST_P(TicketEvents, InternalLanesKeepTheTicketInside) {
  Loop().Settings.InternalLanes = {7};
  const std::string b = CycleBarcode(Clock() - 2 * kMinute, 12);
  Ticket(b, 0);
  EXPECT_EQ(Read(7, b), "G:009Thank you...");
  EXPECT_EQ(Column("status", b), "0");
  EXPECT_EQ(Column("takerid", b), "7");
  const std::string taken = CycleBarcode(Clock() - 3 * kMinute, 12);
  Ticket(taken, 2);
  EXPECT_EQ(Read(7, taken), "B:ExitPass Used");
}

TEST_P(TicketEvents, DispenserRecordsKeepTheInventory) {
  // Issued on line: a new row, and the dispenser is told to go on.
  const std::string b1 = CycleBarcode(Clock() - 40 * kMinute, 21);
  size_t from = Mark();
  Loop().CardData(4, "0" + b1 + "000101");
  EXPECT_TRUE(WaitFrame(4, 'Y', from).has_value());
  EXPECT_EQ(Column("status", b1), "0");
  EXPECT_EQ(Column("security", b1), "1");
  EXPECT_EQ(Column("issuerid", b1), "21");
  EXPECT_EQ(Column("ticket", b1), "101");
  EXPECT_EQ(Column("online", b1), "1");
  EXPECT_EQ(Column("in_date", b1).substr(0, 16), FormatDateTime("YYYY-MM-DD HH:NN", Clock() - 40 * kMinute));
  EXPECT_EQ(LotCount(), 1);
  EXPECT_TRUE(Logged(Format("Bar:%s Date:%s Lane:21 Ticket:101 ... BackOut:N OnLine:Y", b1,
                            FormatDateTime("MMMDD/YYYY HH:NN:SS", Clock() - 40 * kMinute))));

  // The exit took a ticket first; the dispenser reports it late (off line): same row.
  const std::string b2 = CycleBarcode(Clock() - 8 * kMinute, 22);
  EXPECT_EQ(Read(5, b2), "G:009Thank you...");
  Loop().RecordIssuedTicket(4, "1" + b2 + "000102");
  EXPECT_EQ(Rows("WHERE barcode LIKE '" + b2 + "%'"), 1);
  EXPECT_EQ(Column("takerid", b2), "5");
  EXPECT_EQ(Column("issuerid", b2), "22");
  EXPECT_EQ(Column("status", b2), "2");
  EXPECT_TRUE(Logged("TickInv Record Found! Updating: where barcode='" + b2 + "'"));

  // The same barcode reported on line again: the old row is superseded.
  Loop().RecordIssuedTicket(4, "0" + b2 + "000103");
  EXPECT_EQ(Column("ticket", b2), "103");
  EXPECT_EQ(Column("status", b2), "0");
  EXPECT_EQ(Column("ticket", b2 + "*"), "102");

  // A row known by number only, not yet issued: negated and replaced.
  ASSERT_TRUE(Db().Exec("INSERT INTO tickinv (barcode, ticket, status) VALUES ('other', 104, 0)"));
  const std::string b3 = CycleBarcode(Clock() - 6 * kMinute, 23);
  Loop().RecordIssuedTicket(4, "0" + b3 + "000104");
  EXPECT_EQ(Column("ticket", "other"), "-104");
  EXPECT_EQ(Column("ticket", b3), "104");

  // Backed out: taken at once by its own lane.
  const std::string b4 = CycleBarcode(Clock() - 5 * kMinute, 24);
  Loop().RecordIssuedTicket(4, "2" + b4 + "000105");
  EXPECT_EQ(Column("status", b4), "2");
  EXPECT_EQ(Column("takerid", b4), "24");
  EXPECT_EQ(Column("out_date", b4).substr(0, 16), FormatDateTime("YYYY-MM-DD HH:NN", Clock() - 5 * kMinute));

  // A record of the wrong length is logged and still counted.
  const int lot = LotCount();
  const int rows = Rows();
  Loop().CardData(4, "0" + b4 + "00010");
  EXPECT_TRUE(Logged("Invalid or unknown value?"));
  EXPECT_EQ(LotCount(), lot + 1);
  EXPECT_EQ(Rows(), rows);
}

// A ticket the exit took, known by its number only, reported late by the dispenser: its
// row is completed in place. A record that cannot be written is not counted.
TEST_P(TicketEvents, TicketKnownByNumberIsUpdatedInPlaceAndAFailedWriteIsNotCounted) {
  ASSERT_TRUE(Db().Exec("INSERT INTO tickinv (barcode, ticket, status, takerid) VALUES ('paper', 106, 2, 5)"));
  const std::string b = CycleBarcode(Clock() - 7 * kMinute, 26);
  const int rows = Rows();
  const int lot = LotCount();
  Loop().RecordIssuedTicket(4, "1" + b + "000106");
  EXPECT_EQ(Rows(), rows);
  EXPECT_EQ(Rows("WHERE ticket = -106"), 0);
  EXPECT_EQ(Column("ticket", b), "106");
  EXPECT_EQ(Column("issuerid", b), "26");
  EXPECT_EQ(Column("takerid", b), "5");
  EXPECT_EQ(Column("online", b), "0");
  EXPECT_EQ(Column("in_date", b).substr(0, 16), FormatDateTime("YYYY-MM-DD HH:NN", Clock() - 7 * kMinute));
  EXPECT_TRUE(Logged("TickInv Record Found! Updating: where ticket=106 and issuerid is null"));
  EXPECT_EQ(LotCount(), lot + 1);

  // The inventory cannot be written: the ticket is not counted.
  const int soft = QueryInt("SELECT count_soft FROM device WHERE id = 104");
  ASSERT_TRUE(Db().Exec("DROP TABLE tickinv"));
  Loop().RecordIssuedTicket(4, "0" + CycleBarcode(Clock() - kMinute, 27) + "000107");
  EXPECT_EQ(LotCount(), lot + 1);
  EXPECT_EQ(QueryInt("SELECT count_soft FROM device WHERE id = 104"), soft);
}

TEST_P(TicketEvents, HostileBarcodesChangeOnlyTheirOwnRows) {
  const std::string a = CycleBarcode(Clock() - 3 * kMinute, 12);
  const std::string b = CycleBarcode(Clock() - 4 * kMinute, 12);
  Ticket(a, 0);
  Ticket(b, 0);
  // A grace long enough to accept the hostile barcodes' own (ancient) times, so their
  // updates run.
  Loop().Settings.GraceTimePOF = 20000000;

  // The exit's condition would otherwise read: where barcode='0' or 1=1 --'
  EXPECT_EQ(Read(5, "0' or 1=1 --"), "G:009Thank you...");
  EXPECT_EQ(Column("issuerid", "0' or 1=1 --"), "0");
  EXPECT_EQ(Column("status", "0' or 1=1 --"), "2");
  // A backslash before the quote escapes it on MySQL-family servers.
  EXPECT_EQ(Read(5, "0\\' or 1=1#"), "G:009Thank you...");
  EXPECT_EQ(Column("status", "0\\' or 1=1#"), "2");
  // The dispenser's: where barcode='0'or'1'='1'
  Loop().RecordIssuedTicket(4, "00'or'1'='1000042");
  EXPECT_EQ(Column("ticket", "0'or'1'='1"), "42");

  EXPECT_EQ(Column("status", a), "0");
  EXPECT_EQ(Column("status", b), "0");
  EXPECT_EQ(Column("takerid", a), "");
  EXPECT_EQ(Column("barcode", a), a);
  EXPECT_EQ(Rows("WHERE barcode LIKE '%*'"), 0);
  EXPECT_EQ(Rows("WHERE status = 2"), 2);
  EXPECT_EQ(Rows(), 5);
}

TEST_P(TicketEvents, BarcodeEventJudgesExitTickets) {
  const std::string b = CycleBarcode(Clock() - 1 * kMinute, 12);
  const size_t from = Mark();
  Loop().BarcodeEvent(5, b);
  const auto frame = WaitFrame(5, 'G', from);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(JsonString(*frame, "data"), "009Thank you...");
  EXPECT_TRUE(Logged("Got BarcodeEvent event!  - 5 - |" + b + "|"));
  EXPECT_EQ(Column("status", b), "2");
}

INSTANTIATE_TEST_SUITE_P(Backends, TicketEvents, TARN_BACKENDS);

}  // namespace
}  // namespace tarn::test
