// Any bytes as a registry export file (the operator edits it by hand; it may be UTF-16,
// cut short, or not a registry file at all).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "platform/Registry.h"
#include "util/Strings.h"

using namespace tarn;
using namespace tarn::platform;

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
  // The parse depends on the bytes alone.
  FUZZ_CHECK(ParseRegistryText(bytes) .size() == keys.size());
  return 0;
}
