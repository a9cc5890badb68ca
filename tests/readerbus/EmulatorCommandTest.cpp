// The simulator's operator commands: what a person types at the demo gets either its effect
// or an error that names the mistake.
#include <gtest/gtest.h>

#include "readerbus/DeviceEmulator.h"

using tarn::readerbus::DeviceKind;
using tarn::readerbus::TEmulator;

TEST(EmulatorCommand, MistakesAreNamedAndChangeNothing) {
  TEmulator emu;
  emu.Add(1, DeviceKind::Reader, false);
  emu.Add(3, DeviceKind::Dispenser, false);
  bool quit = false;
  EXPECT_EQ("unknown command 'bogus'", emu.Command("bogus", quit));
  EXPECT_EQ("unknown command 'crad'", emu.Command("crad 1 1001", quit));
  EXPECT_EQ("bad address ''", emu.Command("card", quit));
  EXPECT_EQ("bad address '49'", emu.Command("card 49 1001", quit));
  EXPECT_EQ("no device at address 2", emu.Command("card 2 1001", quit));
  EXPECT_EQ("a dispenser record has 17 characters, not 3", emu.Command("ticket 3 123", quit));
  EXPECT_TRUE(emu.Find(1)->replies.empty());
  EXPECT_TRUE(emu.Find(3)->replies.empty());
  EXPECT_FALSE(quit);

  EXPECT_EQ("", emu.Command("  card 1 1001  ", quit));
  ASSERT_EQ(1u, emu.Find(1)->replies.size());
  EXPECT_EQ("C1001", emu.Find(1)->replies.front());
  EXPECT_EQ("", emu.Command("# a comment", quit));
  EXPECT_EQ("", emu.Command("QUIT", quit));
  EXPECT_TRUE(quit);
}
