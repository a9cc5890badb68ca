#pragma once
// The database host of the registry ("Host") may name several servers of one cluster,
// separated by commas: "10.0.0.11,10.0.0.12:3307,[fd00::13]:3306". A connection attempt pings
// and connects to the first that answers; after a loss the next attempt begins with the
// server after the one that was lost.
#include <string>
#include <vector>

namespace tarn {

struct THostEntry {
  std::string host;  // name or address, without brackets
  std::string port;  // digits; empty = the port of the connect options
  std::string text;  // the entry as written, for the log
};

// The entries of a comma-separated list; blanks around entries are dropped, empty entries
// skipped. A single entry without a comma is taken whole as the host (as "::1" must be).
std::vector<THostEntry> ParseHostList(const std::string& text);

// The connect options for one entry: every occurrence of the whole list text (put there by
// "%h") replaced by the entry's host, and, when the entry has a port, any PORT item replaced
// by (or completed with) the entry's port.
std::string OptionsForHost(const std::string& options, const std::string& listText, const THostEntry& entry);

}  // namespace tarn
