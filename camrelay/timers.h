// The main loop's due times: one table on the steady clock, each timer with
// the interval that sets it named beside it. The loop sleeps until the
// nearest one that can matter, or until input or word of a USB change
// arrives, and never longer or shorter. The steady clock does not jump when
// the system's clock is set: a clock set back does not stall any of them.
#pragma once

#include <array>
#include <chrono>
#include <initializer_list>
#include <optional>

using SteadyClock = std::chrono::steady_clock;
static_assert(SteadyClock::is_steady);

enum class Timer {
  // While no camera is open: the cheap look at the attached USB devices,
  // which scans for cameras only when they changed.
  kDeviceLook,
  // The bus has been quiet long enough after word of a change.
  kHotplugSettle,
  // The two scans made again after a scan that missed a camera.
  kFirstMissRetry,
  kLastMissRetry,
  // The open camera's settings are due to be read.
  kParameterRead,
  // The open camera's next event wait (event_pace.h). Not set: due at once.
  kEventWait,
  // Live view's next frame is due (live_view.h). Set only while live view
  // is on.
  kLiveViewFrame,
  // Memory freed since the last hand-back goes back to the system; until
  // then it serves the next photos. Not part of any wait: it is handed
  // back when the loop next wakes.
  kMemoryHandBack,
  kCount  // not a timer: how many there are
};

// From the end of the previous look.
inline constexpr auto kDeviceLookInterval = std::chrono::seconds(3);
// After the last notice of a burst: a hub's devices then give one scan,
// and a device being removed has left /sys by then.
inline constexpr auto kHotplugSettle = std::chrono::milliseconds(50);
// From the end of the scan that missed; after the last one, notices and
// the look take over again.
inline constexpr auto kFirstMissRetry = std::chrono::seconds(1);
inline constexpr auto kLastMissRetry = std::chrono::seconds(3);
// After "start"; after a read that gave values; after a read that gave
// nothing; after a saved photo (reads pause while photos come).
inline constexpr auto kFirstParameterRead = std::chrono::seconds(1);
inline constexpr auto kParameterReadInterval = std::chrono::seconds(3);
inline constexpr auto kParameterRetryInterval = std::chrono::seconds(15);
inline constexpr auto kParameterPauseAfterSave = std::chrono::seconds(3);
// From one hand-back to the next: at most one photo's worth of fresh pages
// this often during a burst.
inline constexpr auto kMemoryHandBackInterval = std::chrono::seconds(3);

class TimerTable {
 public:
  using Clock = SteadyClock::time_point (*)();

  TimerTable() = default;
  // With `clock` as the time source instead of the steady clock (tests).
  explicit TimerTable(Clock clock) : clock_(clock) {}

  SteadyClock::time_point now() const { return clock_(); }

  // Sets `timer` to fall due `after` from now, or at once.
  void setAfter(Timer timer, SteadyClock::duration after) { at(timer) = now() + after; }
  void setNow(Timer timer) { at(timer) = now(); }
  void setAt(Timer timer, SteadyClock::time_point when) { at(timer) = when; }
  void cancel(Timer timer) { at(timer).reset(); }

  bool isSet(Timer timer) const { return at(timer).has_value(); }
  // Set, and its time has come.
  bool due(Timer timer) const { return isSet(timer) && *at(timer) <= now(); }
  // Set, and its time has not come yet.
  bool waiting(Timer timer) const { return isSet(timer) && *at(timer) > now(); }
  // When `timer` falls due, if it is set.
  std::optional<SteadyClock::time_point> when(Timer timer) const { return at(timer); }

  // Milliseconds from now until the nearest of `timers` that is set,
  // rounded up and at least 0; -1 (wait without end) when none is.
  int waitMs(std::initializer_list<Timer> timers) const;

 private:
  std::optional<SteadyClock::time_point>& at(Timer timer) {
    return due_[static_cast<std::size_t>(timer)];
  }
  const std::optional<SteadyClock::time_point>& at(Timer timer) const {
    return due_[static_cast<std::size_t>(timer)];
  }

  Clock clock_ = SteadyClock::now;
  std::array<std::optional<SteadyClock::time_point>, static_cast<std::size_t>(Timer::kCount)>
      due_{};
};
