// Queues the photos that the camera reports and saves them, one per call,
// into the destination folder without ever overwriting a file.
#pragma once

#include <gphoto2/gphoto2.h>

// Queues the file unless it is no photo, already saved or already queued.
// Keeps its own copy of the record.
void enqueueDownload(const CameraFilePath* record);

// Downloads the oldest queued file.
void downloadNext();
