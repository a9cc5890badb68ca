#pragma once
// TMessLog: the system's message log. Time-stamped lines ("hh:nn:ss.zzz dd/mm/yy - text",
// CR LF) are batched in memory (up to MaxLines) and written by Log, which opens the file
// only for the moment of the write, so operators can read, copy or delete it at any time.
// With daily files the log writes <base><day><ext>, one file per day of the week
// (1 = Sunday) or of the month, and starts a day's file anew when it switches to it.
//
// Texts are logged as they are when clean; a control character (below 0x20, 0x7F) or a byte
// that is not part of a well-formed UTF-8 character is written as \xNN, so a text read from
// a device or a database cannot end a line, forge one, or reach a terminal as an escape.
// The day's file is opened without following a link (platform/FileSafety.h).
//
// Owned by the server (one per server start) and shared by every loop; every operation is
// thread-safe (one lock around each add and write) and none ever raises.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/DateTime.h"
#include "util/Format.h"

namespace tarn {

class TMessLog {
 public:
  // The opening text is always "Start Log"; "End Log" is written at destruction.
  TMessLog(const std::string& fileName, bool deleteOnSwitch, bool dailyFiles, bool byDayOfMonth,
           bool noHeader);
  ~TMessLog();
  TMessLog(const TMessLog&) = delete;
  TMessLog& operator=(const TMessLog&) = delete;

  // Appends a line; writes the batch when it reaches MaxLines and then returns -1,
  // otherwise the line's index in the batch.
  int Add(const std::string& text);
  // Appends a line without the MaxLines check.
  int AddNoFlush(const std::string& text);
  // Writes every waiting line and then `text` (when not empty) at once.
  void Log(const std::string& text);
  // Formats and logs; a formatting error is reported in the log itself. Returns -1.
  template <class... A>
  int LogFmt(std::string_view format, const A&... args) noexcept {
    try {
      return LogFmtV(format, Format(format, args...));
    } catch (const std::exception& e) {
      return LogFmtError(format, e.what());
    } catch (...) {
      return LogFmtError(format, "unknown error");
    }
  }

  std::string FileName() const;
  std::string CurrentFileName() const;
  int DayNumber() const;
  size_t PendingLines() const;
  static constexpr int kMaxLines = 250;
  // Lines kept in memory while the file cannot be written; beyond this the oldest go, so a
  // log folder that stays unusable for weeks cannot eat the service's memory.
  static constexpr size_t kMaxWaitingLines = 10000;

  // The version header line (without CR LF): 21 dots, " - ", the program path,
  // "   Version - " and the four-part version.
  static std::string VersionHeader();
  // "hh:nn:ss.zzz dd/mm/yy" of a moment.
  static std::string TimeStamp(TDateTime when);

  // Under systemd ($JOURNAL_STREAM names this process's standard error) every line also
  // goes to standard error as it is logged, led by its syslog priority, so the journal can
  // filter on it: 3 for exceptions, failed connections and driver errors, 4 for warnings
  // (a device off line, a failed ping, no loops), 6 for everything else.
  static int JournalPriority(std::string_view message);
  // Whether $JOURNAL_STREAM ("device:inode") is this process's standard error.
  static bool StderrIsJournal();

 private:
  int LogFmtV(std::string_view format, const std::string& text);
  int LogFmtError(std::string_view format, const std::string& message);
  void Flush(const std::string& text);  // under lock_
  void Journal(std::string_view message, const std::string& line);  // under lock_
  std::string DayFileName(int day) const;
  int TodayNumber() const;
  static void DeleteOrRename(const std::string& file);
  static bool WrittenBefore(const std::string& file, TDateTime date);

  mutable std::mutex lock_;
  std::string fileName_;
  std::string currentFileName_;
  bool deleteOnSwitch_;
  bool dailyFiles_;
  bool byDayOfMonth_;
  int dayNumber_ = 0;
  TDateTime currentDate_ = 0;  // the date whose lines CurrentFileName holds (daily files)
  bool writeStartEnd_ = false;
  bool headerPending_;
  const bool journal_ = StderrIsJournal();
  std::vector<std::string> lines_;
};

}  // namespace tarn
