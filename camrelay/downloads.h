// Queues the photos that the camera reports and saves them, one per call,
// into the destination folder without ever overwriting a file.
#pragma once

#include <gphoto2/gphoto2.h>

#include <cstddef>
#include <optional>
#include <string>

#include "file_system.h"
#include "photo_identity.h"

// Saved identities remembered per camera session; the oldest is forgotten
// when a save would exceed this.
inline constexpr std::size_t kReceivedLimit = 512;

// true when the name's last extension, lower-cased, is a photo extension.
bool photoName(const std::string& name);

// The local name (no folder) under which the camera's file is saved: the
// last path component of the camera name, without the "capt_" prefix that
// Sony cameras put on captures in the root folder.
std::string cameraFilename(const CameraFilePath* record);

// The last path component of `path` ("" when there is none).
std::string lastPathComponent(const std::string& path);

// `name` with "_<number>" put before its last extension: a.b.jpg -> a.b_1.jpg.
std::string numberedName(const std::string& name, unsigned long number);

// Gives the finished temporary `file` the name `name`, or the first free
// numbered name, never replacing anything. Returns the final name, or
// nothing (errno set) when the file system refused the rename.
std::optional<std::string> placeFile(TemporaryFile& file, const std::string& name);

// Queues the file unless it is no photo, already saved or already queued,
// with the number of the capture that made it (0: none). Keeps its own copy
// of the record; the caller may free its own at once. true when it was
// queued. A file that is not fetched for what it is (no photo, a name that
// is not UTF-8, no name at all) gets a "fileSkipped" event.
bool enqueueDownload(const CameraFilePath* record, std::uint64_t capture = 0);

// Queues a file that the camera announced, as enqueueDownload does. A file
// that is queued belongs to the capture that the attribution rule gives it
// (captureOfAnnounced); one that is not (no photo, saved or queued already,
// no name) belongs to none and leaves the captures in flight as they were.
bool enqueueAnnounced(const CameraFilePath* record);

// Whether a queued photo is held by libgphoto2. While one is, no further
// camera event and no further command is taken in: the next work is its
// download.
bool heldPhotoQueued();

// Downloads the oldest queued file into the destination folder, writing a
// "transferring" line and then a "ready" line, or one "error" line. In
// phase "stopping" both lines keep that phase. A failed write to the disk
// is reported with the operating system's text, whatever the camera driver
// made of it; a failure on the camera's side with libgphoto2's.
void downloadNext();
