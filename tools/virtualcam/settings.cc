#include "settings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "script.h"

namespace virtualcam {

using nlohmann::json;

float rangeValue(const json& value) {
  if (value.is_number()) return value.get<float>();
  std::string text = value.get<std::string>();
  std::size_t slash = text.find('/');
  if (slash != std::string::npos)
    return std::strtof(text.substr(0, slash).c_str(), nullptr) /
           std::strtof(text.substr(slash + 1).c_str(), nullptr);
  return std::strtof(text.c_str(), nullptr);  // also "nan", "inf", "-inf", "-0"
}

json encodeBytes(const std::string& bytes) {
  try {
    json text = bytes;
    text.dump();  // throws on bytes that are not UTF-8
    return text;
  } catch (const json::type_error&) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
      hex.push_back(kDigits[byte >> 4]);
      hex.push_back(kDigits[byte & 15]);
    }
    return {{"hex", hex}};
  }
}

json encodeRange(float value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0 && std::signbit(value)) return "-0";
  char text[32];
  auto [end, error] = std::to_chars(text, text + sizeof text, value);
  if (error != std::errc()) return static_cast<double>(value);
  return std::strtod(std::string(text, end).c_str(), nullptr);
}

const json* findWidget(const json& widgets, const std::string& name) {
  if (!widgets.is_array()) return nullptr;
  for (const json& described : widgets) {
    if (decodeBytes(described.at("name")) == name) return &described;
    if (described.contains("children"))
      if (const json* found = findWidget(described.at("children"), name)) return found;
  }
  return nullptr;
}

json* findWidget(json& widgets, const std::string& name) {
  return const_cast<json*>(findWidget(static_cast<const json&>(widgets), name));
}

bool holdsValue(const json& described) {
  std::string type = described.value("type", std::string());
  return type != "window" && type != "section";
}

json currentValue(const std::string& name, const json& scripted, const json& state) {
  auto settings = state.find("settings");
  if (settings == state.end() || !settings->is_object()) return scripted;
  auto entry = settings->find(name);
  if (entry == settings->end() || !entry->is_object() || !entry->contains("value")) return scripted;
  if (entry->value("script", json()) != scripted) return scripted;
  return entry->at("value");
}

json withCurrentValues(const json& widgets, const json& state) {
  json current = widgets;
  if (!current.is_array()) return current;
  for (json& described : current) {
    if (holdsValue(described)) {
      std::string name = decodeBytes(described.at("name"));
      json value = currentValue(name, described.value("value", json()), state);
      if (!value.is_null()) described["value"] = value;
    } else if (described.contains("children")) {
      described["children"] = withCurrentValues(described.at("children"), state);
    }
  }
  return current;
}

namespace {

// ptp2's capture targets: the name it keeps in libgphoto2's settings and
// the label its widget shows.
const std::pair<const char*, const char*> kCaptureTargets[] = {
    {"sdram", "Internal RAM"},
    {"card", "Memory card"},
};

}  // namespace

bool isHostCaptureTarget(const json& described) {
  if (described.value("name", json()) != "capturetarget") return false;
  for (const json& choice : described.value("choices", json::array()))
    if (!captureTargetSetting(decodeBytes(choice)).empty()) return true;
  return false;
}

std::string captureTargetLabel(const std::string& setting) {
  for (const auto& [name, label] : kCaptureTargets)
    if (setting == name) return label;
  return "";
}

std::string captureTargetSetting(const std::string& label) {
  for (const auto& [name, shown] : kCaptureTargets)
    if (label == shown) return name;
  return "";
}

std::uint16_t defaultPropertyCode(const std::string& name) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char byte : name) {
    hash ^= byte;
    hash *= 16777619u;
  }
  return static_cast<std::uint16_t>(0xD000 | (hash & 0x0FFF));
}

std::uint16_t propertyCode(const json& described) {
  auto code = described.find("code");
  if (code == described.end()) return defaultPropertyCode(decodeBytes(described.at("name")));
  if (code->is_number()) return code->get<std::uint16_t>();
  return static_cast<std::uint16_t>(std::stoul(code->get<std::string>(), nullptr, 16));
}

std::string eventContent(const json& described, const json& value) {
  std::string type = described.value("type", std::string());
  if (type == "text" || type == "radio" || type == "menu")
    return value.is_null() ? std::string() : decodeBytes(value);
  if (type == "range") {
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(rangeValue(value)));
    return text;
  }
  return "Unhandled type";
}

namespace {

// Whether two values of a widget of `type` are the same setting.
bool sameValue(const std::string& type, const json& a, const json& b) {
  if (type == "range") return rangeValue(a) == rangeValue(b);
  if (type == "toggle" || type == "date") return a.get<long long>() == b.get<long long>();
  return decodeBytes(a) == decodeBytes(b);
}

}  // namespace

Verdict judgeWrite(const json& described, const json& value) {
  std::string type = described.value("type", std::string());
  if (described.value("readonly", false)) return Verdict::ReadOnly;
  if (type == "radio" || type == "menu") {
    bool listed = false;
    for (const json& choice : described.value("choices", json::array()))
      listed = listed || sameValue(type, choice, value);
    if (!listed) return Verdict::NotAChoice;
  }
  if (type == "range") {
    float number = rangeValue(value);
    float low = rangeValue(described.value("min", json(0)));
    float high = rangeValue(described.value("max", json(100)));
    if (!(low <= number && number <= high)) return Verdict::Refused;
  }
  for (const json& refused : described.value("refuse", json::array()))
    if (sameValue(type, refused, value)) return Verdict::Refused;
  return Verdict::Accept;
}

}  // namespace virtualcam
