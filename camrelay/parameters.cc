#include "parameters.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "diagnostic_log.h"
#include "session.h"

namespace {

struct Parameter {
  const char* key;
  std::vector<const char*> candidates;  // widget names, most wanted first
};

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

constexpr std::size_t kMaxValueUnits = 512;
constexpr auto kReadInterval = std::chrono::seconds(3);
constexpr auto kUnavailableInterval = std::chrono::seconds(15);

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

// The text that a widget yields, trimmed, when it is acceptable as a value.
std::string acceptedText(CameraWidget* widget) {
  std::string text = trimmedText(widgetText(widget));
  std::size_t units = utf16Length(text);
  return units >= 1 && units <= kMaxValueUnits ? text : "";
}

}  // namespace

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

std::map<std::string, std::string> parameterValues(CameraWidget* root) {
  std::map<std::string, std::string> values;
  std::string sources;  // "key from widget" for the diagnostic log
  for (const Parameter& parameter : parameterNames()) {
    for (const char* candidate : parameter.candidates) {
      CameraWidget* widget = nullptr;
      if (gp_widget_get_child_by_name(root, candidate, &widget) < 0 || widget == nullptr) continue;
      std::string text = acceptedText(widget);
      if (text.empty()) continue;
      values[parameter.key] = std::move(text);
      if (logging()) {
        sources += std::string(sources.empty() ? "" : ", ") + parameter.key + " from " + candidate;
      }
      break;
    }
  }
  logEvent("parameters read: ", sources.empty() ? "none" : sources);
  return values;
}

void storeParameterRead(bool fetched, std::map<std::string, std::string> values) {
  bool unavailable = !fetched || values.empty();
  bool changed =
      state.cameraParametersUnavailable != unavailable || state.cameraParameters != values;
  state.cameraParameters = std::move(values);
  state.cameraParametersUnavailable = unavailable;
  state.nextParameterRead = WallClock::now() + (unavailable ? kUnavailableInterval : kReadInterval);
  if (changed) emit();
}

void readCameraParameters() {
  if (state.camera == nullptr) return;
  if (state.nextParameterRead && *state.nextParameterRead > WallClock::now()) return;
  CameraWidget* root = nullptr;
  int result = gp_camera_get_config(state.camera, &root, state.context);
  if (result < 0 || root == nullptr) {
    logEvent("parameters unavailable: gp_camera_get_config returned ", result,
             root == nullptr ? " and no tree" : "");
  }
  std::map<std::string, std::string> values;
  if (result >= 0 && root != nullptr) values = parameterValues(root);
  if (root != nullptr) gp_widget_free(root);
  storeParameterRead(result >= 0, std::move(values));
}
