#include "db/TSql.h"

#include "util/Strings.h"

namespace tarn {

TSql::TSql(uint8_t family) : family_(family) {}

void TSql::ClearFields(bool allowDuplicates) {
  names_.clear();
  values_.clear();
  quoted_.clear();
  AllowDuplicates = allowDuplicates;
}

int TSql::IndexOfField(const std::string& name) const {
  for (size_t i = 0; i < names_.size(); ++i)
    if (SameText(names_[i], name)) return static_cast<int>(i);
  return -1;
}

std::string TSql::CleanValue(const std::string& value, bool quoted) {
  std::string v = Trim(value);
  if (v.empty() && !quoted) v = "null";
  return v;
}

int TSql::AddField(const std::string& name, const std::string& value, bool quoted) {
  if (!AllowDuplicates) {
    const int existing = IndexOfField(name);
    if (existing >= 0) return existing;
  }
  names_.push_back(LowerCase(name));
  values_.push_back(CleanValue(value, quoted));
  quoted_.push_back(quoted);
  return static_cast<int>(names_.size()) - 1;
}

int TSql::AddInteger(const std::string& name, int64_t value) {
  return AddField(name, IntToStr(value), false);
}

int TSql::AddFloat(const std::string& name, double value) {
  return AddField(name, FloatToStr(value), false);
}

int TSql::AddBoolean(const std::string& name, bool value) { return AddInteger(name, value ? 1 : 0); }

int TSql::AddDateTime(const std::string& name, TDateTime value) {
  return AddField(name, "{ts '" + FormatDateTime("YYYY-MM-DD HH:NN:SS", value) + "'}", false);
}

int TSql::AddNow(const std::string& name) {
  return AddField(name, family_ == dfCodebase ? "{fn curdate()}" : "{fn now()}", false);
}

void TSql::SetField(const std::string& name, const std::string& value, bool quoted) {
  const int index = IndexOfField(name);
  if (index < 0) {
    AddField(name, value, quoted);
    return;
  }
  values_[static_cast<size_t>(index)] = CleanValue(value, quoted);
  quoted_[static_cast<size_t>(index)] = quoted;
}

void TSql::SetInteger(const std::string& name, int64_t value, bool quoted) {
  SetField(name, IntToStr(value), quoted);
}

std::string TSql::QuoteValue(const std::string& text) const {
  std::string s = ReplaceAll(text, "'", "''");
  if (family_ == dfMySQL) s = ReplaceAll(s, "\\", "\\\\");
  return s;
}

std::string TSql::QuoteName(const std::string& name) {
  if ((name.find(' ') != std::string::npos || name.find('-') != std::string::npos) &&
      (name.empty() || name.front() != '"'))
    return "\"" + name + "\"";
  return name;
}

std::string TSql::WrittenValue(int index) const {
  const std::string& v = values_[static_cast<size_t>(index)];
  if (quoted_[static_cast<size_t>(index)] || v.empty()) return "'" + QuoteValue(v) + "'";
  return v;
}

std::string TSql::BuildUpdate(const std::string& prefix, const std::string& where) const {
  std::string s = prefix + " set ";
  for (int i = 0; i < Count(); ++i) {
    if (i > 0) s += ", ";
    s += QuoteName(names_[static_cast<size_t>(i)]) + "=" + WrittenValue(i);
  }
  if (!where.empty()) s += " " + where;
  return s;
}

std::string TSql::BuildInsert(const std::string& prefix, const std::string& keyword,
                              const std::string& suffix) const {
  std::string names;
  std::string values;
  for (int i = 0; i < Count(); ++i) {
    if (i > 0) {
      names += ", ";
      values += ", ";
    }
    names += QuoteName(names_[static_cast<size_t>(i)]);
    values += WrittenValue(i);
  }
  return prefix + " (" + names + ") " + keyword + " (" + values + ")" + suffix;
}

std::string TSql::BuildSQL(const std::string& table, bool insert, const std::string& where) const {
  if (insert) return BuildInsert("insert into " + table, "Values", "");
  return BuildUpdate("update " + table, where);
}

}  // namespace tarn
