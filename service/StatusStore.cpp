#include "service/StatusStore.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "util/Format.h"

namespace tarn::status {

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

void TStatusStore::ObserveStatement(double seconds) {
  std::lock_guard<std::mutex> guard(mutex_);
  data_.statements.Observe(seconds);
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

// --- JSON --------------------------------------------------------------------------------

namespace {

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c >= 0x80) {
          // Device texts are single-byte; keep the JSON valid UTF-8 whatever they hold.
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Time(TDateTime t) { return t > 0 ? Quote(FormatDateTime("yyyy-mm-dd\"T\"hh:nn:ss.zzz", t)) : "null"; }

std::string Bool(bool b) { return b ? "true" : "false"; }

std::string Number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

const char* DeviceTypeName(int type) {
  switch (type) {
    case 1: return "ticket dispenser";
    case 2: return "exit ticket reader";
    default: return "card reader";
  }
}

}  // namespace

std::string StatusJson(const TSnapshot& s) {
  std::string o;
  o.reserve(4096 + s.decisions.size() * 200);
  o += "{\"computer\":" + Quote(s.computer) + ",\"version\":" + Quote(s.version) + ",\"started\":" + Time(s.startedAt) +
       ",\"now\":" + Time(Now());
  o += ",\"database\":{\"connected\":" + Bool(s.database.connected) +
       ",\"last_error\":" + (s.database.lastError.empty() ? "null" : Quote(s.database.lastError)) +
       ",\"last_error_at\":" + Time(s.database.lastErrorAt) +
       ",\"reconnects\":" + std::to_string(s.database.reconnects) +
       ",\"retries\":{\"conflict\":" + std::to_string(s.database.conflictRetries) +
       ",\"lost\":" + std::to_string(s.database.lostRetries) + "},\"given_up\":" +
       std::to_string(s.database.givenUp) + "}";
  o += ",\"loops\":[";
  bool first = true;
  for (const auto& l : s.loops) {
    if (!first) o += ",";
    first = false;
    o += "{\"id\":" + std::to_string(l.loopId) + ",\"port\":" + std::to_string(l.port) +
         ",\"device_path\":" + Quote(l.devicePath) + ",\"line\":" + Quote(l.open ? "open" : "closed") +
         ",\"exchanges_per_second\":" + Number(l.exchangesPerSecond) + ",\"exchanges\":" + std::to_string(l.exchanges) +
         ",\"stray_replies\":" + std::to_string(l.strayReplies) +
         ",\"dropped_commands\":" + std::to_string(l.droppedCommands) + ",\"devices\":[";
    bool firstDevice = true;
    for (const auto& d : s.devices) {
      if (d.loopId != l.loopId) continue;
      if (!firstDevice) o += ",";
      firstDevice = false;
      o += "{\"name\":" + Quote(d.name) + ",\"address\":" + std::to_string(d.address) +
           ",\"type\":" + Quote(DeviceTypeName(d.type)) + ",\"online\":" + Bool(d.online) +
           ",\"last_answer\":" + Time(d.lastAnswer) + ",\"gate_up\":" + Bool(d.gateUp) +
           ",\"door_ajar\":" + Bool(d.doorAjar) + ",\"printer\":" + (d.printer.empty() ? "null" : Quote(d.printer)) +
           ",\"printer_fault\":" + Bool(d.printerStatus != 0) + "}";
    }
    o += "]}";
  }
  o += "],\"lots\":[";
  first = true;
  for (const auto& l : s.lots) {
    if (!first) o += ",";
    first = false;
    o += "{\"id\":" + std::to_string(l.id) + ",\"name\":" + Quote(l.name) + ",\"count\":" + std::to_string(l.count) +
         ",\"capacity\":" + std::to_string(l.capacity) + ",\"full\":" + Bool(l.count >= l.capacity) + "}";
  }
  o += "],\"decisions\":[";
  first = true;
  // Newest first: the order a feed shows them in.
  for (auto it = s.decisions.rbegin(); it != s.decisions.rend(); ++it) {
    const TDecision& d = *it;
    if (!first) o += ",";
    first = false;
    o += "{\"time\":" + Time(d.when) + ",\"loop\":" + std::to_string(d.loopId) +
         ",\"address\":" + std::to_string(d.address) + ",\"device\":" + Quote(d.device) + ",\"kind\":" + Quote(d.kind) +
         ",\"subject\":" + Quote(d.subject) + ",\"result\":" + Quote(d.result) + ",\"message\":" + Quote(d.message) +
         ",\"error_code\":" + std::to_string(d.errorCode) + ",\"passed\":" + Bool(d.passed) +
         ",\"latency_seconds\":" + (d.latency >= 0 ? Number(d.latency) : "null") + "}";
  }
  o += "]}";
  return o;
}

// --- Prometheus text -----------------------------------------------------------------------

namespace {

std::string Label(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
      out += '?';
    else
      out += c;
  }
  return out;
}

std::string Slug(const std::string& v) {
  std::string out;
  for (char c : v) out += (c == ' ') ? '_' : c;
  return out;
}

void Header(std::string& o, const char* name, const char* type, const char* help) {
  o += "# HELP ";
  o += name;
  o += " ";
  o += help;
  o += "\n# TYPE ";
  o += name;
  o += " ";
  o += type;
  o += "\n";
}

void Histogram(std::string& o, const char* name, const char* help, const THistogram& h) {
  Header(o, name, "histogram", help);
  uint64_t cumulative = 0;
  for (size_t i = 0; i < h.Bounds().size(); ++i) {
    cumulative += h.Buckets()[i];
    o += std::string(name) + "_bucket{le=\"" + Number(h.Bounds()[i]) + "\"} " + std::to_string(cumulative) + "\n";
  }
  o += std::string(name) + "_bucket{le=\"+Inf\"} " + std::to_string(h.Count()) + "\n";
  o += std::string(name) + "_sum " + Number(h.Sum()) + "\n";
  o += std::string(name) + "_count " + std::to_string(h.Count()) + "\n";
}

}  // namespace

std::string MetricsText(const TSnapshot& s) {
  std::string o;
  o.reserve(8192);
  Header(o, "tarncard_start_time_seconds", "gauge", "Start of the process in seconds since the Unix epoch.");
  o += "tarncard_start_time_seconds " + std::to_string(s.startedUnix) + "\n";

  Header(o, "tarncard_decisions_total", "counter", "Decisions on cards and tickets, by kind and result.");
  for (const auto& [key, n] : s.decisionCounts)
    o += "tarncard_decisions_total{kind=\"" + Label(key.first) + "\",result=\"" + Label(Slug(key.second)) + "\"} " +
         std::to_string(n) + "\n";
  Header(o, "tarncard_reads_total", "counter", "Cards and tickets read by the devices, by kind.");
  for (const auto& [kind, n] : s.reads)
    o += "tarncard_reads_total{kind=\"" + Label(kind) + "\"} " + std::to_string(n) + "\n";

  Header(o, "tarncard_exchanges_total", "counter", "Exchanges on the reader loop's line.");
  for (const auto& l : s.loops)
    o += "tarncard_exchanges_total{loop=\"" + std::to_string(l.loopId) + "\"} " + std::to_string(l.exchanges) + "\n";
  Header(o, "tarncard_stray_replies_total", "counter", "Replies that named another address than the one polled.");
  for (const auto& l : s.loops)
    o += "tarncard_stray_replies_total{loop=\"" + std::to_string(l.loopId) + "\"} " + std::to_string(l.strayReplies) +
         "\n";
  Header(o, "tarncard_dropped_commands_total", "counter", "Device commands dropped because the command ring was full.");
  for (const auto& l : s.loops)
    o += "tarncard_dropped_commands_total{loop=\"" + std::to_string(l.loopId) + "\"} " +
         std::to_string(l.droppedCommands) + "\n";
  Header(o, "tarncard_loop_open", "gauge", "1 while the loop's serial line is open.");
  for (const auto& l : s.loops)
    o += "tarncard_loop_open{loop=\"" + std::to_string(l.loopId) + "\"} " + (l.open ? "1" : "0") + "\n";

  Header(o, "tarncard_db_reconnects_total", "counter", "Connections to the database made again after a loss.");
  o += "tarncard_db_reconnects_total " + std::to_string(s.database.reconnects) + "\n";
  Header(o, "tarncard_sql_retries_total", "counter",
         "Statements run again: after a conflict with another writer, or after the link was lost and made again.");
  o += "tarncard_sql_retries_total{reason=\"conflict\"} " + std::to_string(s.database.conflictRetries) + "\n";
  o += "tarncard_sql_retries_total{reason=\"lost\"} " + std::to_string(s.database.lostRetries) + "\n";
  Header(o, "tarncard_sql_given_up_total", "counter",
         "Statements that failed for good after conflicts, or whose outcome a lost link left unknown.");
  o += "tarncard_sql_given_up_total " + std::to_string(s.database.givenUp) + "\n";
  Header(o, "tarncard_db_connected", "gauge", "1 while the database connection is up.");
  o += std::string("tarncard_db_connected ") + (s.database.connected ? "1" : "0") + "\n";

  Header(o, "tarncard_mails_sent_total", "counter", "Notification e-mails sent.");
  o += "tarncard_mails_sent_total " + std::to_string(s.mailsSent) + "\n";
  Header(o, "tarncard_mails_failed_total", "counter", "Notification e-mails that could not be sent.");
  o += "tarncard_mails_failed_total " + std::to_string(s.mailsFailed) + "\n";

  std::map<int, std::pair<int, int>> perLoop;  // loop -> (on line, devices)
  for (const auto& l : s.loops) perLoop[l.loopId];
  for (const auto& d : s.devices) {
    auto& p = perLoop[d.loopId];
    p.first += d.online ? 1 : 0;
    p.second += 1;
  }
  Header(o, "tarncard_devices_online", "gauge", "Devices of the loop that answer.");
  for (const auto& [loop, p] : perLoop)
    o += "tarncard_devices_online{loop=\"" + std::to_string(loop) + "\"} " + std::to_string(p.first) + "\n";
  Header(o, "tarncard_devices", "gauge", "Devices set up on the loop.");
  for (const auto& [loop, p] : perLoop)
    o += "tarncard_devices{loop=\"" + std::to_string(loop) + "\"} " + std::to_string(p.second) + "\n";

  Header(o, "tarncard_lot_occupancy", "gauge", "Vehicles counted in the lot.");
  for (const auto& l : s.lots)
    o += "tarncard_lot_occupancy{lot=\"" + std::to_string(l.id) + "\",name=\"" + Label(l.name) + "\"} " +
         std::to_string(l.count) + "\n";
  Header(o, "tarncard_lot_capacity", "gauge", "Capacity of the lot.");
  for (const auto& l : s.lots)
    o += "tarncard_lot_capacity{lot=\"" + std::to_string(l.id) + "\",name=\"" + Label(l.name) + "\"} " +
         std::to_string(l.capacity) + "\n";

  Histogram(o, "tarncard_card_gate_latency_seconds",
            "Time from a card read reaching the controller to its gate command.", s.latency);
  Histogram(o, "tarncard_statement_duration_seconds", "Time of one SQL statement.", s.statements);
  return o;
}

}  // namespace tarn::status
