#include "access/OfflineStore.h"

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>

#include "access/CopyTaking.h"
#include "access/OfflineReplay.h"
#include "db/HostList.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "log/TMessLog.h"
#include "metrics/StatusStore.h"
#include "platform/Tick.h"
#include "util/Format.h"

namespace tarn {
namespace {

// Online writes remembered while a refresh runs; a refresh that would need more is taken again.
constexpr size_t kMaxFollowed = 200000;
// Pause after a refresh that failed.
constexpr uint64_t kRefreshRetryMs = 60000;

std::string Stamp(TDateTime t) { return FormatDateTime("YYYY-MM-DD HH:NN:SS", t); }

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", s);
  return buf;
}

void RemoveFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
}

bool Connect(TODBC& db, const TCentralParams& p) {
  try {
    return db.ConnectToDataSource(p.dataSource, p.user, p.password, p.database, p.driver, p.options);
  } catch (...) {
    return false;
  }
}

}  // namespace

TCentralParams CentralParamsOf(const TODBCConn& conn) {
  TCentralParams p;
  p.dataSource = conn.DataSource;
  p.user = conn.User;
  p.password = conn.Password;
  p.database = conn.DataBase;
  p.driver = conn.Driver;
  p.options = conn.Custom;
  const std::vector<THostEntry> hosts = ParseHostList(conn.ServerHost);
  if (hosts.size() > 1) p.options = OptionsForHost(conn.Custom, conn.ServerHost, hosts[conn.NextHost() % hosts.size()]);
  return p;
}

// --- the writers -----------------------------------------------------------------------------

class TOfflineStore::TJournalWriter : public TDecisionWriter {
 public:
  explicit TJournalWriter(TOfflineStore& store) : store_(store) {}
  // A card's writes carry the moment of its read in the trans row.
  void ApplyCard(const TCardWrites& writes) override { store_.Keep(writes, writes.trans.when); }
  void RecordUnknownTicket(const TUnknownTicket& ticket) override { store_.Keep(ticket, Now()); }
  void ApplyTicketTaken(const TTicketTaken& taken) override { store_.Keep(taken, Now()); }
  bool ApplyDispenserRecord(const TDispenserWrites& writes) override {
    store_.Keep(writes, Now());
    return true;
  }

 private:
  TOfflineStore& store_;
};

class TOfflineStore::TFollowWriter : public TDecisionWriter {
 public:
  TFollowWriter(TOfflineStore& store, TDecisionWriter& online) : store_(store), online_(online) {}
  void ApplyCard(const TCardWrites& writes) override {
    online_.ApplyCard(writes);
    store_.Follow(writes, writes.trans.when);
  }
  void RecordUnknownTicket(const TUnknownTicket& ticket) override {
    online_.RecordUnknownTicket(ticket);
    store_.Follow(ticket, Now());
  }
  void ApplyTicketTaken(const TTicketTaken& taken) override {
    online_.ApplyTicketTaken(taken);
    store_.Follow(taken, Now());
  }
  bool ApplyDispenserRecord(const TDispenserWrites& writes) override {
    const bool written = online_.ApplyDispenserRecord(writes);
    if (written) store_.Follow(writes, Now());
    return written;
  }

 private:
  TOfflineStore& store_;
  TDecisionWriter& online_;
};

// --- the store -------------------------------------------------------------------------------

TOfflineStore::TOfflineStore(TMessLog& log, TSettings settings) : log_(log), settings_(std::move(settings)) {}

TOfflineStore::~TOfflineStore() {
  stop_.store(true);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    replayKicked_ = true;
  }
  replayWake_.notify_all();
  if (replay_.joinable()) replay_.join();
  if (refresh_.joinable()) refresh_.join();
  RemoveFiles(CopyPath() + ".new");
  metrics::TStatusStore::Instance().Offline(false, 0, 0);
}

std::string TOfflineStore::CopyPath() const { return settings_.folder + "/" + kCopyFile; }

std::string TOfflineStore::JournalPath() const { return settings_.folder + "/" + kJournalFile; }

bool TOfflineStore::Open() {
  std::string error;
  if (!journal_.Open(JournalPath(), &error)) {
    log_.Log("Offline decisions are off: the journal cannot be opened (" + error + ")");
    return false;
  }
  waiting_.store(journal_.Count());
  RemoveFiles(CopyPath() + ".new");
  std::error_code ec;
  if (std::filesystem::exists(CopyPath(), ec)) {
    if (!copy_.Open(CopyPath(), &error)) {
      log_.Log("Offline copy not used: " + error);
    } else {
      // Entries appended just before a crash may not have reached the copy: they do now.
      int redone = 0;
      for (;;) {
        const std::vector<TJournalRecord> records = journal_.Entries(copy_.Facts().journalMark, 500);
        if (records.empty()) break;
        for (const TJournalRecord& r : records) {
          if (r.write) copy_.Apply(*r.write, r.made, r.id);
          else copy_.SetJournalMark(r.id);
          ++redone;
        }
      }
      if (redone > 0) log_.Log("Offline copy: " + std::to_string(redone) + " journal entries applied to it after a restart");
    }
  }
  offlineWriter_ = std::make_unique<TJournalWriter>(*this);
  replay_ = std::thread([this] { ReplayBody(); });
  Publish();
  return true;
}

void TOfflineStore::SetCentral(const TCentralParams& params) {
  std::lock_guard<std::mutex> guard(mutex_);
  params_ = params;
  haveParams_ = true;
}

std::unique_ptr<TDecisionWriter> TOfflineStore::FollowingWriter(TDecisionWriter& online) {
  return std::make_unique<TFollowWriter>(*this, online);
}

bool TOfflineStore::DecideOffline(bool connected) {
  UpdateState(connected);
  return deciding_;
}

void TOfflineStore::UpdateState(bool connected) {
  const bool waiting = waiting_.load() > 0;
  const bool offline = copy_.IsOpen() && (settings_.replayOnly ? connected && waiting : !connected || waiting);
  if (offline && !deciding_) {
    deciding_ = true;
    log_.Log(std::string("Offline decisions started: ") +
             (connected ? "writes decided offline still wait for the database"
                        : "the database cannot be reached") +
             "; reads are decided from the local copy taken " + Stamp(copy_.Facts().taken));
    Publish();
  } else if (!offline && deciding_ && connected) {
    deciding_ = false;
    log_.Log("Offline decisions ended: " + std::to_string(lastReplayWrites_.load()) +
             " writes waited for the database, the replay took " + Seconds(lastReplaySeconds_.load()) + " s");
    Publish();
  }
  if (!connected && !copy_.IsOpen() && !noCopyTold_ && !settings_.replayOnly) {
    noCopyTold_ = true;
    log_.Log("Offline decisions: there is no local copy yet; reads are answered as without a database");
  }
  if (connected) noCopyTold_ = false;
}

void TOfflineStore::Keep(const TOfflineWrite& write, TDateTime made) {
  const int64_t id = journal_.Append(write, made);
  if (id == 0) {
    log_.Log("Offline write not kept in the journal (" + journal_.Error() + "): " + KindOf(write));
  } else {
    waiting_.fetch_add(1);
    KickReplay();
    Publish();
  }
  if (!copy_.IsOpen()) return;
  std::vector<TCopyLot> lots;
  if (!copy_.Apply(write, made, id, &lots)) {
    log_.Log("Offline copy not updated (" + copy_.Error() + "): " + KindOf(write));
    return;
  }
  for (const TCopyLot& lot : lots) metrics::TStatusStore::Instance().Lot(lot.id, lot.name, lot.count, lot.capacity);
}

void TOfflineStore::Follow(const TOfflineWrite& write, TDateTime made) {
  if (copy_.IsOpen() && !copy_.Apply(write, made, 0)) log_.Log("Offline copy not updated (" + copy_.Error() + ")");
  if (!refresh_.joinable()) return;
  if (followed_.size() < kMaxFollowed)
    followed_.push_back(TFollowed{write, made});
  else
    followedOverflow_ = true;
}

void TOfflineStore::SoftCount(int deviceId) { Keep(TSoftCount{deviceId}, Now()); }

void TOfflineStore::DeviceStatus(const TDeviceStatus& status) { Keep(status, Now()); }

void TOfflineStore::KickReplay() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    replayKicked_ = true;
  }
  replayWake_.notify_all();
}

void TOfflineStore::Publish() {
  metrics::TStatusStore::Instance().Offline(deciding_, copy_.IsOpen() ? copy_.Facts().taken : 0,
                                            static_cast<uint64_t>(std::max<int64_t>(0, waiting_.load())));
}

// --- the refresh -------------------------------------------------------------------------------

void TOfflineStore::Tick(bool connected) {
  UpdateState(connected);
  if (refresh_.joinable()) {
    if (refreshDone_.load()) CollectRefresh();
  } else {
    bool haveParams;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      haveParams = haveParams_;
    }
    // A clock set back does not keep an old copy for ever.
    const bool old = !copy_.IsOpen() || std::llabs(SecondsBetweenSigned(Now(), copy_.Facts().taken)) >=
                                            static_cast<int64_t>(settings_.copyMinutes) * 60;
    const bool rested = refreshFailedAt_ == 0 || platform::TickMs() - refreshFailedAt_ >= kRefreshRetryMs;
    if (haveParams && connected && waiting_.load() == 0 && old && rested && !settings_.replayOnly) StartRefresh();
  }
  Publish();
}

bool TOfflineStore::RefreshNow() {
  if (refresh_.joinable()) return false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!haveParams_) return false;
  }
  StartRefresh();
  return true;
}

bool TOfflineStore::FinishRefresh(int ms) {
  const uint64_t until = platform::TickMs() + static_cast<uint64_t>(ms);
  while (refresh_.joinable() && !refreshDone_.load() && platform::TickMs() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!refresh_.joinable() || !refreshDone_.load()) return false;
  CollectRefresh();
  return copy_.IsOpen();
}

void TOfflineStore::StartRefresh() {
  TCentralParams params;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    params = params_;
  }
  // Online writes from here on are applied again to the new copy: those committed before
  // its read are in it already (a card's columns come out the same), those after are not.
  refreshJournalLast_ = journal_.LastId();
  followed_.clear();
  followedOverflow_ = false;
  refreshDone_.store(false);
  refreshStartedAt_ = platform::TickMs();
  refresh_ = std::thread([this, params, path = CopyPath() + ".new", computer = settings_.computer] {
    RefreshBody(params, path, computer);
  });
}

void TOfflineStore::RefreshBody(TCentralParams params, std::string path, std::string computer) {
  bool ok = false;
  std::string error;
  TCopyTaken taken;
  {
    TODBC central;
    central.BindColumns = true;
    if (!Connect(central, params)) {
      error = "the database cannot be reached";
    } else {
      ok = TakeCopy(central, path, computer, stop_, taken, error);
      central.DisconnectFromDataSource();
    }
  }
  std::lock_guard<std::mutex> guard(mutex_);
  refreshOk_ = ok;
  refreshError_ = error;
  refreshCards_ = taken.cards;
  refreshRows_ = taken.rows;
  refreshDone_.store(true);
}

void TOfflineStore::CollectRefresh() {
  refresh_.join();
  bool ok;
  std::string error;
  int64_t cards, rows;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ok = refreshOk_;
    error = refreshError_;
    cards = refreshCards_;
    rows = refreshRows_;
  }
  const std::string fresh = CopyPath() + ".new";
  if (!ok) {
    RemoveFiles(fresh);
    refreshFailedAt_ = std::max<uint64_t>(platform::TickMs(), 1);
    if (!refreshFailureTold_) log_.Log("Offline copy not taken: " + error);
    refreshFailureTold_ = true;
    followed_.clear();
    return;
  }
  // Offline decisions made meanwhile are not in what was read: the copy is taken again once
  // the database has them.
  if (waiting_.load() != 0 || journal_.LastId() != refreshJournalLast_ || followedOverflow_) {
    RemoveFiles(fresh);
    followed_.clear();
    return;
  }
  const uint64_t swapStart = platform::TickMs();
  copy_.Close();
  RemoveFiles(CopyPath());
  std::error_code ec;
  std::filesystem::rename(fresh, CopyPath(), ec);
  std::string openError;
  if (ec || !copy_.Open(CopyPath(), &openError)) {
    log_.Log("Offline copy not taken: " + (ec ? ec.message() : openError));
    refreshFailedAt_ = std::max<uint64_t>(platform::TickMs(), 1);
    followed_.clear();
    Publish();
    return;
  }
  copy_.SetJournalMark(journal_.LastId());
  for (const TFollowed& f : followed_) copy_.Apply(f.write, f.made, 0);
  followed_.clear();
  refreshFailedAt_ = 0;
  refreshFailureTold_ = false;
  noCopyTold_ = false;
  log_.Log("Offline copy taken: " + std::to_string(cards) + " cards, " + std::to_string(rows) + " rows in " +
           Seconds(static_cast<double>(swapStart - refreshStartedAt_) / 1000.0) + " s");
  Publish();
}

// --- the replay --------------------------------------------------------------------------------

void TOfflineStore::ReplayBody() {
  TOfflineJournal journal;
  std::string error;
  if (!journal.Open(JournalPath(), &error)) {
    log_.Log("Offline replay cannot read the journal: " + error);
    return;
  }
  std::unique_ptr<TODBC> central;
  bool setUp = false;
  uint64_t nextAttempt = 0;
  uint64_t pause = 1000;
  bool interruptionTold = false;
  uint64_t startedAt = 0;
  int64_t appliedThisRun = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(mutex_);
      replayWake_.wait_for(guard, std::chrono::milliseconds(500), [this] { return replayKicked_ || stop_.load(); });
      replayKicked_ = false;
    }
    if (stop_.load()) break;
    if (waiting_.load() <= 0) continue;
    if (platform::TickMs() < nextAttempt) continue;
    TCentralParams params;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!haveParams_) continue;
      params = params_;
    }
    if (!central || !central->Connected()) {
      central = std::make_unique<TODBC>();
      setUp = false;
      if (!Connect(*central, params)) {
        central.reset();
        nextAttempt = platform::TickMs() + pause;
        pause = std::min<uint64_t>(pause * 2, 15000);
        continue;
      }
    }
    TOfflineReplay replay(*central, journal.Id(), &log_);
    if (!setUp) {
      if (!replay.SetUp(error)) {
        if (!interruptionTold) log_.Log("Offline replay cannot run: " + error);
        interruptionTold = true;
        central.reset();
        nextAttempt = platform::TickMs() + 30000;
        continue;
      }
      setUp = true;
    }
    pause = 1000;
    if (startedAt == 0) {
      startedAt = platform::TickMs();
      appliedThisRun = 0;
      log_.Log("Offline replay started: " + std::to_string(waiting_.load()) + " writes waiting for the database");
    }
    while (!stop_.load()) {
      const std::vector<TJournalRecord> records = journal.Entries(0, kReplayBatch);
      if (records.empty()) break;
      const TOfflineReplay::TBatch batch = replay.Apply(records);
      if (batch.result == TOfflineReplay::TResult::Conflict) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      if (batch.result != TOfflineReplay::TResult::Applied) {
        if (!interruptionTold)
          log_.Log("Offline replay interrupted (" + batch.error + "): " + std::to_string(waiting_.load()) +
                   " writes still waiting");
        interruptionTold = true;
        central.reset();
        nextAttempt = platform::TickMs() + pause;
        break;
      }
      interruptionTold = false;
      std::vector<int64_t> ids;
      for (const TJournalRecord& r : records) ids.push_back(r.id);
      if (!journal.Remove(ids)) {
        // The database has them (their keys say so at the next run); only the journal lags.
        log_.Log("Offline replay: the journal could not be updated (" + journal.Error() + ")");
        nextAttempt = platform::TickMs() + 1000;
        break;
      }
      appliedThisRun += static_cast<int64_t>(ids.size());
      // The figures first: once nothing waits, the main thread may end offline deciding at
      // once and tells them.
      lastReplayWrites_.store(appliedThisRun);
      lastReplaySeconds_.store(static_cast<double>(platform::TickMs() - startedAt) / 1000.0);
      waiting_.fetch_sub(static_cast<int64_t>(ids.size()));
    }
    if (central && waiting_.load() <= 0 && journal.Count() == 0) {
      const double seconds = static_cast<double>(platform::TickMs() - startedAt) / 1000.0;
      lastReplaySeconds_.store(seconds);
      lastReplayWrites_.store(appliedThisRun);
      log_.Log("Offline replay finished: " + std::to_string(appliedThisRun) + " writes applied in " + Seconds(seconds) +
               " s");
      startedAt = 0;
      // The connection is the replay's alone: no need to hold it between outages.
      central.reset();
    }
  }
}

}  // namespace tarn
