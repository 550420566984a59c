#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "camera_events.h"
#include "diagnostic_log.h"
#include "downloads.h"
#include "left_behind.h"
#include "session.h"

namespace {

constexpr int kSonyVendor = 0x054C;

// How long the end of a session waits for the photos of captures in flight.
// A camera announces a triggered photo some time after the trigger: under a
// second to a few seconds, and after twice the exposure time when it
// reduces long-exposure noise. As gphoto2's capture-and-download does, the
// wait gives up after 3 s without a new file, the exposure time allowed for;
// never longer in all than libgphoto2's own limit for a Canon EOS capture.
constexpr auto kPhotoWait = std::chrono::seconds(3);
constexpr auto kCaptureLimit = std::chrono::seconds(90);
// After the last awaited photo: a RAW+JPEG pair comes as two events.
constexpr auto kPairWait = std::chrono::milliseconds(500);

// The entry of `devices` whose "id" equals the command's "cameraId".
const CameraEntry* listedCamera(const nlohmann::json& command) {
  auto id = command.find("cameraId");
  if (id == command.end() || !id->is_string()) return nullptr;
  const std::string& wanted = id->get_ref<const std::string&>();
  for (const CameraEntry& entry : state.devices) {
    if (entry.id == wanted) return &entry;
  }
  return nullptr;
}

// Opens the camera of `entry` with the abilities of its model and the port
// of its path. false once check() has reported a failure.
bool openCamera(const std::string& model, const std::string& portPath) {
  gp_port_info_list_free(state.ports);  // null after a failed creation; harmless
  state.ports = nullptr;
  if (!check(gp_port_info_list_new(&state.ports), "gp_port_info_list_new")) return false;
  if (!check(gp_port_info_list_load(state.ports), "gp_port_info_list_load")) return false;

  int modelIndex = gp_abilities_list_lookup_model(state.abilities, model.c_str());
  if (!check(modelIndex, "gp_abilities_list_lookup_model")) return false;
  CameraAbilities record = {};
  if (!check(gp_abilities_list_get_abilities(state.abilities, modelIndex, &record),
             "gp_abilities_list_get_abilities"))
    return false;

  int portIndex = gp_port_info_list_lookup_path(state.ports, portPath.c_str());
  if (!check(portIndex, "gp_port_info_list_lookup_path")) return false;
  GPPortInfo portInfo = nullptr;
  if (!check(gp_port_info_list_get_info(state.ports, portIndex, &portInfo),
             "gp_port_info_list_get_info"))
    return false;

  Camera* camera = nullptr;
  if (!check(gp_camera_new(&camera), "gp_camera_new")) return false;
  // From here on closeCamera() owns it, so every later failure frees it.
  state.camera = camera;
  if (!check(gp_camera_set_abilities(camera, record), "gp_camera_set_abilities")) return false;
  if (!check(gp_camera_set_port_info(camera, portInfo), "gp_camera_set_port_info")) return false;
  if (!check(gp_camera_init(camera, state.context), "gp_camera_init")) return false;

  // Capabilities come from the model's record, not from the opened camera.
  state.sonyCaptureNames = record.usb_vendor == kSonyVendor;
  state.canTrigger = (record.operations & GP_OPERATION_TRIGGER_CAPTURE) != 0;
  state.canCapture =
      (record.operations & (GP_OPERATION_CAPTURE_IMAGE | GP_OPERATION_TRIGGER_CAPTURE)) != 0;
  logEvent("camera open: ", model, " on ", portPath, ", capture ",
           (record.operations & GP_OPERATION_CAPTURE_IMAGE) != 0, ", trigger ", state.canTrigger,
           ", Sony capture names ", state.sonyCaptureNames);
  return true;
}

// How long to wait for the next photo of a capture in flight, with the
// exposure time of the camera's last "shutterSpeed" allowed for.
SteadyClock::duration photoWait() {
  auto speed = state.cameraParameters.find("shutterSpeed");
  std::optional<double> seconds;
  if (speed != state.cameraParameters.end()) seconds = exposureSeconds(speed->second);
  if (!seconds || *seconds < 1) return kPhotoWait;
  return kPhotoWait + std::chrono::duration_cast<SteadyClock::duration>(
                          std::chrono::duration<double>(2 * std::min(*seconds, 90.0)));
}

// `duration` in seconds, as text with a tenth of a second.
std::string seconds(SteadyClock::duration duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(duration).count());
  return text;
}

// Takes in the camera's events and downloads the queued files, oldest
// first, until a drain that waited for nothing leaves nothing queued. While
// captures are in flight it waits for their photos as the camera step does,
// and then a little longer for the second file of a pair. Only the time
// spent waiting for the camera counts against the bounds, not the time
// spent downloading: while a photo that libgphoto2 holds is fetched, the
// camera is not asked for its next one, which may be ready already. A
// failure closes the camera, which ends it; so does SIGTERM/SIGINT.
void finishDownloads() {
  using Duration = SteadyClock::duration;
  SteadyClock::time_point begin = SteadyClock::now();
  Duration wait = photoWait();
  while (!state.capturesInFlight.empty() && state.capturesInFlight.front() + kCaptureLimit < begin)
    state.capturesInFlight.pop_front();  // not announced in all that time: never will be
  // How long before the stop something happened: long ago when it did not.
  auto before = [begin](std::optional<SteadyClock::time_point> at) {
    return at ? begin - *at : Duration(std::chrono::hours(24));
  };
  // Time spent waiting for the camera: in all; since its last new file (a
  // capture in flight gets `wait` from the stop on); since the last trigger.
  Duration waited{0};
  Duration quiet = state.capturesInFlight.empty() ? before(state.lastCapturePhoto) : Duration{0};
  Duration sinceTrigger = before(state.lastTrigger);
  // What is left of the wait. While captures are in flight, `wait` after
  // the last new file; after the last one, the time for a pair's second
  // file. And since a triggered photo cannot be told from one taken with
  // the camera's own button, which may have ended a capture in flight in
  // its stead, the last trigger always gets `wait` of its own.
  auto forFiles = [&] { return (state.capturesInFlight.empty() ? kPairWait : wait) - quiet; };
  auto forTrigger = [&] { return wait - sinceTrigger; };
  auto left = [&] {
    return std::min(std::max(forFiles(), forTrigger()), Duration(kCaptureLimit) - waited);
  };
  bool awaiting = left() > Duration::zero();
  if (awaiting && logging()) {
    std::string why =
        forTrigger() > forFiles()
            ? "for the last trigger's own photo (fired " + seconds(sinceTrigger) + " s before)"
        : state.capturesInFlight.empty()
            ? std::string("for a second file of the last photo's pair")
            : "for " + std::to_string(state.capturesInFlight.size()) + " capture(s) in flight";
    logEvent("stop waits up to ", seconds(left()), " s of camera time ", why);
  }

  while (state.camera != nullptr && state.cancelled == 0) {
    if (awaiting && left() <= Duration::zero()) {
      if (!state.capturesInFlight.empty()) {
        logEvent("stop gives up on ", state.capturesInFlight.size(), " capture(s) in flight");
      }
      logEvent("stop waited ", seconds(SteadyClock::now() - begin), " s, ", seconds(waited),
               " s of it for the camera");
      state.capturesInFlight.clear();
      awaiting = false;
    }
    int waitMs = 0;
    if (awaiting && state.pendingFiles.empty()) {
      auto ms = std::chrono::ceil<std::chrono::milliseconds>(left()).count();
      waitMs = static_cast<int>(std::clamp<decltype(ms)>(ms, 0, kCameraWaitMs));
    }
    SteadyClock::time_point stepBegan = SteadyClock::now();
    StepEnd step = takeEventsAndDownload(waitMs);
    if (!check(step.result, "gp_camera_wait_for_event")) return;
    if (!step.downloaded) {
      Duration spent = SteadyClock::now() - stepBegan;
      waited += spent;
      quiet += spent;
      sinceTrigger += spent;
    }
    if (step.announced > 0) quiet = Duration::zero();
    // A drain cut off at its event limit may have left announcements.
    if (!awaiting && !step.downloaded && step.type == GP_EVENT_TIMEOUT) return;
  }
}

using Handler = void (*)(const nlohmann::json&);

struct Command {
  const char* word;  // the "command" value, compared whole and case-sensitively
  Handler handler;
};

const Command kCommands[] = {
    {"start", handleStart},
    {"stop", handleStop},
    {"capture", handleCapture},
};

}  // namespace

void carryOutCommand(const nlohmann::json& command) {
  auto word = command.find("command");
  if (word != command.end() && word->is_string()) {
    const std::string& name = word->get_ref<const std::string&>();
    for (const Command& known : kCommands) {
      if (name == known.word) return known.handler(command);
    }
  }
  emit();
}

std::optional<double> exposureSeconds(const std::string& text) {
  // "1/125", "30", "2.5", "0.8", Sony's 30" and 1/3", and a trailing "s".
  const char* begin = text.c_str();
  char* end = nullptr;
  double value = std::strtod(begin, &end);
  if (end == begin || !(value > 0) || *begin == '-' || *begin == '+') return std::nullopt;
  if (*end == '/') {
    const char* denominator = end + 1;
    double below = std::strtod(denominator, &end);
    if (end == denominator || !(below > 0)) return std::nullopt;
    value /= below;
  }
  if (*end == '"' || *end == 's') ++end;
  if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

bool acceptableDestination(const std::string& directory) {
  return !directory.empty() && directory.front() == '/' &&
         directory.find('\0') == std::string::npos;
}

void handleStart(const nlohmann::json& command) {
  if (state.camera != nullptr) return;

  const CameraEntry* entry = listedCamera(command);
  if (entry == nullptr) {
    failSession(kCameraUnavailable);
    return;
  }
  // Copies, so that nothing here depends on `devices` staying as it is.
  const std::string portPath = entry->id;
  const std::string model = entry->name;

  auto directory = command.find("directory");
  if (directory == command.end() || !directory->is_string() ||
      !acceptableDestination(directory->get_ref<const std::string&>())) {
    failSession(kChooseFolder);
    return;
  }
  state.destination = directory->get_ref<const std::string&>();

  state.failure.clear();
  state.phase = "connecting";
  state.selected = portPath;
  emit();

  if (!openCamera(model, portPath)) return;

  state.saved = 0;
  state.lastFile.clear();
  state.lastTransfer = nlohmann::json::object();
  state.received.clear();
  state.pendingFiles.clear();
  state.pendingPaths.clear();
  state.transferring = false;
  // What failures left behind for this camera and folder comes first.
  state.cameraIdentity = cameraIdentity(state.camera, model, portPath);
  takeUpLeftBehind();

  state.phase = "ready";
  state.timers.setAfter(Timer::kParameterRead, kFirstParameterRead);
  emit();
}

void stopSession() {
  state.phase = "stopping";
  emit();
  finishDownloads();
  closeCamera();
}

void handleStop(const nlohmann::json&) {
  stopSession();
  state.failure.clear();
  state.phase = "idle";
  emit();
}

void handleCapture(const nlohmann::json&) {
  if (state.camera == nullptr || !state.canCapture) {
    emit();
    return;
  }
  CameraFilePath path = {};
  state.phase = "capturing";
  emit();

  if (state.canTrigger) {
    // The photo arrives later as a file-added event.
    if (!check(gp_camera_trigger_capture(state.camera, state.context), "gp_camera_trigger_capture"))
      return;
    state.lastTrigger = SteadyClock::now();
    state.capturesInFlight.push_back(*state.lastTrigger);
  } else {
    if (!check(gp_camera_capture(state.camera, GP_CAPTURE_IMAGE, &path, state.context),
               "gp_camera_capture"))
      return;
    enqueueDownload(&path);
  }
  if (state.camera == nullptr) return;
  state.phase = "ready";
  emit();
}
