#pragma once
// In-process emulated devices on the far side of an in-memory channel: a thread that
// decodes the host's frames, records them and answers through a TEmulator. Tests script
// the devices with emulator commands and wait on the recorded frames.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "readerbus/ByteChannel.h"
#include "readerbus/DeviceEmulator.h"
#include "readerbus/Frame.h"

namespace tarn::testing {

class TFakeLine {
 public:
  TFakeLine() {
    auto pair = readerbus::MakeMemoryChannelPair();
    host_ = std::move(pair.first);
    device_ = std::move(pair.second);
    thread_ = std::thread([this] { Run(); });
  }
  ~TFakeLine() {
    stop_.store(true);
    thread_.join();
  }
  TFakeLine(const TFakeLine&) = delete;
  TFakeLine& operator=(const TFakeLine&) = delete;

  std::unique_ptr<readerbus::TByteChannel> TakeHostSide() { return std::move(host_); }

  void Add(int address, readerbus::DeviceKind kind = readerbus::DeviceKind::Reader, bool clock = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    emu_.Add(address, kind, clock);
  }
  // Runs an emulator command; returns its error text ("" when fine).
  std::string Command(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool quit = false;
    return emu_.Command(line, quit);
  }
  void WithEmulator(const std::function<void(readerbus::TEmulator&)>& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn(emu_);
  }
  // Replaces the emulator's answer (null: the emulator answers).
  void SetResponder(std::function<std::string(const readerbus::THostFrame&)> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(fn);
  }

  std::vector<readerbus::THostFrame> Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  size_t FrameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
  }
  // Waits until pred holds for the frames recorded so far.
  bool WaitFrames(const std::function<bool(const std::vector<readerbus::THostFrame>&)>& pred, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(frames_); });
  }
  // Frames to one address with one letter (and optionally data).
  static size_t Count(const std::vector<readerbus::THostFrame>& frames, int address, char letter) {
    size_t n = 0;
    for (const auto& f : frames)
      if (f.address == address && f.letter == letter) ++n;
    return n;
  }

 private:
  void Run() {
    readerbus::TFrameDecoder decoder;
    uint8_t buf[256];
    while (!stop_.load()) {
      if (!device_->WaitReadable(5)) continue;
      long n = device_->Read(buf, sizeof buf);
      if (n < 0) break;
      for (long i = 0; i < n; ++i) {
        if (!decoder.Feed(buf[i])) continue;
        std::string answer;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (frames_.size() < kMaxFrames) frames_.push_back(decoder.Frame());
          answer = responder_ ? responder_(decoder.Frame()) : emu_.Answer(decoder.Frame()).bytes;
        }
        changed_.notify_all();
        if (!answer.empty()) device_->Write(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
      }
    }
  }

  static constexpr size_t kMaxFrames = 200000;
  std::unique_ptr<readerbus::TByteChannel> host_;
  std::unique_ptr<readerbus::TByteChannel> device_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  readerbus::TEmulator emu_;
  std::function<std::string(const readerbus::THostFrame&)> responder_;
  std::vector<readerbus::THostFrame> frames_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tarn::testing
