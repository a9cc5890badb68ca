#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "config/TIniFileEx.h"
#include "support/ScratchDir.h"

namespace {

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(IniFileEx, MissingKeysAreWrittenBackWithTheirDefaults) {
  auto dir = tarn::testing::ScratchDir("config");
  auto path = dir / "tarncard.ini";
  std::ofstream(path) << "; site settings\n[Settings]\n# keep me\nLoopPort=3\n";
  tarn::TIniFileEx ini(path.string());

  EXPECT_EQ(ini.ReadIntegerEx("Settings", "PollDelay", 40), 40);
  EXPECT_TRUE(ini.ReadBoolEx("settings", "UseCounters", true));
  EXPECT_FALSE(ini.ReadBoolEx("Settings", "SoftCounts", false));
  EXPECT_EQ(ini.ReadStringEx("Mail", "Server", "smtp.local"), "smtp.local");
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "LoopPort", 1), 3);  // present: read, not rewritten

  std::string text = ReadAll(path);
  EXPECT_NE(text.find("; site settings"), std::string::npos);
  EXPECT_NE(text.find("# keep me"), std::string::npos);
  EXPECT_NE(text.find("PollDelay=40"), std::string::npos);
  EXPECT_NE(text.find("UseCounters=1"), std::string::npos);
  EXPECT_NE(text.find("SoftCounts=0"), std::string::npos);
  EXPECT_NE(text.find("[Mail]"), std::string::npos);
  EXPECT_NE(text.find("LoopPort=3"), std::string::npos);

  // The second read takes the file's value, also one an operator changed since.
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "PollDelay", 99), 40);
  tarn::platform::TIniFile(path.string()).WriteInteger("Settings", "PollDelay", 55);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "PollDelay", 99), 55);
  EXPECT_TRUE(ini.ReadBoolEx("Settings", "UseCounters", false));
}

TEST(IniFileEx, CreatesAMissingFile) {
  auto dir = tarn::testing::ScratchDir("config");
  auto path = dir / "new.ini";
  tarn::TIniFileEx ini(path.string());
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "X", 0x1F), 31);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "X", 5), 31);
  EXPECT_TRUE(std::filesystem::exists(path));
}

}  // namespace
