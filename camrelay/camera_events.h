// Takes in the open camera's events and queues the files they announce, and
// the step of work on the open camera that the main loop and the end of a
// session share.
#pragma once

#include <gphoto2/gphoto2.h>

// The longest wait for a camera event while "stop" waits for the photos of
// captures in flight (no command is read meanwhile).
inline constexpr int kCameraWaitMs = 200;

// How a drain ended: the result and event type of its last wait, how many
// events it took in and how many files the camera announced in them.
struct DrainEnd {
  int result = GP_OK;
  CameraEventType type = GP_EVENT_UNKNOWN;
  int events = 0;
  int announced = 0;
};

// Waits up to `firstWaitMs` for the open camera's first event and takes up to
// 63 more without waiting, queuing every added file (enqueueAnnounced), showing
// every setting turned on the camera (property_changes.h) and freeing every
// event's data. Each announced file that is queued ends the oldest capture in
// flight. Stops early at a timeout, at a failed wait, which it leaves to the
// caller to report, and right after queuing a photo that libgphoto2 holds in
// its memory: the camera keeps later photos in its own buffer until it is asked
// again, and the driver fetches each one into libgphoto2's small cache only as
// it announces it. A wait that ends on a timeout tells the event pace what a
// wait costs, and while the road is unknown, which road the waits take
// (event_pace.h).
DrainEnd drainEvents(int firstWaitMs);

// What one camera step did: how its drain ended (a drain that was not made
// ends on no particular type), and whether it downloaded, or dropped, a
// queued file.
struct StepEnd : DrainEnd {
  bool downloaded = false;
};

// One step of work on the open camera: takes in its events, unless a photo
// that libgphoto2 holds waits for its download, and then downloads the
// oldest queued file, if any. A failed event wait is left to the caller.
StepEnd takeEventsAndDownload(int firstWaitMs);
