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
    if (end.result >= 0 && end.type == GP_EVENT_FILE_ADDED && data != nullptr) {
      enqueueDownload(static_cast<const CameraFilePath*>(data));
    }
    free(data);
    if (end.result < 0 || end.type == GP_EVENT_TIMEOUT) break;
  }
  return end;
}
