#include "metrics/StatusStore.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>


namespace tarn::metrics {

namespace {

const std::vector<double> kLatencyBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
const std::vector<double> kStatementBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 5};

thread_local std::chrono::steady_clock::time_point tReadMark{};
thread_local bool tReadMarked = false;

// A counter that came back lower than last time belongs to a loop component opened anew.
uint64_t Advance(uint64_t total, uint64_t& last, uint64_t now) {
  const uint64_t add = now >= last ? now - last : now;
  last = now;
  return total + add;
}

}  // namespace

THistogram::THistogram(std::vector<double> bounds) : bounds_(std::move(bounds)), buckets_(bounds_.size() + 1, 0) {}

void THistogram::Observe(double seconds) {
  if (!(seconds >= 0)) seconds = 0;  // NaN and negatives count as zero
  size_t i = 0;
  while (i < bounds_.size() && seconds > bounds_[i]) ++i;
  ++buckets_[i];
  ++count_;
  sum_ += seconds;
}

TStatusStore::TStatusStore() {
  data_.latency = THistogram(kLatencyBounds);
  data_.statements = THistogram(kStatementBounds);
}

TStatusStore& TStatusStore::Instance() {
  static TStatusStore store;
  return store;
}

void TStatusStore::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  data_ = TSnapshot{};
  data_.latency = THistogram(kLatencyBounds);
  data_.statements = THistogram(kStatementBounds);
  raw_.clear();
}

void TStatusStore::SetService(const std::string& computer, const std::string& version, TDateTime startedAt) {
  std::lock_guard<std::mutex> guard(mutex_);
  data_.computer = computer;
  data_.version = version;
  data_.startedAt = startedAt;
  data_.startedUnix =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void TStatusStore::LoopSetUp(int loopId, int port, const std::string& devicePath, bool open) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it =
      std::find_if(data_.loops.begin(), data_.loops.end(), [&](const TLoopState& l) { return l.loopId == loopId; });
  if (it == data_.loops.end()) {
    data_.loops.push_back(TLoopState{});
    it = std::prev(data_.loops.end());
    it->loopId = loopId;
  }
  it->port = port;
  it->devicePath = devicePath;
  it->open = open;
  it->exchangesPerSecond = 0;
  raw_[loopId] = RawCounters{0, 0, 0, std::chrono::steady_clock::now()};
  std::sort(data_.loops.begin(), data_.loops.end(),
            [](const TLoopState& a, const TLoopState& b) { return a.loopId < b.loopId; });
}

void TStatusStore::LoopClosed(int loopId) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& l : data_.loops)
    if (l.loopId == loopId) {
      l.open = false;
      l.exchangesPerSecond = 0;
    }
  std::erase_if(data_.devices, [&](const TDeviceState& d) { return d.loopId == loopId; });
}

void TStatusStore::DeviceSetUp(int loopId, int address, int id, const std::string& name, int type) {
  std::lock_guard<std::mutex> guard(mutex_);
  TDeviceState* d = FindDevice(loopId, address);
  if (d == nullptr) {
    data_.devices.push_back(TDeviceState{});
    d = &data_.devices.back();
    d->loopId = loopId;
    d->address = address;
  }
  d->id = id;
  d->name = name;
  d->type = type;
  std::sort(data_.devices.begin(), data_.devices.end(), [](const TDeviceState& a, const TDeviceState& b) {
    return std::make_pair(a.loopId, a.address) < std::make_pair(b.loopId, b.address);
  });
}

TDeviceState* TStatusStore::FindDevice(int loopId, int address) {
  for (auto& d : data_.devices)
    if (d.loopId == loopId && d.address == address) return &d;
  return nullptr;
}

void TStatusStore::DeviceOnline(int loopId, int address, bool online) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (TDeviceState* d = FindDevice(loopId, address)) {
    d->online = online;
    if (online) d->lastAnswer = Now();
  }
}

void TStatusStore::DeviceAnswered(int loopId, int address) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (TDeviceState* d = FindDevice(loopId, address)) {
    // Only an answering device reports anything: it is on line.
    d->online = true;
    d->lastAnswer = Now();
  }
}

void TStatusStore::DevicePrinter(int loopId, int address, int status, const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (TDeviceState* d = FindDevice(loopId, address)) {
    d->printerStatus = status;
    d->printer = text;
  }
}

void TStatusStore::DeviceDoorAjar(int deviceId, bool ajar) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& d : data_.devices)
    if (d.id == deviceId) d.doorAjar = ajar;
}

void TStatusStore::DeviceGateUp(int loopId, int address, bool up) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (TDeviceState* d = FindDevice(loopId, address)) d->gateUp = up;
}

void TStatusStore::LoopCounters(int loopId, uint64_t exchanges, uint64_t stray, uint64_t dropped) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it =
      std::find_if(data_.loops.begin(), data_.loops.end(), [&](const TLoopState& l) { return l.loopId == loopId; });
  if (it == data_.loops.end()) return;
  RawCounters& raw = raw_[loopId];
  const auto now = std::chrono::steady_clock::now();
  const uint64_t before = it->exchanges;
  it->exchanges = Advance(it->exchanges, raw.exchanges, exchanges);
  it->strayReplies = Advance(it->strayReplies, raw.stray, stray);
  it->droppedCommands = Advance(it->droppedCommands, raw.dropped, dropped);
  const double seconds = std::chrono::duration<double>(now - raw.at).count();
  if (raw.at != std::chrono::steady_clock::time_point{} && seconds > 0.05)
    it->exchangesPerSecond = static_cast<double>(it->exchanges - before) / seconds;
  raw.at = now;
}

void TStatusStore::Lot(int id, const std::string& name, int count, int capacity) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = std::find_if(data_.lots.begin(), data_.lots.end(), [&](const TLotState& l) { return l.id == id; });
  if (it == data_.lots.end()) {
    data_.lots.push_back(TLotState{id, name, count, capacity});
    std::sort(data_.lots.begin(), data_.lots.end(), [](const TLotState& a, const TLotState& b) { return a.id < b.id; });
    return;
  }
  if (!name.empty()) it->name = name;
  it->count = count;
  it->capacity = capacity;
}

void TStatusStore::Read(const std::string& kind) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++data_.reads[kind];
}

void TStatusStore::Decision(TDecision decision) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++data_.decisionCounts[{decision.kind, decision.result}];
  if (decision.latency >= 0 && decision.kind == "card") data_.latency.Observe(decision.latency);
  if (TDeviceState* d = FindDevice(decision.loopId, decision.address)) {
    if (decision.device.empty()) decision.device = d->name;
    d->online = true;
    d->lastAnswer = decision.when;
  }
  data_.decisions.push_back(std::move(decision));
  if (data_.decisions.size() > kMaxDecisions)
    data_.decisions.erase(data_.decisions.begin(),
                          data_.decisions.begin() + static_cast<long>(data_.decisions.size() - kMaxDecisions));
}

void TStatusStore::RoundTrips(const std::string& kind, uint64_t trips) {
  std::lock_guard<std::mutex> guard(mutex_);
  TRoundTrips& r = data_.roundTrips[kind];
  ++r.decisions;
  r.roundTrips += trips;
  r.last = trips;
  for (auto it = data_.decisions.rbegin(); it != data_.decisions.rend(); ++it)
    if (it->kind == kind) {
      if (it->roundTrips < 0) it->roundTrips = static_cast<int>(trips);
      break;
    }
}

void TStatusStore::Mail(bool sent) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++(sent ? data_.mailsSent : data_.mailsFailed);
}

void TStatusStore::DatabaseConnected(bool connected, const std::string& error) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (connected && !data_.database.connected && data_.database.everConnected) ++data_.database.reconnects;
  if (connected) data_.database.everConnected = true;
  data_.database.connected = connected;
  if (!error.empty()) {
    data_.database.lastError = error;
    data_.database.lastErrorAt = Now();
  }
}

void TStatusStore::SqlRetried(bool afterLostLink) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++(afterLostLink ? data_.database.lostRetries : data_.database.conflictRetries);
}

void TStatusStore::SqlGivenUp() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++data_.database.givenUp;
}

void TStatusStore::SqlAbandoned() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++data_.database.abandoned;
}

void TStatusStore::ObserveStatement(double seconds) {
  std::lock_guard<std::mutex> guard(mutex_);
  data_.statements.Observe(seconds);
}

void TStatusStore::Offline(bool deciding, TDateTime copyTaken, uint64_t waitingWrites) {
  std::lock_guard<std::mutex> guard(mutex_);
  data_.offline.deciding = deciding;
  data_.offline.copyTaken = copyTaken;
  data_.offline.waitingWrites = waitingWrites;
}

void TStatusStore::OfflineDecision() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++data_.offline.decisions;
}

TSnapshot TStatusStore::Snapshot() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return data_;
}

std::string CardResultName(int code) {
  const bool soft = code >= 8 && code < 16;
  switch (soft ? code - 8 : code) {
    case 0: return "accepted";
    case 1: return "not on file";
    case 2: return "no valid access";
    case 3: return "expired";
    case 4: return soft ? "soft passback" : "passback";
    case 5: return soft ? "soft group maximum" : "group maximum";
    case 6: return soft ? "soft not in path" : "not in path";
    default: return "code " + std::to_string(code);
  }
}

void MarkRead() {
  tReadMark = std::chrono::steady_clock::now();
  tReadMarked = true;
}

double SecondsSinceRead() {
  if (!tReadMarked) return -1;
  tReadMarked = false;  // one read, one decision
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - tReadMark).count();
}

void PublishRoundTrips(const std::string& kind, uint64_t trips) { TStatusStore::Instance().RoundTrips(kind, trips); }

void PublishDecision(int loopId, int address, const std::string& kind, const std::string& subject, int code,
                     const std::string& result, const std::string& message, bool passed) {
  TDecision d;
  d.when = Now();
  d.latency = SecondsSinceRead();
  d.loopId = loopId;
  d.address = address;
  d.kind = kind;
  d.subject = subject;
  d.errorCode = code;
  d.result = result;
  d.message = message;
  d.passed = passed;
  TStatusStore::Instance().Decision(std::move(d));
}

}  // namespace tarn::metrics
