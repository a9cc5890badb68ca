#pragma once
// The reader bus wire format, free of any I/O so it can be tested and fuzzed on its own.
//
// Host to device: start byte (STX, or ENQ on pay-on-foot loops), address character
// (0x30 + address), command letter, command data, ETX, then a check byte that XORs every
// byte from the address character to ETX. Device to host: a lone ACK, or SOH, reply text,
// EOT and a check byte that XORs 0x04 with every byte of the reply text.
//
// TReplyDecoder and TFrameDecoder are incremental byte-at-a-time decoders; they are plain
// values with no shared state (one per reader, any thread).
#include <cstddef>
#include <cstdint>
#include <string>

#include "util/DateTime.h"

namespace tarn::readerbus {

constexpr uint8_t kSOH = 0x01;
constexpr uint8_t kSTX = 0x02;
constexpr uint8_t kETX = 0x03;
constexpr uint8_t kEOT = 0x04;
constexpr uint8_t kENQ = 0x05;
constexpr uint8_t kACK = 0x06;

// A reply that runs this long without EOT is noise, not a device talking.
constexpr size_t kMaxReplyText = 512;
// Bytes one reply may take on the wire, restarts after SOH included: a line that keeps
// sending SOH and noise must still end the exchange.
constexpr size_t kMaxReplyBytes = 2 * kMaxReplyText;
// Longest command frame a device is expected to take (start byte to check byte).
constexpr size_t kMaxFrameData = 1024;

// Address 1 is '1', 10 is ':', 48 is '`'.
inline char AddressChar(int address) { return static_cast<char>(0x30 + address); }

// The text with every control character (below 0x20) replaced by a space: texts from the
// database go into frames, where an ETX or STX would end or restart the frame.
std::string PrintableText(const std::string& text);
// Only the framing bytes (SOH to ACK) replaced: for texts whose other control characters
// are meant for the device (sign texts).
std::string WithoutFramingBytes(const std::string& text);

// command = the command letter followed by its data.
std::string BuildFrame(int address, const std::string& command, bool payOnFoot);
uint8_t FrameCheck(int address, const std::string& command);

// SOH text EOT check (device side; used by the simulator and by tests).
std::string BuildReply(const std::string& text);
uint8_t ReplyCheck(const std::string& text);

// The 12-digit time text the clock devices take: hhnnss yymmdd.
std::string DeviceTimeText(TDateTime now);
std::string DeviceTimeText();

class TReplyDecoder {
 public:
  enum class Result { More, Done, Failed };

  // Feed the next byte. Done: Text() holds the reply text ("*" for a lone ACK).
  // Failed: wrong check byte, a reply text longer than kMaxReplyText, or more than
  // kMaxReplyBytes bytes without a complete reply.
  Result Feed(uint8_t byte);
  const std::string& Text() const { return text_; }
  void Reset();

 private:
  std::string text_;
  bool awaitingCheck_ = false;
  size_t fed_ = 0;  // bytes since construction or Reset
};

// Host frames as a device sees them.
struct THostFrame {
  uint8_t start = 0;   // STX or ENQ
  int address = 0;     // address character - 0x30
  char letter = 0;
  std::string data;
  bool checkOk = false;
  size_t length = 0;   // bytes on the wire, start byte to check byte
};

class TFrameDecoder {
 public:
  // True when a whole frame (good or bad check byte) has been taken; it is in Frame().
  bool Feed(uint8_t byte);
  const THostFrame& Frame() const { return frame_; }

 private:
  enum class State { Idle, Body, Check };
  State state_ = State::Idle;
  std::string body_;  // address character, letter, data
  THostFrame frame_;
  uint8_t start_ = 0;
};

}  // namespace tarn::readerbus
