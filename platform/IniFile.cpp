#include "platform/IniFile.h"

#include <fstream>
#include <sstream>

#include "platform/FileSafety.h"
#include "platform/Registry.h"
#include "util/Strings.h"

namespace tarn::platform {
namespace {

// "[name]" -> name; other lines -> false.
bool SectionName(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  auto close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

bool KeyValue(const std::string& line, std::string& key, std::string& value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#' || t[0] == '[') return false;
  auto eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return !key.empty();
}

}  // namespace

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {}

std::vector<std::string> TIniFile::LoadLines() const {
  std::vector<std::string> lines;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return lines;
  // Stream reads, not buffer iterators: a folder in the file's place must read as empty
  // rather than throw.
  std::string bytes;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) bytes.append(chunk, static_cast<size_t>(in.gcount()));
  // Editors on the operator's desk may save with a byte-order mark (UTF-8) or in UTF-16:
  // the first section header must still be found.
  std::istringstream text(DecodeTextBytes(bytes));
  std::string line;
  while (std::getline(text, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSectionValues(const std::string& section) const {
  std::vector<std::pair<std::string, std::string>> out;
  bool inside = false;
  for (const auto& line : LoadLines()) {
    std::string name, key, value;
    if (SectionName(line, name)) {
      inside = SameText(name, section);
      continue;
    }
    if (inside && KeyValue(line, key, value)) out.emplace_back(key, value);
  }
  return out;
}

bool TIniFile::SectionExists(const std::string& section) const {
  for (const auto& line : LoadLines()) {
    std::string name;
    if (SectionName(line, name) && SameText(name, section)) return true;
  }
  return false;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  for (auto& kv : ReadSectionValues(section)) keys.push_back(kv.first);
  return keys;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  for (auto& kv : ReadSectionValues(section))
    if (SameText(kv.first, key)) return true;
  return false;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  for (auto& kv : ReadSectionValues(section))
    if (SameText(kv.first, key)) return kv.second;
  return def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
  std::string v = ReadString(section, key, "");
  if (v.empty()) return def;
  return StrToIntDef(v, def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  // Values are single lines: a line break would split the entry.
  std::string clean;
  for (char c : value)
    if (c != '\r' && c != '\n') clean += c;
  std::vector<std::string> lines = LoadLines();
  bool inside = false, done = false;
  int sectionEnd = -1;  // index after the last key line of the section
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, k, v;
    if (SectionName(lines[i], name)) {
      if (inside) break;
      inside = SameText(name, section);
      if (inside) sectionEnd = static_cast<int>(i) + 1;
      continue;
    }
    if (!inside) continue;
    if (KeyValue(lines[i], k, v)) {
      if (SameText(k, key)) {
        lines[i] = k + "=" + clean;
        done = true;
      }
      sectionEnd = static_cast<int>(i) + 1;
    }
  }
  if (!done) {
    if (sectionEnd < 0) {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back("");
      lines.push_back("[" + section + "]");
      lines.push_back(key + "=" + clean);
    } else {
      lines.insert(lines.begin() + sectionEnd, key + "=" + clean);
    }
  }
  // A link is written through (the file it names is replaced, the link stays) when root or
  // this process's user made it; a link anyone else planted is not followed.
  std::string target, error;
  if (!TrustedTarget(path_, target, error)) return false;
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  return ReplaceFileContent(target, text, error);
}

bool TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

}  // namespace tarn::platform
