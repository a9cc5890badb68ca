// A reader line that never stops talking: the poll thread must give up on the exchange,
// report the device off line and stay stoppable.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/MainLoop.h"
#include "readerbus/ByteChannel.h"
#include "readerbus/Frame.h"
#include "readerbus/TCard.h"

namespace {
using namespace tarn;

// Answers every frame with an endless stream of SOH and reply text, never EOT; after
// `limit` bytes it falls silent, so a poll thread without a bound still ends (and the test
// fails on the count instead of hanging). Notes how many bytes the first exchange took: the
// bytes handed out when the second frame is written.
class BabblingLine : public readerbus::TByteChannel {
 public:
  BabblingLine(std::atomic<uint64_t>& handedOut, std::atomic<uint64_t>& firstExchange, uint64_t limit)
      : handedOut_(handedOut), firstExchange_(firstExchange), limit_(limit) {}
  long Read(uint8_t* buf, size_t max) override {
    if (max == 0 || handedOut_.load() >= limit_) return 0;
    static const char pattern[] = "\x01" "1C0012345";
    buf[0] = static_cast<uint8_t>(pattern[handedOut_.fetch_add(1) % (sizeof pattern - 1)]);
    return 1;
  }
  long Write(const uint8_t*, size_t len) override {
    if (++writes_ == 2) firstExchange_.store(handedOut_.load());
    return static_cast<long>(len);
  }
  bool WaitReadable(int) override { return handedOut_.load() < limit_; }
  void Purge() override {}

 private:
  std::atomic<uint64_t>& handedOut_;
  std::atomic<uint64_t>& firstExchange_;
  const uint64_t limit_;
  int writes_ = 0;  // poll thread only
};

TEST(HostileReaderLine, EndlessChatterFailsTheExchangeAndTheDeviceGoesOffLine) {
  platform::TMainLoop loop;
  std::atomic<uint64_t> handedOut{0};
  std::atomic<uint64_t> firstExchange{0};
  constexpr uint64_t kLimit = 1000000;
  int errors = 0;
  {
    readerbus::TCard card;
    card.SetFirstReader(1);
    card.SetLastReader(1);
    card.OnError = [&](int16_t reader) {
      EXPECT_EQ(reader, 1);
      ++errors;
    };
    ASSERT_TRUE(card.OpenChannel(std::make_unique<BabblingLine>(handedOut, firstExchange, kLimit)));
    ASSERT_TRUE(loop.RunUntil([&] { return errors > 0 && firstExchange.load() > 0; }, 20000));
    card.Close();
  }
  EXPECT_EQ(errors, 1);  // off line once; the chatter that follows changes nothing
  // The first exchange gave up after a bounded number of bytes, not when the line fell silent.
  EXPECT_GT(firstExchange.load(), readerbus::kMaxReplyText);
  EXPECT_LE(firstExchange.load(), readerbus::kMaxReplyBytes + 1);
}

}  // namespace
