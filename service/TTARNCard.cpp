#include "service/TTARNCard.h"

#include <cmath>
#include <exception>

#include "access/OfflineStore.h"
#include "config/TConnParams.h"
#include "config/TLoopSettings.h"
#include "config/TRegistryEx.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "loop/TLoop.h"
#include "platform/Home.h"
#include "platform/Notify.h"
#include "platform/Registry.h"
#include "platform/Tick.h"
#include "service/LoopAssembly.h"
#include "util/Strings.h"

namespace tarn {

namespace {
constexpr uint32_t kMainInterval = 750;

// The loop's set-up reached the database to its end: connected, no attempt of its still
// running, and no statement of the set-up lost its link on the way.
bool ReachedItsDatabase(const TLoop& loop) {
  return loop.Conn && !loop.Conn->AttemptPending() && loop.DB && loop.DB->Connected() &&
         loop.DB->LostExecutions() == 0;
}
constexpr uint32_t kRestartInterval = 1000;
constexpr int kPingTimeout = 700;
}  // namespace

TTARNCard::TTARNCard(platform::TMainLoop& loop)
    : timMain(loop, kMainInterval, [this] { timMainTimer(); }),
      tmrRestart(loop, kRestartInterval, [this] { tmrRestartTimer(); }) {}

TTARNCard::~TTARNCard() {
  try {
    StopServer();
  } catch (...) {
  }
}

std::string TTARNCard::ReadComputerName() {
  TRegistryEx reg("\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName\\");
  return reg.ReadStr("ComputerName");
}

bool TTARNCard::StartServer() {
  bool result = false;
  try {
    // A server stopped while its connection attempt still ran kept its log and connection
    // (the attempt writes to the one and works on the other): they carry on here.
    if (!Log) Log = std::make_unique<TMessLog>(platform::LogPath("vtsql.log"), true, true, false, false);
    TickCount = 0;
    HeartbeatCount = 0;
    auto params = std::make_unique<TConnParams>();
    Log->Log("Starting server, Reading Registry");
    // A file that is there but cannot be read is not the same as no file: say so.
    if (const std::string problem = platform::RegistryFileProblem(); !problem.empty()) Log->Log(problem);
    Log->Log("Connecting to: " + params->Host + ", Database: " + params->Database);

    if (!Conn) {
      Conn = std::make_unique<TODBCConn>(kPingTimeout, "");
      Env = std::make_unique<TODBC>();
      Conn->ODBC = Env.get();
      Env->BindColumns = true;
      Conn->SetLog(Log.get());
    }
    Conn->SetParams(params->DSNName, params->ODBCDriver, params->Database, params->User, params->Pass,
                    params->ConnectOptions());
    Conn->ServerHost = params->Host;
    params.reset();

    const std::string computer = LowerCase(ReadComputerName());
    OpenOffline(computer);
    if (Offline) Offline->SetCentral(CentralParamsOf(*Conn));

    bool lost = false;  // the database went away during the start-up
    if (!Conn->Connect()) {
      Log->Log("Failed connection, check ODBC install and parameters, retrying in 20 seconds");
      if (Offline && Offline->HasCopy()) MakeLoopsFromCopy(computer);
    } else {
      auto st = std::make_unique<TODBCStatement>(Env.get());
      std::string name = computer;
      LoopIdList.assign(1, '(');
      ownLoops_ = 0;
      // The name goes into SQL text: its quotes are doubled like every other literal.
      std::string quoted = ReplaceAll(name, "'", "''");
      // "loop" is a reserved word of the MySQL family: the table name is quoted there.
      const std::string loopTable = TLoop::LoopTableName(*Env);
      // A loop whose set-up could not reach the database would handle no device until the
      // next start: a start-up during which the database went away fails and is tried again.
      const uint64_t lostBefore = Env->LostExecutions();
      auto keep = [&](std::unique_ptr<TLoop> loop) {
        lost = lost || !ReachedItsDatabase(*loop);
        Loops.push_back(std::move(loop));
        return !lost;
      };
      if (st->ExecSQL("SELECT * FROM " + loopTable + " WHERE name = '" + quoted + "'")) {
        do {
          int id = st->FieldAsInteger("id");
          // Each loop's set-up may wait on the database: systemd hears in between.
          FeedWatchdog();
          LoopIdList += std::to_string(id) + ",";
          if (!keep(MakeSiteLoop(*Log, id, Offline.get()))) break;
        } while (st->dbSkip(skNext, 1));
      }
      if (LoopIdList.size() > 1 && LoopIdList.back() == ',') LoopIdList.pop_back();
      LoopIdList += ")";
      ownLoops_ = Loops.size();
      if (!Loops.empty())
        Log->Log("Loops FOUND for computer name \"" + name + "\"");
      else
        Log->Log("No loops found for this computer name \"" + name + "\"");

      size_t before = Loops.size();
      if (!lost && st->ExecSQL("SELECT * FROM " + loopTable + " WHERE UPPER(name) = 'POE/POF'")) {
        do {
          FeedWatchdog();
          if (!keep(MakeSiteLoop(*Log, st->FieldAsInteger("id"), Offline.get()))) break;
        } while (st->dbSkip(skNext, 1));
      }
      if (Loops.size() > before)
        Log->Log("Loops (soft counts) FOUND for computer name \"POE/POF\"");

      if (!lost) {
        // An UPDATE that reports no row is not proof of an empty table (a server that counts
        // only changed rows says the same of a row already at 0): insert only into an empty one.
        const TSqlOutcome reset = st->Execute("UPDATE settings SET reset_vtsql = 0");
        st->LogFailure(reset);
        if (reset.noRow() && st->ExecSQL("SELECT COUNT(*) AS n FROM settings") && st->FieldAsInteger("n") == 0)
          st->ExecSQL("INSERT into settings (reset_vtsql) values (0)");
        st.reset();
        FeedWatchdog();
        PublishLots();
      }
      lost = lost || Env->LostExecutions() != lostBefore;
      if (lost) Log->Log("Failed connection, check ODBC install and parameters, retrying in 20 seconds");
    }
    result = !lost && !Loops.empty();
  } catch (const std::exception& e) {
    if (Log) Log->Log(std::string("StartUp - Exception: ") + e.what());
    result = false;
  } catch (...) {
    if (Log) Log->Log("StartUp - Exception: unknown error");
    result = false;
  }
  timMain.SetEnabled(result);
  Started = result;
  lastTickEnd_ = platform::TickMs();
  if (result) {
    Log->Log("Started!");
    if (!readySent_) {
      platform::SdNotify("READY=1");
      readySent_ = true;
    }
  } else {
    StopServer(true);
  }
  return result;
}

void TTARNCard::StopServer(bool keepPendingConnect) {
  if (Log) Log->Log("ShutDown...");
  timMain.SetEnabled(false);
  // Each loop closes its component (joining its threads) before it frees anything else.
  for (auto& loop : Loops) loop.reset();
  Loops.clear();
  ownLoops_ = 0;
  // After the loops that write into it; its threads end here.
  Offline.reset();
  // A failed start whose connection attempt still runs (a database host that hangs) does
  // not wait for it: the connection and the log stay for the next start, which takes the
  // attempt's outcome, so the main thread goes on turning meanwhile.
  if (keepPendingConnect && Conn && Conn->AttemptPending()) {
    Started = false;
    return;
  }
  Conn.reset();
  Env.reset();
  Log.reset();  // writes "End Log"
  Started = false;
}

void TTARNCard::OpenOffline(const std::string& computer) {
  const TOfflineSettings settings = ReadOfflineSettings(platform::SettingsFilePath());
  bool replayOnly = false;
  if (!settings.decisions) {
    // Writes decided offline before the setting was turned off still go to the database.
    const std::string journal = platform::HomeDir() + "/" + TOfflineStore::kJournalFile;
    const std::optional<TJournalFacts> facts = ReadJournalFacts(journal, nullptr);
    if (!facts || facts->entries == 0) {
      Offline.reset();
      return;
    }
    if (!Offline)
      Log->Log("Offline Decisions is off, but " + std::to_string(facts->entries) +
               " writes decided offline still wait for the database: they are sent to it");
    replayOnly = true;
  }
  if (settings.copyMinutes != settings.copyMinutesRead)
    Log->Log("Setting Offline Copy Minutes = " + std::to_string(settings.copyMinutesRead) + " is outside " +
             std::to_string(kMinOfflineCopyMinutes) + ".." + std::to_string(kMaxOfflineCopyMinutes) + ": " +
             std::to_string(settings.copyMinutes) + " is used");
  if (Offline) return;
  TOfflineStore::TSettings s;
  s.folder = platform::HomeDir();
  s.copyMinutes = settings.copyMinutes;
  s.computer = computer;
  s.replayOnly = replayOnly;
  auto store = std::make_unique<TOfflineStore>(*Log, s);
  if (store->Open()) Offline = std::move(store);
}

void TTARNCard::MakeLoopsFromCopy(const std::string& computer) {
  Log->Log("Starting from the local copy taken " + FormatDateTime("YYYY-MM-DD HH:NN:SS", Offline->CopyFacts().taken) +
           ": the database cannot be reached");
  LoopIdList.assign(1, '(');
  ownLoops_ = 0;
  for (const TCopyLoopRow& row : Offline->Copy().Loops(computer)) {
    const bool soft = row.name != computer;
    Loops.push_back(MakeSiteLoop(*Log, row.id, Offline.get()));
    if (!soft) {
      LoopIdList += std::to_string(row.id) + ",";
      ++ownLoops_;
    }
  }
  if (LoopIdList.size() > 1 && LoopIdList.back() == ',') LoopIdList.pop_back();
  LoopIdList += ")";
  if (ownLoops_ > 0)
    Log->Log("Loops FOUND for computer name \"" + computer + "\"");
  else
    Log->Log("No loops found for this computer name \"" + computer + "\"");
  if (Loops.size() > ownLoops_) Log->Log("Loops (soft counts) FOUND for computer name \"POE/POF\"");
}

void TTARNCard::ServiceExecute() {
  Started = false;
  LastFailedStart = Now() - 21.0 / 86400.0;
  tmrRestart.SetEnabled(true);
}

void TTARNCard::ServiceStop() {
  tmrRestart.SetEnabled(false);
  platform::SdNotify("STOPPING=1");
  StopServer();
}

void TTARNCard::tmrRestartTimer() {
  tmrRestart.SetEnabled(false);
  try {
    // The watchdog, which runs from the first readiness on, hears from here too: while the
    // server waits to start again (database away after a reset) no tick runs, and between
    // ticks a device event may have held the main thread. Ticks that stopped altogether are
    // not covered: systemd is meant to notice those.
    if (!Started || platform::TickMs() - lastTickEnd_ < kTickStallMs) FeedWatchdog();
    if (!Started) {
      TDateTime now = Now();
      long long seconds = std::llabs(SecondsBetweenSigned(now, LastFailedStart));
      if (seconds > 20) {
        if (!StartServer()) LastFailedStart = Now();
      }
    }
  } catch (...) {
  }
  tmrRestart.SetEnabled(true);
}

}  // namespace tarn
