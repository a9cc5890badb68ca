#pragma once
// A loop controller against a real database and the simulator: the fixture creates the
// database (SQLite or MariaDB), a scratch home folder under the build folder with the
// registry file that points at the database and the settings file, and the main loop on
// the test thread that receives the loop's device events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "config/TRegistryEx.h"
#include "loop/TLoop.h"
#include "platform/IniFile.h"
#include "platform/MainLoop.h"
#include "service/LoopAssembly.h"
#include "support/SimProcess.h"
#include "support/TestDatabase.h"
#include "util/Strings.h"

namespace tarn::test {

class LoopTest : public BackendTest {
 protected:
  static constexpr int kWait = 15000;

  std::string Prefix() const override { return "tarn_loop"; }

  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped()) return;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    home_ = TestOutputDir("loop-home/" + name);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(home_, ec))
      std::filesystem::remove_all(entry.path(), ec);
    ::setenv("TARNCARD_HOME", home_.c_str(), 1);
    WriteRegistry(true);
  }

  void TearDown() override {
    ::unsetenv("TARNCARD_HOME");
    ::unsetenv("TARNCARD_REGISTRY");
    BackendTest::TearDown();
  }

  // The registry values of the fixture's database, as an installation would hold them.
  void WriteRegistry(bool debugLog) {
    const ConnectionParams& p = Db().Params();
    const std::string path = home_ + "/registry.reg";
    std::ofstream out(path, std::ios::trunc);
    auto str = [&](const std::string& name, const std::string& value) {
      std::string v;
      for (char c : value) {
        if (c == '\\' || c == '"') v += '\\';
        v += c;
      }
      out << "\"" << name << "\"=\"" << v << "\"\n";
    };
    out << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\n";
    str("DSNName", p.DSNName);
    str("Host", "");  // the server is on this machine: no reachability check
    str("Database", p.Database);
    str("User", p.User);
    str("Pass", Scramble(p.Password));
    str("ODBCDriver", p.Driver);
    str("ODBCOptions", p.ConnectOptions);
    out << "\"DebugLog\"=dword:0000000" << (debugLog ? 1 : 0) << "\n";
    out.close();
    ::setenv("TARNCARD_REGISTRY", path.c_str(), 1);
  }

  std::string SettingsPath() const { return home_ + "/tarncard.ini"; }
  platform::TIniFile Settings() const { return platform::TIniFile(SettingsPath()); }
  void MapPort(int port, const std::string& device) {
    Settings().WriteString("Ports", "COM" + std::to_string(port), device);
  }

  // A loop row and a simulator whose pty is the loop's port.
  std::unique_ptr<testing::TSimProcess> StartSim(int port, const std::vector<std::string>& devices) {
    auto sim = std::make_unique<testing::TSimProcess>(devices);
    if (sim->Started()) MapPort(port, sim->PtyPath());
    return sim;
  }

  std::string LoopTable() const { return GetParam() == Backend::MariaDB ? "`loop`" : "loop"; }
  bool Exec(const std::string& sql) { return Db().Exec(sql); }
  // Upper-case column names of a table.
  std::vector<std::string> Columns(const std::string& table) {
    TODBCStatement q(&Db().ODBC());
    return SplitCommaText(q.GetColumnNames(table));
  }
  bool HasColumn(const std::string& table, const std::string& column) {
    auto c = Columns(table);
    return std::find(c.begin(), c.end(), UpperCase(column)) != c.end();
  }
  std::string Query(const std::string& sql) { return Db().QueryText(sql); }
  std::optional<int64_t> QueryInt(const std::string& sql) { return Db().QueryNumber(sql); }
  std::string LogText() { return Db().LogText(); }
  bool LogHas(const std::string& text) { return LogText().find(text) != std::string::npos; }

  std::unique_ptr<TLoop> MakeLoop(int loopId) { return MakeSiteLoop(Db().Log(), loopId); }

  bool RunUntil(const std::function<bool()>& pred, uint32_t ms = kWait) { return main_.RunUntil(pred, ms); }
  // Pumps the main loop until the simulator has printed a line for which pred holds.
  std::optional<std::string> WaitSim(testing::TSimProcess& sim,
                                     const std::function<bool(const std::string&)>& pred,
                                     size_t from = 0) {
    std::optional<std::string> found;
    main_.RunUntil(
        [&] {
          found = sim.WaitFor(pred, 0, from);
          return found.has_value();
        },
        kWait);
    return found;
  }

  platform::TMainLoop main_;
  std::string home_;
};

inline bool IsFrame(const std::string& line, int addr, const std::string& cmd) {
  return testing::JsonString(line, "t") == "frame" && testing::JsonInt(line, "addr") == addr &&
         testing::JsonString(line, "cmd") == cmd;
}

}  // namespace tarn::test
