#pragma once
// TIniFileEx: settings-file reads that first write a missing key back with its default
// (booleans as 1/0), so a settings file fills itself with every setting the program asks
// for the first time it is read.
#include "platform/IniFile.h"

namespace tarn {

class TIniFileEx : public platform::TIniFile {
 public:
  using platform::TIniFile::TIniFile;
  bool ReadBoolEx(const std::string& section, const std::string& ident, bool def);
  int ReadIntegerEx(const std::string& section, const std::string& ident, int def);
  std::string ReadStringEx(const std::string& section, const std::string& ident, const std::string& def);
};

}  // namespace tarn
