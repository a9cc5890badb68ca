// Registry and settings files as operators and broken disks leave them: every read gives the
// value, the default, or "missing", and never takes the program down.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/TIniFileEx.h"
#include "config/TRegistryEx.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "support/ScratchDir.h"

namespace {
namespace fs = std::filesystem;
using tarn::TIniFileEx;
using tarn::TRegistryEx;
using tarn::platform::ParseRegistryText;
using tarn::platform::RegType;

const char* kTarnKey = "\\Software\\Brevanta\\Tarn\\";
const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n";

std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class HostileRegistry : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = tarn::testing::ScratchDir("hostile"); }
  void TearDown() override { unsetenv("TARNCARD_REGISTRY"); }
  // A new file name for every content, so the store's cache never serves the previous one.
  void Write(const std::string& bytes) {
    fs::path p = dir_ / ("registry" + std::to_string(++writes_) + ".reg");
    std::ofstream(p, std::ios::binary) << bytes;
    setenv("TARNCARD_REGISTRY", p.c_str(), 1);
  }
  fs::path dir_;
  int writes_ = 0;
};

TEST_F(HostileRegistry, WrongTypesGiveTheDefaultAndSayMissing) {
  Write(kHeader +
        "\"Host\"=dword:00000005\r\n"      // a number where a text belongs
        "\"DTLFreq\"=\"12\"\r\n"           // a text where a number belongs
        "\"DebugLog\"=\"0\"\r\n"           // a text where a boolean belongs
        "\"BackupDays\"=hex:01,00,00,00\r\n"
        "\"BackupTime\"=dword:\r\n"        // no digits
        "\"User\"=dword:ffffffff\r\n"
        "\"Pass\"=hex(2):41,00,00,00\r\n");
  TRegistryEx reg(kTarnKey);
  EXPECT_EQ(reg.ReadStrDef("Host", "127.0.0.1"), "127.0.0.1");
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_EQ(reg.ReadIntDef("DTLFreq", 3), 3);
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_TRUE(reg.ReadBoolDef("DebugLog", true));
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_EQ(reg.ReadIntDef("BackupDays", 9), 9);
  EXPECT_EQ(reg.ReadIntDef("BackupTime", 4), 4);
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_EQ(reg.ReadStrDef("User", "dbowner"), "dbowner");
  EXPECT_EQ(reg.ReadScrambled("Pass"), "");
  EXPECT_TRUE(reg.ValueMissing);
  // The largest double word reads as a number, whatever sign the reader gives it.
  EXPECT_EQ(reg.ReadIntDef("User", 1), -1);
  EXPECT_FALSE(reg.ValueMissing);
}

TEST_F(HostileRegistry, Utf16WithOddLengthsAndBrokenSurrogates) {
  const std::string body = kHeader + "\"Host\"=\"db1\"\r\n\"Database\"=\"gtd2\"\r\n";
  // A file cut in the middle of a character keeps everything before the cut.
  Write(Utf16Le(body) + "\x41");
  TRegistryEx reg(kTarnKey);
  EXPECT_EQ(reg.ReadStr("Host"), "db1");
  EXPECT_EQ(reg.ReadStr("Database"), "gtd2");
  std::string cut = Utf16Le(body);
  Write(cut.substr(0, cut.size() - 7));  // odd length inside the last line
  EXPECT_EQ(reg.ReadStr("Host"), "db1");
  reg.ReadStr("Database");
  EXPECT_TRUE(reg.ValueMissing);  // its closing quote was cut off

  // Unpaired surrogates in a value become replacement characters, nothing worse.
  std::string lone = Utf16Le(kHeader + "\"User\"=\"a");
  lone += std::string("\x00\xD8", 2) + std::string("b\0\x00\xDC", 4);  // high alone, 'b', low alone
  lone += Utf16Le("c\"\r\n").substr(2);
  Write(lone);
  EXPECT_EQ(reg.ReadStr("User"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c");

  // Only the byte-order mark and one byte: an empty registry.
  Write("\xFF\xFE\x41");
  EXPECT_EQ(reg.ReadStrDef("Host", "d"), "d");
  // UTF-16 without its byte-order mark is not a registry export.
  Write(Utf16Le(body).substr(2));
  EXPECT_EQ(reg.ReadStrDef("Host", "d"), "d");
}

TEST_F(HostileRegistry, BinaryJunkHugeLinesAndNulBytes) {
  std::string junk;
  for (int i = 0; i < 300000; ++i) junk += static_cast<char>((i * 131 + i / 7) & 0xFF);
  std::string nul("\"Na\0me\"=\"v\"\r\n\"Value\"=\"x\0y\"\r\n", 28);
  Write(kHeader + junk + "\r\n\r\n" + nul + "\"Host\"=\"after junk\"\r\n" + std::string(2000000, '=') + "\r\n" +
        "\"" + std::string(100000, '\\') + "\"=\"odd\"\r\n" + "\"Database\"=\"" + std::string(3000000, 'q') +
        "\"\r\n");
  TRegistryEx reg(kTarnKey);
  EXPECT_EQ(reg.ReadStr("Host"), "after junk");
  EXPECT_EQ(reg.ReadStr("Database").size(), 3000000u);
  EXPECT_EQ(tarn::platform::RegistryRead(kTarnKey, std::string("Value")).value().str, std::string("x\0y", 3));
  EXPECT_EQ(tarn::platform::RegistryRead(kTarnKey, std::string("Na\0me", 5)).value().str, "v");

  // The parser on its own: junk of every byte value in every position is skipped.
  for (int start = 0; start < 256; start += 17) {
    std::string bytes = kHeader;
    for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((start + i * i) & 0xFF);
    auto keys = ParseRegistryText(bytes);
    ASSERT_EQ(keys.size(), 1u);
    for (const auto& [name, value] : keys.begin()->second)
      EXPECT_TRUE(value.type == RegType::String || value.type == RegType::DWord || value.type == RegType::Other);
  }
}

class HostileSettings : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = tarn::testing::ScratchDir("hostile"); }
  fs::path dir_;
};

TEST_F(HostileSettings, BinaryJunkFileFillsInDefaultsAndKeepsItsOtherLines) {
  fs::path path = dir_ / "tarncard.ini";
  std::string junk;
  for (int i = 0; i < 20000; ++i) {
    char c = static_cast<char>((i * 37 + 11) & 0xFF);
    if (c == '\r' || c == '\n') c = 'Z';
    junk += i % 100 == 99 ? '\n' : c;
  }
  const std::string content = junk + "\n[Settings]\nPort=\x01\x02\xFF\nBaud=9600\xFE\n" + junk;
  std::ofstream(path, std::ios::binary) << content;

  TIniFileEx ini(path.string());
  // A value of junk is not a number: the default.
  EXPECT_EQ(ini.ReadInteger("Settings", "Port", 4), 4);
  EXPECT_EQ(ini.ReadInteger("Settings", "Baud", 1200), 1200);
  EXPECT_TRUE(ini.ReadBool("Settings", "Baud", true));
  // A missing key is written with its default and read back.
  EXPECT_EQ(ini.ReadIntegerEx("Settings", "Offline Delay", 40), 40);
  EXPECT_EQ(ini.ReadStringEx("Settings", "Name", "lane"), "lane");
  EXPECT_EQ(ini.ReadInteger("Settings", "Offline Delay", 0), 40);
  EXPECT_EQ(ini.ReadString("Settings", "Name", ""), "lane");
  // The junk around the section is still in the file (writes keep every other line).
  const std::string after = ReadAll(path);
  EXPECT_NE(after.find(junk.substr(0, 99)), std::string::npos);
  EXPECT_NE(after.find(junk.substr(junk.size() - 100, 99)), std::string::npos);
  EXPECT_NE(after.find("Offline Delay=40"), std::string::npos);
}

TEST_F(HostileSettings, UnusablePathsGiveDefaultsAndFailedWrites) {
  // The settings file is a folder, or lies under a regular file.
  fs::create_directories(dir_ / "folder.ini");
  std::ofstream(dir_ / "plain", std::ios::binary) << "x";
  for (const fs::path& p : {dir_ / "folder.ini", dir_ / "plain" / "tarncard.ini"}) {
    TIniFileEx ini(p.string());
    EXPECT_FALSE(ini.SectionExists("Settings")) << p;
    EXPECT_EQ(ini.ReadIntegerEx("Settings", "Port", 3), 3) << p;
    EXPECT_TRUE(ini.ReadBoolEx("Settings", "Debug", true)) << p;
    EXPECT_FALSE(ini.WriteString("Settings", "Port", "5")) << p;
  }
  EXPECT_TRUE(fs::is_directory(dir_ / "folder.ini"));
  EXPECT_FALSE(fs::exists(dir_ / "folder.ini.tmp"));  // no stray copy left behind
}

}  // namespace
