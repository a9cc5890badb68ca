#pragma once
// What the system says about the device behind a port's path: the kernel's name for it, the
// USB adapter's latency timer (sysfs), and the names under /dev/serial/by-id and by-path that
// lead to the same device (udev's links, which stay when adapters are plugged in again).
//
// `root` is where the system's /dev and /sys are: "" (or "/") on a running system, a
// temporary folder holding a made-up tree in tests. Paths given and returned are as on the
// running system (/dev/ttyUSB0), whatever the root. Plain functions; any thread.
#include <optional>
#include <string>
#include <vector>

namespace tarn::readerbus {

// The device a path leads to, following links (by-id, by-path, an operator's own): "/dev/ttyUSB0".
std::string ResolveDevicePath(const std::string& path, const std::string& root);
// The file that holds the latency timer of the device a path leads to (as on the running
// system): /sys/class/tty/ttyUSB0/device/latency_timer.
std::string LatencyTimerFile(const std::string& path, const std::string& root);
// The adapter's latency timer in ms; none when the device has none (not a USB adapter of
// that kind, a pseudo-terminal) or the file cannot be read.
std::optional<int> ReadLatencyTimer(const std::string& path, const std::string& root);
// A name the kernel hands out in the order devices appear: /dev/ttyUSB<n>, /dev/ttyACM<n>.
bool IsEnumerationOrderName(const std::string& path);

struct TStableNames {
  std::vector<std::string> byId;    // /dev/serial/by-id/..., sorted
  std::vector<std::string> byPath;  // /dev/serial/by-path/..., sorted
};
// The /dev/serial names that lead to the same device as `path`.
TStableNames StableNames(const std::string& path, const std::string& root);

}  // namespace tarn::readerbus
