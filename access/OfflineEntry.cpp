#include "access/OfflineEntry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "util/Strings.h"

namespace tarn {
namespace {

std::string Escape(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::string Unescape(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const char next = value[++i];
    out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

// Writes the fields of one entry, one "name=value" line each.
class TFieldWriter {
 public:
  void Text(const char* name, const std::string& value) { text_ += std::string(name) + "=" + Escape(value) + "\n"; }
  void Int(const char* name, int64_t value) { Text(name, std::to_string(value)); }
  void Bool(const char* name, bool value) { Int(name, value ? 1 : 0); }
  void Time(const char* name, TDateTime value) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    Text(name, buf);
  }
  template <class T>
  void Opt(const char* name, const std::optional<T>& value) {
    if (!value) return;
    if constexpr (std::is_same_v<T, TDateTime>)
      Time(name, *value);
    else
      Int(name, *value);
  }
  const std::string& Result() const { return text_; }

 private:
  std::string text_;
};

// Reads them back; a value of the wrong form marks the whole entry as bad.
class TFieldReader {
 public:
  explicit TFieldReader(const std::string& text) {
    for (const std::string& line : Split(text, '\n')) {
      if (line.empty()) continue;
      const size_t eq = line.find('=');
      if (eq == std::string::npos) {
        bad_ = true;
        continue;
      }
      fields_[line.substr(0, eq)] = Unescape(line.substr(eq + 1));
    }
  }
  bool Has(const std::string& name) const { return fields_.count(name) != 0; }
  std::string Text(const std::string& name) const {
    auto it = fields_.find(name);
    return it == fields_.end() ? std::string() : it->second;
  }
  int64_t Int(const std::string& name) {
    if (!Has(name)) return 0;
    const std::optional<int64_t> v = TryStrToInt64(Text(name));
    if (!v) bad_ = true;
    return v.value_or(0);
  }
  int IntOf(const std::string& name) { return static_cast<int>(Int(name)); }
  bool Bool(const std::string& name) { return Int(name) != 0; }
  TDateTime Time(const std::string& name) {
    if (!Has(name)) return 0;
    const std::string text = Text(name);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || errno != 0) bad_ = true;
    return v;
  }
  std::optional<int> OptInt(const std::string& name) {
    if (!Has(name)) return std::nullopt;
    return IntOf(name);
  }
  std::optional<TDateTime> OptTime(const std::string& name) {
    if (!Has(name)) return std::nullopt;
    return Time(name);
  }
  bool Bad() const { return bad_; }

 private:
  std::map<std::string, std::string> fields_;
  bool bad_ = false;
};

void WriteActivation(TFieldWriter& w, const char* prefix, const std::optional<TActivation>& a) {
  if (!a) return;
  const std::string p = prefix;
  w.Bool((p + ".type").c_str(), a->onCardType);
  w.Int((p + ".type_id").c_str(), a->cardTypeId);
  w.Int((p + ".card").c_str(), a->card);
  w.Time((p + ".start").c_str(), a->start);
  w.Time((p + ".expiry").c_str(), a->expiry);
}

std::optional<TActivation> ReadActivation(TFieldReader& r, const std::string& p) {
  if (!r.Has(p + ".start")) return std::nullopt;
  TActivation a;
  a.onCardType = r.Bool(p + ".type");
  a.cardTypeId = r.IntOf(p + ".type_id");
  a.card = r.Int(p + ".card");
  a.start = r.Time(p + ".start");
  a.expiry = r.Time(p + ".expiry");
  return a;
}

void WriteWhere(TFieldWriter& w, const std::string& p, const TTicketWhere& where) {
  w.Bool((p + ".by_number").c_str(), where.byNumber);
  w.Text((p + ".barcode").c_str(), where.barcode);
  w.Int((p + ".ticket").c_str(), where.ticket);
}

TTicketWhere ReadWhere(TFieldReader& r, const std::string& p) {
  TTicketWhere where;
  where.byNumber = r.Bool(p + ".by_number");
  where.barcode = r.Text(p + ".barcode");
  where.ticket = r.IntOf(p + ".ticket");
  return where;
}

struct TEncoder {
  TFieldWriter& w;
  void operator()(const TCardWrites& c) const {
    WriteActivation(w, "type_activation", c.typeActivation);
    w.Int("card", c.card);
    WriteActivation(w, "card_activation", c.cardActivation);
    w.Opt("debit_left", c.debitLeft);
    w.Opt("debit_reset_date", c.debitResetDate);
    w.Opt("in_lot", c.inLot);
    w.Opt("debit_date", c.debitDate);
    w.Opt("trans_dt", c.transDt);
    w.Opt("in_gate", c.inGate);
    w.Int("pool_id", c.poolId);
    w.Int("pool_change", c.poolChange);
    w.Text("trans.card_no", c.trans.cardNo);
    w.Time("trans.when", c.trans.when);
    w.Int("trans.device_id", c.trans.deviceId);
    w.Int("trans.error_code", c.trans.errorCode);
    w.Text("trans.error_desc", c.trans.errorDesc);
    w.Text("trans.device_name", c.trans.deviceName);
    w.Text("trans.first_name", c.trans.firstName);
    w.Text("trans.last_name", c.trans.lastName);
    w.Bool("trans.memory", c.trans.memory);
  }
  void operator()(const TUnknownTicket& t) const {
    w.Text("barcode", t.barcode);
    w.Time("issued", t.issued);
  }
  void operator()(const TTicketTaken& t) const {
    w.Text("barcode", t.barcode);
    w.Int("taker_id", t.takerId);
    w.Opt("status", t.status);
  }
  void operator()(const TDispenserWrites& d) const {
    if (d.supersede) WriteWhere(w, "supersede", *d.supersede);
    w.Bool("update", d.update);
    WriteWhere(w, "where", d.where);
    w.Opt("status", d.status);
    w.Opt("security", d.security);
    w.Opt("out_date", d.outDate);
    w.Opt("taker_id", d.takerId);
    w.Text("barcode", d.barcode);
    w.Int("ticket", d.ticket);
    w.Time("in_date", d.inDate);
    w.Int("issuer_id", d.issuerId);
    w.Bool("online", d.online);
  }
  void operator()(const TSoftCount& s) const { w.Int("device_id", s.deviceId); }
  void operator()(const TDeviceStatus& d) const {
    w.Int("loop_id", d.loopId);
    w.Int("address", d.address);
    // Column names are the system's own, never from a device.
    for (const auto& [column, value] : d.columns) w.Int(("set." + column).c_str(), value);
  }
};

struct TKindName {
  const char* operator()(const TCardWrites&) const { return "card"; }
  const char* operator()(const TUnknownTicket&) const { return "unknown ticket"; }
  const char* operator()(const TTicketTaken&) const { return "ticket taken"; }
  const char* operator()(const TDispenserWrites&) const { return "dispenser"; }
  const char* operator()(const TSoftCount&) const { return "soft count"; }
  const char* operator()(const TDeviceStatus&) const { return "device"; }
};

}  // namespace

std::string KindOf(const TOfflineWrite& write) { return std::visit(TKindName{}, write); }

std::string EncodeEntry(const TOfflineWrite& write) {
  TFieldWriter w;
  std::visit(TEncoder{w}, write);
  return w.Result();
}

std::optional<TOfflineWrite> DecodeEntry(const std::string& kind, const std::string& text) {
  TFieldReader r(text);
  TOfflineWrite write;
  if (kind == "card") {
    TCardWrites c;
    c.typeActivation = ReadActivation(r, "type_activation");
    c.card = r.Int("card");
    c.cardActivation = ReadActivation(r, "card_activation");
    c.debitLeft = r.OptInt("debit_left");
    c.debitResetDate = r.OptTime("debit_reset_date");
    c.inLot = r.OptInt("in_lot");
    c.debitDate = r.OptTime("debit_date");
    c.transDt = r.OptTime("trans_dt");
    c.inGate = r.OptInt("in_gate");
    c.poolId = r.IntOf("pool_id");
    c.poolChange = r.IntOf("pool_change");
    c.trans.cardNo = r.Text("trans.card_no");
    c.trans.when = r.Time("trans.when");
    c.trans.deviceId = r.IntOf("trans.device_id");
    c.trans.errorCode = r.IntOf("trans.error_code");
    c.trans.errorDesc = r.Text("trans.error_desc");
    c.trans.deviceName = r.Text("trans.device_name");
    c.trans.firstName = r.Text("trans.first_name");
    c.trans.lastName = r.Text("trans.last_name");
    c.trans.memory = r.Bool("trans.memory");
    write = c;
  } else if (kind == "unknown ticket") {
    write = TUnknownTicket{r.Text("barcode"), r.Time("issued")};
  } else if (kind == "ticket taken") {
    write = TTicketTaken{r.Text("barcode"), r.IntOf("taker_id"), r.OptInt("status")};
  } else if (kind == "dispenser") {
    TDispenserWrites d;
    if (r.Has("supersede.barcode")) d.supersede = ReadWhere(r, "supersede");
    d.update = r.Bool("update");
    d.where = ReadWhere(r, "where");
    d.status = r.OptInt("status");
    d.security = r.OptInt("security");
    d.outDate = r.OptTime("out_date");
    d.takerId = r.OptInt("taker_id");
    d.barcode = r.Text("barcode");
    d.ticket = r.IntOf("ticket");
    d.inDate = r.Time("in_date");
    d.issuerId = r.IntOf("issuer_id");
    d.online = r.Bool("online");
    write = d;
  } else if (kind == "soft count") {
    write = TSoftCount{r.IntOf("device_id")};
  } else if (kind == "device") {
    TDeviceStatus d;
    d.loopId = r.IntOf("loop_id");
    d.address = r.IntOf("address");
    for (const std::string& line : Split(text, '\n')) {
      if (!StartsText("set.", line)) continue;
      const size_t eq = line.find('=');
      const std::string column = line.substr(4, eq == std::string::npos ? std::string::npos : eq - 4);
      d.columns.emplace_back(column, r.Int("set." + column));
    }
    write = d;
  } else {
    return std::nullopt;
  }
  if (r.Bad()) return std::nullopt;
  return write;
}

}  // namespace tarn
