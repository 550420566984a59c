// Photos that a failure leaves behind. When a failure closes the camera,
// every photo still queued, and the one whose download failed, is kept with
// the camera's identity, the destination folder and its camera path; a photo
// that only libgphoto2's cache holds (one of the camera's memory) is copied
// out of the cache first, since closing the camera frees it. The next "start"
// of the same camera into the same folder queues them before anything else.
// Nothing is kept across a restart of the program.
#pragma once

#include <gphoto2/gphoto2.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// At most this many photos are left behind, and at most this many bytes of
// them held in memory; past either the oldest are given up.
inline constexpr std::size_t kLeftBehindLimit = 512;
inline constexpr std::uint64_t kHeldBytesLimit = std::uint64_t{1} << 30;

// A photo's bytes, copied out of libgphoto2's cache into a memory file.
struct CameraFileUnref {
  void operator()(CameraFile* file) const { gp_file_unref(file); }
};
using HeldPhoto = std::unique_ptr<CameraFile, CameraFileUnref>;

// Who a camera is, for telling whose photos are left behind: its model,
// and the body's serial number where one can be had.
struct CameraBody {
  std::string model;
  std::optional<std::string> serial;

  bool operator==(const CameraBody&) const = default;
  // "model, serial X", or the model alone.
  std::string text() const;
  // {"model": M, "serial": S or null}.
  nlohmann::json json() const;
};

struct LeftPhoto {
  CameraFilePath record{};  // its folder and name on the camera
  CameraBody camera;        // the camera it came from
  std::string destination;  // the folder it was to be saved into, as given
  // The capture that made it, counted from 1 in the process; 0 for none.
  std::uint64_t capture = 0;
  HeldPhoto bytes;         // its copy, for a photo of libgphoto2's cache
  std::uint64_t size = 0;  // bytes that `bytes` holds
  int cameraFailures = 0;  // downloads of it that failed on the camera's side
  // While the open session has it queued: its key in the queue.
  std::string queueKey;
};

// Why a download failed, as far as a photo's tries go.
enum class DownloadFault {
  kCamera,     // the camera could not deliver it: uses up one of its two tries
  kNotOnCard,  // libgphoto2 found no such file or folder on the camera
  kElsewhere,  // the disk, the folder, a pulled cable, a signal: no try used
};

// The download that failed last, which the camera's close leaves behind
// first (it was taken out of the queue before it failed).
struct FailedDownload {
  std::string queueKey;
  CameraFilePath record{};
  bool cameraSide = false;
  std::uint64_t capture = 0;
};

struct LeftBehind {
  std::deque<LeftPhoto> photos;  // oldest first
  std::uint64_t heldBytes = 0;   // what their copies take in all
  std::optional<FailedDownload> failed;
  std::uint64_t keysGiven = 0;  // numbers the queue keys of held photos
};

// Who the open camera `camera` is: the model with the body's serial number
// where one can be had without asking the camera (the USB device's serial
// string, or a driver's "serialnumber" setting that it serves by itself
// from what it read at opening), else the model alone. Logged.
CameraBody cameraIdentity(Camera* camera, const std::string& model, const std::string& portPath);

// Whether two destination strings name the same folder for photos left
// behind: the same path once repeated "/", "/./" components and a trailing
// "/" are taken out. ".." and symbolic links are left as they are: they may
// lead elsewhere by the time of the next start.
std::string sameFolderKey(const std::string& directory);

// Every photo left behind, for the host: its camera folder and name, the
// body and folder it waits for, and whether it is held in memory or stays
// on the card.
nlohmann::json leftBehindJson();

// Whether the open camera's USB device has gone from the bus (its cable
// pulled), as the device registry tells without a call to libgphoto2.
bool cameraUnplugged();

// The closing camera's photos, called while it is still open: the failed
// download and every queued photo are left behind, photos of libgphoto2's
// cache copied out of it, each with a log line. After SIGTERM/SIGINT they
// are given up instead (the program ends).
void leaveBehindQueued();

// Queues, oldest first, the photos left behind by the camera now open
// (state.cameraIdentity) for the folder now chosen, each with a log line.
// A photo held in memory gets a queue key that no camera file has, so that
// the camera's own new files of the same name are queued beside it.
void takeUpLeftBehind();

// The left-behind photo that the open session queued under `queueKey`, or
// null for a photo the camera announced.
LeftPhoto* takenUp(const std::string& queueKey);

// The taken-up photo has been saved: it is no longer left behind.
void forgetSaved(const LeftPhoto& photo);

// Notes the failed download of the photo queued under `queueKey`, made by
// capture number `capture` (0 for none). true when
// the photo is given up for good (a photo taken up again that is no longer
// on the card, or that failed on the camera's side a second time), with its
// log line: the session then goes on. false when the failure ends the
// session and the camera's close leaves the photo behind.
bool noteFailedDownload(const std::string& queueKey, const CameraFilePath& record,
                        DownloadFault fault, std::uint64_t capture = 0);

// At exit: names every photo still left behind in the log, as not saved.
void giveUpLeftBehindAtExit();

// Gives up the oldest photos past the bounds, each with its log line.
void keepWithinBounds(std::size_t photos = kLeftBehindLimit,
                      std::uint64_t heldBytes = kHeldBytesLimit);
