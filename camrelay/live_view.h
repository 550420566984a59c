// Live view: the camera's preview frames, written one after another to a
// file that the host names, while everything else goes on.
//
// {"command":"liveView","on":true,"path":P,"fps":F} (protocol 2) takes the
// first frame at once and answers with it; from then on the main loop takes
// a frame whenever one is due, at most F a second, as one more piece of
// camera work between the others: a waiting command goes first, then the
// camera's events and the downloads of the photos they announce (frames
// pause while photos are queued), then the frame, then a settings read,
// which gives way to the next frame. So a command waits at most for the
// frame in hand.
//
// Each frame goes to a temporary file in P's folder and is renamed over P,
// so that a reader of P only ever finds a whole frame; a "frame" event
// follows. Live view ends with a "liveViewEnded" event that says why; the
// last frame stays in P, and no temporary file stays behind. Where the
// driver has a "viewfinder" setting (ptp2's on Canon EOS and Nikon, whose
// preview turns it on), it is put back as it was before live view.
#pragma once

#include <gphoto2/gphoto2.h>

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "left_behind.h"
#include "protocol.h"
#include "timers.h"

// The frame rate cap when the host names none, and the highest it may name.
inline constexpr double kDefaultFps = 15;
inline constexpr double kMaxFps = 30;

// A run of frames that fail (the camera busy, or answering with a failure
// while it is still there) ends live view once it has lasted this long, from
// the first failed call of the run to the end of the last. Drivers retry a
// busy camera themselves before they answer (ptp2: for 3 s on Canon EOS,
// 20 tries on Nikon), so the run spans several of their answers.
inline constexpr auto kFailingFramesLimit = std::chrono::seconds(5);

// Why live view ended, as the "liveViewEnded" event names it.
enum class LiveViewEnd {
  kOff,           // {"command":"liveView","on":false}
  kStop,          // "stop", either kind
  kInputEnded,    // the host closed camrelay's standard input
  kBusy,          // the camera stayed busy for kFailingFramesLimit
  kFrameFailed,   // its frames failed for kFailingFramesLimit
  kWriteFailed,   // the frame file could not be written (a full disk, a folder gone)
  kFailure,       // a failure took the failure road and closed the camera
  kCameraClosed,  // the camera closed for any other reason
  kSignal,        // SIGTERM or SIGINT: no event, the host has stopped listening
};

// The event's name for `reason`.
const char* liveViewEndName(LiveViewEnd reason);

// The live view under way.
struct LiveView {
  std::string path;    // the frame file P, absolute
  std::string folder;  // P's folder
  std::string name;    // P's last component
  double fps = kDefaultFps;
  SteadyClock::duration interval{};
  SteadyClock::time_point began;
  // The frame the camera fills: one memory file for the whole live view.
  HeldPhoto file;
  // The "viewfinder" setting before live view began (0 off, else on), or
  // nothing when the driver has none.
  std::optional<int> viewfinderBefore;
  std::uint64_t frames = 0;   // written, counted from 1 in the events
  std::uint64_t skipped = 0;  // busy or failed answers
  // When the current run of failed answers began, if one is under way, and
  // the last answer of it.
  std::optional<SteadyClock::time_point> failingSince;
  int lastFailure = GP_OK;
  std::string lastFailureText;
  // When the next frame was due, for the pace (nextFrameDue).
  SteadyClock::time_point due;
  // Time spent in the camera's preview calls, and after them on the frame
  // file and its event: camrelay's own share.
  SteadyClock::duration cameraTime{};
  SteadyClock::duration ownTime{};
  // The last rate noted in the log: when, and the frames written by then.
  SteadyClock::time_point lastReport;
  std::uint64_t framesAtReport = 0;
};

// The reply to {"command":"liveView",...}: on (with "path", and "fps" in
// (0, kMaxFps]) or off. "off" while live view is off is answered ok and
// changes nothing. See docs for every refusal.
Answer handleLiveView(const nlohmann::json& command);

// Whether a frame of the live view under way is due.
bool liveViewFrameDue();

// Milliseconds until the next frame is due (0 when it is), or -1 without
// live view: how long the camera's event wait may last.
int msUntilFrame();

// Takes the frame that is due, writes it and its event. A busy or failed
// answer is skipped, and ends live view once the run has lasted
// kFailingFramesLimit; a frame file that cannot be written ends it. Returns
// the result of a camera failure that must take the failure road (the
// camera's USB device gone, or the port failing), which the caller reports;
// else GP_OK.
int takeLiveViewFrame();

// Ends the live view under way, if any, for `reason`: puts the viewfinder
// back as it was (not once the camera's USB device has gone), writes the
// "liveViewEnded" event (with `text`, the operating system's or the
// camera's words, where given) and logs the frames taken and the rate.
void endLiveView(LiveViewEnd reason, const std::string& text = "");

// When the frame after one that was due at `due` and whose call began at
// `began` is due, `interval` apart: on the pace while the frames keep up
// with it, and a whole interval after the call once they have fallen a
// whole interval behind (after a download, say), so that a pause is not
// followed by a burst.
SteadyClock::time_point nextFrameDue(SteadyClock::time_point due, SteadyClock::time_point began,
                                     SteadyClock::duration interval);

// Why the "fps" of a command is refused, or nothing for one in (0,
// kMaxFps] (or none at all).
std::optional<std::string> fpsProblem(const nlohmann::json& command);

// Whether `result`, from a camera call, is the camera's failure rather
// than a failed answer: the port failing (GP_ERROR_IO, GP_ERROR_TIMEOUT, the
// GP_ERROR_IO_* results) or the camera's USB device gone.
bool cameraFailure(int result);
