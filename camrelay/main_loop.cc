#include "main_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "camera_events.h"
#include "commands.h"
#include "diagnostic_log.h"
#include "discovery.h"
#include "downloads.h"
#include "file_system.h"
#include "hotplug.h"
#include "parameters.h"
#include "program_path.h"
#include "session.h"

namespace {

constexpr std::size_t kReadSize = 4096;
constexpr int kInputWaitMs = 100;
constexpr auto kDiscoveryInterval = std::chrono::seconds(3);
// How long the bus must stay quiet after word of a change before it is
// looked at: a hub's devices then give one discovery, and a device being
// removed has left /sys by then.
constexpr auto kHotplugSettle = std::chrono::milliseconds(50);
// When a scan that missed a camera (see ScanOutcome) is made again, counted
// from the end of the miss; after the last one, notices and the 3-s look
// take over again.
constexpr auto kFirstMissRetry = std::chrono::seconds(1);
constexpr auto kLastMissRetry = std::chrono::seconds(3);
// Bytes of a command line that the diagnostic log keeps.
constexpr std::size_t kLoggedCommandLength = 1024;

using SteadyClock = std::chrono::steady_clock;

// A due time that never comes: nothing waits.
constexpr auto kNever = SteadyClock::time_point::max();

void signalStop(int) {
  state.cancelled = 1;
}

GPContextFeedback cancelOperation(GPContext*, void*) {
  return state.cancelled != 0 ? GP_CONTEXT_FEEDBACK_CANCEL : GP_CONTEXT_FEEDBACK_OK;
}

void installSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = signalStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a signal should cut the input wait short.
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Prepares libgphoto2. false after check() has reported the failure.
bool startLibrary() {
  state.context = gp_context_new();
  gp_context_set_cancel_func(state.context, cancelOperation, nullptr);
  return check(gp_abilities_list_new(&state.abilities), "gp_abilities_list_new") &&
         check(gp_abilities_list_load(state.abilities, state.context), "gp_abilities_list_load") &&
         check(gp_port_info_list_new(&state.ports), "gp_port_info_list_new");
}

void shutDown() {
  closeCamera();
  closeHotplugMonitor();
  if (state.ports != nullptr) gp_port_info_list_free(state.ports);
  state.ports = nullptr;
  if (state.abilities != nullptr) gp_abilities_list_free(state.abilities);
  state.abilities = nullptr;
  if (state.context != nullptr) gp_context_unref(state.context);
  state.context = nullptr;
}

enum class InputResult { kNone, kRead, kEnded, kOverrun };

// Reads what the host has written, waiting at most `timeoutMs` for it or
// for word of a USB change. `hotplug` receives the poll events of the
// hot-plug descriptor. kEnded at the end of input (or a failed read),
// kOverrun after reporting the protocol error.
InputResult readInput(std::string& inputBuffer, int timeoutMs, short& hotplug) {
  // poll skips a negative descriptor: without a listener only input counts.
  struct pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {hotplugDescriptor(), POLLIN, 0}};
  const struct pollfd& input = waits[0];
  int ready = poll(waits, 2, timeoutMs);
  hotplug = ready > 0 ? waits[1].revents : 0;
  // An input in error is read too: the read fails and ends the loop, where
  // waiting would spin on a poll that never blocks again.
  if (ready < 1 || (input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
    return InputResult::kNone;
  }
  char chunk[kReadSize];
  ssize_t count;
  do {
    count = read(STDIN_FILENO, chunk, sizeof chunk);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) {
    logEvent(count == 0 ? "standard input ended" : "standard input failed");
    return InputResult::kEnded;
  }
  if (!appendInput(inputBuffer, chunk, static_cast<std::size_t>(count))) {
    return InputResult::kOverrun;
  }
  return InputResult::kRead;
}

// Takes the hot-plug notices that `revents` announces. true when the bus may
// have changed. A listener that hung up is closed, as polling it would never
// wait again; the 3-s look carries on alone. An error (notices dropped when
// the socket overflowed) is taken, and cleared, by the drain.
bool takeHotplugNotices(short revents) {
  if ((revents & (POLLHUP | POLLNVAL)) != 0) {
    closeHotplugMonitor();
    return true;
  }
  return drainHotplugNotices();
}

// The input wait while no camera is open: 100 ms, or until `look` falls due.
int idleWaitMs(SteadyClock::time_point look) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(look - SteadyClock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, kInputWaitMs));
}

// The scans made again after a scan that missed a camera. Each is made
// once; a scan that lists every camera it could, or fails, ends both, and a
// miss by another scan starts them afresh.
struct MissRetries {
  SteadyClock::time_point first = kNever;
  SteadyClock::time_point last = kNever;

  SteadyClock::time_point next() const { return std::min(first, last); }
  bool due(SteadyClock::time_point now) const { return next() <= now; }

  // Follows a call for a scan that began at `began`; `retried` when it was
  // made because a retry fell due.
  void follow(ScanOutcome outcome, bool retried, SteadyClock::time_point began) {
    if (outcome == ScanOutcome::kSkipped) return;
    if (outcome != ScanOutcome::kMissedCamera) {
      first = last = kNever;
    } else if (retried) {
      if (first <= began) first = kNever;
      if (last <= began) last = kNever;
    } else {
      SteadyClock::time_point end = SteadyClock::now();
      first = end + kFirstMissRetry;
      last = end + kLastMissRetry;
    }
  }
};

// Takes in the open camera's events, then does at most one piece of work: a
// lost camera, one download, or a parameter read. Returns what the scan for
// a lost camera came to (kSkipped when none was made).
ScanOutcome cameraStep() {
  StepEnd step = takeEventsAndDownload(state.pendingFiles.empty() ? kCameraWaitMs : 0);
  if (step.result < 0) {
    // SIGTERM/SIGINT cut the wait short: that is the host asking us to
    // quit, not a camera failure. Shutdown closes the camera without a line.
    if (state.cancelled != 0) return ScanOutcome::kSkipped;
    std::string lost = state.selected;
    check(step.result, "gp_camera_wait_for_event");
    ScanOutcome outcome = discover("camera failure");
    for (const CameraEntry& entry : state.devices) {
      if (entry.id == lost) return outcome;
    }
    state.phase = "disconnected";
    emit();
    return outcome;
  }
  if (!step.downloaded && step.type == GP_EVENT_TIMEOUT && state.camera != nullptr) {
    readCameraParameters();
  }
  return ScanOutcome::kSkipped;
}

}  // namespace

void openMissingStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened;
    do {
      opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    } while (opened < 0 && errno == EINTR);
    // The lowest free descriptor is `fd` itself; anything else means /dev/null
    // could not be opened and there is nothing better to do.
    if (opened >= 0 && opened != fd) close(opened);
  }
}

bool appendInput(std::string& buffer, const char* bytes, std::size_t count) {
  buffer.append(bytes, count);
  if (buffer.size() <= kInputLimit) return true;
  failSession(kHelperProtocol);
  return false;
}

void carryOutLines(std::string& buffer) {
  std::size_t start = 0;
  for (std::size_t end; !heldPhotoQueued() && (end = buffer.find('\n', start)) != std::string::npos;
       start = end + 1) {
    carryOutLine(buffer.substr(start, end - start));
  }
  buffer.erase(0, start);
}

void carryOutLine(const std::string& line) {
  logEvent("command: ", std::string_view(line).substr(0, kLoggedCommandLength));
  // The JSON reader stops at a NUL, so it would carry out the text before
  // one and silently lose the rest of the line: such a line is no command.
  if (line.find('\0') != std::string::npos) return;
  // The JSON boundary: nothing the host sends may throw past this point.
  try {
    nlohmann::json command = nlohmann::json::parse(line, nullptr, false);
    if (command.is_discarded() || !command.is_object()) return;
    carryOutCommand(command);
  } catch (const std::exception&) {
    // A command that cannot be carried out leaves the state as it was.
  }
}

int runTethering(const char* argv0) {
  std::string folder = programFolder(argv0);
  setenv("CAMLIBS", joinPath(folder, "camlibs").c_str(), 1);
  setenv("IOLIBS", joinPath(folder, "iolibs").c_str(), 1);
  openDiagnosticLog();
  logEvent("camrelay ", CAMRELAY_VERSION, " starts: libgphoto2 ", libraryVersion(), ", camlibs ",
           getenv("CAMLIBS"), ", iolibs ", getenv("IOLIBS"));
  installSignalHandlers();
  // A signal that cuts the driver load short is a request to quit, not a
  // failed start-up.
  if (!startLibrary()) return state.cancelled != 0 ? 0 : 1;

  // Without a listener the 3-s look finds every change, only later.
  if (!openHotplugMonitor()) logEvent("no hot-plug monitor: the bus is looked at every 3 s");

  std::string inputBuffer;
  WallClock::time_point nextDiscovery = WallClock::time_point::min();
  // When word of a USB change is acted on, once the bus has settled; never
  // while none waits.
  SteadyClock::time_point hotplugLook = kNever;
  MissRetries missRetries;
  emit();

  // Once input has ended, the lines already read are still carried out;
  // then the session is finished as "stop" would finish it.
  bool inputEnded = false;
  while (state.cancelled == 0) {
    short hotplug = 0;
    if (!inputEnded) {
      bool linesWait = inputBuffer.find('\n') != std::string::npos;
      int inputWaitMs = state.camera == nullptr && !linesWait
                            ? idleWaitMs(std::min(hotplugLook, missRetries.next()))
                            : 0;
      InputResult input = readInput(inputBuffer, inputWaitMs, hotplug);
      if (input == InputResult::kOverrun) break;
      inputEnded = input == InputResult::kEnded;
    }
    carryOutLines(inputBuffer);
    if (inputEnded && inputBuffer.find('\n') == std::string::npos) {
      // The host quit or crashed. Photos that the camera has announced may
      // exist only in its memory, so they are saved before it is closed.
      if (state.camera != nullptr) stopSession();
      break;
    }
    // With a camera open notices are dropped: its own failure tells of its
    // unplugging, and the first look after it closes finds any other change.
    if (hotplug != 0 && takeHotplugNotices(hotplug) && state.camera == nullptr) {
      hotplugLook = SteadyClock::now() + kHotplugSettle;
    }

    SteadyClock::time_point now = SteadyClock::now();
    bool settled = hotplugLook <= now;
    bool retry = missRetries.due(now);
    if (state.camera != nullptr) {
      missRetries.follow(cameraStep(), false, now);
    } else if (nextDiscovery <= WallClock::now() || settled || retry) {
      // A notice scans even when the device set looks the same: a device
      // that was not usable at the last scan says so with a "change" notice.
      ScanOutcome outcome =
          settled ? discover("hot-plug notice")
          : retry ? discover("retry after a missed camera")
                  : rediscoverIfChanged(nextDiscovery == WallClock::time_point::min() ? "start-up"
                                                                                      : "3-s look");
      missRetries.follow(outcome, retry && !settled, now);
      nextDiscovery = WallClock::now() + kDiscoveryInterval;
      // A look made before the bus settled may have come too early for the
      // change that the notice announced; the settled look still follows.
      if (settled) hotplugLook = kNever;
    }
  }
  if (state.cancelled != 0) logEvent("SIGTERM or SIGINT: quitting");
  shutDown();
  logEvent("camrelay ends");
  closeDiagnosticLog();
  return 0;
}
