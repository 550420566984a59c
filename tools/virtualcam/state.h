// The camera's own state, which outlives the open camera and the process
// that opened it, as a real body keeps its settings: state.json in the
// script folder. It holds the settings the host or the body changed, the
// busy answers given so far and the number of the last live view frame
// (README.md, "The camera's state"). Every change is made under an exclusive
// lock of state.lock, so that the driver in several processes and the
// harness can each change it; the file is replaced by rename, so a reader
// never needs the lock.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace virtualcam {

// Writes all of `text` to `fd`, going on after an interrupted write. false
// when a write failed.
bool writeAll(int fd, const std::string& text);

// The state in folder `dir`: an object, empty when the file is missing or
// does not parse.
nlohmann::json readState(const std::string& dir);

// Reads the state under the lock, lets `change` edit it and writes it back
// when `change` returns true. Returns what `change` returned; false also when
// the lock cannot be taken (no folder).
bool updateState(const std::string& dir, const std::function<bool(nlohmann::json&)>& change);

// Counts one answer of a scripted busy count for `operation`: true while
// fewer than `count` calls have been answered busy since the script gave
// that count (a new count starts again; the harness starts the same count
// again by clearing what was used).
bool takeBusy(const std::string& dir, const std::string& operation, int count);

}  // namespace virtualcam
