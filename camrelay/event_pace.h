// When the main loop waits for the open camera's events, and for how long.
//
// Nothing cuts a gp_camera_wait_for_event short, and there is no descriptor
// to poll beside standard input: while the loop is inside a wait, a command
// waits too. So the loop keeps each wait short, and what it does between two
// depends on what a wait costs on the road that the camera's driver takes:
//
// - The interrupt road (ptp2's generic PTP road): a wait listens to the
//   camera's interrupt pipe and sends the camera nothing; an event ends it at
//   once. The loop spends its idle time inside such waits, kInterruptWaitMs
//   at a time (ptp2 listens twice, so an idle wait lasts about twice that),
//   and looks at its input between two with a 0-ms poll: a command waits for
//   at most one wait, a photo from the camera's own shutter button for none.
// - The polling road (ptp2 on Nikon, Canon EOS, Sony and others): every round
//   of a wait sends the camera a request. The loop waits with a timeout of 0,
//   which ptp2 makes one round, and sleeps in poll() on its own descriptors
//   between two waits, so that a command is carried out at once. The pause
//   grows as libgphoto2's own back-off does (50 ms a round up to 200 ms),
//   here by 25 ms a wait up to 100 ms: 10 requests a second at rest, where
//   back-to-back 200-ms waits make about 25, and a photo is seen within
//   100 ms, as within those. It starts again after a command, an event or a
//   download. It never falls below
//   twice what the last quiet wait took beyond its timeout: a wait that
//   costs ~300 ms whatever its timeout (a Nikon whose GetEvent has not yet
//   returned anything falls through to a slow look at its interrupt pipe)
//   takes at most a third of the loop's time.
// - Unknown until the first wait that ends on a timeout shows which: paced
//   as the polling road, with a timeout of 1 ms (a 0-ms wait on the interrupt
//   road never looks at the pipe).
//
// The road is learnt from what that wait does to the camera's port, as
// libgphoto2's port library logs it: a wait that wrote to the port sent a
// request; one that only read the interrupt pipe did not. A wait that shows
// neither, or a libgphoto2 that logs nothing, counts as the polling road:
// taking a polling road for the interrupt road would flood the camera with
// requests, the other way round only delays a photo by up to 100 ms.
#pragma once

#include <chrono>

#include "timers.h"

enum class EventRoad { kUnknown, kInterrupt, kPolling };

// The pace of the open camera's waits; closeCamera resets it.
struct EventPace {
  EventRoad road = EventRoad::kUnknown;
  // Pauses since the last command, event or download: the back-off's step.
  int pauses = 0;
  // How long the last wait that ended on a timeout took beyond its timeout.
  SteadyClock::duration lastWait{};
  // The last drain ended on a timeout: the camera has nothing more to tell.
  // Settings are read only then.
  bool quiet = false;
};

inline constexpr int kInterruptWaitMs = 8;
inline constexpr auto kBackOffStep = std::chrono::milliseconds(25);
inline constexpr auto kBackOffLimit = std::chrono::milliseconds(100);
// A wait may take at most this share of the loop's time on the polling road.
inline constexpr int kSlowWaitPauseFactor = 2;

// What a wait did to the camera's port.
struct PortTally {
  bool heard = false;          // libgphoto2's log reached us at all
  bool wrote = false;          // something was written: a request
  bool readInterrupt = false;  // the interrupt pipe was looked at
};

// The road that a wait ending on a timeout, with `tally`, shows.
EventRoad roadShownBy(const PortTally& tally);

// The timeout of the next paced wait on `road`.
int pacedWaitMs(EventRoad road);

// How long the loop pauses after a paced wait, before the next one, with
// `pace.pauses` pauses made since the back-off started again and the last
// wait `pace.lastWait` over its timeout.
SteadyClock::duration pauseAfterWait(const EventPace& pace);

// Sets Timer::kEventWait after a paced drain that ended on `quiet` (a
// timeout) and took in `events` events: the back-off starts again after an
// event, and a drain cut off before its timeout goes on at once.
void scheduleEventWait(bool quiet, int events);

// A command or a download: the next wait comes after the back-off's first
// step, or later when the last wait was slow.
void hurryEventWait();

// Milliseconds until the loop has camera work to do with a camera open: 0
// when files wait for download or the next wait is due, else until the
// next wait, settings read or live view frame falls due.
int cameraIdleWaitMs();
