// Bytes from the serial line into the reply decoder (what the poll thread reads after every
// frame it sends) and into the device-side frame decoder (what the simulator reads).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "readerbus/Frame.h"

using namespace tarn::readerbus;

namespace {

bool IsReplyControl(uint8_t b) { return b == kSOH || b == kEOT || b == kACK; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 1. Noise: every exchange ends within a bounded number of bytes, and a reply that is
  //    taken carries a text the check byte vouches for.
  TReplyDecoder reply;
  size_t sinceStart = 0;
  bool awaitingCheck = false;  // the byte after an EOT is the check byte, whatever its value
  for (size_t i = 0; i < size; ++i) {
    ++sinceStart;
    const bool isCheck = awaitingCheck;
    awaitingCheck = !isCheck && data[i] == kEOT;
    TReplyDecoder::Result r = reply.Feed(data[i]);
    FUZZ_CHECK(reply.Text().size() <= kMaxReplyText);
    if (r == TReplyDecoder::Result::More) {
      FUZZ_CHECK(sinceStart <= kMaxReplyBytes);
      continue;
    }
    if (r == TReplyDecoder::Result::Done) {
      if (isCheck) {
        FUZZ_CHECK(ReplyCheck(reply.Text()) == data[i]);
      } else {
        FUZZ_CHECK(data[i] == kACK && reply.Text() == "*");
      }
    }
    reply.Reset();  // the poll thread starts every exchange with a new decoder
    sinceStart = 0;
    awaitingCheck = false;
  }

  // 2. A reply built from any text without control bytes decodes to that text.
  std::string text;
  for (size_t i = 0; i < size && text.size() < kMaxReplyText; ++i)
    if (!IsReplyControl(data[i])) text.push_back(static_cast<char>(data[i]));
  if (!text.empty()) {
    TReplyDecoder again;
    TReplyDecoder::Result r = TReplyDecoder::Result::More;
    for (char c : BuildReply(text)) {
      FUZZ_CHECK(r == TReplyDecoder::Result::More);
      r = again.Feed(static_cast<uint8_t>(c));
    }
    FUZZ_CHECK(r == TReplyDecoder::Result::Done);
    FUZZ_CHECK(again.Text() == text);
  }

  // 3. The device side: frames taken from noise are bounded, and a frame whose check byte
  //    holds is exactly the frame the host would build for it.
  TFrameDecoder frames;
  for (size_t i = 0; i < size; ++i) {
    if (!frames.Feed(data[i])) continue;
    const THostFrame& f = frames.Frame();
    FUZZ_CHECK(f.data.size() <= kMaxFrameData);
    FUZZ_CHECK(f.start == kSTX || f.start == kENQ);
    if (f.checkOk) {
      std::string command(1, f.letter);
      command += f.data;
      std::string built = BuildFrame(f.address, command, f.start == kENQ);
      FUZZ_CHECK(built.size() == f.length);
      FUZZ_CHECK(static_cast<uint8_t>(built.back()) == data[i]);
    }
  }
  return 0;
}
