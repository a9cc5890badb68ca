#pragma once
// Taking the local copy (OfflineCopy.h) from the database: the rows this computer's
// decisions read, in one consistent read (on the MySQL family one transaction with a
// consistent snapshot; SQLite, in-process, is read table by table), written into a new file
// that becomes the copy only when it is complete.
//
// What is copied: the loop and device rows; the settings, messages, card types, cards, card pools, access ranges and their devices,
// holidays, pathway legs, spots, lots, counters and counter items; the ticket rows of
// tickets still inside (status not 2) or changed in the last day.
//
// Threads: runs on the caller's thread with the caller's connection (the refresh thread's
// own); it never touches another connection.
#include <atomic>
#include <cstdint>
#include <string>

#include "util/DateTime.h"

namespace tarn {

class TODBC;

struct TCopyTaken {
  TDateTime taken = 0;
  int64_t rows = 0;
  int64_t cards = 0;
  // Text of the values read from the database, a measure of what came over the wire.
  int64_t bytes = 0;
};

// Reads the database on `central` (connected) and writes a complete copy to `path` (made
// anew, mode 600, replaced when it exists). `computer`: the computer name (lower case) the copy
// is taken for (kept with it). `stop`: when it turns true the read ends early and fails.
// Success: true with `taken`. Failure: false with `error`; `path` is removed.
bool TakeCopy(TODBC& central, const std::string& path, const std::string& computer, const std::atomic<bool>& stop,
              TCopyTaken& taken, std::string& error);

}  // namespace tarn
