#pragma once
// TOfflineJournal: the durable journal of the writes decided while the database could not be
// reached, a SQLite file of the data folder (mode 600). An entry is on the disk when Append
// returns (synchronous commit): the answer goes to the reader only after that, so a kill or a
// power cut loses nothing that was answered. Entries are numbered in order, and a number is
// never given twice in one journal file; the file also has an id of its own, made with it, so
// that "<journal id>:<entry number>" names one entry for ever (the replay's exactly-once key).
// Entries are removed once the database has them.
//
// Threads: one thread at a time per object. The main thread appends and the replay thread
// reads and removes, each through its own object on the same file.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access/OfflineEntry.h"
#include "db/SqliteFile.h"

namespace tarn {

// An entry as read back; `write` is empty when its text cannot be read (it is then dropped
// by the replay with a log line, never applied half).
struct TJournalRecord {
  int64_t id = 0;
  TDateTime made = 0;
  std::string kind;
  std::optional<TOfflineWrite> write;
};

class TOfflineJournal {
 public:
  TOfflineJournal() = default;
  TOfflineJournal(const TOfflineJournal&) = delete;
  TOfflineJournal& operator=(const TOfflineJournal&) = delete;

  // Opens the journal at `path`, making it when it is missing. Failure: false with `error`.
  bool Open(const std::string& path, std::string* error);
  void Close() noexcept;
  bool IsOpen() const { return file_.IsOpen(); }
  // The random id of this journal file.
  const std::string& Id() const { return id_; }

  // Appends one write with the moment of its read. Success: its number, on the disk.
  // Failure: 0 (Error() says why).
  int64_t Append(const TOfflineWrite& write, TDateTime made);
  // Up to `max` entries after number `after`, oldest first.
  std::vector<TJournalRecord> Entries(int64_t after, size_t max);
  // Removes the entries of these numbers.
  bool Remove(const std::vector<int64_t>& ids);
  // Entries in the journal.
  int64_t Count();
  // The highest number ever given in this file (0 when none).
  int64_t LastId();

  const std::string& Error() const { return file_.Error(); }

 private:
  TSqliteFile file_;
  std::string id_;
};

// What `tarncard check` shows of a journal: its entries and its size on disk (with the
// write-ahead log). Nothing when the file cannot be read (`error`).
struct TJournalFacts {
  int64_t entries = 0;
  int64_t bytes = 0;
  TDateTime oldest = 0;  // the read of the oldest entry; 0 when empty
};
std::optional<TJournalFacts> ReadJournalFacts(const std::string& path, std::string* error);

}  // namespace tarn
