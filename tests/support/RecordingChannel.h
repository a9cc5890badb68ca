#pragma once
// A line that records every request made to its driver (TByteChannel::Control) and answers
// them as a driver would: the serial flags it holds, RS-485 mode, refusals set per request.
// It carries no bytes (every poll goes unanswered) and can be made to fail as an unplugged
// adapter does. Thread-safe: the poll thread uses it while the test looks.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "readerbus/ByteChannel.h"

namespace tarn::testing {

// How the recorded driver answers.
struct TFakeDriver {
  int serialFlags = 0;                            // what TIOCGSERIAL reports
  std::map<unsigned long, int> refuse;            // request -> errno
  bool rs485SupportsDelays = true;                // false: the delays come back as 0
  bool rs485ClearsEnabled = false;                // takes the request, leaves the mode off
  std::function<void(unsigned long)> onRequest;   // after a request was taken
};

class TRecordingChannel final : public readerbus::TByteChannel {
 public:
  using Driver = TFakeDriver;

  explicit TRecordingChannel(Driver driver = {}) : driver_(std::move(driver)) {}

  long Read(uint8_t*, size_t) override { return lost_.load() ? -1 : 0; }
  long Write(const uint8_t*, size_t len) override { return lost_.load() ? -1 : static_cast<long>(len); }
  bool WaitReadable(int ms) override {
    if (lost_.load()) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return lost_.load(); });
    return false;
  }
  void Purge() override {}
  bool Lost() const override { return lost_.load(); }
  std::string LostReason() const override { return "unplugged"; }

  int Control(unsigned long request, void* arg) override {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    if (auto it = driver_.refuse.find(request); it != driver_.refuse.end()) return it->second;
    switch (request) {
      case TIOCGSERIAL:
        *static_cast<serial_struct*>(arg) = serial_struct{};
        static_cast<serial_struct*>(arg)->flags = driver_.serialFlags;
        break;
      case TIOCSSERIAL:
        driver_.serialFlags = static_cast<serial_struct*>(arg)->flags;
        break;
      case TIOCSRS485: {
        auto* conf = static_cast<serial_rs485*>(arg);
        if (!driver_.rs485SupportsDelays) conf->delay_rts_before_send = conf->delay_rts_after_send = 0;
        if (driver_.rs485ClearsEnabled) conf->flags &= ~static_cast<uint32_t>(SER_RS485_ENABLED);
        rs485_ = *conf;
        rs485Set_ = true;
        break;
      }
      default:
        return ENOTTY;
    }
    if (driver_.onRequest) driver_.onRequest(request);
    return 0;
  }

  // The test unplugs the adapter: the poll thread sees the line lost.
  void Unplug() {
    lost_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_all();
  }
  std::vector<unsigned long> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  int SerialFlags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return driver_.serialFlags;
  }
  // The RS-485 configuration the driver holds; flags 0 when it was never set.
  serial_rs485 Rs485() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rs485Set_ ? rs485_ : serial_rs485{};
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Driver driver_;
  std::vector<unsigned long> requests_;
  serial_rs485 rs485_{};
  bool rs485Set_ = false;
  std::atomic<bool> lost_{false};
};

}  // namespace tarn::testing
