// The host's commands. Each carries out one command to its end and writes
// its own status lines. A new command is one row of the table in
// commands.cc and one handler here.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "protocol.h"

// Carries out the command object by its "command" word. In protocol 1 an
// object without a known word gets one status line that changes nothing. In
// protocol 2 (and for "hello" itself) every object gets exactly one reply,
// written when the command's own work is done; a missing or ill-typed
// field, an unknown word or an id of another kind is refused before any
// work, leaving everything as it was. `repeated` names the fields that the
// line gave more than once (the object holds the last value of each).
void carryOutCommand(const nlohmann::json& command, const std::set<std::string>& repeated = {});

// In protocol 2, refuses a line that is no JSON object, with id null.
void refuseLine();

// Opens the camera that "cameraId" names for downloads into "directory".
// Ignored while a camera is open. Writes "connecting" and then "ready" or
// the failure; an unknown camera or a bad folder gives only the failure.
// A capture target that the host chose in this run is set again before
// "ready"; the reply's "captureTarget" says what came of it.
Answer handleStart(const nlohmann::json& command);
// Closes the camera, if any, once every announced photo is saved, and
// returns to phase "idle" with no error: "stopping", the lines of the
// downloads, "idle". No "idle" once SIGTERM/SIGINT has come: the host has
// asked to quit at once. In protocol 2, {"leave": true} is the quick stop:
// "stopping", the camera closed at once with every queued photo (and a
// download that it cut short) left behind as after a failure, "idle".
Answer handleStop(const nlohmann::json& command);
// Writes "stopping", saves every file that the camera has announced, and
// closes the camera. Captures may exist only in the camera's memory, which
// closing it discards. While triggered captures have not been announced yet
// it waits for their photos: at most 3 s (plus twice a long exposure time)
// for each next one, then 0.5 s for the second file of a RAW+JPEG pair, and
// never more than 90 s in all. Downloads keep the phase "stopping" and
// write their usual lines; the first failure, or SIGTERM/SIGINT, ends the
// downloads.
void stopSession();
// Fires the shutter of the open camera: "capturing", then "ready" or the
// failure. Without a camera that can capture it writes one unchanged line
// (protocol 1) or is refused (protocol 2). In protocol 2 a camera that
// refuses the capture while it still answers (busy, a focus miss) is
// answered with "ready" and a refusal; the session goes on.
Answer handleCapture(const nlohmann::json& command);

// The exposure time in seconds of a "shutterSpeed" value as cameras write
// it ("1/125", "30", "2.5", 30"), or nothing for one that names none
// ("Bulb", "auto").
std::optional<double> exposureSeconds(const std::string& text);

// Whether "directory" may become the download folder: an absolute path
// without NUL bytes (a NUL would silently cut the path short).
bool acceptableDestination(const std::string& directory);
