// A camera setting as the host sees it in protocol 2: a libgphoto2 widget
// shown as a JSON entry, and a value from the host checked against the
// widget and put into it. Nothing here talks to the camera.
//
// Values keep the camera's own text: a choice or a text is the widget's
// string (bytes that are not UTF-8 shown as U+FFFD), a range a JSON number,
// a toggle true or false, a date an integer of seconds since 1970 (UTC).
#pragma once

#include <gphoto2/gphoto2.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "protocol.h"

enum class SettingKind { kChoice, kRange, kToggle, kText, kDate };

// The kind of a widget that holds a value; nothing for a button, a section
// or a window, which are no settings.
std::optional<SettingKind> settingKind(CameraWidget* widget);

// "choice", "range", "toggle", "text" or "date".
const char* kindName(SettingKind kind);

// A range's float as a JSON number: the shortest decimal that reads back as
// the same float (5.6f as 5.6, not 5.599999904632568); null when it is not
// finite, which JSON cannot hold.
nlohmann::json rangeNumber(float value);

// The widget's current value as the entry gives it (null when it cannot be
// read, or for a widget that is no setting).
nlohmann::json settingValue(CameraWidget* widget);

// The widget's choices in the camera's order, as the entry gives them.
nlohmann::json settingChoices(CameraWidget* widget);

// The widget's own string of its first choice that `wanted` accepts (given
// the string as the driver has it), if any.
std::optional<std::string> findChoice(CameraWidget* widget,
                                      const std::function<bool(const char*)>& wanted);

// The entry of a setting: "value", "kind", "choices" (a choice) or "min",
// "max" and "step" (a range), "readOnly", "label" and "setting" (its
// libgphoto2 name). `widget` must hold a value (settingKind).
nlohmann::json settingEntry(CameraWidget* widget, std::string_view setting);

// Longest "key" of a "set", in bytes: longer than any libgphoto2 name.
inline constexpr std::size_t kMaxSettingNameBytes = 256;

// The refusal of a "value" that no setting takes, whatever its kind: a
// string holding U+0000 (libgphoto2 would cut it short there) or longer
// than kMaxValueUnits UTF-16 code units. Nothing for any other value.
std::optional<Answer> malformedValue(const nlohmann::json& value);

// The refusal of writing `value` into `widget` now: read-only; a value of
// the wrong JSON kind for the setting (kInvalidField); a choice that is
// none of the widget's (kNotAChoice, listing them); a number outside the
// range (kOutOfRange, with min, max and step). Nothing when it may be
// written. A choice matches a choice of the widget as settingChoices shows
// it, exactly.
std::optional<Answer> valueProblem(CameraWidget* widget, const nlohmann::json& value);

// Puts `value`, which valueProblem accepted, into `widget` (for a choice:
// the widget's own string of the choice that matched). libgphoto2's result.
int putValue(CameraWidget* widget, const nlohmann::json& value);
