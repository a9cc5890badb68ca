#pragma once
// What the service asks of a serial line's driver beyond the termios settings, and what it
// got. Low latency: the driver passes received bytes on at once instead of collecting them
// (a USB adapter's latency timer drops to 1 ms). RS-485 mode, asked for per port: the driver
// raises RTS for every frame it sends, which switches the transceiver to transmit.
//
// The requests go through TByteChannel::Control, so a test channel can record or refuse
// them. A refusal never fails the open: a pseudo-terminal or a plain UART has no low-latency
// flag and needs none, and an adapter that switches its transmitter by itself works without
// RS-485 mode. LineSetupNotes turns the outcome into the sentences the loop logs.
// Plain functions; any thread.
#include <optional>
#include <string>
#include <vector>

#include "readerbus/ByteChannel.h"

namespace tarn::readerbus {

struct TLineOptions {
  // The [Ports] number the options were read for (0: none), so that notes name its keys.
  int port = 0;
  bool rs485 = false;
  int rs485DelayBeforeSend = 0;  // ms RTS is up before the first bit goes out
  int rs485DelayAfterSend = 0;   // ms RTS stays up after the last bit
  bool operator==(const TLineOptions&) const = default;
};

struct TLineSetup {
  bool lowLatency = false;        // the driver has the low-latency flag (set now or before)
  std::string lowLatencyRefused;  // why not, when a request was refused
  bool rs485 = false;             // RS-485 mode is on, RTS up while sending
  int rs485DelayBeforeSend = 0;   // the delays as the driver took them
  int rs485DelayAfterSend = 0;
  std::string rs485Refused;       // RS-485 mode was asked for and not set: why
  // The adapter's latency timer after the requests (ms), when the device has one, and the
  // file it was read from as named on a running system.
  std::optional<int> latencyTimerMs;
  std::string latencyTimerFile;
};

// A latency timer above this holds every reply long enough to slow the loop down.
constexpr int kMaxGoodLatencyTimerMs = 2;

// Asks for low latency, then sets RS-485 mode when the options want it (RS-485 off leaves
// the driver's mode alone: a port set up for RS-485 by the system stays so).
TLineSetup ApplyLineOptions(TByteChannel& channel, const TLineOptions& options);

struct TLineNote {
  enum Level { Detail, Warning, Error };
  Level level;
  std::string text;
};

// What an open of the line at `path` is worth saying: a refused low-latency request (detail
// only), a slow latency timer (warning), RS-485 mode refused (error).
std::vector<TLineNote> LineSetupNotes(const std::string& path, const TLineOptions& options, const TLineSetup& setup);

// The sentences of those notes, also written by `tarncard check`.
std::string Rs485RefusedText(const std::string& path, const TLineOptions& options, const std::string& reason);
std::string SlowLatencyTimerText(const std::string& path, int ms, const std::string& timerFile);

}  // namespace tarn::readerbus
