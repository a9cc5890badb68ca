#pragma once
// What `tarncard check` says about the serial line of one loop: the adapter's latency timer,
// a device name that moves when adapters are plugged in again (with the names of the same
// device that stay), and RS-485 mode when the port asks for it.
#include <string>
#include <vector>

#include "readerbus/ByteChannel.h"
#include "readerbus/LineControl.h"

namespace tarn {

struct TSerialLineCheck {
  enum Kind { Info, Warning, Problem };
  Kind kind;
  std::string text;
};

// `channel`: the device opened for the check, whose driver is asked what the service asks
// at every open (low latency, RS-485 mode) before the timer is read; null when another
// program holds the device (the running service, which has asked already). `root`: where
// /dev and /sys are ("" the running system).
std::vector<TSerialLineCheck> CheckSerialLine(const std::string& device, const readerbus::TLineOptions& options,
                                              readerbus::TByteChannel* channel, const std::string& root);

}  // namespace tarn
