// The camera's settings as values: what a widget of the scripted tree holds
// now, what a written value comes to on the camera, and how ptp2 names a
// setting in its property-changed events. Values are JSON as the script
// gives them (README.md, "script.json"): text as a string or {"hex"}, range
// values as numbers or "nan"/"inf"/"-inf"/"-0", toggles and dates as
// integers.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace virtualcam {

// A range value given as a number or as text ("1/3", "nan", "inf", "-0").
float rangeValue(const nlohmann::json& value);

// Bytes as the script writes them: a string when they are UTF-8, else
// {"hex": ...}.
nlohmann::json encodeBytes(const std::string& bytes);
// A range value as the script writes it, in the fewest digits that give the
// same float back.
nlohmann::json encodeRange(float value);

// The description of the first widget named `name` among `widgets` (at any
// depth), or null.
const nlohmann::json* findWidget(const nlohmann::json& widgets, const std::string& name);
nlohmann::json* findWidget(nlohmann::json& widgets, const std::string& name);

// Whether a widget holds a value (all but windows and sections).
bool holdsValue(const nlohmann::json& described);

// The value a written or turned setting has now: the value kept in the
// state (state.json "settings") while the script still gives the widget the
// value it gave when the setting was changed; otherwise the script's value
// (`scripted`, null for a widget the tree lacks). A new value in the script
// thus starts the setting again from the script.
nlohmann::json currentValue(const std::string& name, const nlohmann::json& scripted,
                            const nlohmann::json& state);
// `widgets` with every value widget's value replaced by its current one.
nlohmann::json withCurrentValues(const nlohmann::json& widgets, const nlohmann::json& state);

// ptp2's capture target kept in libgphoto2's settings rather than on the
// camera (Nikon, Canon, Panasonic): a widget "capturetarget" with ptp2's
// labels "Internal RAM" and "Memory card" among its choices. Sony's
// capture target (choices "sdram", "card", "card+sdram") is a camera
// property like any other.
bool isHostCaptureTarget(const nlohmann::json& described);
// ptp2's label for a capture target setting ("sdram", "card"), and back;
// "" for an unknown one.
std::string captureTargetLabel(const std::string& setting);
std::string captureTargetSetting(const std::string& label);

// The PTP property code of a widget: its "code" (a number, or hex text such
// as "500f"), else 0xD000 plus the low 12 bits of the FNV-1a hash of its
// name.
std::uint16_t propertyCode(const nlohmann::json& described);
std::uint16_t defaultPropertyCode(const std::string& name);

// The text ptp2 puts after "to" in a property-changed event: the value of a
// text, radio or menu widget, a range value as "%f", and "Unhandled type"
// for the rest.
std::string eventContent(const nlohmann::json& described, const nlohmann::json& value);

// What a camera makes of a value written to a widget, in the order ptp2
// finds out: a read-only property, a value that its put function cannot
// map (not among the choices of a radio or menu), then one the camera
// answers "Invalid DeviceProp value" (a range value outside [min, max], or
// one of the widget's "refuse" values).
enum class Verdict { Accept, ReadOnly, NotAChoice, Refused };
Verdict judgeWrite(const nlohmann::json& described, const nlohmann::json& value);

}  // namespace virtualcam
