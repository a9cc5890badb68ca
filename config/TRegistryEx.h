#pragma once
// TRegistryEx: reads values of one key of the local-machine registry store. Every read
// sets ValueMissing (true when the value did not exist or was of the wrong type); the
// ...Def variants return their default exactly then. Reads never raise.
#include <string>
#include <string_view>

namespace tarn {

class TRegistryEx {
 public:
  explicit TRegistryEx(std::string keyPath);
  void SetKey(std::string keyPath);
  const std::string& KeyPath() const { return keyPath_; }

  std::string ReadStr(const std::string& name);
  std::string ReadStrDef(const std::string& name, const std::string& def);
  bool ReadBool(const std::string& name);
  bool ReadBoolDef(const std::string& name, bool def);
  int ReadInt(const std::string& name);
  int ReadIntDef(const std::string& name, int def);
  std::string ReadScrambled(const std::string& name);

  bool ValueMissing = false;

 private:
  std::string keyPath_;
};

// The substitution behind scrambled registry values, and its inverse (the stored form).
std::string Unscramble(std::string_view s);
// Scramble keeps a character that is not in the table as it is (it will not come back);
// CanScramble says whether every character of s is in the table.
std::string Scramble(std::string_view s);
bool CanScramble(std::string_view s);

}  // namespace tarn
