// A clock that moves only when a test moves it, and a fixture that puts the
// loop's timer table on it.
#pragma once

#include <chrono>

#include "session.h"
#include "status_capture.h"

inline SteadyClock::time_point fakeNow;
inline SteadyClock::time_point fakeClock() {
  return fakeNow;
}

// A fresh session whose timers run on fakeNow, from an arbitrary start.
class FakeClockTest : public FreshSessionTest {
 protected:
  void SetUp() override {
    FreshSessionTest::SetUp();
    fakeNow = SteadyClock::time_point(std::chrono::hours(1000));
    state.timers = TimerTable(fakeClock);
  }
};
