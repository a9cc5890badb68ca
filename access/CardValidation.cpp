#include "access/CardValidation.h"

#include <cmath>
#include <cstdlib>

#include "db/TODBC.h"
#include "db/TODBCStatement.h"
#include "db/TSql.h"
#include "log/TMessLog.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn {
namespace {

// Milliseconds from `earlier` to `later`; rounding to whole milliseconds keeps moments read
// back from the database (whole seconds) comparable with computed ones.
int64_t MsBetween(TDateTime later, TDateTime earlier) {
  return static_cast<int64_t>(std::llround((later - earlier) * kMsPerDay));
}

// Time of day in whole seconds.
int64_t SecondOfDay(TDateTime dt) {
  return static_cast<int64_t>(std::floor(TimeOf(dt) * 86400.0 + 1e-6)) % 86400;
}

}  // namespace

double SafeCardNumber(double cardNo) { return std::isfinite(cardNo) ? cardNo : 0.0; }

namespace {

// Splits "[sign]digits[.digits]" into sign, whole digits without leading zeros and the
// fraction; false for any other text.
bool SplitDecimal(std::string_view text, bool& negative, std::string& whole, std::string& fraction) {
  size_t i = 0;
  negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t wholeStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  whole.assign(text.substr(wholeStart, i - wholeStart));
  fraction.clear();
  if (i < text.size() && text[i] == '.') {
    const size_t fractionStart = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    fraction.assign(text.substr(fractionStart, i - fractionStart));
  }
  if (i != text.size() || (whole.empty() && fraction.empty())) return false;
  const size_t firstSignificant = whole.find_first_not_of('0');
  whole = firstSignificant == std::string::npos ? "" : whole.substr(firstSignificant);
  return true;
}

CardNumber WholeDigits(const std::string& whole, bool negative) {
  CardNumber value = 0;
  for (char c : whole) value = value * 10 + (c - '0');
  return negative ? -value : value;
}

}  // namespace

bool ParseCardNumber(const std::string& text, CardNumber& number) {
  number = 0;
  bool negative = false;
  std::string whole, fraction;
  if (SplitDecimal(text, negative, whole, fraction)) {
    // A fraction never belongs to a card: the whole digits are the number.
    if (whole.size() > static_cast<size_t>(kCardNumberDigits)) return false;
    number = WholeDigits(whole, negative);
    return true;
  }
  const std::optional<double> value = TryStrToFloat(text);
  if (!value || !std::isfinite(*value)) return false;  // no number: no card has it
  if (std::fabs(*value) >= 1e18) return false;         // 19 digits or more
  number = static_cast<CardNumber>(std::llround(*value));
  return true;
}

bool IsNumberText(const std::string& text) {
  bool negative = false;
  std::string whole, fraction;
  return SplitDecimal(text, negative, whole, fraction) || TryStrToFloat(text).has_value();
}

std::string CardNumberText(CardNumber number) { return std::to_string(number); }

std::optional<CardNumber> CardNumberField(TODBCStatement& row, std::string_view column) {
  const std::string text = Trim(row.FieldAsString(column));
  bool negative = false;
  std::string whole, fraction;
  if (SplitDecimal(text, negative, whole, fraction)) {
    if (whole.size() > static_cast<size_t>(kCardNumberDigits) ||
        fraction.find_first_not_of('0') != std::string::npos)
      return std::nullopt;
    return WholeDigits(whole, negative);
  }
  // Exponent form, as a double column gives its value: exact only up to 2^53.
  const std::optional<double> value = TryStrToFloat(text);
  constexpr double kExactDouble = 9007199254740992.0;
  if (!value || std::fabs(*value) > kExactDouble || std::trunc(*value) != *value) return std::nullopt;
  return static_cast<CardNumber>(*value);
}

std::string ResultText(AccessResult r) {
  switch (r & ~kSoftBit) {
    case kAccepted: return "Accepted";
    case kNotOnFile: return "Not On File";
    case kNoValidAccess: return "No Valid Access Found";
    case kExpired: return "Expired, or not valid yet";
    case kPassback: return "Passback Error";
    case kGroupMax: return "Group Max. Exceeded";
    case kNotInPath: return "Not in Path";
    default: return "Unknown error!";
  }
}

int HolidayTab(TODBC& db, TDateTime date) {
  TODBCStatement q(&db);
  if (!q.ExecSQLFmt("SELECT tab_num FROM holiday WHERE holi_day = '%s'", FormatDateTime("yyyy-mm-dd", date)))
    return 0;
  return q.FieldAsInteger("tab_num");
}

int DayIndex(TODBC& db, TDateTime date) {
  const int tab = HolidayTab(db, date);
  if (tab == 0) return DayOfWeek(date);
  return tab == 2 ? 9 : 8;
}

bool FindCard(TODBCStatement& card, CardNumber cardNo, TMessLog* log) {
  if (!card.ExecSQL("SELECT * FROM card WHERE number = " + CardNumberText(cardNo))) return false;
  // A double column matches every number that rounds to the same value: only the exact
  // number is this card.
  if (CardNumberField(card, "number") == cardNo) return true;
  if (log)
    log->Log("Card " + CardNumberText(cardNo) + " is stored as " + card.FieldAsString("number") +
             " in the card table, which cannot hold it exactly: refused");
  card.DoSQL("SELECT * FROM card WHERE 1 = 0");  // leave no other card's row current
  return false;
}

bool FindCardType(TODBCStatement& card, TODBCStatement& cardType) {
  return cardType.ExecSQLFmt("SELECT * FROM card_type WHERE id = %d", card.FieldAsInteger("type_id"));
}

bool CheckAccessTime(TODBC& db, int accessLevelId, TDateTime when, int deviceId) {
  const std::string dayColumn = "day_" + std::to_string(DayIndex(db, when));
  TODBCStatement ranges(&db);
  bool row = ranges.ExecSQLFmt("SELECT id, %s, start_time, end_time FROM a_l_range WHERE access_level_id = %d",
                               dayColumn, accessLevelId);
  const int64_t t = SecondOfDay(when);
  for (; row; row = ranges.dbSkip(skNext, 1)) {
    if (!ranges.FieldAsBoolean(dayColumn)) continue;
    {
      // A range applies only at the devices listed for it.
      TODBCStatement link(&db);
      if (!link.ExecSQLFmt("SELECT * FROM a_l_range_device WHERE a_l_range_id = %d and device_id = %d",
                           ranges.FieldAsInteger("id"), deviceId))
        continue;
    }
    const int64_t s = SecondOfDay(ranges.FieldAsDateTime("start_time"));
    const int64_t e = SecondOfDay(ranges.FieldAsDateTime("end_time"));
    if (e > s) {
      if (s <= t && t <= e) return true;
    } else if (e < s) {
      if (t >= s || t <= e) return true;  // the window runs across midnight
    } else {
      return true;  // equal ends: the whole day
    }
  }
  return false;
}

bool CheckValidity(TMessLog& log, TODBC& db, bool debitExpiry, TDateTime when, TODBCStatement& card,
                   TODBCStatement& cardType) {
  const bool global = cardType.FieldAsBoolean("global_expiry");
  TODBCStatement& source = global ? cardType : card;
  log.Log(std::string("Table: ") + (global ? "card_type" : "card"));

  const bool debitFlg = cardType.FieldAsBoolean("debit_flg");
  const bool debitReset = cardType.FieldAsBoolean("debit_reset_flag");
  TDateTime start = 0, expiry = 0;
  if (cardType.FieldAsBoolean("first_use_flg") && !debitFlg && !source.FieldAsBoolean("date_set") && !debitReset) {
    // First use: the period starts now.
    const int days = cardType.FieldAsInteger("days");
    start = when;
    expiry = when + days;
    TSql sql(db.DriverFamily());
    sql.AddInteger("date_set", 1);
    sql.AddDateTime("start_dt", start);
    sql.AddDateTime("exp_iry", expiry);
    const std::string where =
        global ? "WHERE id = " + std::to_string(card.FieldAsInteger("type_id"))
               : "WHERE number = " + CardNumberText(CardNumberField(card, "number").value_or(0));
    TODBCStatement update(&db);
    update.ExecSQL(sql.BuildUpdate(global ? "UPDATE card_type" : "UPDATE card", where));
  } else {
    start = source.FieldAsDateTime("start_dt");
    expiry = source.FieldAsDateTime("exp_iry");
  }

  if (debitFlg || debitReset) {
    // The monthly allowance is due for renewal; the card update renews it.
    if (debitReset && card.FieldAsDateTime("debit_reset_date") < when) return true;
    const bool balanceDecides = (debitExpiry && debitFlg && when < start) || (debitReset && when > start) ||
                                (debitFlg && DecodeDateTime(start).year < 2000) ||
                                (!debitExpiry && debitFlg && when > start);
    if (!balanceDecides) return false;
    if (card.FieldAsInteger("debit_left") > 0) return true;
    // A re-entry within the time limit of the last charged use is free.
    return cardType.FieldAsBoolean("debit_time_limit_flg") &&
           MsBetween(when, card.FieldAsDateTime("debit_date")) <
               static_cast<int64_t>(cardType.FieldAsInteger("debit_time_limit")) * 60000;
  }

  if (cardType.FieldAsBoolean("no_expiry_flg")) return true;
  if (when < start) {
    // Not yet in the current period: the previous one may still hold.
    start = source.FieldAsDateTime("prev_strt");
    expiry = source.FieldAsDateTime("prev_exp");
  }
  return start <= when && when <= expiry;
}

bool CheckGroupMax(TODBC& db, TODBCStatement& card, TODBCStatement& device) {
  const int group = card.FieldAsInteger("group_id");
  if (group < 1 || device.FieldAsInteger("dir_ection") != 1) return true;
  TODBCStatement pool(&db);
  if (!pool.ExecSQLFmt("SELECT * FROM card_pool WHERE id = %d", group)) return true;
  return pool.FieldAsInteger("cur_inlot") < pool.FieldAsInteger("max_inlot");
}

bool CheckPathway(bool debugLog, TMessLog& log, TODBC& db, TDateTime when, TODBCStatement& card,
                  TODBCStatement& device, TODBCStatement& cardType) {
  const int pathway = cardType.FieldAsInteger("pathway_id");
  const int inGate = card.FieldAsInteger("in_gate");
  const bool noPath = device.FieldAsBoolean("no_path");
  const int deviceId = device.FieldAsInteger("id");
  if (debugLog)
    log.LogFmt("Card#: %s - pathway_id ( > 0) %d  /  in_gate (<> -1) %d  /  no_path (<> 0) %d",
               card.FieldAsString("number"), pathway, inGate, device.FieldAsInteger("no_path"));
  if (pathway <= 0 || inGate == -1 || noPath) return true;
  TODBCStatement leg(&db);
  if (!leg.ExecSQLFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d and to_device=%d", pathway,
                      inGate, deviceId)) {
    if (debugLog) log.LogFmt("Pathway %d does NOT have path for %d to %d!", pathway, inGate, deviceId);
    return false;
  }
  const int64_t minutes = std::llabs(MinutesBetweenSigned(when, card.FieldAsDateTime("trans_dt")));
  const int limit = leg.FieldAsInteger("time_limit");
  const bool ok = minutes <= limit;
  if (debugLog) log.LogFmt("Pathway Time %s - Minutes: %d, Limit: %d", std::string(ok ? "OK" : "OUT"), minutes, limit);
  return ok;
}

bool CheckPassback(int passbackMinutes, TDateTime when, TODBCStatement& card, TODBCStatement& device,
                   TODBCStatement& cardType) {
  if (cardType.FieldAsBoolean("ignore_passback")) return true;
  const int dir = device.FieldAsInteger("dir_ection");
  if (dir == 0 || dir == 3 || dir != card.FieldAsInteger("in_lot")) return true;
  // Same direction as the last pass: held until the direction changes (0 minutes) or for
  // the passback minutes.
  if (passbackMinutes == 0) return false;
  return std::llabs(MinutesBetweenSigned(when, card.FieldAsDateTime("trans_dt"))) >= passbackMinutes;
}

AccessResult CheckCard(bool debugLog, TMessLog& log, TODBC& db, bool debitExpiry, int passbackMinutes,
                       CardNumber cardNo, TDateTime when, TODBCStatement& settings, TODBCStatement& device,
                       TODBCStatement& cardType, TODBCStatement& card) {
  const std::string number = CardNumberText(cardNo);
  const int deviceId = device.FieldAsInteger("id");
  if (!FindCard(card, cardNo, &log)) {
    if (debugLog) log.Log("Card " + number + " not on file");
    return kNotOnFile;
  }
  if (!FindCardType(card, cardType)) {
    if (debugLog) log.Log("Type id " + card.FieldAsString("type_id") + " is not on file for card " + number);
    return kNoValidAccess;
  }
  const int level = cardType.FieldAsInteger("access_level_id");
  if (!CheckAccessTime(db, level, when, deviceId)) {
    if (debugLog) log.Log("Access level id " + std::to_string(level) + " access failure for card " + number);
    return kNoValidAccess;
  }
  if (!CheckValidity(log, db, debitExpiry, when, card, cardType)) {
    if (debugLog) log.Log("Card " + number + " is inactive");
    return kExpired;
  }
  if (!CheckGroupMax(db, card, device)) {
    if (debugLog) log.Log("Card " + number + " is over group maximum");
    return settings.FieldAsBoolean("soft_group") ? (kGroupMax | kSoftBit) : kGroupMax;
  }
  if (!CheckPathway(debugLog, log, db, when, card, device, cardType)) {
    if (debugLog) log.Log("Card " + number + " has a pathway error");
    return settings.FieldAsBoolean("soft_path") ? (kNotInPath | kSoftBit) : kNotInPath;
  }
  if (!CheckPassback(passbackMinutes, when, card, device, cardType)) {
    if (debugLog) log.Log("Card " + number + " passback error");
    return settings.FieldAsBoolean("soft_pb") ? (kPassback | kSoftBit) : kPassback;
  }
  return kAccepted;
}

}  // namespace tarn
