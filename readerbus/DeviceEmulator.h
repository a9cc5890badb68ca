#pragma once
// Emulated reader-loop devices (the simulator and the tests use them): what each address
// answers to the host's frames, and the operator's commands that change it.
// Not thread-safe: one thread drives an emulator.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "readerbus/Frame.h"

namespace tarn::readerbus {

enum class DeviceKind { Reader, Dispenser, Exit, Counter, Input, Printer };

bool ParseKind(const std::string& text, DeviceKind& out);
const char* KindName(DeviceKind kind);

struct TDevice {
  DeviceKind kind = DeviceKind::Reader;
  bool clock = false;        // answers p at power-up and takes the time-stamped forms
  bool powered = true;
  bool powerUpPending = true;  // next poll answered with P/p
  std::deque<std::string> replies;  // reply texts after the address character
  char awaitingAck = 0;      // the head reply went out; it goes again until this letter comes
  std::string counterData = "00000";
  std::string inputData = "0000";
  std::string noise;         // bytes sent before the next answer
  std::string rawNext;       // the next answer, exactly
  bool badCheckNext = false;
  int silentFrames = 0;
  std::string clockText;     // last time text the host sent
  bool gateUp = false;
  std::string display;
};

// What a frame produced: the bytes to send back (empty = no answer) and the texts to print.
struct TAnswer {
  std::string bytes;
  std::string replyType;  // "ACK", "C", "R", ... or "" when silent
  std::string replyData;
  bool badCheck = false;
  bool noise = false;
};

class TEmulator {
 public:
  TDevice& Add(int address, DeviceKind kind, bool clock);
  bool Has(int address) const { return devices_.count(address) != 0; }
  TDevice* Find(int address);
  const std::map<int, TDevice>& Devices() const { return devices_; }
  void SetPowerUpReplies(bool on) { powerUpReplies_ = on; }

  // The device's answer to a frame from the host.
  TAnswer Answer(const THostFrame& frame);

  // Runs one operator command line. Returns "" on success, else the error text.
  std::string Command(const std::string& line, bool& quit);

  static std::string Describe(const THostFrame& frame);

 private:
  std::map<int, TDevice> devices_;
  bool powerUpReplies_ = true;
};

}  // namespace tarn::readerbus
