#include "util/Strings.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tarn {
namespace {
bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= 0x20; }
char Up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char Low(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
}  // namespace

std::string Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string TrimLeft(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && IsTrimmed(s[b])) ++b;
  return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && IsTrimmed(s[e - 1])) --e;
  return std::string(s.substr(0, e));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = Up(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = Low(c);
  return r;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Up(a[i]) != Up(b[i])) return false;
  return true;
}

bool ContainsText(std::string_view text, std::string_view sub) {
  return UpperCase(text).find(UpperCase(sub)) != std::string::npos;
}

bool StartsText(std::string_view prefix, std::string_view text) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string r;
  size_t pos = 0;
  while (true) {
    size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    r.append(s.substr(pos, hit - pos));
    r.append(to);
    pos = hit + from.size();
  }
  r.append(s.substr(pos));
  return r;
}

std::optional<int64_t> TryStrToInt64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  size_t i = 0;
  bool neg = false;
  if (s[i] == '+' || s[i] == '-') {
    neg = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;
  unsigned long long mag = 0;
  const unsigned long long limit = neg ? 9223372036854775808ULL : 9223372036854775807ULL;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    if (mag > (limit - static_cast<unsigned long long>(d)) / static_cast<unsigned long long>(base)) return std::nullopt;
    mag = mag * static_cast<unsigned long long>(base) + static_cast<unsigned long long>(d);
  }
  if (neg) return mag == 9223372036854775808ULL ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(mag);
  return static_cast<int64_t>(mag);
}

std::optional<int32_t> TryStrToInt(std::string_view s) {
  auto v = TryStrToInt64(s);
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(*v);
}

int32_t StrToIntDef(std::string_view s, int32_t def) { return TryStrToInt(s).value_or(def); }
int64_t StrToInt64Def(std::string_view s, int64_t def) { return TryStrToInt64(s).value_or(def); }

std::optional<double> TryStrToFloat(std::string_view s) {
  // Accept: [sign] digits [. digits] [e [sign] digits], at least one digit in the mantissa.
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t ed = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++ed;
    if (ed == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  std::string text(s);
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

double StrToFloatDef(std::string_view s, double def) { return TryStrToFloat(s).value_or(def); }

std::string IntToStr(int64_t v) { return std::to_string(v); }

std::string FloatToStrG(double v, int precision) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", precision, v);
  std::string s = buf;
  auto e = s.find('E');
  std::string mant = e == std::string::npos ? s : s.substr(0, e);
  std::string ex = e == std::string::npos ? "" : s.substr(e + 1);
  if (mant.find('.') != std::string::npos) {
    while (!mant.empty() && mant.back() == '0') mant.pop_back();
    if (!mant.empty() && mant.back() == '.') mant.pop_back();
  }
  if (ex.empty()) return mant;
  bool neg = ex[0] == '-';
  size_t k = (ex[0] == '+' || ex[0] == '-') ? 1 : 0;
  while (k + 1 < ex.size() && ex[k] == '0') ++k;
  return mant + "E" + (neg ? "-" : "") + ex.substr(k);
}

std::string FloatToStr(double v) { return FloatToStrG(v, 15); }

std::vector<std::string> SplitCommaText(std::string_view s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ',' || static_cast<unsigned char>(s[i]) <= 0x20)) ++i;
    if (i >= s.size()) break;
    std::string item;
    if (s[i] == '"') {
      ++i;
      while (i < s.size()) {
        if (s[i] == '"') {
          if (i + 1 < s.size() && s[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += s[i++];
      }
    } else {
      while (i < s.size() && s[i] != ',' && static_cast<unsigned char>(s[i]) > 0x20) item += s[i++];
    }
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (true) {
    size_t hit = s.find(sep, pos);
    if (hit == std::string_view::npos) {
      out.emplace_back(s.substr(pos));
      break;
    }
    out.emplace_back(s.substr(pos, hit - pos));
    pos = hit + 1;
  }
  return out;
}

std::string Utf8Prefix(std::string_view s, size_t maxBytes) {
  if (s.size() <= maxBytes) return std::string(s);
  size_t end = maxBytes;
  // Step back over continuation bytes (10xxxxxx) to the lead byte of the last character.
  size_t lead = end;
  while (lead > 0 && (static_cast<unsigned char>(s[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead > 0) {
    const auto c = static_cast<unsigned char>(s[lead - 1]);
    size_t length = 1;
    if ((c & 0xE0) == 0xC0)
      length = 2;
    else if ((c & 0xF0) == 0xE0)
      length = 3;
    else if ((c & 0xF8) == 0xF0)
      length = 4;
    // The last character does not fit whole: leave it out.
    if (c >= 0x80 && lead - 1 + length > end) end = lead - 1;
  }
  return std::string(s.substr(0, end));
}

size_t Utf8CharLength(std::string_view s, size_t i) {
  if (i >= s.size()) return 0;
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t length = 0;
  // The second byte's range excludes overlong forms, surrogates and code points beyond
  // U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (b(i + 1) < low || b(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  return length;
}

std::string EscapeLogText(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t length = (c < 0x20 || c == 0x7F) ? 0 : Utf8CharLength(s, i);
    if (length == 0) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
      ++i;
    } else {
      out.append(s.substr(i, length));
      i += length;
    }
  }
  return out;
}

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace tarn
