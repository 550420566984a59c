// Which capture made which photo. Captures are numbered from 1 within the
// process; a reply to "capture" and the events of its photos carry the
// number (protocol.h).
//
// A capture that returns its photo (gp_camera_capture) names it at once. A
// trigger's photo comes later, announced by a file-added event, and cannot be
// told from a photo of the camera's own shutter button. So a trigger is "in
// flight" until the camera announces a photo that is fetched: each such file
// ends the oldest capture in flight and belongs to it (a file that is skipped,
// or announced again, could never be told to the host as its photo, and ends
// none). A file announced within the pair wait after a capture's photo with the
// same stem as that photo, or in another format with no capture in flight, is
// the second file of a RAW+JPEG pair and belongs to the same capture (at most
// one such file a photo: a pair has two). Other files belong to no capture.
// So a photo of the camera's own button taken while a capture is in flight is
// taken for the capture's, and the capture's own photo then for the next
// capture's or for none. A capture in flight that the
// session gives up on (a failure, the end of a stop's wait, the camera's close)
// is lost: its photo may still be on the card.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "timers.h"

// After the last photo of a capture: a RAW+JPEG pair comes as two events.
inline constexpr auto kPairWait = std::chrono::milliseconds(500);

struct CaptureInFlight {
  std::uint64_t number = 0;
  SteadyClock::time_point fired;
};

// The last file that a capture made: the second file of a pair follows it.
struct CapturePhoto {
  std::uint64_t number = 0;
  SteadyClock::time_point at;
  std::string stem;       // its name without the extension
  std::string extension;  // lower-cased
  bool paired = false;    // its second file has come: a pair has two
};

// The next capture's number; the count goes on across camera sessions.
std::uint64_t numberCapture();

// A trigger worked: capture `number` is in flight from now on.
void captureInFlight(std::uint64_t number);

// A capture that returned its photo, named `name`: the second file of its
// pair may follow as an event.
void captureReturned(std::uint64_t number, const std::string& name);

// The camera announced the file `name` (its last path component), which is
// queued: the capture it belongs to, 0 for none. Ends the capture in flight
// that it belongs to, unless it is the second file of a pair.
std::uint64_t captureOfAnnounced(const std::string& name);

// The capture that made the queued photo under `queueKey`, 0 for none.
std::uint64_t captureOf(const std::string& queueKey);

// Gives up the oldest `count` captures in flight (all by default): a
// "captureLost" event each, naming `why`, and a log line. Called before the
// camera closes and when a stop stops waiting for them.
void loseCapturesInFlight(const char* why, std::size_t count = SIZE_MAX);
