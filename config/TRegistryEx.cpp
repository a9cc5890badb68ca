#include "config/TRegistryEx.h"

#include "platform/Registry.h"

namespace tarn {
namespace {

// The scramble table: 90 different printable characters (the space among them; '^', '`',
// '{', '|' and '~' do not occur). Values stored with another table do not come back.
constexpr std::string_view kTable =
    "BG.F69D2g8TZqWm>PiK\"&[_l@I;7hw\\?3Cur1 t}sj*%,Uv-zS!a#)bME4Q<yLV+J0]:o'(ORXkAedn=Yp/HNf$x5c";
constexpr int kLen = 90;
static_assert(kTable.size() == kLen);

constexpr bool TableIsSound() {
  for (size_t i = 0; i < kTable.size(); ++i) {
    if (kTable[i] < ' ' || kTable[i] > '~') return false;
    for (size_t j = i + 1; j < kTable.size(); ++j)
      if (kTable[i] == kTable[j]) return false;
  }
  return kTable.find(' ') != std::string_view::npos;
}
static_assert(TableIsSound(), "the scramble table needs 90 different printable characters");

// Position of c in the table counted from 1; 0 when it does not occur.
int TablePos(char c) {
  size_t p = kTable.find(c);
  return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

// Brings q into 1..kLen by whole turns of the table.
int Wrap(int64_t q) {
  int64_t r = q % kLen;
  if (r <= 0) r += kLen;
  return static_cast<int>(r);
}

}  // namespace

TRegistryEx::TRegistryEx(std::string keyPath) : keyPath_(std::move(keyPath)) {}

void TRegistryEx::SetKey(std::string keyPath) { keyPath_ = std::move(keyPath); }

std::string TRegistryEx::ReadStr(const std::string& name) {
  auto v = platform::RegistryRead(keyPath_, name);
  ValueMissing = !v || v->type != platform::RegType::String;
  return ValueMissing ? std::string() : v->str;
}

std::string TRegistryEx::ReadStrDef(const std::string& name, const std::string& def) {
  std::string s = ReadStr(name);
  return ValueMissing ? def : s;
}

int TRegistryEx::ReadInt(const std::string& name) {
  auto v = platform::RegistryRead(keyPath_, name);
  ValueMissing = !v || v->type != platform::RegType::DWord;
  // A double-word holds the integer's bits: ffffffff reads as -1.
  return ValueMissing ? 0 : static_cast<int>(static_cast<int32_t>(v->dword));
}

int TRegistryEx::ReadIntDef(const std::string& name, int def) {
  int i = ReadInt(name);
  return ValueMissing ? def : i;
}

bool TRegistryEx::ReadBool(const std::string& name) { return ReadInt(name) != 0; }

bool TRegistryEx::ReadBoolDef(const std::string& name, bool def) {
  bool b = ReadBool(name);
  return ValueMissing ? def : b;
}

std::string TRegistryEx::ReadScrambled(const std::string& name) { return Unscramble(ReadStr(name)); }

std::string Unscramble(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    int q = Wrap(static_cast<int64_t>(TablePos(s[i])) - static_cast<int64_t>(i + 1));
    out += kTable[static_cast<size_t>(q - 1)];
  }
  return out;
}

bool CanScramble(std::string_view s) {
  for (char c : s)
    if (TablePos(c) == 0) return false;
  return true;
}

std::string Scramble(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    int p = TablePos(s[i]);
    if (p == 0) {
      out += s[i];  // cannot be stored; CanScramble tells the caller beforehand
      continue;
    }
    out += kTable[static_cast<size_t>(Wrap(static_cast<int64_t>(p) + static_cast<int64_t>(i + 1)) - 1)];
  }
  return out;
}

}  // namespace tarn
