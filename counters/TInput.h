#pragma once
// TInput: the digital inputs of one device address. A door contact raises the door-ajar
// alarm when the door stays open longer than the device's ajar time and then pulses the
// ajar output at every reading until the alarm is acknowledged in the database; a fire
// input holds open every gate marked for fire opening (on every loop) while it is active.
//
// Owned by its loop controller (one per address); main thread only. The state lives in
// memory: after a restart an open door is timed again from its first reading.
#include <cstdint>
#include <string>

#include "util/DateTime.h"

namespace tarn {

namespace readerbus {
class TCard;
}
class TMessLog;
class TODBC;
class TEventLog;

class TInput {
 public:
  // Reads id, door_input, ajar_timer, ajar_output and fire_input of (loopId, address);
  // all 0 when there is no row.
  TInput(int loopId, TODBC* db, TEventLog* eventLog, TMessLog& log, readerbus::TCard* card,
         int address);
  // The device's row as known already (a loop set up from the local copy): nothing is read.
  struct TKnownRow {
    int deviceId = 0;
    int doorInput = 0;
    int ajarTime = 0;
    int ajarOutput = 0;
    int fireInput = 0;
  };
  TInput(TODBC* db, TEventLog* eventLog, TMessLog& log, readerbus::TCard* card, int address, TKnownRow row);
  TInput(const TInput&) = delete;
  TInput& operator=(const TInput&) = delete;

  // One input reading: bit k-1 of the first character's code is input k. Door check, then
  // fire check. An empty reading changes nothing.
  void Process(const std::string& data);

  int DeviceId() const { return deviceId_; }
  int Address() const { return address_; }
  int DoorInput() const { return doorInput_; }
  int AjarTime() const { return ajarTime_; }
  int AjarOutput() const { return ajarOutput_; }
  int FireInput() const { return fireInput_; }
  TDateTime OpenSince() const { return openSince_; }
  bool Alarm() const { return alarm_; }
  bool Acknowledged() const { return acknowledged_; }
  bool FireActive() const { return fireActive_; }

  // Output pulse length (in the device's units) while the door-ajar alarm stands.
  static constexpr int kAjarPulse = 5;

 private:
  void DoorCheck(bool open);
  void FireCheck(bool active);

  readerbus::TCard* card_;
  int address_;
  int deviceId_ = 0;
  TMessLog& log_;
  TEventLog* eventLog_;
  TODBC* db_;
  int doorInput_ = 0;
  int ajarTime_ = 0;
  int ajarOutput_ = 0;
  TDateTime openSince_ = 0;
  bool acknowledged_ = false;
  bool alarm_ = false;
  int fireInput_ = 0;
  bool fireActive_ = false;
};

}  // namespace tarn
