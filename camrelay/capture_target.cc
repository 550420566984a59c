#include "capture_target.h"

#include <algorithm>
#include <utility>

#include "setting_values.h"

namespace {

// ptp2's choices (in the C locale) and what each means to the host.
constexpr std::pair<std::string_view, std::string_view> kTargets[] = {
    {"Memory card", "card"},            // Nikon, Canon, Panasonic
    {"Internal RAM", "memory"},         //
    {"card", "card"},                   // Sony
    {"sdram", "memory"},                //
    {"card+sdram", "card and memory"},  //
};

}  // namespace

std::optional<std::string> hostTarget(std::string_view choice) {
  for (const auto& [camera, host] : kTargets) {
    if (camera == choice) return std::string(host);
  }
  return std::nullopt;
}

std::optional<std::string> cameraTarget(CameraWidget* widget, std::string_view word) {
  return findChoice(widget, [word](const char* choice) { return hostTarget(choice) == word; });
}

nlohmann::json hostTargets(CameraWidget* widget) {
  nlohmann::json words = nlohmann::json::array();
  for (const nlohmann::json& choice : settingChoices(widget)) {
    std::optional<std::string> word = hostTarget(choice.get<std::string>());
    if (word && std::find(words.begin(), words.end(), *word) == words.end()) words.push_back(*word);
  }
  return words;
}

nlohmann::json captureTargetEntry(CameraWidget* widget) {
  nlohmann::json entry = settingEntry(widget, kCaptureTargetSetting);
  std::optional<std::string> word;
  if (entry["value"].is_string()) word = hostTarget(entry["value"].get<std::string>());
  entry["value"] = word ? nlohmann::json(*word) : nlohmann::json();
  entry["kind"] = "choice";
  entry["choices"] = hostTargets(widget);
  return entry;
}
