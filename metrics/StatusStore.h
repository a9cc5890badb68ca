#pragma once
// TStatusStore: what the running service shows on its status page, its JSON status and its
// metrics. The main thread (which owns every loop, device and lot, and makes every
// decision) publishes each change here as it happens; the status server's threads only
// read copies. One mutex guards everything, each publish is a few assignments, and the
// store is bounded (the last 100 decisions, the devices and lots the service set up), so a
// reader never slows a decision and no request ever reaches the database.
//
// The store lives for the whole process (the server may restart many times under it).
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "util/DateTime.h"

namespace tarn::metrics {

// A histogram with fixed upper bounds, in seconds.
class THistogram {
 public:
  explicit THistogram(std::vector<double> bounds);
  void Observe(double seconds);
  const std::vector<double>& Bounds() const { return bounds_; }
  // Counts per bucket (not cumulative), the last one for +Inf.
  const std::vector<uint64_t>& Buckets() const { return buckets_; }
  uint64_t Count() const { return count_; }
  double Sum() const { return sum_; }

 private:
  std::vector<double> bounds_;
  std::vector<uint64_t> buckets_;
  uint64_t count_ = 0;
  double sum_ = 0;
};

struct TDecision {
  TDateTime when = 0;
  int loopId = 0;
  int address = 0;
  std::string device;
  std::string kind;     // "card" or "ticket"
  std::string subject;  // the card number or the ticket's barcode
  int errorCode = 0;    // access result code, or the ticket state
  std::string result;   // short result name ("accepted", "not on file", ...)
  std::string message;  // the text the reader shows
  bool passed = false;  // the gate opened
  double latency = -1;  // seconds from the read reaching the controller to the gate command
  int roundTrips = -1;  // requests to the database the decision cost (-1: not measured)
};

// Round trips to the database per decision of one kind ("card", "ticket", "dispenser").
struct TRoundTrips {
  uint64_t decisions = 0;
  uint64_t roundTrips = 0;
  uint64_t last = 0;
};

struct TDeviceState {
  int id = 0;
  int loopId = 0;
  int address = 0;
  std::string name;
  int type = 0;
  bool online = false;
  TDateTime lastAnswer = 0;
  bool gateUp = false;
  bool doorAjar = false;
  int printerStatus = 0;
  std::string printer;  // printer status text; empty when the device never reported one
};

struct TLoopState {
  int loopId = 0;
  int port = 0;
  std::string devicePath;
  bool open = false;
  double exchangesPerSecond = 0;
  uint64_t exchanges = 0;  // since the process started
  uint64_t strayReplies = 0;
  uint64_t droppedCommands = 0;
};

struct TLotState {
  int id = 0;
  std::string name;
  int count = 0;
  int capacity = 0;
};

struct TDatabaseState {
  bool connected = false;
  bool everConnected = false;
  std::string lastError;
  TDateTime lastErrorAt = 0;
  uint64_t reconnects = 0;
  uint64_t conflictRetries = 0;  // statements run again after a conflict with another writer
  uint64_t lostRetries = 0;      // statements run again after the link was lost and made again
  uint64_t givenUp = 0;          // statements that failed for good after a conflict or a lost link
  uint64_t abandoned = 0;        // calls given up after their bound: the database did not answer
};

// Deciding from the local copy while the database cannot be reached ("Offline Decisions").
struct TOfflineState {
  bool deciding = false;     // reads are decided from the copy now
  TDateTime copyTaken = 0;   // local time the copy was read from the database; 0: no copy
  uint64_t waitingWrites = 0;  // journal entries the database does not have yet
  uint64_t decisions = 0;    // decisions made from the copy since the process started
};

// Everything at one moment; what the server's threads work from.
struct TSnapshot {
  std::string computer;
  std::string version;
  TDateTime startedAt = 0;
  int64_t startedUnix = 0;
  TDatabaseState database;
  TOfflineState offline;
  std::vector<TLoopState> loops;
  std::vector<TDeviceState> devices;
  std::vector<TLotState> lots;
  std::vector<TDecision> decisions;                                        // oldest first
  std::map<std::pair<std::string, std::string>, uint64_t> decisionCounts;  // (kind, result)
  std::map<std::string, uint64_t> reads;                                   // by kind
  uint64_t mailsSent = 0;
  uint64_t mailsFailed = 0;
  THistogram latency{{}};
  THistogram statements{{}};
  std::map<std::string, TRoundTrips> roundTrips;  // by kind
};

class TStatusStore {
 public:
  static constexpr size_t kMaxDecisions = 100;

  TStatusStore();
  // The one store of the process.
  static TStatusStore& Instance();

  void SetService(const std::string& computer, const std::string& version, TDateTime startedAt);

  // --- loops and devices (loop set-up, device events, main timer) -----------------------
  void LoopSetUp(int loopId, int port, const std::string& devicePath, bool open);
  // A loop that was freed: its devices leave the page, its counters stay in the totals.
  void LoopClosed(int loopId);
  void DeviceSetUp(int loopId, int address, int id, const std::string& name, int type);
  void DeviceOnline(int loopId, int address, bool online);
  void DeviceAnswered(int loopId, int address);
  void DevicePrinter(int loopId, int address, int status, const std::string& text);
  void DeviceDoorAjar(int deviceId, bool ajar);
  void DeviceGateUp(int loopId, int address, bool up);
  // The loop component's counters as they stand now (they start from 0 at every open).
  void LoopCounters(int loopId, uint64_t exchanges, uint64_t stray, uint64_t dropped);

  // --- lots -------------------------------------------------------------------------------
  void Lot(int id, const std::string& name, int count, int capacity);

  // --- decisions --------------------------------------------------------------------------
  void Read(const std::string& kind);
  void Decision(TDecision decision);
  // A decision of `kind` cost `trips` round trips (counted on the loop's connection from the
  // read's arrival to its last write). Also noted on the last decision of that kind.
  void RoundTrips(const std::string& kind, uint64_t trips);
  void Mail(bool sent);

  // --- database ---------------------------------------------------------------------------
  void DatabaseConnected(bool connected, const std::string& error);
  void ObserveStatement(double seconds);
  void SqlRetried(bool afterLostLink);
  void SqlGivenUp();
  void SqlAbandoned();

  // --- offline decisions --------------------------------------------------------------------
  void Offline(bool deciding, TDateTime copyTaken, uint64_t waitingWrites);
  void OfflineDecision();

  TSnapshot Snapshot() const;
  // Empties the store (tests).
  void Clear();

 private:
  TDeviceState* FindDevice(int loopId, int address);  // lock held
  TSnapshot data_;
  struct RawCounters {
    uint64_t exchanges = 0, stray = 0, dropped = 0;
    std::chrono::steady_clock::time_point at{};
  };
  std::map<int, RawCounters> raw_;  // last sample per loop
  mutable std::mutex mutex_;
};

// The short name of a card's access result code ("accepted", "not on file", ...).
std::string CardResultName(int code);

// Marks the moment a read reaches the controller (main thread); SecondsSinceRead gives the
// seconds since the mark and uses it up (-1 when there is none).
void MarkRead();
double SecondsSinceRead();

// Records the round trips of the decision just published (main thread).
void PublishRoundTrips(const std::string& kind, uint64_t trips);

// Records a decision in the store, timed from the last MarkRead (main thread).
void PublishDecision(int loopId, int address, const std::string& kind, const std::string& subject, int code,
                     const std::string& result, const std::string& message, bool passed);

}  // namespace tarn::metrics
