#include "event_pace.h"

#include <algorithm>

#include "session.h"

namespace {

constexpr int kBackOffSteps = kBackOffLimit / kBackOffStep;

}  // namespace

EventRoad roadShownBy(const PortTally& tally) {
  return tally.heard && tally.readInterrupt && !tally.wrote ? EventRoad::kInterrupt
                                                            : EventRoad::kPolling;
}

int pacedWaitMs(EventRoad road) {
  switch (road) {
    case EventRoad::kInterrupt:
      return kInterruptWaitMs;
    case EventRoad::kPolling:
      return 0;
    case EventRoad::kUnknown:
      break;
  }
  return 1;
}

SteadyClock::duration pauseAfterWait(const EventPace& pace) {
  if (pace.road == EventRoad::kInterrupt) return SteadyClock::duration::zero();
  SteadyClock::duration backOff = kBackOffStep * std::min(pace.pauses + 1, kBackOffSteps);
  return std::max(backOff, kSlowWaitPauseFactor * pace.lastWait);
}

void scheduleEventWait(bool quiet, int events) {
  EventPace& pace = state.pace;
  pace.quiet = quiet;
  if (events > 0) pace.pauses = 0;
  if (!quiet) {
    state.timers.setNow(Timer::kEventWait);
    return;
  }
  state.timers.setAfter(Timer::kEventWait, pauseAfterWait(pace));
  pace.pauses = std::min(pace.pauses + 1, kBackOffSteps);
}

void hurryEventWait() {
  state.pace.pauses = 0;
  TimerTable& timers = state.timers;
  SteadyClock::duration pause = pauseAfterWait(state.pace);
  if (timers.waiting(Timer::kEventWait) && timers.now() + pause < *timers.when(Timer::kEventWait)) {
    timers.setAfter(Timer::kEventWait, pause);
  }
}

int cameraIdleWaitMs() {
  if (!state.pendingFiles.empty() || !state.timers.waiting(Timer::kEventWait)) return 0;
  return state.timers.waitMs({Timer::kEventWait, Timer::kParameterRead, Timer::kLiveViewFrame});
}
