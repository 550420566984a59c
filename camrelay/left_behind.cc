#include "left_behind.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "diagnostic_log.h"
#include "discovery.h"
#include "file_system.h"
#include "hotplug.h"
#include "parameters.h"
#include "photo_identity.h"
#include "protocol.h"
#include "session.h"

namespace {

// The phrase of the one log line that every photo ending unsaved gets.
constexpr const char* kNotSaved = "photo not saved: ";

// A capture number for the host: null for none.
nlohmann::json captureJson(std::uint64_t capture) {
  return capture == 0 ? nlohmann::json() : nlohmann::json(capture);
}

// The one log line, and the one event, of a photo that ends unsaved.
void giveUp(const CameraFilePath& record, std::uint64_t capture, std::string_view reason) {
  logEvent(kNotSaved, rawIdentity(record), ": ", reason);
  writeEvent(
      "photoNotSaved",
      {{"camera", cameraFileJson(record)}, {"capture", captureJson(capture)}, {"reason", reason}});
}

nlohmann::json photoJson(const LeftPhoto& photo) {
  return {{"camera", cameraFileJson(photo.record)},
          {"body", photo.camera.json()},
          {"directory", photo.destination},
          {"heldInMemory", photo.bytes != nullptr},
          {"capture", captureJson(photo.capture)}};
}

// The serial number that the driver serves as its "serialnumber" setting,
// only from a driver that reads one setting by itself: ptp2 answers it from
// the device information it read when the camera was opened. From another
// driver libgphoto2 would fetch the whole configuration from the camera.
std::optional<std::string> settingSerial(Camera* camera) {
  if (!singleSettingAccess(camera)) return std::nullopt;
  CameraWidget* widget = nullptr;
  int result = gp_camera_get_single_config(camera, "serialnumber", &widget, state.context);
  std::string text = result >= 0 && widget != nullptr ? trimmedText(widgetText(widget)) : "";
  if (widget != nullptr) gp_widget_free(widget);
  if (text.empty()) return std::nullopt;
  return text;
}

// Copies the photo out of libgphoto2's cache into memory. libgphoto2 serves
// a file that its cache holds without calling the driver (its filesystem
// copies the cached memory file; the root folder of a cached file needs no
// listing), so this works after the cable was pulled and cannot wait for
// the camera. A photo no longer cached would reach the driver, which
// refuses the root folder (ptp2 without asking the camera). null on failure.
HeldPhoto copyOutOfCache(const CameraFilePath& record, std::uint64_t& size) {
  CameraFile* file = nullptr;
  if (state.camera == nullptr || gp_file_new(&file) < 0) return nullptr;
  HeldPhoto held(file);
  int result = gp_camera_file_get(state.camera, record.folder, record.name, GP_FILE_TYPE_NORMAL,
                                  file, state.context);
  const char* data = nullptr;
  unsigned long length = 0;
  if (result < 0 || gp_file_get_data_and_size(file, &data, &length) < 0) {
    logEvent("copy of ", rawIdentity(record), " out of libgphoto2's cache failed: ", result, " (",
             gp_result_as_string(result), ")");
    return nullptr;
  }
  size = length;
  return held;
}

// Leaves the photo queued under `key` behind: again, for one that this
// session took up, else as a new one (copied out of the cache when it is
// held there). `record` is its camera path, `capture` the capture that made
// it (0: none); `cameraFailure` whether it has just failed on the camera's
// side.
void leaveBehind(const std::string& key, const CameraFilePath& record, bool cameraFailure,
                 std::uint64_t capture) {
  LeftBehind& left = state.leftBehind;
  if (LeftPhoto* again = takenUp(key)) {
    again->queueKey.clear();
    again->cameraFailures += cameraFailure ? 1 : 0;
    logEvent("photo left behind again: ", rawIdentity(record));
    writeEvent("photoLeftBehind", photoJson(*again));
    return;
  }
  if (state.cancelled != 0) {
    giveUp(record, capture, "a signal");
    return;
  }
  LeftPhoto photo;
  photo.record = record;
  photo.camera = state.cameraIdentity;
  photo.destination = state.destination;
  photo.capture = capture;
  photo.cameraFailures = cameraFailure ? 1 : 0;
  if (!heldByLibrary(record)) {
    logEvent("photo left behind: ", rawIdentity(record), ", on the camera");
  } else {
    double began = uptimeSeconds();
    photo.bytes = copyOutOfCache(record, photo.size);
    if (photo.bytes == nullptr) {
      giveUp(record, capture, "its copy out of libgphoto2's cache failed");
      return;
    }
    left.heldBytes += photo.size;
    logEvent("photo left behind: ", rawIdentity(record), ", held in memory (", photo.size,
             " bytes, copied in ", (uptimeSeconds() - began) * 1000, " ms)");
  }
  writeEvent("photoLeftBehind", photoJson(photo));
  left.photos.push_back(std::move(photo));
}

using Photos = std::deque<LeftPhoto>;

// Removes the photo at `at`, giving it up with `reason` unless that is
// empty. Returns the photo after it.
Photos::iterator forget(Photos::iterator at, std::string_view reason) {
  if (!reason.empty()) giveUp(at->record, at->capture, reason);
  state.leftBehind.heldBytes -= at->size;
  return state.leftBehind.photos.erase(at);
}

Photos::iterator positionOf(const LeftPhoto& photo) {
  Photos& photos = state.leftBehind.photos;
  return std::find_if(photos.begin(), photos.end(),
                      [&](const LeftPhoto& candidate) { return &candidate == &photo; });
}

}  // namespace

std::string CameraBody::text() const {
  return serial ? model + ", serial " + *serial : model;
}

nlohmann::json CameraBody::json() const {
  return {{"model", model}, {"serial", serial ? nlohmann::json(*serial) : nlohmann::json()}};
}

CameraBody cameraIdentity(Camera* camera, const std::string& model, const std::string& portPath) {
  CameraBody body{model, usbSerialOf(portPath)};
  const char* source = "USB device";
  if (!body.serial) {
    body.serial = settingSerial(camera);
    source = "serialnumber setting";
  }
  logEvent("camera identity: ", body.text(), body.serial ? " (from its " : "",
           body.serial ? source : "", body.serial ? ")" : "");
  return body;
}

std::string sameFolderKey(const std::string& directory) {
  std::string key;
  for (std::size_t at = 0; at < directory.size();) {
    std::size_t end = directory.find('/', at);
    if (end == std::string::npos) end = directory.size();
    std::string_view component(directory.data() + at, end - at);
    if (!component.empty() && component != ".") {
      key += '/';
      key += component;
    }
    at = end + 1;
  }
  return key.empty() ? "/" : key;
}

nlohmann::json leftBehindJson() {
  nlohmann::json photos = nlohmann::json::array();
  for (const LeftPhoto& photo : state.leftBehind.photos) photos.push_back(photoJson(photo));
  return photos;
}

bool cameraUnplugged() {
  std::optional<UsbLocation> location = parsePortPath(state.selected);
  std::optional<UsbDeviceSet> attached = readUsbDeviceSet();
  if (!location || !attached) return false;  // cannot tell: the camera's own failure
  return std::none_of(attached->begin(), attached->end(), [&](const UsbDevice& device) {
    return device.bus == location->bus && device.address == location->address;
  });
}

void leaveBehindQueued() {
  LeftBehind& left = state.leftBehind;
  if (std::optional<FailedDownload> failed = std::exchange(left.failed, std::nullopt)) {
    leaveBehind(failed->queueKey, failed->record, failed->cameraSide, failed->capture);
  }
  for (const std::string& key : state.pendingFiles.members()) {
    if (LeftPhoto* again = takenUp(key)) {
      leaveBehind(key, again->record, false, again->capture);
    } else if (auto queued = state.pendingPaths.find(key); queued != state.pendingPaths.end()) {
      leaveBehind(key, queued->second, false, captureOf(key));
    }
  }
  for (LeftPhoto& photo : left.photos) photo.queueKey.clear();
  if (state.cancelled == 0) keepWithinBounds();
}

void takeUpLeftBehind() {
  LeftBehind& left = state.leftBehind;
  for (auto at = left.photos.begin(); at != left.photos.end();) {
    if (at->camera != state.cameraIdentity ||
        sameFolderKey(at->destination) != sameFolderKey(state.destination)) {
      ++at;
      continue;
    }
    // A card photo keeps its identity: announced again, it is not queued
    // twice, and once saved it is not saved again in this session.
    std::string key =
        at->bytes != nullptr ? heldQueueKey(++left.keysGiven) : fileIdentity(&at->record);
    if (state.pendingFiles.contains(key)) {
      at = forget(at, "");  // the same card photo, left behind twice
      continue;
    }
    state.pendingFiles.append(key);
    if (at->bytes == nullptr) {
      state.pendingPaths[key] = at->record;
      if (at->capture != 0) state.pendingCaptures[key] = at->capture;
    }
    at->queueKey = key;
    logEvent("photo taken up again: ", rawIdentity(at->record));
    ++at;
  }
}

LeftPhoto* takenUp(const std::string& queueKey) {
  auto& photos = state.leftBehind.photos;
  auto found = std::find_if(photos.begin(), photos.end(),
                            [&](const LeftPhoto& photo) { return photo.queueKey == queueKey; });
  return queueKey.empty() || found == photos.end() ? nullptr : &*found;
}

void forgetSaved(const LeftPhoto& photo) {
  if (auto at = positionOf(photo); at != state.leftBehind.photos.end()) forget(at, "");
}

bool noteFailedDownload(const std::string& queueKey, const CameraFilePath& record,
                        DownloadFault fault, std::uint64_t capture) {
  LeftPhoto* again = takenUp(queueKey);
  const char* reason = nullptr;
  if (again != nullptr && fault == DownloadFault::kNotOnCard) {
    reason = "no longer on the camera";
  } else if (again != nullptr && fault == DownloadFault::kCamera && again->cameraFailures >= 1) {
    reason = "given up after two failures on the camera's side";
  }
  if (reason != nullptr) {
    forget(positionOf(*again), reason);
    return true;
  }
  // A photo just announced that the camera cannot find is the camera's
  // failure like any other.
  state.leftBehind.failed =
      FailedDownload{queueKey, record, fault != DownloadFault::kElsewhere, capture};
  return false;
}

void giveUpLeftBehindAtExit() {
  auto& photos = state.leftBehind.photos;
  const char* reason = state.cancelled != 0 ? "a signal" : "the program ending";
  while (!photos.empty()) forget(photos.begin(), reason);
}

void keepWithinBounds(std::size_t photos, std::uint64_t heldBytes) {
  LeftBehind& left = state.leftBehind;
  std::string tooMany = "more than " + std::to_string(photos) + " photos left behind";
  while (left.photos.size() > photos) forget(left.photos.begin(), tooMany);
  std::string tooLarge =
      "more than " + std::to_string(heldBytes) + " bytes of photos held in memory";
  for (auto at = left.photos.begin(); at != left.photos.end() && left.heldBytes > heldBytes;) {
    at = at->bytes != nullptr ? forget(at, tooLarge) : at + 1;
  }
}
