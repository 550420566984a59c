#include "setting_values.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "json_text.h"
#include "parameters.h"

namespace {

// A widget's string (a choice, a value, a label) as the host is shown it.
std::string shownText(const char* text) {
  return text == nullptr ? std::string() : textOrReplaced(text);
}

// The widget's string value, or nothing when it cannot be read.
std::optional<std::string> stringValue(CameraWidget* widget) {
  const char* value = nullptr;
  if (gp_widget_get_value(widget, &value) < GP_OK) return std::nullopt;
  return shownText(value);
}

struct Range {
  float min = 0, max = 0, step = 0;
};

Range rangeOf(CameraWidget* widget) {
  Range range;
  gp_widget_get_range(widget, &range.min, &range.max, &range.step);
  return range;
}

nlohmann::json rangeDetails(const Range& range) {
  return {{"min", rangeNumber(range.min)},
          {"max", rangeNumber(range.max)},
          {"step", rangeNumber(range.step)}};
}

// The widget's own string of the choice that the host's `wanted` names
// (as settingChoices shows it), if any.
std::optional<std::string> matchingChoice(CameraWidget* widget, const std::string& wanted) {
  return findChoice(widget, [&wanted](const char* choice) { return shownText(choice) == wanted; });
}

Answer invalidValue(const char* wanted) {
  return Answer::refused(kInvalidField, std::string("\"value\" must be ") + wanted);
}

bool isReadOnly(CameraWidget* widget) {
  int readOnly = 0;
  return gp_widget_get_readonly(widget, &readOnly) >= GP_OK && readOnly != 0;
}

}  // namespace

std::optional<SettingKind> settingKind(CameraWidget* widget) {
  CameraWidgetType type;
  if (gp_widget_get_type(widget, &type) < GP_OK) return std::nullopt;
  switch (type) {
    case GP_WIDGET_RADIO:
    case GP_WIDGET_MENU:
      return SettingKind::kChoice;
    case GP_WIDGET_RANGE:
      return SettingKind::kRange;
    case GP_WIDGET_TOGGLE:
      return SettingKind::kToggle;
    case GP_WIDGET_TEXT:
      return SettingKind::kText;
    case GP_WIDGET_DATE:
      return SettingKind::kDate;
    default:
      return std::nullopt;
  }
}

const char* kindName(SettingKind kind) {
  switch (kind) {
    case SettingKind::kChoice:
      return "choice";
    case SettingKind::kRange:
      return "range";
    case SettingKind::kToggle:
      return "toggle";
    case SettingKind::kText:
      return "text";
    case SettingKind::kDate:
      return "date";
  }
  return "text";
}

nlohmann::json rangeNumber(float value) {
  if (!std::isfinite(value)) return nullptr;
  char text[32];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value) break;
  }
  return jsonNumber<nlohmann::json>(std::strtod(text, nullptr));
}

nlohmann::json settingValue(CameraWidget* widget) {
  std::optional<SettingKind> kind = settingKind(widget);
  if (!kind) return nullptr;
  switch (*kind) {
    case SettingKind::kChoice:
    case SettingKind::kText: {
      std::optional<std::string> text = stringValue(widget);
      return text ? nlohmann::json(*text) : nlohmann::json();
    }
    case SettingKind::kRange: {
      float value = 0;
      if (gp_widget_get_value(widget, &value) < GP_OK) return nullptr;
      return rangeNumber(value);
    }
    case SettingKind::kToggle: {
      int value = 0;
      if (gp_widget_get_value(widget, &value) < GP_OK) return nullptr;
      return value != 0;
    }
    case SettingKind::kDate: {
      int value = 0;
      if (gp_widget_get_value(widget, &value) < GP_OK) return nullptr;
      return value;
    }
  }
  return nullptr;
}

nlohmann::json settingChoices(CameraWidget* widget) {
  nlohmann::json choices = nlohmann::json::array();
  int count = gp_widget_count_choices(widget);
  for (int i = 0; i < count; ++i) {
    const char* choice = nullptr;
    if (gp_widget_get_choice(widget, i, &choice) >= GP_OK) choices.push_back(shownText(choice));
  }
  return choices;
}

std::optional<std::string> findChoice(CameraWidget* widget,
                                      const std::function<bool(const char*)>& wanted) {
  int count = gp_widget_count_choices(widget);
  for (int i = 0; i < count; ++i) {
    const char* choice = nullptr;
    if (gp_widget_get_choice(widget, i, &choice) < GP_OK || choice == nullptr) continue;
    if (wanted(choice)) return std::string(choice);
  }
  return std::nullopt;
}

nlohmann::json settingEntry(CameraWidget* widget, std::string_view setting) {
  SettingKind kind = settingKind(widget).value_or(SettingKind::kText);
  const char* label = nullptr;
  gp_widget_get_label(widget, &label);
  nlohmann::json entry = {{"value", settingValue(widget)},
                          {"kind", kindName(kind)},
                          {"readOnly", isReadOnly(widget)},
                          {"label", shownText(label)},
                          {"setting", textOrReplaced(setting)}};
  if (kind == SettingKind::kChoice) entry["choices"] = settingChoices(widget);
  if (kind == SettingKind::kRange) entry.update(rangeDetails(rangeOf(widget)));
  return entry;
}

std::optional<Answer> malformedValue(const nlohmann::json& value) {
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  if (text.find('\0') != std::string::npos) return invalidValue("a string without U+0000");
  if (utf16Length(text) > kMaxValueUnits) {
    return invalidValue("a string of at most 512 UTF-16 code units");
  }
  return std::nullopt;
}

std::optional<Answer> valueProblem(CameraWidget* widget, const nlohmann::json& value) {
  std::optional<SettingKind> kind = settingKind(widget);
  if (!kind) return Answer::refused(kUnknownSetting, "the setting holds no value");
  if (isReadOnly(widget)) return Answer::refused(kReadOnly, "the setting cannot be changed now");
  switch (*kind) {
    case SettingKind::kChoice: {
      if (!value.is_string()) return invalidValue("a string, one of the setting's choices");
      if (matchingChoice(widget, value.get_ref<const std::string&>())) return std::nullopt;
      return Answer::refused(kNotAChoice, "the value is none of the setting's choices",
                             std::nullopt, {{"choices", settingChoices(widget)}});
    }
    case SettingKind::kText:
      if (!value.is_string()) return invalidValue("a string");
      return std::nullopt;
    case SettingKind::kRange: {
      if (!value.is_number()) return invalidValue("a number");
      Range range = rangeOf(widget);
      // Compared as the float that the camera gets, so that the host's
      // 5.6 lies within a range that ends at 5.6f.
      double wanted = value.get<double>();
      bool fits = std::fabs(wanted) <= FLT_MAX && static_cast<float>(wanted) >= range.min &&
                  static_cast<float>(wanted) <= range.max;
      if (fits) return std::nullopt;
      return Answer::refused(kOutOfRange, "the value lies outside the setting's range",
                             std::nullopt, rangeDetails(range));
    }
    case SettingKind::kToggle:
      if (!value.is_boolean()) return invalidValue("true or false");
      return std::nullopt;
    case SettingKind::kDate: {
      bool fits = value.is_number_unsigned() ? value.get<std::uint64_t>() <= INT_MAX
                  : value.is_number_integer()
                      ? value.get<std::int64_t>() >= INT_MIN && value.get<std::int64_t>() <= INT_MAX
                      : false;
      if (!fits) return invalidValue("an integer of seconds since 1970 that fits 32 bits");
      return std::nullopt;
    }
  }
  return std::nullopt;
}

int putValue(CameraWidget* widget, const nlohmann::json& value) {
  switch (settingKind(widget).value_or(SettingKind::kText)) {
    case SettingKind::kChoice: {
      std::optional<std::string> choice =
          matchingChoice(widget, value.get_ref<const std::string&>());
      if (!choice) return GP_ERROR_BAD_PARAMETERS;
      return gp_widget_set_value(widget, choice->c_str());
    }
    case SettingKind::kText:
      return gp_widget_set_value(widget, value.get_ref<const std::string&>().c_str());
    case SettingKind::kRange: {
      auto wanted = static_cast<float>(value.get<double>());
      return gp_widget_set_value(widget, &wanted);
    }
    case SettingKind::kToggle: {
      int wanted = value.get<bool>() ? 1 : 0;
      return gp_widget_set_value(widget, &wanted);
    }
    case SettingKind::kDate: {
      int wanted = static_cast<int>(value.get<std::int64_t>());
      return gp_widget_set_value(widget, &wanted);
    }
  }
  return GP_ERROR_BAD_PARAMETERS;
}
