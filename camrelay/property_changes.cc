#include "property_changes.h"

#include <cstdlib>
#include <cstring>

#include "diagnostic_log.h"
#include "json_text.h"
#include "parameters.h"
#include "session.h"

namespace {

constexpr std::string_view kPrefix = "PTP Property ";
constexpr std::string_view kChanged = " changed, \"";
constexpr std::string_view kTo = "\" to \"";
constexpr std::string_view kUnhandled = "Unhandled type";

bool allDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A range value as ptp2 writes it with %f: [-]digits, a point, six digits.
bool printedRange(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  std::size_t point = text.find('.');
  return point != std::string_view::npos && allDigits(text.substr(0, point)) &&
         text.size() - point - 1 == 6 && allDigits(text.substr(point + 1));
}

}  // namespace

std::optional<PropertyChange> propertyChange(std::string_view text) {
  if (!text.starts_with(kPrefix) || !validUtf8(text)) return std::nullopt;
  text.remove_prefix(kPrefix.size());
  std::size_t code = text.find(kChanged);
  if (code == std::string_view::npos || code == 0 || code > 8) return std::nullopt;
  text.remove_prefix(code + kChanged.size());
  std::size_t to = text.find(kTo);
  if (to == std::string_view::npos || to == 0 || !text.ends_with('"')) return std::nullopt;
  std::string_view setting = text.substr(0, to);
  std::string_view value = text.substr(to + kTo.size());
  value.remove_suffix(1);
  if (value == kUnhandled) return std::nullopt;
  std::string shown = printedRange(value)
                          ? rangeText(std::strtof(std::string(value).c_str(), nullptr))
                          : acceptedText(std::string(value));
  if (shown.empty()) return std::nullopt;
  return PropertyChange{std::string(setting), std::move(shown)};
}

void takeUnknownEvent(const char* text) {
  if (text == nullptr) return;
  std::size_t length = strnlen(text, kMaxEventText + 1);
  if (length > kMaxEventText) return;
  std::optional<PropertyChange> change = propertyChange(std::string_view(text, length));
  if (!change || !showSettingValue(change->setting, change->value)) return;
  logEvent("the camera turned ", change->setting, " to ", change->value);
  emit();
}
