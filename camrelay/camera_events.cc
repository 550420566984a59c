#include "camera_events.h"

#include <cstdlib>

#include "downloads.h"
#include "session.h"

namespace {

// Bounds one drain, so that a chatty camera cannot keep the loop from the
// host's commands.
constexpr int kEventsPerDrain = 64;

}  // namespace

DrainEnd drainEvents(int firstWaitMs) {
  DrainEnd end;
  for (int i = 0; i < kEventsPerDrain; ++i) {
    void* data = nullptr;
    end.result = gp_camera_wait_for_event(state.camera, i == 0 ? firstWaitMs : 0, &end.type, &data,
                                          state.context);
    bool held = false;
    if (end.result >= 0 && end.type == GP_EVENT_FILE_ADDED) {
      ++end.announced;
      if (!state.capturesInFlight.empty()) {
        state.capturesInFlight.pop_front();
        state.lastCapturePhoto = SteadyClock::now();
      }
      if (data != nullptr) {
        const auto* path = static_cast<const CameraFilePath*>(data);
        held = enqueueDownload(path) && heldByLibrary(*path);
      }
    }
    free(data);
    if (end.result < 0 || end.type == GP_EVENT_TIMEOUT || held) break;
  }
  return end;
}

StepEnd takeEventsAndDownload(int firstWaitMs) {
  StepEnd step;
  if (!heldPhotoQueued()) {
    static_cast<DrainEnd&>(step) = drainEvents(firstWaitMs);
    if (step.result < 0) return step;
  }
  if (!state.pendingFiles.empty()) {
    downloadNext();
    step.downloaded = true;
  }
  return step;
}
