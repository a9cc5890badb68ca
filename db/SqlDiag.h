#pragma once
// Diagnostic records: what the driver says about a call that failed. This is the one reader
// of them for the whole database layer; the connection, the statements, the write guard and
// the retry policy all see a failure as a list of TDiagRecord.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/OdbcLibrary.h"

namespace tarn {

// One diagnostic record of a handle.
struct TDiagRecord {
  std::string state;   // SQLSTATE, five characters; empty when there was no record
  int32_t native = 0;  // the server's own error number (1213, 2013 on the MySQL family); 0 when none
  std::string message;  // the driver's text, at most kDiagMessageSize - 1 characters

  bool Empty() const { return state.empty(); }
  // The record as the log writes it: "message. State:  SQLSTATE" (two blanks).
  std::string LogText() const;
  // The record for a line of one's own: "SQLSTATE (native n): message".
  std::string ToString() const;
};

// A driver may keep adding records; no failure needs more than these to be told.
constexpr size_t kDiagRecordLimit = 32;
// The message buffer of one record (longer texts are cut).
constexpr size_t kDiagMessageSize = 512;

// Reads the diagnostic records of `handle`, a handle of `type` (SQL_HANDLE_ENV, SQL_HANDLE_DBC
// or SQL_HANDLE_STMT), in order from record 1. The text of a general error (HY000) is taken
// from the record's message-text field, which some drivers fill more fully than the record
// itself; when that field cannot be read the record keeps its own text and reading ends there.
// Success: the records the handle holds, at most `limit`. A null handle, or a handle without
// records, gives none; reading also ends at the first record the driver cannot give.
// Threads: any thread, but never while another thread calls the driver on the same handle
// (every call on a handle replaces its records).
std::vector<TDiagRecord> ReadDiagRecords(const TOdbcEntryPoints& api, SQLSMALLINT type, SQLHANDLE handle,
                                         size_t limit = kDiagRecordLimit);

// The first record of `handle` (ReadDiagRecords with a limit of one); an empty record when
// there is none.
TDiagRecord ReadFirstDiagRecord(const TOdbcEntryPoints& api, SQLSMALLINT type, SQLHANDLE handle);

}  // namespace tarn
