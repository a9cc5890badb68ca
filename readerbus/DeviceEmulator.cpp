#include "readerbus/DeviceEmulator.h"

#include <algorithm>
#include <iterator>
#include <sstream>

#include "util/Strings.h"

namespace tarn::readerbus {
namespace {

struct KindName {
  const char* name;
  DeviceKind kind;
};
constexpr KindName kKinds[] = {{"reader", DeviceKind::Reader},   {"dispenser", DeviceKind::Dispenser},
                               {"exit", DeviceKind::Exit},       {"counter", DeviceKind::Counter},
                               {"input", DeviceKind::Input},     {"printer", DeviceKind::Printer}};

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// The letter with which the host acknowledges a reply type (0: none expected).
char AckFor(char type) {
  switch (type) {
    case 'C': return 'B';
    case '#': return 'A';
    case 'D': case 'E': case 'J': case 'K': case 'L': case 'M': case 'U': case 'Z': return type;
    default: return 0;
  }
}

bool ParseAddress(const std::string& text, int& out) {
  auto v = TryStrToInt(text);
  if (!v || *v < 1 || *v > 48) return false;
  out = *v;
  return true;
}

bool ParseHex(const std::string& text, std::string& out) {
  std::string digits;
  for (char c : text)
    if (!isspace(static_cast<unsigned char>(c))) digits.push_back(c);
  if (digits.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    char* end = nullptr;
    std::string pair = digits.substr(i, 2);
    long v = strtol(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    out.push_back(static_cast<char>(v));
  }
  return true;
}

// The rest of the line after n words (texts may hold blanks).
std::string Rest(const std::string& line, int words) {
  size_t pos = 0;
  for (int i = 0; i < words; ++i) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    while (pos < line.size() && line[pos] != ' ') ++pos;
  }
  if (pos < line.size() && line[pos] == ' ') ++pos;
  return pos < line.size() ? line.substr(pos) : std::string();
}

std::string TimeText(const std::string& t) {
  if (t.size() < 12) return Quoted(t);
  return t.substr(0, 2) + ":" + t.substr(2, 2) + ":" + t.substr(4, 2) + " 20" + t.substr(6, 2) + "-" + t.substr(8, 2) +
         "-" + t.substr(10, 2);
}

}  // namespace

bool ParseKind(const std::string& text, DeviceKind& out) {
  for (const auto& k : kKinds)
    if (SameText(text, k.name)) {
      out = k.kind;
      return true;
    }
  return false;
}

const char* KindName(DeviceKind kind) {
  for (const auto& k : kKinds)
    if (k.kind == kind) return k.name;
  return "?";
}

TDevice& TEmulator::Add(int address, DeviceKind kind, bool clock) {
  TDevice& d = devices_[address];
  d = TDevice{};
  d.kind = kind;
  d.clock = clock;
  d.powerUpPending = powerUpReplies_;
  return d;
}

TDevice* TEmulator::Find(int address) {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : &it->second;
}

std::string TEmulator::Describe(const THostFrame& f) {
  std::string to = std::string(1, f.letter) + " to " + std::to_string(f.address) + ": ";
  const std::string& d = f.data;
  std::string what;
  switch (f.letter) {
    case 'C': what = d.empty() ? "poll" : "poll " + Quoted(d); break;
    case 'R': what = "counter poll"; break;
    case 'I': what = "input poll"; break;
    case 'S': what = "clock " + TimeText(d); break;
    case 'G': what = "pulse " + d.substr(0, 3) + " " + Quoted(d.size() > 3 ? d.substr(3) : ""); break;
    case 'B': what = d.empty() ? "card ack" : "refuse " + Quoted(d); break;
    case 'O': what = "gate up " + Quoted(d); break;
    case 'X': what = "gate down " + Quoted(d); break;
    case 'o': what = "gate up at " + TimeText(d.substr(0, 12)) + " " + Quoted(d.size() > 12 ? d.substr(12) : ""); break;
    case 'x': what = "gate down at " + TimeText(d.substr(0, 12)) + " " + Quoted(d.size() > 12 ? d.substr(12) : ""); break;
    case 'M': what = d.empty() ? "memory ack" : "date/time " + TimeText(d); break;
    case 'L': what = d.size() <= 1 ? "input ack " + Quoted(d) : "sign " + Quoted(d); break;
    case 'W':
    case 'F':
      what = std::string(f.letter == 'W' ? "outputs on" : "outputs off") + " bits " +
             (d.empty() ? std::string("?") : std::to_string(static_cast<uint8_t>(d[0]) - 64));
      break;
    case 'P':
      what = "pulse output " + (d.empty() ? std::string("?") : std::to_string(static_cast<uint8_t>(d[0]) - 63)) +
             " for " + (d.size() > 1 ? d.substr(1) : "");
      break;
    case 'Y': what = "Y " + Quoted(d); break;
    case 'A': what = "barcode ack"; break;
    case 'D': what = "disc ack"; break;
    case 'E': what = "escrow ack"; break;
    case 'J': what = "printer ack"; break;
    case 'K': what = "button ack " + Quoted(d); break;
    case 'U': what = "cash box ack"; break;
    case 'Z': what = "deposit ack"; break;
    default: what = Quoted(d); break;
  }
  if (!f.checkOk) what += " (bad check byte)";
  if (f.start == kENQ) what += " [ENQ]";
  return to + what;
}

TAnswer TEmulator::Answer(const THostFrame& f) {
  TAnswer a;
  TDevice* d = Find(f.address);
  if (!d || !f.checkOk || !d->powered) return a;
  if (d->silentFrames > 0) {
    --d->silentFrames;
    return a;
  }
  std::string text;  // reply text after the address character; empty = ACK
  if (d->awaitingAck && f.letter == d->awaitingAck && !d->replies.empty()) {
    d->replies.pop_front();
    d->awaitingAck = 0;
  }
  switch (f.letter) {
    case 'C':
      if (d->powerUpPending) {
        d->powerUpPending = false;
        text = d->clock ? "p" : "P";
      } else if (!d->replies.empty()) {
        // A reply is repeated until the host acknowledges it, as the devices do.
        text = d->replies.front();
        d->awaitingAck = AckFor(text[0]);
        if (!d->awaitingAck) d->replies.pop_front();
      }
      break;
    case 'R':
      if (d->kind == DeviceKind::Counter) text = "R" + d->counterData;
      break;
    case 'I':
      if (d->kind == DeviceKind::Input) text = "I" + d->inputData;
      break;
    case 'S':
    case 'M':
      if (!f.data.empty()) d->clockText = f.data.substr(0, 12);
      break;
    case 'G': d->display = f.data.size() > 3 ? f.data.substr(3) : ""; break;
    case 'B':
      if (!f.data.empty()) d->display = f.data;
      break;
    case 'O':
    case 'X':
      d->gateUp = f.letter == 'O';
      d->display = f.data;
      break;
    case 'o':
    case 'x':
      d->gateUp = f.letter == 'o';
      d->clockText = f.data.substr(0, 12);
      d->display = f.data.size() > 12 ? f.data.substr(12) : "";
      break;
    default: break;
  }
  if (!d->rawNext.empty()) {
    a.bytes = d->noise + d->rawNext;
    a.replyType = "raw";
    a.noise = !d->noise.empty();
    d->rawNext.clear();
    d->noise.clear();
    return a;
  }
  if (text.empty()) {
    a.bytes = std::string(1, static_cast<char>(kACK));
    a.replyType = "ACK";
  } else {
    std::string full = std::string(1, AddressChar(f.address)) + text;
    a.bytes = BuildReply(full);
    a.replyType = text.substr(0, 1);
    a.replyData = text.substr(1);
    if (d->badCheckNext) {
      a.bytes.back() = static_cast<char>(a.bytes.back() ^ 0x55);
      a.badCheck = true;
      d->badCheckNext = false;
    }
  }
  if (!d->noise.empty()) {
    a.bytes = d->noise + a.bytes;
    a.noise = true;
    d->noise.clear();
  }
  return a;
}

std::string TEmulator::Command(const std::string& rawLine, bool& quit) {
  std::string line = Trim(rawLine);
  if (line.empty() || line[0] == '#') return "";
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  verb = LowerCase(verb);
  if (verb == "quit" || verb == "exit") {
    quit = true;
    return "";
  }
  if (verb == "add") {
    std::string addr, kind, flag;
    in >> addr >> kind >> flag;
    int a;
    DeviceKind k = DeviceKind::Reader;
    if (!ParseAddress(addr, a)) return "bad address '" + addr + "'";
    if (!kind.empty() && !ParseKind(kind, k)) return "unknown device kind '" + kind + "'";
    if (!flag.empty() && !SameText(flag, "clock")) return "unknown flag '" + flag + "'";
    Add(a, k, !flag.empty());
    return "";
  }
  // A mistyped command is named as such, not as a bad address of a command that exists.
  static const char* const kVerbs[] = {"remove", "card",    "memory", "barcode", "ticket", "counter", "input",
                                       "inputs", "button",  "printer", "reply",  "off",    "on",      "restart",
                                       "noise",  "raw",     "badcheck", "silent", "clock"};
  if (std::none_of(std::begin(kVerbs), std::end(kVerbs), [&](const char* v) { return verb == v; }))
    return "unknown command '" + verb + "'";
  std::string addr;
  in >> addr;
  int a;
  if (!ParseAddress(addr, a)) return "bad address '" + addr + "'";
  if (verb == "remove") {
    devices_.erase(a);
    return "";
  }
  TDevice* d = Find(a);
  if (!d) return "no device at address " + addr;
  std::string rest = Rest(line, 2);
  if (verb == "card") {
    d->replies.push_back("C" + rest);
  } else if (verb == "memory") {
    d->replies.push_back("M" + rest);
  } else if (verb == "barcode") {
    d->replies.push_back("#" + rest);
  } else if (verb == "ticket") {
    if (rest.size() != 17) return "a dispenser record has 17 characters, not " + std::to_string(rest.size());
    d->replies.push_back("C" + rest);
  } else if (verb == "counter") {
    d->counterData = rest;
  } else if (verb == "input") {
    d->inputData = rest;
  } else if (verb == "inputs") {
    // inputs A BOARD STATES: an L report, STATES of '0'/'1'/'2' per input from input 0.
    std::string board = Rest(line, 2);
    if (board.empty()) return "inputs needs a board and the states";
    std::string states = Rest(line, 3);
    d->replies.push_back("L" + board.substr(0, 1) + states);
  } else if (verb == "button") {
    std::string button = Rest(line, 2), state = Rest(line, 3);
    if (button.empty()) return "button needs a button character and a state";
    d->replies.push_back("K" + button.substr(0, 1) + (state.empty() ? "1" : state.substr(0, 1)));
  } else if (verb == "printer") {
    d->replies.push_back("J" + rest);
  } else if (verb == "reply") {
    if (rest.empty()) return "reply needs a type letter";
    d->replies.push_back(rest);
  } else if (verb == "off") {
    d->powered = false;
    d->replies.clear();
    d->awaitingAck = 0;
  } else if (verb == "on") {
    if (!d->powered) {
      d->powered = true;
      d->powerUpPending = powerUpReplies_;
    }
  } else if (verb == "restart") {
    d->powered = true;
    d->replies.clear();
    d->awaitingAck = 0;
    d->powerUpPending = true;
  } else if (verb == "noise") {
    if (!ParseHex(rest, d->noise)) return "noise needs hex bytes";
  } else if (verb == "raw") {
    if (!ParseHex(rest, d->rawNext) || d->rawNext.empty()) return "raw needs hex bytes";
  } else if (verb == "badcheck") {
    d->badCheckNext = true;
  } else if (verb == "silent") {
    auto n = TryStrToInt(rest);
    if (!n || *n < 0) return "silent needs a frame count";
    d->silentFrames = *n;
  } else if (verb == "clock") {
    d->clock = !SameText(rest, "off");
  } else {
    return "unknown command '" + verb + "'";
  }
  return "";
}

}  // namespace tarn::readerbus
