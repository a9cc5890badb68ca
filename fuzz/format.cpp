// Hostile format texts against the format function: every outcome is a text or
// EFormatError, and the text stays within what the format asks for.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "util/Format.h"

using namespace tarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: which arguments follow, two bits each (integer, float, text, special).
  const uint8_t kinds = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<FormatArg> args;
  static const double specials[] = {std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::quiet_NaN(),
                                    1e308,
                                    -1e-308,
                                    std::numeric_limits<double>::denorm_min()};
  static const long long ints[] = {0, -1, std::numeric_limits<long long>::min(),
                                   std::numeric_limits<long long>::max(), 2000000000, -2000000000};
  for (int i = 0; i < 4; ++i) {
    const int k = (kinds >> (2 * i)) & 3;
    const size_t pick = static_cast<size_t>((kinds >> i) % 6);
    switch (k) {
      case 0: args.emplace_back(ints[pick]); break;
      case 1: args.emplace_back(specials[pick]); break;
      case 2: args.emplace_back(std::string(rest.substr(0, 40))); break;
      default: args.emplace_back(static_cast<int>(pick) * 7); break;
    }
  }
  try {
    std::string out = FormatV(rest, args);
    // Each specifier adds at most its width cap (100000) or the widest number; nothing may
    // grow without bound from a short format.
    FUZZ_CHECK(out.size() <= rest.size() * 100600 + 4096);
  } catch (const EFormatError&) {
  }
  return 0;
}
