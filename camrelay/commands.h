// The host's three commands. Each carries out one command to its end and
// writes its own status lines.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// Opens the camera that "cameraId" names for downloads into "directory".
// Ignored while a camera is open. Writes "connecting" and then "ready" or
// the failure; an unknown camera or a bad folder gives only the failure.
void handleStart(const nlohmann::json& command);
// Closes the camera, if any, and returns to phase "idle" with no error.
// Always writes "stopping" and then "idle".
void handleStop(const nlohmann::json& command);
// Fires the shutter of the open camera: "capturing", then "ready" or the
// failure. Without a camera that can capture it writes one unchanged line.
void handleCapture(const nlohmann::json& command);

// Whether "directory" may become the download folder: an absolute path
// without NUL bytes (a NUL would silently cut the path short).
bool acceptableDestination(const std::string& directory);
