#pragma once
// Serial devices on Linux: the settings file maps a loop's port number to a device
// ([Ports] COM3=/dev/ttyUSB0; without an entry COMn is /dev/ttyS<n-1>), and a device is
// opened exclusive, raw 8N1 at the loop's baud rate, without flow control, with DTR and
// RTS cleared where it has modem lines (a pseudo-terminal has none). Reads never block.
#include <cstdint>
#include <memory>
#include <string>

#include "readerbus/ByteChannel.h"

namespace tarn::readerbus {

// A channel over a file descriptor it owns (a serial device, either side of a pty).
class TFdChannel final : public TByteChannel {
 public:
  explicit TFdChannel(int fd) : fd_(fd) {}
  ~TFdChannel() override;
  TFdChannel(const TFdChannel&) = delete;
  TFdChannel& operator=(const TFdChannel&) = delete;

  long Read(uint8_t* buf, size_t max) override;
  long Write(const uint8_t* data, size_t len) override;
  bool WaitReadable(int ms) override;
  void Purge() override;
  bool Lost() const override { return lost_; }
  std::string LostReason() const override { return lostReason_; }
  int Fd() const { return fd_; }
  // Holds the terminal exclusive (TIOCEXCL) until this channel closes it. The flag is given
  // back on close: a pseudo-terminal keeps it while its master is open, and would refuse
  // every later unprivileged open of the line, ours included.
  bool HoldExclusive();

 private:
  void MarkLost(const std::string& reason);
  int fd_;
  bool exclusive_ = false;
  bool lost_ = false;
  std::string lostReason_;
};

// Device of a port number, from the settings file (home/tarncard.ini).
std::string SerialDeviceForPort(int port);
std::string SerialDeviceForPort(int port, const std::string& settingsFile);

// Opens and configures the device. On failure returns null and says why in *error.
// A baud rate without a termios constant is a configuration failure.
std::unique_ptr<TFdChannel> OpenSerialDevice(const std::string& path, uint32_t baud, std::string* error);

// Puts an open terminal into the raw 8N1 mode above (no exclusivity, no modem lines).
bool MakeRaw(int fd, uint32_t baud, std::string* error);

// A new pseudo-terminal: master side (non-blocking) and the slave's path. The slave is not
// opened. Returns -1 on failure.
int OpenPtyMaster(std::string& slavePath, std::string* error);

}  // namespace tarn::readerbus
