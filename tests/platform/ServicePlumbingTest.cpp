#include <gtest/gtest.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/CommandLine.h"
#include "platform/Home.h"
#include "platform/MainLoop.h"
#include "platform/Notify.h"
#include "platform/Signals.h"
#include "platform/SystemdUnit.h"
#include "support/ScratchDir.h"

namespace {
namespace fs = std::filesystem;
using namespace tarn::platform;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l == line) return true;
  return false;
}

CommandLine Parse(std::vector<std::string> args) {
  CommandLine cmd;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(args, cmd, error)) << error;
  EXPECT_TRUE(error.empty());
  return cmd;
}

std::string ParseError(std::vector<std::string> args) {
  CommandLine cmd;
  std::string error;
  EXPECT_FALSE(ParseCommandLine(args, cmd, error));
  return error;
}

TEST(CommandLineParse, SwitchesInAnyCaseAndPrefix) {
  EXPECT_EQ(Parse({}).action, CommandAction::Run);
  for (const char* s : {"INSTALL", "install", "/Install", "-INSTALL", "--install"})
    EXPECT_EQ(Parse({s}).action, CommandAction::Install) << s;
  CommandLine c = Parse({"/uninstall", "-Silent"});
  EXPECT_EQ(c.action, CommandAction::Uninstall);
  EXPECT_TRUE(c.silent);
  c = Parse({"SILENT", "Install"});
  EXPECT_EQ(c.action, CommandAction::Install);
  EXPECT_TRUE(c.silent);
  EXPECT_FALSE(Parse({"install"}).silent);
  EXPECT_EQ(Parse({"--help"}).action, CommandAction::Help);
  EXPECT_EQ(Parse({"-h"}).action, CommandAction::Help);
  EXPECT_EQ(Parse({"/?"}).action, CommandAction::Help);
  EXPECT_EQ(Parse({"--version"}).action, CommandAction::Version);
  EXPECT_EQ(Parse({"check"}).action, CommandAction::Check);
  c = Parse({"--scramble", "-not a switch-"});
  EXPECT_EQ(c.action, CommandAction::Scramble);
  EXPECT_EQ(c.scrambleText, "-not a switch-");

  const char* argv[] = {"tarncard", "/INSTALL", "silent"};
  std::string error;
  ASSERT_TRUE(ParseCommandLine(3, argv, c, error));
  EXPECT_EQ(c.action, CommandAction::Install);
  EXPECT_TRUE(c.silent);
}

TEST(CommandLineParse, ErrorsSayWhatIsWrong) {
  EXPECT_NE(ParseError({"--instal"}).find("Unknown switch \"--instal\""), std::string::npos);
  EXPECT_NE(ParseError({""}).find("Unknown switch"), std::string::npos);
  EXPECT_NE(ParseError({"---install"}).find("Unknown switch"), std::string::npos);
  EXPECT_NE(ParseError({"install", "uninstall"}).find("Only one action"), std::string::npos);
  EXPECT_NE(ParseError({"scramble"}).find("SCRAMBLE needs"), std::string::npos);
  EXPECT_NE(UsageText("tarncard").find("INSTALL"), std::string::npos);
}

TEST(SystemdUnitFile, TextHoldsEveryKey) {
  std::string t = UnitFileText("/opt/tarn/tarncard", "/opt/tarn", "tarncard", "tarncard");
  for (const char* line :
       {"[Unit]", "Description=TARN Card Access Controller", "[Service]", "Type=notify",
        "ExecStart=/opt/tarn/tarncard", "Environment=TARNCARD_HOME=/opt/tarn", "Restart=on-failure",
        "WatchdogSec=60", "TimeoutStartSec=infinity", "User=tarncard", "Group=tarncard", "SupplementaryGroups=dialout",
        "NoNewPrivileges=yes", "ProtectSystem=strict", "ReadWritePaths=/opt/tarn", "ProtectHome=yes",
        "PrivateTmp=yes", "DevicePolicy=closed", "DeviceAllow=char-ttyS rw", "DeviceAllow=char-ttyUSB rw",
        "DeviceAllow=char-ttyACM rw", "DeviceAllow=char-pts rw", "MemoryMax=256M", "TasksMax=256", "[Install]",
        "WantedBy=multi-user.target"})
    EXPECT_TRUE(HasLine(t, line)) << line << "\n" << t;

  // Blanks, specifiers, variables and quotes in paths are taken literally.
  t = UnitFileText("/opt/my tarn/50%$x\"q", "/srv/a b%c", "tarncard", "tarncard");
  EXPECT_TRUE(HasLine(t, "ExecStart=\"/opt/my tarn/50%%$$x\\\"q\"")) << t;
  EXPECT_TRUE(HasLine(t, "Environment=\"TARNCARD_HOME=/srv/a b%%c\"")) << t;
  EXPECT_TRUE(HasLine(t, "ReadWritePaths=\"/srv/a b%%c\"")) << t;
  EXPECT_THROW(UnitFileText("/opt/x\nExecStartPre=/bin/evil", "/opt", "tarncard", "tarncard"), std::invalid_argument);
  EXPECT_THROW(UnitFileText("/opt/x", "/opt", "me\nUser=root", "tarncard"), std::invalid_argument);

  // A home folder among the users' folders: those hidden all the same, the home bound back.
  t = UnitFileText("/home/pi/tarn/tarncard", "/home/pi/tarn", "pi", "pi");
  EXPECT_TRUE(HasLine(t, "ProtectHome=tmpfs")) << t;
  EXPECT_TRUE(HasLine(t, "BindPaths=/home/pi/tarn")) << t;
  EXPECT_FALSE(HasLine(t, "ProtectHome=yes")) << t;
}

// INSTALL's unit keeps the package's sandbox line for line: only what names this site (the
// program, its folders, its user) and what the package's layout needs differ.
TEST(SystemdUnitFile, SameSandboxAsThePackagesUnit) {
  std::ifstream in(std::string(TARNCARD_SOURCE_DIR) + "/packaging/TARNCard.service");
  ASSERT_TRUE(in.good());
  const std::string mine = UnitFileText("/opt/tarn/tarncard", "/opt/tarn", "tarncard", "tarncard");
  bool service = false;
  int compared = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("[", 0) == 0) service = line == "[Service]";
    if (!service || line.empty() || line[0] == '#' || line[0] == '[') continue;
    const std::string key = line.substr(0, line.find('='));
    // Site-specific in INSTALL's unit; the same value in the package's own way.
    if (key == "ExecStart" || key == "ReadWritePaths" || key == "User" || key == "Group") continue;
    EXPECT_TRUE(HasLine(mine, line)) << "the package's unit has \"" << line << "\", INSTALL's does not\n" << mine;
    ++compared;
  }
  EXPECT_GE(compared, 35);
}

TEST(FileLayout, HomeFolderForDevelopmentFhsWhenInstalled) {
  // Development: the folder of the executable, or $TARNCARD_HOME; the log in its log/ folder.
  auto l = ResolveLayout("/work/build/tarncard", nullptr, nullptr, nullptr);
  EXPECT_FALSE(l.installed);
  EXPECT_EQ(l.home, "/work/build");
  EXPECT_EQ(l.configDir, "/work/build");
  EXPECT_EQ(l.logDir, "/work/build/log");
  l = ResolveLayout("/work/build/tarncard", "/srv/site/", "", "");
  EXPECT_EQ(l.home, "/srv/site");
  EXPECT_EQ(l.configDir, "/srv/site");
  EXPECT_EQ(l.logDir, "/srv/site/log");

  // The packaged program: configuration in /etc, state in /var/lib, the log in /var/log.
  for (const char* exe : {"/usr/sbin/tarncard", "/usr/bin/tarncard-sim", "/usr/sbin/../sbin/tarncard"}) {
    l = ResolveLayout(exe, nullptr, nullptr, nullptr);
    EXPECT_TRUE(l.installed) << exe;
    EXPECT_EQ(l.home, "/var/lib/tarncard");
    EXPECT_EQ(l.configDir, "/etc/tarncard");
    EXPECT_EQ(l.logDir, "/var/log/tarncard");
  }
  // Not the package's folders: a home folder.
  EXPECT_FALSE(ResolveLayout("/usr/local/lib/tarncard/tarncard", nullptr, nullptr, nullptr).installed);
  EXPECT_FALSE(ResolveLayout("/opt/usr/sbin/tarncard", nullptr, nullptr, nullptr).installed);

  // $TARNCARD_HOME turns even the packaged program into the home-folder way, and the two
  // folder variables move configuration and log in either layout.
  l = ResolveLayout("/usr/sbin/tarncard", "/tmp/scratch", nullptr, nullptr);
  EXPECT_FALSE(l.installed);
  EXPECT_EQ(l.configDir, "/tmp/scratch");
  l = ResolveLayout("/usr/sbin/tarncard", nullptr, "/srv/conf/", "/srv/logs");
  EXPECT_TRUE(l.installed);
  EXPECT_EQ(l.home, "/var/lib/tarncard");
  EXPECT_EQ(l.configDir, "/srv/conf");
  EXPECT_EQ(l.logDir, "/srv/logs");
}

class UnitInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tarn::testing::ScratchDir("platform");
    units_ = dir_ / "units";
    setenv("TARNCARD_UNIT_DIR", units_.c_str(), 1);
    setenv("TARNCARD_HOME", dir_.c_str(), 1);
    setenv("TARNCARD_USER", "nobody", 1);  // a user every Debian has
  }
  void TearDown() override {
    unsetenv("TARNCARD_UNIT_DIR");
    unsetenv("TARNCARD_USER");
  }
  fs::path dir_, units_;
};

TEST_F(UnitInstall, InstallAndUninstallIntoTheUnitFolder) {
  fs::path unit = units_ / "TARNCard.service";
  EXPECT_EQ(UnitFilePath(), unit.string());

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(InstallUnit(false), 0);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("installed"), std::string::npos);
  EXPECT_EQ(ReadAll(unit), UnitFileText(ExePath(), dir_.string(), "nobody", "nogroup"));
  EXPECT_FALSE(fs::exists(unit.string() + ".tmp"));

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(InstallUnit(true), 0);  // again, silently: replaced
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(UninstallUnit(true), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(fs::exists(unit));

  ::testing::internal::CaptureStderr();
  EXPECT_NE(UninstallUnit(false), 0);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("not installed"), std::string::npos);
}

// The user the unit runs the service as: named, or the home folder's owner, never root.
TEST_F(UnitInstall, TheServiceRunsAsANamedUserNeverRoot) {
  const fs::path unit = units_ / "TARNCard.service";
  struct Case {
    const char* what;
    const char* user;  // $TARNCARD_USER; null: not set
    uid_t owner;       // of the home folder
    const char* expect;  // the User= line, or a part of the error
    bool installs;
  };
  const std::vector<Case> cases = {
      {"named", "nobody", 0, "User=nobody", true},
      {"the home folder's owner", nullptr, 65534, "User=nobody", true},
      {"named wins over the owner", "daemon", 65534, "User=daemon", true},
      {"root named", "root", 0, "does not run as root", false},
      {"no such user", "no-such-user-here", 0, "there is no user no-such-user-here", false},
      {"a root home and no tarncard user", nullptr, 0, "there is no user tarncard", false},
  };
  const bool root = ::geteuid() == 0;
  for (const Case& c : cases) {
    if (c.owner != 0 && !root) continue;  // giving the folder away needs root
    if (!c.user && std::string(c.expect).find("tarncard") != std::string::npos && ::getpwnam("tarncard") != nullptr)
      continue;  // this machine has the package's user
    if (c.user)
      setenv("TARNCARD_USER", c.user, 1);
    else
      unsetenv("TARNCARD_USER");
    if (root) {
      ASSERT_EQ(::chown(dir_.c_str(), c.owner, 0), 0);
    }
    fs::remove(unit);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const int rc = InstallUnit(true);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();
    if (c.installs) {
      EXPECT_EQ(rc, 0) << c.what << "\n" << err;
      EXPECT_TRUE(HasLine(ReadAll(unit), c.expect)) << c.what << "\n" << ReadAll(unit);
    } else {
      EXPECT_NE(rc, 0) << c.what;
      EXPECT_NE(err.find(c.expect), std::string::npos) << c.what << "\n" << err;
      EXPECT_FALSE(fs::exists(unit)) << c.what;
    }
  }
  if (root) ::chown(dir_.c_str(), 0, 0);
}

TEST_F(UnitInstall, UnwritableFolderFails) {
  std::ofstream(dir_ / "plain") << "x";
  setenv("TARNCARD_UNIT_DIR", (dir_ / "plain" / "units").c_str(), 1);
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  EXPECT_NE(InstallUnit(false), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Cannot write"), std::string::npos);
}

class NotifySocket : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    if (fd_ >= 0) close(fd_);
  }
  // Binds a datagram socket: a path, or an abstract name when it starts with '@'.
  void Bind(const std::string& name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(name.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    if (name[0] == '@') {
      addr.sun_path[0] = '\0';
      len -= 1;
    }
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), len), 0) << strerror(errno);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  std::string Receive() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return "<nothing>";
    char buf[256];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
  }
  int fd_ = -1;
};

TEST_F(NotifySocket, PathAndAbstractSockets) {
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(SdNotify("READY=1"));  // not run by systemd: nothing to do

  auto dir = tarn::testing::ScratchDir("platform");
  Bind((dir / "n.sock").string());
  EXPECT_TRUE(SdNotify("READY=1"));
  EXPECT_EQ(Receive(), "READY=1");
  EXPECT_TRUE(SdNotify("STATUS=Waiting for the database\nWATCHDOG=1"));
  EXPECT_EQ(Receive(), "STATUS=Waiting for the database\nWATCHDOG=1");
  close(fd_);
  fd_ = -1;
  EXPECT_FALSE(SdNotify("STOPPING=1"));  // nobody listens: reported, never raised

  Bind("@tarncard-notify-test-" + std::to_string(getpid()));
  EXPECT_TRUE(SdNotify("STOPPING=1"));
  EXPECT_EQ(Receive(), "STOPPING=1");

  setenv("NOTIFY_SOCKET", "relative/path", 1);
  EXPECT_FALSE(SdNotify("READY=1"));
  setenv("NOTIFY_SOCKET", ("/" + std::string(200, 'x')).c_str(), 1);
  EXPECT_FALSE(SdNotify("READY=1"));
}

// A receiver that does not read (its queue full) never holds the sender for long: a watchdog
// message is dropped at once, any other state is tried for about a second.
TEST_F(NotifySocket, AReceiverThatDoesNotReadNeverHoldsTheSender) {
  Bind("@tarncard-notify-full-" + std::to_string(getpid()));
  const auto sendTook = [](const std::string& state, bool& sent) {
    const auto began = std::chrono::steady_clock::now();
    sent = SdNotify(state);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
  };
  bool sent = true;
  int queued = 0;
  while (queued < 10000 && sendTook("WATCHDOG=1", sent) < 100 && sent) ++queued;
  EXPECT_FALSE(sent) << "the queue never filled";
  EXPECT_GT(queued, 0);
  const struct {
    const char* state;
    long atLeastMs;
    long atMostMs;
  } cases[] = {
      {"WATCHDOG=1", 0, 100},
      {"STOPPING=1", 500, 3000},
  };
  for (const auto& c : cases) {
    const long took = sendTook(c.state, sent);
    EXPECT_FALSE(sent) << c.state;
    EXPECT_GE(took, c.atLeastMs) << c.state;
    EXPECT_LE(took, c.atMostMs) << c.state;
  }
  // Once the receiver reads, messages arrive again.
  while (Receive() == "WATCHDOG=1") {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) break;
  }
  EXPECT_TRUE(SdNotify("STOPPING=1"));
}

TEST(NotifyWatchdog, IntervalIsHalfTheTimeout) {
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
  EXPECT_EQ(SdWatchdogIntervalMs(), 0u);
  setenv("WATCHDOG_USEC", "30000000", 1);
  EXPECT_EQ(SdWatchdogIntervalMs(), 15000u);
  setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
  EXPECT_EQ(SdWatchdogIntervalMs(), 15000u);
  setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);
  EXPECT_EQ(SdWatchdogIntervalMs(), 0u);
  unsetenv("WATCHDOG_PID");
  setenv("WATCHDOG_USEC", "soon", 1);
  EXPECT_EQ(SdWatchdogIntervalMs(), 0u);
  unsetenv("WATCHDOG_USEC");
}

TEST(SignalWatcher, TermAndHangUpReachTheCallbackAndQuitTheLoop) {
  TMainLoop loop;
  std::atomic<int> last{0};
  std::atomic<int> count{0};
  {
    TSignalWatcher watcher([&](int sig) {
      last = sig;
      ++count;
      loop.Quit();
    });
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    loop.Run();  // ends through the callback
    EXPECT_EQ(last, SIGTERM);
    ASSERT_EQ(kill(getpid(), SIGHUP), 0);
    ASSERT_TRUE(loop.RunUntil([&] { return count == 2; }, 5000));
    EXPECT_EQ(last, SIGHUP);
    ASSERT_EQ(kill(getpid(), SIGPIPE), 0);  // ignored, the process lives on
  }
  EXPECT_EQ(count, 2);
}

}  // namespace
