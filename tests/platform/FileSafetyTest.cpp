// Files the service writes in folders someone else may have reached first: a link, a FIFO or
// a folder in the file's place is never written through, only links of root or of the
// service's own user lead the settings file elsewhere, and a folder another user can write is
// named for what it is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/FileSafety.h"
#include "platform/IniFile.h"
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

// A user and a group that are neither root nor this process (Debian's nobody and nogroup).
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

class FileSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tarn::testing::ScratchDir("file-safety");
    victim_ = dir_ / "victim";
    fs::create_directories(victim_);
    secret_ = victim_ / "root-only";
    std::ofstream(secret_) << "keep me\n";
    fs::permissions(secret_, fs::perms::owner_read | fs::perms::owner_write);
  }
  fs::path dir_, victim_, secret_;
};

// What another user may leave where the service writes: a link to a file of root's, a link
// to a file not there yet, a FIFO nobody reads, a folder.
struct Planted {
  const char* what;
  std::function<void(const fs::path& at, const fs::path& secret)> plant;
};
const std::vector<Planted> kPlanted = {
    {"a link to an existing file", [](const fs::path& at, const fs::path& secret) { fs::create_symlink(secret, at); }},
    {"a link to a new file",
     [](const fs::path& at, const fs::path& secret) { fs::create_symlink(secret.parent_path() / "new-file", at); }},
    {"a FIFO", [](const fs::path& at, const fs::path&) { ASSERT_EQ(::mkfifo(at.c_str(), 0666), 0); }},
    {"a folder", [](const fs::path& at, const fs::path&) { fs::create_directory(at); }},
};

TEST_F(FileSafety, PlantedThingsAreNeverWrittenThrough) {
  struct Writer {
    const char* what;
    std::function<bool(const fs::path&, std::string&)> write;
  };
  const std::vector<Writer> writers = {
      {"heartbeat", [](const fs::path& p, std::string& e) { return WriteRegularFile(p.string(), "1\r\n", 0644, e); }},
      {"append",
       [](const fs::path& p, std::string& e) {
         return OpenRegularFile(p.string(), O_WRONLY | O_APPEND | O_CREAT, 0644, nullptr, e).Valid();
       }},
      {"replacement", [](const fs::path& p, std::string& e) { return ReplaceFileContent(p.string(), "[a]\r\n", e); }},
  };
  for (const Writer& w : writers) {
    for (const Planted& p : kPlanted) {
      const fs::path at = dir_ / "target";
      fs::remove_all(at);
      fs::remove(victim_ / "new-file");
      p.plant(at, secret_);
      std::string error;
      const auto start = std::chrono::steady_clock::now();
      EXPECT_FALSE(w.write(at, error)) << w.what << ", " << p.what;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "a FIFO must not hold the write";
      EXPECT_FALSE(error.empty()) << w.what << ", " << p.what;
      EXPECT_EQ(ReadAll(secret_), "keep me\n") << w.what << ", " << p.what;
      EXPECT_FALSE(fs::exists(victim_ / "new-file")) << w.what << ", " << p.what;
      EXPECT_FALSE(fs::exists(dir_ / "target.tmp")) << "no stray copy: " << w.what << ", " << p.what;
    }
  }
  // The reason names the link.
  std::string error;
  fs::remove_all(dir_ / "target");
  fs::create_symlink(secret_, dir_ / "target");
  EXPECT_FALSE(WriteRegularFile((dir_ / "target").string(), "x", 0644, error));
  EXPECT_NE(error.find("is a link, which is not followed"), std::string::npos) << error;
}

TEST_F(FileSafety, OrdinaryFilesAreWrittenAndReplacedKeepingModeAndGroup) {
  const fs::path file = dir_ / "alive.txt";
  bool created = false;
  std::string error;
  {
    TFd fd = OpenRegularFile(file.string(), O_WRONLY | O_APPEND | O_CREAT, 0640, &created, error);
    ASSERT_TRUE(fd.Valid()) << error;
    EXPECT_TRUE(created);
  }
  {
    TFd fd = OpenRegularFile(file.string(), O_WRONLY | O_APPEND | O_CREAT, 0640, &created, error);
    ASSERT_TRUE(fd.Valid()) << error;
    EXPECT_FALSE(created) << "opened, not made";
  }
  ASSERT_TRUE(WriteRegularFile(file.string(), "12\r\n", 0644, error)) << error;
  ASSERT_TRUE(WriteRegularFile(file.string(), "3\r\n", 0644, error)) << error;
  EXPECT_EQ(ReadAll(file), "3\r\n");

  const fs::path ini = dir_ / "tarncard.ini";
  std::ofstream(ini) << "[Status]\r\n";
  ::chmod(ini.c_str(), 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(ini.c_str(), 0, kOtherGroup), 0);
  }
  // A copy left behind by an earlier attempt, as a link: removed, not followed.
  fs::create_symlink(secret_, dir_ / "tarncard.ini.tmp");
  ASSERT_TRUE(ReplaceFileContent(ini.string(), "[Status]\r\nHosts=\r\n", error)) << error;
  EXPECT_EQ(ReadAll(ini), "[Status]\r\nHosts=\r\n");
  EXPECT_EQ(ReadAll(secret_), "keep me\n");
  struct stat st {};
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_gid, kOtherGroup);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "tarncard.ini.tmp")));
}

TEST_F(FileSafety, SettingsLinksAreFollowedOnlyWhenRootOrTheServiceMadeThem) {
  // The real file elsewhere, behind two links the service's own user (or root) made.
  const fs::path real = victim_ / "site.ini";
  std::ofstream(real) << "[Settings]\r\nRespDelay=0\r\n";
  fs::create_symlink(real, dir_ / "middle.ini");
  fs::create_symlink("middle.ini", dir_ / "tarncard.ini");
  TIniFile ini((dir_ / "tarncard.ini").string());
  ASSERT_TRUE(ini.WriteString("Status", "Hosts", "lane-pc"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "tarncard.ini")) << "the link stays";
  EXPECT_NE(ReadAll(real).find("Hosts=lane-pc"), std::string::npos);

  if (::geteuid() != 0) GTEST_SKIP() << "a link of another user needs root to make";
  // The same link, owned by another user: not followed, nothing written anywhere.
  ASSERT_EQ(::lchown((dir_ / "middle.ini").c_str(), kOtherUser, kOtherGroup), 0);
  const std::string before = ReadAll(real);
  EXPECT_FALSE(ini.WriteString("Status", "Token", "x"));
  EXPECT_EQ(ReadAll(real), before);
  std::string target, error;
  EXPECT_FALSE(TrustedTarget((dir_ / "tarncard.ini").string(), target, error));
  EXPECT_NE(error.find("middle.ini is a link owned by user"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_symlink(dir_ / "middle.ini"));
}

TEST_F(FileSafety, WhatOtherUsersCanWriteIsNamed) {
  if (::geteuid() != 0) GTEST_SKIP() << "owners and groups of others need root to set";
  struct Case {
    const char* what;
    std::function<void(const fs::path& home)> make;
    uid_t as;
    std::vector<std::string> found;  // a part of each finding, in order
  };
  const std::vector<Case> cases = {
      {"root's folders", [](const fs::path&) {}, 0, {}},
      {"a home every user can write", [](const fs::path& h) { ::chmod(h.c_str(), 01777); }, 0,
       {"home can be written by every user (mode 1777)"}},
      {"a log folder of another user", [](const fs::path& h) { ::chown((h / "log").c_str(), kOtherUser, 0); }, 0,
       {"log belongs to user"}},
      {"a group-writable log folder", [](const fs::path& h) {
         ::chown((h / "log").c_str(), 0, kOtherGroup);
         ::chmod((h / "log").c_str(), 0775);
       },
       0, {"log can be written by group"}},
      {"root's group may write", [](const fs::path& h) { ::chmod((h / "log").c_str(), 0775); }, 0, {}},
      {"a settings file every user can write", [](const fs::path& h) { ::chmod((h / "tarncard.ini").c_str(), 0666); },
       0, {"tarncard.ini can be written by every user (mode 0666)"}},
      {"a day log of another user", [](const fs::path& h) { ::chown((h / "log" / "vtsql3.log").c_str(), kOtherUser, 0); },
       0, {"vtsql3.log belongs to user"}},
      {"a link another user planted",
       [](const fs::path& h) {
         fs::create_symlink("/etc/shadow", h / "alive.txt");
         ::lchown((h / "alive.txt").c_str(), kOtherUser, kOtherGroup);
       },
       0, {"alive.txt belongs to user"}},
      {"the service's own user owns its folders",
       [](const fs::path& h) {
         for (const fs::path& p : {h, h / "log", h / "log" / "vtsql3.log"}) ::chown(p.c_str(), kOtherUser, kOtherGroup);
         ::chmod((h / "log").c_str(), 0770);
       },
       kOtherUser, {}},
      {"the service's user, and a file every user can write",
       [](const fs::path& h) {
         ::chown(h.c_str(), kOtherUser, kOtherGroup);
         ::chmod((h / "log" / "vtsql3.log").c_str(), 0666);
       },
       kOtherUser, {"vtsql3.log can be written by every user"}},
  };
  for (const Case& c : cases) {
    const fs::path home = dir_ / "home";
    fs::remove_all(home);
    fs::create_directories(home / "log");
    ::chmod(home.c_str(), 0755);
    ::chmod((home / "log").c_str(), 0755);
    std::ofstream(home / "tarncard.ini") << "[Settings]\r\n";
    std::ofstream(home / "log" / "vtsql3.log") << "x\r\n";
    ::chmod((home / "tarncard.ini").c_str(), 0644);
    ::chmod((home / "log" / "vtsql3.log").c_str(), 0644);
    c.make(home);
    FileLayout layout;
    layout.home = layout.configDir = home.string();
    layout.logDir = (home / "log").string();
    const std::vector<std::string> found = WritableByOthers(layout, c.as);
    std::string all;
    for (const auto& f : found) all += f + "\n";
    ASSERT_EQ(found.size(), c.found.size()) << c.what << ":\n" << all;
    for (size_t i = 0; i < found.size(); ++i) EXPECT_NE(found[i].find(c.found[i]), std::string::npos) << c.what << ":\n" << all;
  }
  const std::string text = RootRefusalText({"folder /opt/tarncard can be written by every user (mode 0777)"});
  EXPECT_EQ(text.rfind("Refusing to run as root", 0), 0u) << text;
  EXPECT_NE(text.find("\n  folder /opt/tarncard can be written by every user (mode 0777)\n"), std::string::npos);
}

}  // namespace
