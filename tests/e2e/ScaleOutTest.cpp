// Two site computers on one MariaDB database: each runs its own loop and both run the
// POE/POF soft counts; every counted passage reaches the lot exactly once.
#include <sys/wait.h>

#include "E2EFixture.h"

namespace tarn::test {
namespace {

using ::tarn::testing::JsonString;
using ::tarn::testing::ReadFile;
using ::tarn::testing::TSimProcess;
using ::tarn::testing::WaitFor;

// Frames to `addr` with letter `cmd` printed by the simulator so far.
long CountFrames(TSimProcess& sim, int addr, char cmd, const std::string& data) {
  long n = 0;
  for (const auto& l : sim.Lines())
    if (::tarn::testing::IsHostFrame(l, addr, cmd) && JsonString(l, "data") == data) ++n;
  return n;
}

}  // namespace

class ScaleOut : public E2ETest {};

TEST_P(ScaleOut, TwoComputersShareOneDatabase) {
  constexpr int kCards = 12;
  auto one = Computer("E2E-ONE");
  auto two = Computer("E2E-TWO");
  TSimProcess* simOne = one->AddLoop(1, {"--no-polls", "1-3:reader"});
  TSimProcess* simTwo = two->AddLoop(1, {"--no-polls", "1:reader"});
  ASSERT_TRUE(simOne && simTwo) << "simulator did not start";
  one->Start();
  two->Start();
  ASSERT_TRUE(one->WaitLog("Started!", kStart)) << one->LogText();
  ASSERT_TRUE(two->WaitLog("Started!", kStart)) << two->LogText();
  // Each computer runs its own loop only, and both keep the soft counts.
  EXPECT_EQ(one->CountLog("Init Devices for LoopId 1 Port 1"), 1u);
  EXPECT_EQ(one->CountLog("Init Devices for LoopId 2"), 0u);
  EXPECT_EQ(two->CountLog("Init Devices for LoopId 2 Port 1"), 1u);
  EXPECT_EQ(two->CountLog("Init Devices for LoopId 1"), 0u);
  EXPECT_EQ(one->CountLog("Created POE/POF soft counter for address 1"), 1u);
  EXPECT_EQ(two->CountLog("Created POE/POF soft counter for address 1"), 1u);

  // Cards on both loops at once, and the pay station counting passages meanwhile.
  for (int i = 0; i < kCards; ++i) {
    simOne->Send("card 3 1001");
    simTwo->Send("card 1 1001");
    if (i % 4 == 0) {
      ASSERT_TRUE(Db().Exec("UPDATE device SET count_soft = count_soft + 1 WHERE id = 301"));
    }
  }
  const int paid = (kCards + 3) / 4;
  EXPECT_TRUE(WaitFor(
      [&] {
        return CountFrames(*simOne, 3, 'G', "003Welcome Ann Lee") >= kCards &&
               CountFrames(*simTwo, 1, 'G', "005Welcome Ann Lee") >= kCards;
      },
      60000))
      << one->LogText() << two->LogText();
  EXPECT_TRUE(WaitValue("SELECT COUNT(*) FROM trans WHERE error_code = 0", 2 * kCards, kFrame));
  EXPECT_TRUE(WaitValue("SELECT lot_count FROM lot WHERE id = 1", 2 * kCards + paid, kSchedule))
      << QueryInt("SELECT lot_count FROM lot WHERE id = 1");

  // A few more ticks on both computers: nothing is applied a second time.
  const std::string beatOne = ReadFile(one->Home() / "alive.txt");
  const std::string beatTwo = ReadFile(two->Home() / "alive.txt");
  EXPECT_TRUE(WaitFor(
      [&] {
        return ReadFile(one->Home() / "alive.txt") != beatOne && ReadFile(two->Home() / "alive.txt") != beatTwo;
      },
      kSchedule));
  EXPECT_EQ(QueryInt("SELECT lot_count FROM lot WHERE id = 1"), 2 * kCards + paid);
  EXPECT_EQ(QueryInt("SELECT count_soft FROM device WHERE id = 103"), kCards);
  EXPECT_EQ(QueryInt("SELECT count_soft FROM device WHERE id = 201"), kCards);
  EXPECT_EQ(CountFrames(*simOne, 3, 'G', "003Welcome Ann Lee"), kCards);
  EXPECT_EQ(CountFrames(*simTwo, 1, 'G', "005Welcome Ann Lee"), kCards);

  for (auto* c : {one.get(), two.get()}) {
    int status = c->Stop();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// One MariaDB server shared by several computers is the point of this test.
INSTANTIATE_TEST_SUITE_P(Backends, ScaleOut, ::testing::Values(Backend::MariaDB), BackendParamName);

}  // namespace tarn::test
