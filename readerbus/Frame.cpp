#include "readerbus/Frame.h"

#include "util/Format.h"

namespace tarn::readerbus {

std::string PrintableText(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<uint8_t>(c) < 0x20) c = ' ';
  return out;
}

std::string WithoutFramingBytes(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<uint8_t>(c) >= kSOH && static_cast<uint8_t>(c) <= kACK) c = ' ';
  return out;
}

uint8_t FrameCheck(int address, const std::string& command) {
  uint8_t check = kETX ^ static_cast<uint8_t>(AddressChar(address));
  for (char c : command) check ^= static_cast<uint8_t>(c);
  return check;
}

std::string BuildFrame(int address, const std::string& command, bool payOnFoot) {
  std::string frame;
  frame.reserve(command.size() + 4);
  frame.push_back(static_cast<char>(payOnFoot ? kENQ : kSTX));
  frame.push_back(AddressChar(address));
  frame += command;
  frame.push_back(static_cast<char>(kETX));
  frame.push_back(static_cast<char>(FrameCheck(address, command)));
  return frame;
}

uint8_t ReplyCheck(const std::string& text) {
  uint8_t check = kEOT;
  for (char c : text) check ^= static_cast<uint8_t>(c);
  return check;
}

std::string BuildReply(const std::string& text) {
  std::string reply;
  reply.reserve(text.size() + 3);
  reply.push_back(static_cast<char>(kSOH));
  reply += text;
  reply.push_back(static_cast<char>(kEOT));
  reply.push_back(static_cast<char>(ReplyCheck(text)));
  return reply;
}

std::string DeviceTimeText(TDateTime now) {
  DateParts p = DecodeDateTime(now);
  return Format("%.2d%.2d%.2d%.2d%.2d%.2d", p.hour, p.minute, p.second, p.year - 2000, p.month, p.day);
}

std::string DeviceTimeText() { return DeviceTimeText(Now()); }

void TReplyDecoder::Reset() {
  text_.clear();
  awaitingCheck_ = false;
  fed_ = 0;
}

TReplyDecoder::Result TReplyDecoder::Feed(uint8_t byte) {
  if (++fed_ > kMaxReplyBytes) return Result::Failed;
  if (awaitingCheck_) {
    awaitingCheck_ = false;
    return byte == ReplyCheck(text_) ? Result::Done : Result::Failed;
  }
  switch (byte) {
    case kACK:
      text_.assign(1, '*');
      return Result::Done;
    case kSOH:
      text_.clear();
      return Result::More;
    case kEOT:
      awaitingCheck_ = true;
      return Result::More;
    default:
      if (text_.size() >= kMaxReplyText) return Result::Failed;
      text_.push_back(static_cast<char>(byte));
      return Result::More;
  }
}

bool TFrameDecoder::Feed(uint8_t byte) {
  switch (state_) {
    case State::Idle:
      if (byte == kSTX || byte == kENQ) {
        start_ = byte;
        body_.clear();
        state_ = State::Body;
      }
      return false;
    case State::Body:
      if (byte == kSTX || byte == kENQ) {  // a new frame starts: the old one was cut short
        start_ = byte;
        body_.clear();
        return false;
      }
      if (byte == kETX) {
        state_ = State::Check;
        return false;
      }
      if (body_.size() >= kMaxFrameData) {
        state_ = State::Idle;
        return false;
      }
      body_.push_back(static_cast<char>(byte));
      return false;
    case State::Check: {
      state_ = State::Idle;
      uint8_t check = kETX;
      for (char c : body_) check ^= static_cast<uint8_t>(c);
      frame_ = THostFrame{};
      frame_.start = start_;
      frame_.address = body_.empty() ? -1 : static_cast<uint8_t>(body_[0]) - 0x30;
      frame_.letter = body_.size() > 1 ? body_[1] : '\0';
      frame_.data = body_.size() > 2 ? body_.substr(2) : std::string();
      frame_.checkOk = check == byte && body_.size() >= 2;
      frame_.length = body_.size() + 3;
      return true;
    }
  }
  return false;
}

}  // namespace tarn::readerbus
