#include "readerbus/PortSettings.h"

#include <algorithm>

#include "config/TIniFileEx.h"
#include "platform/IniFile.h"

namespace tarn::readerbus {
namespace {

constexpr char kPorts[] = "Ports";

std::string PortName(int port) { return "COM" + std::to_string(port); }

// readBool(key, def), readInt(key, def): the file's reading operations of either kind.
template <typename ReadBool, typename ReadInt>
TLineOptions ReadOptions(int port, std::vector<std::string>* notes, ReadBool readBool, ReadInt readInt) {
  TLineOptions options;
  options.port = port;
  options.rs485 = readBool(Rs485Key(port), false);
  auto delay = [&](const std::string& key) {
    const int read = readInt(key, 0);
    const int used = std::clamp(read, 0, kMaxRs485DelayMs);
    if (used != read && notes)
      notes->push_back("Setting " + key + " = " + std::to_string(read) + " is outside 0.." +
                       std::to_string(kMaxRs485DelayMs) + " ms: " + std::to_string(used) + " is used");
    return used;
  };
  options.rs485DelayBeforeSend = delay(Rs485DelayBeforeKey(port));
  options.rs485DelayAfterSend = delay(Rs485DelayAfterKey(port));
  return options;
}

}  // namespace

std::string Rs485Key(int port) { return PortName(port) + " RS485"; }
std::string Rs485DelayBeforeKey(int port) { return PortName(port) + " RS485 Delay Before Send"; }
std::string Rs485DelayAfterKey(int port) { return PortName(port) + " RS485 Delay After Send"; }

TLineOptions ReadLineOptions(const platform::TIniFile& ini, int port, std::vector<std::string>* notes) {
  return ReadOptions(
      port, notes, [&](const std::string& key, bool def) { return ini.ReadBool(kPorts, key, def); },
      [&](const std::string& key, int def) { return ini.ReadInteger(kPorts, key, def); });
}

TLineOptions ReadLineOptionsEx(TIniFileEx& ini, int port, std::vector<std::string>* notes) {
  return ReadOptions(
      port, notes, [&](const std::string& key, bool def) { return ini.ReadBoolEx(kPorts, key, def); },
      [&](const std::string& key, int def) { return ini.ReadIntegerEx(kPorts, key, def); });
}

}  // namespace tarn::readerbus
