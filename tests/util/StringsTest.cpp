#include <gtest/gtest.h>

#include <cmath>

#include "util/Strings.h"

namespace {
using namespace tarn;

TEST(Strings, TrimAndCase) {
  EXPECT_EQ(Trim(" \t\r\n abc \x01\x1f "), "abc");
  EXPECT_EQ(Trim(std::string("\0x\0", 3)), "x");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(TrimLeft("  a b  "), "a b  ");
  EXPECT_EQ(TrimRight("  a b  "), "  a b");
  EXPECT_EQ(Trim("\xC3\xA9"), "\xC3\xA9");  // bytes above 0x7F are text, not blanks
  EXPECT_EQ(UpperCase("poe/pof \xC3\xA9"), "POE/POF \xC3\xA9");
  EXPECT_TRUE(SameText("Lane-PC", "lane-pc"));
  EXPECT_FALSE(SameText("lane", "lanes"));
  EXPECT_TRUE(ContainsText("Hello World", "WORLD"));
  EXPECT_TRUE(StartsText("cannot OPEN", "Cannot open file x"));
  EXPECT_EQ(ReplaceAll("%u;%u;%U", "%u", "x"), "x;x;%U");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "a"), "aa");
}

TEST(Strings, IntegersParseStrictly) {
  EXPECT_EQ(TryStrToInt("42"), 42);
  EXPECT_EQ(TryStrToInt("-42"), -42);
  EXPECT_EQ(TryStrToInt("+7"), 7);
  EXPECT_EQ(TryStrToInt("$1F"), 31);
  EXPECT_EQ(TryStrToInt("0x1f"), 31);
  EXPECT_EQ(TryStrToInt("-0x10"), -16);
  EXPECT_EQ(TryStrToInt("2147483647"), 2147483647);
  EXPECT_EQ(TryStrToInt("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", " 1", "1 ", "1.0", "12a", "-", "+", "$", "0x", "2147483648", "1e3", "0x1g"})
    EXPECT_FALSE(TryStrToInt(bad).has_value()) << bad;
  EXPECT_EQ(TryStrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(TryStrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_FALSE(TryStrToInt64("9223372036854775808").has_value());
  EXPECT_EQ(StrToIntDef("x", -9), -9);
}

TEST(Strings, FloatsParseStrictlyAndPrintShortest) {
  EXPECT_EQ(TryStrToFloat("12345"), 12345.0);
  EXPECT_EQ(TryStrToFloat("-1.5e3"), -1500.0);
  EXPECT_EQ(TryStrToFloat(".5"), 0.5);
  for (const char* bad : {"", "abc", "1,5", " 1", "1 ", "1e", "1e+", "inf", "nan", "1e999", "-1e400", ".", "+"})
    EXPECT_FALSE(TryStrToFloat(bad).has_value()) << bad;
  EXPECT_EQ(StrToFloatDef("bad", 2.5), 2.5);

  EXPECT_EQ(FloatToStr(12345.0), "12345");
  EXPECT_EQ(FloatToStr(0.5), "0.5");
  EXPECT_EQ(FloatToStr(-2.25), "-2.25");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(1.5e-7), "1.5E-7");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1234567890123456.0), "1.23456789012346E15");
  EXPECT_EQ(FloatToStr(0), "0");
}

TEST(Strings, CommaTextAndSplit) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommaText("a,b c"), (V{"a", "b", "c"}));
  EXPECT_EQ(SplitCommaText(" a , ,b,, "), (V{"a", "b"}));
  EXPECT_EQ(SplitCommaText("\"x, y\",z"), (V{"x, y", "z"}));
  EXPECT_EQ(SplitCommaText("\"say \"\"hi\"\"\",last"), (V{"say \"hi\"", "last"}));
  EXPECT_EQ(SplitCommaText("\"open to the end"), (V{"open to the end"}));
  EXPECT_EQ(SplitCommaText(""), V{});
  EXPECT_EQ(Split("a,,b,", ','), (V{"a", "", "b", ""}));
  EXPECT_EQ(Split("", ','), (V{""}));
}

}  // namespace

TEST(Strings, ShortenedTextNeverEndsInsideAUtf8Character) {
  const std::string name = "Jos\xC3\xA9 N\xC3\xBA\xC3\xB1" "ez";  // José Núñez: 10 characters, 13 bytes
  EXPECT_EQ(tarn::Utf8Prefix(name, 100), name);
  EXPECT_EQ(tarn::Utf8Prefix(name, 13), name);
  EXPECT_EQ(tarn::Utf8Prefix(name, 4), "Jos");                   // é (2 bytes) would be cut
  EXPECT_EQ(tarn::Utf8Prefix(name, 5), "Jos\xC3\xA9");
  EXPECT_EQ(tarn::Utf8Prefix(name, 9), "Jos\xC3\xA9 N\xC3\xBA");  // ñ would be cut
  EXPECT_EQ(tarn::Utf8Prefix("\xE2\x82\xAC" "5", 2), "");        // € is three bytes
  EXPECT_EQ(tarn::Utf8Prefix("\xF0\x9F\x85\xBF", 3), "");         // a four-byte character
  EXPECT_EQ(tarn::Utf8Prefix("abc", 2), "ab");
  EXPECT_TRUE(tarn::IsAscii("Zoe"));
  EXPECT_FALSE(tarn::IsAscii("Zo\xC3\xAB"));
}

// What may reach a line of the log or the journal: clean text as it is, every control
// character and every byte outside a well-formed UTF-8 character as \xNN.
TEST(Strings, LogTextEscapesControlsAndBrokenUtf8) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Card 1001 not on file", "Card 1001 not on file"},
      {"Jos\xC3\xA9 M\xC3\xBCller \xE2\x82\xAC 5 \xF0\x9F\x85\xBF", "Jos\xC3\xA9 M\xC3\xBCller \xE2\x82\xAC 5 \xF0\x9F\x85\xBF"},
      {"|1001\r\n08:00:00.000 01/01/26 - Card Allowed|", "|1001\\x0D\\x0A08:00:00.000 01/01/26 - Card Allowed|"},
      {"x\n<0>emergency", "x\\x0A<0>emergency"},
      {"\x1B[2J\x1B]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
      {"tab\there del\x7F", "tab\\x09here del\\x7F"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"M\xFCller", "M\\xFCller"},                         // Latin-1, not UTF-8
      {"cut \xC3", "cut \\xC3"},                           // a character cut short
      {"\xE2\x82", "\\xE2\\x82"},
      {"\xC0\xAF", "\\xC0\\xAF"},                          // overlong '/'
      {"\xE0\x80\xAF", "\\xE0\\x80\\xAF"},                 // overlong, three bytes
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},                 // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},        // beyond U+10FFFF
      {"\xC2\x85", "\xC2\x85"},                            // U+0085 is a character: kept
      {"\x80 lone continuation", "\\x80 lone continuation"},
      {"back\\slash \\x41", "back\\slash \\x41"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(tarn::EscapeLogText(in), out) << in;
  EXPECT_EQ(tarn::Utf8CharLength("\xF0\x9F\x85\xBF", 0), 4u);
  EXPECT_EQ(tarn::Utf8CharLength("a\xC3\xA9", 1), 2u);
  EXPECT_EQ(tarn::Utf8CharLength("\xC3", 0), 0u);
  EXPECT_EQ(tarn::Utf8CharLength("a", 1), 0u);
}
