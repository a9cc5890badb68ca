// Any bytes as the settings file: every read gives a value or the default, and a value
// written is read back, whatever the rest of the file holds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "platform/IniFile.h"

using namespace tarn::platform;

namespace {

std::string ScratchFile() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/tarncard-fuzz-" + std::to_string(::getpid()) + ".ini";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = ScratchFile();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  TIniFile ini(path);
  (void)ini.SectionExists("Settings");
  for (const auto& [key, value] : ini.ReadSectionValues("Settings")) {
    FUZZ_CHECK(!key.empty());
    (void)ini.ReadInteger("Settings", key, -7);
    (void)ini.ReadBool("Settings", key, true);
  }
  (void)ini.ReadSection("Ports");
  // A missing or empty value gives the default.
  if (ini.ReadString("Settings", "Port", "").empty()) FUZZ_CHECK(ini.ReadInteger("Settings", "Port", 12345) == 12345);

  FUZZ_CHECK(ini.WriteString("Settings", "Port", "7"));
  FUZZ_CHECK(ini.ReadString("Settings", "Port", "") == "7");
  FUZZ_CHECK(ini.ReadInteger("Settings", "Port", 0) == 7);
  FUZZ_CHECK(ini.ValueExists("Settings", "port"));
  // A value with line breaks stays one entry.
  FUZZ_CHECK(ini.WriteString("Settings", "Text", "a\r\nb=c"));
  FUZZ_CHECK(ini.ReadString("Settings", "Text", "") == "ab=c");
  FUZZ_CHECK(ini.ReadString("Settings", "Port", "") == "7");
  std::remove(path.c_str());
  return 0;
}
