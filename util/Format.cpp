#include "util/Format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "util/Strings.h"

namespace tarn {
namespace {

// Widths and precisions beyond this are taken as this.
constexpr long long kMaxWidth = 100000;

[[noreturn]] void Invalid(std::string_view spec) {
  throw EFormatError("Format '" + std::string(spec) + "' invalid or incompatible with argument");
}

[[noreturn]] void Missing(std::string_view spec) {
  throw EFormatError("No argument for format '" + std::string(spec) + "'");
}

std::string Pad(std::string s, int width, bool left) {
  if (width > 0 && static_cast<int>(s.size()) < width) {
    std::string fill(static_cast<size_t>(width) - s.size(), ' ');
    s = left ? s + fill : fill + s;
  }
  return s;
}

std::string FormatFloat(double v, char type, int prec) {
  if (!std::isfinite(v)) {
    if (std::isnan(v)) return "NAN";
    return v > 0 ? "INF" : "-INF";
  }
  char buf[512];
  switch (type) {
    case 'f':
      std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : std::min(prec, 18), v);
      return buf;
    case 'e': {
      // Mantissa with prec significant digits (default 15), exponent with a sign and 3 digits.
      int p = prec < 0 ? 15 : std::max(1, std::min(prec, 18));
      std::snprintf(buf, sizeof buf, "%.*E", p - 1, v);
      std::string s = buf;
      auto e = s.find('E');
      std::string mant = s.substr(0, e), ex = s.substr(e + 1);
      char sign = ex[0];
      std::string digits = ex.substr(1);
      while (digits.size() < 3) digits = "0" + digits;
      return mant + "E" + sign + digits;
    }
    case 'g':
      return FloatToStrG(v, prec < 0 ? 15 : std::max(1, std::min(prec, 18)));
    case 'n': {
      std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : std::min(prec, 18), v);
      std::string s = buf;
      bool neg = !s.empty() && s[0] == '-';
      if (neg) s.erase(0, 1);
      auto dot = s.find('.');
      std::string ip = s.substr(0, dot), fp = dot == std::string::npos ? "" : s.substr(dot);
      std::string out;
      for (size_t i = 0; i < ip.size(); ++i) {
        if (i > 0 && (ip.size() - i) % 3 == 0) out += ',';
        out += ip[i];
      }
      return (neg ? "-" : "") + out + fp;
    }
  }
  return buf;
}

}  // namespace

std::string FormatV(std::string_view format, std::span<const FormatArg> args) {
  std::string out;
  size_t next = 0;
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    size_t start = i++;
    if (i < format.size() && format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    auto takeNumber = [&](int& value) -> bool {
      if (i < format.size() && format[i] == '*') {
        ++i;
        if (next >= args.size()) Missing(format.substr(start, i - start));
        if (args[next].kind() != FormatArg::Kind::Integer) Invalid(format.substr(start, i - start));
        // Same cap as a written width: an argument of two billion must not ask for
        // two gigabytes of blanks.
        value = static_cast<int>(std::clamp(args[next++].integer(), -kMaxWidth, kMaxWidth));
        return true;
      }
      bool any = false;
      value = 0;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        value = std::min(value * 10 + (format[i] - '0'), static_cast<int>(kMaxWidth));
        ++i;
        any = true;
      }
      return any;
    };
    int width = -1, prec = -1;
    bool left = false;
    // Optional argument index "n:".
    {
      // A '*' here takes an argument; when no ':' follows it was the width, so give the
      // argument back as well as the position.
      size_t save = i, saveNext = next;
      int idx = 0;
      if (takeNumber(idx) && i < format.size() && format[i] == ':') {
        next = static_cast<size_t>(idx);
        ++i;
      } else {
        i = save;
        next = saveNext;
      }
    }
    if (i < format.size() && format[i] == '-') {
      left = true;
      ++i;
    }
    if (!takeNumber(width)) width = -1;
    if (i < format.size() && format[i] == '.') {
      ++i;
      if (!takeNumber(prec)) prec = 0;
    }
    if (i >= format.size()) Invalid(format.substr(start));
    char type = static_cast<char>(format[i] | 0x20);  // lower case
    ++i;
    std::string_view spec = format.substr(start, i - start);
    if (next >= args.size()) Missing(spec);
    const FormatArg& a = args[next++];
    std::string text;
    switch (type) {
      case 'd':
      case 'u':
      case 'x': {
        if (a.kind() != FormatArg::Kind::Integer) Invalid(spec);
        long long v = a.integer();
        bool neg = false;
        unsigned long long mag;
        if (type == 'u') {
          mag = static_cast<unsigned long long>(static_cast<unsigned int>(v));
        } else if (type == 'x') {
          mag = static_cast<unsigned long long>(v);
        } else {
          neg = v < 0;
          mag = neg ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        }
        char buf[32];
        std::snprintf(buf, sizeof buf, type == 'x' ? "%llX" : "%llu", mag);
        text = buf;
        if (prec > 0 && static_cast<int>(text.size()) < prec)
          text = std::string(static_cast<size_t>(prec) - text.size(), '0') + text;
        if (neg) text = "-" + text;
        break;
      }
      case 'f':
      case 'e':
      case 'g':
      case 'n':
      case 'm':
        if (a.kind() != FormatArg::Kind::Float) Invalid(spec);
        text = FormatFloat(a.floating(), type == 'm' ? 'n' : type, prec);
        break;
      case 's':
        if (a.kind() != FormatArg::Kind::Text) Invalid(spec);
        text = a.text();
        if (prec >= 0 && static_cast<int>(text.size()) > prec) text.resize(static_cast<size_t>(prec));
        break;
      default:
        Invalid(spec);
    }
    out += Pad(std::move(text), width, left);
  }
  return out;
}

}  // namespace tarn
