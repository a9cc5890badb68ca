#pragma once
// Files of a test site: the registry file with a test database's connection values, and the
// home folder environment the service and the loops read.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/TRegistryEx.h"
#include "support/TestDatabase.h"

namespace tarn::testing {

// Escapes a registry string value.
inline std::string RegQuote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Writes a registry file that points the service at `params`; `computerName` (when not
// empty) is the computer name the service looks its loops up by.
inline void WriteRegistry(const std::filesystem::path& file, const tarn::test::ConnectionParams& params,
                          const std::string& computerName = "", bool debugLog = true) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << "Windows Registry Editor Version 5.00\r\n\r\n";
  out << "[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n";
  out << "\"DSNName\"=" << RegQuote(params.DSNName) << "\r\n";
  out << "\"Host\"=" << RegQuote(params.Host) << "\r\n";
  out << "\"Database\"=" << RegQuote(params.Database) << "\r\n";
  out << "\"User\"=" << RegQuote(params.User) << "\r\n";
  out << "\"ODBCDriver\"=" << RegQuote(params.Driver) << "\r\n";
  // The password is stored scrambled; options go in already expanded.
  out << "\"Pass\"=" << RegQuote(tarn::Scramble(params.Password)) << "\r\n";
  out << "\"ODBCOptions\"=" << RegQuote(params.ConnectOptions) << "\r\n";
  out << "\"DebugLog\"=dword:" << (debugLog ? "00000001" : "00000000") << "\r\n";
  if (!computerName.empty()) {
    out << "\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n";
    out << "\"ComputerName\"=" << RegQuote(computerName) << "\r\n";
  }
}

// Points TARNCARD_HOME and TARNCARD_REGISTRY at a folder for the lifetime of the object.
class SiteHome {
 public:
  explicit SiteHome(const std::filesystem::path& home) : home_(home) {
    std::filesystem::create_directories(home_);
    setenv("TARNCARD_HOME", home_.c_str(), 1);
    setenv("TARNCARD_REGISTRY", (home_ / "registry.reg").c_str(), 1);
  }
  ~SiteHome() {
    unsetenv("TARNCARD_HOME");
    unsetenv("TARNCARD_REGISTRY");
  }
  SiteHome(const SiteHome&) = delete;
  SiteHome& operator=(const SiteHome&) = delete;
  const std::filesystem::path& Path() const { return home_; }
  std::filesystem::path Registry() const { return home_ / "registry.reg"; }
  std::filesystem::path Settings() const { return home_ / "tarncard.ini"; }

 private:
  std::filesystem::path home_;
};

}  // namespace tarn::testing
