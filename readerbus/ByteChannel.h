#pragma once
// The byte channel the reader bus runs over: a serial port, a pseudo-terminal, or an
// in-memory pair in tests. Reads never block; WaitReadable bounds any wait.
// A channel is used by one thread at a time (the poll thread that owns it).
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace tarn::readerbus {

class TByteChannel {
 public:
  virtual ~TByteChannel() = default;
  // Reads up to max bytes that have already arrived. Returns the count (0 = none), or -1
  // when the channel failed.
  virtual long Read(uint8_t* buf, size_t max) = 0;
  // Writes the bytes; returns how many went out, or -1.
  virtual long Write(const uint8_t* data, size_t len) = 0;
  // Waits up to ms for a byte to read. True when one is there (or the channel failed, so
  // that a read reports it). A hung-up line gives false at once and is Lost().
  virtual bool WaitReadable(int ms) = 0;
  // Discards everything received and not yet read.
  virtual void Purge() = 0;
  // The line itself is gone (hang-up, the device removed, an I/O error): nothing more will
  // come through this channel, it must be opened again. Why, when known.
  virtual bool Lost() const { return false; }
  virtual std::string LostReason() const { return std::string(); }
  // A request to the line's driver (an ioctl: low latency, RS-485 mode), arg as the request
  // takes it. Returns 0 when done, else the errno the driver gave; a channel that is no
  // device refuses everything with ENOTTY, as a driver without the feature does.
  virtual int Control(unsigned long request, void* arg);
};

// Two connected in-memory channels: what one writes the other reads. Thread-safe.
std::pair<std::unique_ptr<TByteChannel>, std::unique_ptr<TByteChannel>> MakeMemoryChannelPair();

}  // namespace tarn::readerbus
