#pragma once
// TOutageBoard: the databases this process knows to be away, so that every connection to
// one of them stops waiting for it as soon as one connection has found it gone. A database
// is known away when a connection lost its link and no new one could be made within the
// reconnect wait, or when a connection attempt hung until the driver gave up; it is known
// back as soon as any connection to it connects or passes its check.
// The key names the database as the connections reach it (host, data source, driver,
// database, options): the server's connection and the loops' connections of a site share it.
//
// Threads: any thread.
#include <atomic>
#include <mutex>
#include <set>
#include <string>

namespace tarn {

class TOutageBoard {
 public:
  static TOutageBoard& Instance();

  void MarkAway(const std::string& key);
  void MarkBack(const std::string& key);
  bool Away(const std::string& key) const;
  // Forgets every database (tests).
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::set<std::string> away_;
  std::atomic<size_t> count_{0};  // lets the usual answer (nothing away) skip the lock
};

}  // namespace tarn
