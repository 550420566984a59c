// The tethering program's whole state, the status line that reports it, and
// the one failure road that every other module takes.
#pragma once

#include <gphoto2/gphoto2-version.h>
#include <gphoto2/gphoto2.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "captures.h"
#include "event_pace.h"
#include "left_behind.h"
#include "live_view.h"
#include "timers.h"

// One attached camera as discovery lists it and the host names it.
struct CameraEntry {
  std::string id;       // libgphoto2 port path, always "usb:..."
  std::string name;     // camera model, "" when unknown
  double linkMbps = 0;  // negotiated USB rate, 0 when unknown

  bool operator==(const CameraEntry&) const = default;
};

// A set of strings that remembers insertion order. Only the oldest member is
// ever removed, which is all that the download queue and the record of saved
// files need.
class OrderedSet {
 public:
  bool contains(const std::string& member) const { return members_.count(member) != 0; }
  // Appends `member` unless it is already present.
  void append(const std::string& member);
  const std::string& front() const { return order_.front(); }
  // The members, oldest first.
  const std::deque<std::string>& members() const { return order_; }
  void popFront();
  std::size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }
  void clear();

 private:
  std::deque<std::string> order_;
  std::unordered_set<std::string> members_;
};

// A settings read that gave way to the host's commands part way, to be
// carried on later: the keys settled so far and where it stopped.
struct ParameterRead {
  SteadyClock::time_point began;
  std::size_t nextKey = 0;  // index of the first key not settled yet
  std::map<std::string, std::string> values;
  std::map<std::string, std::string> settings;  // the setting that settled each key
  std::string sources;  // which setting gave each key, for the diagnostic log
};

struct SessionState {
  // 1 until the host says hello for protocol 2 (protocol.h); then 2 until
  // the process ends.
  int protocol = 1;
  std::string phase = "idle";
  std::string failure;  // reported as "error"
  // libgphoto2's result behind `failure`, when it came from one.
  std::optional<int> failureCode;
  std::string selected;     // reported as "cameraId"
  std::string destination;  // absolute folder that downloads go to
  std::string lastFile;
  std::vector<CameraEntry> devices;  // reported as "cameras"
  std::map<std::string, std::string> cameraParameters;
  // The libgphoto2 setting that settled each key of the last read: a change
  // of that setting (a "set", a property-changed event) shows in its key.
  std::map<std::string, std::string> parameterSettings;
  // Empty, or exactly "bytes", "transferMs" and "flushMs".
  nlohmann::json lastTransfer = nlohmann::json::object();
  GPContext* context = nullptr;
  CameraAbilitiesList* abilities = nullptr;
  GPPortInfoList* ports = nullptr;
  // Written by the SIGTERM/SIGINT handler; read afresh by the loop and by
  // libgphoto2's cancel callback.
  volatile std::sig_atomic_t cancelled = 0;
  Camera* camera = nullptr;
  // The last error message that libgphoto2's context gave (a driver's
  // words for a failed capture, such as a focus miss).
  std::string contextError;
  // Every such message since the list was last cleared, oldest first, at
  // most kContextErrorsKept: ptp2 gives a refused setting's reason before
  // its own last words on the call.
  std::vector<std::string> contextErrors;
  // Set by the main loop: takes in what the host has written meanwhile,
  // without waiting, and says whether it holds a quick stop (protocol 2's
  // {"command":"stop","leave":true}) that has not been carried out yet.
  std::function<bool()> lookForQuickStop;
  // A quick stop waits to be carried out: a download under way stops, and
  // no new one begins.
  bool quickStopWaiting = false;
  // Set by the main loop: takes in what the host has written meanwhile,
  // without waiting, and says whether a command line waits after the one
  // being carried out (or the input ended). Camera work that retries gives
  // way then.
  std::function<bool()> commandWaiting;
  // The capture target that the host chose in this run ("card", "memory",
  // "card and memory"), set again after every start; kept across sessions.
  std::optional<std::string> captureTarget;
  // The open camera's driver answered GP_ERROR_NOT_SUPPORTED to a
  // single-setting access: its settings are read and written as a tree.
  bool singleSettingRefused = false;
  OrderedSet pendingFiles;  // identities waiting for download, oldest first
  // The loop's due times: the next settings read and event wait among them.
  TimerTable timers;
  EventPace pace;
  std::optional<ParameterRead> parameterRead;
  OrderedSet received;  // identities saved since "start", at most 512
  std::map<std::string, CameraFilePath> pendingPaths;
  // The capture that made each queued photo that one made (captures.h).
  std::map<std::string, std::uint64_t> pendingCaptures;
  bool canCapture = false;
  int operations = 0;       // the open camera's CameraAbilities operations
  std::uint64_t saved = 0;  // reported as "count"
  bool cameraParametersUnavailable = false;
  bool transferring = false;
  bool canTrigger = false;
  bool sonyCaptureNames = false;
  // Who the open camera is (cameraIdentity), for the photos it leaves behind.
  CameraBody cameraIdentity;
  // Photos that failures left behind, kept for the next start that matches.
  LeftBehind leftBehind;
  // Captures numbered so far in the process.
  std::uint64_t capturesTaken = 0;
  // The triggers of this session that no file-added event has followed yet,
  // oldest first: photos the camera is still making. "stop" waits for them.
  std::deque<CaptureInFlight> capturesInFlight;
  // The last file that a capture made: the second file of a RAW+JPEG pair
  // follows it.
  std::optional<CapturePhoto> lastCapturePhoto;
  // The live view under way, if any (live_view.h).
  std::optional<LiveView> liveView;
  // When the last trigger of this session was fired. A file that ended a
  // capture in flight may have come from the camera's own shutter button
  // instead, so the trigger's photo may still be on its way.
  std::optional<SteadyClock::time_point> lastTrigger;
};

inline constexpr std::size_t kContextErrorsKept = 8;

// The process-wide state. Tests reset it by assigning a fresh SessionState.
extern SessionState state;

// Failure keys that the host translates.
inline constexpr const char* kHelperProtocol = "tethering.error.helperProtocol";
inline constexpr const char* kCameraBusy = "tethering.error.cameraBusy";
inline constexpr const char* kCameraUnavailable = "tethering.error.cameraUnavailable";
inline constexpr const char* kChooseFolder = "tethering.error.chooseFolder";
inline constexpr const char* kWriteFailed = "tethering.error.writeFailed";

// The C string as UTF-8, or "" when it is null or not valid UTF-8.
std::string utf8OrEmpty(const char* text);
// The same for a fixed-size field that a driver may have filled to the brim:
// at most `capacity` bytes are read; a field without a NUL within them reads
// as "" (it cannot be told apart from garbage).
std::string utf8OrEmpty(const char* field, std::size_t capacity);

// The first string of libgphoto2's short version, or "".
std::string libraryVersion();

// The 13-key status object for the current state.
nlohmann::json statusSnapshot();

// Writes the status line to standard output, compact and flushed. Write
// errors are ignored: a host that went away must not stop the program.
// Writes nothing once SIGTERM/SIGINT has set `cancelled`.
void emit();

// Whether the host has asked for a quick stop that waits to be carried out
// (lookForQuickStop); once it has, true until the stop clears it.
bool askedToLeave();

// Writes one line of output, as emit() writes the status line: replies and
// events (protocol.h) take the same road, in the same order.
void writeLine(const nlohmann::json& line);

// Redirects status lines (tests only). Pass -1 to restore standard output.
void setStatusOutput(int fd);

// true for 0 or a positive libgphoto2 result. A negative one is reported
// (phase "error", its text, camera closed, one status line) and gives false.
// Once SIGTERM/SIGINT has set `cancelled`, a negative result only closes the
// camera: operations fail then because the host asked us to quit. `call`
// names the libgphoto2 function for the diagnostic log.
bool check(int result, const char* call = "libgphoto2");

// Reports the program's own failure: phase "error", `text`, camera closed,
// one status line. `code` is libgphoto2's result when the failure is one.
void failSession(const std::string& text, std::optional<int> code = std::nullopt);

// Closes the open camera, if any, and resets every per-camera field. Leaves
// the last file, count, metrics and saved identities for the host to see.
// Every photo still queued, and the one whose download failed, is left
// behind (leaveBehindQueued) before the camera is closed.
void closeCamera();
