#pragma once
// The settings of a loop controller that the settings file's [Settings] section holds, as
// plain values, and where a loop gets them from.
//
// Which keys a loop asks for depends on the loop: a polled loop reads the line timings
// (unless it runs on an RF modem, which has its own) and then the other keys; a disabled
// loop named POE/POF reads "NoRemoteCounts" only; any other loop reads nothing. The file
// source writes a missing key back with its default as it reads it, so the file gains
// exactly the keys the computer's loops asked for, in the order asked. Hence a loop asks
// its source at the moment its set-up needs the values, not before.
//
// A source is used by one thread at a time (the main thread, while a loop is set up).
#include <string>
#include <utility>
#include <vector>

namespace tarn {

class TIniFileEx;

// Line timings of a polled loop in ms, as written (the loop keeps each within its range).
struct TLineTimings {
  int RespDelay = 0;   // "RespDelay": added to the wait for a reply's first byte
  int TurnAround = 0;  // "TurnAround": pause before every frame
  int PollDelay = 0;   // "PollDelay": pause after every poll cycle step
};

// The other keys of a polled loop, defaults as the file gets them.
struct TLoopSettings {
  // The loop component's polls.
  bool PayOnFootPoll = false;  // "PayOnFoot Poll"
  bool InputsOff = false;      // "Inputs Off"
  bool CountersOff = false;    // "Counters Off"
  // Time sync of dispensers and exit readers, minutes between syncs; 0 never.
  int SyncMinutes = 0;  // "Sync Readers every XX minutes"
  bool SyncExitReader = true;  // "Sync Exit Reader": exit readers are synced too
  // Exit tickets.
  int GraceTimePOF = 15;                  // "Grace Time from POF (minutes)"
  std::vector<int> ExtendedGraceLanes{0};  // "Extended Grace Lane": a list, 0 where no number
  std::vector<int> InternalLanes{0};       // "Internal Lanes": a list, 99 where no number
  int GraceTimePOFExtended = 15;          // "Grace Time from POF Extended (minutes)"
  int GraceTimeFuture = 15;               // "Grace Time Future"
  bool OldTicketFormat = false;           // "Old Ticket Format?"
  bool FlatRateFlag = false;              // "Flat Rate Flag"
  // Cards.
  std::string EmailServer;  // "Email Server": empty sends no card-event mail
  int EmailPort = 25;       // "Email Port"
  std::string EmailFrom;    // "Email From"
  std::string EmailTo;      // "Email To"
  bool DebitExpiry = false;           // "Debit Expiry"
  bool LowSecurityOnDBError = false;  // "Low Security on DB Error": open without a database
  // The server's automatic resets (the first loop's value counts).
  bool AutoReset = true;  // "Auto Reset"
  // Deciding from a local copy while the database cannot be reached (the server's own
  // reading counts: ReadOfflineSettings).
  bool OfflineDecisions = false;  // "Offline Decisions"
  int OfflineCopyMinutes = 5;     // "Offline Copy Minutes": how often the copy is taken again
};

// "Offline Copy Minutes" is taken within 1..1440.
constexpr int kMinOfflineCopyMinutes = 1;
constexpr int kMaxOfflineCopyMinutes = 1440;
int OfflineCopyMinutes(int value);

// The two offline keys as the server reads them at start-up, before any loop asks for its
// settings: read only, nothing written (the loops write them back in their place among the
// other keys).
struct TOfflineSettings {
  bool decisions = false;
  int copyMinutes = 5;    // within 1..1440
  int copyMinutesRead = 5;  // as written in the file
};
TOfflineSettings ReadOfflineSettings(const std::string& path);

// A comma list of integers from the settings file; an entry that is not a number gives
// `invalid`, an empty text the single entry 0.
std::vector<int> ParseLaneList(const std::string& text, int invalid);

// Where a loop controller's settings come from. Each call reads at once.
class TLoopSettingsSource {
 public:
  virtual ~TLoopSettingsSource() = default;
  // "RespDelay", "TurnAround", "PollDelay", in this order, each with the given default.
  virtual TLineTimings ReadLineTimings(const TLineTimings& defaults) = 0;
  // Every key of TLoopSettings, from "PayOnFoot Poll" to "Offline Copy Minutes" (the order
  // is in the file source).
  virtual TLoopSettings ReadSettings() = 0;
  // "NoRemoteCounts": a POE/POF loop leaves the soft counts to other computers.
  virtual bool ReadNoRemoteCounts() = 0;
};

// The settings file at a path, read anew at every call; a missing key is written back with
// its default (booleans as 1/0).
class TLoopSettingsFile final : public TLoopSettingsSource {
 public:
  explicit TLoopSettingsFile(std::string path) : path_(std::move(path)) {}
  TLineTimings ReadLineTimings(const TLineTimings& defaults) override;
  TLoopSettings ReadSettings() override;
  bool ReadNoRemoteCounts() override;

 private:
  std::string path_;
};

// Values given by the caller (tests, tools): nothing is read or written. The line timings
// given are used as they are, whatever defaults the loop offers.
class TGivenLoopSettings final : public TLoopSettingsSource {
 public:
  TGivenLoopSettings() = default;
  TGivenLoopSettings(TLoopSettings settings, TLineTimings timings = {}, bool noRemoteCounts = false)
      : settings_(std::move(settings)), timings_(timings), noRemoteCounts_(noRemoteCounts) {}
  TLineTimings ReadLineTimings(const TLineTimings&) override { return timings_; }
  TLoopSettings ReadSettings() override { return settings_; }
  bool ReadNoRemoteCounts() override { return noRemoteCounts_; }

 private:
  TLoopSettings settings_;
  TLineTimings timings_;
  bool noRemoteCounts_ = false;
};

}  // namespace tarn
