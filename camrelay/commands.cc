#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "camera_events.h"
#include "captures.h"
#include "diagnostic_log.h"
#include "discovery.h"
#include "downloads.h"
#include "json_text.h"
#include "left_behind.h"
#include "live_view.h"
#include "session.h"
#include "settings.h"

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
  state.operations = record.operations;
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
  // Captures not announced in all that time never will be.
  std::size_t stale = 0;
  for (const CaptureInFlight& capture : state.capturesInFlight) {
    if (capture.fired + kCaptureLimit >= begin) break;
    ++stale;
  }
  loseCapturesInFlight("no photo announced within 90 s", stale);
  // How long before the stop something happened: long ago when it did not.
  auto before = [begin](std::optional<SteadyClock::time_point> at) {
    return at ? begin - *at : Duration(std::chrono::hours(24));
  };
  // Time spent waiting for the camera: in all; since its last new file (a
  // capture in flight gets `wait` from the stop on); since the last trigger.
  Duration waited{0};
  std::optional<SteadyClock::time_point> lastPhoto;
  if (state.lastCapturePhoto) lastPhoto = state.lastCapturePhoto->at;
  Duration quiet = state.capturesInFlight.empty() ? before(lastPhoto) : Duration{0};
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

  // A quick stop that the host sends meanwhile ends the wait and the
  // downloads: what is left is left behind.
  while (state.camera != nullptr && state.cancelled == 0 && !askedToLeave()) {
    if (awaiting && left() <= Duration::zero()) {
      if (!state.capturesInFlight.empty()) {
        logEvent("stop gives up on ", state.capturesInFlight.size(), " capture(s) in flight");
      }
      logEvent("stop waited ", seconds(SteadyClock::now() - begin), " s, ", seconds(waited),
               " s of it for the camera");
      loseCapturesInFlight("the stop stopped waiting for its photo");
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

// In protocol 2, a capture that the camera refuses while it still answers
// leaves the session as it was: busy, or a focus miss (ptp2's words on a
// failed release). A camera gone from the bus takes the failure road.
std::optional<Answer> refusedCapture(int result) {
  if (!speaksProtocol2() || state.cancelled != 0) return std::nullopt;
  bool busy = result == GP_ERROR_CAMERA_BUSY;
  bool focus =
      result == GP_ERROR && state.contextError.find("Perhaps no focus?") != std::string::npos;
  if ((!busy && !focus) || cameraUnplugged()) return std::nullopt;
  std::string text =
      !state.contextError.empty() ? state.contextError : utf8OrEmpty(gp_result_as_string(result));
  logEvent("capture refused by the camera: ", result, " (", text, "); the session goes on");
  return Answer::refused(busy ? kCaptureBusy : kFocusFailed, text, result);
}

// The camera's abilities, for the reply to "start".
nlohmann::json cameraJson(const std::string& portPath) {
  const CameraBody& body = state.cameraIdentity;
  return {{"id", portPath},
          {"model", body.model},
          {"serial", body.serial ? nlohmann::json(*body.serial) : nullptr},
          {"canCapture", state.canCapture},
          {"canTrigger", state.canTrigger},
          {"canPreview", (state.operations & GP_OPERATION_CAPTURE_PREVIEW) != 0},
          {"canConfigure", (state.operations & GP_OPERATION_CONFIG) != 0}};
}

Answer handleHello(const nlohmann::json& command) {
  std::int64_t wanted = command.at("protocol").get<std::int64_t>();
  if (wanted == 2 || (wanted == 1 && state.protocol == 1)) {
    if (wanted == 2 && state.protocol != 2) logEvent("the host speaks protocol 2");
    state.protocol = static_cast<int>(wanted);
    return Answer::ok({{"protocol", state.protocol},
                       {"version", CAMRELAY_VERSION},
                       {"features", wanted == 2 ? protocolFeatures() : nlohmann::json::array()}});
  }
  return Answer::refused(kUnsupportedProtocol, state.protocol == 2
                                                   ? "protocol 2 lasts until camrelay ends"
                                                   : "camrelay speaks protocols 1 and 2");
}

Answer handleCameras(const nlohmann::json&) {
  nlohmann::json cameras = nlohmann::json::array();
  for (const CameraEntry& entry : state.devices) {
    std::optional<std::string> serial = usbSerialOf(entry.id);
    cameras.push_back({{"id", entry.id},
                       {"name", entry.name},
                       {"linkMbps", jsonNumber<nlohmann::json>(entry.linkMbps)},
                       {"serial", serial ? nlohmann::json(*serial) : nullptr}});
  }
  return Answer::ok({{"cameras", std::move(cameras)}});
}

Answer handleLeftBehind(const nlohmann::json&) {
  return Answer::ok({{"photos", leftBehindJson()}});
}

using Handler = Answer (*)(const nlohmann::json&);

// The JSON type that a command's field must have in protocol 2; kValue is a
// setting's value: a string, a number, true or false.
enum class FieldKind { kString, kInteger, kNumber, kBoolean, kValue };

struct Field {
  const char* name;
  FieldKind kind;
  bool required;
};

struct Command {
  const char* word;  // the "command" value, compared whole and case-sensitively
  Handler handler;
  int protocol;  // the first protocol that knows the word
  std::vector<Field> fields;
  // A field given twice in the line is refused rather than taking its last
  // value: which one the host meant is anybody's guess.
  bool refuseRepeats = false;
};

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"start",
       handleStart,
       1,
       {{"cameraId", FieldKind::kString, true}, {"directory", FieldKind::kString, true}}},
      {"stop", handleStop, 1, {{"leave", FieldKind::kBoolean, false}}},
      {"capture", handleCapture, 1, {}},
      {"hello", handleHello, 1, {{"protocol", FieldKind::kInteger, true}}},
      {"cameras", handleCameras, 2, {}},
      {"leftBehind", handleLeftBehind, 2, {}},
      {"liveView",
       handleLiveView,
       2,
       {{"on", FieldKind::kBoolean, true},
        {"path", FieldKind::kString, false},
        {"fps", FieldKind::kNumber, false}}},
      {"settings", handleSettings, 2, {{"all", FieldKind::kBoolean, false}}},
      {"set",
       handleSet,
       2,
       {{"key", FieldKind::kString, true}, {"value", FieldKind::kValue, true}},
       true},
  };
  return table;
}

// The command that `command` names among those of the protocol spoken.
const Command* knownCommand(const nlohmann::json& command) {
  auto word = command.find("command");
  if (word == command.end() || !word->is_string()) return nullptr;
  const std::string& name = word->get_ref<const std::string&>();
  for (const Command& known : commands()) {
    if (name == known.word && known.protocol <= state.protocol) return &known;
  }
  return nullptr;
}

bool fitsKind(FieldKind kind, const nlohmann::json& value) {
  switch (kind) {
    case FieldKind::kString:
      return value.is_string();
    case FieldKind::kInteger:
      return value.is_number_integer();
    case FieldKind::kNumber:
      return value.is_number();
    case FieldKind::kBoolean:
      return value.is_boolean();
    case FieldKind::kValue:
      return value.is_string() || value.is_number() || value.is_boolean();
  }
  return false;
}

const char* kindWanted(FieldKind kind) {
  switch (kind) {
    case FieldKind::kString:
      return "a string";
    case FieldKind::kInteger:
      return "an integer";
    case FieldKind::kNumber:
      return "a number";
    case FieldKind::kBoolean:
      return "true or false";
    case FieldKind::kValue:
      return "a string, a number, true or false";
  }
  return "";
}

// The refusal of a field that is missing, of the wrong type, or given twice
// where that is refused, if any.
std::optional<Answer> fieldProblem(const Command& known, const nlohmann::json& command,
                                   const std::set<std::string>& repeated) {
  for (const Field& field : known.fields) {
    if (known.refuseRepeats && repeated.count(field.name) != 0) {
      return Answer::refused(kInvalidField,
                             std::string("field \"") + field.name + "\" is given twice");
    }
    auto value = command.find(field.name);
    if (value == command.end()) {
      if (!field.required) continue;
      return Answer::refused(kInvalidField, std::string("missing field \"") + field.name + "\"");
    }
    if (!fitsKind(field.kind, *value)) {
      const char* wanted = kindWanted(field.kind);
      return Answer::refused(kInvalidField,
                             std::string("field \"") + field.name + "\" must be " + wanted);
    }
  }
  return std::nullopt;
}

}  // namespace

void carryOutCommand(const nlohmann::json& command, const std::set<std::string>& repeated) {
  const Command* known = knownCommand(command);
  // "hello" is answered whatever the protocol: a host that says it reads
  // replies.
  bool hello = known != nullptr && std::string_view(known->word) == "hello";
  if (!speaksProtocol2() && !hello) {
    if (known != nullptr) {
      known->handler(command);
    } else {
      emit();
    }
    return;
  }
  std::optional<nlohmann::json> id = replyId(command);
  if (!id) {
    writeReply(nullptr,
               Answer::refused(kInvalidId,
                               "\"id\" must be a string of at most 256 bytes "
                               "or an integer"),
               true);
    return;
  }
  if (known == nullptr) {
    writeReply(*id, Answer::refused(kUnknownCommand, "no such command"), true);
    return;
  }
  if (std::optional<Answer> problem = fieldProblem(*known, command, repeated)) {
    writeReply(*id, *problem, true);
    return;
  }
  Answer answer = known->handler(command);
  writeReply(*id, answer, true);
  if (answer.statusAfter) emit();
}

void refuseLine() {
  if (speaksProtocol2()) {
    writeReply(nullptr, Answer::refused(kInvalidLine, "the line is not a JSON object"));
  }
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

Answer handleStart(const nlohmann::json& command) {
  if (state.camera != nullptr) {
    return Answer::refused(kCameraOpen, "a camera is open: stop it before starting another");
  }

  const CameraEntry* entry = listedCamera(command);
  if (entry == nullptr) {
    failSession(kCameraUnavailable);
    return failureAnswer();
  }
  // Copies, so that nothing here depends on `devices` staying as it is.
  const std::string portPath = entry->id;
  const std::string model = entry->name;

  auto directory = command.find("directory");
  if (directory == command.end() || !directory->is_string() ||
      !acceptableDestination(directory->get_ref<const std::string&>())) {
    failSession(kChooseFolder);
    return failureAnswer();
  }
  state.destination = directory->get_ref<const std::string&>();

  state.failure.clear();
  state.failureCode.reset();
  state.phase = "connecting";
  state.selected = portPath;
  emit();

  if (!openCamera(model, portPath)) return failureAnswer();

  state.saved = 0;
  state.lastFile.clear();
  state.lastTransfer = nlohmann::json::object();
  state.received.clear();
  state.pendingFiles.clear();
  state.pendingPaths.clear();
  state.pendingCaptures.clear();
  state.transferring = false;
  // What failures left behind for this camera and folder comes first.
  state.cameraIdentity = cameraIdentity(state.camera, model, portPath);
  takeUpLeftBehind();
  // The host's capture target is in force before the first capture.
  std::optional<nlohmann::json> target = restoreCaptureTarget();
  if (state.camera == nullptr) return failureAnswer();

  state.phase = "ready";
  state.timers.setAfter(Timer::kParameterRead, kFirstParameterRead);
  emit();
  nlohmann::json reply = {{"camera", cameraJson(portPath)}};
  if (target) reply["captureTarget"] = *target;
  return Answer::ok(std::move(reply));
}

void stopSession() {
  state.phase = "stopping";
  emit();
  finishDownloads();
  closeCamera();
}

Answer handleStop(const nlohmann::json& command) {
  endLiveView(LiveViewEnd::kStop);
  auto leave = command.find("leave");
  if (speaksProtocol2() && leave != command.end() && *leave == true) {
    // The quick stop: what is queued, and a download that it cut short,
    // is left behind as after a failure, with no try used up.
    logEvent("quick stop: ", state.pendingFiles.size(), " queued photo(s) left behind");
    state.phase = "stopping";
    emit();
    closeCamera();
  } else {
    stopSession();
  }
  state.quickStopWaiting = false;
  state.failure.clear();
  state.failureCode.reset();
  state.phase = "idle";
  emit();
  return Answer::ok();
}

Answer handleCapture(const nlohmann::json&) {
  if (state.camera == nullptr || !state.canCapture) {
    // Protocol 1 answers with the state as it is; protocol 2 with the reply.
    if (!speaksProtocol2()) emit();
    return state.camera == nullptr
               ? Answer::refused(kNoCamera, "no camera is open")
               : Answer::refused(kCannotCapture, "the camera cannot capture or trigger");
  }
  CameraFilePath path = {};
  state.phase = "capturing";
  emit();

  state.contextError.clear();
  // With trigger capture the photo arrives later as a file-added event.
  const char* call = state.canTrigger ? "gp_camera_trigger_capture" : "gp_camera_capture";
  int result = state.canTrigger
                   ? gp_camera_trigger_capture(state.camera, state.context)
                   : gp_camera_capture(state.camera, GP_CAPTURE_IMAGE, &path, state.context);
  if (std::optional<Answer> refused = refusedCapture(result)) {
    state.phase = "ready";
    emit();
    return *refused;
  }
  if (!check(result, call)) return failureAnswer();
  std::uint64_t number = numberCapture();
  if (state.canTrigger) {
    captureInFlight(number);
  } else {
    captureReturned(number, lastPathComponent(recordName(path)));
    enqueueDownload(&path, number);
  }
  if (state.camera == nullptr) return failureAnswer();
  state.phase = "ready";
  emit();
  return Answer::ok({{"capture", number}});
}
