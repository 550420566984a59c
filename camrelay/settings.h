// The host's settings commands of protocol 2: "settings" lists the camera's
// settings with their choices, "set" changes one. Each is a camera call
// like any other: a failure takes the failure road and is never tried
// again; only a busy camera is (busy_retry.h).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "protocol.h"

// {"command":"settings"}: an entry (setting_values.h) for each of the
// fourteen "cameraParameters" keys that the camera has, settled as a read
// settles them, and for "captureTarget" (capture_target.h) where the
// camera has one; with "all": true, one for every setting of the camera's
// whole configuration, by its libgphoto2 name, each with its "section".
Answer handleSettings(const nlohmann::json& command);

// {"command":"set","key":K,"value":V}: K is a key of "cameraParameters"
// (the setting that settled it, or the first that the camera has),
// "captureTarget", or a libgphoto2 setting name. V is checked against the
// setting as the camera gives it now, written with one single-setting
// write, and read back: the reply gives the key, the setting and the value
// read back. A key whose value the host sees changes in "cameraParameters"
// at once (the answer's statusAfter).
Answer handleSet(const nlohmann::json& command);

// Sets the capture target that the host chose in this run again, on the
// camera just opened. Nothing when the host chose none; else what the
// start's reply reports: the target in force afterwards, or null when it
// could not be set (the reason in the diagnostic log). A camera failure
// takes the failure road, and closes the camera.
std::optional<nlohmann::json> restoreCaptureTarget();

// Whether a result of a settings call means that the camera is busy:
// GP_ERROR_CAMERA_BUSY, or a failure whose driver words name PTP's
// DeviceBusy (0x2019), which ptp2 hands on as another result when it sets
// a property of a Nikon or Sony body.
bool busyAnswer(int result);
