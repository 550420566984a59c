// Takes in the open camera's events and queues the files they announce.
#pragma once

#include <gphoto2/gphoto2.h>

// How a drain ended: the result and event type of its last wait.
struct DrainEnd {
  int result = GP_OK;
  CameraEventType type = GP_EVENT_UNKNOWN;
};

// Waits up to `firstWaitMs` for the open camera's first event and takes up
// to 63 more without waiting, queuing every added file (enqueueDownload)
// and freeing every event's data. Stops early at a timeout or at a failed
// wait, which it leaves to the caller to report.
DrainEnd drainEvents(int firstWaitMs);
