// Polls the camera's settings for the status line.
#pragma once

#include <gphoto2/gphoto2.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

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

// The accepted parameter values found in a configuration tree, by key.
std::map<std::string, std::string> parameterValues(CameraWidget* root);

// The widget's current value as text by its type; "" for a type without a
// textual value or for a value that cannot be read.
std::string widgetText(CameraWidget* widget);

// A range value as printf's "%g" writes it; "" when it is not finite.
std::string rangeText(float value);

// `text` without leading and trailing white space and line breaks.
std::string trimmedText(const std::string& text);

// Length of UTF-8 `text` in UTF-16 code units.
std::size_t utf16Length(const std::string& text);

// Records the outcome of one read (values, or `fetched` false when the
// configuration could not be fetched), schedules the next read, and writes
// a status line when what the host sees changed.
void storeParameterRead(bool fetched, std::map<std::string, std::string> values);
