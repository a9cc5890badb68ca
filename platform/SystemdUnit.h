#pragma once
// Registration of the service with systemd: the unit TARNCard.service in
// /etc/systemd/system, or in $TARNCARD_UNIT_DIR when set (then systemctl is never run).
// Used by the INSTALL and UNINSTALL switches on the main thread before anything else runs.
#include <string>

namespace tarn::platform {

inline constexpr const char* kUnitName = "TARNCard.service";

// The user the package's unit runs as, and the default of INSTALL's.
inline constexpr const char* kDefaultServiceUser = "tarncard";

// The unit file's text for the executable and the home folder (both absolute paths), run as
// `user` and `group` with the package's sandbox: the file system read-only but the home
// folder, the users' folders hidden (a home folder among them is brought back in), serial
// and pseudo-terminal devices only, no capabilities, memory and task limits.
// Throws std::invalid_argument for a path that a unit file cannot hold (a line break).
std::string UnitFileText(const std::string& exePath, const std::string& homeDir, const std::string& user,
                         const std::string& group);
// Whether a path lies in the users' folders (/home, /root, /run/user).
bool UnderHomes(const std::string& path);

// The user INSTALL's unit runs the service as: $TARNCARD_USER when set, else the owner of the
// home folder when that is not root, else "tarncard"; with its primary group. False (with
// `error` saying what to do) when there is no such user or it is root.
bool ServiceUser(const std::string& homeDir, std::string& user, std::string& group, std::string& error);

// Folder and full path of the unit file.
std::string UnitDir();
std::string UnitFilePath();

// Writes the unit for ExePath()/HomeDir() and ServiceUser, then, where systemd runs and $TARNCARD_UNIT_DIR
// is not set, "systemctl daemon-reload" and "systemctl enable TARNCard.service".
// Prints a confirmation to stdout unless silent; errors always go to stderr.
// Returns the process exit code: 0 on success, 1 on a failure.
int InstallUnit(bool silent);
// Disables (where systemd runs) and removes the unit; the same reporting and exit codes.
// A unit that is not installed is a failure.
int UninstallUnit(bool silent);

}  // namespace tarn::platform
