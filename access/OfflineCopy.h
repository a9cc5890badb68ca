#pragma once
// TOfflineCopy: the local copy of the rows this computer's decisions read, in a SQLite file of
// the data folder (mode 600: it holds card holders' names). It is taken from the database in
// one read (CopyTaking.h) and then follows this computer's own decisions: every plan of
// writes, made online or offline, is applied to it as well, so passback, pathway, pool and
// ticket state stay those the site has seen itself. Changes made by other computers or
// programs after the copy was taken are not in it until the next copy.
//
// As a TRowSource it gives the rows of a decision exactly as TOdbcRowSource gives them from
// the database: the same rows, the same defaults for a column the database lacks (0, empty
// text, today's date for a missing date-time column), a card looked for by its number, the
// first row where the database would give the first. It also gives the rows a loop is set up
// from when the service starts while the database cannot be reached.
//
// The copy remembers the last journal entry applied to it (JournalMark), so that after a
// crash the entries appended but not yet applied to it are applied at the next open.
//
// Threads: one thread at a time (the main thread in the service).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access/OfflineEntry.h"
#include "access/RowSource.h"
#include "db/SqliteFile.h"
#include "util/DateTime.h"

namespace tarn {

// What a copy holds besides its rows.
struct TCopyFacts {
  TDateTime taken = 0;       // local time the database was read
  std::string computer;      // the computer name whose loops it holds
  int64_t journalMark = 0;   // the last journal entry applied to it
  int64_t cards = 0;
};

// A `loop` row of this computer (or a POE/POF loop).
struct TCopyLoopRow {
  int id = 0;
  std::string name;
  bool enabled = false;
  int port = 0;
  bool rfModem = false;
};

// A `device` row as a loop's set-up reads it.
struct TCopyDeviceRow {
  int id = 0;
  int address = 0;
  std::string name;
  int msgId = 0;
  int type = 0;
  int countSoft = 0;
  int lotId = 0;
  int doorInput = 0;
  int ajarTimer = 0;
  int ajarOutput = 0;
  int fireInput = 0;
};

// A lot whose count a soft count moved in the copy.
struct TCopyLot {
  int id = 0;
  std::string name;
  int count = 0;
  int capacity = 0;
};

class TOfflineCopy : public TRowSource {
 public:
  TOfflineCopy() = default;
  TOfflineCopy(const TOfflineCopy&) = delete;
  TOfflineCopy& operator=(const TOfflineCopy&) = delete;

  // The statements that make an empty copy's tables.
  static const char* Schema();
  // Opens an existing copy. Failure: false with `error` (no file, not a copy, unreadable).
  bool Open(const std::string& path, std::string* error);
  void Close() noexcept;
  bool IsOpen() const { return file_.IsOpen(); }
  const TCopyFacts& Facts() const { return facts_; }

  // --- TRowSource --------------------------------------------------------------------------
  TCardRows CardRows(const TCardRowsKey& key) override;
  std::optional<TCardPoolRow> CardPool(int id) override;
  std::optional<TSpotRow> Spot(int number) override;
  TExitTicketRows ExitTicketRows(int loopId, int address, const std::string& barcode) override;
  std::optional<TTicketRow> Ticket(const std::string& barcode) override;
  TDispenserRows DispenserRows(const std::string& barcode, int32_t ticket) override;

  // --- set-up without the database -----------------------------------------------------------
  // The loops of `computer` (lower case) and the POE/POF loops, in the database's order.
  std::vector<TCopyLoopRow> Loops(const std::string& computer);
  std::optional<TCopyLoopRow> Loop(int id);
  std::vector<TCopyDeviceRow> Devices(int loopId);
  // idle and gateup of a message set; nothing when the set has no row.
  std::optional<std::pair<std::string, std::string>> IdleTexts(int msgId);
  // The name of the device at an address; "" when there is none.
  std::string DeviceName(int loopId, int address);

  // --- following the decisions ---------------------------------------------------------------
  // Applies one write (`made`: the read's moment) and, when `journalId` is not 0, records that
  // the journal entry of that number is in the copy, all in one local transaction. A soft count
  // reports the lots it moved in `lots`. False when the copy could not be written.
  bool Apply(const TOfflineWrite& write, TDateTime made, int64_t journalId, std::vector<TCopyLot>* lots = nullptr);
  // Records the journal mark alone (a copy taken when every entry up to `journalId` was in the
  // database already).
  bool SetJournalMark(int64_t journalId);

  const std::string& Error() const { return file_.Error(); }

 private:
  bool ApplyOne(const TOfflineWrite& write, std::vector<TCopyLot>* lots);
  std::optional<TTicketRow> TicketWhere(bool byNumber, const std::string& barcode, int32_t ticket);
  std::optional<TDeviceRow> Device(int loopId, int address);

  TSqliteFile file_;
  TCopyFacts facts_;
};

// The file's facts without opening it for decisions (`tarncard check`): nothing when there is
// no readable copy at `path` (`error` says why).
std::optional<TCopyFacts> ReadCopyFacts(const std::string& path, std::string* error);

}  // namespace tarn
