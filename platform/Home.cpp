#include "platform/Home.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tarn::platform {
namespace {

std::string Trimmed(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool Set(const char* v) { return v && *v; }

// The package puts the service in /usr/sbin and the simulator in /usr/bin.
bool InstalledExecutable(const std::string& exePath) {
  auto dir = std::filesystem::path(exePath).parent_path().lexically_normal().string();
  return dir == "/usr/sbin" || dir == "/usr/bin";
}

}  // namespace

FileLayout ResolveLayout(const std::string& exePath, const char* home, const char* configDir,
                         const char* logDir) {
  FileLayout l;
  l.installed = !Set(home) && InstalledExecutable(exePath);
  if (l.installed) {
    l.home = "/var/lib/tarncard";
    l.configDir = "/etc/tarncard";
    l.logDir = "/var/log/tarncard";
  } else {
    l.home = Trimmed(Set(home) ? std::string(home) : std::filesystem::path(exePath).parent_path().string());
    l.configDir = l.home;
    l.logDir = (l.home == "/" ? "" : l.home) + "/log";
  }
  if (Set(configDir)) l.configDir = Trimmed(configDir);
  if (Set(logDir)) l.logDir = Trimmed(logDir);
  return l;
}

FileLayout CurrentLayout() {
  return ResolveLayout(ExePath(), std::getenv("TARNCARD_HOME"), std::getenv("TARNCARD_CONFIG_DIR"),
                       std::getenv("TARNCARD_LOG_DIR"));
}

std::string ExePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string HomeDir() { return CurrentLayout().home; }

std::string HomePath(const std::string& relative) { return HomeDir() + "/" + relative; }

std::string ConfigPath(const std::string& relative) { return CurrentLayout().configDir + "/" + relative; }

std::string LogPath(const std::string& relative) { return CurrentLayout().logDir + "/" + relative; }

std::string SettingsFilePath() {
  // The service executable is "tarncard"; test programs and tools share its file.
  return ConfigPath("tarncard.ini");
}

}  // namespace tarn::platform
