#include "log/TMessLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/FileSafety.h"
#include "platform/Home.h"
#include "platform/Tick.h"
#include "util/Strings.h"
#include "util/Version.h"

namespace tarn {
namespace fs = std::filesystem;

namespace {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool Contains(std::string_view text, std::string_view lowerWord) {
  if (lowerWord.size() > text.size()) return false;
  for (size_t i = 0; i + lowerWord.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < lowerWord.size() &&
           static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + k]))) == lowerWord[k])
      ++k;
    if (k == lowerWord.size()) return true;
  }
  return false;
}

}  // namespace

int TMessLog::JournalPriority(std::string_view m) {
  // Errors: something failed and needs someone's attention.
  for (std::string_view w : {"exception", "failed connection", "could not connect", "failed to open port",
                             "connection 'dead'", "could not be created", "error", ". state:  ",
                             "problem disconnecting", "cannot connect to db"})
    if (Contains(m, w)) return 3;
  // Warnings: the service runs on, but something is off.
  for (std::string_view w : {"offline", "off line", "ping fail", "no loops found", "no devices found",
                             "not set up", "not setup", "invalid", "low security"})
    if (Contains(m, w)) return 4;
  return 6;
}

bool TMessLog::StderrIsJournal() {
  const char* env = std::getenv("JOURNAL_STREAM");
  if (!env || !*env) return false;
  // systemd sets it to the device and inode of the stream it connected; a child that
  // inherited the variable with its standard error sent elsewhere does not match.
  unsigned long long dev = 0, ino = 0;
  char colon = 0;
  if (std::sscanf(env, "%llu%c%llu", &dev, &colon, &ino) != 3 || colon != ':') return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

void TMessLog::Journal(std::string_view message, const std::string& line) {
  if (!journal_) return;
  WriteAll(STDERR_FILENO, "<" + std::to_string(JournalPriority(message)) + ">" + line + "\n");
}

std::string TMessLog::TimeStamp(TDateTime when) { return FormatDateTime("hh:nn:ss.zzz dd/mm/yy", when); }

std::string TMessLog::VersionHeader() {
  return std::string(21, '.') + " - " + EscapeLogText(platform::ExePath()) + "   Version - " + TARNCARD_VERSION_TEXT;
}

TMessLog::TMessLog(const std::string& fileName, bool deleteOnSwitch, bool dailyFiles, bool byDayOfMonth,
                   bool noHeader)
    : deleteOnSwitch_(deleteOnSwitch), dailyFiles_(dailyFiles), byDayOfMonth_(byDayOfMonth),
      headerPending_(!noHeader) {
  std::error_code ec;
  fs::path p = fileName.empty() ? fs::path("Messages.log") : fs::path(fileName);
  p = fs::absolute(p, ec).lexically_normal();
  fileName_ = p.string();
  if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
  if (dailyFiles_) {
    dayNumber_ = TodayNumber();
    currentDate_ = Date();
    currentFileName_ = DayFileName(dayNumber_);
    // Today's file stays and is appended to (the server restarts within a day); one last
    // written before today is the same weekday of an earlier week and is started anew.
    if (deleteOnSwitch_ && WrittenBefore(currentFileName_, currentDate_)) DeleteOrRename(currentFileName_);
  } else {
    currentFileName_ = fileName_;
    if (deleteOnSwitch_ && fs::exists(fs::symlink_status(currentFileName_, ec))) DeleteOrRename(currentFileName_);
  }
  writeStartEnd_ = true;  // the opening text "Start Log" is always supplied
  Add("Start Log");
}

TMessLog::~TMessLog() {
  try {
    Log(writeStartEnd_ ? "End Log" : "");
  } catch (...) {
  }
}

std::string TMessLog::FileName() const {
  std::lock_guard<std::mutex> g(lock_);
  return fileName_;
}

std::string TMessLog::CurrentFileName() const {
  std::lock_guard<std::mutex> g(lock_);
  return currentFileName_;
}

int TMessLog::DayNumber() const {
  std::lock_guard<std::mutex> g(lock_);
  return dayNumber_;
}

size_t TMessLog::PendingLines() const {
  std::lock_guard<std::mutex> g(lock_);
  return lines_.size();
}

int TMessLog::TodayNumber() const {
  TDateTime now = Now();
  return byDayOfMonth_ ? DecodeDateTime(now).day : DayOfWeek(now);
}

std::string TMessLog::DayFileName(int day) const {
  fs::path p(fileName_);
  std::string ext = p.extension().string();
  std::string base = p.string().substr(0, p.string().size() - ext.size());
  return base + std::to_string(day) + ext;
}

void TMessLog::DeleteOrRename(const std::string& file) {
  std::error_code ec;
  // Make it writable first, as a read-only file would refuse the deletion elsewhere; a link
  // is removed itself and never changes the file it names.
  if (fs::is_regular_file(fs::symlink_status(file, ec)))
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add | fs::perm_options::nofollow, ec);
  if (fs::remove(file, ec) && !ec) return;
  std::string del = file + ".del";
  fs::remove(del, ec);
  fs::rename(file, del, ec);
}

bool TMessLog::WrittenBefore(const std::string& file, TDateTime date) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return false;
  // The file's age on the real clock, placed before Now() (the clock seam's time).
  double ageSec = static_cast<double>(::time(nullptr) - st.st_mtime);
  if (ageSec < 0) ageSec = 0;
  return Now() - ageSec / 86400.0 < date;
}

int TMessLog::Add(const std::string& text) {
  try {
    const std::string clean = EscapeLogText(text);
    std::lock_guard<std::mutex> g(lock_);
    lines_.push_back(TimeStamp(Now()) + " - " + clean);
    Journal(clean, lines_.back());
    if (static_cast<int>(lines_.size()) >= kMaxLines) {
      Flush("");
      return -1;
    }
    return static_cast<int>(lines_.size()) - 1;
  } catch (...) {
    return -1;
  }
}

int TMessLog::AddNoFlush(const std::string& text) {
  try {
    const std::string clean = EscapeLogText(text);
    std::lock_guard<std::mutex> g(lock_);
    lines_.push_back(TimeStamp(Now()) + " - " + clean);
    Journal(clean, lines_.back());
    return static_cast<int>(lines_.size()) - 1;
  } catch (...) {
    return -1;
  }
}

void TMessLog::Log(const std::string& text) {
  try {
    const std::string clean = EscapeLogText(text);
    std::lock_guard<std::mutex> g(lock_);
    Flush(clean);
  } catch (...) {
  }
}

int TMessLog::LogFmtV(std::string_view, const std::string& text) {
  Log(text);
  return -1;
}

int TMessLog::LogFmtError(std::string_view format, const std::string& message) {
  try {
    std::string first = "TMessLog Format() Exception!";
    std::string second = " - " + message + "  " + std::string(format);
    if (message.substr(0, 16) == "Cannot open file") {
      AddNoFlush(first);
      AddNoFlush(second);
    } else {
      Log(first);
      Log(second);
    }
  } catch (...) {
  }
  return -1;
}

// `text` and every waiting line are escaped already (EscapeLogText): a line of the file or
// the journal can hold no line break, no control character and no broken UTF-8.
void TMessLog::Flush(const std::string& text) {
  if (lines_.empty() && text.empty()) return;
  // The journal has every line the moment it is logged, whether or not the file takes it.
  std::string textLine = text.empty() ? std::string() : TimeStamp(Now()) + " - " + text;
  if (!text.empty()) Journal(text, textLine);
  std::error_code ec;
  if (dailyFiles_) {
    int today = TodayNumber();
    TDateTime date = Date();
    // The same number on another date is the same weekday a week (or month) later: the
    // file holds that earlier day's lines and is started anew like any other switch.
    if (today != dayNumber_ || date != currentDate_) {
      currentFileName_ = DayFileName(today);
      dayNumber_ = today;
      currentDate_ = date;
      if (deleteOnSwitch_ && fs::exists(fs::symlink_status(currentFileName_, ec))) DeleteOrRename(currentFileName_);
    }
  }
  // Opened in its folder without following a link: a link or a FIFO planted in the log
  // folder is not written through, and the lines wait as for a file that cannot be opened.
  bool created = false;
  std::string error;
  platform::TFd fd = platform::OpenRegularFile(currentFileName_, O_WRONLY | O_APPEND | O_CREAT, 0644, &created, error);
  if (!fd.Valid()) {
    platform::SleepMs(87);
    fd = platform::OpenRegularFile(currentFileName_, O_WRONLY | O_APPEND | O_CREAT, 0644, &created, error);
    if (!fd.Valid()) {
      // The batch waits for the next write; `text` is lost, and so are the oldest waiting
      // lines beyond the bound.
      if (lines_.size() > kMaxWaitingLines)
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(lines_.size() - kMaxWaitingLines));
      return;
    }
  }
  if (created) headerPending_ = true;
  std::string out;
  if (headerPending_) {
    Journal("", VersionHeader());
    out += VersionHeader() + "\r\n";
    headerPending_ = false;
  }
  for (const auto& line : lines_) out += line + "\r\n";
  if (!text.empty()) out += textLine + "\r\n";
  WriteAll(fd.Get(), out);
  lines_.clear();
}

}  // namespace tarn
