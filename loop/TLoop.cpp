#include "loop/TLoop.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "access/OfflineStore.h"
#include "access/OneRequest.h"
#include "counters/TCounter.h"
#include "counters/TInput.h"
#include "db/TODBC.h"
#include "db/TODBCConn.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"
#include "log/TEventLog.h"
#include "log/TMessLog.h"
#include "config/TIniFileEx.h"
#include "platform/Home.h"
#include "readerbus/ByteChannel.h"
#include "readerbus/PortSettings.h"
#include "readerbus/SerialPort.h"
#include "readerbus/TCard.h"
#include "metrics/StatusStore.h"
#include "util/Strings.h"

namespace tarn {

TLoopParts::TLoopParts() = default;
TLoopParts::~TLoopParts() = default;
TLoopParts::TLoopParts(TLoopParts&&) noexcept = default;
TLoopParts& TLoopParts::operator=(TLoopParts&&) noexcept = default;

std::string TLoop::LoopTableName(const TODBC& db) {
  return db.DriverFamily() == dfMySQL ? "`loop`" : "loop";
}

TLoop::TLoop(TMessLog& log, int loopId, TLoopParts parts)
    : Log(log),
      LoopId(loopId),
      DebugLog(parts.DebugLog),
      Offline(parts.Offline),
      DB(std::move(parts.DB)),
      Conn(std::move(parts.Conn)),
      Status(parts.Status ? *parts.Status : metrics::TStatusStore::Instance()),
      settingsSource_(std::move(parts.Settings)),
      line_(std::move(parts.Line)) {
  if (!settingsSource_) settingsSource_ = std::make_unique<TGivenLoopSettings>();
}

bool TLoop::SetUp() {
  if (!Conn) return false;
  // The loop is built right after the server reached the database and cannot start its
  // devices without it: this first attempt is waited for to its end.
  Conn->AttemptWaitMs = -1;
  const bool connected = Conn->Connect();
  Conn->AttemptWaitMs = TODBCConn::kAttemptWaitMs;
  if (connected) {
    UpgradeSchema();
    InitDevices();
  } else if (Offline != nullptr && Offline->HasCopy()) {
    // The service starts while the database is away: the devices start from the local copy,
    // and what needs the database follows when it is back (UpdateOutputs).
    InitDevicesFromCopy();
  }
  return connected;
}

TLoop::~TLoop() {
  Status.LoopClosed(LoopId);
  try {
    if (Card1) {
      Card1->Close();
      Card1.reset();
      EventLog.reset();
    }
    Counters.clear();
    Inputs.clear();
    DeviceTypes.clear();
    Conn.reset();
    DB.reset();
  } catch (...) {
    // Nothing may leave a destructor; the loop is gone either way.
  }
}

void TLoop::UpgradeSchema() {
  try {
    TODBCStatement q(DB.get());
    // Table names are case-sensitive on some servers: look for the name as the system's
    // statements write it when the upper-case form finds nothing.
    std::string names = q.GetColumnNames("DEVICE");
    if (names.empty()) names = q.GetColumnNames("device");
    const std::vector<std::string> deviceColumns = SplitCommaText(names);
    auto has = [](const std::vector<std::string>& columns, const std::string& name) {
      return std::any_of(columns.begin(), columns.end(),
                         [&](const std::string& c) { return SameText(c, name); });
    };
    static const char* const kDeviceColumns[] = {
        "GATE_UP",   "PTR_PAPER", "PTR_HDWR", "PTR_FAIL",    "PTR_STAT",    "PTR_PAPER2",
        "PTR_HDWR2", "PTR_FAIL2", "PTR_STAT2", "DEVICE_TYPE", "SPECIAL_OUT",
        // The shared mark of the POE/POF soft counts kept by several computers.
        "SOFT_SEEN"};
    for (const char* column : kDeviceColumns)
      if (!has(deviceColumns, column))
        q.ExecSQL("alter table device add " + LowerCase(column) + " integer");

    const std::vector<std::string> ticketColumns = SplitCommaText(q.GetColumnNames("tickinv"));
    if (!has(ticketColumns, "ONLINE")) {
      // Statements of older database dialects: each one that the database refuses is
      // simply not needed there.
      static const char* const kTicketUpgrade[] = {
          "drop TRIGGER AI_INSERT$TICKINV$TICKET",
          "drop generator gen$tickinv$ticket",
          "alter table tickinv drop issuername",
          "alter table tickinv add takerid integer",
          "alter table tickinv add online integer",
          "alter table tickinv add tran_id integer",
          "alter table tickinv alter column takerid position 9",
          "alter table tickinv alter column online position 10",
          "alter table tickinv alter column tran_id position 11",
          "drop INDEX TICKINV$status",
          "CREATE INDEX TICKINV$ticket ON TICKINV (ticket)"};
      for (const char* sql : kTicketUpgrade) q.DoSQL(sql);
    }
  } catch (const std::exception& e) {
    Log.Log(std::string("UpgradeSchema - Exception: ") + e.what());
  }
}

void TLoop::WireEvents() {
  Card1->OnData = [this](int16_t a, std::string d) { CardData(a, d); };
  Card1->OnMemory = [this](int16_t a, std::string d) { MemoryData(a, d); };
  Card1->OnBarCode = [this](int16_t a, std::string d) { BarcodeEvent(a, d); };
  Card1->OnPrinter = [this](int16_t a, std::string d) { PrinterEvent(a, d); };
  Card1->OnCounter = [this](int16_t a, std::string d) { CounterEvent(a, d); };
  Card1->OnInput = [this](int16_t a, std::string d) { InputEvent(a, d); };
  Card1->OnError = [this](int16_t a) { OfflineEvent(a); };
  Card1->OnPowerUp = [this](int16_t a) { PowerUpEvent(a); };
}

void TLoop::InitDevices() {
  Card1 = std::make_unique<readerbus::TCard>();
  WireEvents();
  try {
    EventLog = std::make_unique<TEventLog>(DB.get(), LoopId);
    int lowest = 0;
    int highest = 0;
    TODBCStatement q(DB.get());
    TODBCStatement m(DB.get());
    if (!q.ExecSQLFmt("SELECT * FROM " + LoopTableName(*DB) + " WHERE id = %d", LoopId)) {
      Log.Log("Failed Card Init - No Loop id: " + std::to_string(LoopId));
    } else if (q.FieldAsBoolean("enabled")) {
      const int port = q.FieldAsInteger("port");
      const bool rfModem = q.FieldAsBoolean("rfmodem");
      Card1->SetPort(static_cast<uint16_t>(port));
      Log.LogFmt("Init Devices for LoopId %d Port %d", LoopId, port);
      if (q.ExecSQLFmt("SELECT * FROM device WHERE loop_id=%d", LoopId)) {
        lowest = 99;
        highest = -99;
        do {
          const int a = q.FieldAsInteger("addr_ess");
          if (a < 1 || a > readerbus::TCard::kMaxAddress) {
            // The loop component polls 1..48 only; taking such an address into the range
            // would leave the whole loop unpolled without a word.
            Log.LogFmt("Device %s of loop id %d has address %d, outside 1..48: not set up",
                       q.FieldAsString("name"), LoopId, a);
            continue;
          }
          std::optional<std::pair<std::string, std::string>> texts;
          if (m.ExecSQLFmt("SELECT idle,gateup FROM messages WHERE id=%d", q.FieldAsInteger("msg_id")))
            texts = std::make_pair(m.FieldAsString("idle"), m.FieldAsString("gateup"));
          SetUpDevice(a, q.FieldAsInteger("id"), q.FieldAsString("name"), q.FieldAsInteger("device_type"), texts);
          lowest = std::min(lowest, a);
          highest = std::max(highest, a);
        } while (q.dbSkip());
        if (highest < lowest) {
          lowest = 0;
          highest = 0;
        } else {
          CreateHandlers(lowest, highest, false, true);
        }
      } else {
        Log.LogFmt("No devices found for loop id %d", LoopId);
      }

      StartLine(port, rfModem, lowest, highest);
    } else if (UpperCase(q.FieldAsString("name")) == "POE/POF") {
      if (!settingsSource_->ReadNoRemoteCounts() &&
          q.ExecSQLFmt("SELECT * FROM device WHERE loop_id=%d", LoopId)) {
        lowest = 99;
        highest = -99;
        do {
          // No line is polled here, so the 1..48 of a polled loop does not apply: every
          // device that can index a counter gets one.
          const int a = q.FieldAsInteger("addr_ess");
          if (a < 0 || a > kMaxSoftAddress) {
            Log.LogFmt("Device %s of loop id %d has address %d, outside 0..%d: not set up",
                       q.FieldAsString("name"), LoopId, a, kMaxSoftAddress);
            continue;
          }
          lowest = std::min(lowest, a);
          highest = std::max(highest, a);
        } while (q.dbSkip());
        if (highest >= lowest) CreateHandlers(lowest, highest, true, false);
      }
    }

    q.ExecSQLFmt("UPDATE device SET lf_sign_flag = 1 WHERE loop_id = %d and lf_sign <> 0", LoopId);
    q.ExecSQLFmt("UPDATE device SET lf_output_flag = 1 WHERE loop_id = %d and lf_enabled <> 0", LoopId);
    Log.Log("CreateCardInterface - Done");
  } catch (...) {
    Log.Log("CreateCardInterface - Exception");
  }
}

void TLoop::SetUpDevice(int address, int id, const std::string& name, int type,
                        const std::optional<std::pair<std::string, std::string>>& idleTexts) {
  if (idleTexts) {
    Card1->SetIdleMessage(address, idleTexts->first);
    Card1->SetGateUpMessage(address, idleTexts->second);
  } else {
    Card1->SetIdleMessage(address, "Default message");
    Card1->SetGateUpMessage(address, "Device activated");
  }
  if (DeviceTypes.size() < static_cast<size_t>(address) + 1) DeviceTypes.resize(static_cast<size_t>(address) + 1, 0);
  DeviceTypes[static_cast<size_t>(address)] = static_cast<uint8_t>(type);
  Status.DeviceSetUp(LoopId, address, id, name, type);
}

void TLoop::StartLine(int port, bool rfModem, int lowest, int highest) {
  Card1->SetFirstReader(lowest);
  Card1->SetLastReader(highest);
  if (rfModem) {
    Log.Log("NOTE: Using RF Modem Mode for loop id " + std::to_string(LoopId));
    Card1->SetRespDelay(200);
    Card1->SetTurnAround(100);
  }
  // Called on the poll thread; the log takes its lock around every write.
  Card1->OnLineNote = [this](const std::string& text) { Log.Log("Loop id " + std::to_string(LoopId) + ": " + text); };
  // What a detail line is worth: written only with DebugLog on.
  Card1->OnLineDetail = [this](const std::string& text) {
    if (DebugLog) Log.Log("Loop id " + std::to_string(LoopId) + ": " + text);
  };
  TakeSettings(rfModem);
  if (line_ == nullptr) {
    // A serial port's own options (RS-485 mode) sit next to its path in [Ports].
    TIniFileEx ini(platform::SettingsFilePath());
    std::vector<std::string> notes;
    Card1->SetLineOptions(readerbus::ReadLineOptionsEx(ini, port, &notes));
    for (const std::string& note : notes) Log.Log(note + " (loop id " + std::to_string(LoopId) + ")");
  }

  // A line handed in is used as it is; otherwise the serial port of the row's number.
  const bool given = line_ != nullptr;
  const bool opened = given ? Card1->OpenChannel(std::move(line_)) : Card1->Open();
  Status.LoopSetUp(LoopId, port, given ? std::string() : readerbus::SerialDeviceForPort(port), opened);
  if (opened) {
    Log.LogFmt("TCard - PollDly %d  TurnAround %d  RespDly %d  Baud %d  OffLineDly %d",
               static_cast<int64_t>(Card1->PollDelay()), static_cast<int64_t>(Card1->TurnAround()),
               static_cast<int64_t>(Card1->RespDelay()), static_cast<int64_t>(Card1->Baud()),
               static_cast<int64_t>(Card1->OffLineDelay()));
    Log.LogFmt("Device started.  LoopId %d  First address: %d  Last address: %d", LoopId, lowest, highest);
  } else {
    Log.Log("Failed to open port COM" + std::to_string(port) + " for loop id " + std::to_string(LoopId));
    if (!Card1->OpenError().empty()) Log.Log("  " + Card1->OpenError());
  }
}

void TLoop::CreateHandlers(int lowest, int highest, bool soft, bool withInputs) {
  Counters.clear();
  Counters.resize(static_cast<size_t>(highest) + 1);
  for (int a = lowest; a <= highest; ++a) {
    Counters[static_cast<size_t>(a)] =
        std::make_unique<TCounter>(Log, soft, Card1.get(), a, LoopId, DB.get());
    if (soft) Log.Log("Created POE/POF soft counter for address " + std::to_string(a));
  }
  if (!withInputs) return;
  Inputs.clear();
  Inputs.resize(static_cast<size_t>(highest) + 1);
  for (int a = lowest; a <= highest; ++a)
    Inputs[static_cast<size_t>(a)] =
        std::make_unique<TInput>(LoopId, DB.get(), EventLog.get(), Log, Card1.get(), a);
}

void TLoop::TakeSettings(bool rfModem) {
  if (!rfModem) {
    // A negative value would become days of waiting (RespDelay) or a minute's sleep before
    // every frame (TurnAround): each timing is kept within a sane range.
    TLineTimings current;
    current.RespDelay = static_cast<int>(Card1->RespDelay());
    current.TurnAround = static_cast<int>(Card1->TurnAround());
    current.PollDelay = static_cast<int>(Card1->PollDelay());
    const TLineTimings read = settingsSource_->ReadLineTimings(current);
    auto timing = [&](const char* key, int value) {
      const int used = LineTiming(value);
      if (used != value) Log.Log(LineTimingNote(key, value, used) + " (loop id " + std::to_string(LoopId) + ")");
      return used;
    };
    Card1->SetRespDelay(static_cast<uint32_t>(timing("RespDelay", read.RespDelay)));
    Card1->SetTurnAround(static_cast<uint16_t>(timing("TurnAround", read.TurnAround)));
    Card1->SetPollDelay(static_cast<uint32_t>(timing("PollDelay", read.PollDelay)));
  }
  Settings = settingsSource_->ReadSettings();
  SyncCount = 0;
  Card1->SetPayOnFoot(Settings.PayOnFootPoll);
  Card1->SetNoInputs(Settings.InputsOff);
  Card1->SetNoCounters(Settings.CountersOff);
}

void TLoop::AddSoftCount(int address) {
  if (address < 0 || static_cast<size_t>(address) >= Counters.size()) return;
  TCounter* counter = Counters[static_cast<size_t>(address)].get();
  if (counter == nullptr) return;
  // Decided from the local copy: the passage waits in the journal with the other writes.
  if (FromCopy())
    Offline->SoftCount(counter->DeviceId());
  else
    counter->AddSoftCount();
}

std::optional<TCountAt> TLoop::CountAtFor(int address) const {
  if (address < 0 || static_cast<size_t>(address) >= Counters.size() || !Counters[static_cast<size_t>(address)])
    return std::nullopt;
  return TCountAt{LoopId, address};
}

void TLoop::CountPassage(int address, const std::shared_ptr<TSharedCount>& count) {
  TCounter* counter = address >= 0 && static_cast<size_t>(address) < Counters.size()
                          ? Counters[static_cast<size_t>(address)].get()
                          : nullptr;
  if (count && count->carried && counter)
    counter->Counted(*count->carried, count->lotsNow);
  else
    AddSoftCount(address);
}

void TLoop::ManualOpen(int address, int pulse) {
  if (!Card1) return;
  Log.Log("Manual open Loop Id " + std::to_string(LoopId) + " address " + std::to_string(address));
  Card1->GateOpenMsg(address, true, "Manual Open", pulse);
  TODBCStatement q(DB.get());
  q.ExecSQLFmt("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", LoopId, address);
  TSql sql(dfMySQL);
  sql.AddDateTime("dat_e", Now());
  sql.AddInteger("device_id", q.FieldAsInteger("id"));
  sql.AddInteger("error_code", 999);
  sql.AddField("error_desc", "Manual Open", true);
  sql.AddInteger("cardno", 9999999);
  sql.AddField("device_name", q.FieldAsString("name"), true);
  sql.AddField("first_name", q.FieldAsString("remote_user"), true);
  sql.AddField("last_name", "IP:" + q.FieldAsString("remote_ip"), true);
  TODBCStatement ins(DB.get());
  ins.ExecSQL(sql.BuildInsert("INSERT INTO trans", "Values", ""));
}

int TLoop::LineTiming(int value) { return std::clamp(value, 0, kMaxLineTiming); }

std::string TLoop::LineTimingNote(const std::string& key, int read, int used) {
  return "Setting " + key + " = " + std::to_string(read) + " is outside 0.." + std::to_string(kMaxLineTiming) +
         " ms: " + std::to_string(used) + " is used";
}

void TLoop::ReportDroppedCommands(const char* what) {
  if (!Card1) return;
  for (int a = 0; a <= readerbus::TCard::kMaxAddress; ++a)
    if (uint32_t n = Card1->TakeDroppedCommands(a); n > 0)
      Log.LogFmt("Loop id %d address %d: %d command(s) of %s dropped, the command queue is full", LoopId, a,
                 static_cast<int64_t>(n), std::string(what));
}

int64_t TLoop::MinutesBetween(TDateTime later, TDateTime earlier) {
  return MinutesBetweenSigned(later, earlier);
}

}  // namespace tarn
