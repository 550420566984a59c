// The host's three commands. Each carries out one command to its end and
// writes its own status lines.
#pragma once

#include <nlohmann/json.hpp>

// Opens the camera that "cameraId" names for downloads into "directory".
void handleStart(const nlohmann::json& command);
// Closes the camera, if any, and returns to phase "idle".
void handleStop(const nlohmann::json& command);
// Fires the shutter of the open camera.
void handleCapture(const nlohmann::json& command);
