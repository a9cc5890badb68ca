#include "config/TIniFileEx.h"

namespace tarn {

bool TIniFileEx::ReadBoolEx(const std::string& section, const std::string& ident, bool def) {
  if (!ValueExists(section, ident)) WriteBool(section, ident, def);
  return ReadBool(section, ident, def);
}

int TIniFileEx::ReadIntegerEx(const std::string& section, const std::string& ident, int def) {
  if (!ValueExists(section, ident)) WriteInteger(section, ident, def);
  return ReadInteger(section, ident, def);
}

std::string TIniFileEx::ReadStringEx(const std::string& section, const std::string& ident, const std::string& def) {
  if (!ValueExists(section, ident)) WriteString(section, ident, def);
  return ReadString(section, ident, def);
}

}  // namespace tarn
