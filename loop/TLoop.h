#pragma once
// TLoop: the controller of one reader loop (one row of table `loop`). It is built from its
// parts (TLoopParts: its own managed database connection, where its settings come from, its
// line, the status store it publishes into) and then set up by SetUp: connect, upgrade the
// schema, read the devices, the messages and the settings, build the loop component Card1
// with the poll and event threads, the event log, a counter and an input handler per device
// address, and open the line. The service assembles a loop of the site from the registry,
// the settings file and the serial port (service/LoopAssembly.h); a test hands in its own
// parts (a test database, given settings, an in-memory line).
//
// Threads: construction, SetUp, destruction, the device-event handlers and the periodic
// operations below run on the main thread only (the timers' thread), one at a time, so
// nothing here takes a lock. Only Log is also used by the poll thread (line notes).
// Destruction closes Card1 (joining its threads) before anything else is freed.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/TLoopSettings.h"
#include "util/DateTime.h"

namespace tarn {

namespace readerbus {
class TCard;
class TByteChannel;
}  // namespace readerbus
namespace metrics {
class TStatusStore;
}  // namespace metrics
class TMessLog;
class TODBC;
class TOfflineStore;
class TODBCConn;
class TEventLog;
class TCounter;
class TInput;
class TSql;
struct TCountAt;
struct TSharedCount;

// What a loop controller is built from. Everything here moves into the loop.
struct TLoopParts {
  TLoopParts();
  ~TLoopParts();
  TLoopParts(TLoopParts&&) noexcept;
  TLoopParts& operator=(TLoopParts&&) noexcept;

  // The loop's own managed connection and its connection object, attached to each other
  // (Conn->ODBC == DB.get()) and logging into the loop's log; not yet connected. Required.
  std::unique_ptr<TODBCConn> Conn;
  std::unique_ptr<TODBC> DB;
  // Detail lines in the handlers (the registry's "DebugLog").
  bool DebugLog = true;
  // Where the settings come from; null: the defaults of TLoopSettings, nothing read.
  std::unique_ptr<TLoopSettingsSource> Settings;
  // The line. Null: the serial port of the loop row's port number (settings file [Ports]),
  // opened again by the poll thread when it is lost. A channel (an in-memory pair, one side
  // of a pseudo-terminal) is used as it is and not opened again.
  std::unique_ptr<readerbus::TByteChannel> Line;
  // Where set-up and device states are published; null: the process's store. Not owned; it
  // must outlive the loop.
  metrics::TStatusStore* Status = nullptr;
  // Deciding from the local copy while the database cannot be reached; null: off (reads are
  // answered as without a database). Not owned; it must outlive the loop.
  TOfflineStore* Offline = nullptr;
};

class TLoop {
 public:
  // Highest device address of a POE/POF soft-count loop: no line is polled there, but one
  // counter is kept per address from the lowest to the highest, so a stray address must
  // not make thousands of them.
  static constexpr int kMaxSoftAddress = 255;

  // Takes the parts; nothing is connected, read or opened yet.
  TLoop(TMessLog& log, int loopId, TLoopParts parts);
  ~TLoop();
  TLoop(const TLoop&) = delete;
  TLoop& operator=(const TLoop&) = delete;

  // Connects, waiting for the first attempt to its end (the loop cannot start its devices
  // without the database), then UpgradeSchema and InitDevices. Without a database the loop
  // stays without a component and handles no device, unless offline decisions have a local
  // copy: then the devices start from the copy (InitDevicesFromCopy). False without a
  // database. Call once.
  bool SetUp();
  // The steps of SetUp.
  void UpgradeSchema();
  void InitDevices();
  // InitDevices from the rows of the local copy; the steps that write to the database (the
  // schema upgrade, the lot-full refresh flags) run when it can be reached again.
  void InitDevicesFromCopy();
  // The loop decides from the local copy now (offline decisions on, and the database cannot
  // be reached or writes decided offline still wait for it).
  bool FromCopy() const;
  // A decision found the database gone after its connection was taken as alive (nothing was
  // read or written): true when the local copy takes the read over (offline decisions on and
  // a copy there); the caller then decides again, from the copy.
  bool CopyTakesOverAfterLoss();

  // Soft count of a passage at an address (nothing when the address has no counter).
  void AddSoftCount(int address);
  // Where a decision at `address` counts its passage with its writes: this loop and address
  // when the address has a counter, else nothing.
  std::optional<TCountAt> CountAtFor(int address) const;
  // The passage of a decision at `address` counted: when the decision's writes carried it
  // (`count`), its log lines and count seen follow now; else AddSoftCount.
  void CountPassage(int address, const std::shared_ptr<TSharedCount>& count);
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
  static std::vector<std::pair<std::string, int64_t>> PrinterColumnValues(int status, bool second);
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

  // Periodic operations called by the main timer.
  void UpdateOutputs();
  // Whether UpdateOutputs has work at every tick besides the lot-full flags of the loop's
  // devices: soft counts to take over, or a set-up that waits on the database.
  bool OutputsEveryTick() const;
  bool ForceGateState(int address, bool open);
  void SyncReaderTime();

  // --- identity and parts (from the construction; fixed for the loop's life) -------------
  // The server's log, shared by every loop, not owned; any thread (it takes its own lock).
  TMessLog& Log;
  int LoopId;
  // Detail lines in the handlers.
  bool DebugLog = true;
  // Offline decisions; null when off. Not owned.
  TOfflineStore* Offline = nullptr;
  // The loop's own connection (Conn keeps DB connected); owned. Main thread only: every
  // statement of the loop is made on DB.
  std::unique_ptr<TODBC> DB;
  std::unique_ptr<TODBCConn> Conn;
  // The status store the loop publishes into; not owned.
  metrics::TStatusStore& Status;

  // --- made by SetUp (empty before, and when the database was not reached) -------------
  // The loop component; owned. Its commands are for the main thread; its poll and event
  // threads run while it is open.
  std::unique_ptr<readerbus::TCard> Card1;
  std::unique_ptr<TEventLog> EventLog;
  // Indexed by address; null below the lowest address.
  std::vector<std::unique_ptr<TCounter>> Counters;
  // Input handlers of this loop, indexed by address (kept per loop, so loops with
  // overlapping addresses never replace or free each other's handlers).
  std::vector<std::unique_ptr<TInput>> Inputs;
  // device.device_type by address: 1 ticket dispenser, 2 exit ticket reader, else a reader.
  std::vector<uint8_t> DeviceTypes;

  // --- settings (taken by SetUp from the settings source; main thread only) -------------
  // The defaults until then. Tests may change them between events.
  TLoopSettings Settings;

  // --- state of the handlers (main thread only) ------------------------------------------
  // Minutes counted towards the next time sync.
  int SyncCount = 0;
  // Open pulse of the last card or ticket decided on this loop.
  int LastOpenPulse = 0;

 private:
  void WireEvents();
  // One device of the loop: its idle and gate-up texts (none: the defaults), its type, the
  // status page.
  void SetUpDevice(int address, int id, const std::string& name, int type,
                   const std::optional<std::pair<std::string, std::string>>& idleTexts);
  // The loop component's range, settings and line, opened.
  void StartLine(int port, bool rfModem, int lowest, int highest);
  // After a start from the local copy, once the database can be reached: the schema upgrade
  // and the lot-full refresh flags of the set-up.
  void FinishSetUpOnline();
  // The status columns of a device, kept in the journal while the loop decides from the copy.
  void KeepDeviceStatus(int address, std::vector<std::pair<std::string, int64_t>> columns);
  // Counter (and input) handlers for every address from lowest to highest.
  void CreateHandlers(int lowest, int highest, bool soft, bool withInputs);
  // The settings of a polled loop into Card1 and Settings (line timings unless RF modem).
  void TakeSettings(bool rfModem);

  // Set up from the local copy; the database's share of the set-up is still to run.
  bool setUpOnlinePending_ = false;
  // Used up by SetUp.
  std::unique_ptr<TLoopSettingsSource> settingsSource_;
  std::unique_ptr<readerbus::TByteChannel> line_;
};

}  // namespace tarn
