#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/core/main_queue.h"

namespace {

using platform::ManualClock;
using platform::ScopedManualClock;

TEST(ManualClock, FiresTimersInTimeOrderEachAtItsOwnTime) {
  ManualClock clock;
  std::vector<std::pair<std::string, double>> fired;
  auto record = [&](const char* name) { return [&fired, &clock, name] { fired.push_back({name, clock.now()}); }; };
  auto poll = clock.addTimer(5.0, 2.0, record("poll"));
  clock.addTimer(3.0, 0, record("once"));
  EXPECT_EQ(5.0, clock.nextFiring(poll));

  clock.advance(4.0);
  clock.advance(6.0);
  std::vector<std::pair<std::string, double>> expected = {{"once", 3}, {"poll", 5}, {"poll", 7}, {"poll", 9}};
  EXPECT_EQ(expected, fired);
  EXPECT_EQ(10.0, clock.now());
  EXPECT_EQ(11.0, clock.nextFiring(poll));
  EXPECT_EQ(1u, clock.timerCount());
  EXPECT_GT(0.0, clock.nextFiring(999));
}

TEST(ManualClock, ATimerRemovedFromACallbackNeverFiresAgain) {
  ManualClock clock;
  std::vector<std::string> fired;
  ManualClock::TimerId second = 0, self = 0;
  clock.addTimer(1.0, 0, [&] {
    fired.push_back("first");
    clock.removeTimer(second);
  });
  second = clock.addTimer(1.0, 1.0, [&] { fired.push_back("second"); });
  self = clock.addTimer(0.5, 0.5, [&] {
    fired.push_back("self");
    clock.removeTimer(self);
  });
  clock.advance(5.0);
  EXPECT_EQ((std::vector<std::string>{"self", "first"}), fired);
  EXPECT_EQ(0u, clock.timerCount());
}

TEST(ManualClock, TimersAddedFromCallbacksRunWhenDue) {
  ManualClock clock;
  std::vector<double> fired;
  clock.addTimer(1.0, 0, [&] {
    clock.addTimer(0.5, 0, [&] { fired.push_back(clock.now()); });
    clock.addTimer(10.0, 0, [&] { fired.push_back(clock.now()); });
  });
  clock.advance(2.0);
  EXPECT_EQ((std::vector<double>{1.5}), fired);
  EXPECT_EQ(1u, clock.timerCount());
}

TEST(ManualClock, DelaysAreRecordedAndMoveTimeWithoutFiringTimers) {
  ScopedManualClock clock;
  bool fired = false;
  clock->addTimer(0.05, 0, [&] { fired = true; });
  unsigned long finalTicks = 0;
  Delay(5, &finalTicks);
  Delay(1, nullptr);
  EXPECT_EQ((std::vector<unsigned long>{5, 1}), clock->delays);
  EXPECT_EQ(5u, finalTicks);
  EXPECT_DOUBLE_EQ(0.1, clock->now());
  EXPECT_FALSE(fired);
  EXPECT_EQ(&clock.get(), &platform::clock());
}

TEST(ManualClock, TheScopeRestoresThePreviousClock) {
  platform::Clock* before = &platform::clock();
  {
    ScopedManualClock outer;
    {
      ScopedManualClock inner;
      EXPECT_EQ(&inner.get(), &platform::clock());
    }
    EXPECT_EQ(&outer.get(), &platform::clock());
  }
  EXPECT_EQ(before, &platform::clock());
}

TEST(MainQueue, DrainRunsWorkQueuedMeanwhileAndWakesOnEveryPost) {
  platform::drainMainQueue();
  int wakes = 0;
  platform::setMainQueueWaker([&] { ++wakes; });
  std::vector<int> order;
  platform::postToMainQueue([&] {
    order.push_back(1);
    platform::postToMainQueue([&] { order.push_back(3); });
  });
  platform::postToMainQueue([&] { order.push_back(2); });
  EXPECT_EQ(2u, platform::pendingMainQueueItems());
  EXPECT_EQ(3u, platform::drainMainQueue());
  platform::setMainQueueWaker(nullptr);
  EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
  EXPECT_EQ(3, wakes);
  EXPECT_EQ(0u, platform::drainMainQueue());
}

}  // namespace
