#pragma once
// TCounter: the lot counting of one device address. It turns the device's counter readings
// (five free-running 4-bit pulse counts) and the passages the system counts itself (soft
// counts) into changes of the device's count columns and of the lots that counter_item
// assigns to each input, and flags the lot-full outputs and signs of the touched lots for
// the next refresh. On a POE/POF loop the counters are soft: they only take over rises of
// device.count_soft made by other programs.
//
// Owned by its loop controller (one per address); main thread only. Statements are created
// on the loop's connection object and freed within each operation.
#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "access/SoftCount.h"

namespace tarn {

namespace readerbus {
class TCard;
}
class TMessLog;
class TODBC;
class TODBCStatement;

class TCounter {
 public:
  // Reads device.id and device.count_soft of (loopId, address); 0 when there is no row.
  TCounter(TMessLog& log, bool soft, readerbus::TCard* card, int address, int loopId, TODBC* db);
  // The device's row as known already (a loop set up from the local copy while the database
  // cannot be reached): nothing is read.
  struct TKnownRow {
    int deviceId = 0;
    int countSoft = 0;
  };
  TCounter(TMessLog& log, bool soft, readerbus::TCard* card, int address, TODBC* db, TKnownRow row);
  TCounter(const TCounter&) = delete;
  TCounter& operator=(const TCounter&) = delete;

  // A counter reading. `name` is the device's name, or "Invalid" when the reading is too
  // short. The first valid reading after creation only sets the baseline.
  void Process(const std::string& data, std::string& name);
  // One passage counted by the system at this address (input 7).
  void AddSoftCount();
  // The same passage when it was written with a decision (its plan read and written there):
  // the log lines, the lots on the status page and the count seen, as AddSoftCount leaves
  // them. `lotsNow`: lot counts as the write left them (a lot not named shows its planned
  // count).
  void Counted(const TSoftCountPlan& count, const std::map<int, int>& lotsNow);
  // Takes over count_soft rises made elsewhere, on the caller's statement. Where the device
  // table has the shared mark soft_seen, a rise is taken over by one computer of the site
  // only (a conditional UPDATE of the mark decides which).
  void SyncSoftCount(TODBCStatement& stmt);
  // Moves the lots of the counter items of (device, input) by `amount`.
  void ApplyLotChange(int amount, int input, int deviceLot);
  // Asks for a refresh of the lot-full outputs and signs of the devices of `lot`.
  void FlagLotOutputs(int lot);

  int DeviceId() const { return deviceId_; }
  int Address() const { return address_; }
  bool Soft() const { return soft_; }
  bool FirstReading() const { return firstReading_; }
  int SoftCountSeen() const { return softCountSeen_; }
  // Last reading of counter input n (1..5).
  int Count(int n) const { return counts_.at(static_cast<size_t>(n - 1)); }

 private:
  // Moves the lots by the rise from `seen` to `current` of the device row current on `stmt`.
  void TakeOverSoftCount(TODBCStatement& stmt, int seen, int current);

  TMessLog& log_;
  TODBC* db_;
  readerbus::TCard* card_;  // not used; kept for the loop's wiring
  int address_;
  int deviceId_ = 0;
  bool soft_;
  bool firstReading_ = true;
  int softCountSeen_ = 0;
  std::array<int, 5> counts_{};
};

}  // namespace tarn
