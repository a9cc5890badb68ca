#pragma once
// A port's line options in the settings file's [Ports] section, next to its device:
//   COM2=/dev/ttyS1
//   COM2 RS485=1
//   COM2 RS485 Delay Before Send=0
//   COM2 RS485 Delay After Send=0
// RS485 is a boolean (default 0: the driver's mode is left alone); the delays are ms within
// 0..kMaxRs485DelayMs (the kernel's own bound), a value outside is replaced by the nearer end.
#include <string>
#include <vector>

#include "readerbus/LineControl.h"

namespace tarn {
class TIniFileEx;
namespace platform {
class TIniFile;
}
}  // namespace tarn

namespace tarn::readerbus {

constexpr int kMaxRs485DelayMs = 100;

// The keys of a port, in the order they are read and written.
std::string Rs485Key(int port);
std::string Rs485DelayBeforeKey(int port);
std::string Rs485DelayAfterKey(int port);

// Reads the options of a port; a delay out of range adds a sentence to *notes (when given).
// This one only reads (`tarncard check`).
TLineOptions ReadLineOptions(const platform::TIniFile& ini, int port, std::vector<std::string>* notes);
// This one writes every missing key back with its default first, as the loop's other
// settings are.
TLineOptions ReadLineOptionsEx(TIniFileEx& ini, int port, std::vector<std::string>* notes);

}  // namespace tarn::readerbus
