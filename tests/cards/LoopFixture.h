#pragma once
// A loop controller on a fresh database and a simulated reader loop, for the tests of the
// card and ticket handlers. The site:
//   loop 1 (port 1 -> the simulator's pty), lot 1 counted by the soft count (input 7) of
//   every device;
//   1 entry reader (dir 1, msg set 2, pulse 7)     2 exit reader (dir 2, msg set 2, pulse 4)
//   3 special-out reader (dir 3, pulse 3)          4 ticket dispenser (type 1)
//   5 exit ticket reader (type 2, dir 2, pulse 9)  6 entry ticket reader (type 2, dir 1)
//   7 exit ticket reader (type 2, dir 2, pulse 9)
// Device ids are 100 + address. Cards 1001..1004 (see LoopFixture.cpp). The clock is fixed
// at a whole second (Clock()) so ticket ages are exact.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "loop/TLoop.h"
#include "platform/MainLoop.h"
#include "support/SimProcess.h"
#include "support/TestDatabase.h"
#include "util/DateTime.h"

namespace tarn {
class TOfflineStore;
}  // namespace tarn

namespace tarn::test {

class LoopFixture : public BackendTest {
 protected:
  std::string Prefix() const override { return "tarn_cards"; }
  void SetUp() override;
  void TearDown() override;
  // The connection values the site's registry gives the loop (the test database's own).
  virtual ConnectionParams SiteParams() { return Db().Params(); }
  // The offline store the loop is given (null: offline decisions off); it must outlive the
  // loop. Asked for once, when the loop is made.
  virtual TOfflineStore* OfflineStore() { return nullptr; }

  TLoop& Loop() { return *loop_; }
  TDateTime Clock() const { return clock_; }
  // Waits for the next frame the host sends to `address` with command letter `cmd`
  // (polls excluded) after output line `from`; the JSON line, or nothing.
  std::optional<std::string> WaitFrame(int address, char cmd, size_t from, int timeoutMs = 10000,
                                       const std::string* data = nullptr);
  // Every frame of letter G, B or P to `address` from line `from` on, after the loop has
  // been given time to send a marker command queued behind them (so "none" is a fact).
  std::vector<std::string> FramesUntilMarker(int address, size_t from);
  // The simulator's output position now. Frames of commands queued earlier may still come
  // after it: wait for those first.
  size_t Mark() const { return sim_->LineCount(); }
  ::tarn::testing::TSimProcess& Sim() { return *sim_; }
  // The message log's text (the loop logs into the fixture's log).
  std::string LogText() { return Db().LogText(); }
  // Runs the main loop (delivering device events) until pred holds or the time is up.
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
    return main_->RunUntil(pred, static_cast<uint32_t>(timeoutMs));
  }
  std::string Query(const std::string& sql) { return Db().QueryText(sql); }
  int QueryInt(const std::string& sql);

  std::filesystem::path dir_;

 private:
  std::unique_ptr<platform::TMainLoop> main_;
  std::unique_ptr<ScopedClock> scopedClock_;
  TDateTime clock_ = 0;
  std::unique_ptr<::tarn::testing::TSimProcess> sim_;
  std::unique_ptr<TLoop> loop_;
};

// A two-year-cycle ticket barcode (10 digits) issued at `when` at `lane`.
std::string CycleBarcode(TDateTime when, int lane);

}  // namespace tarn::test
