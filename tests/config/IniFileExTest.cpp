#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

TEST(IniFile, ByteOrderMarksAreReadAndNotWritten) {
  auto dir = tarn::testing::ScratchDir("config");
  auto utf8 = dir / "utf8.ini";
  std::ofstream(utf8, std::ios::binary) << "\xEF\xBB\xBF[Settings]\r\nGrace=30\r\n";
  tarn::TIniFileEx ini(utf8.string());
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "Grace", 15), 30);
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "Future", 15), 15);
  EXPECT_EQ(ReadAll(utf8), "[Settings]\r\nGrace=30\r\nFuture=15\r\n");

  // UTF-16LE, as the registry file may be saved too.
  auto utf16 = dir / "utf16.ini";
  std::string bytes = "\xFF\xFE";
  for (char c : std::string("[Settings]\r\nGrace=45\r\n")) bytes += std::string{c, '\0'};
  std::ofstream(utf16, std::ios::binary) << bytes;
  tarn::TIniFileEx wide(utf16.string());
  EXPECT_EQ(wide.ReadIntegerEx("Settings", "Grace", 15), 45);
  EXPECT_EQ(wide.ReadIntegerEx("Settings", "Future", 15), 15);
  EXPECT_EQ(ReadAll(utf16), "[Settings]\r\nGrace=45\r\nFuture=15\r\n");

  // A mark saved twice: both go, or the second would hide the section until the first write.
  auto twice = dir / "twice.ini";
  std::ofstream(twice, std::ios::binary) << "\xEF\xBB\xBF\xEF\xBB\xBF[Settings]\r\nGrace=20\r\n";
  tarn::TIniFileEx again(twice.string());
  EXPECT_EQ(again.ReadIntegerEx("Settings", "Grace", 15), 20);
  EXPECT_EQ(again.ReadIntegerEx("Settings", "Future", 15), 15);
  EXPECT_EQ(again.ReadIntegerEx("Settings", "Grace", 15), 20);
  EXPECT_EQ(ReadAll(twice), "[Settings]\r\nGrace=20\r\nFuture=15\r\n");
}

// The file is replaced through a temporary copy: the copy takes over the old file's mode
// and owner, and a symbolic link stays a link to the file it named.
TEST(IniFile, RewriteKeepsModeOwnerAndLinks) {
  namespace fs = std::filesystem;
  auto dir = tarn::testing::ScratchDir("config");
  fs::create_directories(dir / "etc");
  auto real = dir / "etc" / "tarncard.ini";
  std::ofstream(real) << "[Settings]\nA=1\n";
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(real.c_str(), 65534, 65534), 0);
  }
  auto link = dir / "tarncard.ini";
  fs::create_symlink(fs::path("etc") / "tarncard.ini", link);

  tarn::platform::TIniFile ini(link.string());
  ASSERT_TRUE(ini.WriteInteger("Settings", "B", 2));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_NE(ReadAll(real).find("B=2"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "etc" / "tarncard.ini.tmp"));
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (!root) GTEST_SKIP() << "not root: the file cannot be given to another owner, so keeping its owner is not checked";
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
}

}  // namespace
