#include "downloads.h"

#include "session.h"

void enqueueDownload(const CameraFilePath*) {}

void downloadNext() {}
