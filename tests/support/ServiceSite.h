#pragma once
// A site computer for end-to-end runs: a home folder with its registry file (pointing at a
// test database, with the computer's own name) and settings file, a simulator per loop
// whose pseudo-terminal the settings file maps to the loop's COM port, and the real
// `tarncard` executable running as a child process in that home.
//
// Header only: whoever includes it also links tests/support/ServiceTestSupport.cpp (the
// child process and log reading helpers) and tests/support/SimProcess.cpp.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/ServiceTestSupport.h"
#include "support/SimProcess.h"
#include "support/SiteFiles.h"
#include "support/TestDatabase.h"

namespace tarn::testing {

class TSiteComputer {
 public:
  // `home` is emptied first; the registry names `computerName` as this computer.
  TSiteComputer(const std::filesystem::path& home, const tarn::test::ConnectionParams& params,
                const std::string& computerName)
      : home_(home) {
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
    std::filesystem::create_directories(home_);
    WriteRegistry(home_ / "registry.reg", params, computerName, true);
  }
  ~TSiteComputer() {
    // The service first, so it never sees its line vanish under it.
    service_.reset();
    sims_.clear();
  }
  TSiteComputer(const TSiteComputer&) = delete;
  TSiteComputer& operator=(const TSiteComputer&) = delete;

  // Starts a simulator with `devices` for the loop on COM`port`; null when it did not start.
  TSimProcess* AddLoop(int port, const std::vector<std::string>& devices) {
    auto sim = std::make_unique<TSimProcess>(devices);
    if (!sim->Started()) return nullptr;
    ports_[port] = sim->PtyPath();
    sims_.push_back(std::move(sim));
    WriteSettings();
    return sims_.back().get();
  }
  // Extra "key=value" lines of the settings file's [Settings] section.
  void SetSetting(const std::string& key, const std::string& value) {
    settings_[key] = value;
    WriteSettings();
  }

  // A key of the settings file's [Status] section (the status page). Unless set, Listen is
  // empty: test sites run side by side and must not compete for the default port.
  void SetStatus(const std::string& key, const std::string& value) {
    status_[key] = value;
    WriteSettings();
  }

  // Runs the service; `env` adds variables ("NAME=value") to the child's environment.
  void Start(const std::vector<std::string>& env = {}) {
    std::vector<std::string> all = {"TARNCARD_HOME=" + home_.string(),
                                    "TARNCARD_REGISTRY=" + (home_ / "registry.reg").string()};
    all.insert(all.end(), env.begin(), env.end());
    service_ = std::make_unique<ChildProcess>(ExecutablePath(), std::vector<std::string>{}, all);
  }
  bool Running() const { return service_ != nullptr; }
  // SIGTERM and wait; the wait status, or -1 when the process did not end in time.
  int Stop(int timeoutMs = 20000) {
    if (!service_) return -1;
    service_->Signal(SIGTERM);
    int status = 0;
    bool ended = service_->Wait(timeoutMs, status);
    service_.reset();
    return ended ? status : -1;
  }
  pid_t Pid() const { return service_ ? service_->Pid() : -1; }

  const std::filesystem::path& Home() const { return home_; }
  std::vector<std::string> LogMessages() const { return Messages(ReadLogLines(home_)); }
  // Number of log messages that contain `text`.
  size_t CountLog(const std::string& text) const {
    auto m = LogMessages();
    return static_cast<size_t>(
        std::count_if(m.begin(), m.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }
  // Waits until at least `count` log messages contain `text`.
  bool WaitLog(const std::string& text, int timeoutMs, size_t count = 1) const {
    return WaitFor([&] { return CountLog(text) >= count; }, timeoutMs);
  }
  std::string LogText() const {
    std::string out;
    for (auto& l : ReadLogLines(home_)) out += l + "\n";
    return out;
  }

  static std::string ExecutablePath() {
    const char* dir = std::getenv("TARNCARD_BUILD_DIR");
    return std::string(dir ? dir : TARNCARD_BINARY_DIR) + "/tarncard";
  }

 private:
  void WriteSettings() {
    std::ofstream out(home_ / "tarncard.ini", std::ios::trunc);
    out << "[Ports]\n";
    for (auto& [port, path] : ports_) out << "COM" << port << "=" << path << "\n";
    out << "[Settings]\n";
    for (auto& [key, value] : settings_) out << key << "=" << value << "\n";
    out << "[Status]\n";
    if (!status_.count("Listen")) out << "Listen=\n";
    for (auto& [key, value] : status_) out << key << "=" << value << "\n";
  }

  std::filesystem::path home_;
  std::map<int, std::string> ports_;
  std::map<std::string, std::string> settings_;
  std::map<std::string, std::string> status_;
  std::vector<std::unique_ptr<TSimProcess>> sims_;
  std::unique_ptr<ChildProcess> service_;
};

// Frames the host sent, as the simulator printed them.
inline bool IsHostFrame(const std::string& line, int addr, char cmd) {
  return JsonString(line, "t") == "frame" && JsonInt(line, "addr") == addr &&
         JsonString(line, "cmd") == std::string(1, cmd);
}

// Waits for a frame to `addr` with letter `cmd` (and, when given, data for which `data`
// holds) after output line `from`.
inline std::optional<std::string> WaitHostFrame(TSimProcess& sim, int addr, char cmd, size_t from, int timeoutMs,
                                                 const std::function<bool(const std::string&)>& data = nullptr) {
  return sim.WaitFor(
      [&](const std::string& l) { return IsHostFrame(l, addr, cmd) && (!data || data(JsonString(l, "data"))); },
      timeoutMs, from);
}

// The end-to-end site, loaded into a fresh database with the reference schema:
//   loop 1 "e2e-one" (COM1 of computer E2E-ONE), loop 2 "e2e-two" (COM1 of computer
//   E2E-TWO), loop 3 "POE/POF" (disabled: soft counts of the pay station only).
//   Loop 1, device ids 100 + address:
//     1 entry reader (dir 1, msg set 2, pulse 7, lot-full output 3 and sign of lot 1)
//     2 exit reader (dir 2, pulse 4)      3 lift reader (dir 3, no passback, pulse 3)
//     4 ticket dispenser (type 1)         5 exit ticket reader (type 2, dir 2, pulse 9)
//     6 vehicle counter (input 1 adds to lot 2)
//   Loop 2: 201 lift reader at address 1 (dir 3, pulse 5). Loop 3: 301 pay station.
//   Lot 1 "Main" (capacity 100) gains one for every accepted card at 101, 103 and 201 and
//   every pay-station passage (soft counts, input 7); an exit at 102 takes one away.
//   Card 1001 (Ann Lee) is valid at every reader at any time.
inline bool LoadSite(tarn::test::TestDatabase& db, std::string* failed) {
  const std::string loop = db.backend() == tarn::test::Backend::MariaDB ? "`loop`" : "loop";
  const std::vector<std::string> rows = {
      "INSERT INTO " + loop + " (id, name, enabled, port, rfmodem) VALUES (1, 'e2e-one', 1, 1, 0), "
      "(2, 'e2e-two', 1, 1, 0), (3, 'POE/POF', 0, 0, 0)",
      "INSERT INTO device (id, loop_id, addr_ess, name, msg_id, dir_ection, open_pulse, device_type, lot_id, "
      "lf_enabled, lf_output, lf_sign) VALUES "
      "(101, 1, 1, 'Entry 1', 2, 1, 7, 0, 1, 1, 3, 1), (102, 1, 2, 'Exit 2', 2, 2, 4, 0, 1, 0, 0, 0), "
      "(103, 1, 3, 'Lift 3', 2, 3, 3, 0, 1, 0, 0, 0), (104, 1, 4, 'Dispenser 4', 1, 1, 6, 1, 1, 0, 0, 0), "
      "(105, 1, 5, 'Ticket exit 5', 1, 2, 9, 2, 1, 0, 0, 0), (106, 1, 6, 'Counter 6', 1, 0, 0, 0, 2, 0, 0, 0), "
      "(201, 2, 1, 'B Lift 1', 2, 3, 5, 0, 1, 0, 0, 0), (301, 3, 1, 'Pay station', 1, 0, 0, 0, 1, 0, 0, 0)",
      "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
      "not_on_path) VALUES "
      "(1, 'Idle one', 'Up one', 'Hello %f', 'No card %c', 'No access', 'Inactive', 'PB', 'Group', 'Path'), "
      "(2, 'Idle two', 'Gate held open', 'Welcome %f %l', 'Card %c unknown', 'No access two', 'Inactive two', "
      "'Passback %f', 'Group two', 'Path two')",
      "INSERT INTO card_type (id, name, access_level_id, no_expiry_flg, msg_id) VALUES (1, 'Plain', 1, 1, 0)",
      "INSERT INTO card (number, type_id, first_name, last_name, space_no, in_lot) VALUES "
      "(1001, 1, 'Ann', 'Lee', 0, 0)",
      "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
      "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
      "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 101), (1, 102), (1, 103), (1, 201)",
      "INSERT INTO settings (reset_vtsql, soft_group, soft_path, soft_pb, stup_pbrst) VALUES (0, 0, 0, 0, 0)",
      "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'Main', 0, 100), (2, 'Upper', 0, 50)",
      "INSERT INTO counters (id, lot_id) VALUES (1, 1), (2, 2)",
      "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (101, 7, 1, 1), (102, 7, 1, 2), "
      "(103, 7, 1, 1), (201, 7, 1, 1), (301, 7, 1, 1), (106, 2, 2, 1)",
  };
  for (const auto& sql : rows)
    if (!db.Exec(sql)) {
      if (failed) *failed = sql;
      return false;
    }
  return true;
}

// The text a lot-full sign is sent for `free` spaces.
inline std::string SignText(int free) { return std::string("\x14" "1\r\x16") + std::to_string(free) + "\\1\\1"; }

}  // namespace tarn::testing
