#include "parameters.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "diagnostic_log.h"
#include "session.h"

const std::vector<Parameter>& parameterNames() {
  static const std::vector<Parameter> names = {
      {"exposureMode", {"expprogram", "autoexposuremode", "exposuremode"}},
      {"aperture", {"f-number", "aperture", "aperture2"}},
      {"shutterSpeed", {"shutterspeed", "shutterspeed2"}},
      {"iso", {"iso"}},
      {"exposureCompensation", {"exposurecompensation"}},
      {"whiteBalance", {"whitebalance"}},
      {"focusMode", {"focusmode", "focusmode2"}},
      {"meteringMode", {"meteringmode", "exposuremeteringmode"}},
      {"driveMode", {"drivemode", "capturemode"}},
      {"imageQuality", {"imagequality", "imageformat"}},
      {"imageSize", {"imagesize"}},
      {"battery", {"batterylevel"}},
      {"focalLength", {"focallength"}},
      {"lens", {"lensname"}},
  };
  return names;
}

namespace {

// Decodes one code point of UTF-8 starting at `i` and advances `i`. The
// text is valid UTF-8 by the time it gets here; a truncated sequence still
// never reads past the end.
char32_t decodeAt(const std::string& text, std::size_t& i) {
  auto byte = [&](std::size_t k) {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x80;
  };
  unsigned char c = byte(i);
  if (c < 0x80) {
    i += 1;
    return c;
  }
  if (c < 0xE0) {
    char32_t cp = ((c & 0x1F) << 6) | (byte(i + 1) & 0x3F);
    i = std::min(i + 2, text.size());
    return cp;
  }
  if (c < 0xF0) {
    char32_t cp = ((c & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
    i = std::min(i + 3, text.size());
    return cp;
  }
  char32_t cp = ((c & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
                (byte(i + 3) & 0x3F);
  i = std::min(i + 4, text.size());
  return cp;
}

// White space and line breaks: tab, U+000A to U+000D, U+0085 and every
// space, line or paragraph separator (Unicode general category Z).
bool trimmable(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// What settleParameters returns when it stopped to let the host's commands
// through; positive, so never a libgphoto2 failure.
constexpr int kGaveWay = 1;

// Settles each key from `read.nextKey` on from its candidates, in order,
// into `read.values`, noting which candidate settled each. `textOf(name,
// text)` looks one candidate up and sets `text` to its accepted value,
// leaving it "" when the camera has no such widget or the widget gives no
// accepted value; a negative result ends the read and is returned. Before
// every key but the first of the call it asks `giveWay`, and when that says
// so it stops, returning kGaveWay with `read` where it stopped: at least one
// key is settled each time, so that a host that never stops sending
// commands cannot starve the reads. GP_OK once every key is settled.
template <class TextOf>
int settleParameters(TextOf textOf, ParameterRead& read, const GiveWay& giveWay) {
  const std::vector<Parameter>& names = parameterNames();
  for (std::size_t first = read.nextKey; read.nextKey < names.size(); ++read.nextKey) {
    if (read.nextKey > first && giveWay()) return kGaveWay;
    const Parameter& parameter = names[read.nextKey];
    for (const char* candidate : parameter.candidates) {
      std::string text;
      int result = textOf(candidate, text);
      if (result < 0) return result;
      if (text.empty()) continue;
      read.values[parameter.key] = std::move(text);
      read.settings[parameter.key] = candidate;
      if (logging()) {
        read.sources +=
            std::string(read.sources.empty() ? "" : ", ") + parameter.key + " from " + candidate;
      }
      break;
    }
  }
  return GP_OK;
}

// Logs which setting gave each key of a finished read, naming its `road`.
void logSources(const char* road, const ParameterRead& read) {
  logEvent("parameters read ", road, ": ", read.sources.empty() ? "none" : read.sources);
}

// Reads the candidates one by one, each at the cost of the one setting; a
// name that the driver does not know costs no camera request. Gives way to
// the host between two keys (settleParameters). The result: GP_OK;
// kGaveWay; GP_ERROR_NOT_SUPPORTED when the driver refuses single access
// after all, and the whole tree must be read instead; any other negative
// result when the camera could not be read, which ends the read (what the
// next candidates would give is as unknown as a whole tree that failed).
// GP_ERROR_BAD_PARAMETERS is the drivers' and libgphoto2's answer for a
// name they do not have: the next candidate is tried.
int readSettingBySetting(ParameterRead& read, const GiveWay& giveWay) {
  const char* failed = nullptr;
  int result = settleParameters(
      [&failed](const char* name, std::string& text) {
        CameraWidget* widget = nullptr;
        int got = gp_camera_get_single_config(state.camera, name, &widget, state.context);
        if (got >= 0 && widget != nullptr) text = acceptedText(widget);
        // libgphoto2's own emulation hands over a widget even when it
        // refuses one it cannot copy.
        if (widget != nullptr) gp_widget_free(widget);
        if (got == GP_ERROR_BAD_PARAMETERS) return GP_OK;
        if (got < 0) failed = name;
        return std::min(got, 0);
      },
      read, giveWay);
  if (result == GP_OK) logSources("setting by setting", read);
  if (result < 0 && result != GP_ERROR_NOT_SUPPORTED) {
    logEvent("parameters unavailable: gp_camera_get_single_config returned ", result, " for ",
             failed);
  }
  return result;
}

// Reads the candidates from one fetch of the whole tree, which cannot be
// cut into pieces, into `read`'s values and settings; its result.
int readWholeTree(ParameterRead& read) {
  CameraWidget* root = nullptr;
  int result = gp_camera_get_config(state.camera, &root, state.context);
  if (result < 0 || root == nullptr) {
    logEvent("parameters unavailable: gp_camera_get_config returned ", result,
             root == nullptr ? " and no tree" : "");
  }
  if (result >= 0 && root != nullptr) {
    ParameterRead whole = parametersOfTree(root);
    read.values = std::move(whole.values);
    read.settings = std::move(whole.settings);
  }
  if (root != nullptr) gp_widget_free(root);
  return result;
}

// The read to carry on: the one that gave way, unless it began so long ago
// that its first values could have changed before a fresh read would take
// them anyway; else a fresh one.
ParameterRead readToCarryOn() {
  SteadyClock::time_point now = state.timers.now();
  std::optional<ParameterRead> paused = std::exchange(state.parameterRead, std::nullopt);
  if (paused && now - paused->began < kParameterReadInterval) return std::move(*paused);
  ParameterRead fresh;
  fresh.began = now;
  return fresh;
}

}  // namespace

bool singleSettingAccess(Camera* camera) {
  // Only the driver's function table (public in gphoto2-camera.h) tells; it
  // is read, never written.
  return camera->functions != nullptr && camera->functions->get_single_config != nullptr;
}

std::string acceptedText(CameraWidget* widget) {
  return acceptedText(widgetText(widget));
}

std::string acceptedText(const std::string& text) {
  std::string trimmed = trimmedText(text);
  std::size_t units = utf16Length(trimmed);
  return units >= 1 && units <= kMaxValueUnits ? trimmed : "";
}

bool showSettingValue(const std::string& setting, const std::string& text) {
  if (text.empty()) return false;
  bool changed = false;
  for (const auto& [key, source] : state.parameterSettings) {
    if (source != setting) continue;
    std::string& shown = state.cameraParameters[key];
    changed = changed || shown != text;
    shown = text;
  }
  if (state.parameterRead) {
    for (const auto& [key, source] : state.parameterRead->settings) {
      if (source == setting) state.parameterRead->values[key] = text;
    }
  }
  return changed;
}

std::string widgetText(CameraWidget* widget) {
  CameraWidgetType type;
  if (gp_widget_get_type(widget, &type) < 0) return "";
  switch (type) {
    case GP_WIDGET_TEXT:
    case GP_WIDGET_RADIO:
    case GP_WIDGET_MENU: {
      const char* value = nullptr;
      if (gp_widget_get_value(widget, &value) < 0) return "";
      return utf8OrEmpty(value);
    }
    case GP_WIDGET_RANGE: {
      float value = 0;
      if (gp_widget_get_value(widget, &value) < 0) return "";
      return rangeText(value);
    }
    default:
      return "";
  }
}

std::string rangeText(float value) {
  if (!std::isfinite(value)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  return text;
}

std::string trimmedText(const std::string& text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!trimmable(decodeAt(text, next))) break;
    begin = next;
  }
  std::size_t end = begin;  // one past the last byte that is kept
  for (std::size_t i = begin; i < text.size();) {
    bool trim = trimmable(decodeAt(text, i));
    if (!trim) end = i;
  }
  return text.substr(begin, end - begin);
}

std::size_t utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++units;  // a lead byte starts a code point
    if (c >= 0xF0) ++units;           // beyond the BMP: a surrogate pair
  }
  return units;
}

ParameterRead parametersOfTree(CameraWidget* root) {
  ParameterRead read;
  settleParameters(
      [root](const char* name, std::string& text) {
        CameraWidget* widget = nullptr;
        if (gp_widget_get_child_by_name(root, name, &widget) >= 0 && widget != nullptr) {
          text = acceptedText(widget);
        }
        return GP_OK;
      },
      read, [] { return false; });
  logSources("from the whole tree", read);
  return read;
}

void storeParameterRead(bool fetched, std::map<std::string, std::string> values,
                        std::map<std::string, std::string> settings) {
  bool unavailable = !fetched || values.empty();
  bool changed =
      state.cameraParametersUnavailable != unavailable || state.cameraParameters != values;
  state.cameraParameters = std::move(values);
  state.parameterSettings = std::move(settings);
  state.cameraParametersUnavailable = unavailable;
  state.timers.setAfter(Timer::kParameterRead,
                        unavailable ? kParameterRetryInterval : kParameterReadInterval);
  if (changed) emit();
}

void readCameraParameters(const GiveWay& giveWay) {
  if (state.camera == nullptr) return;
  if (state.timers.waiting(Timer::kParameterRead)) return;
  // A whole tree cannot give way to the next frame: while live view is on
  // it waits for the end of it.
  auto putOff = [] {
    logEvent("parameters read put off: a whole tree waits for the end of live view");
    state.timers.setAfter(Timer::kParameterRead, kParameterReadInterval);
  };
  bool single = singleSettingAccess(state.camera);
  if (!single && state.liveView) return putOff();
  ParameterRead read = readToCarryOn();
  int result = single ? readSettingBySetting(read, giveWay) : GP_ERROR_NOT_SUPPORTED;
  if (result == kGaveWay) {
    logEvent("parameters read gives way to the host after ", read.nextKey, " of ",
             parameterNames().size(), " keys");
    // `giveWay` may have closed the camera (an input overrun): then the
    // read is over.
    if (state.camera != nullptr) state.parameterRead = std::move(read);
    return;
  }
  if (result == GP_ERROR_NOT_SUPPORTED) {
    if (state.liveView) return putOff();
    read.values.clear();
    read.settings.clear();
    result = readWholeTree(read);
  }
  // A read that failed part way fetched nothing the host can rely on.
  if (result < 0) {
    read.values.clear();
    read.settings.clear();
  }
  storeParameterRead(result >= 0, std::move(read.values), std::move(read.settings));
}
