// A port's RS-485 keys in [Ports]: read, written back with their defaults by the loop's
// reading (never by the check's), delays held within the kernel's bound.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/TIniFileEx.h"
#include "readerbus/PortSettings.h"
#include "support/ScratchDir.h"

using namespace tarn;
using namespace tarn::readerbus;

namespace {

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(PortSettings, KeysAreReadAndHeldInRange) {
  struct Case {
    const char* ports;  // the [Ports] section's lines
    TLineOptions expected;
    std::vector<std::string> notes;
  };
  const std::vector<Case> cases = {
      {"COM2=/dev/ttyS1\n", {2, false, 0, 0}, {}},
      {"com2 rs485 = 1\nCOM2 RS485 Delay Before Send=3\nCOM2 RS485 Delay After Send=0x10\n", {2, true, 3, 16}, {}},
      {"COM2 RS485=1\nCOM1 RS485 Delay Before Send=9\n", {2, true, 0, 0}, {}},  // another port's key
      {"COM2 RS485=0\nCOM2 RS485 Delay Before Send=50\n", {2, false, 50, 0}, {}},
      {"COM2 RS485=1\nCOM2 RS485 Delay Before Send=500\nCOM2 RS485 Delay After Send=-2\n",
       {2, true, 100, 0},
       {"Setting COM2 RS485 Delay Before Send = 500 is outside 0..100 ms: 100 is used",
        "Setting COM2 RS485 Delay After Send = -2 is outside 0..100 ms: 0 is used"}},
      {"COM2 RS485=yes\n", {2, false, 0, 0}, {}},  // not a number: the default
  };
  const auto dir = tarn::testing::ScratchDir("readerbus");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ports);
    const auto path = dir / "tarncard.ini";
    std::ofstream(path, std::ios::trunc) << "[Ports]\n" << c.ports;
    std::vector<std::string> readNotes, readExNotes;
    EXPECT_EQ(ReadLineOptions(platform::TIniFile(path.string()), 2, &readNotes), c.expected);
    EXPECT_EQ(readNotes, c.notes);
    TIniFileEx ini(path.string());
    EXPECT_EQ(ReadLineOptionsEx(ini, 2, &readExNotes), c.expected);
    EXPECT_EQ(readExNotes, c.notes);
  }
}

TEST(PortSettings, TheLoopsReadingWritesMissingKeysBackAndTheCheckDoesNot) {
  const auto dir = tarn::testing::ScratchDir("readerbus");
  const auto path = dir / "tarncard.ini";
  const std::string original = "; site\n[Ports]\nCOM3=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
                               "COM3 RS485 Delay After Send=2\n[Settings]\nPollDelay=20\n";
  std::ofstream(path) << original;

  ReadLineOptions(platform::TIniFile(path.string()), 3, nullptr);
  EXPECT_EQ(ReadAll(path), original);

  TIniFileEx ini(path.string());
  EXPECT_EQ(ReadLineOptionsEx(ini, 3, nullptr), (TLineOptions{3, false, 0, 2}));
  const platform::TIniFile after(path.string());
  EXPECT_EQ(after.ReadSection("Ports"), (std::vector<std::string>{"COM3", "COM3 RS485 Delay After Send", "COM3 RS485",
                                                                   "COM3 RS485 Delay Before Send"}));
  EXPECT_EQ(after.ReadString("Ports", "COM3 RS485", ""), "0");
  EXPECT_EQ(after.ReadString("Ports", "COM3 RS485 Delay Before Send", ""), "0");
  EXPECT_EQ(after.ReadString("Ports", "COM3 RS485 Delay After Send", ""), "2");  // kept as written
  EXPECT_EQ(after.ReadString("Settings", "PollDelay", ""), "20");
  EXPECT_NE(ReadAll(path).find("; site"), std::string::npos);
}

}  // namespace
