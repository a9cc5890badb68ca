#pragma once
// TSql: collects column/value pairs and builds the text of one INSERT or UPDATE statement,
// with literal values quoted and escaped for the driver family. Holds no connection and
// executes nothing; the text may still carry format placeholders (a WHERE "number = %f")
// that the caller fills when it runs it. Plain value object, one thread.
#include <cstdint>
#include <string>
#include <vector>

#include "db/TODBC.h"
#include "util/DateTime.h"

namespace tarn {

class TSql {
 public:
  explicit TSql(uint8_t family);

  void ClearFields(bool allowDuplicates);
  int IndexOfField(const std::string& name) const;
  // Adds a column; a name already present (and no duplicates allowed) keeps its first value.
  // The value is trimmed; an empty unquoted value becomes null.
  int AddField(const std::string& name, const std::string& value, bool quoted);
  int AddInteger(const std::string& name, int64_t value);
  int AddFloat(const std::string& name, double value);
  int AddBoolean(const std::string& name, bool value);
  int AddDateTime(const std::string& name, TDateTime value);
  int AddNow(const std::string& name);
  void SetField(const std::string& name, const std::string& value, bool quoted);
  void SetInteger(const std::string& name, int64_t value, bool quoted);

  std::string QuoteValue(const std::string& text) const;
  static std::string QuoteName(const std::string& name);

  std::string BuildSQL(const std::string& table, bool insert, const std::string& where) const;
  std::string BuildUpdate(const std::string& prefix, const std::string& where) const;
  std::string BuildInsert(const std::string& prefix, const std::string& keyword,
                          const std::string& suffix) const;

  int Count() const { return static_cast<int>(names_.size()); }
  uint8_t Family() const { return family_; }
  bool AllowDuplicates = false;

 private:
  std::string WrittenValue(int index) const;
  static std::string CleanValue(const std::string& value, bool quoted);

  uint8_t family_;
  std::vector<std::string> names_;
  std::vector<std::string> values_;
  std::vector<bool> quoted_;
};

}  // namespace tarn
