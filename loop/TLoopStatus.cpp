// The device status handlers of the loop: printer states, counter and input readings, and
// the on-line state of each device.
#include <exception>

#include "access/OfflineStore.h"
#include "counters/TCounter.h"
#include "counters/TInput.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"
#include "log/TEventLog.h"
#include "log/TMessLog.h"
#include "loop/TLoop.h"
#include "metrics/StatusStore.h"
#include "util/Strings.h"

namespace tarn {

namespace {

struct PrinterBit {
  int bit;
  const char* text;
};

constexpr PrinterBit kPrinterBits[] = {
    {1, "offline;"},        {2, "paper out;"},    {4, "low paper;"},   {16, "cover open;"},
    {32, "temp error;"},    {64, "power error;"}, {128, "paper jam;"}, {256, "cutter error;"},
    {512, "ram error;"},    {1024, "eprom error;"}, {2048, "emitter error;"},
};

constexpr int kListedBits = 4087;  // every bit with a text (8 has none)
constexpr int kPaperBits = 134;    // paper out, low paper, paper jam

int PrinterWord(const std::string& text) { return StrToIntDef(Trim(text), 0); }

}  // namespace

std::string TLoop::PrinterStatusText(int status) {
  std::string text;
  for (const PrinterBit& b : kPrinterBits)
    if ((status & b.bit) != 0) text += b.text;
  return text.empty() ? "Ok" : text;
}

std::vector<std::pair<std::string, int64_t>> TLoop::PrinterColumnValues(int status, bool second) {
  int paper = 0;
  int hardware = 0;
  int failure = 0;
  if ((status & kListedBits) != 0) {
    if ((status & kPaperBits) != 0) {
      if ((status & 4) != 0) paper += 1;
      if ((status & (2 | 128)) != 0) paper += 2;
    } else if ((status & 1) != 0) {
      failure = 1;
    } else {
      hardware = 1;
    }
  }
  const std::string suffix = second ? "2" : "";
  return {{"ptr_paper" + suffix, paper},
          {"ptr_hdwr" + suffix, hardware},
          {"ptr_fail" + suffix, failure},
          {"ptr_stat" + suffix, status}};
}

void TLoop::PrinterColumns(TSql& sql, int status, bool second) {
  for (const auto& [column, value] : PrinterColumnValues(status, second)) sql.AddInteger(column, value);
}

void TLoop::PrinterEvent(int address, const std::string& data) {
  Status.DeviceAnswered(LoopId, address);
  try {
    const bool connected = Conn->Connect();
    if (connected || (Offline != nullptr && Offline->DecideOffline(connected))) PrinterStatus(address, data);
  } catch (const std::exception& e) {
    Log.Log(std::string("PrinterEvent Exception! ") + e.what());
  }
}

void TLoop::PrinterStatus(int address, const std::string& data) {
  int w1;
  int w2 = 0;
  const std::string now = FormatDateTime("MMMDD/YYYY HH:NN:SS", Now());
  const size_t comma = data.find(',');
  if (comma != std::string::npos) {
    w1 = PrinterWord(data.substr(0, comma));
    w2 = PrinterWord(data.substr(comma + 1, 99));
    Log.LogFmt("PStat:%d %d Reader: %d Date:%s ... Status:%s 2nd: %s", w1, w2, address, now,
               PrinterStatusText(w1), PrinterStatusText(w2));
  } else {
    w1 = PrinterWord(data);
    Log.LogFmt("PStat:%d Reader: %d Date:%s ... Status:%s", w1, address, now, PrinterStatusText(w1));
  }
  Status.DevicePrinter(LoopId, address, w1 | w2,
                       w2 != 0 ? PrinterStatusText(w1) + " " + PrinterStatusText(w2) : PrinterStatusText(w1));
  if (EventLog) {
    EventLog->LastStatus = w1;
    EventLog->LogEvent("PTR", 9, address);
  }
  if (FromCopy()) {
    std::vector<std::pair<std::string, int64_t>> columns = PrinterColumnValues(w1, false);
    for (auto& c : PrinterColumnValues(w2, true)) columns.push_back(std::move(c));
    KeepDeviceStatus(address, std::move(columns));
    return;
  }
  TSql sql(DB->DriverFamily());
  PrinterColumns(sql, w1, false);
  PrinterColumns(sql, w2, true);
  TODBCStatement q(DB.get());
  q.ExecSQLFmt(sql.BuildUpdate("UPDATE device", "WHERE loop_id = %d and addr_ess = %d"), LoopId, address);
}

void TLoop::CounterEvent(int address, const std::string& data) {
  Status.DeviceAnswered(LoopId, address);
  try {
    std::string line = "Counter Event # " + std::to_string(address) + " not setup! |" + data + "|";
    if (address >= 0 && static_cast<size_t>(address) < Counters.size() &&
        Counters[static_cast<size_t>(address)]) {
      line.clear();
      std::string result;
      if (Conn->Connect())
        Counters[static_cast<size_t>(address)]->Process(data, result);
      else
        result = "Database error";
      if (DebugLog) {
        std::string digits;
        for (size_t i = 0; i < data.size(); ++i) {
          if (i > 0) digits += ',';
          digits += std::to_string(static_cast<unsigned char>(data[i]) & 0x0F);
        }
        Log.Log("Counter event " + result + " input value: " + data + " = " + digits);
      }
    }
    if (DebugLog && !line.empty()) Log.Log(line);
  } catch (...) {
    Log.Log("CounterEvent Exception!");
  }
}

void TLoop::InputEvent(int address, const std::string& data) {
  Status.DeviceAnswered(LoopId, address);
  try {
    if (address > 0 && static_cast<size_t>(address) < Inputs.size() &&
        Inputs[static_cast<size_t>(address)] && Conn->Connect())
      Inputs[static_cast<size_t>(address)]->Process(data);
  } catch (const std::exception& e) {
    Log.Log(std::string("EXCEPTION: InputEvent ") + e.what());
    Log.Log("           Reader - " + std::to_string(address) + "  Loop - " + std::to_string(LoopId) +
            " - |" + data + "|");
  }
}

void TLoop::OfflineEvent(int address) {
  Status.DeviceOnline(LoopId, address, false);
  try {
    const bool connected = Conn->Connect();
    if (Offline != nullptr && Offline->DecideOffline(connected)) {
      Log.Log("Offline, Device: " + Offline->Copy().DeviceName(LoopId, address));
      KeepDeviceStatus(address, {{"online_flag", 0}});
      return;
    }
    if (!connected) return;
    TODBCStatement q(DB.get());
    q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", LoopId, address);
    Log.Log("Offline, Device: " + q.FieldAsString("name"));
    q.ExecSQLFmt("UPDATE device SET online_flag = 0 WHERE loop_id = %d and addr_ess = %d", LoopId, address);
  } catch (const std::exception& e) {
    Log.Log(std::string("OfflineEvent Exception! ") + e.what());
  }
}

void TLoop::PowerUpEvent(int address) {
  Status.DeviceOnline(LoopId, address, true);
  try {
    const bool connected = Conn->Connect();
    if (Offline != nullptr && Offline->DecideOffline(connected)) {
      Log.Log("PowerUp Event, Device: " + Offline->Copy().DeviceName(LoopId, address));
      KeepDeviceStatus(address, {{"online_flag", 1}});
      return;
    }
    if (!connected) return;
    TODBCStatement q(DB.get());
    q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", LoopId, address);
    Log.Log("PowerUp Event, Device: " + q.FieldAsString("name"));
    q.ExecSQLFmt("UPDATE device SET online_flag = 1 WHERE loop_id = %d and addr_ess = %d", LoopId, address);
  } catch (const std::exception& e) {
    Log.Log(std::string("PowerUpEvent Exception! ") + e.what());
  }
}

}  // namespace tarn
