#pragma once
// TOfflineStore: deciding through a database outage ("Offline Decisions" in the settings
// file). It keeps, in the data folder,
//   - the local copy of the rows this computer's decisions read (OfflineCopy.h), refreshed
//     every "Offline Copy Minutes" by a thread of its own that reads the database on its own
//     connection (CopyTaking.h) and hands over a finished file, which the main thread puts in
//     place in a few milliseconds;
//   - the journal of the writes decided offline (OfflineJournal.h), applied to the database in
//     order and exactly once by a replay thread of its own (OfflineReplay.h) once the
//     database can be reached.
//
// While the database cannot be reached, or writes decided offline still wait for it, every
// read is decided from the copy with the same rules (DecideOffline): the copy is the row
// source, and the writer appends the plan to the journal (on the disk before the answer goes
// out) and applies it to the copy, so passback, pathway, pool and ticket state follow the
// site's own decisions. Decisions go on from the copy until the journal is empty, so the
// database gets this site's writes in the order they were made and no online decision reads
// a row that an offline write is still to change. Online, every plan is applied to the copy
// as well (FollowingWriter).
//
// What offline decisions cannot know: changes made by other computers or programs after the
// copy was taken (a card revoked, a pool filled at another site), until the next copy.
//
// Threads: every public method is for the main thread (the owner), which owns the copy and
// the journal's appending side. The refresh and replay threads are started and joined by this
// object; they share only the journal file (each through its own connection), the counters
// below (atomics) and the refresh's result (under a mutex).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "access/OfflineCopy.h"
#include "access/OfflineJournal.h"
#include "access/RowSource.h"
#include "util/DateTime.h"

namespace tarn {

class TMessLog;
class TODBCConn;

// Where the refresh and the replay connect: the values of the service's own connection.
struct TCentralParams {
  std::string dataSource;
  std::string user;
  std::string password;
  std::string database;
  std::string driver;
  std::string options;
};

// The values of a managed connection (for a host list: of the host it connects to now).
TCentralParams CentralParamsOf(const TODBCConn& conn);

class TOfflineStore {
 public:
  struct TSettings {
    std::string folder;      // the data folder
    int copyMinutes = 5;     // "Offline Copy Minutes", 1..1440
    std::string computer;    // lower case: whose loops the copy holds
    // "Offline Decisions" is off but writes decided earlier still wait: they are sent to the
    // database (decisions follow the copy only while they wait and the database answers);
    // no copy is taken and nothing new is decided offline.
    bool replayOnly = false;
  };
  static constexpr const char* kCopyFile = "offline-copy.sqlite";
  static constexpr const char* kJournalFile = "offline-journal.sqlite";
  // Entries applied in one transaction of the replay.
  static constexpr size_t kReplayBatch = 50;

  TOfflineStore(TMessLog& log, TSettings settings);
  // Stops and joins the threads (a copy being read is given up).
  ~TOfflineStore();
  TOfflineStore(const TOfflineStore&) = delete;
  TOfflineStore& operator=(const TOfflineStore&) = delete;

  // Opens the journal (made when missing) and the copy when there is one, applies to the copy
  // the journal entries a crash kept from it, and starts the replay thread. False when the
  // journal cannot be opened (logged): offline decisions are off then.
  bool Open();
  // Where the refresh and the replay connect from now on.
  void SetCentral(const TCentralParams& params);

  bool HasCopy() const { return copy_.IsOpen(); }
  const TCopyFacts& CopyFacts() const { return copy_.Facts(); }
  // Journal entries the database does not have yet.
  int64_t Waiting() const { return waiting_.load(); }
  // Reads are decided from the copy now.
  bool Deciding() const { return deciding_; }

  // Whether the event in hand is decided from the copy: there is a copy, and the database
  // cannot be reached (`connected` false) or writes decided offline still wait for it. Logs
  // the start and the end of offline deciding.
  bool DecideOffline(bool connected);

  // The copy as the decisions' row source (valid while HasCopy()).
  TRowSource& Source() { return copy_; }
  // The writer of offline decisions: the journal, then the copy.
  TDecisionWriter& OfflineWriter() { return *offlineWriter_; }
  // A writer that applies the plans to `online` and then to the copy.
  std::unique_ptr<TDecisionWriter> FollowingWriter(TDecisionWriter& online);
  // An offline soft count of a device, and offline status columns of a device.
  void SoftCount(int deviceId);
  void DeviceStatus(const TDeviceStatus& status);
  // Set-up rows when the service starts without the database.
  TOfflineCopy& Copy() { return copy_; }

  // The main timer's share (every tick): the state of offline deciding, the copy's refresh
  // (started when due and the database can be reached, put in place when finished), the
  // status page.
  void Tick(bool connected);
  // Starts a refresh now when none runs and the database can be reached (tests; the start-up).
  bool RefreshNow();
  bool Refreshing() const { return refresh_.joinable(); }
  // The refresh thread has finished; its copy waits for the main thread to put it in place.
  bool RefreshFinished() const { return refresh_.joinable() && refreshDone_.load(); }
  // Waits up to `ms` for a refresh running now and puts it in place (tests, the bench).
  bool FinishRefresh(int ms);
  // Wakes the replay thread (writes waiting) at once.
  void KickReplay();

  std::string CopyPath() const;
  std::string JournalPath() const;

 private:
  class TJournalWriter;
  class TFollowWriter;
  friend class TJournalWriter;
  friend class TFollowWriter;

  // An offline write: journal (on the disk), then the copy.
  void Keep(const TOfflineWrite& write, TDateTime made);
  // An online write applied to the copy (and remembered while a refresh runs).
  void Follow(const TOfflineWrite& write, TDateTime made);
  void UpdateState(bool connected);
  void Publish();
  void StartRefresh();
  void CollectRefresh();
  void RefreshBody(TCentralParams params, std::string path, std::string computer);
  void ReplayBody();

  TMessLog& log_;
  TSettings settings_;

  // --- main thread -----------------------------------------------------------------------
  TOfflineCopy copy_;
  TOfflineJournal journal_;
  std::unique_ptr<TDecisionWriter> offlineWriter_;
  bool deciding_ = false;
  bool noCopyTold_ = false;
  uint64_t refreshFailedAt_ = 0;  // ms tick of the last failed refresh; 0 none
  bool refreshFailureTold_ = false;
  // Online writes applied to the copy while a refresh runs: applied again to the new copy.
  struct TFollowed {
    TOfflineWrite write;
    TDateTime made;
  };
  std::vector<TFollowed> followed_;
  bool followedOverflow_ = false;
  int64_t refreshJournalLast_ = 0;
  uint64_t refreshStartedAt_ = 0;

  // --- shared with the threads ---------------------------------------------------------------
  std::mutex mutex_;  // params_, the refresh's result
  TCentralParams params_;
  bool haveParams_ = false;
  std::atomic<int64_t> waiting_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> refreshDone_{false};
  bool refreshOk_ = false;
  std::string refreshError_;
  int64_t refreshCards_ = 0;
  int64_t refreshRows_ = 0;
  std::atomic<double> lastReplaySeconds_{0};
  std::atomic<int64_t> lastReplayWrites_{0};
  std::thread refresh_;
  std::condition_variable replayWake_;
  bool replayKicked_ = false;
  std::thread replay_;
};

}  // namespace tarn
