#include "platform/Home.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tarn::platform {

std::string ExePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string HomeDir() {
  const char* env = std::getenv("TARNCARD_HOME");
  std::string dir;
  if (env && *env) {
    dir = env;
  } else {
    dir = std::filesystem::path(ExePath()).parent_path().string();
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string HomePath(const std::string& relative) { return HomeDir() + "/" + relative; }

std::string SettingsFilePath() {
  // The service executable is "tarncard"; test programs and tools share its file.
  return HomePath("tarncard.ini");
}

}  // namespace tarn::platform
