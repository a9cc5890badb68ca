// The driver requests of an open line (low latency, RS-485 mode) against a recording driver
// and a real pseudo-terminal, and the notes they give.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <optional>
#include <string>
#include <vector>

#include "readerbus/LineControl.h"
#include "readerbus/SerialPort.h"
#include "support/RecordingChannel.h"

using namespace tarn;
using namespace tarn::readerbus;
using tarn::testing::TRecordingChannel;

namespace {

std::vector<TLineNote::Level> Levels(const std::vector<TLineNote>& notes) {
  std::vector<TLineNote::Level> out;
  for (const auto& n : notes) out.push_back(n.level);
  return out;
}

TEST(LineControl, RequestsAndWhatTheDriverMadeOfThem) {
  constexpr int kOtherFlags = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
  struct Case {
    const char* name;
    TLineOptions options;
    TRecordingChannel::Driver driver;
    std::vector<unsigned long> requests;
    bool lowLatency;
    const char* lowLatencyRefused;
    bool rs485;
    const char* rs485Refused;
    int delayBefore, delayAfter;
    std::vector<TLineNote::Level> notes;
  };
  const std::vector<Case> cases = {
      {"low latency taken, the other flags kept", {}, {kOtherFlags, {}, true, false, {}},
       {TIOCGSERIAL, TIOCSSERIAL}, true, "", false, "", 0, 0, {}},
      {"low latency there already: nothing set", {}, {ASYNC_LOW_LATENCY, {}, true, false, {}},
       {TIOCGSERIAL}, true, "", false, "", 0, 0, {}},
      {"a driver without serial flags", {}, {0, {{TIOCGSERIAL, ENOTTY}}, true, false, {}},
       {TIOCGSERIAL}, false, "the driver has no such setting", false, "", 0, 0, {TLineNote::Detail}},
      {"a driver that refuses the flag", {}, {0, {{TIOCSSERIAL, EPERM}}, true, false, {}},
       {TIOCGSERIAL, TIOCSSERIAL}, false, "Operation not permitted", false, "", 0, 0, {TLineNote::Detail}},
      {"RS-485 with delays", {2, true, 5, 7}, {},
       {TIOCGSERIAL, TIOCSSERIAL, TIOCSRS485}, true, "", true, "", 5, 7, {}},
      {"RS-485, the driver drops the delays", {2, true, 5, 7}, {0, {}, false, false, {}},
       {TIOCGSERIAL, TIOCSSERIAL, TIOCSRS485}, true, "", true, "", 0, 0, {}},
      {"RS-485 refused", {2, true, 0, 0}, {0, {{TIOCSRS485, ENOTTY}}, true, false, {}},
       {TIOCGSERIAL, TIOCSSERIAL, TIOCSRS485}, true, "", false, "the driver has no such setting", 0, 0,
       {TLineNote::Error}},
      {"RS-485 taken but left off", {2, true, 0, 0}, {0, {}, true, true, {}},
       {TIOCGSERIAL, TIOCSSERIAL, TIOCSRS485}, true, "", false, "the driver left RS-485 mode off", 0, 0,
       {TLineNote::Error}},
      {"nothing works", {2, true, 0, 0}, {0, {{TIOCGSERIAL, ENOTTY}, {TIOCSRS485, EINVAL}}, true, false, {}},
       {TIOCGSERIAL, TIOCSRS485}, false, "the driver has no such setting", false, "Invalid argument", 0, 0,
       {TLineNote::Detail, TLineNote::Error}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingChannel line(c.driver);
    const TLineSetup setup = ApplyLineOptions(line, c.options);
    EXPECT_EQ(line.Requests(), c.requests);
    EXPECT_EQ(setup.lowLatency, c.lowLatency);
    EXPECT_EQ(setup.lowLatencyRefused, c.lowLatencyRefused);
    EXPECT_EQ(setup.rs485, c.rs485);
    EXPECT_EQ(setup.rs485Refused, c.rs485Refused);
    EXPECT_EQ(setup.rs485DelayBeforeSend, c.delayBefore);
    EXPECT_EQ(setup.rs485DelayAfterSend, c.delayAfter);
    if (c.lowLatency && c.driver.refuse.empty()) {
      EXPECT_EQ(line.SerialFlags(), c.driver.serialFlags | ASYNC_LOW_LATENCY);
    }
    if (c.options.rs485 && !c.driver.refuse.count(TIOCSRS485)) {
      // RTS up while sending, down after: the transceiver listens between frames.
      EXPECT_EQ(line.Rs485().flags & (SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND),
                static_cast<uint32_t>(SER_RS485_RTS_ON_SEND));
    }
    EXPECT_EQ(Levels(LineSetupNotes("/dev/ttyS1", c.options, setup)), c.notes);
  }
}

TEST(LineControl, NotesNameTheLineTheKeysAndTheFix) {
  TLineOptions rs485{3, true, 0, 0};
  TLineSetup refused;
  refused.lowLatency = true;
  refused.rs485Refused = "the driver has no such setting";
  auto notes = LineSetupNotes("/dev/ttyS2", rs485, refused);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].text.rfind("Serial line /dev/ttyS2 cannot be put in RS-485 mode (COM3 RS485=1): the driver has "
                                "no such setting.", 0),
            0u)
      << notes[0].text;
  EXPECT_NE(notes[0].text.find("set COM3 RS485=0 for an adapter that switches by itself"), std::string::npos);

  // The latency timer: up to 2 ms is fine, above it the warning names the file to fix.
  struct Timer {
    std::optional<int> ms;
    bool warned;
  };
  for (const Timer& t : {Timer{std::nullopt, false}, Timer{1, false}, Timer{2, false}, Timer{3, true}, Timer{16, true}}) {
    TLineSetup setup;
    setup.lowLatency = true;
    setup.latencyTimerMs = t.ms;
    setup.latencyTimerFile = "/sys/class/tty/ttyUSB0/device/latency_timer";
    notes = LineSetupNotes("/dev/serial/by-id/usb-FTDI-if00-port0", {}, setup);
    ASSERT_EQ(notes.size(), t.warned ? 1u : 0u) << (t.ms ? *t.ms : -1);
    if (!t.warned) continue;
    EXPECT_EQ(notes[0].level, TLineNote::Warning);
    EXPECT_NE(notes[0].text.find("/dev/serial/by-id/usb-FTDI-if00-port0: the adapter holds received bytes up to " +
                                 std::to_string(*t.ms) + " ms"),
              std::string::npos)
        << notes[0].text;
    EXPECT_NE(notes[0].text.find("echo 1 > /sys/class/tty/ttyUSB0/device/latency_timer"), std::string::npos);
    EXPECT_NE(notes[0].text.find("60-tarncard-ftdi-latency.rules"), std::string::npos);
  }
}

// A pseudo-terminal has neither serial flags nor RS-485 mode: the kernel refuses both, and
// the open goes on.
TEST(LineControl, PseudoTerminalRefusesBothRequests) {
  std::string slave, error;
  TFdChannel master(OpenPtyMaster(slave, &error));
  ASSERT_GE(master.Fd(), 0) << error;
  auto port = OpenSerialDevice(slave, 9600, &error);
  ASSERT_TRUE(port) << error;
  const TLineSetup setup = ApplyLineOptions(*port, TLineOptions{1, true, 10, 10});
  EXPECT_FALSE(setup.lowLatency);
  EXPECT_EQ(setup.lowLatencyRefused, "the driver has no such setting");
  EXPECT_FALSE(setup.rs485);
  EXPECT_EQ(setup.rs485Refused, "the driver has no such setting");
  // Still a working line.
  ASSERT_EQ(port->Write(reinterpret_cast<const uint8_t*>("x"), 1), 1);
  ASSERT_TRUE(master.WaitReadable(5000));
}

}  // namespace
