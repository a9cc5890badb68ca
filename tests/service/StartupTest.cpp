// The service start-up without a database: the log story of a failed start, the restart
// rule, and the real executable in the foreground stopping on SIGTERM.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "platform/MainLoop.h"
#include "support/ServiceTestSupport.h"
#include "service/TTARNCard.h"
#include "support/HttpProbe.h"
#include "support/ScratchDir.h"
#include "util/DateTime.h"

using namespace tarn;
using tarn::testing::Messages;
using tarn::testing::ReadLogLines;

namespace {

// A registry whose database cannot be reached: a driver that does not exist.
void WriteDeadRegistry(const std::filesystem::path& file) {
  std::ofstream out(file);
  out << "Windows Registry Editor Version 5.00\r\n\r\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\Brevanta\\Tarn]\r\n"
      << "\"ODBCDriver\"=\"No Such Driver\"\r\n";
}

int CountOf(const std::vector<std::string>& messages, const std::string& text) {
  return static_cast<int>(std::count(messages.begin(), messages.end(), text));
}

struct EnvGuard {
  explicit EnvGuard(const std::filesystem::path& home) {
    setenv("TARNCARD_HOME", home.c_str(), 1);
    setenv("TARNCARD_REGISTRY", (home / "registry.reg").c_str(), 1);
  }
  ~EnvGuard() {
    unsetenv("TARNCARD_HOME");
    unsetenv("TARNCARD_REGISTRY");
  }
};

}  // namespace

TEST(ServiceStartup, FailedConnectionIsRetriedAfterTwentyOneSeconds) {
  auto home = tarn::testing::ScratchDir("service");
  EnvGuard env(home);
  WriteDeadRegistry(home / "registry.reg");
  TDateTime t = EncodeDateTime(2026, 12, 8, 10, 0, 0);  // a Tuesday
  ScopedClock clock([&] { return t; });

  platform::TMainLoop loop;
  TTARNCard service(loop);
  service.ServiceExecute();
  service.tmrRestartTimer();  // the first tick starts at once
  EXPECT_FALSE(service.Started);
  auto messages = Messages(ReadLogLines(home));
  ASSERT_TRUE(std::filesystem::exists(home / "log" / "vtsql3.log"));
  EXPECT_EQ(CountOf(messages, "Starting server, Reading Registry"), 1);

  t += 20.0 / 86400;  // 20 s later: still waiting
  service.tmrRestartTimer();
  EXPECT_EQ(CountOf(Messages(ReadLogLines(home)), "Starting server, Reading Registry"), 1);

  t += 1.0 / 86400;  // 21 s after the failure: the next attempt
  service.tmrRestartTimer();
  EXPECT_EQ(CountOf(Messages(ReadLogLines(home)), "Starting server, Reading Registry"), 2);
  EXPECT_TRUE(service.tmrRestart.Enabled());
  service.ServiceStop();
  service.ServiceStop();  // a second stop frees nothing twice
  EXPECT_FALSE(service.Started);
}

TEST(ServiceStartup, ExecutableLogsAFailedStartAndStopsOnSigterm) {
  auto home = tarn::testing::ScratchDir("service");
  WriteDeadRegistry(home / "registry.reg");
  std::string exe = std::string(TARNCARD_BINARY_DIR) + "/tarncard";
  tarn::testing::ChildProcess child(
      exe, {}, {"TARNCARD_HOME=" + home.string(), "TARNCARD_REGISTRY=" + (home / "registry.reg").string()});
  ASSERT_TRUE(tarn::testing::WaitFor(
      [&] {
        auto m = Messages(ReadLogLines(home));
        return std::find(m.begin(), m.end(), "End Log") != m.end();
      },
      20000));
  auto lines = ReadLogLines(home);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0].substr(0, 24), std::string(21, '.') + " - ");
  EXPECT_NE(lines[0].find("   Version - 1.0.0.0"), std::string::npos);
  std::regex stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d \d\d/\d\d/\d\d - .*)");
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_TRUE(std::regex_match(lines[i], stamp)) << lines[i];
  auto m = Messages(lines);
  std::vector<std::string> expected = {"Start Log", "Starting server, Reading Registry",
                                       "Connecting to: 127.0.0.1, Database: gtd",
                                       "Failed connection, check ODBC install and parameters, retrying in 20 seconds",
                                       "ShutDown...", "End Log"};
  size_t at = 1;
  for (auto& e : expected) {
    auto it = std::find(m.begin() + static_cast<long>(at), m.end(), e);
    ASSERT_NE(it, m.end()) << "missing or out of order: " << e;
    at = static_cast<size_t>(it - m.begin()) + 1;
  }
  EXPECT_NE(std::find(m.begin(), m.end(), "Could not connect to DataSource, check your setup..."), m.end());
  child.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(child.Wait(2000, status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// As root the service does not start where another user can write: it says what is wrong
// on standard error and ends with status 1, before it writes anything there.
TEST(ServiceStartup, RootRefusesFoldersAndFilesOthersCanWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs the executable as root";
  struct Case {
    const char* what;
    std::function<void(const std::filesystem::path& home)> make;
    const char* said;
  };
  const std::vector<Case> cases = {
      {"a home every user can write", [](const auto& h) { ::chmod(h.c_str(), 0777); }, "can be written by every user"},
      {"a log folder of another user", [](const auto& h) { ::chown((h / "log").c_str(), 65534, 65534); },
       "/log belongs to user"},
      {"a registry file every user can write", [](const auto& h) { ::chmod((h / "registry.reg").c_str(), 0666); },
       "registry.reg can be written by every user"},
  };
  const std::string exe = std::string(TARNCARD_BINARY_DIR) + "/tarncard";
  for (const Case& c : cases) {
    auto home = tarn::testing::ScratchDir("service-root");
    ::chmod(home.c_str(), 0755);
    std::filesystem::create_directories(home / "log");
    ::chmod((home / "log").c_str(), 0755);
    WriteDeadRegistry(home / "registry.reg");
    ::chmod((home / "registry.reg").c_str(), 0644);
    c.make(home);
    auto [status, out] = tarn::testing::RunCommand("TARNCARD_HOME=" + home.string() +
                                                  " TARNCARD_REGISTRY=" + (home / "registry.reg").string() +
                                                  " timeout 20 " + exe);
    EXPECT_EQ(status, 1) << c.what << "\n" << out;
    EXPECT_EQ(out.rfind("Refusing to run as root", 0), 0u) << c.what << "\n" << out;
    EXPECT_NE(out.find(c.said), std::string::npos) << c.what << "\n" << out;
    EXPECT_TRUE(ReadLogLines(home).empty()) << c.what << ": nothing written there";
  }
}

TEST(ServiceStartup, UnderSystemdEveryLineGoesToTheJournalWithItsPriority) {
  auto home = tarn::testing::ScratchDir("service-journal");
  WriteDeadRegistry(home / "registry.reg");
  // The status page's own line goes to standard error too, before the log exists.
  const std::string page = "http://127.0.0.1:" + std::to_string(tarn::testing::FreeLoopbackPort()) + "/";
  std::ofstream(home / "tarncard.ini") << "[Status]\nListen=" << page.substr(7, page.size() - 8) << "\n";
  std::string exe = std::string(TARNCARD_BINARY_DIR) + "/tarncard";
  auto run = [&](const std::string& name, bool matching) {
    // The child's standard error is a file, named by JOURNAL_STREAM as systemd names its
    // stream (or, not matching, an inherited variable that names another one).
    auto errFile = home / name;
    int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    struct stat st {};
    fstat(fd, &st);
    std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + (matching ? 0 : 1));
    int saved = ::dup(STDERR_FILENO);
    ::dup2(fd, STDERR_FILENO);
    std::error_code ec;
    std::filesystem::remove_all(home / "log", ec);
    auto child = std::make_unique<tarn::testing::ChildProcess>(
        exe, std::vector<std::string>{},
        std::vector<std::string>{"TARNCARD_HOME=" + home.string(),
                                 "TARNCARD_REGISTRY=" + (home / "registry.reg").string(), "JOURNAL_STREAM=" + stream});
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(fd);
    EXPECT_TRUE(tarn::testing::WaitFor(
        [&] {
          auto m = Messages(ReadLogLines(home));
          return std::find(m.begin(), m.end(), "End Log") != m.end();
        },
        20000));
    child->Signal(SIGTERM);
    int status = 0;
    EXPECT_TRUE(child->Wait(5000, status));
    return tarn::testing::ReadFile(errFile);
  };

  std::string err = run("journal.txt", true);
  std::regex line(R"(^<[346]>\d\d:\d\d:\d\d\.\d\d\d \d\d/\d\d/\d\d - .*$|^<6>\.{21} - .*$)");
  std::istringstream in(err);
  std::string l;
  int lines = 0;
  while (std::getline(in, l)) {
    ++lines;
    EXPECT_TRUE(std::regex_match(l, line)) << l;
  }
  EXPECT_GE(lines, 8) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(<6>[^\n]* - Starting server, Reading Registry\n)"))) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(<3>[^\n]* - Failed connection, check ODBC install)"))) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(<6>[^\n]* - End Log\n)"))) << err;
  EXPECT_NE(err.find(" - Status page on " + page + "\n"), std::string::npos) << err;
  // The day file is exactly what it is without the journal.
  for (auto& f : ReadLogLines(home)) EXPECT_NE(f.front(), '<') << f;

  // A variable inherited with standard error sent elsewhere: no log line on standard error,
  // and the status page's line in its plain form.
  EXPECT_EQ(run("elsewhere.txt", false), "Status page on " + page + "\n");
}
