#include "event_pace.h"

#include <gtest/gtest.h>

#include "fake_clock.h"

namespace {

using namespace std::chrono_literals;

class EventPaceTest : public FakeClockTest {
 protected:
  // The pause until the next wait, as the timer table holds it.
  SteadyClock::duration nextWaitIn() const {
    return *state.timers.when(Timer::kEventWait) - fakeNow;
  }
};

TEST(EventRoad, OnlyAWaitSeenToListenWithoutWritingTakesTheInterruptRoad) {
  struct Case {
    PortTally tally;
    EventRoad road;
  };
  const Case cases[] = {
      {{.heard = true, .wrote = false, .readInterrupt = true}, EventRoad::kInterrupt},
      {{.heard = true, .wrote = true, .readInterrupt = true}, EventRoad::kPolling},  // the trap
      {{.heard = true, .wrote = true, .readInterrupt = false}, EventRoad::kPolling},
      {{.heard = true, .wrote = false, .readInterrupt = false}, EventRoad::kPolling},
      // A libgphoto2 that logs nothing shows nothing: never the free road.
      {{.heard = false, .wrote = false, .readInterrupt = true}, EventRoad::kPolling},
      {{.heard = false, .wrote = false, .readInterrupt = false}, EventRoad::kPolling},
  };
  for (const Case& c : cases) EXPECT_EQ(roadShownBy(c.tally), c.road);
  EXPECT_EQ(pacedWaitMs(EventRoad::kPolling), 0);  // ptp2 makes one round
  EXPECT_GT(pacedWaitMs(EventRoad::kUnknown), 0);  // a 0-ms wait never reads the pipe
}

TEST_F(EventPaceTest, PollingBacksOffAndStartsAgainAfterAnEventOrACommand) {
  state.pace.road = EventRoad::kPolling;
  for (auto pause : {25ms, 50ms, 75ms, 100ms, 100ms}) {
    scheduleEventWait(true, 0);
    EXPECT_EQ(nextWaitIn(), pause);
    EXPECT_EQ(cameraIdleWaitMs(), pause.count());
  }
  scheduleEventWait(true, 2);
  EXPECT_EQ(nextWaitIn(), 25ms);
  scheduleEventWait(true, 0);
  scheduleEventWait(true, 0);
  hurryEventWait();
  EXPECT_EQ(nextWaitIn(), 25ms);
  // A drain cut off before the camera had told everything goes on at once.
  scheduleEventWait(false, 64);
  EXPECT_FALSE(state.timers.waiting(Timer::kEventWait));
  EXPECT_EQ(cameraIdleWaitMs(), 0);
}

TEST_F(EventPaceTest, SlowWaitsTakeAtMostAThirdOfTheTimeWhateverHurriesThem) {
  state.pace.road = EventRoad::kPolling;
  state.pace.lastWait = 300ms;
  scheduleEventWait(true, 0);
  EXPECT_EQ(nextWaitIn(), 600ms);
  hurryEventWait();
  EXPECT_EQ(nextWaitIn(), 600ms);
  state.pace.lastWait = 0ms;  // the trap is over
  hurryEventWait();
  EXPECT_EQ(nextWaitIn(), 25ms);
}

TEST_F(EventPaceTest, TheLoopWaitsForWorkOnlyWhenThereIsNone) {
  state.pace.road = EventRoad::kInterrupt;
  state.pace.lastWait = 300ms;
  scheduleEventWait(true, 0);
  EXPECT_EQ(cameraIdleWaitMs(), 0);  // the wait itself is the loop's sleep

  state.pace.road = EventRoad::kPolling;
  state.pace.lastWait = 0ms;
  scheduleEventWait(true, 0);
  state.timers.setAfter(Timer::kParameterRead, 10ms);
  EXPECT_EQ(cameraIdleWaitMs(), 10);
  state.pendingFiles.append("/DCIM/A.JPG");
  EXPECT_EQ(cameraIdleWaitMs(), 0);

  closeCamera();
  EXPECT_FALSE(state.timers.isSet(Timer::kEventWait));
  EXPECT_EQ(state.pace.road, EventRoad::kUnknown);
}

}  // namespace
