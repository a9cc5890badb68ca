#include "readerbus/LineControl.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace tarn::readerbus {
namespace {

std::string Refusal(int error) {
  // ENOTTY is the kernel's answer for a driver that has no such request at all.
  if (error == ENOTTY) return "the driver has no such setting";
  return std::strerror(error);
}

std::string PortKey(const TLineOptions& options, const char* suffix) {
  return (options.port > 0 ? "COM" + std::to_string(options.port) + " " : std::string()) + suffix;
}

}  // namespace

TLineSetup ApplyLineOptions(TByteChannel& channel, const TLineOptions& options) {
  TLineSetup setup;
  serial_struct info{};
  int error = channel.Control(TIOCGSERIAL, &info);
  if (error == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0) {
    // The rest of the structure goes back as it came: only the user-settable flag changes,
    // which needs no privilege.
    info.flags |= ASYNC_LOW_LATENCY;
    error = channel.Control(TIOCSSERIAL, &info);
  }
  setup.lowLatency = error == 0;
  if (error != 0) setup.lowLatencyRefused = Refusal(error);

  if (options.rs485) {
    serial_rs485 conf{};
    conf.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    conf.delay_rts_before_send = static_cast<uint32_t>(options.rs485DelayBeforeSend);
    conf.delay_rts_after_send = static_cast<uint32_t>(options.rs485DelayAfterSend);
    error = channel.Control(TIOCSRS485, &conf);
    // The driver writes back what it took; one that cannot do the mode clears the flag.
    if (error != 0) {
      setup.rs485Refused = Refusal(error);
    } else if ((conf.flags & SER_RS485_ENABLED) == 0) {
      setup.rs485Refused = "the driver left RS-485 mode off";
    } else {
      setup.rs485 = true;
      setup.rs485DelayBeforeSend = static_cast<int>(conf.delay_rts_before_send);
      setup.rs485DelayAfterSend = static_cast<int>(conf.delay_rts_after_send);
    }
  }
  return setup;
}

std::string Rs485RefusedText(const std::string& path, const TLineOptions& options, const std::string& reason) {
  const std::string key = PortKey(options, "RS485");
  return "Serial line " + path + " cannot be put in RS-485 mode (" + key + "=1): " + reason +
         ". Without it the driver does not switch the transceiver to send, and the frames reach the bus only "
         "if the adapter switches by itself: use a port whose driver supports RS-485 mode, or set " + key +
         "=0 for an adapter that switches by itself";
}

std::string SlowLatencyTimerText(const std::string& path, int ms, const std::string& timerFile) {
  return "Serial line " + path + ": the adapter holds received bytes up to " + std::to_string(ms) +
         " ms before passing them on (its latency timer), and every exchange of the loop waits for that; set it "
         "to 1 ms: the package's udev rule 60-tarncard-ftdi-latency.rules does it for FTDI adapters when they "
         "are plugged in (or at once: udevadm trigger --subsystem-match=usb-serial --action=add), by hand: echo 1 > " +
         timerFile;
}

std::vector<TLineNote> LineSetupNotes(const std::string& path, const TLineOptions& options, const TLineSetup& setup) {
  std::vector<TLineNote> notes;
  if (!setup.lowLatency)
    notes.push_back({TLineNote::Detail, "Serial line " + path + " does not take the low-latency request (" +
                                            setup.lowLatencyRefused +
                                            "): replies come as fast as its driver passes them on"});
  if (setup.latencyTimerMs && *setup.latencyTimerMs > kMaxGoodLatencyTimerMs)
    notes.push_back({TLineNote::Warning, SlowLatencyTimerText(path, *setup.latencyTimerMs, setup.latencyTimerFile)});
  if (options.rs485 && !setup.rs485)
    notes.push_back({TLineNote::Error, Rs485RefusedText(path, options, setup.rs485Refused)});
  return notes;
}

}  // namespace tarn::readerbus
