#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "config/TConnParams.h"
#include "config/TRegistryEx.h"
#include "platform/Registry.h"
#include "support/ScratchDir.h"

namespace {
namespace fs = std::filesystem;
using tarn::TConnParams;
using tarn::TRegistryEx;

const char* kTarnKey = "\\Software\\Brevanta\\Tarn\\";

class RegistryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tarn::testing::ScratchDir("config");
    setenv("TARNCARD_HOME", dir_.c_str(), 1);
    path_ = (dir_ / "registry.reg").string();
    setenv("TARNCARD_REGISTRY", path_.c_str(), 1);
  }
  void TearDown() override { unsetenv("TARNCARD_REGISTRY"); }

  // Each write goes to a new file name, so the cache can never mistake it for the last.
  void Write(const std::string& bytes) {
    path_ = (dir_ / ("registry" + std::to_string(++writes_) + ".reg")).string();
    std::ofstream(path_, std::ios::binary) << bytes;
    setenv("TARNCARD_REGISTRY", path_.c_str(), 1);
  }
  void WriteTarn(const std::string& values) {
    Write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n" +
          values);
  }

  fs::path dir_;
  std::string path_;
  int writes_ = 0;
};

TEST_F(RegistryFile, ValueTypesAndWrongTypesCountAsMissing) {
  WriteTarn(
      "\"Host\"=\"db\\\\one \\\"main\\\"\"\r\n"
      "\"DTLFreq\"=dword:0000001f\r\n"
      "\"Neg\"=dword:ffffffff\r\n"
      "\"Blob\"=hex:01,02,\\\r\n  03,04\r\n"
      "\"Expand\"=hex(2):41,00,00,00\r\n"
      "\"After\"=\"still read\"\r\n"
      "@=\"default value\"\r\n");
  TRegistryEx reg(kTarnKey);
  EXPECT_EQ(reg.ReadStr("Host"), "db\\one \"main\"");
  EXPECT_FALSE(reg.ValueMissing);
  EXPECT_EQ(reg.ReadInt("DTLFreq"), 31);
  EXPECT_EQ(reg.ReadInt("Neg"), -1);
  EXPECT_EQ(reg.ReadStr(""), "default value");
  EXPECT_EQ(reg.ReadStr("After"), "still read");

  // Present but of another type: missing for the read, the default applies.
  EXPECT_EQ(reg.ReadStrDef("Blob", "def"), "def");
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_EQ(reg.ReadStr("Expand"), "");
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_EQ(reg.ReadIntDef("Host", 7), 7);
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_EQ(reg.ReadStrDef("DTLFreq", "x"), "x");
  EXPECT_EQ(reg.ReadIntDef("Nothing", 5), 5);
  EXPECT_TRUE(reg.ValueMissing);

  auto blob = tarn::platform::RegistryRead(kTarnKey, "blob");
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(blob->type, tarn::platform::RegType::Other);
}

TEST_F(RegistryFile, KeysAndNamesIgnoreCaseRootAndOuterBackslashes) {
  Write("REGEDIT4\n\n[HKLM\\SOFTWARE\\brevanta\\TARN\\]\n\"hOsT\"=\"h1\"\n"
        "[HKEY_CURRENT_USER\\Software\\Brevanta\\Tarn]\n\"User\"=\"not ours\"\n");
  TRegistryEx reg("Software\\Brevanta\\Tarn");
  EXPECT_EQ(reg.ReadStr("HOST"), "h1");
  reg.SetKey("\\\\software\\BREVANTA\\tarn\\\\");
  EXPECT_EQ(reg.ReadStr("host"), "h1");
  EXPECT_EQ(reg.ReadStrDef("User", "dbowner"), "dbowner");
  EXPECT_TRUE(reg.ValueMissing);
}

TEST_F(RegistryFile, BooleansAndDefaults) {
  WriteTarn("\"DebugLog\"=\"0\"\r\n\"WebSiteEnabled\"=dword:00000002\r\n\"BackupNotify\"=dword:00000000\r\n");
  TRegistryEx reg(kTarnKey);
  // A string where a double-word belongs counts as missing: the default true applies.
  EXPECT_TRUE(reg.ReadBoolDef("DebugLog", true));
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_FALSE(reg.ReadBool("DebugLog"));
  EXPECT_TRUE(reg.ReadBoolDef("WebSiteEnabled", false));
  EXPECT_FALSE(reg.ReadBoolDef("BackupNotify", true));
  EXPECT_FALSE(reg.ValueMissing);

  WriteTarn("\"DebugLog\"=dword:00000000\r\n");
  EXPECT_FALSE(TConnParams().DebugLog);
}

TEST_F(RegistryFile, MissingFileGivesEveryDefault) {
  for (int round = 0; round < 2; ++round) {
    if (round == 1) WriteTarn("");  // the key exists, empty
    TConnParams p;
    EXPECT_EQ(p.DSNName, "");
    EXPECT_EQ(p.Host, "127.0.0.1");
    EXPECT_EQ(p.Database, "gtd");
    EXPECT_EQ(p.User, "dbowner");
    EXPECT_EQ(p.Pass, "kolbex");
    EXPECT_EQ(p.ODBCDriver, "MySQL ODBC 3.51 Driver");
    EXPECT_EQ(p.ODBCOptions, "SERVER=%h;database=%d");
    EXPECT_EQ(p.DTLFreq, 0);
    EXPECT_TRUE(p.DebugLog);
    EXPECT_FALSE(p.WebSiteEnabled);
    EXPECT_FALSE(p.JavaInstalled);
    EXPECT_EQ(p.WebSiteLocation, "c:\\inetpub\\wwwroot");
    EXPECT_EQ(p.BackupDest, (dir_ / "Backup").string());
    EXPECT_EQ(p.EmailPass, "");
    EXPECT_EQ(p.ConnectOptions(), "SERVER=127.0.0.1;database=gtd");
  }
}

TEST_F(RegistryFile, PasswordsAndConnectOptions) {
  WriteTarn("\"Pass\"=\"\"\r\n");
  EXPECT_EQ(TConnParams().Pass, "");  // present and empty: no default

  WriteTarn("\"Pass\"=\"" + tarn::Scramble("s3cret pw") + "\"\r\n\"EmailPass\"=\"" + tarn::Scramble("mail") +
            "\"\r\n");
  TConnParams p;
  EXPECT_EQ(p.Pass, "s3cret pw");
  EXPECT_EQ(p.EmailPass, "mail");

  // Later replacements apply to text inserted earlier; earlier ones do not see later text.
  WriteTarn(
      "\"Host\"=\"h-%d\"\r\n\"Database\"=\"db-%u\"\r\n\"User\"=\"usr-%h\"\r\n\"Pass\"=\"" + tarn::Scramble("pw%u") +
      "\"\r\n\"ODBCOptions\"=\"S=%h;D=%d;U=%u;P=%p;UID=%u\"\r\n");
  EXPECT_EQ(TConnParams().ConnectOptions(), "S=h-db-usr-%h;D=db-usr-%h;U=usr-%h;P=pw%u;UID=usr-%h");
}

TEST_F(RegistryFile, JavaAndTomcatChooseTheWebSiteDefault) {
  Write("REGEDIT4\n[HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment]\n\"CurrentVersion\"=\"1.8\"\n"
        "[HKLM\\SOFTWARE\\Apache Software Foundation\\Tomcat\\5.5]\n\"InstallPath\"=\"/opt/tomcat\"\n");
  TConnParams p;
  EXPECT_TRUE(p.JavaInstalled);
  EXPECT_EQ(p.WebSiteLocation, "/opt/tomcat");
}

TEST_F(RegistryFile, Utf16AndUtf8ByteOrderMarks) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n"
      "\"Host\"=\"caf\xC3\xA9\"\r\n\"DTLFreq\"=dword:00000010\r\n";
  // UTF-16LE as exported on another system: BOM, then every character in two bytes.
  std::string utf16 = "\xFF\xFE";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0xC3) {  // the e with acute accent, U+00E9
      utf16 += '\xE9';
      utf16 += '\0';
      ++i;
      continue;
    }
    utf16 += static_cast<char>(c);
    utf16 += '\0';
  }
  Write(utf16);
  TRegistryEx reg(kTarnKey);
  EXPECT_EQ(reg.ReadStr("Host"), "caf\xC3\xA9");
  EXPECT_EQ(reg.ReadInt("DTLFreq"), 16);

  Write("\xEF\xBB\xBF" + text);
  EXPECT_EQ(reg.ReadStr("Host"), "caf\xC3\xA9");
}

TEST_F(RegistryFile, BrokenLinesAndJunkCostOnlyThemselves) {
  std::string junk("\x00\x01\xFF\xFE\x80[\"=\\", 9);
  WriteTarn(
      "\"Open\"=\"no closing quote\r\n"
      "\"NoEquals\" \"x\"\r\n"
      "\"Trailing\"=\"x\" junk\r\n"
      "\"BadDword\"=dword:xyz\r\n"
      "\"LongDword\"=dword:123456789\r\n"
      "\"Unknown\"=qword:1\r\n"
      "\"Deleted\"=-\r\n" +
      junk + "\r\n" +
      "\"Good1\"=\"one\"\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn\r\n"  // no closing bracket
      "\"Host\"=\"lost with its broken key\"\r\n"
      "[HKLM\\Software\\Brevanta\\Tarn]\r\n"
      "\"Good2\"=dword:00000002\r\n"
      "\"a=b\"=\"broken text ending in a backslash\\\r\n"
      "\"Good3\"=\"not swallowed\"\r\n"
      "\"Tail\"=hex:01,\\");  // continuation at the end of the file
  TRegistryEx reg(kTarnKey);
  for (const char* name : {"Open", "NoEquals", "Trailing", "BadDword", "LongDword", "Unknown", "Deleted", "Host"}) {
    reg.ReadStr(name);
    EXPECT_TRUE(reg.ValueMissing) << name;
    reg.ReadInt(name);
    EXPECT_TRUE(reg.ValueMissing) << name;
  }
  EXPECT_EQ(reg.ReadStr("Good1"), "one");
  EXPECT_EQ(reg.ReadInt("Good2"), 2);
  EXPECT_EQ(reg.ReadStr("Good3"), "not swallowed");
  reg.ReadStr("a=b");
  EXPECT_TRUE(reg.ValueMissing);
  EXPECT_TRUE(tarn::platform::RegistryRead(kTarnKey, "Tail").has_value());

  // Pure binary junk and an empty file are empty registries.
  std::string noise;
  for (int i = 0; i < 100000; ++i) noise += static_cast<char>((i * 7919) & 0xFF);
  Write(noise);
  EXPECT_EQ(reg.ReadStrDef("Host", "d"), "d");
  Write("");
  EXPECT_EQ(reg.ReadStrDef("Host", "d"), "d");
}

TEST_F(RegistryFile, HugeValuesAndLongContinuations) {
  std::string big(4 * 1024 * 1024, 'x');
  std::string hex = "\"Blob\"=hex:00";
  for (int i = 0; i < 200000; ++i) hex += ",\\\r\n  00";
  WriteTarn("\"Big\"=\"" + big + "\"\r\n" + hex + "\r\n\"After\"=dword:00000001\r\n");
  TRegistryEx reg(kTarnKey);
  EXPECT_EQ(reg.ReadStr("Big").size(), big.size());
  EXPECT_EQ(reg.ReadInt("After"), 1);
}

TEST_F(RegistryFile, ChangedFileIsReadAgain) {
  std::ofstream(path_, std::ios::binary) << "REGEDIT4\n[HKLM\\Software\\Brevanta\\Tarn]\n\"Host\"=\"a\"\n";
  setenv("TARNCARD_REGISTRY", path_.c_str(), 1);
  TRegistryEx reg(kTarnKey);
  EXPECT_EQ(reg.ReadStr("Host"), "a");
  // Same name, other size.
  std::ofstream(path_, std::ios::binary | std::ios::trunc)
      << "REGEDIT4\n[HKLM\\Software\\Brevanta\\Tarn]\n\"Host\"=\"bb\"\n";
  EXPECT_EQ(reg.ReadStr("Host"), "bb");
  fs::remove(path_);
  EXPECT_EQ(reg.ReadStrDef("Host", "gone"), "gone");
}

TEST_F(RegistryFile, ComputerNameFallsBackToTheHostName) {
  const char* key = "\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName\\";
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  TRegistryEx reg(key);
  EXPECT_EQ(reg.ReadStr("ComputerName"), host);
  EXPECT_FALSE(reg.ValueMissing);
  Write("REGEDIT4\n[HKLM\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\n"
        "\"ComputerName\"=\"LANE-PC\"\n");
  EXPECT_EQ(reg.ReadStr("ComputerName"), "LANE-PC");
}

TEST(Scramble, TableSubstitution) {
  // Worked by hand from the table: the i-th character moves i places on, past the end of
  // the table back to its start.
  const struct {
    std::string plain;
    std::string stored;
  } known[] = {
      {"", ""},
      {"B", "G"},               // the table's first character
      {"c", "B"},               // its last, wrapping to the first
      {"kolbex", "A(;QpF"},     // the default password
      {"xxxxx", "5cBG."},       // one character, shifted further at every position
      {"tarn", "})t/"},         // quotes and backslashes of the table included
  };
  for (const auto& k : known) {
    EXPECT_EQ(tarn::Scramble(k.plain), k.stored) << k.plain;
    EXPECT_EQ(tarn::Unscramble(k.stored), k.plain) << k.stored;
  }
  // A character outside the table is kept by Scramble and yields T[90 - i] for position i.
  EXPECT_EQ(tarn::Scramble("a^b"), "#^4");
  EXPECT_EQ(tarn::Unscramble("^"), "5");
  EXPECT_FALSE(tarn::CanScramble("a^b"));
  EXPECT_TRUE(tarn::CanScramble("kolbex 12!"));

  // Every printable character the table holds, longer than the table so the shift wraps.
  std::string all;
  for (int round = 0; round < 3; ++round)
    for (char c = ' '; c <= '}'; ++c)
      if (tarn::CanScramble(std::string(1, c))) all += c;
  EXPECT_EQ(all.size(), 270u);
  std::string stored = tarn::Scramble(all);
  EXPECT_NE(stored, all);
  EXPECT_EQ(tarn::Unscramble(stored), all);
}

}  // namespace
