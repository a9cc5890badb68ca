#include "db/SqlDiag.h"

#include <array>
#include <cstring>

namespace tarn {

namespace {

std::string TextOf(const SQLCHAR* text, size_t size) {
  const char* chars = reinterpret_cast<const char*>(text);
  return std::string(chars, strnlen(chars, size));
}

}  // namespace

std::string TDiagRecord::LogText() const { return message + ". State:  " + state; }

std::string TDiagRecord::ToString() const {
  return state + " (native " + std::to_string(native) + "): " + message;
}

std::vector<TDiagRecord> ReadDiagRecords(const TOdbcEntryPoints& api, SQLSMALLINT type, SQLHANDLE handle,
                                         size_t limit) {
  std::vector<TDiagRecord> records;
  if (handle == SQL_NULL_HANDLE) return records;
  for (size_t number = 1; number <= limit; ++number) {
    const auto record = static_cast<SQLSMALLINT>(number);
    std::array<SQLCHAR, 6> state{};
    std::array<SQLCHAR, kDiagMessageSize> message{};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!SqlSucceeded(api.SQLGetDiagRec(type, handle, record, state.data(), &native, message.data(),
                                        static_cast<SQLSMALLINT>(message.size()), &length)))
      break;
    TDiagRecord diag;
    diag.state = TextOf(state.data(), 5);
    diag.native = native;
    diag.message = TextOf(message.data(), message.size());
    bool last = false;
    if (diag.state == "HY000") {
      std::array<SQLCHAR, kDiagMessageSize> field{};
      if (SqlSucceeded(api.SQLGetDiagField(type, handle, record, SQL_DIAG_MESSAGE_TEXT, field.data(),
                                           static_cast<SQLSMALLINT>(field.size()), &length)))
        diag.message = TextOf(field.data(), field.size());
      else
        last = true;
    }
    records.push_back(std::move(diag));
    if (last) break;
  }
  return records;
}

TDiagRecord ReadFirstDiagRecord(const TOdbcEntryPoints& api, SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<TDiagRecord> records = ReadDiagRecords(api, type, handle, 1);
  return records.empty() ? TDiagRecord{} : std::move(records.front());
}

}  // namespace tarn
