// Barcodes as devices send them, through the issue-time decoding and the small text-number
// helpers, on a fixed day.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "util/DateTime.h"
#include "util/TicketTime.h"

using namespace tarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TDateTime today = EncodeDateTime(2026, 3, 15, 10, 30, 0);
  ScopedClock clock([] { return today; });
  std::string_view barcode(reinterpret_cast<const char*>(data), size);

  for (bool oldFormat : {false, true}) {
    const TDateTime t = TicketTime(barcode, oldFormat);
    FUZZ_CHECK(std::isfinite(t));
    if (size < 10 || size > 12) FUZZ_CHECK(t == 0);
    FUZZ_CHECK(t == 0 || t == -1 || t > 0);
  }

  std::string ticketNo;
  TDateTime when = -5;
  if (OldTicketTime(barcode, ticketNo, when)) {
    FUZZ_CHECK(std::isfinite(when) && when > 0);
    FUZZ_CHECK(ticketNo.size() <= 4);
    // Never dated after the end of the current year.
    FUZZ_CHECK(when < EncodeDate(2027, 1, 1));
  } else {
    FUZZ_CHECK(when == -5);
  }

  const int first = size > 0 ? static_cast<int8_t>(data[0]) : 0;
  const int count = size > 1 ? static_cast<int8_t>(data[1]) : 0;
  (void)IntAt(barcode, first, count, -3);
  (void)IntAt(barcode, 9, 2, 0);

  const std::string stripped = StripZeros(barcode);
  FUZZ_CHECK(stripped.size() <= size);
  if (size > 0) FUZZ_CHECK(!stripped.empty());
  if (stripped.size() > 1) FUZZ_CHECK(stripped[0] != '0');
  return 0;
}
