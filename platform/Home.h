#pragma once
// Where the program keeps its files. Two layouts:
//  - home folder (development, and sites set up with `tarncard INSTALL`): everything in the
//    home folder, $TARNCARD_HOME when set, otherwise the folder of the executable;
//    settings and registry files in it, the log in its log/ folder;
//  - installed (the Debian package): the executable in /usr/sbin or /usr/bin and
//    $TARNCARD_HOME not set: configuration in /etc/tarncard, home (alive.txt, the example
//    site's database) in /var/lib/tarncard, the log in /var/log/tarncard.
// $TARNCARD_CONFIG_DIR and $TARNCARD_LOG_DIR move the configuration and the log folder in
// either layout. Thread-safe.
#include <string>

namespace tarn::platform {

struct FileLayout {
  bool installed = false;  // the package's layout
  std::string home;        // every path without a trailing slash
  std::string configDir;
  std::string logDir;
};

// The layout for an executable path and the values of $TARNCARD_HOME, $TARNCARD_CONFIG_DIR
// and $TARNCARD_LOG_DIR (null or empty: not set).
FileLayout ResolveLayout(const std::string& exePath, const char* home, const char* configDir,
                         const char* logDir);
// The layout of this process (its executable and environment).
FileLayout CurrentLayout();

// Full path of the running executable (/proc/self/exe).
std::string ExePath();
// Home folder, without a trailing slash.
std::string HomeDir();
// HomeDir() + "/" + relative.
std::string HomePath(const std::string& relative);
// Configuration folder (tarncard.ini, registry.reg) + "/" + relative.
std::string ConfigPath(const std::string& relative);
// Log folder + "/" + relative.
std::string LogPath(const std::string& relative);
// The settings file: the executable's file name with ".ini", in the configuration folder.
std::string SettingsFilePath();

}  // namespace tarn::platform
