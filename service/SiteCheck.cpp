// `tarncard check`: what this computer would run, and every problem an installer should fix
// before starting the service.
#include "service/SiteCheck.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "access/OfflineCopy.h"
#include "access/OfflineJournal.h"
#include "access/OfflineStore.h"
#include "config/TConnParams.h"
#include "config/TLoopSettings.h"
#include "config/TRegistryEx.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "platform/FileSafety.h"
#include "platform/Home.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "readerbus/PortSettings.h"
#include "platform/SystemdUnit.h"
#include "readerbus/SerialPort.h"
#include "loop/TLoop.h"
#include "service/SerialLineCheck.h"
#include "service/StatusServer.h"
#include "service/TTARNCard.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// Tables and the columns the service reads or writes. Columns the loop set-up adds by
// itself (printer columns, gate_up, device_type, special_out) are not required.
const std::vector<std::pair<const char*, std::vector<const char*>>> kRequired = {
    {"loop", {"id", "name", "enabled", "port", "rfmodem", "lastupdate"}},
    {"device", {"id", "loop_id", "addr_ess", "name", "msg_id", "dir_ection", "no_path", "debit_flag",
                "open_pulse", "perm_open", "open_flag", "lot_id", "count1", "count2", "count3", "count4",
                "count5", "count_soft", "lf_output", "lf_output_flag", "lf_enabled", "lf_sign", "lf_sign_flag",
                "remote_user", "remote_ip", "online_flag", "door_input", "ajar_timer", "ajar_output",
                "fire_input", "door_ajar", "alarm_ack", "fire_flag"}},
    {"messages", {"id", "idle", "gateup", "accepted", "not_on_file", "access", "inac_tive", "passback",
                  "max_group", "not_on_path"}},
    {"card", {"number", "type_id", "group_id", "in_gate", "in_lot", "trans_dt", "debit_left", "debit_date",
              "debit_reset_date", "first_name", "last_name", "space_no"}},
    {"card_type", {"id", "access_level_id", "days", "global_expiry", "first_use_flg", "debit_flg",
                   "debit_reset_flag", "debit_time_limit", "debit_time_limit_flg", "no_expiry_flg", "pathway_id",
                   "ignore_passback", "msg_id", "uses"}},
    {"card_pool", {"id", "max_inlot", "cur_inlot"}},
    {"a_l_range", {"id", "access_level_id", "day_1", "day_2", "day_3", "day_4", "day_5", "day_6", "day_7",
                   "day_8", "day_9", "start_time", "end_time"}},
    {"a_l_range_device", {"a_l_range_id", "device_id"}},
    {"pathway_ft", {"pathway_id", "from_device", "to_device", "time_limit"}},
    {"holiday", {"holi_day", "tab_num"}},
    {"settings", {"reset_vtsql", "auto_reset", "auto_reset_group", "auto_reset_pathway", "reset_time",
                  "auto_now", "auto_now_grp", "soft_group", "soft_path", "soft_pb", "stup_pbrst"}},
    {"lot", {"id", "lot_count", "max_capacity", "auto_r_count", "auto_r_time", "reset_amt", "cnt_reset_flag",
             "cnt_reset_time", "cnt_reset_amt"}},
    {"counters", {"id", "lot_id"}},
    {"counter_item", {"device_id", "input", "cntr_id", "chg_lot"}},
    {"trans", {"card_no", "dat_e", "device_id", "error_code", "error_desc", "cardno", "device_name",
               "first_name", "last_name", "mem_flag"}},
    {"tickinv", {"barcode", "ticket", "issuerid", "status", "security", "in_date", "out_date", "l_date"}},
    {"spots", {"number", "floor"}},
    {"gateoc", {"device_id", "dayofweek", "start_time", "end_time"}},
};

const char* DeviceTypeName(int type) {
  switch (type) {
    case 1: return "ticket dispenser";
    case 2: return "exit ticket reader";
    default: return "card reader";
  }
}

// A TCP connection to host:port within timeoutMs; the error text otherwise.
bool TcpReachable(const std::string& host, int port, int timeoutMs, std::string& error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (rc != 0) {
    error = gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(res, freeaddrinfo);
  error = "no address";
  for (addrinfo* a = res; a; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = std::strerror(errno);
      continue;
    }
    bool ok = false;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      ok = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, timeoutMs) == 1) {
        int soerr = 0;
        socklen_t len = sizeof soerr;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
        if (soerr == 0) ok = true;
        else error = std::strerror(soerr);
      } else {
        error = "no answer";
      }
    } else {
      error = std::strerror(errno);
    }
    close(fd);
    if (ok) return true;
  }
  return false;
}

// The driver's completed connect string names the password (PWD=...): what an installer
// pastes into a support request must not carry it.
std::string HidePassword(const std::string& info) {
  std::string out;
  for (const std::string& pair : Split(info, ';')) {
    if (!out.empty()) out += ';';
    const size_t eq = pair.find('=');
    const std::string key = UpperCase(Trim(pair.substr(0, eq)));
    if (eq != std::string::npos && (key == "PWD" || key == "PASSWORD") && eq + 1 < pair.size())
      out += pair.substr(0, eq + 1) + "***";
    else
      out += pair;
  }
  return out;
}

// What is wrong with the serial device of a loop; "" when the service can open it.
// A device that another program holds exclusively (the running service does) is in use,
// not wrong.
std::string SerialDeviceProblem(const std::string& device, bool& inUse) {
  inUse = false;
  struct stat sb {};
  if (stat(device.c_str(), &sb) != 0) return "serial device " + device + " does not exist";
  if (!S_ISCHR(sb.st_mode)) return device + " is not a serial device (not a character device)";
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (err == EBUSY) {
      inUse = true;
      return "";
    }
    if (err == EACCES || err == EPERM)
      return "serial device " + device + " cannot be opened: permission denied (the service's user needs the "
             "dialout group)";
    return "serial device " + device + " cannot be opened: " + std::strerror(err);
  }
  const bool tty = isatty(fd) != 0;
  close(fd);
  return tty ? "" : device + " is not a serial device (tty)";
}


// What the check found, in the order it found it: problems make the check fail, warnings
// are printed with their fix and counted in the last line.
struct TFindings {
  std::ostream& out;
  std::vector<std::string>& problems;
  int warnings = 0;
  // Names from the database and the files are shown escaped, as in the log: no terminal
  // escape reaches the installer's screen.
  void Problem(const std::string& text) {
    problems.push_back(text);
    out << "  PROBLEM: " << EscapeLogText(text) << "\n";
  }
  void Warning(const std::string& text) {
    ++warnings;
    out << "  WARNING: " << EscapeLogText(text) << "\n";
  }
};

bool LoopbackHost(const std::string& host) {
  const std::string h = LowerCase(host);
  return h == "localhost" || h == "::1" || h.rfind("127.", 0) == 0;
}

// The status page on an address other computers reach, without a token: anyone on the
// network reads card numbers and holders' names.
void CheckStatusExposure(const platform::TIniFile& ini, TFindings& f) {
  const std::string listen = Trim(ini.ReadString("Status", "Listen", status::kDefaultListen));
  status::TListenAddress address;
  std::string error;
  if (listen.empty() || !status::ParseListen(listen, address, error) || LoopbackHost(address.host)) return;
  if (Trim(ini.ReadString("Status", "Token", "")).empty())
    f.Problem("status page: Listen=" + listen +
              " answers other computers, and without a token anyone who reaches it reads card numbers and names: "
              "set [Status] Token= in the settings file (clients send it as a bearer token), or Listen=" +
              std::string(status::kDefaultListen));
}

std::string Octal(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// The User= of the [Service] section of a unit file; "" when the file or the line is missing.
std::string UnitUser(const std::string& unitPath) {
  std::ifstream unit(unitPath);
  std::string user;
  bool service = false;
  for (std::string line; std::getline(unit, line);) {
    line = Trim(line);
    if (!line.empty() && line[0] == '[') service = line == "[Service]";
    if (service && line.rfind("User=", 0) == 0) user = Trim(line.substr(5));
  }
  return user;
}

// The user the service runs as, seen from here: this process's user, or, for a check run as
// root, the user of the unit that starts the service (the local unit, else the package's).
uid_t ServiceUid(const platform::FileLayout& layout) {
  if (::geteuid() != 0) return ::geteuid();
  std::string user = UnitUser(platform::UnitFilePath());
  if (user.empty() && layout.installed) user = UnitUser("/lib/systemd/system/" + std::string(platform::kUnitName));
  if (const passwd* pw = user.empty() ? nullptr : ::getpwnam(user.c_str())) return pw->pw_uid;
  return 0;
}

// Folders and files another user can write (a link planted there, settings rewritten), and
// secrets every user can read.
void CheckFilePermissions(const platform::FileLayout& layout, const std::string& registry, const std::string& settings,
                          TFindings& f) {
  for (const std::string& finding : platform::WritableByOthers(layout, ServiceUid(layout)))
    f.Problem(finding + ": another user could plant a link there or change what the service reads; "
                        "give it to the service's user or root and take the write permission away (chmod go-w)");
  const std::filesystem::path registryPath(registry);
  const std::string registryDir = registryPath.parent_path().string();
  struct stat st {};
  if (registryDir != layout.home && registryDir != layout.configDir && registryDir != layout.logDir &&
      ::stat(registry.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0)
    f.Problem("registry file " + registry + " can be written by every user (mode " + Octal(st.st_mode) +
              "): chmod o-w " + registry);
  if (::stat(registry.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0)
    f.Warning("registry file " + registry + " can be read by every user (mode " + Octal(st.st_mode) +
              "), and the database password in it is only scrambled: chmod o-r " + registry);
  const platform::TIniFile ini(settings);
  if (::stat(settings.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0 &&
      !Trim(ini.ReadString("Status", "Token", "")).empty())
    f.Warning("settings file " + settings + " can be read by every user (mode " + Octal(st.st_mode) +
              ") and holds the status page's token: chmod o-r " + settings);
}

// The user the service runs as: not root.
void CheckServiceUser(TFindings& f) {
  if (::geteuid() == 0)
    f.Warning("this check runs as root: the service should run as its own user (the package's unit runs it as " +
              std::string(platform::kDefaultServiceUser) +
              ", INSTALL's as the user it names), and the check as that user: sudo -u <user> tarncard check");
  if (!std::filesystem::exists(platform::UnitFilePath())) return;
  const std::string user = UnitUser(platform::UnitFilePath());
  if (user.empty() || user == "root" || user == "0")
    f.Problem("the unit " + platform::UnitFilePath() +
              " runs the service as root: run tarncard INSTALL again (its unit names a user and keeps the service "
              "in a sandbox)");
}

// Site choices that weaken access control.
void CheckAccessChoices(const platform::TIniFile& ini, const TConnParams& params, TFindings& f) {
  if (ini.ReadBool("Settings", "Low Security on DB Error", false))
    f.Warning("settings file: Low Security on DB Error=1: every card opens the gate while the database cannot be "
              "reached; set it to 0 unless the site wants that");
  TRegistryEx reg("\\Software\\Brevanta\\Tarn\\");
  reg.ReadStr("Pass");
  const std::string driver =
      params.DSNName.empty() ? params.ODBCDriver : TODBC::DataSourceValue(params.DSNName, "Driver");
  if (reg.ValueMissing && !ContainsText(driver, "sqlite"))
    f.Warning("no Pass in the registry: the built-in password is in use, which everyone who has this program knows; "
              "give the database user a password of its own and store it as \"Pass\" (tarncard scramble <password>)");
}

}  // namespace

int RunSiteCheck(std::ostream& out) {
  std::vector<std::string> problems;
  TFindings findings{out, problems};
  auto problem = [&](const std::string& text) { findings.Problem(text); };

  if (const std::string unreadable = platform::RegistryFileProblem(); !unreadable.empty()) problem(unreadable);
  TConnParams params;
  std::string computer = LowerCase(TTARNCard::ReadComputerName());
  platform::FileLayout layout = platform::CurrentLayout();
  out << "Home folder:   " << layout.home << "\n";
  out << "Configuration: " << layout.configDir << "\n";
  out << "Log folder:    " << layout.logDir << "\n";
  out << "Computer name: " << computer << "\n";
  out << "Database:      " << params.Database << " on " << params.Host << "\n";
  out << "ODBC:          " << (params.DSNName.empty() ? "driver {" + params.ODBCDriver + "}" : "data source " + params.DSNName)
      << ", options " << params.ConnectOptions() << "\n";
  if (!params.DSNName.empty() && TODBC::FamilyOf(TODBC::DataSourceValue(params.DSNName, "Driver")) == dfMySQL) {
    // The service adds the matched-rows flag when it connects; other programs that use the
    // same data source do not, and read an UPDATE that changed nothing as "no row".
    const std::string option = Trim(TODBC::DataSourceValue(params.DSNName, "OPTION"));
    if ((StrToIntDef(option, 0) & TODBC::kFoundRowsFlag) == 0)
      findings.Warning("data source " + params.DSNName + " (MySQL family) has " +
                       (option.empty() ? std::string("no OPTION") : "OPTION=" + option) +
                       " without the matched-rows flag " + std::to_string(TODBC::kFoundRowsFlag) +
                       "; the service adds it, add it in odbc.ini for every other program");
  }

  TODBC odbc;
  TODBCConn conn(700, "");
  conn.ODBC = &odbc;
  conn.SetParams(params.DSNName, params.ODBCDriver, params.Database, params.User, params.Pass,
                 params.ConnectOptions());
  conn.ServerHost = params.Host;
  conn.AttemptWaitMs = -1;  // the check waits for the attempt's own end
  if (!odbc.Loaded()) {
    problem("the ODBC driver manager (libodbc.so.2) cannot be loaded");
  } else if (!conn.Connect()) {
    problem("cannot connect to the database (check the registry values, the ODBC driver and the server)");
  }

  platform::TIniFile ini(platform::SettingsFilePath());
  if (odbc.Connected()) {
    out << "Connected:     " << HidePassword(odbc.ConnectionInfo()) << "\n";
    TODBCStatement st(&odbc);
    std::set<std::string> missingTables;
    for (auto& [table, columns] : kRequired) {
      std::string names = st.GetColumnNames(table);
      if (names.empty()) {
        problem(std::string("table ") + table + " is missing");
        missingTables.insert(table);
        continue;
      }
      std::set<std::string> have;
      for (auto& n : Split(names, ',')) have.insert(UpperCase(Trim(n)));
      for (const char* c : columns)
        if (!have.count(UpperCase(c))) problem(std::string("column ") + table + "." + c + " is missing");
    }
    if (!missingTables.count("settings") && !st.DoSQL("SELECT * FROM settings"))
      problem("table settings has no row");

    std::vector<std::pair<int, std::string>> loops;
    std::string quoted = ReplaceAll(computer, "'", "''");
    if (st.DoSQL("SELECT * FROM " + TLoop::LoopTableName(odbc) + " WHERE name = '" + quoted + "'")) {
      do loops.emplace_back(st.FieldAsInteger("id"), "this computer");
      while (st.dbSkip(skNext, 1));
    }
    size_t own = loops.size();
    if (st.DoSQL("SELECT * FROM " + TLoop::LoopTableName(odbc) + " WHERE UPPER(name) = 'POE/POF'")) {
      do loops.emplace_back(st.FieldAsInteger("id"), "POE/POF soft counts");
      while (st.dbSkip(skNext, 1));
    }
    if (missingTables.count("loop")) {
      // Already named: without the table there is no loop to look at.
    } else if (loops.empty()) problem("no loop for computer name \"" + computer + "\" and no POE/POF loop");
    else if (own == 0) out << "No loop for computer name \"" << computer << "\"; POE/POF soft counts only\n";

    std::map<std::string, int> portOwners;  // serial device -> the enabled loop that opens it
    for (auto& [id, why] : loops) {
      const std::string loopName = "loop " + std::to_string(id);
      TODBCStatement ls(&odbc);
      if (!ls.DoSQLFmt("SELECT * FROM " + TLoop::LoopTableName(odbc) + " WHERE id = %d", id)) continue;
      bool enabled = ls.FieldAsBoolean("enabled");
      int port = ls.FieldAsInteger("port");
      out << "Loop " << id << " (" << why << "): " << (enabled ? "enabled" : "disabled");
      std::string portProblem;
      bool serialInUse = false;
      if (enabled) {
        std::string device = readerbus::SerialDeviceForPort(port, ini.FileName());
        out << ", COM" << port << " = " << device << (ls.FieldAsBoolean("rfmodem") ? ", RF modem" : "");
        portProblem = SerialDeviceProblem(device, serialInUse);
        if (serialInUse) out << " (in use by another program, the running service perhaps)";
        auto [owner, fresh] = portOwners.emplace(device, id);
        if (!fresh && portProblem.empty())
          portProblem = "serial device " + device + " is also the port of loop " + std::to_string(owner->second) +
                        ": only one of them can open it";
      }
      out << "\n";
      if (!portProblem.empty()) problem(loopName + ": " + portProblem);
      if (enabled && portProblem.empty()) {
        const std::string device = readerbus::SerialDeviceForPort(port, ini.FileName());
        std::vector<std::string> notes;
        const readerbus::TLineOptions options = readerbus::ReadLineOptions(ini, port, &notes);
        for (const std::string& note : notes) problem("settings file: " + note);
        // Opened as the service would, without taking it: the driver is asked what the
        // service asks, so the timer read afterwards is the one the loop will run with.
        std::unique_ptr<readerbus::TFdChannel> channel;
        if (!serialInUse) {
          const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
          if (fd >= 0) channel = std::make_unique<readerbus::TFdChannel>(fd);
        }
        for (const TSerialLineCheck& line : CheckSerialLine(device, options, channel.get(), "")) {
          if (line.kind == TSerialLineCheck::Problem) problem(loopName + ": " + line.text);
          else if (line.kind == TSerialLineCheck::Warning) out << "  WARNING: " << loopName << ": " << line.text << "\n";
          else out << "  " << line.text << "\n";
        }
      }
      TODBCStatement ds(&odbc);
      if (!missingTables.count("device") && ds.DoSQLFmt("SELECT * FROM device WHERE loop_id=%d", id)) {
        std::map<int, std::string> seen;
        do {
          int a = ds.FieldAsInteger("addr_ess");
          const std::string name = ds.FieldAsString("name");
          out << "  address " << a << ": " << EscapeLogText(name) << " ("
              << DeviceTypeName(ds.FieldAsInteger("device_type")) << ")\n";
          if (a < 1 || a > 48)
            problem(loopName + ": device address " + std::to_string(a) + " (" + name +
                    ") is outside 1..48: the service does not set that device up");
          else if (auto [prev, fresh] = seen.emplace(a, name); !fresh)
            problem(loopName + ": devices " + prev->second + " and " + name + " share address " + std::to_string(a));
        } while (ds.dbSkip(skNext, 1));
      } else if (enabled) {
        out << "  no devices\n";
      }
    }
  }

  {
    // The loops take each line timing within its range; a value outside is named here.
    std::string timings;
    for (const char* key : {"RespDelay", "TurnAround", "PollDelay"}) {
      const int read = ini.ReadInteger("Settings", key, 0);
      const int used = TLoop::LineTiming(read);
      timings += std::string(timings.empty() ? "" : ", ") + key + " " + std::to_string(used) + " ms";
      if (used != read) problem("settings file: " + TLoop::LineTimingNote(key, read, used));
    }
    out << "Line timings:  " << timings << "\n";
  }

  {
    // Offline decisions: the local copy's age and what waits in the journal.
    const TOfflineSettings offline = ReadOfflineSettings(ini.FileName());
    out << "Offline decisions: "
        << (offline.decisions ? "on, the local copy taken every " + std::to_string(offline.copyMinutes) + " minutes"
                              : std::string("off"))
        << "\n";
    std::error_code ec;
    const std::string copyPath = platform::HomeDir() + "/" + TOfflineStore::kCopyFile;
    const std::string journalPath = platform::HomeDir() + "/" + TOfflineStore::kJournalFile;
    if (std::filesystem::exists(copyPath, ec)) {
      std::string error;
      if (const std::optional<TCopyFacts> copy = ReadCopyFacts(copyPath, &error)) {
        const int64_t age = SecondsBetweenSigned(Now(), copy->taken);
        out << "Offline copy:  " << copyPath << ", taken " << FormatDateTime("YYYY-MM-DD HH:NN:SS", copy->taken)
            << " (" << age / 60 << " min " << age % 60 << " s ago), " << copy->cards << " cards\n";
      } else {
        out << "  WARNING: offline copy " << copyPath << " cannot be read (" << error
            << "); run the check as the service's user\n";
      }
    } else if (offline.decisions) {
      out << "Offline copy:  none yet (taken once the service reaches the database)\n";
    }
    if (std::filesystem::exists(journalPath, ec)) {
      std::string error;
      if (const std::optional<TJournalFacts> journal = ReadJournalFacts(journalPath, &error)) {
        out << "Offline journal: " << journal->entries << " writes waiting for the database, " << journal->bytes
            << " bytes";
        if (journal->oldest > 0) out << ", the oldest of " << FormatDateTime("YYYY-MM-DD HH:NN:SS", journal->oldest);
        out << "\n";
      } else {
        out << "  WARNING: offline journal " << journalPath << " cannot be read (" << error
            << "); run the check as the service's user\n";
      }
    }
  }

  {  // the status page's address ([Status] Listen; empty: off)
    const std::string listen = Trim(ini.ReadString("Status", "Listen", status::kDefaultListen));
    status::TListenAddress address;
    std::string error;
    bool inUse = false;
    if (listen.empty()) {
      out << "Status page: off\n";
    } else if (!status::ParseListen(listen, address, error)) {
      problem("status page: Listen=" + listen + " is not valid (" + error + ")");
    } else if (status::CanBind(address, error, &inUse)) {
      out << "Status page: " << listen << " can be bound\n";
    } else if (inUse) {
      out << "Status page: " << listen << " is in use (by the running service perhaps)\n";
    } else {
      problem("status page: cannot listen on " + listen + " (" + error + ")");
    }
  }

  std::string server = ini.ReadString("Settings", "Email Server", "");
  if (!server.empty()) {
    int port = ini.ReadInteger("Settings", "Email Port", 25);
    std::string error;
    if (TcpReachable(server, port, 3000, error))
      out << "E-mail server: " << server << ":" << port << " answers\n";
    else
      problem("e-mail server " + server + ":" + std::to_string(port) + " is unreachable (" + error + ")");
  }

  // How the site is exposed and run.
  CheckStatusExposure(ini, findings);
  CheckFilePermissions(layout, platform::RegistryFilePath(), ini.FileName(), findings);
  CheckServiceUser(findings);
  CheckAccessChoices(ini, params, findings);

  if (problems.empty()) {
    out << "OK: nothing wrong found";
    if (findings.warnings > 0) out << ", " << findings.warnings << " warning(s) above";
    out << "\n";
    return 0;
  }
  out << problems.size() << " problem(s) found\n";
  return 1;
}

}  // namespace tarn
