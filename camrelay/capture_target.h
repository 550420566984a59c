// Where a capture's photo lands, in the host's words: "card", "memory", or
// "card and memory" where the camera offers both at once. libgphoto2's ptp2
// driver holds it in its "capturetarget" setting, whose choices differ by
// maker: Nikon, Canon and Panasonic "Memory card" and "Internal RAM" (kept
// in libgphoto2's per-user settings file, not on the camera, and on Canon
// EOS also set on the camera), Sony "card", "sdram" and "card+sdram" (a
// camera property).
#pragma once

#include <gphoto2/gphoto2.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// The key of the capture target in "settings" and "set", and the driver's
// setting behind it.
inline constexpr const char* kCaptureTargetKey = "captureTarget";
inline constexpr const char* kCaptureTargetSetting = "capturetarget";

// The host's word for a choice of the driver's setting; nothing for a
// choice that means none of them.
std::optional<std::string> hostTarget(std::string_view choice);

// The choice of `widget` (the driver's capture target) that means `word`;
// nothing when the camera offers no such target.
std::optional<std::string> cameraTarget(CameraWidget* widget, std::string_view word);

// The host's words for the widget's choices, in the camera's order.
nlohmann::json hostTargets(CameraWidget* widget);

// The "captureTarget" entry of "settings": the driver's entry with the
// value (null when it means no target) and choices in the host's words.
nlohmann::json captureTargetEntry(CameraWidget* widget);
