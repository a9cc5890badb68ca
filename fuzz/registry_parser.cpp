// Any bytes as a registry export file (the operator edits it by hand; it may be UTF-16,
// cut short, or not a registry file at all).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/FuzzCheck.h"
#include "platform/Registry.h"
#include "util/Strings.h"

using namespace tarn;
using namespace tarn::platform;

namespace {

bool SameValue(const std::pair<const std::string, RegValue>& a, const std::pair<const std::string, RegValue>& b) {
  return a.first == b.first && a.second.type == b.second.type && a.second.str == b.second.str &&
         a.second.dword == b.second.dword;
}

bool SameKey(const RegistryKeys::value_type& a, const RegistryKeys::value_type& b) {
  return a.first == b.first && std::equal(a.second.begin(), a.second.end(), b.second.begin(), b.second.end(), SameValue);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RegistryKeys keys = ParseRegistryText(bytes);
  for (const auto& [path, values] : keys) {
    // Lookups normalise the path they are given; a stored path must already be in that form.
    FUZZ_CHECK(NormaliseKeyPath(path) == path);
    for (const auto& [name, value] : values) {
      FUZZ_CHECK(LowerCase(name) == name);
      if (value.type != RegType::String) FUZZ_CHECK(value.str.empty());
      if (value.type != RegType::DWord) FUZZ_CHECK(value.dword == 0);
    }
  }
  // The parse depends on the bytes alone: a second one gives the same keys, names and values.
  const RegistryKeys again = ParseRegistryText(bytes);
  FUZZ_CHECK(std::equal(keys.begin(), keys.end(), again.begin(), again.end(), SameKey));
  return 0;
}
