#pragma once
// TTARNCard: the service object and the server state everything else hangs from.
// The server is the one message log, the server's managed database connection and the
// ordered list of loop controllers of this computer. StartServer builds all of it and
// enables the main timer; StopServer frees it again. The restart timer (every second)
// starts the server whenever it is stopped and the last failed attempt lies 21 seconds or
// more back, so a failed start-up is retried for ever and a requested reset restarts the
// server about a second later.
//
// Threads: everything here runs on the main thread (the timers' thread, which also handles
// every device event), so start-up, ticks, shut-down and device events never overlap.
// On Linux the stop request of a signal ends the main loop and the shut-down runs on the
// main thread afterwards.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/MainLoop.h"
#include "util/DateTime.h"

namespace tarn {

class TMessLog;
class TODBC;
class TODBCConn;
class TLoop;
class TOfflineStore;

class TTARNCard {
 public:
  static constexpr const char* kServiceName = "TARNCard";
  static constexpr const char* kDisplayName = "TARN Card Access Controller";

  explicit TTARNCard(platform::TMainLoop& loop);
  ~TTARNCard();
  TTARNCard(const TTARNCard&) = delete;
  TTARNCard& operator=(const TTARNCard&) = delete;

  // Service handlers: the execute handler arms the restart timer (the main loop then runs
  // until a stop is asked); the stop handler shuts the server down.
  void ServiceExecute();
  void ServiceStop();

  bool StartServer();
  // keepPendingConnect: a connection attempt still running keeps the connection and the log
  // (after a failed start-up only).
  void StopServer(bool keepPendingConnect = false);
  static std::string ReadComputerName();

  void tmrRestartTimer();
  void timMainTimer();

  // One tick of the main timer and its jobs.
  void MainTick();
  bool CheckResetRequest();
  void CheckOpenRequests();
  // The loops with a lot-full output or sign to bring up to date, read for all loops at once;
  // nothing when the read could not be made.
  std::optional<std::set<int>> LoopsWithLotFullFlags();
  void ApplyGateSchedule();
  bool InGateOpenWindow(int deviceId, int dayNumber, TDateTime moment);
  void AutoResetCards(TDateTime moment);
  void AutoResetCounts(TDateTime moment);
  // The daily card reset's UPDATE runs on a database server in parts of this many cards.
  static constexpr int kResetPartSize = 10000;
  int ResetPartSize = kResetPartSize;

  // Server state (empty, false or 0 while the server is stopped).
  std::unique_ptr<TMessLog> Log;
  std::unique_ptr<TODBCConn> Conn;
  std::unique_ptr<TODBC> Env;
  std::vector<std::unique_ptr<TLoop>> Loops;
  // Deciding from a local copy while the database cannot be reached ("Offline Decisions");
  // null when off. Made at start-up, freed after the loops at shut-down.
  std::unique_ptr<TOfflineStore> Offline;
  std::string LoopIdList;
  bool Started = false;
  int TickCount = 0;
  int HeartbeatCount = 0;
  int LastMinute = 0;  // survives restarts
  TDateTime LastFailedStart = 0;

  platform::TTimer timMain;
  platform::TTimer tmrRestart;

 private:
  void WriteHeartbeat();
  // Makes the offline store when the settings file asks for one (and it can be opened).
  void OpenOffline(const std::string& computer);
  // The loops of this computer and the POE/POF loops, from the local copy: the start-up
  // while the database cannot be reached.
  void MakeLoopsFromCopy(const std::string& computer);
  // "WATCHDOG=1" to systemd (after the first readiness), at most every kWatchdogSpacingMs:
  // called between the jobs of a tick and of a start-up and by the restart timer, so that
  // it comes as often as the main thread turns and is never further apart than the longest
  // single wait on the database plus a little.
  void FeedWatchdog();
  static constexpr uint64_t kWatchdogSpacingMs = 250;
  // Ticks that stop coming for this long (the main timer stuck) are no longer covered by the
  // restart timer's messages, so that systemd notices.
  static constexpr uint64_t kTickStallMs = 20000;
  // Sets `list` (an UPDATE's assignments) on every card; in parts on a database server.
  void ResetAllCards(const std::string& list);
  // The loops' counters and gate states, and the lots, for the status page.
  void PublishLoops();
  void PublishLots();
  // Number of loops built for this computer's name (the rest are POE/POF soft-count loops).
  size_t ownLoops_ = 0;
  bool readySent_ = false;
  uint64_t lastWatchdog_ = 0;
  uint64_t lastTickEnd_ = 0;
};

// Program entry: the command-line switches, then the service in the foreground.
int ServiceMain(int argc, char** argv);

}  // namespace tarn
