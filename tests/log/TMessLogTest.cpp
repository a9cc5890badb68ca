#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "log/TMessLog.h"
#include "support/ScratchDir.h"
#include "util/DateTime.h"

namespace {
namespace fs = std::filesystem;
using tarn::EncodeDateTime;
using tarn::TMessLog;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Lines without their CR LF; fails the test when a line lacks the CR.
std::vector<std::string> Lines(const fs::path& p) {
  std::vector<std::string> out;
  std::string all = ReadAll(p);
  size_t pos = 0;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    if (nl == std::string::npos) {
      ADD_FAILURE() << "unterminated last line in " << p;
      break;
    }
    EXPECT_TRUE(nl > pos && all[nl - 1] == '\r') << "line without CR LF in " << p;
    out.push_back(all.substr(pos, nl - pos - 1));
    pos = nl + 1;
  }
  return out;
}

// The message part of a "hh:nn:ss.zzz dd/mm/yy - text" line.
std::string Text(const std::string& line) { return line.size() >= 24 ? line.substr(24) : "<short: " + line + ">"; }

class MessLog : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = tarn::testing::ScratchDir("log"); }
  fs::path dir_;
  tarn::TDateTime now_ = EncodeDateTime(2026, 12, 8, 10, 0, 0);  // a Tuesday
  tarn::ScopedClock clock_{[this] { return now_; }};
};

TEST(MessLogFormat, TimeStamp) {
  EXPECT_EQ(TMessLog::TimeStamp(EncodeDateTime(2026, 1, 2, 3, 4, 5, 6)), "03:04:05.006 02/01/26");
  EXPECT_EQ(TMessLog::TimeStamp(EncodeDateTime(2026, 12, 31, 23, 59, 59, 999)), "23:59:59.999 31/12/26");
  std::string header = TMessLog::VersionHeader();
  EXPECT_EQ(header.substr(0, 24), std::string(21, '.') + " - ");
  EXPECT_NE(header.find("   Version - "), std::string::npos);
  EXPECT_TRUE(std::regex_search(header, std::regex("Version - [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$"))) << header;
}

TEST_F(MessLog, NewFileGetsHeaderThenStartLogAndEndsWithEndLog) {
  auto path = dir_ / "sub" / "server.log";  // the folder is created
  now_ = EncodeDateTime(2026, 12, 8, 7, 5, 9, 42);
  {
    TMessLog log(path.string(), false, false, false, false);
    log.Log("first");
    auto lines = Lines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], TMessLog::VersionHeader());
    EXPECT_EQ(lines[1], "07:05:09.042 08/12/26 - Start Log");
    EXPECT_EQ(lines[2], "07:05:09.042 08/12/26 - first");
  }
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Text(lines[3]), "End Log");

  // A second log on the existing file with the header suppressed appends without one.
  {
    TMessLog log(path.string(), false, false, false, true);
    log.Log("again");
  }
  lines = Lines(path);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(Text(lines[4]), "Start Log");
  EXPECT_EQ(Text(lines[5]), "again");
  EXPECT_EQ(Text(lines[6]), "End Log");

  // A file that has to be created always starts with the header.
  auto fresh = dir_ / "fresh.log";
  {
    TMessLog log(fresh.string(), false, false, false, true);
    log.Log("x");
  }
  lines = Lines(fresh);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], TMessLog::VersionHeader());
}

TEST_F(MessLog, EmptyLogWithNothingWaitingTouchesNoFile) {
  auto path = dir_ / "m.log";
  TMessLog log(path.string(), false, false, false, true);
  log.Log("");  // writes the waiting "Start Log"
  ASSERT_TRUE(fs::exists(path));
  fs::remove(path);
  log.Log("");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(log.PendingLines(), 0u);
}

TEST_F(MessLog, AddWritesTheBatchAtTheTwoHundredFiftiethLine) {
  auto path = dir_ / "batch.log";
  TMessLog log(path.string(), false, false, false, true);
  log.Log("opened");
  const std::string before = ReadAll(path);
  for (int i = 0; i < 249; ++i) EXPECT_EQ(log.Add("line " + std::to_string(i)), i);
  EXPECT_EQ(ReadAll(path), before);
  EXPECT_EQ(log.Add("line 249"), -1);
  EXPECT_EQ(log.PendingLines(), 0u);
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 3u + 250u);  // header, Start Log, opened, the batch
  EXPECT_EQ(Text(lines[3]), "line 0");
  EXPECT_EQ(Text(lines.back()), "line 249");
}

TEST_F(MessLog, DayFilesSwitchAndStartAnewAWeekLater) {
  auto base = dir_ / "log" / "vtsql.log";
  auto tue = dir_ / "log" / "vtsql3.log";
  auto wed = dir_ / "log" / "vtsql4.log";
  TMessLog log(base.string(), true, true, false, false);
  EXPECT_EQ(log.CurrentFileName(), tue.string());
  log.Log("tuesday");
  EXPECT_EQ(Text(Lines(tue).back()), "tuesday");

  // A line waiting over midnight goes into the new day's file with its own time stamp.
  now_ = EncodeDateTime(2026, 12, 8, 23, 59, 59, 500);
  log.Add("late");
  now_ = EncodeDateTime(2026, 12, 9, 0, 0, 1);
  log.Log("wednesday");
  auto w = Lines(wed);
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0], TMessLog::VersionHeader());
  EXPECT_EQ(w[1], "23:59:59.500 08/12/26 - late");
  EXPECT_EQ(Text(w[2]), "wednesday");
  EXPECT_TRUE(fs::exists(tue));

  now_ = EncodeDateTime(2026, 12, 15, 8, 0, 0);  // the next Tuesday
  log.Log("a week later");
  auto t = Lines(tue);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0], TMessLog::VersionHeader());
  EXPECT_EQ(Text(t[1]), "a week later");

  // The same weekday with no write in between is still another day's file.
  now_ = EncodeDateTime(2026, 12, 22, 8, 0, 0);
  log.Log("two weeks later");
  t = Lines(tue);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(Text(t[1]), "two weeks later");
}

// A day's file that another user replaced by a link (to a file only root may write) is not
// written through: its lines wait until the link is gone. Started anew, such a link is
// removed itself, and the file it names keeps its content and its mode.
TEST_F(MessLog, PlantedDayFileLinksAreNotWrittenThrough) {
  const auto victim = dir_ / "root-only";
  std::ofstream(victim) << "keep\n";
  fs::permissions(victim, fs::perms::owner_read);
  const auto base = dir_ / "log" / "vtsql.log";
  const auto tue = dir_ / "log" / "vtsql3.log";
  fs::create_directories(tue.parent_path());
  fs::create_symlink(victim, tue);
  {
    TMessLog log(base.string(), true, true, false, false);
    log.Log("tuesday");
    EXPECT_EQ(ReadAll(victim), "keep\n");
    EXPECT_EQ(log.PendingLines(), 1u) << "Start Log waits";
    fs::remove(tue);
    log.Log("written");
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(tue)));
    EXPECT_EQ(Text(Lines(tue).back()), "written");
  }
  // The link as last week's file: started anew at the first write.
  fs::remove(tue);
  fs::create_symlink(victim, tue);
  const timespec old[2] = {{std::time(nullptr) - 8 * 86400, 0}, {std::time(nullptr) - 8 * 86400, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tue.c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
  {
    TMessLog log(base.string(), true, true, false, false);
    log.Log("fresh");
  }
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(tue)));
  EXPECT_EQ(Text(Lines(tue)[1]), "Start Log");
  EXPECT_EQ(ReadAll(victim), "keep\n");
  EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read);
}

TEST_F(MessLog, RestartKeepsTodaysFileButNotLastWeeks) {
  auto base = dir_ / "vtsql.log";
  auto tue = dir_ / "vtsql3.log";
  {
    TMessLog log(base.string(), true, true, false, true);
    log.Log("morning");
  }
  {
    TMessLog log(base.string(), true, true, false, true);  // a server restart the same day
    log.Log("afternoon");
  }
  std::string today = ReadAll(tue);
  EXPECT_NE(today.find("morning"), std::string::npos);
  EXPECT_NE(today.find("afternoon"), std::string::npos);

  // Last written a week ago: the restart starts the file anew.
  time_t weekAgo = time(nullptr) - 7 * 86400;
  utimbuf times{weekAgo, weekAgo};
  ASSERT_EQ(utime(tue.c_str(), &times), 0);
  {
    TMessLog log(base.string(), true, true, false, true);
    log.Log("new week");
  }
  std::string fresh = ReadAll(tue);
  EXPECT_EQ(fresh.find("morning"), std::string::npos);
  EXPECT_NE(fresh.find("new week"), std::string::npos);
}

TEST_F(MessLog, ByDayOfMonthNumbersTheFilesByDate) {
  auto base = dir_ / "m.log";
  TMessLog log(base.string(), false, true, true, true);
  EXPECT_EQ(log.DayNumber(), 8);
  log.Log("x");
  EXPECT_TRUE(fs::exists(dir_ / "m8.log"));
}

TEST_F(MessLog, FormatErrorsAreReportedInTheLog) {
  auto path = dir_ / "fmt.log";
  TMessLog log(path.string(), false, false, false, true);
  EXPECT_EQ(log.LogFmt("Init %d %d", 1), -1);
  EXPECT_EQ(log.LogFmt("Card %s at %d", std::string("12345"), 4), -1);
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(Text(lines[1]), "Start Log");
  EXPECT_EQ(Text(lines[2]), "TMessLog Format() Exception!");
  EXPECT_EQ(Text(lines[3]), " - No argument for format '%d'  Init %d %d");
  EXPECT_EQ(Text(lines[4]), "Card 12345 at 4");
}

TEST_F(MessLog, OpenFailureLosesOnlyTheMessage) {
  auto path = dir_ / "blocked.log";
  fs::create_directories(path);  // a folder where the file belongs cannot be opened
  TMessLog log(path.string(), false, false, false, true);
  log.Add("waiting");
  log.Log("lost");
  EXPECT_EQ(log.PendingLines(), 2u);  // "Start Log" and "waiting"
  fs::remove(path);
  log.Log("written");
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Text(lines[1]), "Start Log");
  EXPECT_EQ(Text(lines[2]), "waiting");
  EXPECT_EQ(Text(lines[3]), "written");
}

// A barcode or a name with a line break, a terminal escape or bytes that are no UTF-8 stays
// on its own line, written as text; clean lines are written exactly as they were.
TEST_F(MessLog, ControlBytesCannotForgeALine) {
  auto path = dir_ / "forged.log";
  {
    TMessLog log(path.string(), false, false, false, true);
    log.Log("Got CardData event!  - 1  Loop - 1 - |1001\r\n10:00:00.000 08/12/26 - Card Allowed, Loop Id 1|");
    log.Add("Name \x1B[2JM\xFCller\x07");
    log.AddNoFlush("M\xC3\xBCller, Jos\xC3\xA9");
    log.Log("Card 1001 not on file");
  }
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 7u) << ReadAll(path);  // the header, Start Log, four texts, End Log
  EXPECT_EQ(Text(lines[2]), "Got CardData event!  - 1  Loop - 1 - |1001\\x0D\\x0A10:00:00.000 08/12/26 - Card Allowed, Loop Id 1|");
  EXPECT_EQ(Text(lines[3]), "Name \\x1B[2JM\\xFCller\\x07");
  EXPECT_EQ(Text(lines[4]), "M\xC3\xBCller, Jos\xC3\xA9");
  EXPECT_EQ(Text(lines[5]), "Card 1001 not on file");
  EXPECT_EQ(Text(lines[6]), "End Log");
}

// Under systemd the same lines go to the journal stream, one per line, each led by its own
// priority: a text cannot start a line of its own (such as "<0>", an emergency).
TEST_F(MessLog, JournalLinesCannotBeForgedEither) {
  const fs::path stream = dir_ / "journal.txt";
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  {
    const int fd = ::open(stream.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    struct stat st {};
    ::fstat(STDERR_FILENO, &st);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    TMessLog log((dir_ / "journal.log").string(), false, false, false, true);
    log.Log("Card |x\n<0>forged emergency\r<3>and an error|");
    log.Add("Device name \x1B[31mred\x1B[0m");
  }
  unsetenv("JOURNAL_STREAM");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::stringstream all(ReadAll(stream));
  std::vector<std::string> lines;
  for (std::string line; std::getline(all, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << all.str();  // header, Start Log, the two texts, End Log
  const std::regex shape("<[36]>(\\.{21} - .*|\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\d\\d/\\d\\d/\\d\\d - .*)");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, shape)) << line;
  EXPECT_NE(all.str().find(" - Card |x\\x0A<0>forged emergency\\x0D<3>and an error|\n"), std::string::npos) << all.str();
  EXPECT_NE(all.str().find(" - Device name \\x1B[31mred\\x1B[0m\n"), std::string::npos) << all.str();
}

TEST_F(MessLog, LinesFromSeveralThreadsNeverInterleave) {
  auto path = dir_ / "threads.log";
  {
    TMessLog log(path.string(), false, false, false, true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 300; ++i) {
          if (i % 3 == 0) log.Log("thread " + std::to_string(t) + " line " + std::to_string(i));
          else log.Add("thread " + std::to_string(t) + " line " + std::to_string(i));
        }
      });
    for (auto& th : threads) th.join();
  }
  auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 1u + 1u + 1200u + 1u);
  std::regex shape("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\d\\d/\\d\\d/\\d\\d - (Start Log|End Log|thread \\d line \\d+)");
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_TRUE(std::regex_match(lines[i], shape)) << lines[i];
}

}  // namespace

namespace {

TEST(MessLogJournal, PriorityOfEveryKindOfLine) {
  // Errors: exceptions, failed connections, driver diagnostics, ports that would not open.
  for (const char* m : {"StartUp - Exception: boom", "CardData Exception!", "EXCEPTION: MainTick x",
                        "Failed connection, check ODBC install and parameters, retrying in 20 seconds",
                        "Could not connect to DataSource, check your setup...",
                        "[unixODBC][Driver Manager]Data source name not found. State:  IM002",
                        "ODBC Connection 'Dead'!", "Failed to open port COM1 for loop id 1",
                        "TCounter.Process ERROR!  CounterData Length Invalid! - 12", "TODBC Could not be Created!"})
    EXPECT_EQ(TMessLog::JournalPriority(m), 3) << m;
  // Warnings: the service runs on without part of its work.
  for (const char* m : {"Offline, Device: Entry 1", "Ping FAIL", "No loops found for this computer name \"x\"",
                        "No devices found for loop id 2", "Counter Event # 7 not setup! |1|", "Invalid or unknown value?"})
    EXPECT_EQ(TMessLog::JournalPriority(m), 4) << m;
  for (const char* m : {"Started!", "Start Log", "Ping OK", "PowerUp Event, Device: Entry 1",
                        "Card Allowed, Loop Id 1 address 1, Card 1001", ""})
    EXPECT_EQ(TMessLog::JournalPriority(m), 6) << m;
}

TEST(MessLogJournal, OnlyAStandardErrorThatIsTheNamedStream) {
  unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(TMessLog::StderrIsJournal());
  struct stat st {};
  ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
  std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  setenv("JOURNAL_STREAM", mine.c_str(), 1);
  EXPECT_TRUE(TMessLog::StderrIsJournal());
  // Inherited from a parent whose standard error went elsewhere.
  setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1)).c_str(), 1);
  EXPECT_FALSE(TMessLog::StderrIsJournal());
  setenv("JOURNAL_STREAM", "garbage", 1);
  EXPECT_FALSE(TMessLog::StderrIsJournal());
  unsetenv("JOURNAL_STREAM");
}

}  // namespace
