#include "session.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diagnostic_log.h"
#include "json_text.h"
#include "memory.h"

SessionState state;

namespace {

int statusFd = STDOUT_FILENO;

void writeAll(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the host stopped reading; nothing to be done
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void OrderedSet::append(const std::string& member) {
  if (members_.insert(member).second) order_.push_back(member);
}

void OrderedSet::popFront() {
  members_.erase(order_.front());
  order_.pop_front();
}

void OrderedSet::clear() {
  order_.clear();
  members_.clear();
}

std::string utf8OrEmpty(const char* text) {
  if (text == nullptr) return "";
  std::size_t n = std::strlen(text);
  if (!validUtf8({text, n})) return "";
  return std::string(text, n);
}

std::string utf8OrEmpty(const char* field, std::size_t capacity) {
  if (field == nullptr) return "";
  const void* end = std::memchr(field, '\0', capacity);
  if (end == nullptr) return "";
  std::size_t n = static_cast<std::size_t>(static_cast<const char*>(end) - field);
  if (!validUtf8({field, n})) return "";
  return std::string(field, n);
}

nlohmann::json statusSnapshot() {
  nlohmann::json cameras = nlohmann::json::array();
  for (const CameraEntry& entry : state.devices) {
    cameras.push_back({{"id", entry.id},
                       {"name", entry.name},
                       {"linkMbps", jsonNumber<nlohmann::json>(entry.linkMbps)}});
  }
  nlohmann::json parameters = nlohmann::json::object();
  for (const auto& [key, value] : state.cameraParameters) parameters[key] = value;

  std::uint64_t pending = state.pendingFiles.size() + (state.transferring ? 1 : 0);
  return {
      {"phase", state.phase},
      {"error", state.failure},
      {"cameraId", state.selected},
      {"canCapture", state.canCapture},
      {"pendingCount", pending},
      {"lastTransfer", state.lastTransfer},
      {"count", state.saved},
      {"lastFile", state.lastFile},
      {"cameras", cameras},
      {"cameraParameters", parameters},
      {"cameraParametersUnavailable", state.cameraParametersUnavailable},
      {"backend", "libgphoto2"},
      {"libraryVersion", libraryVersion()},
  };
}

std::string libraryVersion() {
  const char** version = gp_library_version(GP_VERSION_SHORT);
  return utf8OrEmpty(version == nullptr ? nullptr : version[0]);
}

void emit() {
  writeLine(statusSnapshot());
}

bool askedToLeave() {
  if (!state.quickStopWaiting && state.lookForQuickStop) {
    state.quickStopWaiting = state.lookForQuickStop();
  }
  return state.quickStopWaiting;
}

void writeLine(const nlohmann::json& line) {
  // SIGTERM/SIGINT ends the program without another line, whatever the
  // iteration in progress still finishes: the host that sent it has
  // stopped listening.
  if (state.cancelled != 0) return;
  // Every string in the state is valid UTF-8 by construction; replacing
  // anything else keeps a stray byte from costing the host its line.
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text.push_back('\n');
  writeAll(statusFd, text);
}

void setStatusOutput(int fd) {
  statusFd = fd < 0 ? STDOUT_FILENO : fd;
}

bool check(int result, const char* call) {
  if (result >= 0) return true;
  logEvent("failed: ", call, " returned ", result, " (", gp_result_as_string(result), ") in phase ",
           state.phase, state.cancelled != 0 ? " after a signal" : "");
  if (state.cancelled != 0) {
    // SIGTERM/SIGINT made libgphoto2 give up: the host asked us to quit, so
    // this is no failure to report. Close quietly; the loop ends next.
    closeCamera();
    return false;
  }
  failSession(
      result == GP_ERROR_IO_USB_CLAIM ? kCameraBusy : utf8OrEmpty(gp_result_as_string(result)),
      result);
  return false;
}

void failSession(const std::string& text, std::optional<int> code) {
  logEvent("session fails in phase ", state.phase, ": ", text);
  state.failure = text;
  state.failureCode = code;
  state.phase = "error";
  closeCamera();
  emit();
}

void closeCamera() {
  // While the camera is open: the viewfinder goes back as it was.
  endLiveView(state.cancelled != 0     ? LiveViewEnd::kSignal
              : state.phase == "error" ? LiveViewEnd::kFailure
                                       : LiveViewEnd::kCameraClosed);
  // While the camera is open: photos of libgphoto2's cache go with it.
  leaveBehindQueued();
  if (state.camera != nullptr) {
    gp_camera_exit(state.camera, state.context);
    gp_camera_free(state.camera);
    state.camera = nullptr;
    handBackFreedMemory();  // the photos of libgphoto2's cache among it
  }
  // The photos of captures still in flight may be on the card, or lost
  // with the camera's memory.
  loseCapturesInFlight(state.phase == "error" ? "a failure closed the camera"
                                              : "the camera closed");
  state.pendingFiles.clear();
  state.pendingPaths.clear();
  state.pendingCaptures.clear();
  state.transferring = false;
  state.selected.clear();
  state.canCapture = false;
  state.operations = 0;
  state.canTrigger = false;
  state.sonyCaptureNames = false;
  state.cameraIdentity = CameraBody{};
  state.cameraParameters.clear();
  state.parameterSettings.clear();
  state.singleSettingRefused = false;
  state.cameraParametersUnavailable = false;
  state.timers.cancel(Timer::kParameterRead);
  state.timers.cancel(Timer::kEventWait);
  state.pace = EventPace{};
  state.parameterRead.reset();
  state.lastCapturePhoto.reset();
  state.lastTrigger.reset();
}
