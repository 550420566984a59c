#include "downloads.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_set>
#include <variant>

#include "diagnostic_log.h"
#include "file_system.h"
#include "left_behind.h"
#include "protocol.h"
#include "session.h"

namespace {

// "hif" is the extension of Fujifilm's HEIF photos.
constexpr const char* kPhotoExtensions[] = {
    "jpg", "jpeg", "heic", "heif", "hif", "tif", "tiff", "png", "dng", "arw", "sr2",
    "srf", "cr2",  "cr3",  "crw",  "nef", "nrw", "raf",  "rw2", "orf", "pef", "3fr",
    "fff", "iiq",  "mos",  "kdc",  "dcr", "rwl", "x3f",  "raw", "srw", "erf"};
static_assert(std::size(kPhotoExtensions) == 32);

constexpr const char* kCapturePrefix = "capt_";
constexpr const char* kTemporaryPrefix = ".lumetra-";

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

// Where libgphoto2 writes the photo being fetched: straight into the
// temporary file. A failed write is remembered, so that a full or failing
// disk is reported as such whatever code the camera driver makes of it (one
// passes the write's own code on, another calls it an I/O problem, as a
// pulled cable is), and so that a driver that ignores the failure cannot
// make a cut-off photo look whole.
struct FetchTarget {
  int fd = -1;
  std::uint64_t written = 0;
  std::uint64_t readBack = 0;          // how far a driver has read it back
  std::uint64_t writebackStarted = 0;  // how much the disk was asked to write
  int writeError = 0;                  // errno of the failed write, or 0
  bool cutShort = false;               // a quick stop cut the download short
  // Progress for the host (protocol 2): the camera file, its size where
  // known, and when the last report went out.
  const nlohmann::json* camera = nullptr;
  std::optional<std::uint64_t> total;
  SteadyClock::time_point lastReport;
};

constexpr std::uint64_t kWritebackStep = 8 << 20;
constexpr std::uint64_t kWritePiece = 1 << 20;
// Progress is reported for files over this size, at most every so often.
// Counted here, as the bytes arrive: libgphoto2's context progress does not
// fire for ptp2's downloads over 1 MiB, which it fetches piece by piece.
constexpr std::uint64_t kProgressAbove = 1 << 20;
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

void reportProgress(FetchTarget& target) {
  if (target.camera == nullptr) return;
  if (target.total ? *target.total <= kProgressAbove : target.written <= kProgressAbove) return;
  SteadyClock::time_point now = SteadyClock::now();
  if (now - target.lastReport < kProgressInterval) return;
  target.lastReport = now;
  writeEvent("progress", {{"camera", *target.camera},
                          {"bytes", target.written},
                          {"total", target.total ? nlohmann::json(*target.total) : nullptr}});
}

int targetSize(void* data, std::uint64_t* size) {
  *size = static_cast<FetchTarget*>(data)->written;
  return GP_OK;
}

int targetRead(void* data, unsigned char* bytes, std::uint64_t* length) {
  auto& target = *static_cast<FetchTarget*>(data);
  ssize_t n;
  do {
    n = pread(target.fd, bytes, *length, static_cast<off_t>(target.readBack));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *length = 0;
    return GP_ERROR_IO_READ;
  }
  target.readBack += static_cast<std::uint64_t>(n);
  *length = static_cast<std::uint64_t>(n);
  return GP_OK;
}

int targetWrite(void* data, unsigned char* bytes, std::uint64_t* length) {
  auto& target = *static_cast<FetchTarget*>(data);
  if (target.writeError != 0) return GP_ERROR_IO_WRITE;  // the file has a hole already
  std::uint64_t done = 0;
  while (done < *length) {
    // A driver may go on after a failed write (ptp2 fetches every piece
    // whatever), but the context's cancel request stops it at the next.
    if (target.cutShort || askedToLeave()) {
      target.cutShort = true;
      *length = done;
      return GP_ERROR_CANCEL;
    }
    // In pieces, with the disk asked to write between them: a photo that
    // libgphoto2 hands over whole (from its cache) would otherwise dirty
    // all of its pages at once, and the kernel throttles such a writer.
    std::uint64_t piece = std::min(*length - done, kWritePiece);
    ssize_t n = pwrite(target.fd, bytes + done, piece, static_cast<off_t>(target.written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      target.writeError = n < 0 ? errno : EIO;
      *length = done;
      return GP_ERROR_IO_WRITE;
    }
    done += static_cast<std::uint64_t>(n);
    target.written += static_cast<std::uint64_t>(n);
    if (target.written - target.writebackStarted >= kWritebackStep) {
      // Lets the disk work while the camera sends the rest, so that the
      // fsync at the end has little left to do.
      startWriteback(target.fd, static_cast<off_t>(target.writebackStarted),
                     static_cast<off_t>(target.written - target.writebackStarted));
      target.writebackStarted = target.written;
    }
    reportProgress(target);
  }
  return GP_OK;
}

// libgphoto2 keeps a pointer to it in every file made from it.
CameraFileHandler fetchHandler = {targetSize, targetRead, targetWrite};

// Why a download failed: a libgphoto2 result for check(), or a text of our
// own for failSession().
struct Failure {
  int result;  // negative when check() reports the failure as `call`'s
  const char* call;
  std::string text;
  bool fromCamera = false;  // the fetch from the camera failed
  bool cutShort = false;    // a quick stop cut it short: no failure at all
};

Failure libraryFailure(int result, const char* call) {
  return Failure{result, call, ""};
}

Failure ownFailure(std::string text) {
  return Failure{GP_OK, "", std::move(text)};
}

// Whether the failure uses up one of the photo's tries. The disk and the
// folder fail on our side; a pulled cable, or the host's signal, is no fault
// of the photo's either.
DownloadFault faultOf(const Failure& failure) {
  if (!failure.fromCamera || state.cancelled != 0 || cameraUnplugged()) {
    return DownloadFault::kElsewhere;
  }
  if (failure.result == GP_ERROR_FILE_NOT_FOUND || failure.result == GP_ERROR_DIRECTORY_NOT_FOUND) {
    return DownloadFault::kNotOnCard;
  }
  return DownloadFault::kCamera;
}

// Writes the photo that `held` holds into the target, as a fetch from the
// camera would: no camera call.
int writeHeld(CameraFile* held, FetchTarget& target) {
  const char* data = nullptr;
  unsigned long size = 0;
  if (int result = gp_file_get_data_and_size(held, &data, &size); result < 0) return result;
  std::uint64_t length = size;
  return targetWrite(&target, reinterpret_cast<unsigned char*>(const_cast<char*>(data)), &length);
}

// What a saved file reports.
struct Saved {
  std::string name;  // its final name in the folder
  std::int64_t bytes = 0;
  double transferMs = 0;
  double flushMs = 0;
};

// The operating system's text for the last failure.
Failure systemFailure() {
  return ownFailure(utf8OrEmpty(std::strerror(errno)));
}

// What the host is told of a photo on its way (protocol 2): where it comes
// from, what made it and how large the camera says it is.
struct Announcement {
  nlohmann::json camera;
  std::uint64_t capture = 0;  // 0: no capture
  bool leftBehind = false;    // a photo that a failure left behind
  std::optional<std::uint64_t> cameraBytes;
};

nlohmann::json orNull(std::uint64_t number) {
  return number == 0 ? nlohmann::json() : nlohmann::json(number);
}

// The size that the camera's file information gives, without a request to
// the camera where the driver has read it already (ptp2 when it announced
// the file). Asked only in protocol 2; a failure leaves it unknown.
std::optional<std::uint64_t> cameraFileSize(const CameraFilePath& record) {
  CameraFileInfo info{};
  if (gp_camera_file_get_info(state.camera, record.folder, record.name, &info, state.context) < 0 ||
      (info.file.fields & GP_FILE_INFO_SIZE) == 0) {
    return std::nullopt;
  }
  return info.file.size;
}

// Fetches the camera's file `record` into `destination` under `name` (or
// the first free numbered name), writing the "transferring" line (and the
// "download" event) once the fetch begins; or, given the photo's bytes
// `held` in memory, writes them the same way without a camera call.
// Whatever it returns, no temporary file is left behind.
std::variant<Saved, Failure> saveFile(const CameraFilePath& record, const std::string& name,
                                      bool stopping, CameraFile* held,
                                      const Announcement& announcement) {
  // Everything below works on this one open folder. Were the folder moved
  // or replaced during the fetch, the photo lands whole in the folder that
  // was open, and no temporary file is left behind in either.
  Folder folder(state.destination);
  if (!folder.isOpen()) {
    logFailedDownload(record, "opening the folder", true);
    return systemFailure();
  }
  TemporaryFile temporary = folder.createFile(kTemporaryPrefix + randomUuid());
  if (!temporary.isOpen()) {
    logFailedDownload(record, "creating the temporary file", true);
    return systemFailure();
  }

  FetchTarget target;
  target.fd = temporary.descriptor();
  CameraFile* file = nullptr;
  if (held == nullptr) {
    if (int result = gp_file_new_from_handler(&file, &fetchHandler, &target); result < 0) {
      logFailedDownload(record, "gp_file_new_from_handler", false);
      return libraryFailure(result, "gp_file_new_from_handler");
    }
  }

  // While the session stops, the phase stays "stopping": the host must
  // not read that the camera is ready again after it asked to stop.
  state.transferring = true;
  if (!stopping) state.phase = "transferring";
  emit();
  if (speaksProtocol2()) {
    target.camera = &announcement.camera;
    target.total = announcement.cameraBytes;
    target.lastReport = SteadyClock::now();
    writeEvent("download", {{"camera", announcement.camera},
                            {"file", name},
                            {"total", target.total ? nlohmann::json(*target.total) : nullptr},
                            {"capture", orNull(announcement.capture)},
                            {"leftBehind", announcement.leftBehind}});
  }

  double t0 = uptimeSeconds();
  int result = held != nullptr ? writeHeld(held, target)
                               : gp_camera_file_get(state.camera, record.folder, record.name,
                                                    GP_FILE_TYPE_NORMAL, file, state.context);
  double t1 = uptimeSeconds();
  if (file != nullptr) gp_file_free(file);
  if (target.cutShort || (result < 0 && askedToLeave())) {
    logEvent("download of ", rawIdentity(record), " cut short by a quick stop after ",
             target.written, " bytes");
    Failure cut = libraryFailure(GP_ERROR_CANCEL, "");
    cut.cutShort = true;
    return cut;
  }
  if (target.writeError != 0) {
    errno = target.writeError;
    logFailedDownload(record, "writing the temporary file", true);
    return systemFailure();
  }
  if (result < 0) {
    const char* call = held != nullptr ? "gp_file_get_data_and_size" : "gp_camera_file_get";
    logFailedDownload(record, call, false);
    Failure failure = libraryFailure(result, call);
    failure.fromCamera = held == nullptr;
    return failure;
  }
  int synced;
  do {
    synced = fsync(temporary.descriptor());
  } while (synced != 0 && errno == EINTR);
  double t2 = uptimeSeconds();
  if (synced != 0) {
    logFailedDownload(record, "fsync", true);
    return ownFailure(kWriteFailed);
  }
  struct stat status {};
  std::int64_t size = fstat(temporary.descriptor(), &status) == 0 ? status.st_size : 0;

  std::optional<std::string> placed = placeFile(temporary, name);
  if (!placed) {
    logFailedDownload(record, "renaming the temporary file", true);
    return ownFailure(kWriteFailed);
  }
  // The file's own fsync does not make its new name durable; only a flush
  // of the folder does. Until then the host must not hear that it is saved.
  // The renamed photo stays where it is either way.
  if (!folder.sync()) {
    logFailedDownload(record, "flushing the folder", true);
    return ownFailure(kWriteFailed);
  }
  return Saved{*placed, size, (t1 - t0) * 1000, (t2 - t1) * 1000};
}

// The "photo" event of a saved photo, right after its "ready" line.
void announceSaved(const Saved& saved, const Announcement& announcement) {
  if (!speaksProtocol2()) return;
  nlohmann::json event = {{"file", saved.name},
                          {"path", joinPath(state.destination, saved.name)},
                          {"camera", announcement.camera},
                          {"bytes", saved.bytes},
                          {"capture", orNull(announcement.capture)},
                          {"leftBehind", announcement.leftBehind},
                          {"transferMs", saved.transferMs},
                          {"flushMs", saved.flushMs}};
  if (announcement.cameraBytes) {
    event["cameraBytes"] = *announcement.cameraBytes;
    if (*announcement.cameraBytes != static_cast<std::uint64_t>(saved.bytes)) {
      logEvent("saved ", saved.name, " holds ", saved.bytes, " bytes where the camera announced ",
               *announcement.cameraBytes);
    }
  }
  writeEvent("photo", std::move(event));
}

}  // namespace

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

std::optional<std::string> placeFile(TemporaryFile& file, const std::string& name) {
  std::string candidate = name;
  for (unsigned long number = 1;; ++number) {
    switch (file.commitAs(candidate)) {
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

namespace {

// enqueueDownload and enqueueAnnounced: `capture` is the capture's own
// photo's number, or nothing for a file the camera announced, which belongs
// to the capture that the attribution rule gives it once it is queued.
bool enqueue(const CameraFilePath* record, std::optional<std::uint64_t> capture) {
  auto skipped = [record](const char* reason) {
    nlohmann::json fields = {{"reason", reason}};
    if (record != nullptr) fields["camera"] = cameraFileJson(*record);
    writeEvent("fileSkipped", std::move(fields));
  };
  if (record == nullptr || !terminated(*record)) {
    logEvent("camera file without a name or folder: ignored");
    skipped("noName");
    return false;
  }
  std::string identity = fileIdentity(record);
  const char* outcome = "queued";
  bool queued = false;
  if (!photoName(cameraFilename(record))) {
    outcome = "no photo: ignored";
    skipped(recordName(*record).empty() && record->name[0] != '\0' ? "nameNotUtf8" : "notPhoto");
  } else if (state.received.contains(identity) || state.pendingFiles.contains(identity)) {
    outcome = "saved or queued already";
  } else {
    // Only a file that is fetched ends a capture in flight: one skipped, or
    // announced again, could never be told to the host as its photo.
    std::uint64_t number =
        capture ? *capture : captureOfAnnounced(lastPathComponent(recordName(*record)));
    state.pendingFiles.append(identity);
    state.pendingPaths[identity] = *record;
    if (number != 0) state.pendingCaptures[identity] = number;
    queued = true;
  }
  if (logging()) logEvent("camera file ", rawIdentity(*record), ": ", outcome);
  return queued;
}

}  // namespace

bool enqueueDownload(const CameraFilePath* record, std::uint64_t capture) {
  return enqueue(record, capture);
}

bool enqueueAnnounced(const CameraFilePath* record) {
  return enqueue(record, std::nullopt);
}

bool heldPhotoQueued() {
  return std::any_of(state.pendingPaths.begin(), state.pendingPaths.end(),
                     [](const auto& queued) { return heldByLibrary(queued.second); });
}

void downloadNext() {
  if (state.pendingFiles.empty() || state.camera == nullptr || askedToLeave()) return;

  // Take the file out of the queue first: whatever happens below, it is
  // not tried again in this session.
  std::string queued = state.pendingFiles.front();
  CameraFilePath record{};
  if (auto stored = state.pendingPaths.find(queued); stored != state.pendingPaths.end()) {
    record = stored->second;
    state.pendingPaths.erase(stored);
  }
  std::uint64_t capture = captureOf(queued);
  state.pendingCaptures.erase(queued);
  state.pendingFiles.popFront();
  // A photo that a failure left behind, queued again by this start. One
  // held in memory is saved from there and, being no camera file of this
  // session, leaves no identity in `received`.
  LeftPhoto* left = takenUp(queued);
  CameraFile* held = left != nullptr ? left->bytes.get() : nullptr;
  if (left != nullptr) {
    record = left->record;
    capture = left->capture;
  }
  if (!terminated(record)) return;

  std::string name = cameraFilename(&record);
  if (!photoName(name)) return;
  std::string identity = fileIdentity(&record);
  if (held == nullptr && state.received.contains(identity)) return;

  Announcement announcement{cameraFileJson(record), capture, left != nullptr, std::nullopt};
  if (speaksProtocol2()) {
    announcement.cameraBytes = held != nullptr ? std::optional(left->size) : cameraFileSize(record);
  }
  bool stopping = state.phase == "stopping";
  std::variant<Saved, Failure> outcome = saveFile(record, name, stopping, held, announcement);
  if (const Failure* failure = std::get_if<Failure>(&outcome)) {
    if (failure->cutShort) {
      // Left behind when the quick stop closes the camera, as after a
      // failure, but with no try used up.
      state.leftBehind.failed = FailedDownload{queued, record, false, capture};
      state.transferring = false;
    } else if (noteFailedDownload(queued, record, faultOf(*failure), capture)) {
      // Given up for good, with its log line: the session goes on.
      state.transferring = false;
      if (!stopping) state.phase = "ready";
      emit();
    } else if (failure->result < 0) {
      check(failure->result, failure->call);
    } else {
      failSession(failure->text);
    }
    return;
  }
  const Saved& saved = std::get<Saved>(outcome);
  if (held == nullptr) {
    state.received.append(identity);
    if (state.received.size() > kReceivedLimit) state.received.popFront();
  }
  if (left != nullptr) forgetSaved(*left);
  state.lastTransfer = {
      {"bytes", saved.bytes},
      {"transferMs", saved.transferMs},
      {"flushMs", saved.flushMs},
  };
  state.timers.setAfter(Timer::kParameterRead, kParameterPauseAfterSave);
  ++state.saved;
  state.lastFile = saved.name;
  if (logging()) {
    logEvent("saved ", rawIdentity(record), " as ", saved.name, ": ", saved.bytes,
             " bytes, transfer ", saved.transferMs, " ms, flush ", saved.flushMs, " ms");
  }
  state.transferring = false;
  if (!stopping) state.phase = "ready";
  emit();
  announceSaved(saved, announcement);
}
