#include "service/StatusText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "util/DateTime.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn::status {

using metrics::THistogram;
using metrics::TDecision;
using metrics::TSnapshot;

// --- JSON --------------------------------------------------------------------------------

namespace {

// Names come from the database as UTF-8 and go out as they are; a byte that is no part of
// a well-formed UTF-8 character (a name stored in a single-byte code page) is taken as the
// Latin-1 character of that number, so the JSON stays valid UTF-8 whatever the name holds.
std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c >= 0x80) {
          if (const size_t length = Utf8CharLength(s, i); length > 0) {
            out.append(s, i, length);
            i += length;
            continue;
          }
        }
        if (c < 0x20 || c >= 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
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
       std::to_string(s.database.givenUp) + ",\"abandoned\":" + std::to_string(s.database.abandoned) +
       ",\"round_trips\":{";
  // Round trips to the database per decision, by kind: the decisions measured, the mean and the
  // last one.
  bool firstKind = true;
  for (const auto& [kind, r] : s.roundTrips) {
    if (!firstKind) o += ",";
    firstKind = false;
    o += Quote(kind) + ":{\"decisions\":" + std::to_string(r.decisions) +
         ",\"round_trips\":" + std::to_string(r.roundTrips) + ",\"per_decision\":" +
         Number(r.decisions ? static_cast<double>(r.roundTrips) / static_cast<double>(r.decisions) : 0.0) +
         ",\"last\":" + std::to_string(r.last) + "}";
  }
  o += "}}";
  o += ",\"offline\":{\"deciding\":" + Bool(s.offline.deciding) + ",\"copy_taken\":" +
       (s.offline.copyTaken > 0 ? Quote(FormatDateTime("yyyy-mm-dd\"T\"hh:nn:ss", s.offline.copyTaken)) : "null") +
       ",\"waiting_writes\":" + std::to_string(s.offline.waitingWrites) + "}";
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
         ",\"latency_seconds\":" + (d.latency >= 0 ? Number(d.latency) : "null") +
         ",\"round_trips\":" + (d.roundTrips >= 0 ? std::to_string(d.roundTrips) : "null") + "}";
  }
  o += "]}";
  return o;
}

// --- Prometheus text -----------------------------------------------------------------------

namespace {

// A label value: UTF-8 as it is, a byte outside a well-formed character as its Latin-1
// character (as in the JSON), other control characters as '?'.
std::string Label(const std::string& v) {
  std::string out;
  for (size_t i = 0; i < v.size();) {
    const auto c = static_cast<unsigned char>(v[i]);
    if (c >= 0x80) {
      if (const size_t length = Utf8CharLength(v, i); length > 0) {
        out.append(v, i, length);
        i += length;
      } else {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
        ++i;
      }
      continue;
    }
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else if (c < 0x20 || c == 0x7F)
      out += '?';
    else
      out += static_cast<char>(c);
    ++i;
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
  Header(o, "tarncard_decision_round_trips_total", "counter",
         "Round trips to the database made by decisions, by kind (card, ticket, dispenser).");
  for (const auto& [kind, r] : s.roundTrips)
    o += "tarncard_decision_round_trips_total{kind=\"" + Label(kind) + "\"} " + std::to_string(r.roundTrips) + "\n";
  Header(o, "tarncard_decisions_measured_total", "counter",
         "Decisions whose round trips were counted, by kind: the round trips divided by these are the mean.");
  for (const auto& [kind, r] : s.roundTrips)
    o += "tarncard_decisions_measured_total{kind=\"" + Label(kind) + "\"} " + std::to_string(r.decisions) + "\n";
  Header(o, "tarncard_sql_abandoned_total", "counter",
         "Calls on the database given up after their time bound: the database did not answer, the connection was "
         "treated as lost.");
  o += "tarncard_sql_abandoned_total " + std::to_string(s.database.abandoned) + "\n";
  Header(o, "tarncard_db_connected", "gauge", "1 while the database connection is up.");
  o += std::string("tarncard_db_connected ") + (s.database.connected ? "1" : "0") + "\n";

  Header(o, "tarncard_offline_deciding", "gauge",
         "1 while reads are decided from the local copy (the database cannot be reached, or writes still wait for it).");
  o += std::string("tarncard_offline_deciding ") + (s.offline.deciding ? "1" : "0") + "\n";
  Header(o, "tarncard_offline_copy_age_seconds", "gauge",
         "Age of the local copy of the decision rows in seconds; -1 when there is no copy.");
  o += "tarncard_offline_copy_age_seconds " +
       (s.offline.copyTaken > 0 ? std::to_string(std::max<int64_t>(0, SecondsBetweenSigned(Now(), s.offline.copyTaken)))
                                : std::string("-1")) +
       "\n";
  Header(o, "tarncard_offline_waiting_writes", "gauge", "Writes decided offline that the database does not have yet.");
  o += "tarncard_offline_waiting_writes " + std::to_string(s.offline.waitingWrites) + "\n";
  Header(o, "tarncard_offline_decisions_total", "counter", "Cards and tickets decided from the local copy.");
  o += "tarncard_offline_decisions_total " + std::to_string(s.offline.decisions) + "\n";

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
