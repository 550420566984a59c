// A setting turned on the camera, as the driver reports it: ptp2 hands a
// changed property on as an unknown event whose text names the setting and
// its new value, `PTP Property 5007 changed, "f-number" to "f/4"`, read
// when it handled the event (a range written with %f, "50.000000"). Where
// that setting settled a key of "cameraParameters", the key shows the new
// value at once, at no camera request of ours; other drivers' changes show
// at the next read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct PropertyChange {
  std::string setting;  // the libgphoto2 name
  std::string value;    // as a key of "cameraParameters" would show it
};

// The change that the driver's text of an unknown event reports; nothing
// for any other text, for a change without a name or value (a property
// that ptp2's tables lack, a toggle's "Unhandled type"), or for text that
// is not UTF-8.
std::optional<PropertyChange> propertyChange(std::string_view text);

// Longest event text that is looked at, in bytes; a longer one is passed
// over.
inline constexpr std::size_t kMaxEventText = 4096;

// Takes the text of an unknown event: a change of a setting that settled a
// key shows in it, with a status line when what the host sees changed.
void takeUnknownEvent(const char* text);
