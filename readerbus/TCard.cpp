#include "readerbus/TCard.h"

#include <cstdlib>

#include "readerbus/Frame.h"
#include "readerbus/TPoll.h"
#include "util/Format.h"
#include "util/Strings.h"

namespace tarn::readerbus {

TCard::TCard() = default;

TCard::~TCard() noexcept { Close(); }

void TCard::SetPort(uint16_t port) { port_.store(port); }

void TCard::SetFirstReader(int value) {
  if (value >= 1 && value <= kMaxAddress) firstReader_.store(static_cast<int16_t>(value));
}

void TCard::SetLastReader(int value) {
  if (value <= kMaxAddress && value >= INT16_MIN) lastReader_.store(static_cast<int16_t>(value));
}

void TCard::SetReaders(int count) {
  if (count <= 0) return;
  int last = FirstReader() + count - 1;
  if (last > kMaxAddress || last < 0) last = kMaxAddress;
  lastReader_.store(static_cast<int16_t>(last));
}

void TCard::SetBaud(uint32_t baud) { baud_.store(baud); }

TLineOptions TCard::LineOptions() const {
  std::lock_guard<std::mutex> lock(lineMutex_);
  return lineOptions_;
}

void TCard::SetLineOptions(const TLineOptions& options) {
  std::lock_guard<std::mutex> lock(lineMutex_);
  lineOptions_ = options;
}

void TCard::SayLineNotes(const std::vector<TLineNote>& notes) {
  for (const TLineNote& note : notes) {
    {
      // A line lost and opened again every few seconds would otherwise repeat the same
      // sentence with every open.
      std::lock_guard<std::mutex> lock(lineMutex_);
      if (!saidLineNotes_.insert(note.text).second) continue;
    }
    const auto& say = note.level == TLineNote::Detail ? OnLineDetail : OnLineNote;
    if (!say) continue;
    const char* prefix = note.level == TLineNote::Warning ? "WARNING: " : note.level == TLineNote::Error ? "ERROR: " : "";
    try {
      say(prefix + note.text);
    } catch (...) {
      // A failing log must not fail the open or stop the poll thread.
    }
  }
}

std::string TCard::GetCardNo() const { return poll_ ? poll_->CardNo() : std::string(); }

bool TCard::Open() {
  uint16_t port = Port();
  return OpenWith([port](TPoll& p) { return p.OpenPort(port); });
}

bool TCard::OpenDevice(const std::string& path) {
  return OpenWith([&path](TPoll& p) { return p.OpenDevice(path); });
}

bool TCard::OpenChannel(std::unique_ptr<TByteChannel> channel) {
  // The lambda may run once only; the channel moves into the poll thread.
  auto holder = std::make_shared<std::unique_ptr<TByteChannel>>(std::move(channel));
  return OpenWith([holder](TPoll& p) { return p.OpenChannel(std::move(*holder)); });
}

bool TCard::OpenWith(const std::function<bool(TPoll&)>& openPort) {
  // Stop the old poll thread first: it could mark a clock device after the clearing.
  Close();
  {
    std::lock_guard<std::mutex> lock(gateMutex_);
    gateUp_.fill(false);
  }
  for (auto& h : hasClock_) h.store(false);
  if (!OnCounter) SetNoCounters(true);
  if (!OnInput) SetNoInputs(true);
  openError_.clear();
  auto poll = std::make_unique<TPoll>(*this);
  // Commands may be queued from the moment the poll thread exists.
  poll_ = std::move(poll);
  if (!openPort(*poll_)) {
    openError_ = poll_->OpenError();
    auto failed = std::move(poll_);
    failed.reset();
    return false;
  }
  return true;
}

void TCard::Close() {
  if (!poll_) return;
  poll_->StopAndWait();
  auto poll = std::move(poll_);
  poll.reset();
}

uint32_t TCard::TakeDroppedCommands(int address) { return poll_ ? poll_->TakeDroppedCommands(address) : 0; }

void TCard::SetIdleMessage(int address, const std::string& text) {
  if (!ValidIndex(address)) return;
  std::lock_guard<std::mutex> lock(gateMutex_);
  idleMessages_[address] = PrintableText(text);
}

void TCard::SetGateUpMessage(int address, const std::string& text) {
  if (!ValidIndex(address)) return;
  std::lock_guard<std::mutex> lock(gateMutex_);
  gateUpMessages_[address] = PrintableText(text);
}

bool TCard::GateUp(int address) const {
  if (!ValidIndex(address)) return false;
  std::lock_guard<std::mutex> lock(gateMutex_);
  return gateUp_[address];
}

bool TCard::HasClock(int address) const { return ValidIndex(address) && hasClock_[address].load(); }

void TCard::MarkHasClock(int address) {
  if (ValidIndex(address)) hasClock_[address].store(true);
}

void TCard::Queue(int address, char letter, const std::string& data) {
  if (!poll_ || address < 0 || address > kMaxAddress) return;
  poll_->QueueCommand(static_cast<uint16_t>(address), letter, data);
}

void TCard::GateOpenMsg(int address, bool open, const std::string& message, int pulse) {
  if (open) {
    int digits = static_cast<int>(std::abs(static_cast<long long>(pulse)) % 1000);
    Queue(address, 'G', Format("%.3d", digits) + PrintableText(Utf8Prefix(message, kMaxGateMessage)));
  } else {
    Queue(address, 'B', PrintableText(Utf8Prefix(message, kMaxRefuseMessage)));
  }
}

void TCard::QueueGateState(int address, bool up, bool store) {
  if (!ValidIndex(address)) return;
  std::lock_guard<std::mutex> lock(gateMutex_);
  if (store) gateUp_[address] = up;
  else up = gateUp_[address];
  const std::string& text = up ? gateUpMessages_[address] : idleMessages_[address];
  const char letter = HasClock(address) ? (up ? 'o' : 'x') : (up ? 'O' : 'X');
  const std::string data = HasClock(address) ? DeviceTimeText() + text : text;
  if (store) {
    Queue(address, letter, data);
  } else if (poll_) {
    // The poll thread resends after a power-up: that goes before the ring, so a full ring
    // of main-thread commands cannot cost the device its gate state.
    poll_->QueueReply(static_cast<uint16_t>(address), letter, data);
  }
}

void TCard::SetGateUp(int address, bool up) { QueueGateState(address, up, true); }

void TCard::SendDateTime(int address, const std::string& text) { Queue(address, 'M', PrintableText(text)); }

// The sign's own control codes (20, 13, 22) stay; only bytes that would break the frame go.
void TCard::SendSignText(int address, const std::string& text) { Queue(address, 'L', WithoutFramingBytes(text)); }

void TCard::SetOutputs(int address, bool on, uint16_t bits) {
  // One character carries the bits: beyond 191 they do not fit in a byte.
  if (bits > 0xFF - 64) return;
  Queue(address, on ? 'W' : 'F', std::string(1, static_cast<char>(64 + bits)));
}

void TCard::PulseOutput(int address, int output, int time) {
  // The output travels as one character, 63 + output: only printable ones can be framed.
  if (output < 0x20 - 63 || output > 0x7E - 63) return;
  Queue(address, 'P', std::string(1, static_cast<char>(63 + output)) + std::to_string(time));
}

void TCard::SendYCommand(int address, const std::string& text) { Queue(address, 'Y', PrintableText(text)); }

bool TCard::HasHandler(TDeviceEvent event) const {
  switch (event) {
    case TDeviceEvent::Counter: return static_cast<bool>(OnCounter);
    case TDeviceEvent::Input: return static_cast<bool>(OnInput);
    case TDeviceEvent::DiscCode: return static_cast<bool>(OnDiscCode);
    case TDeviceEvent::Deposit: return static_cast<bool>(OnDeposit);
    case TDeviceEvent::BarCode: return static_cast<bool>(OnBarCode);
    case TDeviceEvent::Data: return static_cast<bool>(OnData);
    case TDeviceEvent::InputOn: return static_cast<bool>(OnInputOn);
    case TDeviceEvent::InputOff: return static_cast<bool>(OnInputOff);
    case TDeviceEvent::ButtonUp: return static_cast<bool>(OnButtonUp);
    case TDeviceEvent::ButtonDown: return static_cast<bool>(OnButtonDown);
    case TDeviceEvent::OffLine: return static_cast<bool>(OnError);
    case TDeviceEvent::OnLine: return static_cast<bool>(OnErrorEx);
    case TDeviceEvent::PowerUp: return static_cast<bool>(OnPowerUp);
    case TDeviceEvent::EscrowLever: return static_cast<bool>(OnEscrowLever);
    case TDeviceEvent::CashBox: return static_cast<bool>(OnCashBox);
    case TDeviceEvent::CommStatus: return static_cast<bool>(OnCommStatus);
    case TDeviceEvent::Printer: return static_cast<bool>(OnPrinter);
    case TDeviceEvent::Memory: return static_cast<bool>(OnMemory);
    default: return false;
  }
}

void TCard::DeliverEvent(TDeviceEvent event, const TEventValues& v) {
  auto card = [&](const TCardEvent& e) {
    if (e) e(v.reader, v.value);
  };
  auto reader = [&](const TReaderEvent& e) {
    if (e) e(v.reader);
  };
  auto input = [&](const TInputEvent& e) {
    if (e) e(v.reader, v.board, v.input);
  };
  auto comm = [&](const TCommEvent& e) {
    if (e) e(v.reader, v.comstat);
  };
  switch (event) {
    case TDeviceEvent::Counter: card(OnCounter); break;
    case TDeviceEvent::Input: card(OnInput); break;
    case TDeviceEvent::DiscCode: card(OnDiscCode); break;
    case TDeviceEvent::Deposit: card(OnDeposit); break;
    case TDeviceEvent::BarCode: card(OnBarCode); break;
    case TDeviceEvent::Data: card(OnData); break;
    case TDeviceEvent::InputOn: input(OnInputOn); break;
    case TDeviceEvent::InputOff: input(OnInputOff); break;
    case TDeviceEvent::ButtonUp: card(OnButtonUp); break;
    case TDeviceEvent::ButtonDown: card(OnButtonDown); break;
    case TDeviceEvent::OffLine: reader(OnError); break;
    case TDeviceEvent::OnLine: comm(OnErrorEx); break;
    case TDeviceEvent::PowerUp: reader(OnPowerUp); break;
    case TDeviceEvent::EscrowLever: reader(OnEscrowLever); break;
    case TDeviceEvent::CashBox: reader(OnCashBox); break;
    case TDeviceEvent::CommStatus: comm(OnCommStatus); break;
    case TDeviceEvent::Printer: card(OnPrinter); break;
    case TDeviceEvent::Memory: card(OnMemory); break;
    default: break;
  }
}

}  // namespace tarn::readerbus
