// Polls the camera's settings for the status line.
#pragma once

#include <gphoto2/gphoto2.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ParameterRead;

// One key of "cameraParameters" and the libgphoto2 settings that may give
// it, most wanted first: the first that the camera has, with a value that
// is accepted (acceptedText), settles the key.
struct Parameter {
  const char* key;
  std::vector<const char*> candidates;
};

// The fourteen keys, in the order a read settles them.
const std::vector<Parameter>& parameterNames();

// Longest value of a key, in UTF-16 code units.
inline constexpr std::size_t kMaxValueUnits = 512;

// Asked by a settings read between two settings: true when the host has a
// command waiting (or the loop must end), and the read should stop there.
using GiveWay = std::function<bool()>;

// Reads the camera parameters when they are due, and writes a status line
// when what the host sees changed. Each candidate setting is asked for by
// name: one camera request for a setting that exists, none for one the
// driver does not know. Between two keys the read asks `giveWay`, and
// stops when it says so; the next call carries the read on where it stopped
// (within kParameterReadInterval of its start, else it starts afresh), so
// that what the host sees always comes from one whole read. From a driver
// that cannot hand out one setting by itself, the whole configuration tree
// is fetched once instead; that cannot be cut into pieces, so while live
// view is on it is put off for another interval.
void readCameraParameters(const GiveWay& giveWay = [] { return false; });

// Whether the camera's driver reads one setting by itself. For a driver
// without, libgphoto2 answers each gp_camera_get_single_config with a fetch
// of the whole tree from the camera: 23 whole fetches a read, where one does.
bool singleSettingAccess(Camera* camera);

// The accepted parameter values found in a configuration tree, by key,
// with the setting that settled each key.
ParameterRead parametersOfTree(CameraWidget* root);

// The widget's value as a key shows it: trimmed, 1 to kMaxValueUnits UTF-16
// code units; "" when it is none.
std::string acceptedText(CameraWidget* widget);
// The same for a value's text, which must be valid UTF-8.
std::string acceptedText(const std::string& text);

// Shows `text`, an accepted value, as the value of every key that the
// setting `setting` settled in the last read, and in a read that gave way
// part of the way. true when what the host sees changed; writes no line.
// Nothing changes for "" or a setting that settled no key.
bool showSettingValue(const std::string& setting, const std::string& text);

// The widget's current value as text by its type; "" for a type without a
// textual value or for a value that cannot be read.
std::string widgetText(CameraWidget* widget);

// A range value as printf's "%g" writes it; "" when it is not finite.
std::string rangeText(float value);

// `text` without leading and trailing white space and line breaks.
std::string trimmedText(const std::string& text);

// Length of UTF-8 `text` in UTF-16 code units.
std::size_t utf16Length(const std::string& text);

// Records the outcome of one read (values, and the setting that settled
// each key; or `fetched` false when the configuration could not be
// fetched), schedules the next read, and writes a status line when what the
// host sees changed.
void storeParameterRead(bool fetched, std::map<std::string, std::string> values,
                        std::map<std::string, std::string> settings = {});
