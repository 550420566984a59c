#include "live_view.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "diagnostic_log.h"
#include "file_system.h"
#include "jpeg_size.h"
#include "parameters.h"
#include "session.h"

namespace {

// Temporary frame files start with it, beside the frame file: hidden, and
// never a name that a host would give its own file.
constexpr const char* kFramePrefix = ".lumetra-frame-";
// The driver's setting for live view on the camera's side (the mirror up).
constexpr const char* kViewfinder = "viewfinder";
// How often a long live view notes its rate in the log.
constexpr auto kReportInterval = std::chrono::seconds(60);

using Milliseconds = std::chrono::duration<double, std::milli>;
using Seconds = std::chrono::duration<double>;

// What the camera answered to one preview call.
struct FrameAnswer {
  enum class Kind {
    kFrame,          // a frame, in the live view's file
    kBusy,           // GP_ERROR_CAMERA_BUSY, or ptp2's Nikon road's empty frame
    kNotSupported,   // GP_ERROR_NOT_SUPPORTED: no live view
    kFailed,         // any other failure while the camera is still there
    kCameraFailure,  // the port failing, or the camera gone: the failure road
    kCancelled,      // SIGTERM/SIGINT cut it short
  };
  Kind kind = Kind::kFrame;
  int result = GP_OK;
  std::string text;  // the driver's words, or libgphoto2's for the result
  SteadyClock::time_point began;
  SteadyClock::time_point returned;
};

FrameAnswer askForFrame(LiveView& view) {
  FrameAnswer answer;
  gp_file_clean(view.file.get());
  state.contextError.clear();
  answer.began = SteadyClock::now();
  answer.result = gp_camera_capture_preview(state.camera, view.file.get(), state.context);
  answer.returned = SteadyClock::now();
  view.cameraTime += answer.returned - answer.began;
  using Kind = FrameAnswer::Kind;
  if (state.cancelled != 0) {
    answer.kind = Kind::kCancelled;
    return answer;
  }
  if (answer.result >= 0) {
    const char* data = nullptr;
    unsigned long size = 0;
    gp_file_get_data_and_size(view.file.get(), &data, &size);
    if (size > 0) return answer;
    // ptp2's Nikon road answers a camera that stayed busy through its 20
    // tries with success and no data.
    answer.kind = Kind::kBusy;
    answer.result = GP_ERROR_CAMERA_BUSY;
    answer.text = "the camera gave an empty frame";
    return answer;
  }
  answer.kind = answer.result == GP_ERROR_CAMERA_BUSY     ? Kind::kBusy
                : cameraFailure(answer.result)            ? Kind::kCameraFailure
                : answer.result == GP_ERROR_NOT_SUPPORTED ? Kind::kNotSupported
                                                          : Kind::kFailed;
  answer.text = !state.contextError.empty() ? state.contextError
                                            : utf8OrEmpty(gp_result_as_string(answer.result));
  return answer;
}

std::string systemText() {
  return utf8OrEmpty(std::strerror(errno));
}

// Writes the frame in the live view's file to the frame file, through a
// temporary file in its folder (opened afresh for each frame, so that the
// frames follow the path the host reads). No fsync: a frame lives for a
// fraction of a second, and a crash that lost the last one loses nothing
// the camera cannot give again. The operating system's words when it
// failed; whatever happened, no temporary file stays behind.
std::optional<std::string> writeFrame(const LiveView& view, const char* data, std::size_t size) {
  Folder folder(view.folder);
  if (!folder.isOpen()) return systemText();
  TemporaryFile temporary = folder.createFile(kFramePrefix + randomUuid());
  if (!temporary.isOpen()) return systemText();
  if (!writeWhole(temporary.descriptor(), data, size)) return systemText();
  if (!temporary.commitReplacing(view.name)) return systemText();
  return std::nullopt;
}

// Writes the frame that the live view's file holds, and its event. The
// operating system's words when the frame file could not be written.
std::optional<std::string> deliverFrame(LiveView& view, const FrameAnswer& answer) {
  const char* data = nullptr;
  unsigned long size = 0;
  gp_file_get_data_and_size(view.file.get(), &data, &size);
  if (std::optional<std::string> failed = writeFrame(view, data, size)) return failed;
  ++view.frames;
  nlohmann::json fields = {{"seq", view.frames}, {"bytes", size}};
  if (std::optional<PixelSize> pixels =
          jpegPixelSize(reinterpret_cast<const unsigned char*>(data), size)) {
    fields["width"] = pixels->width;
    fields["height"] = pixels->height;
  }
  writeEvent("frame", std::move(fields));
  view.ownTime += SteadyClock::now() - answer.returned;
  return std::nullopt;
}

// The driver's "viewfinder" toggle, read by itself: 0 off, else on; nothing
// when the driver has none. Drivers that cannot read one setting by itself
// (libgphoto2 would fetch the whole tree for it) are not asked: ptp2, whose
// preview turns the viewfinder on, reads one.
std::optional<int> readViewfinder() {
  if (state.camera == nullptr || !singleSettingAccess(state.camera)) return std::nullopt;
  CameraWidget* widget = nullptr;
  int result = gp_camera_get_single_config(state.camera, kViewfinder, &widget, state.context);
  std::optional<int> value;
  CameraWidgetType type;
  int on = 0;
  if (result >= 0 && widget != nullptr && gp_widget_get_type(widget, &type) >= 0 &&
      type == GP_WIDGET_TOGGLE && gp_widget_get_value(widget, &on) >= 0) {
    value = on;
  }
  if (widget != nullptr) gp_widget_free(widget);
  return value;
}

// Puts the viewfinder back to `before` when it is no longer so: one read,
// and one write where it changed. A failure is only logged: the camera's
// next call finds a camera that is gone, and closing the camera ends a
// driver's live view as well.
void restoreViewfinder(int before) {
  CameraWidget* widget = nullptr;
  int result = gp_camera_get_single_config(state.camera, kViewfinder, &widget, state.context);
  int now = 0;
  if (result >= 0 && widget != nullptr) result = gp_widget_get_value(widget, &now);
  if (result >= 0 && (now != 0) != (before != 0)) {
    int wanted = before != 0 ? 1 : 0;
    result = gp_widget_set_value(widget, &wanted);
    if (result >= 0) {
      result = gp_camera_set_single_config(state.camera, kViewfinder, widget, state.context);
    }
    logEvent("live view: viewfinder turned ", wanted != 0 ? "on" : "off",
             " again: ", result >= 0 ? "done" : gp_result_as_string(result));
  } else if (result < 0) {
    logEvent("live view: viewfinder not read at the end: ", result, " (",
             gp_result_as_string(result), ")");
  }
  if (widget != nullptr) gp_widget_free(widget);
}

// Takes the live view out of the state, puts the viewfinder back (unless
// the camera cannot be told any more) and logs what it came to.
LiveView takeOut(bool cameraReachable, const char* why) {
  LiveView view = std::move(*state.liveView);
  state.liveView.reset();
  state.timers.cancel(Timer::kLiveViewFrame);
  if (state.camera != nullptr && cameraReachable && view.viewfinderBefore) {
    restoreViewfinder(*view.viewfinderBefore);
  }
  if (logging()) {
    double seconds = Seconds(SteadyClock::now() - view.began).count();
    double frames = static_cast<double>(view.frames);
    auto perFrame = [&view](SteadyClock::duration spent) {
      return view.frames == 0 ? 0.0
                              : Milliseconds(spent).count() / static_cast<double>(view.frames);
    };
    logEvent("live view ends (", why, "): ", view.frames, " frames in ", seconds, " s, ",
             seconds > 0 ? frames / seconds : 0.0, " a second; ", view.skipped,
             " answers skipped; ", perFrame(view.cameraTime), " ms in the camera and ",
             perFrame(view.ownTime), " ms of camrelay's own a frame");
  }
  return view;
}

bool portFailure(int result) {
  // libgphoto2's port library gives the results from GP_ERROR_IO down to
  // GP_ERROR_HAL; GP_ERROR_FIXED_LIMIT_EXCEEDED among them is no port's.
  return result <= GP_ERROR_IO && result >= GP_ERROR_HAL && result != GP_ERROR_FIXED_LIMIT_EXCEEDED;
}

// Whether the camera can still be told anything when live view ends for
// `reason`: not once its USB device has gone, nor after a failure of its
// port, which would only fail again (slowly, for a camera that hangs).
bool reachable(LiveViewEnd reason) {
  if (cameraUnplugged()) return false;
  return reason != LiveViewEnd::kFailure || !state.failureCode || !portFailure(*state.failureCode);
}

// Where the frame file would go: an absolute path of a file that is not
// in the photos folder, in a folder that exists. Why not, or nothing.
std::optional<std::string> pathProblem(const std::string& path, std::string& folder,
                                       std::string& name) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
    return "the frame file's path must be absolute";
  }
  std::size_t slash = path.rfind('/');
  folder = slash == 0 ? "/" : path.substr(0, slash);
  name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return "the path names a folder";
  switch (pathKind(folder)) {
    case PathKind::kFolder:
      break;
    case PathKind::kMissing:
      return "the frame file's folder does not exist";
    default:
      return "the frame file's folder is not a folder";
  }
  switch (pathKind(path)) {
    case PathKind::kMissing:
    case PathKind::kFile:
      break;
    case PathKind::kFolder:
      return "the path names a folder";
    case PathKind::kOther:
      return "the path names something that is not a file";
  }
  // A frame replaces the file P whatever it holds: it must never be a photo.
  if (!state.destination.empty() && sameFile(folder, state.destination)) {
    return "the frame file may not be in the folder that photos are saved into";
  }
  return std::nullopt;
}

void noteFailedAnswer(LiveView& view, const FrameAnswer& answer) {
  ++view.skipped;
  if (!view.failingSince) {
    view.failingSince = answer.began;
    logEvent("live view frame skipped: ", answer.result, " (", answer.text, ")");
  }
  view.lastFailure = answer.result;
  view.lastFailureText = answer.text;
}

void noteFrame(LiveView& view) {
  if (view.failingSince) {
    logEvent("live view frames again after ", view.skipped, " skipped answer(s) in all");
    view.failingSince.reset();
  }
}

}  // namespace

const char* liveViewEndName(LiveViewEnd reason) {
  switch (reason) {
    case LiveViewEnd::kOff:
      return "off";
    case LiveViewEnd::kStop:
      return "stop";
    case LiveViewEnd::kInputEnded:
      return "inputEnded";
    case LiveViewEnd::kBusy:
      return "busy";
    case LiveViewEnd::kFrameFailed:
      return "frameFailed";
    case LiveViewEnd::kWriteFailed:
      return "writeFailed";
    case LiveViewEnd::kFailure:
      return "failure";
    case LiveViewEnd::kCameraClosed:
      return "cameraClosed";
    case LiveViewEnd::kSignal:
      return "signal";
  }
  return "cameraClosed";
}

bool cameraFailure(int result) {
  return portFailure(result) || cameraUnplugged();
}

std::optional<std::string> fpsProblem(const nlohmann::json& command) {
  auto fps = command.find("fps");
  if (fps == command.end()) return std::nullopt;
  if (!fps->is_number()) return "field \"fps\" must be a number";
  double value = fps->get<double>();
  if (value > 0 && value <= kMaxFps) return std::nullopt;
  char text[64];
  std::snprintf(text, sizeof text, "field \"fps\" must be above 0 and at most %g", kMaxFps);
  return text;
}

SteadyClock::time_point nextFrameDue(SteadyClock::time_point due, SteadyClock::time_point began,
                                     SteadyClock::duration interval) {
  if (began - due < interval) return due + interval;
  return began + interval;
}

bool liveViewFrameDue() {
  return state.liveView && state.timers.due(Timer::kLiveViewFrame);
}

int msUntilFrame() {
  if (!state.liveView) return -1;
  return state.timers.waitMs({Timer::kLiveViewFrame});
}

Answer handleLiveView(const nlohmann::json& command) {
  if (!command.at("on").get<bool>()) {
    endLiveView(LiveViewEnd::kOff);
    return Answer::ok();
  }
  auto path = command.find("path");
  if (path == command.end()) return Answer::refused(kInvalidField, "missing field \"path\"");
  if (std::optional<std::string> problem = fpsProblem(command)) {
    return Answer::refused(kInvalidField, *problem);
  }
  if (state.camera == nullptr) return Answer::refused(kNoCamera, "no camera is open");
  if (state.liveView) return Answer::refused(kLiveViewOn, "live view is on already");
  LiveView view;
  view.path = path->get<std::string>();
  if (std::optional<std::string> problem = pathProblem(view.path, view.folder, view.name)) {
    return Answer::refused(kInvalidPath, *problem);
  }
  if ((state.operations & GP_OPERATION_CAPTURE_PREVIEW) == 0) {
    return Answer::refused(kNotSupported, "the camera has no live view");
  }
  CameraFile* file = nullptr;
  if (int made = gp_file_new(&file); made < 0) {
    return Answer::refused(kLiveViewFailed, utf8OrEmpty(gp_result_as_string(made)), made);
  }
  view.file.reset(file);
  view.fps = command.value("fps", kDefaultFps);
  view.interval = std::chrono::duration_cast<SteadyClock::duration>(Seconds(1 / view.fps));
  view.viewfinderBefore = readViewfinder();
  view.began = SteadyClock::now();
  logEvent("live view starts: ", view.path, ", up to ", view.fps, " frames a second, viewfinder ",
           !view.viewfinderBefore        ? "none"
           : *view.viewfinderBefore != 0 ? "on"
                                         : "off");
  state.liveView = std::move(view);

  LiveView& started = *state.liveView;
  FrameAnswer answer = askForFrame(started);
  using Kind = FrameAnswer::Kind;
  if (answer.kind == Kind::kCameraFailure) {
    // Never begun for the host: the failure's reply and line say it all.
    takeOut(false, "failure");
    check(answer.result, "gp_camera_capture_preview");
    return failureAnswer();
  }
  std::optional<std::string> unwritten;
  if (answer.kind == Kind::kFrame) unwritten = deliverFrame(started, answer);
  if (answer.kind != Kind::kFrame || unwritten) {
    takeOut(true, "no first frame");
    switch (answer.kind) {
      case Kind::kFrame:
        return Answer::refused(kWriteFailed, "the frame file cannot be written: " + *unwritten);
      case Kind::kNotSupported:
        return Answer::refused(kNotSupported, answer.text, answer.result);
      case Kind::kBusy:
        return Answer::refused(kLiveViewBusy, "the camera is busy: " + answer.text, answer.result);
      default:
        return Answer::refused(kLiveViewFailed, answer.text, answer.result);
    }
  }
  started.lastReport = answer.began;
  started.due = answer.began + started.interval;
  state.timers.setAt(Timer::kLiveViewFrame, started.due);
  return Answer::ok({{"fps", started.fps}});
}

int takeLiveViewFrame() {
  if (!state.liveView || state.camera == nullptr) return GP_OK;
  LiveView& view = *state.liveView;
  SteadyClock::time_point due = view.due;
  FrameAnswer answer = askForFrame(view);
  view.due = nextFrameDue(due, answer.began, view.interval);
  state.timers.setAt(Timer::kLiveViewFrame, view.due);
  using Kind = FrameAnswer::Kind;
  switch (answer.kind) {
    case Kind::kCancelled:
      return GP_OK;
    case Kind::kCameraFailure:
      return answer.result;
    case Kind::kFrame:
      if (std::optional<std::string> unwritten = deliverFrame(view, answer)) {
        endLiveView(LiveViewEnd::kWriteFailed, *unwritten);
        return GP_OK;
      }
      noteFrame(view);
      if (logging() && answer.returned - view.lastReport >= kReportInterval) {
        double seconds = Seconds(answer.returned - view.lastReport).count();
        logEvent("live view: ", view.frames, " frames so far, ",
                 static_cast<double>(view.frames - view.framesAtReport) / seconds,
                 " a second in the last ", seconds, " s");
        view.lastReport = answer.returned;
        view.framesAtReport = view.frames;
      }
      return GP_OK;
    default:
      noteFailedAnswer(view, answer);
      if (answer.returned - *view.failingSince >= kFailingFramesLimit) {
        endLiveView(answer.kind == Kind::kBusy ? LiveViewEnd::kBusy : LiveViewEnd::kFrameFailed,
                    answer.text);
      }
      return GP_OK;
  }
}

void endLiveView(LiveViewEnd reason, const std::string& text) {
  if (!state.liveView) return;
  LiveView view = takeOut(reachable(reason), liveViewEndName(reason));
  if (reason == LiveViewEnd::kSignal) return;
  nlohmann::json fields = {{"reason", liveViewEndName(reason)}, {"frames", view.frames}};
  if (!text.empty()) fields["text"] = text;
  if (reason == LiveViewEnd::kBusy || reason == LiveViewEnd::kFrameFailed) {
    fields["code"] = view.lastFailure;
  }
  writeEvent("liveViewEnded", std::move(fields));
}
