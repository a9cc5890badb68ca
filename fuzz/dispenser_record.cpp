// The record a ticket dispenser reports for every ticket, and the barcode condition that
// puts a device's text into SQL.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "access/TicketDecision.h"
#include "db/TODBC.h"
#include "fuzz/FuzzCheck.h"
#include "util/DateTime.h"

using namespace tarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TDateTime today = EncodeDateTime(2026, 3, 15, 10, 30, 0);
  ScopedClock clock([] { return today; });
  std::string_view text(reinterpret_cast<const char*>(data), size);

  TDispenserRecord record;
  record.Lane = 99;
  const bool ok = ParseDispenserRecord(text, record);
  FUZZ_CHECK(ok == (size == 17));
  if (ok) {
    FUZZ_CHECK(record.Barcode.size() == 10);
    FUZZ_CHECK(!record.TicketText.empty() && record.TicketText.size() <= 6);
    FUZZ_CHECK(std::isfinite(record.IssueTime));
  } else {
    FUZZ_CHECK(record.Barcode.empty() && record.TicketText.empty() && record.Lane == 0);
    FUZZ_CHECK(!record.Online && record.BackedOut);
  }

  // Inside the quotes of the condition every quote is doubled (and on MySQL every
  // backslash), so the text can never end the literal early, whatever the device sent.
  for (uint8_t family = 0; family < 10; ++family) {
    const std::string where = BarcodeCondition(text, family);
    const std::string head = "where barcode='";
    FUZZ_CHECK(where.compare(0, head.size(), head) == 0 && where.size() > head.size());
    FUZZ_CHECK(where.back() == '\'');
    const std::string inner = where.substr(head.size(), where.size() - head.size() - 1);
    for (size_t i = 0; i < inner.size(); ++i) {
      const char c = inner[i];
      if (c != '\'' && !(c == '\\' && family == dfMySQL)) continue;
      FUZZ_CHECK(i + 1 < inner.size() && inner[i + 1] == c);
      ++i;
    }
  }
  return 0;
}
