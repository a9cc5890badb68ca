#include "readerbus/ByteChannel.h"

#include <cerrno>
#include <chrono>

namespace tarn::readerbus {
namespace {

struct Pipe {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<uint8_t> bytes;
  bool closed = false;
};

class TMemoryChannel final : public TByteChannel {
 public:
  TMemoryChannel(std::shared_ptr<Pipe> in, std::shared_ptr<Pipe> out) : in_(std::move(in)), out_(std::move(out)) {}
  ~TMemoryChannel() override {
    for (auto* p : {in_.get(), out_.get()}) {
      std::lock_guard<std::mutex> lock(p->mutex);
      p->closed = true;
      p->ready.notify_all();
    }
  }
  long Read(uint8_t* buf, size_t max) override {
    std::lock_guard<std::mutex> lock(in_->mutex);
    size_t n = 0;
    while (n < max && !in_->bytes.empty()) {
      buf[n++] = in_->bytes.front();
      in_->bytes.pop_front();
    }
    if (n == 0 && in_->closed) return -1;
    return static_cast<long>(n);
  }
  long Write(const uint8_t* data, size_t len) override {
    std::lock_guard<std::mutex> lock(out_->mutex);
    if (out_->closed) return -1;
    out_->bytes.insert(out_->bytes.end(), data, data + len);
    out_->ready.notify_all();
    return static_cast<long>(len);
  }
  bool WaitReadable(int ms) override {
    std::unique_lock<std::mutex> lock(in_->mutex);
    return in_->ready.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return !in_->bytes.empty() || in_->closed; });
  }
  void Purge() override {
    std::lock_guard<std::mutex> lock(in_->mutex);
    in_->bytes.clear();
  }

 private:
  std::shared_ptr<Pipe> in_, out_;
};

}  // namespace

int TByteChannel::Control(unsigned long, void*) { return ENOTTY; }

std::pair<std::unique_ptr<TByteChannel>, std::unique_ptr<TByteChannel>> MakeMemoryChannelPair() {
  auto a = std::make_shared<Pipe>();
  auto b = std::make_shared<Pipe>();
  return {std::make_unique<TMemoryChannel>(a, b), std::make_unique<TMemoryChannel>(b, a)};
}

}  // namespace tarn::readerbus
