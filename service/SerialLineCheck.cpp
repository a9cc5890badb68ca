#include "service/SerialLineCheck.h"

#include "readerbus/AdapterFacts.h"
#include "readerbus/PortSettings.h"

namespace tarn {

std::vector<TSerialLineCheck> CheckSerialLine(const std::string& device, const readerbus::TLineOptions& options,
                                              readerbus::TByteChannel* channel, const std::string& root) {
  using readerbus::TLineSetup;
  std::vector<TSerialLineCheck> out;
  TLineSetup setup;
  if (channel) setup = readerbus::ApplyLineOptions(*channel, options);

  const auto timer = readerbus::ReadLatencyTimer(device, root);
  if (!timer) {
    out.push_back({TSerialLineCheck::Info, "latency timer: none (not a USB adapter that has one)"});
  } else {
    out.push_back({TSerialLineCheck::Info, "latency timer: " + std::to_string(*timer) + " ms"});
    if (*timer > readerbus::kMaxGoodLatencyTimerMs)
      out.push_back({TSerialLineCheck::Warning,
                     readerbus::SlowLatencyTimerText(device, *timer, readerbus::LatencyTimerFile(device, root))});
  }

  if (readerbus::IsEnumerationOrderName(device)) {
    const readerbus::TStableNames names = readerbus::StableNames(device, root);
    std::string text = device +
                       " is numbered in the order adapters appear and can name another adapter after a restart "
                       "or when one is plugged in again; map the port to a name that stays (by-id names the "
                       "adapter, by-path the USB socket: use by-path for identical adapters, which share a by-id name)";
    if (names.byId.empty() && names.byPath.empty()) text += "; no /dev/serial/by-id or by-path name leads to it";
    else text += ":";
    out.push_back({TSerialLineCheck::Warning, text});
    for (const auto* list : {&names.byId, &names.byPath})
      for (const std::string& name : *list) out.push_back({TSerialLineCheck::Info, "  " + name});
  }

  if (options.rs485) {
    const std::string key = readerbus::Rs485Key(options.port) + "=1";
    if (!channel)
      out.push_back({TSerialLineCheck::Info, "RS-485: " + key + ", not tried: the device is in use"});
    else if (setup.rs485)
      out.push_back({TSerialLineCheck::Info, "RS-485: on, RTS up while sending, " +
                                                 std::to_string(setup.rs485DelayBeforeSend) + " ms before and " +
                                                 std::to_string(setup.rs485DelayAfterSend) + " ms after"});
    else
      out.push_back({TSerialLineCheck::Problem, readerbus::Rs485RefusedText(device, options, setup.rs485Refused)});
  }
  return out;
}

}  // namespace tarn
