#pragma once
// Where the program keeps its files: the home folder is $TARNCARD_HOME when set, otherwise
// the folder of the executable. Thread-safe.
#include <string>

namespace tarn::platform {

// Full path of the running executable (/proc/self/exe).
std::string ExePath();
// Home folder, without a trailing slash.
std::string HomeDir();
// HomeDir() + "/" + relative.
std::string HomePath(const std::string& relative);
// The settings file: the executable's file name with ".ini", in the home folder.
std::string SettingsFilePath();

}  // namespace tarn::platform
