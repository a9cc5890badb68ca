#include "db/RetryPolicy.h"

#include <cctype>

#include "util/Strings.h"

namespace tarn {

namespace {

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// Skips blanks from `i`.
size_t SkipBlanks(std::string_view s, size_t i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])) != 0) ++i;
  return i;
}

// A name (letters, digits, '_', optionally quoted with ` or ") starting at `i`; its upper-case
// text, and `i` moved past it. Empty when there is none.
std::string NameAt(std::string_view s, size_t& i) {
  std::string name;
  if (i < s.size() && (s[i] == '`' || s[i] == '"')) {
    const char quote = s[i];
    const size_t end = s.find(quote, i + 1);
    if (end == std::string_view::npos) return "";
    name = UpperCase(std::string(s.substr(i + 1, end - i - 1)));
    i = end + 1;
    return name;
  }
  while (i < s.size() && IsWordChar(s[i])) name += static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
  return name;
}

// An UPDATE counts when one of its assignments reads the column it sets, as in
// "lot_count=lot_count+1": running it twice moves the value twice.
bool UpdateCounts(std::string_view sql) {
  const std::string upper = UpperCase(std::string(sql));
  size_t set = std::string::npos;
  for (size_t p = upper.find("SET"); p != std::string::npos; p = upper.find("SET", p + 3)) {
    const bool startOk = p > 0 && !IsWordChar(upper[p - 1]);
    const bool endOk = p + 3 < upper.size() && !IsWordChar(upper[p + 3]);
    if (startOk && endOk) {
      set = p + 3;
      break;
    }
  }
  if (set == std::string::npos) return false;
  const size_t where = upper.find(" WHERE ", set);
  const std::string_view list(sql.substr(set, where == std::string::npos ? std::string_view::npos : where - set));
  // Walk the assignments "name = expression", split at commas outside brackets and quotes.
  size_t i = 0;
  while (i < list.size()) {
    i = SkipBlanks(list, i);
    const std::string target = NameAt(list, i);
    i = SkipBlanks(list, i);
    if (i >= list.size() || list[i] != '=') return false;
    ++i;
    size_t end = i;
    int depth = 0;
    char quote = 0;
    for (; end < list.size(); ++end) {
      const char c = list[end];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"' || c == '`') {
        quote = c;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')') {
        --depth;
      } else if (c == ',' && depth == 0) {
        break;
      }
    }
    // Does the expression name the target column outside quoted text?
    const std::string_view expr = list.substr(i, end - i);
    size_t j = 0;
    while (j < expr.size()) {
      const char c = expr[j];
      if (c == '\'') {
        const size_t close = expr.find('\'', j + 1);
        j = close == std::string_view::npos ? expr.size() : close + 1;
      } else if (IsWordChar(c) || c == '`' || c == '"') {
        const bool boundary = j == 0 || !IsWordChar(expr[j - 1]);
        const std::string word = NameAt(expr, j);
        if (word.empty()) ++j;
        if (boundary && !target.empty() && word == target) return true;
      } else {
        ++j;
      }
    }
    i = end + 1;
  }
  return false;
}

}  // namespace

TRepeatKind RepeatKindOf(std::string_view sql) {
  size_t i = SkipBlanks(sql, 0);
  const std::string verb = NameAt(sql, i);
  if (verb == "INSERT" || verb == "REPLACE") return TRepeatKind::Once;
  if (verb == "UPDATE" && UpdateCounts(sql)) return TRepeatKind::Once;
  return TRepeatKind::Harmless;
}

bool IsConflict(const TDiagRecord& diag, bool mysqlFamily) {
  return diag.state == "40001" || (mysqlFamily && diag.native == 1213);
}

bool IsLinkLoss(const TDiagRecord& diag, bool mysqlFamily) {
  if (diag.state.size() == 5 && diag.state.compare(0, 2, "08") == 0) return true;
  if (!mysqlFamily) return false;
  // Client errors of the MySQL family: gone away, lost during a query, lost at reading the
  // initial packet, lost with a reason; a node that is not ready or not in the primary
  // component (1047 WSREP not prepared), a killed connection.
  switch (diag.native) {
    case 2006:
    case 2013:
    case 2055:
    case 1047:
    case 1927:
      return true;
    default:
      break;
  }
  const std::string text = UpperCase(diag.message);
  return text.find("UNABLE TO COMPLETE NETWORK REQUEST TO HOST") != std::string::npos ||
         text.find("SERVER HAS GONE AWAY") != std::string::npos ||
         text.find("LOST CONNECTION TO") != std::string::npos;
}

TSqlOutcome::TKind FailureKindOf(const TDiagRecord& diag, bool mysqlFamily) {
  if (IsConflict(diag, mysqlFamily)) return TSqlOutcome::TKind::Conflict;
  if (IsLinkLoss(diag, mysqlFamily)) return TSqlOutcome::TKind::LinkLost;
  return TSqlOutcome::TKind::Failed;
}

TRetryPolicy::TStep TRetryPolicy::AfterFailure(TSqlOutcome::TKind failure, bool sent, bool guarded) {
  if (sent && failure == TSqlOutcome::TKind::Conflict)
    return ++conflicts_ < kConflictAttempts ? TStep::Repeat : TStep::GiveUp;
  if (sent && failure != TSqlOutcome::TKind::LinkLost) return TStep::Report;
  // The link is lost. A write that must not run twice and ran without the guard may have been
  // applied: running it again could apply it twice.
  if (sent && Once() && !guarded) return TStep::NotRepeated;
  if (!replay_ && reconnects_ < kReconnects) {
    ++reconnects_;
    return TStep::Reconnect;
  }
  return AfterReconnectFailed(guarded);
}

TRetryPolicy::TStep TRetryPolicy::AfterReconnectFailed(bool guarded) const {
  // A guarded write's number settles it later; a kept write being settled stays kept by its
  // own caller.
  return guarded && !replay_ ? TStep::Keep : TStep::Report;
}

}  // namespace tarn
