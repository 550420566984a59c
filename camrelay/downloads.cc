#include "downloads.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <unordered_set>

#include "diagnostic_log.h"
#include "file_system.h"
#include "session.h"

namespace {

constexpr const char* kPhotoExtensions[] = {
    "jpg", "jpeg", "heic", "heif", "tif", "tiff", "png", "dng", "arw", "sr2", "srf",
    "cr2", "cr3",  "crw",  "nef",  "nrw", "raf",  "rw2", "orf", "pef", "3fr", "fff",
    "iiq", "mos",  "kdc",  "dcr",  "rwl", "x3f",  "raw", "srw", "erf"};
static_assert(std::size(kPhotoExtensions) == 31);

constexpr const char* kCapturePrefix = "capt_";
constexpr const char* kTemporaryPrefix = ".lumetra-";
constexpr auto kParameterPauseAfterSave = std::chrono::seconds(3);

// Both fields end with a NUL inside their width. A record that does not
// cannot name a file on the camera, and handing it to libgphoto2 would read
// past its end.
bool terminated(const CameraFilePath& record) {
  return std::memchr(record.name, '\0', sizeof record.name) != nullptr &&
         std::memchr(record.folder, '\0', sizeof record.folder) != nullptr;
}

// The record's folder and name as the camera gave them, whatever their
// bytes, for the diagnostic log (which escapes them).
std::string rawIdentity(const CameraFilePath& record) {
  return std::string(record.folder, strnlen(record.folder, sizeof record.folder)) + "/" +
         std::string(record.name, strnlen(record.name, sizeof record.name));
}

// Notes in the diagnostic log that the download of `record` failed at
// `step`, with the operating system's reason when `withErrno` is set (a
// libgphoto2 step gets its code from check()'s line).
void logFailedDownload(const CameraFilePath& record, const char* step, bool withErrno) {
  if (!logging()) return;
  logEvent("download of ", rawIdentity(record), " failed at ", step, withErrno ? ": " : "",
           withErrno ? std::strerror(errno) : "");
}

// The text after the last "." of the last path component, "" without one.
std::string pathExtension(const std::string& name) {
  std::string component = lastPathComponent(name);
  std::size_t dot = component.rfind('.');
  return dot == std::string::npos ? "" : component.substr(dot + 1);
}

std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; });
  return text;
}

// The file being fetched, while libgphoto2 writes into it, and how much of
// it the kernel has been asked to start writing to disk.
int fetchDescriptor = -1;
off_t writebackStarted = 0;
constexpr off_t kWritebackStep = 8 << 20;

}  // namespace

std::string recordName(const CameraFilePath& record) {
  return utf8OrEmpty(record.name, sizeof record.name);
}

std::string recordFolder(const CameraFilePath& record) {
  return utf8OrEmpty(record.folder, sizeof record.folder);
}

std::string fileIdentity(const CameraFilePath* record) {
  return recordFolder(*record) + "/" + recordName(*record);
}

std::string lastPathComponent(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "";
  std::size_t slash = path.rfind('/', end);
  std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(begin, end + 1 - begin);
}

bool photoName(const std::string& name) {
  static const std::unordered_set<std::string> extensions(std::begin(kPhotoExtensions),
                                                          std::end(kPhotoExtensions));
  std::string extension = pathExtension(name);
  return !extension.empty() && extensions.count(lowerAscii(extension)) != 0;
}

std::string cameraFilename(const CameraFilePath* record) {
  std::string component = lastPathComponent(recordName(*record));
  if (state.sonyCaptureNames && recordFolder(*record) == "/" &&
      component.starts_with(kCapturePrefix)) {
    std::string rest = component.substr(std::strlen(kCapturePrefix));
    if (photoName(rest)) return rest;
  }
  return component;
}

std::string numberedName(const std::string& name, unsigned long number) {
  std::size_t dot = name.rfind('.');
  std::string suffix = "_" + std::to_string(number);
  if (dot == std::string::npos) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

std::optional<std::string> placeFile(const Folder& folder, const std::string& temporary,
                                     const std::string& name) {
  std::string candidate = name;
  for (unsigned long number = 1;; ++number) {
    switch (folder.renameExclusive(temporary, candidate)) {
      case RenameOutcome::kDone:
        return candidate;
      case RenameOutcome::kNameTaken:
        candidate = numberedName(name, number);
        break;
      case RenameOutcome::kFailed:
        return std::nullopt;
    }
  }
}

void downloadProgress() {
  if (fetchDescriptor < 0) return;
  off_t written = lseek(fetchDescriptor, 0, SEEK_CUR);
  if (written - writebackStarted < kWritebackStep) return;
  // Lets the disk work while the camera sends the rest, so that the fsync
  // at the end has little left to do.
  startWriteback(fetchDescriptor, writebackStarted, written - writebackStarted);
  writebackStarted = written;
}

void enqueueDownload(const CameraFilePath* record) {
  if (record == nullptr || !terminated(*record)) {
    logEvent("camera file without a name or folder: ignored");
    return;
  }
  std::string identity = fileIdentity(record);
  const char* outcome = "queued";
  if (!photoName(cameraFilename(record))) {
    outcome = "no photo: ignored";
  } else if (state.received.contains(identity) || state.pendingFiles.contains(identity)) {
    outcome = "saved or queued already";
  } else {
    state.pendingFiles.append(identity);
    state.pendingPaths[identity] = *record;
  }
  if (logging()) logEvent("camera file ", rawIdentity(*record), ": ", outcome);
}

void downloadNext() {
  if (state.pendingFiles.empty() || state.camera == nullptr) return;

  // Take the file out of the queue first: whatever happens below, it is
  // not tried again in this session.
  std::string queued = state.pendingFiles.front();
  CameraFilePath record{};
  if (auto stored = state.pendingPaths.find(queued); stored != state.pendingPaths.end()) {
    record = stored->second;
    state.pendingPaths.erase(stored);
  }
  state.pendingFiles.popFront();
  if (!terminated(record)) return;

  std::string name = cameraFilename(&record);
  if (!photoName(name)) return;
  std::string identity = fileIdentity(&record);
  if (state.received.contains(identity)) return;

  // Everything below works on this one open folder. Were the folder moved
  // or replaced during the fetch, the photo lands whole in the folder that
  // was open, and no temporary file is left behind in either.
  Folder folder(state.destination);
  if (!folder.isOpen()) {
    logFailedDownload(record, "opening the folder", true);
    failSession(utf8OrEmpty(std::strerror(errno)));
    return;
  }
  std::string temporary = kTemporaryPrefix + randomUuid();
  int descriptor = folder.createFile(temporary);
  if (descriptor < 0) {
    logFailedDownload(record, "creating the temporary file", true);
    failSession(utf8OrEmpty(std::strerror(errno)));
    return;
  }

  // From here the descriptor belongs to `file`, which closes it when freed.
  CameraFile* file = nullptr;
  int result = gp_file_new_from_fd(&file, descriptor);
  if (result < 0) {
    close(descriptor);
    folder.removeFile(temporary);
    logFailedDownload(record, "gp_file_new_from_fd", false);
    check(result, "gp_file_new_from_fd");
    return;
  }

  // While the session stops, the phase stays "stopping": the host must
  // not read that the camera is ready again after it asked to stop.
  bool stopping = state.phase == "stopping";
  state.transferring = true;
  if (!stopping) state.phase = "transferring";
  emit();

  fetchDescriptor = descriptor;
  writebackStarted = 0;
  double t0 = uptimeSeconds();
  result = gp_camera_file_get(state.camera, record.folder, record.name, GP_FILE_TYPE_NORMAL, file,
                              state.context);
  double t1 = uptimeSeconds();
  fetchDescriptor = -1;
  bool flushed = false;
  if (result >= 0) {
    int synced;
    do {
      synced = fsync(descriptor);
    } while (synced != 0 && errno == EINTR);
    flushed = synced == 0;
    if (!flushed) logFailedDownload(record, "fsync", true);
  } else {
    logFailedDownload(record, "gp_camera_file_get", false);
  }
  double t2 = uptimeSeconds();
  struct stat status {};
  std::int64_t size = fstat(descriptor, &status) == 0 ? status.st_size : 0;
  gp_file_free(file);

  if (!flushed) {
    folder.removeFile(temporary);
    if (result < 0) {
      check(result, "gp_camera_file_get");
    } else {
      failSession(kWriteFailed);
    }
    return;
  }

  std::optional<std::string> placed = placeFile(folder, temporary, name);
  if (!placed) {
    logFailedDownload(record, "renaming the temporary file", true);
    folder.removeFile(temporary);
    failSession(kWriteFailed);
    return;
  }
  // The file's own fsync does not make its new name durable; only a flush
  // of the folder does. Until then the host must not hear that it is saved.
  // The renamed photo stays where it is either way.
  if (!folder.sync()) {
    logFailedDownload(record, "flushing the folder", true);
    failSession(kWriteFailed);
    return;
  }

  state.received.append(identity);
  if (state.received.size() > kReceivedLimit) state.received.popFront();
  state.lastTransfer = {
      {"bytes", size},
      {"transferMs", (t1 - t0) * 1000},
      {"flushMs", (t2 - t1) * 1000},
  };
  state.nextParameterRead = WallClock::now() + kParameterPauseAfterSave;
  ++state.saved;
  state.lastFile = *placed;
  if (logging()) {
    logEvent("saved ", rawIdentity(record), " as ", *placed, ": ", size, " bytes, transfer ",
             (t1 - t0) * 1000, " ms, flush ", (t2 - t1) * 1000, " ms");
  }
  state.transferring = false;
  if (!stopping) state.phase = "ready";
  emit();
}
