#include "platform/SystemdUnit.h"

#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/Home.h"

extern char** environ;

namespace tarn::platform {
namespace fs = std::filesystem;
namespace {

// A word for a unit file: written as it is when it holds nothing systemd would read
// otherwise; else in double quotes with specifiers (%) and variables ($) taken literally
// and backslashes and quotes escaped.
std::string UnitQuote(const std::string& s, bool dollars) {
  if (s.find_first_of("\r\n") != std::string::npos)
    throw std::invalid_argument("a path with a line break cannot go into a unit file: " + s);
  if (!s.empty() && s.find_first_of(" \t\"'\\%$;") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '%') out += "%%";
    else if (c == '$' && dollars) out += "$$";
    else if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else out += c;
  }
  return out + "\"";
}

// The package's sandbox (packaging/TARNCard.service), line for line.
const char* const kSandbox[] = {
    "PrivateTmp=yes",
    "NoNewPrivileges=yes",
    "DevicePolicy=closed",
    "DeviceAllow=char-ttyS rw",
    "DeviceAllow=char-ttyUSB rw",
    "DeviceAllow=char-ttyACM rw",
    "DeviceAllow=char-pts rw",
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6",
    "CapabilityBoundingSet=",
    "AmbientCapabilities=",
    "ProtectKernelTunables=yes",
    "ProtectKernelModules=yes",
    "ProtectKernelLogs=yes",
    "ProtectControlGroups=yes",
    "ProtectClock=yes",
    "ProtectHostname=yes",
    "ProtectProc=invisible",
    "ProcSubset=pid",
    "PrivateUsers=no",
    "RestrictNamespaces=yes",
    "RestrictRealtime=yes",
    "RestrictSUIDSGID=yes",
    "LockPersonality=yes",
    "MemoryDenyWriteExecute=yes",
    "RemoveIPC=yes",
    "SystemCallArchitectures=native",
    "SystemCallFilter=@system-service",
    "SystemCallFilter=~@privileged",
    "SystemCallErrorNumber=EPERM",
    // A runaway (a flood of requests, a leak) ends in this service's own limits, not the
    // machine's: about 16 times what four loops of 48 devices use, and threads to spare.
    "MemoryMax=256M",
    "TasksMax=256",
};

bool SystemdRuns() {
  std::error_code ec;
  return fs::is_directory("/run/systemd/system", ec);
}

bool ManageWithSystemctl() {
  const char* dir = std::getenv("TARNCARD_UNIT_DIR");
  return !(dir && *dir) && SystemdRuns();
}

// Runs "systemctl <verb> [unit]" and waits; false (with a message) when it fails.
bool Systemctl(const std::vector<std::string>& args) {
  std::vector<std::string> all{"systemctl"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string cmd;
  for (auto& a : all) cmd += (cmd.empty() ? "" : " ") + a;
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    std::cerr << "Cannot run \"" << cmd << "\": " << std::strerror(rc) << "\n";
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      std::cerr << "Cannot wait for \"" << cmd << "\": " << std::strerror(errno) << "\n";
      return false;
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::cerr << "\"" << cmd << "\" failed"
              << (WIFEXITED(status) ? " with exit code " + std::to_string(WEXITSTATUS(status)) : std::string())
              << "\n";
    return false;
  }
  return true;
}

// The service's user needs to write its home folder and log/: said when it plainly cannot
// (neither owner nor a group member with write permission, and the folder not open to all).
void WarnUnlessWritable(const std::string& homeDir, const std::string& user) {
  const passwd* pw = ::getpwnam(user.c_str());
  if (pw == nullptr) return;
  for (const std::string& dir : {homeDir, homeDir + "/log"}) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) continue;
    const bool writes = st.st_uid == pw->pw_uid ? (st.st_mode & S_IWUSR) != 0
                        : st.st_gid == pw->pw_gid ? (st.st_mode & S_IWGRP) != 0
                                                  : (st.st_mode & S_IWOTH) != 0;
    if (!writes)
      std::cerr << "Warning: the service's user " << user << " cannot write " << dir << " (alive.txt, the log): "
                << "chown " << user << ": " << dir << "\n";
  }
}

}  // namespace

bool UnderHomes(const std::string& path) {
  for (const char* top : {"/home", "/root", "/run/user"}) {
    const std::string t = top;
    if (path == t || path.compare(0, t.size() + 1, t + "/") == 0) return true;
  }
  return false;
}

std::string UnitFileText(const std::string& exePath, const std::string& homeDir, const std::string& user,
                         const std::string& group) {
  std::string t;
  t += "[Unit]\n";
  t += "Description=TARN Card Access Controller\n";
  t += "After=network-online.target\n";
  t += "Wants=network-online.target\n";
  t += "\n[Service]\n";
  t += "Type=notify\n";
  t += "ExecStart=" + UnitQuote(exePath, true) + "\n";
  t += "Environment=" + UnitQuote("TARNCARD_HOME=" + homeDir, false) + "\n";
  t += "Restart=on-failure\n";
  t += "WatchdogSec=60\n";
  // Start-up waits for the database, however long it is away.
  t += "TimeoutStartSec=infinity\n";
  // Its own user, never root, with the package's sandbox: everything read-only but the home
  // folder (alive.txt, the settings file, log/).
  t += "User=" + UnitQuote(user, false) + "\n";
  t += "Group=" + UnitQuote(group, false) + "\n";
  t += "SupplementaryGroups=dialout\n";
  t += "UMask=0027\n";
  t += "ProtectSystem=strict\n";
  t += "ReadWritePaths=" + UnitQuote(homeDir, false) + "\n";
  if (UnderHomes(homeDir)) {
    // The users' folders hidden all the same, the home folder brought back in.
    t += "ProtectHome=tmpfs\n";
    t += "BindPaths=" + UnitQuote(homeDir, false) + "\n";
  } else {
    t += "ProtectHome=yes\n";
  }
  for (const char* line : kSandbox) t += std::string(line) + "\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

bool ServiceUser(const std::string& homeDir, std::string& user, std::string& group, std::string& error) {
  const char* named = std::getenv("TARNCARD_USER");
  const passwd* pw = nullptr;
  if (named && *named) {
    user = named;
  } else {
    struct stat st {};
    if (::stat(homeDir.c_str(), &st) == 0 && st.st_uid != 0) pw = ::getpwuid(st.st_uid);
    user = pw != nullptr ? pw->pw_name : kDefaultServiceUser;
  }
  if (pw == nullptr) pw = ::getpwnam(user.c_str());
  if (pw == nullptr) {
    error = "there is no user " + user + " to run the service as: create it (adduser --system --group "
            "--no-create-home --home " + homeDir + " " + user + "), give it the home folder (chown -R " + user + ":" +
            user + " " + homeDir + ") and run INSTALL again, or name another user in $TARNCARD_USER";
    return false;
  }
  if (pw->pw_uid == 0) {
    error = "the service does not run as root: name its own user in $TARNCARD_USER";
    return false;
  }
  const struct group* gr = ::getgrgid(pw->pw_gid);
  group = gr != nullptr ? gr->gr_name : std::to_string(pw->pw_gid);
  user = pw->pw_name;
  return true;
}

std::string UnitDir() {
  const char* dir = std::getenv("TARNCARD_UNIT_DIR");
  return (dir && *dir) ? std::string(dir) : std::string("/etc/systemd/system");
}

std::string UnitFilePath() { return (fs::path(UnitDir()) / kUnitName).string(); }

int InstallUnit(bool silent) {
  std::string path = UnitFilePath();
  try {
    std::string exe = ExePath();
    // The package brings its own unit (running as the tarncard user, files in /etc, /var);
    // a second one here would override it.
    if (CurrentLayout().installed) {
      std::cerr << "Cannot install " << kUnitName << ": " << exe
                << " is the packaged program, whose unit comes with the package: "
                   "systemctl enable --now TARNCard.service\n";
      return 1;
    }
    if (exe.empty()) {
      std::cerr << "Cannot install " << kUnitName << ": the path of the executable is unknown\n";
      return 1;
    }
    std::string user, group, error;
    if (!ServiceUser(HomeDir(), user, group, error)) {
      std::cerr << "Cannot install " << kUnitName << ": " << error << "\n";
      return 1;
    }
    std::string text = UnitFileText(exe, HomeDir(), user, group);
    WarnUnlessWritable(HomeDir(), user);
    std::error_code ec;
    fs::create_directories(UnitDir(), ec);
    // Written beside and renamed, so systemd never reads half a unit.
    std::string tmp = path + ".tmp";
    {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << text;
      out.close();
      if (!out) {
        std::cerr << "Cannot write " << tmp << ": " << std::strerror(errno) << "\n";
        fs::remove(tmp, ec);
        return 1;
      }
    }
    fs::permissions(tmp, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read, ec);
    fs::rename(tmp, path, ec);
    if (ec) {
      std::cerr << "Cannot write " << path << ": " << ec.message() << "\n";
      fs::remove(tmp, ec);
      return 1;
    }
    if (ManageWithSystemctl()) {
      if (!Systemctl({"daemon-reload"}) || !Systemctl({"enable", kUnitName})) return 1;
    }
    if (!silent) std::cout << "Service TARNCard installed: " << path << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "Cannot install " << kUnitName << ": " << e.what() << "\n";
    return 1;
  }
}

int UninstallUnit(bool silent) {
  std::string path = UnitFilePath();
  try {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      std::cerr << "Service TARNCard is not installed: " << path << " does not exist\n";
      return 1;
    }
    bool systemctl = ManageWithSystemctl();
    if (systemctl && !Systemctl({"disable", kUnitName})) return 1;
    if (!fs::remove(path, ec) || ec) {
      std::cerr << "Cannot remove " << path << ": " << ec.message() << "\n";
      return 1;
    }
    if (systemctl && !Systemctl({"daemon-reload"})) return 1;
    if (!silent) std::cout << "Service TARNCard uninstalled: " << path << " removed\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "Cannot uninstall " << kUnitName << ": " << e.what() << "\n";
    return 1;
  }
}

}  // namespace tarn::platform
