// `tarncard check` against real sites on both databases: a sound site passes, and every
// problem an installer has to fix is named, each once, with a non-zero status.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "readerbus/SerialPort.h"
#include "service/SiteCheck.h"
#include "service/StatusServer.h"
#include "metrics/StatusStore.h"
#include "support/HttpProbe.h"
#include "support/ScratchDir.h"
#include "support/SiteFiles.h"
#include "support/TestDatabase.h"

namespace tarn::test {
namespace {

const char* const kComputer = "LANE-PC";

class SiteCheckTest : public BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_demo_check"; }

  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    home_ = ::tarn::testing::ScratchDir("check");
    site_ = std::make_unique<::tarn::testing::SiteHome>(home_);
    std::string error;
    master_ = std::make_unique<readerbus::TFdChannel>(readerbus::OpenPtyMaster(pty_, &error));
    ASSERT_GE(master_->Fd(), 0) << error;
    WriteRegistry(Db().Params());
    MapPort(1, pty_);
    ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES "
                     "(1, 'lane-pc', 1, 1, 0), (2, 'other-pc', 1, 9, 0)"));
    ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, device_type) VALUES "
                     "(101, 1, 1, 'Entry 1', 0), (102, 1, 2, 'Exit 2', 0), (103, 1, 3, 'Dispenser 3', 1), "
                     "(201, 2, 60, 'Elsewhere', 0)"));
    ASSERT_TRUE(Exec("INSERT INTO settings (reset_vtsql) VALUES (0)"));
  }

  void TearDown() override {
    site_.reset();
    master_.reset();
    BackendTest::TearDown();
  }

  void WriteRegistry(const ConnectionParams& params) {
    ::tarn::testing::WriteRegistry(site_->Registry(), params, kComputer);
  }
  void MapPort(int port, const std::string& device) {
    std::ofstream(site_->Settings(), std::ios::app) << "[Ports]\nCOM" << port << "=" << device << "\n";
  }
  void RewritePorts(const std::string& text) { std::ofstream(site_->Settings(), std::ios::trunc) << text; }
  std::string LoopTable() const { return backend() == Backend::MariaDB ? "`loop`" : "loop"; }
  bool Exec(const std::string& sql) { return Db().Exec(sql); }

  int Check() {
    std::ostringstream out;
    const int status = RunSiteCheck(out);
    output_ = out.str();
    return status;
  }
  bool Says(const std::string& text) const { return output_.find(text) != std::string::npos; }
  int Count(const std::string& text) const {
    int n = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++n;
    return n;
  }

  std::filesystem::path home_;
  std::unique_ptr<::tarn::testing::SiteHome> site_;
  std::unique_ptr<readerbus::TFdChannel> master_;
  std::string pty_;
  std::string output_;
};

TEST_P(SiteCheckTest, SoundSitePassesAndShowsWhatWouldRun) {
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("Computer name: lane-pc")) << output_;
  EXPECT_TRUE(Says("Loop 1 (this computer): enabled, COM1 = " + pty_ + "\n")) << output_;
  EXPECT_TRUE(Says("  address 1: Entry 1 (card reader)")) << output_;
  EXPECT_TRUE(Says("  address 3: Dispenser 3 (ticket dispenser)")) << output_;
  // Another computer's loop is not this computer's business.
  EXPECT_FALSE(Says("Elsewhere")) << output_;
  EXPECT_TRUE(Says("OK: nothing wrong found")) << output_;
  EXPECT_EQ(0, Count("PROBLEM")) << output_;
}

TEST_P(SiteCheckTest, MariaDBDataSourceWithoutTheMatchedRowsFlagIsWarnedAbout) {
  if (backend() != Backend::MariaDB) GTEST_SKIP() << "a MariaDB data source";
  const std::string ini = (home_ / "odbc.ini").string();
  auto writeIni = [&](const std::string& option) {
    std::ofstream(ini, std::ios::trunc) << "[site_db]\nDriver=MariaDB Unicode\nSERVER=127.0.0.1\nPORT="
                                        << MariaDBTestPort() << "\nDATABASE=" << Db().Params().Database
                                        << "\n" << option;
  };
  setenv("ODBCINI", ini.c_str(), 1);
  ConnectionParams p = Db().Params();
  p.DSNName = "site_db";
  p.Driver = "";
  p.ConnectOptions = "";
  WriteRegistry(p);
  writeIni("OPTION=1\n");
  EXPECT_EQ(0, Check()) << output_;  // a warning, not a problem: the service adds the flag
  EXPECT_TRUE(Says("WARNING: data source site_db (MySQL family) has OPTION=1 without the matched-rows flag 2"))
      << output_;
  writeIni("OPTION=3\n");
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_FALSE(Says("WARNING: data source")) << output_;
  unsetenv("ODBCINI");
}

TEST_P(SiteCheckTest, NamesEveryProblemOnceAndFails) {
  RewritePorts("[Ports]\nCOM1=" + (home_ / "no-such-tty").string() + "\n");
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (160, 1, 60, 'Far away')"));
  ASSERT_TRUE(Exec("DROP TABLE spots"));
  ASSERT_TRUE(Exec("DROP TABLE settings"));
  ASSERT_TRUE(Exec("ALTER TABLE lot DROP COLUMN max_capacity"));

  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 1: serial device " + (home_ / "no-such-tty").string() + " does not exist"))
      << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 1: device address 60 (Far away) is outside 1..48")) << output_;
  EXPECT_TRUE(Says("PROBLEM: table spots is missing")) << output_;
  EXPECT_TRUE(Says("PROBLEM: table settings is missing")) << output_;
  EXPECT_TRUE(Says("PROBLEM: column lot.max_capacity is missing")) << output_;
  // A missing table is one problem, not also "has no row".
  EXPECT_FALSE(Says("settings has no row")) << output_;
  EXPECT_EQ(5, Count("PROBLEM")) << output_;
  EXPECT_TRUE(Says("5 problem(s) found")) << output_;
  EXPECT_FALSE(Says("OK: nothing wrong found")) << output_;
}

TEST_P(SiteCheckTest, SerialDevicesThatAreNoTerminalOrAreSharedAreProblems) {
  const std::string plain = (home_ / "plain-file").string();
  std::ofstream(plain) << "not a tty\n";
  RewritePorts("[Ports]\nCOM1=" + plain + "\nCOM2=/dev/null\nCOM3=" + pty_ + "\n");
  ASSERT_TRUE(Exec("INSERT INTO " + LoopTable() + " (id, name, enabled, port, rfmodem) VALUES "
                   "(3, 'lane-pc', 1, 2, 0), (4, 'lane-pc', 1, 3, 0), (5, 'lane-pc', 1, 3, 0), "
                   "(6, 'lane-pc', 0, 1, 0)"));
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 1: " + plain + " is not a serial device (not a character device)")) << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 3: /dev/null is not a serial device (tty)")) << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 5: serial device " + pty_ + " is also the port of loop 4")) << output_;
  // A disabled loop opens no port: its device is not checked.
  EXPECT_FALSE(Says("PROBLEM: loop 6")) << output_;
  EXPECT_EQ(3, Count("PROBLEM")) << output_;
}

// Line timings the loops would not take as written are named with the value used instead.
TEST_P(SiteCheckTest, LineTimingsOutOfRangeAreProblems) {
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("Line timings:  RespDelay 0 ms, TurnAround 0 ms, PollDelay 0 ms\n")) << output_;
  std::ofstream(site_->Settings(), std::ios::app) << "[Settings]\nRespDelay=-1\nTurnAround=70000\nPollDelay=25\n";
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: settings file: Setting RespDelay = -1 is outside 0..10000 ms: 0 is used")) << output_;
  EXPECT_TRUE(Says("PROBLEM: settings file: Setting TurnAround = 70000 is outside 0..10000 ms: 10000 is used"))
      << output_;
  EXPECT_TRUE(Says("Line timings:  RespDelay 0 ms, TurnAround 10000 ms, PollDelay 25 ms\n")) << output_;
  EXPECT_EQ(2, Count("PROBLEM")) << output_;
}

// Each loop's line: its latency timer (a pseudo-terminal has none), and RS-485 mode asked
// for where the driver cannot do it. The check reads the port's keys but writes none back.
TEST_P(SiteCheckTest, SerialLineOfEachLoopIsReported) {
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("Loop 1 (this computer): enabled, COM1 = " + pty_ + "\n  latency timer: none (not a USB adapter "
                   "that has one)\n  address 1:")) << output_;
  EXPECT_FALSE(Says("RS-485")) << output_;

  const std::string ports = "[Ports]\nCOM1=" + pty_ + "\nCOM1 RS485=1\nCOM1 RS485 Delay After Send=200\n";
  RewritePorts(ports);
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: settings file: Setting COM1 RS485 Delay After Send = 200 is outside 0..100 ms: 100 is "
                   "used\n")) << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 1: Serial line " + pty_ + " cannot be put in RS-485 mode (COM1 RS485=1): the "
                   "driver has no such setting.")) << output_;
  EXPECT_EQ(2, Count("PROBLEM")) << output_;
  std::ifstream in(site_->Settings());
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), ports);
}

TEST_P(SiteCheckTest, SharedAddressesAndMissingLoopsAreProblems) {
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (104, 1, 2, 'Exit 2b')"));
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 1: devices Exit 2 and Exit 2b share address 2")) << output_;

  ASSERT_TRUE(Exec("UPDATE " + LoopTable() + " SET name = 'gone-pc' WHERE id = 1"));
  ASSERT_TRUE(Exec("DELETE FROM device WHERE id = 104"));
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: no loop for computer name \"lane-pc\" and no POE/POF loop")) << output_;

  // A POE/POF loop alone is a site that only keeps soft counts.
  ASSERT_TRUE(Exec("UPDATE " + LoopTable() + " SET name = 'POE/POF', enabled = 0 WHERE id = 1"));
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("POE/POF soft counts only")) << output_;
}

TEST_P(SiteCheckTest, ConnectionReportKeepsThePasswordOut) {
  ConnectionParams params = Db().Params();
  // The SQLite driver ignores a password but repeats it in the connect string it returns.
  if (params.Password.empty()) params.Password = "s3cret-Word";
  WriteRegistry(params);
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("Connected:")) << output_;
  EXPECT_FALSE(Says("PWD=" + params.Password)) << output_;
  EXPECT_FALSE(Says("PASSWORD=" + params.Password)) << output_;
}

TEST_P(SiteCheckTest, UnreachableDatabaseIsAProblem) {
  ConnectionParams params = Db().Params();
  params.Driver = "No Such Driver";
  WriteRegistry(params);
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: cannot connect to the database")) << output_;
  EXPECT_EQ(1, Count("PROBLEM")) << output_;
}

// A registry file that is there but cannot be read is named as such, not taken for an
// empty registry: saved as UTF-16 without its byte-order mark, then replaced by a folder.
TEST_P(SiteCheckTest, UnreadableRegistryFileIsAProblem) {
  std::string wide;
  {
    std::ifstream in(site_->Registry(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    for (char c : ss.str()) wide += std::string{c, '\0'};
  }
  std::ofstream(site_->Registry(), std::ios::binary | std::ios::trunc) << wide;
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: Registry file " + site_->Registry().string() +
                   " is neither UTF-8 nor UTF-16LE with a byte-order mark (byte 1): its values may be missing or "
                   "wrong"))
      << output_;

  std::filesystem::remove(site_->Registry());
  std::filesystem::create_directory(site_->Registry());
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: Registry file " + site_->Registry().string() +
                   " cannot be read (not a regular file): the built-in defaults are used"))
      << output_;

  // No file at all is an empty registry, not a problem of its own.
  std::filesystem::remove(site_->Registry());
  Check();
  EXPECT_FALSE(Says("Registry file")) << output_;
}

TEST_P(SiteCheckTest, StatusPageAddressIsChecked) {
  const std::string ports = "[Ports]\nCOM1=" + pty_ + "\n[Status]\n";
  const int free = ::tarn::testing::FreeLoopbackPort();
  RewritePorts(ports + "Listen=127.0.0.1:" + std::to_string(free) + "\n");
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("Status page: 127.0.0.1:" + std::to_string(free) + " can be bound\n")) << output_;

  // Held by a listener (the running service perhaps): said, but no problem.
  metrics::TStatusStore store;
  status::TStatusServer holder(store, "");
  ASSERT_TRUE(holder.Start(status::TListenAddress{"127.0.0.1", 0})) << holder.Error();
  const std::string held = "127.0.0.1:" + std::to_string(holder.Port());
  RewritePorts(ports + "Listen=" + held + "\n");
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("Status page: " + held + " is in use (by the running service perhaps)")) << output_;

  RewritePorts(ports + "Listen=\n");
  EXPECT_EQ(0, Check()) << output_;
  EXPECT_TRUE(Says("Status page: off")) << output_;

  RewritePorts(ports + "Listen=127.0.0.1:99999\n");
  EXPECT_EQ(1, Check()) << output_;
  EXPECT_TRUE(Says("PROBLEM: status page: Listen=127.0.0.1:99999 is not valid (the port is outside 1..65535)"))
      << output_;
}

// How the site is exposed and run: each weakness is named once, as a problem (the check
// fails) or a warning (it passes), with its fix; undone, it is gone again.
TEST_P(SiteCheckTest, ExposureAndPermissionsAreNamedWithTheirFix) {
  namespace fs = std::filesystem;
  const fs::path log = home_ / "log";
  fs::create_directories(log);
  const fs::path units = home_ / "units";
  fs::create_directories(units);
  setenv("TARNCARD_UNIT_DIR", units.c_str(), 1);
  const std::string ports = "[Ports]\nCOM1=" + pty_ + "\n";
  const std::string page = "0.0.0.0:" + std::to_string(::tarn::testing::FreeLoopbackPort());
  auto mode = [](const fs::path& p, mode_t m) { return [p, m] { ::chmod(p.c_str(), m); }; };
  auto settings = [&](const std::string& text) { return [this, text] { RewritePorts(text); }; };
  struct Case {
    const char* what;
    std::function<void()> make, undo;
    const char* kind;  // "PROBLEM" or "WARNING"
    std::string said;
  };
  const std::vector<Case> cases = {
      {"the page on every address without a token", settings(ports + "[Status]\nListen=" + page + "\nToken=\n"),
       settings(ports), "PROBLEM", "status page: Listen=" + page + " answers other computers"},
      {"a settings file every user can write", mode(site_->Settings(), 0666), mode(site_->Settings(), 0644), "PROBLEM",
       site_->Settings().string() + " can be written by every user (mode 0666)"},
      {"a registry file every user can write", mode(site_->Registry(), 0622), mode(site_->Registry(), 0600),
       "PROBLEM", site_->Registry().string() + " can be written by every user (mode 0622)"},
      {"a registry file every user can read", mode(site_->Registry(), 0644), mode(site_->Registry(), 0600), "WARNING",
       "registry file " + site_->Registry().string() + " can be read by every user (mode 0644)"},
      {"a home folder every user can write", mode(home_, 0777), mode(home_, 0755), "PROBLEM",
       "folder " + home_.string() + " can be written by every user (mode 0777)"},
      {"a log folder every user can write", mode(log, 01777), mode(log, 0755), "PROBLEM",
       "folder " + log.string() + " can be written by every user (mode 1777)"},
      {"a unit that runs the service as root",
       [&] { std::ofstream(units / "TARNCard.service") << "[Service]\nExecStart=/opt/tarn/tarncard\n"; },
       [&] { fs::remove(units / "TARNCard.service"); }, "PROBLEM",
       "the unit " + (units / "TARNCard.service").string() + " runs the service as root"},
      {"the gate open without a database", settings(ports + "[Settings]\nLow Security on DB Error=1\n"),
       settings(ports), "WARNING", "settings file: Low Security on DB Error=1: every card opens the gate"},
  };
  ::chmod(site_->Registry().c_str(), 0600);
  ASSERT_EQ(0, Check()) << output_;
  const int before = Count("WARNING");
  for (const Case& c : cases) {
    c.make();
    const int status = Check();
    EXPECT_EQ(status, std::string(c.kind) == "PROBLEM" ? 1 : 0) << c.what << "\n" << output_;
    EXPECT_EQ(1, Count(std::string(c.kind) + ": " + c.said)) << c.what << "\n" << output_;
    EXPECT_EQ(Count("PROBLEM") + Count("WARNING"), before + 1) << c.what << ": one finding\n" << output_;
    if (std::string(c.kind) == "WARNING") {
      EXPECT_TRUE(Says("OK: nothing wrong found, " + std::to_string(before + 1) + " warning(s) above")) << output_;
    }
    c.undo();
    EXPECT_EQ(0, Check()) << c.what << " undone\n" << output_;
    EXPECT_EQ(before, Count("WARNING")) << c.what << " undone\n" << output_;
  }
  {  // with a token the page may face the network
    RewritePorts(ports + "[Status]\nListen=" + page + "\nToken=t0ken\n");
    EXPECT_EQ(0, Check()) << output_;
    EXPECT_FALSE(Says("status page: Listen")) << output_;
    RewritePorts(ports);
  }
  // Run as root, the check says so, and judges the folders for the user the unit names.
  Check();
  EXPECT_EQ(Says("WARNING: this check runs as root"), ::geteuid() == 0) << output_;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(log.c_str(), 65534, 65534), 0);  // the log folder is nobody's
    EXPECT_EQ(1, Check()) << output_;
    EXPECT_TRUE(Says("PROBLEM: folder " + log.string() + " belongs to user nobody")) << output_;
    std::ofstream(units / "TARNCard.service") << "[Service]\nExecStart=/opt/tarn/tarncard\nUser=nobody\n";
    EXPECT_EQ(0, Check()) << "the service runs as nobody\n" << output_;
    fs::remove(units / "TARNCard.service");
    ASSERT_EQ(::chown(log.c_str(), 0, 0), 0);
  }
  // Names from the database reach the installer's terminal escaped.
  ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, name, device_type) VALUES "
                   "(104, 1, 4, 'Evil\x1B[2J', 0), (105, 1, 4, 'Twin', 0)"));
  Check();
  EXPECT_TRUE(Says("  address 4: Evil\\x1B[2J (card reader)")) << output_;
  EXPECT_TRUE(Says("PROBLEM: loop 1: devices Evil\\x1B[2J and Twin share address 4")) << output_;
  EXPECT_EQ(output_.find('\x1B'), std::string::npos);
  ASSERT_TRUE(Exec("DELETE FROM device WHERE id IN (104, 105)"));
  // Without Pass the built-in password is used, which matters on a server (SQLite has none).
  {
    std::ifstream in(site_->Registry(), std::ios::binary);
    std::string kept;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("\"Pass\"=", 0) != 0) kept += line + "\n";
    in.close();
    std::ofstream(site_->Registry(), std::ios::binary | std::ios::trunc) << kept;
  }
  Check();
  EXPECT_EQ(Says("WARNING: no Pass in the registry: the built-in password is in use"), backend() == Backend::MariaDB)
      << output_;
  unsetenv("TARNCARD_UNIT_DIR");
}

INSTANTIATE_TEST_SUITE_P(Backends, SiteCheckTest, TARN_BACKENDS);

}  // namespace
}  // namespace tarn::test
