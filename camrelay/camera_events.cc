#include "camera_events.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string_view>

#include "diagnostic_log.h"
#include "downloads.h"
#include "event_pace.h"
#include "property_changes.h"
#include "session.h"

namespace {

// Bounds one drain, so that a chatty camera cannot keep the loop from the
// host's commands.
constexpr int kEventsPerDrain = 64;

// The log domain of the line that shows that libgphoto2's log reaches us.
constexpr const char* kHeardDomain = "camrelay";

// libgphoto2's port library logs every write to the port and every look at
// the interrupt pipe, naming its own function as the domain.
void tallyPortCall(GPLogLevel, const char* domain, const char*, void* data) {
  auto& tally = *static_cast<PortTally*>(data);
  std::string_view name = domain != nullptr ? domain : "";
  if (name == kHeardDomain) {
    tally.heard = true;
  } else if (name == "gp_port_write") {
    tally.wrote = true;
  } else if (name.starts_with("gp_port_check_int")) {
    tally.readInterrupt = true;
  }
}

// One wait for the open camera's next event. While the road is not known,
// what the wait does to the camera's port is tallied: libgphoto2 formats
// every message while a log function listens, so only then.
int waitForEvent(int timeoutMs, CameraEventType& type, void*& data, PortTally& tally) {
  if (state.pace.road != EventRoad::kUnknown) {
    return gp_camera_wait_for_event(state.camera, timeoutMs, &type, &data, state.context);
  }
  int hook = gp_log_add_func(GP_LOG_DATA, tallyPortCall, &tally);
  gp_log(GP_LOG_DATA, kHeardDomain, "listening to the port");
  int result = gp_camera_wait_for_event(state.camera, timeoutMs, &type, &data, state.context);
  if (hook >= 0) gp_log_remove_func(hook);
  return result;
}

// Takes what a wait that ended on a timeout tells of the road, and of what
// a wait costs: how long it took beyond its timeout (`over`).
void learnFromQuietWait(SteadyClock::duration over, const PortTally& tally) {
  EventPace& pace = state.pace;
  if (pace.road == EventRoad::kUnknown) {
    pace.road = roadShownBy(tally);
    logEvent(pace.road == EventRoad::kInterrupt
                 ? "event waits take the interrupt road: the loop waits inside them"
                 : "event waits take the polling road: one request a wait, paced by the loop");
  }
  bool wasSlow = pace.lastWait > kBackOffLimit;
  pace.lastWait = over;
  if (pace.road == EventRoad::kPolling && wasSlow != (over > kBackOffLimit)) {
    logEvent("event waits ", wasSlow ? "are quick again" : "are slow", ": ",
             std::chrono::duration<double, std::milli>(over).count(), " ms beyond their timeout");
  }
}

}  // namespace

DrainEnd drainEvents(int firstWaitMs) {
  DrainEnd end;
  for (int i = 0; i < kEventsPerDrain; ++i) {
    void* data = nullptr;
    PortTally tally;
    int timeoutMs = i == 0 ? firstWaitMs : 0;
    SteadyClock::time_point due = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    end.result = waitForEvent(timeoutMs, end.type, data, tally);
    if (end.result >= 0 && end.type == GP_EVENT_TIMEOUT) {
      learnFromQuietWait(std::max(SteadyClock::now() - due, SteadyClock::duration::zero()), tally);
    }
    bool held = false;
    if (end.result >= 0 && end.type == GP_EVENT_FILE_ADDED) {
      ++end.announced;
      const auto* path = static_cast<const CameraFilePath*>(data);
      held = path != nullptr && enqueueAnnounced(path) && heldByLibrary(*path);
    }
    if (end.result >= 0 && end.type == GP_EVENT_UNKNOWN) {
      takeUnknownEvent(static_cast<const char*>(data));
    }
    free(data);
    if (end.result >= 0 && end.type != GP_EVENT_TIMEOUT) ++end.events;
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
