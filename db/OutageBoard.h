#pragma once
// TOutageBoard: the databases this process knows to be away, so that every connection to
// one of them stops waiting for it as soon as one connection has found it gone. Two ways of
// being away:
//   Refusing - a connection lost its link and no new one could be made within the
//              reconnect wait, the attempts failing: nothing is waited for long there, but
//              a lost link need not wait out the reconnect wait again;
//   Silent   - a connection attempt hung until the driver gave up, or a call given up after
//              its bound (no answer at all) was not followed by a new connection: nothing
//              answers there, so no call waits for it longer than a moment.
// A database is known back as soon as any connection to it connects or passes its check,
// after it was marked away: a connection made before that moment, whose attempt is collected
// only later, says nothing of the database now.
// The key names the database as the connections reach it (host, data source, driver,
// database, options): the server's connection and the loops' connections of a site share it.
//
// Threads: any thread.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tarn {

enum class TAway : uint8_t { No, Refusing, Silent };

class TOutageBoard {
 public:
  static TOutageBoard& Instance();

  // Silent stays Silent when a refusal is marked after it. `atMs`: the moment (ms tick).
  void MarkAway(const std::string& key, TAway how, uint64_t atMs);
  void MarkAway(const std::string& key, TAway how);
  // The database answered at `seenAtMs` (ms tick): back, unless it was marked away later.
  void MarkBack(const std::string& key, uint64_t seenAtMs);
  void MarkBack(const std::string& key);
  TAway Away(const std::string& key) const;
  // Forgets every database (tests).
  void Clear();

 private:
  mutable std::mutex mutex_;
  struct TEntry {
    TAway how = TAway::No;
    uint64_t at = 0;  // when it was last marked
  };
  std::map<std::string, TEntry> away_;
  std::atomic<size_t> count_{0};  // lets the usual answer (nothing away) skip the lock
};

}  // namespace tarn
