#include "timers.h"

#include <gtest/gtest.h>

#include "fake_clock.h"
#include "parameters.h"

namespace {

using namespace std::chrono_literals;

using TimersTest = FakeClockTest;

TEST_F(TimersTest, TheWaitEndsAtTheNearestListedTimer) {
  TimerTable& timers = state.timers;
  EXPECT_EQ(timers.waitMs({Timer::kDeviceLook, Timer::kHotplugSettle}), -1);  // none set
  timers.setAfter(Timer::kDeviceLook, kDeviceLookInterval);
  timers.setAfter(Timer::kHotplugSettle, kHotplugSettle);
  timers.setAfter(Timer::kParameterRead, 10ms);  // not listed: no reason to wake
  EXPECT_EQ(timers.waitMs({Timer::kDeviceLook, Timer::kHotplugSettle}), 50);
  EXPECT_FALSE(timers.due(Timer::kHotplugSettle));
  EXPECT_TRUE(timers.waiting(Timer::kHotplugSettle));

  fakeNow += 49ms + 100us;  // rounded up: never woken a little early
  EXPECT_EQ(timers.waitMs({Timer::kDeviceLook, Timer::kHotplugSettle}), 1);
  fakeNow += 900us;
  EXPECT_TRUE(timers.due(Timer::kHotplugSettle));
  EXPECT_EQ(timers.waitMs({Timer::kDeviceLook, Timer::kHotplugSettle}), 0);

  timers.cancel(Timer::kHotplugSettle);
  EXPECT_FALSE(timers.isSet(Timer::kHotplugSettle) || timers.due(Timer::kHotplugSettle));
  EXPECT_EQ(timers.waitMs({Timer::kDeviceLook, Timer::kHotplugSettle}), 2950);
  timers.setNow(Timer::kFirstMissRetry);
  EXPECT_EQ(timers.waitMs({Timer::kDeviceLook, Timer::kFirstMissRetry}), 0);
}

TEST_F(TimersTest, SettingsReadsAreDueAsTheirOutcomeSays) {
  storeParameterRead(true, {{"iso", "100"}});
  EXPECT_EQ(state.timers.when(Timer::kParameterRead), fakeNow + kParameterReadInterval);
  storeParameterRead(false, {});
  EXPECT_EQ(state.timers.when(Timer::kParameterRead), fakeNow + kParameterRetryInterval);
  storeParameterRead(true, {});  // a tree without any of the settings
  EXPECT_EQ(state.timers.when(Timer::kParameterRead), fakeNow + kParameterRetryInterval);
  EXPECT_EQ(kFirstParameterRead, 1s);
  EXPECT_EQ(kParameterReadInterval, 3s);
  EXPECT_EQ(kParameterRetryInterval, 15s);
  closeCamera();
  EXPECT_FALSE(state.timers.isSet(Timer::kParameterRead));
}

}  // namespace
