#include "platform/Registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/Home.h"
#include "util/Strings.h"

namespace tarn::platform {
namespace {

// A registry export is a few kilobytes; anything beyond this is not ours to load whole.
constexpr size_t kMaxFileBytes = 64u * 1024u * 1024u;

const char* const kComputerNameKey = "system\\currentcontrolset\\control\\computername\\computername";

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE (after its byte-order mark) to UTF-8; unpaired surrogates become U+FFFD and an
// odd trailing byte is dropped.
std::string Utf16LeToUtf8(std::string_view b) {
  std::string out;
  out.reserve(b.size() / 2);
  size_t n = b.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[2 * i])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(b[2 * i + 1])) << 8);
  };
  for (size_t i = 0; i < n; ++i) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      uint32_t lo = unit(i + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

}  // namespace

std::string DecodeTextBytes(std::string_view bytes) {
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE)
    text = Utf16LeToUtf8(bytes.substr(2));
  else
    text = std::string(bytes);
  // Every leading mark goes (an editor may add one to a file that already has one): a mark
  // left in front would hide the first line, and it would show again once the file is
  // written back without the first.
  size_t marks = 0;
  while (text.compare(marks, 3, "\xEF\xBB\xBF") == 0) marks += 3;
  return text.substr(marks);
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Parses a quoted text at the start of s ("...", \\ and \" escapes). Returns the position
// after the closing quote, or npos when the text is not closed.
size_t ParseQuoted(std::string_view s, std::string& out) {
  if (s.empty() || s[0] != '"') return std::string_view::npos;
  out.clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[i + 1];
      ++i;
    } else if (c == '"') {
      return i + 1;
    } else {
      out += c;
    }
  }
  return std::string_view::npos;
}

bool ParseHex32(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

// "[HKEY_LOCAL_MACHINE\a\b]" -> "a\b"; nullopt for other roots and broken lines.
std::optional<std::string> ParseKeyLine(std::string_view line) {
  if (line.size() < 2 || line.back() != ']') return std::nullopt;
  std::string_view path = line.substr(1, line.size() - 2);
  if (!path.empty() && path[0] == '-') return std::nullopt;  // a deletion: nothing to read
  size_t slash = path.find('\\');
  std::string_view root = path.substr(0, slash);
  if (!SameText(root, "HKEY_LOCAL_MACHINE") && !SameText(root, "HKLM")) return std::nullopt;
  return NormaliseKeyPath(slash == std::string_view::npos ? std::string_view() : path.substr(slash));
}

// One value line, continuation lines already joined.
bool ParseValueLine(std::string_view line, std::string& name, RegValue& value) {
  size_t pos;
  if (line[0] == '@') {
    name.clear();
    pos = 1;
  } else {
    pos = ParseQuoted(line, name);
    if (pos == std::string_view::npos) return false;
    name = LowerCase(name);
  }
  std::string_view rest = TrimBlanks(line.substr(pos));
  if (rest.empty() || rest[0] != '=') return false;
  rest = TrimBlanks(rest.substr(1));
  if (rest.empty()) return false;
  if (rest[0] == '"') {
    size_t end = ParseQuoted(rest, value.str);
    if (end == std::string_view::npos || !TrimBlanks(rest.substr(end)).empty()) return false;
    value.type = RegType::String;
    return true;
  }
  if (StartsText("dword:", rest)) {
    if (!ParseHex32(TrimBlanks(rest.substr(6)), value.dword)) return false;
    value.type = RegType::DWord;
    return true;
  }
  if (StartsText("hex", rest)) {
    value.type = RegType::Other;
    return true;
  }
  return false;  // "name"=- (a deletion) and anything unknown
}

struct Cache {
  std::mutex mutex;
  bool loaded = false;
  std::string path;
  bool exists = false;
  int64_t mtimeNs = 0;
  int64_t size = 0;
  RegistryKeys keys;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

RegistryKeys LoadFile(const std::string& path, int64_t size) {
  std::ifstream in(path, std::ios::binary);
  if (!in || size <= 0) return {};
  std::string bytes(std::min(static_cast<size_t>(size), kMaxFileBytes), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return ParseRegistryText(bytes);
}

}  // namespace

std::string NormaliseKeyPath(std::string_view keyPath) {
  while (!keyPath.empty() && keyPath.front() == '\\') keyPath.remove_prefix(1);
  while (!keyPath.empty() && keyPath.back() == '\\') keyPath.remove_suffix(1);
  return LowerCase(keyPath);
}

RegistryKeys ParseRegistryText(std::string_view bytes) {
  RegistryKeys keys;
  std::string text = DecodeTextBytes(bytes);
  std::string_view all(text);
  std::optional<std::string> key;
  size_t pos = 0;
  auto nextLine = [&](std::string_view& line) {
    if (pos >= all.size()) return false;
    size_t nl = all.find('\n', pos);
    if (nl == std::string_view::npos) nl = all.size();
    line = TrimBlanks(all.substr(pos, nl - pos));
    pos = nl + 1;
    return true;
  };
  std::string_view line;
  while (nextLine(line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      key = ParseKeyLine(line);
      if (key) keys[*key];  // an empty key still exists
      continue;
    }
    if (line[0] != '"' && line[0] != '@') continue;  // the header and junk
    std::string joined;
    std::string_view whole = line;
    // Hex data runs on over lines ending in a backslash; a quoted text never does.
    std::string ignored;
    size_t nameEnd = line[0] == '@' ? 1 : ParseQuoted(line, ignored);
    size_t eq = nameEnd == std::string_view::npos ? nameEnd : line.find('=', nameEnd);
    if (eq != std::string_view::npos && line.back() == '\\' &&
        TrimBlanks(line.substr(eq + 1)).substr(0, 1) != "\"") {
      joined.assign(line.substr(0, line.size() - 1));
      std::string_view more;
      while (nextLine(more)) {
        if (!more.empty() && more.back() == '\\') {
          joined.append(more.substr(0, more.size() - 1));
          continue;
        }
        joined.append(more);
        break;
      }
      whole = joined;
    }
    if (!key) continue;
    std::string name;
    RegValue value;
    if (ParseValueLine(whole, name, value)) keys[*key][name] = std::move(value);
  }
  return keys;
}

namespace {

// Offset of the first byte that is not part of well-formed UTF-8; npos when all are.
size_t FirstBadUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    // A NUL is no text: UTF-16 saved without its byte-order mark.
    if (c == 0 || n == 0 || (n == 2 && c < 0xC2) || i + n > s.size()) return i;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return i;
    i += n;
  }
  return std::string_view::npos;
}

}  // namespace

std::string RegistryFileProblem() {
  const std::string path = RegistryFilePath();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return "";
    return "Registry file " + path + " cannot be read (" + std::strerror(errno) + "): the built-in defaults are used";
  }
  if (!S_ISREG(st.st_mode))
    return "Registry file " + path + " cannot be read (not a regular file): the built-in defaults are used";
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "Registry file " + path + " cannot be read (" + std::strerror(errno ? errno : EACCES) +
           "): the built-in defaults are used";
  std::string bytes(std::min(static_cast<size_t>(st.st_size), kMaxFileBytes), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  const bool wide = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                    static_cast<unsigned char>(bytes[1]) == 0xFE;
  if (!wide) {
    const size_t bad = FirstBadUtf8(bytes);
    if (bad != std::string_view::npos)
      return "Registry file " + path + " is neither UTF-8 nor UTF-16LE with a byte-order mark (byte " +
             std::to_string(bad) + "): its values may be missing or wrong";
  }
  return "";
}

std::string RegistryFilePath() {
  const char* env = std::getenv("TARNCARD_REGISTRY");
  if (env && *env) return env;
  return ConfigPath("registry.reg");
}

std::optional<RegValue> RegistryRead(const std::string& keyPath, const std::string& name) noexcept {
  try {
    std::string k = NormaliseKeyPath(keyPath);
    std::string n = LowerCase(name);
    std::optional<RegValue> result;
    {
      Cache& c = TheCache();
      std::lock_guard<std::mutex> lock(c.mutex);
      std::string path = RegistryFilePath();
      struct stat st {};
      bool exists = ::stat(path.c_str(), &st) == 0;
      int64_t mtimeNs = exists ? static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec : 0;
      int64_t size = exists ? static_cast<int64_t>(st.st_size) : 0;
      if (!c.loaded || path != c.path || exists != c.exists || mtimeNs != c.mtimeNs || size != c.size) {
        c.keys = exists ? LoadFile(path, size) : RegistryKeys();
        c.loaded = true;
        c.path = path;
        c.exists = exists;
        c.mtimeNs = mtimeNs;
        c.size = size;
      }
      auto kit = c.keys.find(k);
      if (kit != c.keys.end()) {
        auto vit = kit->second.find(n);
        if (vit != kit->second.end()) result = vit->second;
      }
    }
    if (!result && k == kComputerNameKey && n == "computername") {
      char host[256] = {};
      if (::gethostname(host, sizeof host - 1) == 0) {
        RegValue v;
        v.type = RegType::String;
        v.str = host;
        result = std::move(v);
      }
    }
    return result;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tarn::platform
