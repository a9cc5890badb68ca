#pragma once
// TLoop: the controller of one reader loop (one row of table `loop`). It owns its own
// managed database connection, its loop component Card1 with the poll and event threads,
// its event log, and a counter and an input handler per device address. Construction
// connects, upgrades the schema, reads the devices, messages and settings file, and opens
// the port; the device-event handlers and the periodic operations below run on the main
// thread only (the timers' thread), one at a time, so nothing here takes a lock.
// Destruction closes Card1 (joining its threads) before anything else is freed.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/DateTime.h"

namespace tarn {

namespace readerbus {
class TCard;
}
class TMessLog;
class TODBC;
class TODBCConn;
class TEventLog;
class TCounter;
class TInput;
class TSql;
class TIniFileEx;

class TLoop {
 public:
  // Highest device address of a POE/POF soft-count loop: no line is polled there, but one
  // counter is kept per address from the lowest to the highest, so a stray address must
  // not make thousands of them.
  static constexpr int kMaxSoftAddress = 255;

  TLoop(TMessLog& log, int loopId);
  ~TLoop();
  TLoop(const TLoop&) = delete;
  TLoop& operator=(const TLoop&) = delete;

  // Set-up steps of the construction.
  void UpgradeSchema();
  void InitDevices();

  // Soft count of a passage at an address (nothing when the address has no counter).
  void AddSoftCount(int address);
  // Opens the gate of an address for `pulse`, shows "Manual Open" and records a trans row.
  void ManualOpen(int address, int pulse);
  // (later - earlier) in whole minutes, truncated toward zero.
  static int64_t MinutesBetween(TDateTime later, TDateTime earlier);

  // Device-event handlers (bound to Card1's events).
  void CardData(int address, const std::string& data);
  void MemoryData(int address, const std::string& data);
  void BarcodeEvent(int address, const std::string& data);
  void PrinterEvent(int address, const std::string& data);
  void CounterEvent(int address, const std::string& data);
  void InputEvent(int address, const std::string& data);
  void OfflineEvent(int address);
  void PowerUpEvent(int address);

  // Card, ticket and status work behind the handlers.
  void CardRead(int address, const std::string& data);
  void MemoryCard(int address, const std::string& data);
  // `refusedText`: the reader's text of a number no card can have (the device's messages
  // are used, with that text for %c).
  std::string ReaderMessage(int result, int address, int64_t cardNumber, const std::string& refusedText = "");
  bool SpecialOutput(int address, int space, int pulse);
  void CheckExitTicket(int address, const std::string& barcode);
  void RecordIssuedTicket(int address, const std::string& data);
  void PrinterStatus(int address, const std::string& data);

  // Printer status word -> "paper out;low paper;" ..., "Ok" when no listed bit is set.
  static std::string PrinterStatusText(int status);
  // Adds ptr_paper, ptr_hdwr, ptr_fail, ptr_stat (names ending in "2" for the second
  // printer) of a status word to an UPDATE builder.
  static void PrinterColumns(TSql& sql, int status, bool second);
  // The name of table loop as this connection's SQL must write it (LOOP is a reserved word
  // for MySQL and MariaDB).
  static std::string LoopTableName(const TODBC& db);
  // Line timings of the settings file (RespDelay, TurnAround, PollDelay) are taken within
  // 0..kMaxLineTiming ms; a value outside is replaced by the nearest end.
  static constexpr int kMaxLineTiming = 10000;
  static int LineTiming(int value);
  // The log line for a timing that was out of range.
  static std::string LineTimingNote(const std::string& key, int read, int used);
  // Logs, once per call, the commands to each address that were dropped because the
  // command queue of the loop was full (`what`: the operation that queued them).
  void ReportDroppedCommands(const char* what);
  // A settings-file comma list of integers; entries that are not numbers give `invalid`.
  static std::vector<int> LaneList(const std::string& text, int invalid);

  // Periodic operations called by the main timer.
  void UpdateOutputs();
  bool ForceGateState(int address, bool open);
  void SyncReaderTime();

  // Fields read by the handlers and the main timer.
  TMessLog& Log;
  std::unique_ptr<TODBC> DB;
  std::unique_ptr<TODBCConn> Conn;
  std::unique_ptr<readerbus::TCard> Card1;
  std::unique_ptr<TEventLog> EventLog;
  int LoopId;
  bool DebugLog = true;
  int SyncMinutes = 0;
  int SyncCount = 0;
  int GraceTimePOF = 15;
  std::vector<int> ExtendedGraceLanes{0};
  int GraceTimePOFExtended = 15;
  int GraceTimeFuture = 15;
  std::vector<int> InternalLanes{0};
  bool OldTicketFormat = false;
  bool FlatRateFlag = false;
  std::string EmailServer;
  int EmailPort = 0;
  std::string EmailFrom;
  std::string EmailTo;
  bool LowSecurityOnDBError = false;
  bool SyncExitReader = true;
  int LastOpenPulse = 0;
  bool DebitExpiry = false;
  bool AutoReset = true;
  // Indexed by address; null below the lowest address.
  std::vector<std::unique_ptr<TCounter>> Counters;
  // Input handlers of this loop, indexed by address (kept per loop, so loops with
  // overlapping addresses never replace or free each other's handlers).
  std::vector<std::unique_ptr<TInput>> Inputs;
  std::vector<uint8_t> DeviceTypes;

 private:
  void WireEvents();
  // Counter (and input) handlers for every address from lowest to highest.
  void CreateHandlers(int lowest, int highest, bool soft, bool withInputs);
  void ReadSettings(TIniFileEx& ini);
};

}  // namespace tarn
