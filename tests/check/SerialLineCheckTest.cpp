// What `tarncard check` says about a loop's serial line, against a made-up /dev and /sys and
// a recording driver: the latency timer as the loop will run with it, names that move with
// the names that stay, and RS-485 mode.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

#include "service/SerialLineCheck.h"
#include "support/FakeSystemTree.h"
#include "support/RecordingChannel.h"
#include "support/ScratchDir.h"

namespace tarn {
namespace {

using testing::TRecordingChannel;
using Line = TSerialLineCheck;

std::string Show(const std::vector<Line>& lines) {
  std::string out;
  for (const Line& l : lines)
    out += std::string(l.kind == Line::Problem ? "PROBLEM " : l.kind == Line::Warning ? "WARNING " : "") + l.text + "\n";
  return out;
}

TEST(SerialLineCheck, WhatIsSaidForEachLine) {
  testing::TFakeSystemTree tree(testing::ScratchDir("check"));
  tree.Device("ttyUSB0", 16);  // an FTDI adapter at the driver's default
  tree.Device("ttyUSB1", 1);   // one the udev rule has set
  tree.Device("ttyACM0");      // a modem-class adapter: no timer, no links
  tree.Device("ttyS1");
  const std::string byId0 = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  const std::string byPath0 = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
  const std::string byId1 = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B7712QQ1-if00-port0";
  tree.SerialLink("by-id", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
  tree.SerialLink("by-path", "pci-0000:00:14.0-usb-0:1:1.0-port0", "ttyUSB0");
  tree.SerialLink("by-id", "usb-FTDI_FT232R_USB_UART_B7712QQ1-if00-port0", "ttyUSB1");
  const std::string slow =
      ": the adapter holds received bytes up to 16 ms before passing them on (its latency timer)";
  const std::string moves = " is numbered in the order adapters appear and can name another adapter";

  enum Driver { None, Takes, TakesLowLatencyOnly, RefusesAll, LowersTimer };
  struct Case {
    const char* name;
    std::string device;
    readerbus::TLineOptions options;
    Driver driver;
    std::vector<Line::Kind> kinds;
    std::vector<std::string> texts;  // each the start of its line's text
  };
  const std::vector<Case> cases = {
      {"adapter by its by-id name, timer set", byId1, {1}, TakesLowLatencyOnly, {Line::Info}, {"latency timer: 1 ms"}},
      {"adapter at 16 ms under its moving name", "/dev/ttyUSB0", {1}, TakesLowLatencyOnly,
       {Line::Info, Line::Warning, Line::Warning, Line::Info, Line::Info},
       {"latency timer: 16 ms", "Serial line /dev/ttyUSB0" + slow, "/dev/ttyUSB0" + moves, "  " + byId0,
        "  " + byPath0}},
      {"the low-latency request brings the timer down first", byId0, {1}, LowersTimer, {Line::Info},
       {"latency timer: 1 ms"}},
      {"in use: the timer as the running service left it", byId0, {1}, None, {Line::Info, Line::Warning},
       {"latency timer: 16 ms", "Serial line " + byId0 + slow}},
      {"modem-class adapter, nothing leads to it", "/dev/ttyACM0", {1}, RefusesAll, {Line::Info, Line::Warning},
       {"latency timer: none (not a USB adapter that has one)",
        "/dev/ttyACM0" + moves}},
      {"RS-485 taken", "/dev/ttyS1", {2, true, 1, 2}, Takes, {Line::Info, Line::Info},
       {"latency timer: none", "RS-485: on, RTS up while sending, 1 ms before and 2 ms after"}},
      {"RS-485 refused", "/dev/ttyS1", {2, true, 0, 0}, RefusesAll, {Line::Info, Line::Problem},
       {"latency timer: none", "Serial line /dev/ttyS1 cannot be put in RS-485 mode (COM2 RS485=1): the driver has no "
                               "such setting."}},
      {"RS-485 on a device in use", "/dev/ttyS1", {2, true, 0, 0}, None, {Line::Info, Line::Info},
       {"latency timer: none", "RS-485: COM2 RS485=1, not tried: the device is in use"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tree.SetLatency("ttyUSB0", "16");
    TRecordingChannel::Driver driver;
    if (c.driver == RefusesAll) driver.refuse = {{TIOCGSERIAL, ENOTTY}, {TIOCSRS485, ENOTTY}};
    if (c.driver == TakesLowLatencyOnly) driver.refuse = {{TIOCSRS485, ENOTTY}};
    if (c.driver == LowersTimer)
      driver.onRequest = [&](unsigned long request) {
        if (request == TIOCSSERIAL) tree.SetLatency("ttyUSB0", "1");
      };
    TRecordingChannel channel(driver);
    const auto lines = CheckSerialLine(c.device, c.options, c.driver == None ? nullptr : &channel,
                                       tree.Root().string());
    ASSERT_EQ(lines.size(), c.kinds.size()) << Show(lines);
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].kind, c.kinds[i]) << Show(lines);
      EXPECT_EQ(lines[i].text.rfind(c.texts[i], 0), 0u) << Show(lines);
    }
    if (c.driver == None) {
      EXPECT_TRUE(channel.Requests().empty());
    }
  }
}

TEST(SerialLineCheck, MovingNamesPointToTheNamesThatStay) {
  testing::TFakeSystemTree tree(testing::ScratchDir("check"));
  tree.Device("ttyUSB0");
  tree.Device("ttyUSB1");
  tree.SerialLink("by-path", "pci-0000:00:14.0-usb-0:2:1.0-port0", "ttyUSB1");
  tree.SerialLink("by-path", "pci-0000:00:14.0-usb-0:1:1.0-port0", "ttyUSB0");
  tree.SerialLink("by-id", "usb-1a86_USB_Serial-if00-port0", "ttyUSB1");  // identical adapters: the last one wins
  const auto lines = CheckSerialLine("/dev/ttyUSB1", {}, nullptr, tree.Root().string());
  ASSERT_EQ(lines.size(), 4u) << Show(lines);
  EXPECT_NE(lines[1].text.find("use by-path for identical adapters, which share a by-id name):"), std::string::npos)
      << Show(lines);
  EXPECT_EQ(lines[2].text, "  /dev/serial/by-id/usb-1a86_USB_Serial-if00-port0");
  EXPECT_EQ(lines[3].text, "  /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");

  const auto none = CheckSerialLine("/dev/ttyUSB9", {}, nullptr, tree.Root().string());
  ASSERT_EQ(none.size(), 2u) << Show(none);
  EXPECT_NE(none[1].text.find("; no /dev/serial/by-id or by-path name leads to it"), std::string::npos);
}

}  // namespace
}  // namespace tarn
