// Operations the main timer calls on a loop: the lot-full outputs and free-space signs,
// forced gate states, and the time sync of the ticket dispensers and exit readers.
#include <exception>

#include "counters/TCounter.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "log/TMessLog.h"
#include "loop/TLoop.h"
#include "readerbus/TCard.h"
#include "util/DateTime.h"

namespace tarn {

namespace {
// Sign text: control characters 20, '1', 13 and 22, the free spaces, then "\1\1".
std::string SignText(int freeSpaces) {
  std::string s;
  s += static_cast<char>(20);
  s += '1';
  s += static_cast<char>(13);
  s += static_cast<char>(22);
  s += std::to_string(freeSpaces);
  s += "\\1\\1";
  return s;
}
}  // namespace

void TLoop::UpdateOutputs() {
  try {
    if (!Conn || !Conn->Connect()) return;
    FinishSetUpOnline();
    TODBCStatement st(DB.get());
    for (auto& counter : Counters)
      if (counter && counter->Soft()) counter->SyncSoftCount(st);

    TODBCStatement devices(DB.get());
    TODBCStatement lot(DB.get());
    if (!devices.ExecSQLFmt(
            "SELECT * FROM device WHERE loop_id = %d and (lf_sign_flag <> 0 or lf_output_flag <> 0)", LoopId))
      return;
    do {
      int id = devices.FieldAsInteger("id");
      int address = devices.FieldAsInteger("addr_ess");
      std::string name = devices.FieldAsString("name");
      if (!lot.ExecSQLFmt("SELECT * FROM lot WHERE id = %d", devices.FieldAsInteger("lot_id"))) {
        st.ExecSQLFmt("UPDATE device SET lf_output_flag = 0, lf_sign_flag = 0 WHERE id = %d", id);
        continue;
      }
      int count = lot.FieldAsInteger("lot_count");
      int capacity = lot.FieldAsInteger("max_capacity");
      if (devices.FieldAsBoolean("lf_output_flag")) {
        bool full = count >= capacity;
        int output = devices.FieldAsInteger("lf_output");
        // Outputs are numbered from 2; anything outside the 16 output bits drives none.
        int shift = output - 2;
        uint16_t bits = (shift >= 0 && shift < 16) ? static_cast<uint16_t>(1u << shift) : 0;
        if (Card1) Card1->SetOutputs(address, full, bits);
        st.ExecSQLFmt("UPDATE device SET lf_output_flag = 0 WHERE id = %d", id);
        if (DebugLog) Log.Log(std::string("Lot full output is now ") + (full ? " On" : " Off") + " for " + name);
      }
      if (devices.FieldAsBoolean("lf_sign_flag")) {
        int freeSpaces = capacity - count;
        if (freeSpaces < 0) freeSpaces = 0;
        if (Card1) Card1->SendSignText(address, SignText(freeSpaces));
        st.ExecSQLFmt("UPDATE device SET lf_sign_flag = 0 WHERE id = %d", id);
        if (DebugLog) Log.Log("Lot full sign is being updated to " + std::to_string(freeSpaces) + " for " + name);
      }
    } while (devices.dbSkip(skNext, 1));
    ReportDroppedCommands("UpdateOutputs");
  } catch (const std::exception& e) {
    Log.Log(std::string("EXCEPTION: UpdateOutputs ") + e.what());
  } catch (...) {
    Log.Log("EXCEPTION: UpdateOutputs ");
  }
}

bool TLoop::OutputsEveryTick() const {
  if (setUpOnlinePending_) return true;
  for (const auto& counter : Counters)
    if (counter && counter->Soft()) return true;
  return false;
}

bool TLoop::ForceGateState(int address, bool open) {
  if (!Card1) return false;
  bool up = Card1->GateUp(address);
  if (!open && up) {
    Card1->SetGateUp(address, false);
    ReportDroppedCommands("ForceGateState");
    if (DebugLog)
      Log.Log("Loop id " + std::to_string(LoopId) + " address " + std::to_string(address) + " forced closed");
    return true;
  }
  if (open && !up) {
    Card1->SetGateUp(address, true);
    ReportDroppedCommands("ForceGateState");
    if (DebugLog)
      Log.Log("Loop id " + std::to_string(LoopId) + " address " + std::to_string(address) + " forced open");
    return true;
  }
  return false;
}

void TLoop::SyncReaderTime() {
  if (Settings.SyncMinutes <= 0) return;
  ++SyncCount;
  if (SyncCount < Settings.SyncMinutes) return;
  bool any = false;
  if (Card1) {
    for (int a = Card1->FirstReader(); a <= Card1->LastReader(); ++a) {
      int type = (a >= 0 && a < static_cast<int>(DeviceTypes.size())) ? DeviceTypes[static_cast<size_t>(a)] : 0;
      if (type == 1 || (type == 2 && Settings.SyncExitReader)) {
        if (!any) Log.Log("Automated Sync Of Time/Date to Spitters & Exit Readers");
        any = true;
        Card1->SendDateTime(a, FormatDateTime("hhnnssyymmdd", Now()));
      }
    }
  }
  ReportDroppedCommands("SyncReaderTime");
  if (any) Log.Log("  Done T/D Sync");
  SyncCount = 0;
}

}  // namespace tarn
