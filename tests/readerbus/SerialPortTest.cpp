#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "platform/Tick.h"
#include "readerbus/SerialPort.h"

using namespace tarn;
using namespace tarn::readerbus;

namespace {

// Reads until `count` bytes came or 5 s passed.
std::string ReadSome(TByteChannel& ch, size_t count) {
  std::string out;
  uint64_t end = platform::TickMs() + 5000;
  uint8_t buf[64];
  while (out.size() < count && platform::TickMs() < end) {
    ch.WaitReadable(20);
    long n = ch.Read(buf, sizeof buf);
    if (n > 0) out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  }
  return out;
}

// True when the line is held exclusive (an unprivileged open is refused, or the flag is set).
bool HeldExclusive(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  const bool held = ::ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive != 0;
  ::close(fd);
  return held;
}

}  // namespace

TEST(SerialPort, PseudoTerminalIsRawBothWays) {
  std::string slave, error;
  int masterFd = OpenPtyMaster(slave, &error);
  ASSERT_GE(masterFd, 0) << error;
  TFdChannel master(masterFd);
  auto port = OpenSerialDevice(slave, 9600, &error);
  ASSERT_TRUE(port) << error;

  // CR, XON, XOFF and ETX: a cooked line would translate CR, swallow XON/XOFF and echo.
  const std::string special("\x0D\x11\x13\x03\x0A\x7F\x00\xFF", 8);
  ASSERT_EQ(master.Write(reinterpret_cast<const uint8_t*>(special.data()), special.size()), 8);
  EXPECT_EQ(ReadSome(*port, special.size()), special);
  ASSERT_EQ(port->Write(reinterpret_cast<const uint8_t*>(special.data()), special.size()), 8);
  EXPECT_EQ(ReadSome(master, special.size()), special);

  // No echo came back to the device side, and a purge drops what was not read.
  uint8_t b;
  EXPECT_EQ(master.Read(&b, 1), 0);
  master.Write(reinterpret_cast<const uint8_t*>("abc"), 3);
  ASSERT_TRUE(port->WaitReadable(2000));
  port->Purge();
  EXPECT_EQ(port->Read(&b, 1), 0);
}

TEST(SerialPort, OpenFailuresAreReported) {
  std::string slave, error;
  int masterFd = OpenPtyMaster(slave, &error);
  ASSERT_GE(masterFd, 0);
  TFdChannel master(masterFd);
  EXPECT_FALSE(OpenSerialDevice(slave, 12345, &error));
  EXPECT_NE(error.find("12345"), std::string::npos) << error;
  EXPECT_FALSE(HeldExclusive(slave));  // a failed open leaves the line free for the next one
  EXPECT_FALSE(OpenSerialDevice("/dev/tarncard-no-such-port", 9600, &error));
  EXPECT_FALSE(OpenSerialDevice("/dev/null", 9600, &error));
  EXPECT_NE(error.find("not a terminal"), std::string::npos) << error;

  // Exclusive: the line is held with TIOCEXCL, so a second open of it fails.
  auto first = OpenSerialDevice(slave, 9600, &error);
  ASSERT_TRUE(first) << error;
  int exclusive = 0;
  ASSERT_EQ(::ioctl(first->Fd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_NE(exclusive, 0);
  const bool root = ::geteuid() == 0;
  if (!root) {
    EXPECT_FALSE(OpenSerialDevice(slave, 9600, &error));
  }
  // Closed, the line is free again: a pty keeps its flags while the master is open.
  first.reset();
  EXPECT_FALSE(HeldExclusive(slave));
  if (root) GTEST_SKIP() << "running as root, which TIOCEXCL lets through: the second open was not tried";
}

TEST(SerialPort, PortNumbersMapThroughTheSettingsFile) {
  std::string ini = std::string(TARNCARD_BINARY_DIR) + "/readerbus-ports.ini";
  {
    std::ofstream f(ini, std::ios::trunc);
    f << "[Settings]\nCOM3=/dev/wrong\n[ports]\ncom3 = /dev/ttyUSB0 \nCOM4=\n";
  }
  EXPECT_EQ(SerialDeviceForPort(3, ini), "/dev/ttyUSB0");
  EXPECT_EQ(SerialDeviceForPort(4, ini), "/dev/ttyS3");  // an empty entry is no entry
  EXPECT_EQ(SerialDeviceForPort(1, ini), "/dev/ttyS0");
  EXPECT_EQ(SerialDeviceForPort(12, ini + ".missing"), "/dev/ttyS11");
}

// The exclusive-use flag belongs to the terminal, not to the descriptor: a port closed
// without giving it back keeps every later open out (EBUSY) while the other side of a
// pseudo-terminal stays open, as a simulator's does across a restart of the service.
TEST(SerialPort, ClosingGivesTheExclusiveUseBack) {
  std::string slave, error;
  TFdChannel master(OpenPtyMaster(slave, &error));
  ASSERT_GE(master.Fd(), 0) << error;
  // A second descriptor to look at the flag (root opens past the flag; TIOCGEXCL tells).
  const int watcher = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(watcher, 0);
  auto exclusive = [&] {
    int on = -1;
    EXPECT_EQ(::ioctl(watcher, TIOCGEXCL, &on), 0);
    return on;
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto port = OpenSerialDevice(slave, 9600, &error);
    ASSERT_TRUE(port) << error;
    EXPECT_EQ(exclusive(), 1);
    port.reset();
    EXPECT_EQ(exclusive(), 0);
  }
  ::close(watcher);
}
