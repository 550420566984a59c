// A camera call that finds the camera busy is made again, for a while.
//
// libgphoto2 hands on a camera's DeviceBusy as GP_ERROR_CAMERA_BUSY (-110),
// and ptp2 does not try again itself when it sets a property. A command
// that meets it tries again every kBusyRetryPause, for up to
// kBusyRetryLimit from its first call, and stops trying at once when the
// host has a command waiting (or asked to quit): busy is then its answer.
// Only busy answers are tried again; never a failure.
#pragma once

#include <chrono>
#include <functional>

#include "timers.h"

inline constexpr auto kBusyRetryLimit = std::chrono::seconds(2);
inline constexpr auto kBusyRetryPause = std::chrono::milliseconds(100);

// Sleeps for `duration` (less when a signal comes).
void sleepFor(SteadyClock::duration duration);

class BusyRetry {
 public:
  using Clock = SteadyClock::time_point (*)();
  using Sleep = void (*)(SteadyClock::duration);

  // The retry budget of one command starts now. `giveWay` says whether the
  // host has a command waiting.
  explicit BusyRetry(std::function<bool()> giveWay, Clock clock = SteadyClock::now,
                     Sleep sleep = sleepFor);

  // Calls `attempt` until `busy` says its result is no busy answer, or the
  // budget is spent, or the host has a command waiting; returns the last
  // result.
  int run(const std::function<int()>& attempt, const std::function<bool(int)>& busy);

  // How many calls `run` made in all.
  int tries() const { return tries_; }

 private:
  std::function<bool()> giveWay_;
  Clock clock_;
  Sleep sleep_;
  SteadyClock::time_point deadline_;
  int tries_ = 0;
};
