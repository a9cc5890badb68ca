// The journal's text of an offline write: every kind and every field comes back as it went
// in (texts with the characters the format uses itself, date-times to the last digit), and a
// text that is not an entry is refused rather than read half.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "access/OfflineEntry.h"
#include "util/DateTime.h"

namespace tarn {
namespace {

const TDateTime kRead = EncodeDateTime(2024, 3, 13, 10, 17, 42, 123) + 1e-9;

TCardWrites FullCard() {
  TCardWrites w;
  w.typeActivation = TActivation{true, 4, 0, kRead, kRead + 30};
  w.card = 123456789012345678;
  w.cardActivation = TActivation{false, 0, 123456789012345678, kRead, kRead + 7.5};
  w.debitLeft = -1;
  w.debitResetDate = EndOfTheMonth(kRead);
  w.inLot = 2;
  w.debitDate = kRead;
  w.transDt = kRead;
  w.inGate = -1;
  w.poolId = 3;
  w.poolChange = -1;
  w.trans = TTransRow{"123456789012345678", kRead, 101, 12, "Passback Error", "Entry=1\nsecond line",
                      "O'Brien \\ back", "Ra\ry", true};
  return w;
}

TEST(OfflineEntry, EveryKindComesBackWhole) {
  TCardWrites bare;  // a refused read: only its trans row
  bare.card = 5;
  bare.trans.cardNo = "5";
  bare.trans.when = kRead;
  TDispenserWrites dispenser;
  dispenser.supersede = TTicketWhere{true, "", 77};
  dispenser.update = true;
  dispenser.where = TTicketWhere{false, "0123456789", 0};
  dispenser.status = 2;
  dispenser.outDate = kRead - 0.5;
  dispenser.takerId = 4;
  dispenser.barcode = "0123456789";
  dispenser.ticket = 77;
  dispenser.inDate = kRead - 0.5;
  dispenser.issuerId = 4;
  dispenser.online = true;
  TDispenserWrites plain;
  plain.status = 0;
  plain.security = 1;
  plain.barcode = "9876543210";
  plain.ticket = 0;
  const std::vector<TOfflineWrite> writes = {
      FullCard(),
      bare,
      TUnknownTicket{"12'34\\56=78\n90", kRead - 1},
      TTicketTaken{"1234567890", 5, std::nullopt},
      TTicketTaken{"1234567890", 5, 2},
      dispenser,
      plain,
      TSoftCount{107},
      TDeviceStatus{1, 4, {{"online_flag", 0}}},
      TDeviceStatus{1, 4, {{"ptr_paper", 2}, {"ptr_hdwr", 0}, {"ptr_fail", 0}, {"ptr_stat", 130}, {"ptr_stat2", 0}}},
  };
  for (const TOfflineWrite& w : writes) {
    const std::string kind = KindOf(w);
    SCOPED_TRACE(kind);
    const std::optional<TOfflineWrite> back = DecodeEntry(kind, EncodeEntry(w));
    ASSERT_TRUE(back.has_value()) << EncodeEntry(w);
    EXPECT_TRUE(*back == w) << EncodeEntry(w);
  }
}

TEST(OfflineEntry, TextsThatAreNoEntryAreRefused) {
  struct Case {
    const char* kind;
    const char* text;
    bool read;
  };
  const Case cases[] = {
      {"card", "card=12\ntrans.when=45364.5\n", true},
      {"card", "card=12x\n", false},                // a number that is none
      {"card", "trans.when=soon\n", false},         // a date-time that is none
      {"card", "no equals sign\n", false},
      {"soft count", "device_id=\n", false},
      {"soft count", "", true},                     // every field at its default
      {"lottery", "card=1\n", false},               // a kind the journal never writes
      {"device", "loop_id=1\naddress=2\nset.online_flag=one\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + ": " + c.text);
    EXPECT_EQ(DecodeEntry(c.kind, c.text).has_value(), c.read);
  }
}

}  // namespace
}  // namespace tarn
