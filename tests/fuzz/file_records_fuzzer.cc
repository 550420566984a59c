// Camera file records as a driver may fill them, all 1152 bytes: queueing
// never breaks the queue, and a name that passes as a photo is always a
// plain name inside the destination folder, numbered or not.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "downloads.h"
#include "session.h"

namespace {

bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  state = SessionState{};
  state.sonyCaptureNames = input.ConsumeBool();
  unsigned long number = input.ConsumeIntegral<unsigned long>();
  CameraFilePath record;
  std::memset(&record, 0, sizeof record);
  input.ConsumeData(&record, sizeof record);

  std::string name = cameraFilename(&record);
  fileIdentity(&record);
  if (photoName(name)) {
    if (!plainName(name) || !plainName(numberedName(name, number))) abort();
  }
  enqueueDownload(&record);
  if (state.pendingFiles.size() != state.pendingPaths.size() || state.pendingFiles.size() > 1)
    abort();
  if (!state.pendingFiles.empty() && !photoName(name)) abort();
  return 0;
}
