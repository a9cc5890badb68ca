// The device behind a port's path, its latency timer and the names that stay, against a
// made-up /dev and /sys: two identical FTDI adapters (the same by-id name would be made for
// both by udev; here each has its own, and by-path tells the sockets apart), a modem-class
// adapter without a timer or links, a built-in port and the operator's own links.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "readerbus/AdapterFacts.h"
#include "support/FakeSystemTree.h"
#include "support/ScratchDir.h"

using namespace tarn::readerbus;
using tarn::testing::TFakeSystemTree;

namespace {

class AdapterFacts : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.Device("ttyUSB0", 16);
    tree.Device("ttyUSB1", 1);
    tree.Device("ttyACM0");
    tree.Device("ttyS0");
    tree.SerialLink("by-id", "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
    tree.SerialLink("by-id", "usb-FTDI_FT232R_USB_UART_B7712QQ1-if00-port0", "ttyUSB1");
    tree.SerialLink("by-path", "pci-0000:00:14.0-usb-0:1:1.0-port0", "ttyUSB0");
    tree.SerialLink("by-path", "pci-0000:00:14.0-usb-0:2:1.0-port0", "ttyUSB1");
    tree.Link("dev/lane1", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");  // absolute, then relative
    tree.Link("dev/loopA", "loopB");  // a loop of links leads nowhere
    tree.Link("dev/loopB", "loopA");
  }
  std::string Root() const { return tree.Root().string(); }

  TFakeSystemTree tree{tarn::testing::ScratchDir("readerbus")};
};

TEST_F(AdapterFacts, DeviceTimerAndStableNamesOfEachPath) {
  const std::string id0 = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  const std::string id1 = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B7712QQ1-if00-port0";
  const std::string path0 = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";
  const std::string path1 = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
  using Names = std::vector<std::string>;
  struct Case {
    std::string path;
    std::string device;
    std::optional<int> timer;
    bool enumerationOrder;
    Names byId, byPath;
  };
  const std::vector<Case> cases = {
      {"/dev/ttyUSB0", "/dev/ttyUSB0", 16, true, {id0}, {path0}},
      {"/dev/ttyUSB1", "/dev/ttyUSB1", 1, true, {id1}, {path1}},
      {id0, "/dev/ttyUSB0", 16, false, {id0}, {path0}},
      {path1, "/dev/ttyUSB1", 1, false, {id1}, {path1}},
      {"/dev/lane1", "/dev/ttyUSB1", 1, false, {id1}, {path1}},
      {"/dev/ttyACM0", "/dev/ttyACM0", std::nullopt, true, {}, {}},
      {"/dev/ttyS0", "/dev/ttyS0", std::nullopt, false, {}, {}},
      {"/dev/ttyUSB7", "/dev/ttyUSB7", std::nullopt, true, {}, {}},  // not plugged in
      {"/dev/pts/4", "/dev/pts/4", std::nullopt, false, {}, {}},
      {"/dev/loopA", "", std::nullopt, false, {}, {}},  // device: whatever the hops ended on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!c.device.empty()) {
      EXPECT_EQ(ResolveDevicePath(c.path, Root()), c.device);
    }
    EXPECT_EQ(ReadLatencyTimer(c.path, Root()), c.timer);
    EXPECT_EQ(IsEnumerationOrderName(c.path), c.enumerationOrder);
    const TStableNames names = StableNames(c.path, Root());
    EXPECT_EQ(names.byId, c.byId);
    EXPECT_EQ(names.byPath, c.byPath);
  }
  EXPECT_EQ(LatencyTimerFile(id0, Root()), "/sys/class/tty/ttyUSB0/device/latency_timer");
}

TEST_F(AdapterFacts, TimerFilesThatSayNothingUsefulGiveNoTimer) {
  for (const char* text : {"", "abc", "-1", "16 ms"}) {
    tree.SetLatency("ttyUSB0", text);
    EXPECT_EQ(ReadLatencyTimer("/dev/ttyUSB0", Root()), std::nullopt) << text;
  }
  tree.SetLatency("ttyUSB0", " 4 ");
  EXPECT_EQ(ReadLatencyTimer("/dev/ttyUSB0", Root()), 4);
}

TEST(AdapterNames, WhichNamesTheKernelHandsOutInOrder) {
  struct Case {
    const char* path;
    bool enumerationOrder;
  };
  for (const Case& c : {Case{"/dev/ttyUSB0", true}, Case{"/dev/ttyUSB12", true}, Case{"/dev/ttyACM3", true},
                        Case{"/dev/./ttyUSB0", true}, Case{"/dev/ttyUSB", false}, Case{"/dev/ttyUSBx", false},
                        Case{"/dev/ttyS0", false}, Case{"/dev/ttyAMA0", false}, Case{"/tmp/ttyUSB0", false},
                        Case{"/dev/serial/by-id/usb-ttyUSB0", false}, Case{"ttyUSB0", false}})
    EXPECT_EQ(IsEnumerationOrderName(c.path), c.enumerationOrder) << c.path;
}

}  // namespace
