#pragma once
// Registration of the service with systemd: the unit TARNCard.service in
// /etc/systemd/system, or in $TARNCARD_UNIT_DIR when set (then systemctl is never run).
// Used by the INSTALL and UNINSTALL switches on the main thread before anything else runs.
#include <string>

namespace tarn::platform {

inline constexpr const char* kUnitName = "TARNCard.service";

// The unit file's text for the executable and the home folder (both absolute paths).
// Throws std::invalid_argument for a path that a unit file cannot hold (a line break).
std::string UnitFileText(const std::string& exePath, const std::string& homeDir);

// Folder and full path of the unit file.
std::string UnitDir();
std::string UnitFilePath();

// Writes the unit for ExePath()/HomeDir(), then, where systemd runs and $TARNCARD_UNIT_DIR
// is not set, "systemctl daemon-reload" and "systemctl enable TARNCard.service".
// Prints a confirmation to stdout unless silent; errors always go to stderr.
// Returns the process exit code: 0 on success, 1 on a failure.
int InstallUnit(bool silent);
// Disables (where systemd runs) and removes the unit; the same reporting and exit codes.
// A unit that is not installed is a failure.
int UninstallUnit(bool silent);

}  // namespace tarn::platform
