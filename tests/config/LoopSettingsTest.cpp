// A loop's settings from the settings file: which keys each read asks for and in which
// order the file gains them, the defaults, and the operator's values as the loop gets them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "config/TLoopSettings.h"
#include "platform/IniFile.h"
#include "support/ScratchDir.h"
#include "util/Strings.h"

using namespace tarn;

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kTimingKeys = {"RespDelay", "TurnAround", "PollDelay"};
const std::vector<std::string> kSettingKeys = {
    "PayOnFoot Poll", "Inputs Off", "Counters Off", "Sync Readers every XX minutes",
    "Grace Time from POF (minutes)", "Extended Grace Lane", "Internal Lanes",
    "Grace Time from POF Extended (minutes)", "Grace Time Future", "Old Ticket Format?", "Sync Exit Reader",
    "Flat Rate Flag", "Email Server", "Email Port", "Email From", "Email To", "Debit Expiry", "Auto Reset",
    "Low Security on DB Error", "Offline Decisions", "Offline Copy Minutes"};

std::string Lanes(const std::vector<int>& lanes) {
  std::string s;
  for (int l : lanes) s += (s.empty() ? "" : ",") + std::to_string(l);
  return s;
}

// Every value, one "name=value" each, so two readings compare as a whole.
std::vector<std::string> Values(const TLoopSettings& s) {
  return {"PayOnFootPoll=" + std::to_string(s.PayOnFootPoll),
          "InputsOff=" + std::to_string(s.InputsOff),
          "CountersOff=" + std::to_string(s.CountersOff),
          "SyncMinutes=" + std::to_string(s.SyncMinutes),
          "SyncExitReader=" + std::to_string(s.SyncExitReader),
          "GraceTimePOF=" + std::to_string(s.GraceTimePOF),
          "ExtendedGraceLanes=" + Lanes(s.ExtendedGraceLanes),
          "InternalLanes=" + Lanes(s.InternalLanes),
          "GraceTimePOFExtended=" + std::to_string(s.GraceTimePOFExtended),
          "GraceTimeFuture=" + std::to_string(s.GraceTimeFuture),
          "OldTicketFormat=" + std::to_string(s.OldTicketFormat),
          "FlatRateFlag=" + std::to_string(s.FlatRateFlag),
          "EmailServer=" + s.EmailServer,
          "EmailPort=" + std::to_string(s.EmailPort),
          "EmailFrom=" + s.EmailFrom,
          "EmailTo=" + s.EmailTo,
          "DebitExpiry=" + std::to_string(s.DebitExpiry),
          "LowSecurityOnDBError=" + std::to_string(s.LowSecurityOnDBError),
          "AutoReset=" + std::to_string(s.AutoReset),
          "OfflineDecisions=" + std::to_string(s.OfflineDecisions),
          "OfflineCopyMinutes=" + std::to_string(s.OfflineCopyMinutes)};
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Each read writes exactly its own keys into a file that has none, in the order a loop's
// set-up has always asked for them; a loop that does not make a read leaves its keys out.
TEST(LoopSettingsFile, EachReadWritesItsOwnKeysInOrder) {
  struct Case {
    const char* what;
    std::function<void(TLoopSettingsSource&)> read;
    std::vector<std::string> keys;
  };
  std::vector<std::string> polled = kTimingKeys;
  polled.insert(polled.end(), kSettingKeys.begin(), kSettingKeys.end());
  const Case cases[] = {
      {"polled loop", [](TLoopSettingsSource& s) { s.ReadLineTimings({}); s.ReadSettings(); }, polled},
      {"loop on an RF modem", [](TLoopSettingsSource& s) { s.ReadSettings(); }, kSettingKeys},
      {"soft-count loop", [](TLoopSettingsSource& s) { s.ReadNoRemoteCounts(); }, {"NoRemoteCounts"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path path = tarn::testing::ScratchDir("loop-settings") / "tarncard.ini";
    std::ofstream(path) << "[Ports]\nCOM1=/dev/ttyUSB0\n";
    TLoopSettingsFile file(path.string());
    c.read(file);
    EXPECT_EQ(platform::TIniFile(path.string()).ReadSection("Settings"), c.keys);
    // Read again: nothing more is written.
    const std::string once = ReadAll(path);
    c.read(file);
    EXPECT_EQ(ReadAll(path), once);
    EXPECT_EQ(platform::TIniFile(path.string()).ReadString("Ports", "COM1", ""), "/dev/ttyUSB0");
  }
}

// What an empty file gives is what a loop has before it reads anything, and the values
// the file gains read back the same.
TEST(LoopSettingsFile, DefaultsOfTheFileAndOfTheValuesAgree) {
  const fs::path path = tarn::testing::ScratchDir("loop-settings") / "tarncard.ini";
  TLoopSettingsFile file(path.string());
  const TLineTimings given{7, 8, 9};
  const TLineTimings timings = file.ReadLineTimings(given);
  EXPECT_EQ(timings.RespDelay, 7);
  EXPECT_EQ(timings.TurnAround, 8);
  EXPECT_EQ(timings.PollDelay, 9);
  EXPECT_EQ(Values(file.ReadSettings()), Values(TLoopSettings{}));
  EXPECT_EQ(Values(file.ReadSettings()), Values(TLoopSettings{}));
  EXPECT_FALSE(file.ReadNoRemoteCounts());
  const platform::TIniFile ini(path.string());
  EXPECT_EQ(ini.ReadString("Settings", "Sync Exit Reader", ""), "1");
  EXPECT_EQ(ini.ReadString("Settings", "Email Port", ""), "25");
  EXPECT_EQ(ini.ReadString("Settings", "Grace Time Future", ""), "15");
  EXPECT_EQ(ini.ReadString("Settings", "Internal Lanes", "?"), "");
}

// An operator's value reaches the loop as written (the line timings unclamped: keeping them
// in range is the loop's), and the file keeps it.
TEST(LoopSettingsFile, OperatorValues) {
  struct Case {
    const char* key;
    const char* text;
    std::function<std::string(const TLineTimings&, const TLoopSettings&)> field;
    std::string expected;
  };
  const Case cases[] = {
      {"Internal Lanes", "1,x,3", [](auto&, auto& s) { return Lanes(s.InternalLanes); }, "1,99,3"},
      {"Internal Lanes", " 4 , 5 ", [](auto&, auto& s) { return Lanes(s.InternalLanes); }, "4,5"},
      {"Extended Grace Lane", "2,y", [](auto&, auto& s) { return Lanes(s.ExtendedGraceLanes); }, "2,0"},
      {"Extended Grace Lane", "", [](auto&, auto& s) { return Lanes(s.ExtendedGraceLanes); }, "0"},
      {"Email Port", "2525", [](auto&, auto& s) { return std::to_string(s.EmailPort); }, "2525"},
      {"Email Server", "mail.example", [](auto&, auto& s) { return s.EmailServer; }, "mail.example"},
      {"Sync Exit Reader", "0", [](auto&, auto& s) { return std::to_string(s.SyncExitReader); }, "0"},
      {"Auto Reset", "0", [](auto&, auto& s) { return std::to_string(s.AutoReset); }, "0"},
      {"Counters Off", "1", [](auto&, auto& s) { return std::to_string(s.CountersOff); }, "1"},
      {"Low Security on DB Error", "2", [](auto&, auto& s) { return std::to_string(s.LowSecurityOnDBError); }, "1"},
      {"Grace Time from POF (minutes)", "0x1E", [](auto&, auto& s) { return std::to_string(s.GraceTimePOF); }, "30"},
      {"Grace Time from POF Extended (minutes)", "60",
       [](auto&, auto& s) { return std::to_string(s.GraceTimePOFExtended); }, "60"},
      {"Sync Readers every XX minutes", "5", [](auto&, auto& s) { return std::to_string(s.SyncMinutes); }, "5"},
      {"Offline Decisions", "1", [](auto&, auto& s) { return std::to_string(s.OfflineDecisions); }, "1"},
      {"Offline Copy Minutes", "30", [](auto&, auto& s) { return std::to_string(s.OfflineCopyMinutes); }, "30"},
      {"Offline Copy Minutes", "0", [](auto&, auto& s) { return std::to_string(s.OfflineCopyMinutes); }, "1"},
      {"Offline Copy Minutes", "2000", [](auto&, auto& s) { return std::to_string(s.OfflineCopyMinutes); }, "1440"},
      {"PollDelay", "-5", [](auto& t, auto&) { return std::to_string(t.PollDelay); }, "-5"},
      {"RespDelay", "20000", [](auto& t, auto&) { return std::to_string(t.RespDelay); }, "20000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.text);
    const fs::path path = tarn::testing::ScratchDir("loop-settings") / "tarncard.ini";
    std::ofstream(path) << "[Settings]\n" << c.key << "=" << c.text << "\n";
    TLoopSettingsFile file(path.string());
    const TLineTimings timings = file.ReadLineTimings({});
    const TLoopSettings settings = file.ReadSettings();
    EXPECT_EQ(c.field(timings, settings), c.expected);
    const platform::TIniFile ini(path.string());
    EXPECT_EQ(ini.ReadString("Settings", c.key, "?"), Trim(c.text));
    EXPECT_EQ(ini.ReadSection("Settings").front(), c.key);
    EXPECT_EQ(ini.ReadSection("Settings").size(), kTimingKeys.size() + kSettingKeys.size());
  }
}

// The server reads the two offline keys before any loop is made: it reads them as the loops
// will, and writes nothing, so the loops still write every key back in its place.
TEST(LoopSettingsFile, OfflineKeysReadByTheServerWriteNothing) {
  struct Case {
    const char* text;  // the [Settings] lines
    bool decisions;
    int minutes;
  };
  const Case cases[] = {
      {"", false, 5},
      {"Offline Decisions=1\n", true, 5},
      {"Offline Decisions=0\nOffline Copy Minutes=15\n", false, 15},
      {"Offline Decisions=1\nOffline Copy Minutes=-3\n", true, 1},
      {"Offline Copy Minutes=99999\n", false, 1440},
      {"Offline Copy Minutes=ten\n", false, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const fs::path path = tarn::testing::ScratchDir("loop-settings") / "tarncard.ini";
    std::ofstream(path) << "[Settings]\n" << c.text;
    const std::string before = ReadAll(path);
    const TOfflineSettings read = ReadOfflineSettings(path.string());
    EXPECT_EQ(read.decisions, c.decisions);
    EXPECT_EQ(read.copyMinutes, c.minutes);
    EXPECT_EQ(ReadAll(path), before);
    const TLoopSettings loop = TLoopSettingsFile(path.string()).ReadSettings();
    EXPECT_EQ(loop.OfflineDecisions, read.decisions);
    EXPECT_EQ(loop.OfflineCopyMinutes, read.copyMinutes);
  }
}

}  // namespace
