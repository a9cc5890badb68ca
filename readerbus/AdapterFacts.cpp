#include "readerbus/AdapterFacts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "util/Strings.h"

namespace tarn::readerbus {
namespace fs = std::filesystem;
namespace {

// Where a system path is under the root.
fs::path UnderRoot(const std::string& root, const fs::path& systemPath) {
  if (root.empty() || root == "/") return systemPath;
  return fs::path(root) / systemPath.relative_path();
}

// Follows the links of the last component (udev's links are relative, an operator's may be
// absolute: those stay under the root too), at most a few hops: a loop of links ends.
fs::path Resolve(const fs::path& path, const std::string& root) {
  fs::path p = path.lexically_normal();
  for (int hop = 0; hop < 16; ++hop) {
    std::error_code ec;
    const fs::path at = UnderRoot(root, p);
    if (!fs::is_symlink(at, ec)) break;
    const fs::path target = fs::read_symlink(at, ec);
    if (ec) break;
    p = (target.is_absolute() ? target : p.parent_path() / target).lexically_normal();
  }
  return p;
}

}  // namespace

std::string ResolveDevicePath(const std::string& path, const std::string& root) {
  if (path.empty()) return path;
  return Resolve(fs::path(path), root).string();
}

std::string LatencyTimerFile(const std::string& path, const std::string& root) {
  const std::string name = fs::path(ResolveDevicePath(path, root)).filename().string();
  return "/sys/class/tty/" + name + "/device/latency_timer";
}

std::optional<int> ReadLatencyTimer(const std::string& path, const std::string& root) {
  const fs::path device = ResolveDevicePath(path, root);
  // Only a device node straight under /dev has its name in /sys/class/tty (a pseudo-terminal
  // under /dev/pts has none there).
  if (device.parent_path() != "/dev") return std::nullopt;
  std::ifstream in(UnderRoot(root, LatencyTimerFile(path, root)));
  std::string text;
  if (!in || !std::getline(in, text)) return std::nullopt;
  const auto ms = TryStrToInt(Trim(text));
  if (!ms || *ms < 0) return std::nullopt;
  return *ms;
}

bool IsEnumerationOrderName(const std::string& path) {
  const fs::path p = fs::path(path).lexically_normal();
  if (p.parent_path() != "/dev") return false;
  const std::string name = p.filename().string();
  for (const char* prefix : {"ttyUSB", "ttyACM"}) {
    const std::string pre = prefix;
    if (name.size() > pre.size() && name.compare(0, pre.size(), pre) == 0 &&
        std::all_of(name.begin() + static_cast<long>(pre.size()), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return true;
  }
  return false;
}

TStableNames StableNames(const std::string& path, const std::string& root) {
  TStableNames names;
  const fs::path device = Resolve(fs::path(path), root);
  auto collect = [&](const char* folder, std::vector<std::string>& out) {
    const fs::path dir = fs::path("/dev/serial") / folder;
    std::error_code ec;
    for (fs::directory_iterator it(UnderRoot(root, dir), ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path name = dir / it->path().filename();
      if (Resolve(name, root) == device) out.push_back(name.string());
    }
    std::sort(out.begin(), out.end());
  };
  collect("by-id", names.byId);
  collect("by-path", names.byPath);
  return names;
}

}  // namespace tarn::readerbus
