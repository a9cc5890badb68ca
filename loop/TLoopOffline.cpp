// The loop controller without its database: set up from the local copy when the service
// starts during an outage, and the device status kept in the journal while the loop decides
// from the copy. Main thread only, like every handler of TLoop.
#include <algorithm>

#include "access/OfflineStore.h"
#include "counters/TCounter.h"
#include "counters/TInput.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "log/TEventLog.h"
#include "log/TMessLog.h"
#include "loop/TLoop.h"
#include "metrics/Metrics.h"
#include "readerbus/TCard.h"
#include "util/Strings.h"

namespace tarn {

bool TLoop::FromCopy() const { return Offline != nullptr && Offline->Deciding(); }

bool TLoop::CopyTakesOverAfterLoss() {
  if (Offline == nullptr || FromCopy() || !Offline->DecideOffline(false)) return false;
  metrics::Report(metrics::TEvent::OfflineDecision);
  return true;
}

void TLoop::InitDevicesFromCopy() {
  setUpOnlinePending_ = true;
  Card1 = std::make_unique<readerbus::TCard>();
  WireEvents();
  try {
    EventLog = std::make_unique<TEventLog>(DB.get(), LoopId);
    TOfflineCopy& copy = Offline->Copy();
    int lowest = 0;
    int highest = 0;
    const std::optional<TCopyLoopRow> row = copy.Loop(LoopId);
    if (!row) {
      Log.Log("Failed Card Init - No Loop id: " + std::to_string(LoopId));
    } else if (row->enabled) {
      Log.LogFmt("Init Devices for LoopId %d Port %d", LoopId, row->port);
      const std::vector<TCopyDeviceRow> devices = copy.Devices(LoopId);
      std::vector<const TCopyDeviceRow*> taken;
      if (!devices.empty()) {
        lowest = 99;
        highest = -99;
        for (const TCopyDeviceRow& d : devices) {
          if (d.address < 1 || d.address > readerbus::TCard::kMaxAddress) {
            Log.LogFmt("Device %s of loop id %d has address %d, outside 1..48: not set up", d.name, LoopId,
                       d.address);
            continue;
          }
          SetUpDevice(d.address, d.id, d.name, d.type, copy.IdleTexts(d.msgId));
          lowest = std::min(lowest, d.address);
          highest = std::max(highest, d.address);
        }
        if (highest < lowest) {
          lowest = 0;
          highest = 0;
        }
      } else {
        Log.LogFmt("No devices found for loop id %d", LoopId);
      }
      if (highest >= lowest && highest > 0) {
        // The handlers of every address in the range, from the copy's rows (an address
        // without a row gets handlers too, with nothing known).
        Counters.clear();
        Counters.resize(static_cast<size_t>(highest) + 1);
        Inputs.clear();
        Inputs.resize(static_cast<size_t>(highest) + 1);
        for (int a = lowest; a <= highest; ++a) {
          auto it = std::find_if(devices.begin(), devices.end(), [a](const TCopyDeviceRow& d) { return d.address == a; });
          TCounter::TKnownRow counter;
          TInput::TKnownRow input;
          if (it != devices.end()) {
            counter = TCounter::TKnownRow{it->id, it->countSoft};
            input = TInput::TKnownRow{it->id, it->doorInput, it->ajarTimer, it->ajarOutput, it->fireInput};
          }
          Counters[static_cast<size_t>(a)] = std::make_unique<TCounter>(Log, false, Card1.get(), a, DB.get(), counter);
          Inputs[static_cast<size_t>(a)] =
              std::make_unique<TInput>(DB.get(), EventLog.get(), Log, Card1.get(), a, input);
        }
      }
      StartLine(row->port, row->rfModem, lowest, highest);
    } else if (UpperCase(row->name) == "POE/POF") {
      const std::vector<TCopyDeviceRow> devices = copy.Devices(LoopId);
      if (!settingsSource_->ReadNoRemoteCounts() && !devices.empty()) {
        lowest = 99;
        highest = -99;
        for (const TCopyDeviceRow& d : devices) {
          if (d.address < 0 || d.address > kMaxSoftAddress) {
            Log.LogFmt("Device %s of loop id %d has address %d, outside 0..%d: not set up", d.name, LoopId, d.address,
                       kMaxSoftAddress);
            continue;
          }
          lowest = std::min(lowest, d.address);
          highest = std::max(highest, d.address);
        }
        if (highest >= lowest) {
          Counters.clear();
          Counters.resize(static_cast<size_t>(highest) + 1);
          for (int a = lowest; a <= highest; ++a) {
            auto it =
                std::find_if(devices.begin(), devices.end(), [a](const TCopyDeviceRow& d) { return d.address == a; });
            TCounter::TKnownRow counter;
            if (it != devices.end()) counter = TCounter::TKnownRow{it->id, it->countSoft};
            Counters[static_cast<size_t>(a)] = std::make_unique<TCounter>(Log, true, Card1.get(), a, DB.get(), counter);
            Log.Log("Created POE/POF soft counter for address " + std::to_string(a));
          }
        }
      }
    }
    Log.Log("CreateCardInterface - Done");
  } catch (...) {
    Log.Log("CreateCardInterface - Exception");
  }
}

void TLoop::FinishSetUpOnline() {
  if (!setUpOnlinePending_ || !Conn || !Conn->Connect()) return;
  setUpOnlinePending_ = false;
  UpgradeSchema();
  TODBCStatement q(DB.get());
  q.ExecSQLFmt("UPDATE device SET lf_sign_flag = 1 WHERE loop_id = %d and lf_sign <> 0", LoopId);
  q.ExecSQLFmt("UPDATE device SET lf_output_flag = 1 WHERE loop_id = %d and lf_enabled <> 0", LoopId);
}

void TLoop::KeepDeviceStatus(int address, std::vector<std::pair<std::string, int64_t>> columns) {
  TDeviceStatus status;
  status.loopId = LoopId;
  status.address = address;
  status.columns = std::move(columns);
  Offline->DeviceStatus(status);
}

}  // namespace tarn
