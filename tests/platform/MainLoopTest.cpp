#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/MainLoop.h"
#include "platform/Tick.h"

namespace {
using tarn::platform::TickMs;
using tarn::platform::TMainLoop;
using tarn::platform::TTimer;

constexpr uint32_t kBound = 5000;  // generous bound for anything awaited

TEST(MainLoopTimers, FireNoEarlierThanTheirIntervalAndEnablingRestartsIt) {
  TMainLoop loop;
  std::vector<uint64_t> fired;
  TTimer timer(loop, 80, [&] { fired.push_back(TickMs()); });
  EXPECT_FALSE(timer.Enabled());
  loop.RunUntil([] { return false; }, 30);
  EXPECT_TRUE(fired.empty());  // disabled timers never fire

  timer.SetEnabled(true);
  loop.RunUntil([] { return false; }, 50);
  // Disabling and enabling again starts the interval anew.
  timer.SetEnabled(false);
  // On a busy machine the wait above can run past the interval and fire once; only what
  // comes after the restart counts.
  fired.clear();
  uint64_t restarted = TickMs();
  timer.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return !fired.empty(); }, kBound));
  EXPECT_GE(fired[0], restarted + 80);

  // Changing the interval of a running timer restarts it too.
  fired.clear();
  timer.SetInterval(60);
  uint64_t changed = TickMs();
  ASSERT_TRUE(loop.RunUntil([&] { return fired.size() >= 2; }, kBound));
  EXPECT_GE(fired[0], changed + 60);
  EXPECT_GE(fired[1], fired[0] + 60);
}

TEST(MainLoopTimers, HandlerThatDisablesAndReenablesItsTimer) {
  TMainLoop loop;
  std::vector<uint64_t> reenabled;
  std::vector<uint64_t> calls;
  std::unique_ptr<TTimer> timer;
  timer = std::make_unique<TTimer>(loop, 40, [&] {
    calls.push_back(TickMs());
    timer->SetEnabled(false);
    // The work of a tick that lasts longer than the interval.
    uint64_t until = TickMs() + 60;
    while (TickMs() < until) tarn::platform::SleepMs(5);
    reenabled.push_back(TickMs());
    timer->SetEnabled(true);
  });
  timer->SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return calls.size() >= 3; }, kBound));
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_GE(calls[i], reenabled[i - 1] + 40) << i;

  // A handler that only disables its timer is not called again.
  int once = 0;
  TTimer single(loop, 10, [&] {
    ++once;
    single.SetEnabled(false);
  });
  single.SetEnabled(true);
  timer->SetEnabled(false);
  ASSERT_TRUE(loop.RunUntil([&] { return once == 1; }, kBound));
  loop.RunUntil([] { return false; }, 50);
  EXPECT_EQ(once, 1);
}

TEST(MainLoopTimers, HandlersThatThrowOrDestroyTimersAndZeroIntervals) {
  TMainLoop loop;
  int throws = 0;
  TTimer thrower(loop, 10, [&] {
    ++throws;
    throw std::runtime_error("handler failure");
  });
  auto victim = std::make_unique<TTimer>(loop, 10, [] {});
  int killed = 0;
  TTimer killer(loop, 10, [&] {
    ++killed;
    victim.reset();
  });
  int zero = 0;
  TTimer idle(loop, 0, [&] { ++zero; });
  thrower.SetEnabled(true);
  victim->SetEnabled(true);
  killer.SetEnabled(true);
  idle.SetEnabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return throws >= 3 && killed >= 2; }, kBound));
  EXPECT_EQ(victim, nullptr);
  EXPECT_EQ(zero, 0);  // an interval of 0 never fires

  // Nothing else due: the loop waits instead of spinning on the zero interval.
  thrower.SetEnabled(false);
  killer.SetEnabled(false);
  int passes = 0;
  loop.RunUntil([&] { return ++passes < 0; }, 60);
  EXPECT_LT(passes, 30);
}

TEST(MainLoopSync, SynchronizeRunsOnTheMainThread) {
  TMainLoop loop;
  EXPECT_EQ(TMainLoop::Current(), &loop);
  EXPECT_THROW(TMainLoop second, std::logic_error);
  const auto mainId = std::this_thread::get_id();

  bool direct = false;
  EXPECT_TRUE(loop.Synchronize([&] { direct = true; }));  // on the main thread: at once
  EXPECT_TRUE(direct);

  std::atomic<int> ran{0};
  std::atomic<bool> onMain{true};
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        bool ok = loop.Synchronize([&] {
          if (std::this_thread::get_id() != mainId) onMain = false;
          ++ran;
          if (i == 5) throw std::runtime_error("swallowed");
        });
        EXPECT_TRUE(ok);
      }
      ++finished;
    });
  bool done = loop.RunUntil([&] { return finished == 3; }, kBound);
  for (auto& th : threads) th.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(ran, 60);
  EXPECT_TRUE(onMain);
}

TEST(MainLoopSync, ProcessSyncCallsWhileJoiningAThreadInsideSynchronize) {
  TMainLoop loop;
  int timerCalls = 0;
  TTimer timer(loop, 1, [&] { ++timerCalls; });
  timer.SetEnabled(true);

  // The closing pattern of a device component: the main thread waits for its worker,
  // which is itself waiting for the main thread.
  std::atomic<bool> finished{false};
  int delivered = 0;
  std::thread worker([&] {
    for (int i = 0; i < 10; ++i) loop.Synchronize([&] { ++delivered; });
    finished = true;
  });
  uint64_t end = TickMs() + kBound;
  while (!finished && TickMs() < end) loop.ProcessSyncCalls(20);
  worker.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(delivered, 10);
  EXPECT_EQ(timerCalls, 0);  // timers do not run while only synchronized calls are served
  EXPECT_FALSE(loop.ProcessSyncCalls(0));
}

TEST(MainLoopSync, QuitFromAnotherThreadEndsRun) {
  TMainLoop loop;
  std::thread quitter([&] { loop.Synchronize([] {}); loop.Quit(); });
  loop.Run();
  quitter.join();
  EXPECT_TRUE(loop.QuitRequested());
  loop.Run();  // returns at once
}

}  // namespace
