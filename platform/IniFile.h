#pragma once
// A settings file in INI form ("[Section]" headers, "key=value" lines, ";" or "#" comments).
// Section and key names compare without regard to letter case; values are trimmed.
// Every read reads the file anew, so changes made by an operator take effect at once; every
// write rewrites the file keeping all other lines (comments included) and creates the file,
// the section or the key when missing. A write replaces the file at once (a copy renamed over
// it, keeping its mode and owner); when the file is a link, the file it names is replaced,
// but only through links owned by root or by this process's user (platform/FileSafety.h). Booleans are written 1/0 and read as integers
// (non-zero is true); integers accept decimal and "0x"/"$" hexadecimal.
// Not thread-safe per object; separate objects on one file are safe on one thread.
#include <string>
#include <utility>
#include <vector>

namespace tarn::platform {

class TIniFile {
 public:
  explicit TIniFile(std::string path);
  const std::string& FileName() const { return path_; }

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  int ReadInteger(const std::string& section, const std::string& key, int def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  // Keys of a section, in file order, as written in the file.
  std::vector<std::string> ReadSection(const std::string& section) const;
  // key/value pairs of a section, in file order (values trimmed).
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(const std::string& section) const;

  // Return false when the file could not be written.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  bool WriteInteger(const std::string& section, const std::string& key, int value);
  bool WriteBool(const std::string& section, const std::string& key, bool value);

 private:
  std::vector<std::string> LoadLines() const;
  std::string path_;
};

}  // namespace tarn::platform
