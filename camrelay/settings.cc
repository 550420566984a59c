#include "settings.h"

#include <string_view>
#include <utility>
#include <vector>

#include "busy_retry.h"
#include "capture_target.h"
#include "diagnostic_log.h"
#include "json_text.h"
#include "left_behind.h"
#include "parameters.h"
#include "session.h"
#include "setting_values.h"

namespace {

// How ptp2 names PTP's DeviceBusy in its words on a failed write.
constexpr std::string_view kDeviceBusyWords = "(0x2019:";

// Retrying gives way to a command that waits, and to a request to quit.
std::function<bool()> giveWay() {
  return [] { return state.cancelled != 0 || (state.commandWaiting && state.commandWaiting()); };
}

// One camera call, with the driver's words on it collected afresh.
int cameraCall(const std::function<int()>& call) {
  state.contextError.clear();
  state.contextErrors.clear();
  return call();
}

// Whether settings are read and written as one tree: the driver has no
// single-setting access, or refused it.
bool treeRoad() {
  return !singleSettingAccess(state.camera) || state.singleSettingRefused;
}

// Reads settings of the open camera for one command, and owns the widgets
// it read. Busy answers are tried again within the command's budget.
class SettingReader {
 public:
  explicit SettingReader(BusyRetry& retry) : retry_(retry) {}
  ~SettingReader() {
    for (CameraWidget* widget : owned_) gp_widget_free(widget);
  }
  SettingReader(const SettingReader&) = delete;
  SettingReader& operator=(const SettingReader&) = delete;

  // Reads the setting `name` into `widget`: GP_OK; GP_ERROR_BAD_PARAMETERS
  // when the camera has no such setting (or none at all); else the failure
  // (or the busy answer) as it came. One single-setting read; on the tree
  // road, one fetch of the tree for all the reads of the command.
  int read(const std::string& name, CameraWidget*& widget) {
    widget = nullptr;
    if (!treeRoad()) {
      int result = retry_.run(
          [&] {
            CameraWidget* got = nullptr;
            int answer = cameraCall([&] {
              return gp_camera_get_single_config(state.camera, name.c_str(), &got, state.context);
            });
            // libgphoto2's own emulation hands over a widget even when it
            // refuses one it cannot copy.
            if (got != nullptr) owned_.push_back(got);
            if (answer >= GP_OK) widget = got;
            return answer;
          },
          busyAnswer);
      if (result != GP_ERROR_NOT_SUPPORTED) {
        return result >= GP_OK && widget == nullptr ? GP_ERROR_BAD_PARAMETERS : result;
      }
      logEvent("the driver refuses single-setting access: settings go through the whole tree");
      state.singleSettingRefused = true;
    }
    CameraWidget* root = nullptr;
    int result = tree(root);
    if (result == GP_ERROR_NOT_SUPPORTED || (result >= GP_OK && root == nullptr)) {
      return GP_ERROR_BAD_PARAMETERS;  // a driver without settings
    }
    if (result < GP_OK) return result;
    if (gp_widget_get_child_by_name(root, name.c_str(), &widget) < GP_OK || widget == nullptr) {
      widget = nullptr;
      return GP_ERROR_BAD_PARAMETERS;
    }
    return GP_OK;
  }

  // The camera's whole configuration, fetched once for the command.
  int tree(CameraWidget*& root) {
    if (root_ == nullptr) {
      int result = retry_.run(
          [&] {
            CameraWidget* got = nullptr;
            int answer =
                cameraCall([&] { return gp_camera_get_config(state.camera, &got, state.context); });
            if (got != nullptr) owned_.push_back(got);
            if (answer >= GP_OK) root_ = got;
            return answer;
          },
          busyAnswer);
      if (result < GP_OK) return result;
    }
    root = root_;
    return GP_OK;
  }

 private:
  BusyRetry& retry_;
  std::vector<CameraWidget*> owned_;
  CameraWidget* root_ = nullptr;
};

// The answer to a settings call that failed: busy (after the retry) is a
// refusal that keeps the session; anything else takes the failure road.
Answer failedCall(int result, const char* call) {
  if (busyAnswer(result) && state.cancelled == 0 && !cameraUnplugged()) {
    logEvent(call, " found the camera busy until the retry gave up");
    return Answer::refused(kSettingBusy, "the camera is busy: try again", result);
  }
  check(result, call);
  return failureAnswer();
}

Answer unknownSetting(const std::string& key) {
  return Answer::refused(kUnknownSetting, "the camera has no setting \"" + key + "\"");
}

// The setting that a "set" of `key` means, read from the camera.
struct Found {
  std::string name;
  CameraWidget* widget = nullptr;
};

// Finds the setting of `key`, or gives the answer that ends the command.
std::optional<Answer> findSetting(const std::string& key, SettingReader& reader, Found& found) {
  std::vector<std::string> names;
  const Parameter* parameter = nullptr;
  for (const Parameter& known : parameterNames()) {
    if (key == known.key) parameter = &known;
  }
  if (parameter != nullptr) {
    // The setting that settled the key in the last read comes first; else
    // the candidates in the read's own order and by its own rule.
    auto settled = state.parameterSettings.find(key);
    if (settled != state.parameterSettings.end()) names.push_back(settled->second);
    for (const char* candidate : parameter->candidates) names.emplace_back(candidate);
  } else {
    names.push_back(key == kCaptureTargetKey ? kCaptureTargetSetting : key);
  }
  for (const std::string& name : names) {
    CameraWidget* widget = nullptr;
    int result = reader.read(name, widget);
    if (result == GP_ERROR_BAD_PARAMETERS) continue;
    if (result < GP_OK) return failedCall(result, "gp_camera_get_single_config");
    if (!settingKind(widget) || (parameter != nullptr && acceptedText(widget).empty())) continue;
    found = {name, widget};
    return std::nullopt;
  }
  return unknownSetting(key);
}

// Copies the value of `from` into `to`, a widget of the same type.
int copyValue(CameraWidget* from, CameraWidget* to) {
  CameraWidgetType type;
  int result = gp_widget_get_type(from, &type);
  if (result < GP_OK) return result;
  switch (type) {
    case GP_WIDGET_RANGE: {
      float value = 0;
      if ((result = gp_widget_get_value(from, &value)) < GP_OK) return result;
      return gp_widget_set_value(to, &value);
    }
    case GP_WIDGET_TOGGLE:
    case GP_WIDGET_DATE: {
      int value = 0;
      if ((result = gp_widget_get_value(from, &value)) < GP_OK) return result;
      return gp_widget_set_value(to, &value);
    }
    default: {
      const char* value = nullptr;
      if ((result = gp_widget_get_value(from, &value)) < GP_OK) return result;
      return gp_widget_set_value(to, value);
    }
  }
}

// Writes `widget` as the setting `name`: one single-setting write (which
// libgphoto2 carries out through the whole tree for a driver without one);
// for a driver that refused single access, the whole tree with the one
// setting changed.
int writeSetting(const std::string& name, CameraWidget* widget) {
  return cameraCall([&] {
    if (!state.singleSettingRefused) {
      return gp_camera_set_single_config(state.camera, name.c_str(), widget, state.context);
    }
    CameraWidget* root = nullptr;
    CameraWidget* child = nullptr;
    int result = gp_camera_get_config(state.camera, &root, state.context);
    if (result >= GP_OK && root == nullptr) result = GP_ERROR_BAD_PARAMETERS;
    if (result >= GP_OK) result = gp_widget_get_child_by_name(root, name.c_str(), &child);
    if (result >= GP_OK) result = copyValue(widget, child);
    if (result >= GP_OK) {
      gp_widget_set_changed(child, 1);
      result = gp_camera_set_config(state.camera, root, state.context);
    }
    if (root != nullptr) gp_widget_free(root);
    return result;
  });
}

// The driver's first words on the last call (ptp2 gives the camera's reason
// first and its own last words after it), or libgphoto2's text.
std::string driverWords(int result) {
  return state.contextErrors.empty() ? utf8OrEmpty(gp_result_as_string(result))
                                     : state.contextErrors.front();
}

// The answer to a write that failed. A camera that refuses the value while
// it still answers keeps the session.
Answer failedWrite(int result, const std::string& name) {
  bool answered = state.cancelled == 0 && !busyAnswer(result) &&
                  (result == GP_ERROR || result == GP_ERROR_BAD_PARAMETERS ||
                   result == GP_ERROR_NOT_SUPPORTED) &&
                  !cameraUnplugged();
  if (!answered) return failedCall(result, "gp_camera_set_single_config");
  std::string words = driverWords(result);
  logEvent("set ", name, " refused by the camera: ", result, " (", words, ")");
  return Answer::refused(result == GP_ERROR_NOT_SUPPORTED ? kReadOnly : kSettingRefused, words,
                         result);
}

// Sets `key` to `value` (a "set" whose fields are of the right JSON kinds).
Answer setSetting(const std::string& key, const nlohmann::json& value) {
  if (key.find('\0') != std::string::npos || key.size() > kMaxSettingNameBytes) {
    return Answer::refused(kInvalidField,
                           "\"key\" must be a setting's name: at most 256 bytes, without U+0000");
  }
  if (std::optional<Answer> problem = malformedValue(value)) return *problem;
  bool target = key == kCaptureTargetKey;
  BusyRetry retry(giveWay());
  SettingReader reader(retry);
  Found found;
  if (std::optional<Answer> problem = findSetting(key, reader, found)) return *problem;

  nlohmann::json written = value;
  if (target) {
    if (!value.is_string()) {
      return Answer::refused(kInvalidField, "\"value\" must be a string, one of the choices");
    }
    std::optional<std::string> choice = cameraTarget(found.widget, value.get<std::string>());
    if (!choice) {
      return Answer::refused(kNotAChoice, "the camera offers no such capture target", std::nullopt,
                             {{"choices", hostTargets(found.widget)}});
    }
    written = *choice;
  }
  if (std::optional<Answer> problem = valueProblem(found.widget, written)) return *problem;
  if (putValue(found.widget, written) < GP_OK) {
    return Answer::refused(kSettingRefused, "libgphoto2 did not take the value");
  }
  int result = retry.run([&] { return writeSetting(found.name, found.widget); }, busyAnswer);
  if (result < GP_OK) return failedWrite(result, found.name);

  // What the camera reports now: a fresh read (a fresh tree on the tree
  // road); the value written when the camera cannot say.
  SettingReader again(retry);
  CameraWidget* shown = nullptr;
  result = again.read(found.name, shown);
  if (result < GP_OK && result != GP_ERROR_BAD_PARAMETERS && !busyAnswer(result)) {
    return failedCall(result, "gp_camera_get_single_config");
  }
  if (result < GP_OK || !settingKind(shown)) {
    logEvent("set ", found.name, ": the value could not be read back (", result, ")");
    shown = found.widget;
  }
  nlohmann::json now = target ? captureTargetEntry(shown)["value"] : settingValue(shown);
  if (target) state.captureTarget = value.get<std::string>();
  logEvent("set ", found.name, " for ", key, " after ", retry.tries(), " call(s): now ",
           now.dump());
  Answer answer =
      Answer::ok({{"key", key}, {"setting", textOrReplaced(found.name)}, {"value", now}});
  answer.statusAfter = showSettingValue(found.name, acceptedText(shown));
  return answer;
}

// Adds an entry for every setting under `widget` that is not listed yet;
// `section` is the name of the section that holds them.
void listSettings(CameraWidget* widget, const std::string& section, nlohmann::json& settings) {
  CameraWidgetType type;
  if (gp_widget_get_type(widget, &type) < GP_OK) return;
  const char* name = nullptr;
  gp_widget_get_name(widget, &name);
  std::string own = name == nullptr ? "" : name;
  if (type == GP_WIDGET_SECTION || type == GP_WIDGET_WINDOW) {
    int count = gp_widget_count_children(widget);
    for (int i = 0; i < count; ++i) {
      CameraWidget* child = nullptr;
      if (gp_widget_get_child(widget, i, &child) >= GP_OK && child != nullptr) {
        listSettings(child, type == GP_WIDGET_SECTION ? textOrReplaced(own) : section, settings);
      }
    }
    return;
  }
  // A name that is not UTF-8 could not be named back by the host.
  if (!settingKind(widget) || own.empty() || !validUtf8(own) || settings.contains(own)) return;
  nlohmann::json entry = settingEntry(widget, own);
  entry["section"] = section;
  settings[own] = std::move(entry);
}

}  // namespace

bool busyAnswer(int result) {
  if (result == GP_ERROR_CAMERA_BUSY) return true;
  if (result >= GP_OK) return false;
  for (const std::string& words : state.contextErrors) {
    if (words.find(kDeviceBusyWords) != std::string::npos) return true;
  }
  return false;
}

Answer handleSettings(const nlohmann::json& command) {
  if (state.camera == nullptr) return Answer::refused(kNoCamera, "no camera is open");
  bool all = command.value("all", false);
  BusyRetry retry(giveWay());
  SettingReader reader(retry);
  nlohmann::json settings = nlohmann::json::object();
  if (all) {
    CameraWidget* root = nullptr;
    int result = reader.tree(root);
    if (result < GP_OK && result != GP_ERROR_NOT_SUPPORTED) {
      return failedCall(result, "gp_camera_get_config");
    }
    if (result >= GP_OK && root != nullptr) listSettings(root, "", settings);
    logEvent("settings: ", settings.size(), " of the whole tree");
    return Answer::ok({{"settings", std::move(settings)}});
  }
  // As a read settles the keys: the first candidate that the camera has,
  // with a value the status line would show.
  for (const Parameter& parameter : parameterNames()) {
    for (const char* candidate : parameter.candidates) {
      CameraWidget* widget = nullptr;
      int result = reader.read(candidate, widget);
      if (result == GP_ERROR_BAD_PARAMETERS) continue;
      if (result < GP_OK) return failedCall(result, "gp_camera_get_single_config");
      if (!settingKind(widget) || acceptedText(widget).empty()) continue;
      settings[parameter.key] = settingEntry(widget, candidate);
      break;
    }
  }
  CameraWidget* target = nullptr;
  int result = reader.read(kCaptureTargetSetting, target);
  if (result < GP_OK && result != GP_ERROR_BAD_PARAMETERS) {
    return failedCall(result, "gp_camera_get_single_config");
  }
  if (result >= GP_OK && settingKind(target) == SettingKind::kChoice) {
    settings[kCaptureTargetKey] = captureTargetEntry(target);
  }
  logEvent("settings: ", settings.size(), " keys after ", retry.tries(), " call(s)");
  return Answer::ok({{"settings", std::move(settings)}});
}

Answer handleSet(const nlohmann::json& command) {
  if (state.camera == nullptr) return Answer::refused(kNoCamera, "no camera is open");
  return setSetting(command.at("key").get<std::string>(), command.at("value"));
}

std::optional<nlohmann::json> restoreCaptureTarget() {
  if (!state.captureTarget) return std::nullopt;
  std::string wanted = *state.captureTarget;
  Answer answer = setSetting(kCaptureTargetKey, wanted);
  if (state.camera == nullptr) return nlohmann::json();
  if (answer.refusal) {
    logEvent("capture target \"", wanted, "\" not set again after the start: ", answer.refusal->key,
             " (", answer.refusal->text, ")");
    state.captureTarget = wanted;  // still the host's choice for the next start
    return nlohmann::json();
  }
  logEvent("capture target set again after the start: ", answer.fields["value"].dump());
  return answer.fields["value"];
}
