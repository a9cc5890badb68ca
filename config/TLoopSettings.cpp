#include "config/TLoopSettings.h"

#include <algorithm>

#include "config/TIniFileEx.h"
#include "platform/IniFile.h"
#include "util/Strings.h"

namespace tarn {

namespace {
constexpr char kSection[] = "Settings";
}  // namespace

std::vector<int> ParseLaneList(const std::string& text, int invalid) {
  if (Trim(text).empty()) return {0};
  std::vector<int> lanes;
  for (const std::string& item : Split(text, ',')) lanes.push_back(StrToIntDef(Trim(item), invalid));
  return lanes;
}

TLineTimings TLoopSettingsFile::ReadLineTimings(const TLineTimings& defaults) {
  TIniFileEx ini(path_);
  TLineTimings t;
  t.RespDelay = ini.ReadIntegerEx(kSection, "RespDelay", defaults.RespDelay);
  t.TurnAround = ini.ReadIntegerEx(kSection, "TurnAround", defaults.TurnAround);
  t.PollDelay = ini.ReadIntegerEx(kSection, "PollDelay", defaults.PollDelay);
  return t;
}

// The keys go into the file in this order when it has none of them yet: operators know the
// file that way, keep it.
TLoopSettings TLoopSettingsFile::ReadSettings() {
  TIniFileEx ini(path_);
  TLoopSettings s;
  s.PayOnFootPoll = ini.ReadBoolEx(kSection, "PayOnFoot Poll", false);
  s.InputsOff = ini.ReadBoolEx(kSection, "Inputs Off", false);
  s.CountersOff = ini.ReadBoolEx(kSection, "Counters Off", false);
  s.SyncMinutes = ini.ReadIntegerEx(kSection, "Sync Readers every XX minutes", 0);
  s.GraceTimePOF = ini.ReadIntegerEx(kSection, "Grace Time from POF (minutes)", 15);
  s.ExtendedGraceLanes = ParseLaneList(ini.ReadStringEx(kSection, "Extended Grace Lane", ""), 0);
  s.InternalLanes = ParseLaneList(ini.ReadStringEx(kSection, "Internal Lanes", ""), 99);
  s.GraceTimePOFExtended = ini.ReadIntegerEx(kSection, "Grace Time from POF Extended (minutes)", 15);
  s.GraceTimeFuture = ini.ReadIntegerEx(kSection, "Grace Time Future", 15);
  s.OldTicketFormat = ini.ReadBoolEx(kSection, "Old Ticket Format?", false);
  s.SyncExitReader = ini.ReadBoolEx(kSection, "Sync Exit Reader", true);
  s.FlatRateFlag = ini.ReadBoolEx(kSection, "Flat Rate Flag", false);
  s.EmailServer = ini.ReadStringEx(kSection, "Email Server", "");
  s.EmailPort = ini.ReadIntegerEx(kSection, "Email Port", 25);
  s.EmailFrom = ini.ReadStringEx(kSection, "Email From", "");
  s.EmailTo = ini.ReadStringEx(kSection, "Email To", "");
  s.DebitExpiry = ini.ReadBoolEx(kSection, "Debit Expiry", false);
  s.AutoReset = ini.ReadBoolEx(kSection, "Auto Reset", true);
  s.LowSecurityOnDBError = ini.ReadBoolEx(kSection, "Low Security on DB Error", false);
  // After the answer without a database, the way of deciding without it.
  s.OfflineDecisions = ini.ReadBoolEx(kSection, "Offline Decisions", false);
  s.OfflineCopyMinutes = OfflineCopyMinutes(ini.ReadIntegerEx(kSection, "Offline Copy Minutes", 5));
  return s;
}

int OfflineCopyMinutes(int value) { return std::clamp(value, kMinOfflineCopyMinutes, kMaxOfflineCopyMinutes); }

TOfflineSettings ReadOfflineSettings(const std::string& path) {
  const platform::TIniFile ini(path);
  TOfflineSettings s;
  s.decisions = ini.ReadInteger(kSection, "Offline Decisions", 0) != 0;
  s.copyMinutesRead = ini.ReadInteger(kSection, "Offline Copy Minutes", 5);
  s.copyMinutes = OfflineCopyMinutes(s.copyMinutesRead);
  return s;
}

bool TLoopSettingsFile::ReadNoRemoteCounts() {
  TIniFileEx ini(path_);
  return ini.ReadBoolEx(kSection, "NoRemoteCounts", false);
}

}  // namespace tarn
