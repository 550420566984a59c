// What names a photo on the camera: its camera path, the identity that the
// download queue and the set of saved files key it by, and the queue key of
// a photo held in memory. The download pipeline and the photos left behind
// both build on this; neither reaches into the other for it.
#pragma once

#include <gphoto2/gphoto2.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

// The record's name and folder fields as text. A field that is not valid
// UTF-8, or that has no terminating NUL within its width, reads as "".
std::string recordName(const CameraFilePath& record);
std::string recordFolder(const CameraFilePath& record);

// Both fields end with a NUL inside their width. A record that does not
// cannot name a file on the camera, and handing it to libgphoto2 would read
// past its end.
bool terminated(const CameraFilePath& record);

// The key of the queue and of the saved set: folder, "/", camera name.
std::string fileIdentity(const CameraFilePath* record);

// The record's folder and name as the camera gave them, whatever their
// bytes, joined by one "/" ("/capt0001.jpg" in the root folder), for the
// diagnostic log (which escapes them).
std::string rawIdentity(const CameraFilePath& record);

// {"folder": F, "name": N} for the host, bytes that are not UTF-8 replaced.
nlohmann::json cameraFileJson(const CameraFilePath& record);

// Whether libgphoto2 holds the file in its own memory: drivers put the
// photos that they fetch from a camera's RAM (where many cameras keep new
// photos by default) into libgphoto2's cache, in the root folder "/". The
// cache keeps only the newest few; an older one is gone for good, so such a
// photo must be fetched before the camera announces many more.
bool heldByLibrary(const CameraFilePath& record);

// The queue key of the `number`-th photo that a start took up from memory.
// It holds a NUL, which no file identity can (the record's fields are read
// up to their NUL), so that it never stands for a camera file: the camera's
// own new files of the same name are queued beside it.
std::string heldQueueKey(std::uint64_t number);
