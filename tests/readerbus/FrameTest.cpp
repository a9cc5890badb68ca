#include <gtest/gtest.h>

#include <string>

#include "readerbus/Frame.h"
#include "util/DateTime.h"

using namespace tarn;
using namespace tarn::readerbus;

namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

TReplyDecoder::Result FeedAll(TReplyDecoder& d, const std::string& bytes) {
  TReplyDecoder::Result r = TReplyDecoder::Result::More;
  for (unsigned char c : bytes) {
    r = d.Feed(c);
    if (r != TReplyDecoder::Result::More) break;
  }
  return r;
}

}  // namespace

TEST(Frame, GoldenFramesForEveryCommandLetter) {
  struct Case {
    int address;
    const char* command;
    const char* hex;
  } cases[] = {
      {1, "C", "0231430371"},
      {3, "G007Thank you...", "0233473030375468616E6B20796F752E2E2E0375"},
      {3, "G234Thank you...", "0233473233345468616E6B20796F752E2E2E0377"},
      {3, "BGoing Up!", "023342476F696E6720557021031E"},
      {5, "ODevice activated", "02354F44657669636520616374697661746564031C"},
      {5, "XDefault message", "02355844656661756C74206D657373616765036E"},
      {5, "o120000260105Device activated", "02356F31323030303032363031303544657669636520616374697661746564033F"},
      {5, "x120000260105Default message", "02357831323030303032363031303544656661756C74206D657373616765034D"},
      {7, "M093015260105", "02374D3039333031353236303130350377"},
      {7, "L 123", "02374C203132330368"},
      {2, "WA", "023257410327"},
      {2, "FD", "023246440333"},
      {4, "P@5", "02345040350312"},
      {4, "PB50", "0234504235300320"},
      {9, "Y", "0239590363"},
      {10, "S120000260105", "023A533132303030303236303130350369"},
      {48, "R", "0260520331"},
      {1, "I", "023149037B"},
      {1, "A", "0231410373"},
      {1, "B", "0231420370"},
      {1, "D", "0231440376"},
      {1, "E", "0231450377"},
      {1, "J", "02314A0378"},
      {1, "K3", "02314B33034A"},
      {1, "L1", "02314C31034F"},
      {1, "M", "02314D037F"},
      {1, "U", "0231550367"},
      {1, "Z", "02315A0368"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(BuildFrame(c.address, c.command, false)), c.hex) << c.command;
  // Pay-on-foot loops start with ENQ; the check byte does not cover the start byte.
  EXPECT_EQ(Hex(BuildFrame(1, "C", true)), "0531430371");
  EXPECT_EQ(AddressChar(10), ':');
  EXPECT_EQ(AddressChar(48), '`');
}

TEST(Frame, ReplyDecoding) {
  // The card reply: SOH '1' 'C' '1' '2' '3' EOT check.
  std::string card = std::string("\x01") + "1C123" + "\x04" + "\x46";
  EXPECT_EQ(BuildReply("1C123"), card);
  TReplyDecoder d;
  EXPECT_EQ(FeedAll(d, card), TReplyDecoder::Result::Done);
  EXPECT_EQ(d.Text(), "1C123");

  // Bytes before SOH are dropped, and a second SOH starts the reply again.
  d.Reset();
  EXPECT_EQ(FeedAll(d, "garbage\x01" "1Cxx\x01" + BuildReply("1C123").substr(1)), TReplyDecoder::Result::Done);
  EXPECT_EQ(d.Text(), "1C123");

  // A lone ACK is a complete reply.
  d.Reset();
  EXPECT_EQ(d.Feed(kACK), TReplyDecoder::Result::Done);
  EXPECT_EQ(d.Text(), "*");

  // A wrong check byte fails.
  d.Reset();
  std::string bad = card;
  bad.back() = static_cast<char>(bad.back() ^ 1);
  EXPECT_EQ(FeedAll(d, bad), TReplyDecoder::Result::Failed);

  // The check byte is taken raw, even when it looks like ACK or SOH.
  for (std::string text : {std::string("1C") + char(0x43 ^ 0x31 ^ 0x04 ^ 0x06 ^ 0x43), std::string("1R")}) {
    TReplyDecoder e;
    std::string reply = BuildReply(text);
    EXPECT_EQ(FeedAll(e, reply), TReplyDecoder::Result::Done) << Hex(reply);
    EXPECT_EQ(e.Text(), text);
  }
}

TEST(Frame, EndlessReplyFailsInsteadOfGrowing) {
  TReplyDecoder d;
  d.Feed(kSOH);
  TReplyDecoder::Result r = TReplyDecoder::Result::More;
  size_t fed = 0;
  while (r == TReplyDecoder::Result::More && fed < 100000) {
    r = d.Feed('x');
    ++fed;
  }
  EXPECT_EQ(r, TReplyDecoder::Result::Failed);
  EXPECT_LE(d.Text().size(), kMaxReplyText);
  // A reply of exactly the bound still goes through.
  TReplyDecoder ok;
  EXPECT_EQ(FeedAll(ok, BuildReply(std::string(kMaxReplyText, 'y'))), TReplyDecoder::Result::Done);
}

TEST(Frame, HostFrameDecoderAsADeviceSeesIt) {
  TFrameDecoder d;
  std::string bytes = "\x7f\x00noise" + BuildFrame(3, "G007Thank you...", false) + BuildFrame(12, "C", true);
  bytes.insert(0, 1, '\0');
  std::vector<THostFrame> frames;
  for (unsigned char c : bytes)
    if (d.Feed(c)) frames.push_back(d.Frame());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].address, 3);
  EXPECT_EQ(frames[0].letter, 'G');
  EXPECT_EQ(frames[0].data, "007Thank you...");
  EXPECT_TRUE(frames[0].checkOk);
  EXPECT_EQ(frames[0].length, 20u);
  EXPECT_EQ(frames[1].address, 12);
  EXPECT_EQ(frames[1].start, kENQ);
  EXPECT_TRUE(frames[1].checkOk);

  std::string corrupt = BuildFrame(1, "C", false);
  corrupt.back() = 0;
  int seen = 0;
  for (unsigned char c : corrupt) {
    if (d.Feed(c)) {
      ++seen;
      EXPECT_FALSE(d.Frame().checkOk);
    }
  }
  EXPECT_EQ(seen, 1);
}

TEST(Frame, DeviceTimeText) {
  EXPECT_EQ(DeviceTimeText(EncodeDateTime(2026, 1, 5, 9, 30, 15)), "093015260105");
  EXPECT_EQ(DeviceTimeText(EncodeDateTime(2031, 12, 31, 23, 59, 59)), "235959311231");
}

TEST(Frame, DecodersSurviveRandomLineNoise) {
  uint32_t seed = 20261208;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<uint8_t>(seed >> 24);
  };
  TReplyDecoder reply;
  TFrameDecoder frame;
  int done = 0;
  for (int i = 0; i < 200000; ++i) {
    uint8_t b = next();
    if (b < 8 && (next() & 1)) b = kSOH + (b % 6);  // plenty of control bytes
    if (reply.Feed(b) != TReplyDecoder::Result::More) {
      ++done;
      reply.Reset();
    }
    ASSERT_LE(reply.Text().size(), kMaxReplyText);
    if (frame.Feed(b)) {
      ASSERT_LE(frame.Frame().data.size(), kMaxFrameData);
    }
  }
  EXPECT_GT(done, 0);
}
