// What the devices, the disk and careless format texts can throw at the running service:
// a clear answer every time, never a crash, a hang or a silent huge allocation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "log/TMessLog.h"
#include "readerbus/Frame.h"
#include "support/ScratchDir.h"
#include "util/DateTime.h"
#include "util/Format.h"
#include "util/Strings.h"
#include "util/TicketTime.h"

namespace {
namespace fs = std::filesystem;
using namespace tarn;
using readerbus::BuildReply;
using readerbus::kACK;
using readerbus::kEOT;
using readerbus::kMaxReplyBytes;
using readerbus::kMaxReplyText;
using readerbus::kSOH;
using readerbus::TReplyDecoder;
using Result = TReplyDecoder::Result;

// Feeds bytes as one exchange does: stops at the first result other than More. Returns that
// result and how many bytes it took.
std::pair<Result, size_t> Exchange(const std::string& bytes) {
  TReplyDecoder d;
  for (size_t i = 0; i < bytes.size(); ++i) {
    Result r = d.Feed(static_cast<uint8_t>(bytes[i]));
    if (r != Result::More) return {r, i + 1};
  }
  return {Result::More, bytes.size()};
}

TEST(HostileReplies, EndlessTalkWithoutEotEndsTheExchange) {
  // 10 000 bytes of text without EOT.
  std::string plain = "\x01" + std::string(10000, 'x');
  auto [r1, n1] = Exchange(plain);
  EXPECT_EQ(r1, Result::Failed);
  EXPECT_LE(n1, kMaxReplyBytes + 1);
  // The same with a fresh SOH every few bytes: the text never grows past its bound, but the
  // line talks on; the exchange must still end.
  std::string restarts;
  while (restarts.size() < 10000) restarts += "\x01" "1C12345";
  auto [r2, n2] = Exchange(restarts);
  EXPECT_EQ(r2, Result::Failed);
  EXPECT_LE(n2, kMaxReplyBytes + 1);
  // EOT after EOT: each takes the next byte as its check byte; no endless wait either.
  auto [r3, n3] = Exchange(std::string(10000, static_cast<char>(kEOT)));
  EXPECT_NE(r3, Result::More);
  EXPECT_LE(n3, kMaxReplyBytes + 1);
}

TEST(HostileReplies, NoiseBadChecksAndCutReplies) {
  // Pseudo-random noise, one exchange after the other: every one ends within the bound,
  // and every reply taken from noise carries a text its check byte vouches for.
  uint32_t seed = 12345;
  std::string noise;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245u + 12345u;
    noise += static_cast<char>((seed >> 16) & 0xFF);
  }
  TReplyDecoder d;
  size_t since = 0, done = 0;
  for (char c : noise) {
    ++since;
    Result r = d.Feed(static_cast<uint8_t>(c));
    ASSERT_LE(d.Text().size(), kMaxReplyText);
    if (r == Result::More) {
      ASSERT_LE(since, kMaxReplyBytes);
      continue;
    }
    if (r == Result::Done && static_cast<uint8_t>(c) != kACK) {
      EXPECT_EQ(readerbus::ReplyCheck(d.Text()), static_cast<uint8_t>(c));
      ++done;
    }
    d.Reset();
    since = 0;
  }

  const std::string good = BuildReply("1C00012345");
  // Every wrong check byte fails the reply.
  for (int b = 0; b < 256; ++b) {
    if (b == static_cast<uint8_t>(good.back())) continue;
    std::string bad = good;
    bad.back() = static_cast<char>(b);
    EXPECT_EQ(Exchange(bad).first, Result::Failed) << b;
  }
  // A reply cut anywhere before its check byte is never taken.
  for (size_t cut = 0; cut < good.size(); ++cut) EXPECT_EQ(Exchange(good.substr(0, cut)).first, Result::More);
  EXPECT_EQ(Exchange(good).first, Result::Done);
}

TEST(HostileFormats, BrokenAndOversizedSpecifiers) {
  struct Bad {
    const char* format;
  } bad[] = {{"%"}, {"abc %"}, {"%5"}, {"%.-"}, {"%q"}, {"%ld"}, {"%d %d"}, {"%s"}, {"%2147483647:d"},
             {"%99999999999999999999:d"}, {"%*"}, {"%.*f"}};
  for (const Bad& b : bad) EXPECT_THROW(Format(b.format, 1), EFormatError) << b.format;
  EXPECT_THROW(Format("%d", 1.5), EFormatError);
  EXPECT_THROW(Format("%f", 1), EFormatError);
  EXPECT_THROW(Format("%s", 7), EFormatError);
  EXPECT_THROW(Format("%d", "7"), EFormatError);

  // A width or precision given as an argument takes exactly that argument.
  EXPECT_EQ(Format("%*d|%.*f|%-*s|", 5, 42, 1, 2.5, 3, "a"), "   42|2.5|a  |");
  // Widths and precisions have a ceiling, written or given as an argument: two billion
  // blanks are never asked for.
  EXPECT_EQ(Format("%99999999999d", 1).size(), 100000u);
  EXPECT_EQ(Format("%*d", 2000000000, 1).size(), 100000u);
  EXPECT_EQ(Format("%*d", std::numeric_limits<long long>::max(), 1).size(), 100000u);
  EXPECT_EQ(Format("%-*d|", -2000000000, 7), "7|");
  EXPECT_EQ(Format("%.99999999f", 0.5), "0.500000000000000000");
  EXPECT_EQ(Format("%.*s", 2000000000, "abc"), "abc");
  // Texts that look like formats are only data.
  EXPECT_EQ(Format("%s", std::string("%s%d%n%%")), "%s%d%n%%");
  EXPECT_EQ(Format(std::string("a\0%d", 4), 5), std::string("a\0" "5", 3));
  // Non-finite numbers are written as words, never as undefined text.
  EXPECT_EQ(Format("%f|%e|%g|%n", std::nan(""), -INFINITY, INFINITY, std::nan("")), "NAN|-INF|INF|NAN");
  EXPECT_EQ(Format("%f", 1e308).size(), 312u);
  const std::string tiny = Format("%.18e", -4.9e-324);
  EXPECT_EQ(tiny.substr(0, 1), "-");
  EXPECT_EQ(tiny.substr(tiny.size() - 5), "E-324");
}

TEST(HostileFormats, TheLogReportsThemAndCarriesOn) {
  fs::path dir = tarn::testing::ScratchDir("hostile");
  fs::path path = dir / "fmt.log";
  {
    TMessLog log(path.string(), false, false, false, true);
    EXPECT_EQ(log.LogFmt("%d %s %f", std::string("x")), -1);
    EXPECT_EQ(log.LogFmt("%*s", 2000000000, std::string("y")), -1);
    EXPECT_EQ(log.LogFmt("%"), -1);
    EXPECT_EQ(log.LogFmt("Card %s", std::string("1'2\"3\\4")), -1);
  }
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("TMessLog Format() Exception!"), std::string::npos);
  EXPECT_NE(all.find("Card 1'2\"3\\4"), std::string::npos);
  EXPECT_LT(all.size(), 200000u);
  EXPECT_NE(all.find("End Log"), std::string::npos);
}

TEST(HostileLog, FoldersThatCannotBeWrittenLoseLinesNotTheProgram) {
  fs::path dir = tarn::testing::ScratchDir("hostile");
  // The log's folder would have to lie under a regular file.
  std::ofstream(dir / "plainfile", std::ios::binary) << "x";
  {
    TMessLog log((dir / "plainfile" / "log" / "vtsql.log").string(), true, true, false, false);
    log.Add("waiting");
    log.Log("lost");
    EXPECT_EQ(log.LogFmt("lost %d", 5), -1);
    EXPECT_GE(log.PendingLines(), 2u);
  }
  EXPECT_TRUE(fs::is_regular_file(dir / "plainfile"));

  // Today's day file is a folder.
  fs::path base = dir / "log" / "vtsql.log";
  fs::create_directories(dir / "log");
  fs::path dayFile = dir / "log" / ("vtsql" + std::to_string(DayOfWeek(Now())) + ".log");
  fs::create_directories(dayFile / "inside");
  {
    TMessLog log(base.string(), true, true, false, false);
    log.Log("lost as well");
    for (int i = 0; i < 10; ++i) log.AddNoFlush("waiting " + std::to_string(i));
    log.Log("");
    EXPECT_GE(log.PendingLines(), 11u);
    // A folder that stays unusable: memory holds the newest lines up to a bound.
    for (size_t i = 0; i < TMessLog::kMaxWaitingLines + 2000; ++i) log.AddNoFlush("line " + std::to_string(i));
    log.Log("");
    EXPECT_EQ(log.PendingLines(), TMessLog::kMaxWaitingLines);
    EXPECT_TRUE(fs::is_directory(dayFile / "inside"));
    // Once the file can be written again, the kept lines reach it, oldest first.
    fs::remove_all(dayFile);
    log.Log("written");
    EXPECT_EQ(log.PendingLines(), 0u);
  }
  std::ifstream in(dayFile, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all.find(" - line 1999\r\n"), std::string::npos);
  const size_t first = all.find(" - line 2000\r\n");
  const size_t last = all.find(" - line " + std::to_string(TMessLog::kMaxWaitingLines + 1999) + "\r\n");
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(last, std::string::npos);
  EXPECT_LT(first, last);
  EXPECT_NE(all.find(" - written\r\n"), std::string::npos);
  EXPECT_NE(all.find(" - End Log\r\n"), std::string::npos);
}

TEST(HostileBarcodes, QuotesBackslashesAndWrongLengthsDecodeByTheLayoutRules) {
  ScopedClock clock([] { return EncodeDateTime(2026, 3, 15, 10, 30, 0); });
  // Wrong lengths carry no time, whatever they hold.
  for (const char* b : {"", "'", "123456789", "1234567890123", "'; drop table tickinv; --"})
    for (bool old : {false, true}) EXPECT_EQ(TicketTime(b, old), 0) << b;
  // Short ones starting with "1" are not timed in either format.
  EXPECT_EQ(TicketTime("1'34567890", false), -1);
  EXPECT_EQ(TicketTime("1\\\\4567890", true), -1);
  // A text that is not a number counts as 0 seconds: the start of the cycle or of the
  // seconds layout, a finite time the ticket rules then judge (it is long expired).
  const TDateTime cycleStart = EncodeDate(2026, 1, 1) - 20000000.0 / 86400.0;
  EXPECT_DOUBLE_EQ(TicketTime("2'3\"56\\8xy", false), cycleStart);
  EXPECT_DOUBLE_EQ(TicketTime("2345678\\9012", false), 36525.0);
  EXPECT_DOUBLE_EQ(TicketTime("2345\"78'9012", false), 36525.0);
  EXPECT_EQ(TicketTime("9'34567890", false), 0);
  // The old format needs digits where the date is.
  EXPECT_EQ(TicketTime("2345'1301230", true), 0);    // month "'1"
  EXPECT_EQ(TicketTime("23451\\301230", true), 0);   // month "1\\"
  EXPECT_GT(TicketTime("'\"\\'02281230", true), 0);  // the ticket number may be anything
  std::string no;
  TDateTime when = 0;
  ASSERT_TRUE(OldTicketTime("'\"\\'02281230", no, when));
  EXPECT_EQ(no, "'\"\\'");
  // Digits of every other kind are refused, not misread.
  EXPECT_EQ(IntAt("+-5", 1, 3, -9), -9);
  EXPECT_EQ(IntAt("+5", 1, 3, -9), 5);
  EXPECT_EQ(IntAt("-5", 1, 3, -9), -5);
  EXPECT_EQ(IntAt("1e3", 1, 3, -9), -9);
  EXPECT_EQ(IntAt("99999999999", 1, 11, -9), -9);
  EXPECT_EQ(IntAt("12", 5, 2, -9), -9);
  EXPECT_EQ(IntAt("12", -5, 1000, -9), 12);
}

TEST(HostileCardNumbers, AlwaysAFiniteNumberOrTheDefault) {
  struct Case {
    std::string text;
    bool number;
  } cases[] = {{"12345", true},
               {"12a45", false},
               {"ABCDEF", false},
               {"'12345'", false},
               {"\"12345\"", false},
               {"1\\2", false},
               {std::string(200, '9'), true},
               {"1e400", false},
               {"-1e400", false},
               {"1e-400", true},
               {"inf", false},
               {"-infinity", false},
               {"nan", false},
               {"NAN(123)", false},
               {"0x1p3", false},
               {" 12345", false},
               {"12345 ", false},
               {"", false},
               {"-", false},
               {"1e", false},
               {"1.2.3", false},
               {std::string("12\0" "34", 5), false},
               {"0." + std::string(400, '0') + "1", true},
               {std::string(400, '9') + "e-300", true}};
  for (const Case& c : cases) {
    auto v = TryStrToFloat(c.text);
    EXPECT_EQ(v.has_value(), c.number) << c.text.substr(0, 40);
    if (v) {
      EXPECT_TRUE(std::isfinite(*v)) << c.text.substr(0, 40);
    }
    const double d = StrToFloatDef(c.text, -1);
    EXPECT_TRUE(std::isfinite(d)) << c.text.substr(0, 40);
    if (!c.number) {
      EXPECT_EQ(d, -1) << c.text.substr(0, 40);
    }
    // As the card number reaches SQL and the log.
    EXPECT_LT(Format("%f", d).size(), 400u);
    EXPECT_LT(FloatToStr(d).size(), 32u);
  }
  EXPECT_EQ(StrToFloatDef(std::string(200, '9'), 0), 1e200);
}

}  // namespace
