#include "db/HostList.h"

#include <cctype>

#include "util/Strings.h"

namespace tarn {

namespace {

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s)
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
  return true;
}

THostEntry ParseEntry(const std::string& text) {
  THostEntry e;
  e.text = text;
  e.host = text;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close != std::string::npos) {
      e.host = text.substr(1, close - 1);
      if (close + 1 < text.size() && text[close + 1] == ':' && AllDigits(text.substr(close + 2)))
        e.port = text.substr(close + 2);
    }
    return e;
  }
  // host:port only when there is exactly one colon (an IPv6 address has several).
  const size_t colon = text.find(':');
  if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos &&
      AllDigits(text.substr(colon + 1))) {
    e.host = text.substr(0, colon);
    e.port = text.substr(colon + 1);
  }
  return e;
}

}  // namespace

std::vector<THostEntry> ParseHostList(const std::string& text) {
  std::vector<THostEntry> out;
  if (text.find(',') == std::string::npos) {
    THostEntry whole;
    whole.host = text;
    whole.text = text;
    out.push_back(whole);
    return out;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = Trim(text.substr(start, comma - start));
    if (!item.empty()) out.push_back(ParseEntry(item));
    start = comma + 1;
  }
  return out;
}

std::string OptionsForHost(const std::string& options, const std::string& listText, const THostEntry& entry) {
  std::string out = options;
  if (!listText.empty())
    for (size_t p = out.find(listText); p != std::string::npos; p = out.find(listText, p + entry.host.size())) {
      out.replace(p, listText.size(), entry.host);
    }
  if (entry.port.empty()) return out;
  // Drop every PORT item, then add the entry's. A braced value may hold ';'.
  std::string kept;
  size_t start = 0;
  while (start <= out.size()) {
    size_t semi = start;
    bool braced = false;
    for (; semi < out.size(); ++semi) {
      const char c = out[semi];
      if (braced) {
        if (c == '}') {
          if (semi + 1 < out.size() && out[semi + 1] == '}')
            ++semi;
          else
            braced = false;
        }
      } else if (c == '{') {
        braced = true;
      } else if (c == ';') {
        break;
      }
    }
    const std::string item = out.substr(start, semi - start);
    const std::string key = UpperCase(Trim(item.substr(0, item.find('='))));
    if (!Trim(item).empty() && !(key == "PORT" && item.find('=') != std::string::npos)) {
      if (!kept.empty()) kept += ';';
      kept += item;
    }
    start = semi + 1;
  }
  if (!kept.empty()) kept += ';';
  return kept + "PORT=" + entry.port;
}

}  // namespace tarn
