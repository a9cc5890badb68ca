#include "readerbus/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Home.h"
#include "platform/IniFile.h"
#include "platform/Tick.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn::readerbus {
namespace {

bool BaudConstant(uint32_t baud, speed_t& out) {
  struct Rate {
    uint32_t baud;
    speed_t constant;
  };
  static const Rate kRates[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
      {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
  for (const Rate& r : kRates)
    if (r.baud == baud) {
      out = r.constant;
      return true;
    }
  return false;
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

TFdChannel::~TFdChannel() {
  if (fd_ < 0) return;
  if (exclusive_) ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
}

bool TFdChannel::HoldExclusive() {
  if (::ioctl(fd_, TIOCEXCL) != 0) return false;
  exclusive_ = true;
  return true;
}

void TFdChannel::MarkLost(const std::string& reason) {
  if (lost_) return;
  lost_ = true;
  lostReason_ = reason;
}

namespace {
// Errors after which the device will not come back on this descriptor.
bool DeviceGone(int error) { return error == EIO || error == ENODEV || error == ENXIO || error == EBADF; }
}  // namespace

long TFdChannel::Read(uint8_t* buf, size_t max) {
  for (;;) {
    ssize_t n = ::read(fd_, buf, max);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (DeviceGone(errno)) MarkLost(Errno("read"));
    return -1;
  }
}

long TFdChannel::Write(const uint8_t* data, size_t len) {
  size_t done = 0;
  int spins = 0;
  while (done < len) {
    ssize_t n = ::write(fd_, data + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A full output buffer drains at line speed; give it a little time, never long: the
    // poll thread must not hang on a line nobody reads.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && spins++ < 5) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 10);
      continue;
    }
    if (n < 0 && DeviceGone(errno)) MarkLost(Errno("write"));
    break;
  }
  if (done == 0 && len > 0) return -1;
  return static_cast<long>(done);
}

bool TFdChannel::WaitReadable(int ms) {
  pollfd p{fd_, POLLIN, 0};
  for (;;) {
    int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    // A hung-up line (the other end of a pseudo-terminal closed, an adapter gone) polls
    // ready at once forever while its reads return nothing: the line is lost and has to be
    // opened again; nothing is waited for on it.
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      MarkLost((p.revents & POLLNVAL) != 0 ? "the device is closed" : "hang-up on the line");
      return false;
    }
    return r > 0;
  }
}

void TFdChannel::Purge() {
  if (::tcflush(fd_, TCIFLUSH) != 0) {
    // Not a terminal (a pipe in a test): drain what is there.
    uint8_t buf[256];
    while (Read(buf, sizeof buf) > 0) {
    }
  }
}

std::string SerialDeviceForPort(int port, const std::string& settingsFile) {
  platform::TIniFile ini(settingsFile);
  std::string dev = Trim(ini.ReadString("Ports", Format("COM%d", port), ""));
  if (!dev.empty()) return dev;
  return Format("/dev/ttyS%d", port - 1);
}

std::string SerialDeviceForPort(int port) { return SerialDeviceForPort(port, platform::SettingsFilePath()); }

bool MakeRaw(int fd, uint32_t baud, std::string* error) {
  speed_t speed;
  if (!BaudConstant(baud, speed)) {
    SetError(error, Format("baud rate %d is not supported", static_cast<int64_t>(baud)));
    return false;
  }
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    SetError(error, Errno("tcgetattr"));
    return false;
  }
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                      IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL | ONOCR | ONLRET);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) {
    SetError(error, Errno("cfsetspeed"));
    return false;
  }
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    SetError(error, Errno("tcsetattr"));
    return false;
  }
  return true;
}

std::unique_ptr<TFdChannel> OpenSerialDevice(const std::string& path, uint32_t baud, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, Errno(("open " + path).c_str()));
    return nullptr;
  }
  auto channel = std::make_unique<TFdChannel>(fd);
  if (!::isatty(fd)) {
    SetError(error, path + " is not a terminal device");
    return nullptr;
  }
  if (!channel->HoldExclusive()) {
    SetError(error, Errno("TIOCEXCL"));
    return nullptr;
  }
  if (!MakeRaw(fd, baud, error)) return nullptr;
  // DTR and RTS held inactive; a device without modem lines (a pty) refuses, which is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL && errno != ENOTSUP) {
    SetError(error, Errno("TIOCMBIC"));
    return nullptr;
  }
  ::tcflush(fd, TCIOFLUSH);
  return channel;
}

int OpenPtyMaster(std::string& slavePath, std::string* error) {
  int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, Errno("posix_openpt"));
    return -1;
  }
  char name[128];
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
    SetError(error, Errno("pty set-up"));
    ::close(fd);
    return -1;
  }
  slavePath = name;
  return fd;
}

}  // namespace tarn::readerbus
