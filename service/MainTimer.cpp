// The main timer's tick and its periodic jobs: reset requests, the once-a-minute jobs,
// open requests, the gate schedule, the heartbeat file and the lot-full refresh.
#include <map>
#include <stdexcept>
#include <vector>

#include "access/OdbcRowSource.h"
#include "access/OfflineStore.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "loop/TLoop.h"
#include "platform/FileSafety.h"
#include "platform/Home.h"
#include "platform/Notify.h"
#include "platform/Tick.h"
#include "readerbus/TCard.h"
#include "metrics/StatusStore.h"
#include "service/TTARNCard.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// Whole seconds of the day, so floating-point noise never moves a window's end.
int SecondsOfDay(TDateTime t) {
  DateParts p = DecodeDateTime(t);
  return p.hour * 3600 + p.minute * 60 + p.second;
}

// A gate's open window of one day, in seconds of the day.
struct TGateWindow {
  int start;
  int end;
};

// The window of the statement's current gateoc row.
TGateWindow GateWindowOf(TODBCStatement& st) {
  return {SecondsOfDay(st.FieldAsDateTime("start_time")), SecondsOfDay(st.FieldAsDateTime("end_time"))};
}

// Both ends count; a window whose end comes before its start runs over midnight; equal ends
// never open.
bool InGateWindows(const std::vector<TGateWindow>& windows, TDateTime moment) {
  const int t = SecondsOfDay(moment);
  for (const TGateWindow& w : windows) {
    if (w.start == w.end) continue;
    if (w.start < w.end ? (w.start <= t && t <= w.end) : (t >= w.start || t <= w.end)) return true;
  }
  return false;
}

}  // namespace

void TTARNCard::timMainTimer() {
  timMain.SetEnabled(false);
  try {
    MainTick();
  } catch (const std::exception& e) {
    // A step that raises ends the tick; the timer is re-armed as usual.
    if (Log) Log->Log(std::string("EXCEPTION: MainTick ") + e.what());
  } catch (...) {
    if (Log) Log->Log("EXCEPTION: MainTick");
  }
  lastTickEnd_ = platform::TickMs();
  FeedWatchdog();
  if (Started) timMain.SetEnabled(true);
}

void TTARNCard::FeedWatchdog() {
  if (!readySent_) return;
  const uint64_t now = platform::TickMs();
  if (lastWatchdog_ != 0 && now - lastWatchdog_ < kWatchdogSpacingMs) return;
  lastWatchdog_ = now;
  platform::SdNotify("WATCHDOG=1");
}

void TTARNCard::MainTick() {
  // Every job may meet a database that stopped answering and wait out its bound: systemd
  // hears between the jobs that the main thread still turns.
  FeedWatchdog();
  if (CheckResetRequest()) {
    for (auto& loop : Loops) loop->UpdateOutputs();
    StopServer();
    return;
  }
  if (Offline) {
    Offline->SetCentral(CentralParamsOf(*Conn));
    Offline->Tick(Env && Env->Connected());
  }
  FeedWatchdog();
  TDateTime now = Now();
  int minute = DecodeDateTime(now).minute;
  if (minute == LastMinute) {
    CheckOpenRequests();
  } else {
    LastMinute = minute;
    if (!Loops.empty() && Loops.front()->Settings.AutoReset) {
      AutoResetCards(Now());
      FeedWatchdog();
      AutoResetCounts(Now());
    }
    for (auto& loop : Loops) {
      FeedWatchdog();
      loop->SyncReaderTime();
    }
  }
  FeedWatchdog();
  if (++TickCount >= 8) {
    ApplyGateSchedule();
    TickCount = 0;
    ++HeartbeatCount;
    FeedWatchdog();
    WriteHeartbeat();
    PublishLots();
  }
  // Every loop looks at its lot-full flags itself only with the gate schedule (which also keeps
  // its connection in use); at the other ticks one read for all loops says which have any: far
  // away, a read of each loop at every tick held the main thread a round trip a loop.
  const std::optional<std::set<int>> flagged = TickCount == 0 ? std::nullopt : LoopsWithLotFullFlags();
  for (auto& loop : Loops) {
    FeedWatchdog();
    if (!flagged || flagged->count(loop->LoopId) != 0 || loop->OutputsEveryTick()) loop->UpdateOutputs();
  }
  PublishLoops();
}

std::optional<std::set<int>> TTARNCard::LoopsWithLotFullFlags() {
  if (!Env || Loops.empty() || !Conn || !Conn->Connect()) return std::nullopt;
  std::string ids;
  for (auto& loop : Loops) ids += (ids.empty() ? "" : ",") + std::to_string(loop->LoopId);
  TODBCStatement st(Env.get());
  const TSqlOutcome outcome =
      st.Execute("SELECT loop_id FROM device WHERE loop_id in (" + ids + ") and (lf_sign_flag <> 0 or lf_output_flag <> 0)");
  if (!outcome.ok()) return std::nullopt;
  std::set<int> found;
  if (outcome.row()) {
    do found.insert(st.FieldAsInteger("loop_id"));
    while (st.dbSkip(skNext, 1));
  }
  return found;
}

void TTARNCard::PublishLoops() {
  auto& store = metrics::TStatusStore::Instance();
  for (auto& loop : Loops) {
    if (!loop->Card1 || !loop->Card1->IsOpen()) continue;
    const readerbus::TCard& card = *loop->Card1;
    store.LoopCounters(loop->LoopId, card.Exchanges(), card.StrayReplies(), card.DroppedCommands());
    for (int a = card.FirstReader(); a >= 1 && a <= card.LastReader(); ++a)
      store.DeviceGateUp(loop->LoopId, a, card.GateUp(a));
  }
}

void TTARNCard::PublishLots() {
  // Other programs of the site change counts too: one read of the small lot table now and
  // then keeps the page near the truth; the service's own changes are shown at once.
  if (!Env) return;
  TODBCStatement st(Env.get());
  if (!st.DoSQL("SELECT * FROM lot")) return;
  do {
    metrics::TStatusStore::Instance().Lot(st.FieldAsInteger("id"), st.FieldAsString("name"),
                                         st.FieldAsInteger("lot_count"), st.FieldAsInteger("max_capacity"));
  } while (st.dbSkip(skNext, 1));
}

void TTARNCard::WriteHeartbeat() {
  std::string path = platform::HomePath("alive.txt");
  // Never through a link or into a FIFO someone put in the home folder.
  std::string error;
  if (!platform::WriteRegularFile(path, std::to_string(HeartbeatCount) + "\r\n", 0644, error))
    throw std::runtime_error("Cannot create file \"" + path + "\". " + error);
}

bool TTARNCard::CheckResetRequest() {
  if (!Conn || !Conn->Connect()) return false;
  TODBCStatement st(Env.get());
  if (!st.ExecSQL("SELECT reset_vtsql FROM settings")) return false;
  return st.FieldAsBoolean("reset_vtsql");
}

void TTARNCard::CheckOpenRequests() {
  // Without a loop of this computer the id list is "()", which no database accepts in an
  // "in" clause: there is nothing of ours to open then.
  if (ownLoops_ == 0 || LoopIdList == "()") return;
  if (!Conn || !Conn->Connect()) return;
  bool found;
  {
    TODBCStatement st(Env.get());
    found = st.ExecSQLFmt("SELECT * FROM device WHERE loop_id in %s and open_flag<>0", LoopIdList);
  }
  if (found) ApplyGateSchedule();
}

void TTARNCard::ApplyGateSchedule() {
  if (!Env) return;
  TDateTime now = Now();
  int tab = HolidayTab(*Env, DateOf(now));
  int day = tab == 0 ? DayOfTheWeek(now) : (tab == 2 ? 9 : 8);

  TODBCStatement devices(Env.get());
  TODBCStatement updates(Env.get());
  std::string name = ReplaceAll(LowerCase(ReadComputerName()), "'", "''");
  updates.ExecSQLFmt("UPDATE " + TLoop::LoopTableName(*Env) + " SET lastupdate={fn now()} WHERE name='%s'", name);
  // The day's windows of every device in one read: a database far away costs one round trip
  // for them, not one for each device.
  std::map<int, std::vector<TGateWindow>> windows;
  if (devices.ExecSQLFmt("SELECT * FROM gateoc WHERE dayofweek = %d", day)) {
    do {
      windows[devices.FieldAsInteger("device_id")].push_back(GateWindowOf(devices));
    } while (devices.dbSkip(skNext, 1));
  }
  for (auto& loop : Loops) {
    if (!devices.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d", loop->LoopId)) continue;
    do {
      int id = devices.FieldAsInteger("id");
      int address = devices.FieldAsInteger("addr_ess");
      const auto found = windows.find(id);
      bool open = found != windows.end() && InGateWindows(found->second, now);
      if (!open) open = devices.FieldAsInteger("perm_open") != 0;
      if (loop->ForceGateState(address, open))
        updates.ExecSQLFmt("UPDATE device SET gate_up=%d WHERE id=%d", open ? 1 : 0, id);
      if (devices.FieldAsInteger("open_flag") != 0) {
        updates.ExecSQLFmt("UPDATE device SET open_flag = 0 WHERE id = %d", id);
        if (!open) loop->ManualOpen(address, static_cast<int>(devices.FieldAsFloat("open_pulse")));
      }
    } while (devices.dbSkip(skNext, 1));
  }
}

bool TTARNCard::InGateOpenWindow(int deviceId, int dayNumber, TDateTime moment) {
  TODBCStatement st(Env.get());
  if (!st.ExecSQLFmt("SELECT * FROM gateoc WHERE device_id = %d and dayofweek = %d", deviceId, dayNumber))
    return false;
  std::vector<TGateWindow> windows;
  do windows.push_back(GateWindowOf(st));
  while (st.dbSkip(skNext, 1));
  return InGateWindows(windows, moment);
}

}  // namespace tarn
