#include "main_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <set>

#include "camera_events.h"
#include "commands.h"
#include "diagnostic_log.h"
#include "discovery.h"
#include "downloads.h"
#include "event_pace.h"
#include "file_system.h"
#include "hotplug.h"
#include "left_behind.h"
#include "live_view.h"
#include "memory.h"
#include "parameters.h"
#include "program_path.h"
#include "protocol.h"
#include "session.h"

namespace {

constexpr std::size_t kReadSize = 4096;
// Bytes of a command line that the diagnostic log keeps.
constexpr std::size_t kLoggedCommandLength = 1024;

// A pipe that the signal handler writes a byte into, so that a signal that
// comes just before the input wait still ends it at once: the wait finds
// the byte. (A flag alone would be seen only after the wait.) Nobody reads
// the byte: the loop ends after the iteration.
int signalPipe[2] = {-1, -1};

void signalStop(int) {
  state.cancelled = 1;
  int saved = errno;
  if (signalPipe[1] >= 0) {
    ssize_t written = write(signalPipe[1], "", 1);
    (void)written;  // full: a byte is waiting already
  }
  errno = saved;
}

// libgphoto2 asks this from inside its operations. A download also stops
// for a quick stop that the host has sent meanwhile.
GPContextFeedback cancelOperation(GPContext*, void*) {
  if (state.cancelled != 0) return GP_CONTEXT_FEEDBACK_CANCEL;
  if (state.transferring && askedToLeave()) return GP_CONTEXT_FEEDBACK_CANCEL;
  return GP_CONTEXT_FEEDBACK_OK;
}

// Keeps the driver's words on a failure: ptp2 says why a capture failed (a
// focus miss) or why the camera refused a setting only there.
void rememberContextError(GPContext*, const char* text, void*) {
  state.contextError = utf8OrEmpty(text);
  if (state.contextErrors.size() < kContextErrorsKept) {
    state.contextErrors.push_back(state.contextError);
  }
}

// Opens the pipe that lets a signal end the input wait. Opened after the
// hot-plug listener, so that the listener's descriptor is what it was
// without the pipe: the emulated udev of the test bench was seen to miss
// a removal's notice when the listener had another number.
void openSignalPipe() {
  if (pipe(signalPipe) != 0) return;
  for (int fd : signalPipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
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
  gp_context_set_error_func(state.context, rememberContextError, nullptr);
  return check(gp_abilities_list_new(&state.abilities), "gp_abilities_list_new") &&
         check(gp_abilities_list_load(state.abilities, state.context), "gp_abilities_list_load") &&
         check(gp_port_info_list_new(&state.ports), "gp_port_info_list_new");
}

void shutDown() {
  closeCamera();
  giveUpLeftBehindAtExit();
  closeHotplugMonitor();
  if (state.ports != nullptr) gp_port_info_list_free(state.ports);
  state.ports = nullptr;
  if (state.abilities != nullptr) gp_abilities_list_free(state.abilities);
  state.abilities = nullptr;
  if (state.context != nullptr) gp_context_unref(state.context);
  state.context = nullptr;
}

// What the host has written and not yet carried out, and how its input
// stands.
struct HostInput {
  std::string buffer;
  bool ended = false;    // at its end, or a read failed
  bool overrun = false;  // more than the input limit without a line end
};

// Reads what the host has written, waiting at most `timeoutMs` (-1: with
// no end) for it, for word of a USB change, or for a signal. `hotplug`
// receives the poll events of the hot-plug descriptor. Sets `ended` at the
// end of input (or a failed read), `overrun` after reporting the protocol
// error.
void readInput(HostInput& host, int timeoutMs, short& hotplug) {
  // poll skips a negative descriptor: without a listener only input counts.
  struct pollfd waits[3] = {
      {STDIN_FILENO, POLLIN, 0}, {hotplugDescriptor(), POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
  const struct pollfd& input = waits[0];
  int ready = poll(waits, 3, state.cancelled != 0 ? 0 : timeoutMs);
  hotplug = ready > 0 ? waits[1].revents : 0;
  // An input in error is read too: the read fails and ends the loop, where
  // waiting would spin on a poll that never blocks again.
  if (ready < 1 || (input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) return;
  char chunk[kReadSize];
  ssize_t count;
  do {
    count = read(STDIN_FILENO, chunk, sizeof chunk);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) {
    logEvent(count == 0 ? "standard input ended" : "standard input failed");
    host.ended = true;
    return;
  }
  host.overrun = !appendInput(host.buffer, chunk, static_cast<std::size_t>(count));
}

// Reads what the host has written, without waiting and without passing the
// input limit, from inside a camera operation (a download), where the
// session must not fail: the loop reports an overrun once the operation
// has returned.
void takeInWithoutWaiting(HostInput& host) {
  while (!host.ended && host.buffer.size() < kInputLimit) {
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) < 1 || (input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
      return;
    }
    char chunk[kReadSize];
    ssize_t count;
    do {
      count = read(STDIN_FILENO, chunk, std::min(sizeof chunk, kInputLimit - host.buffer.size()));
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
      logEvent(count == 0 ? "standard input ended" : "standard input failed");
      host.ended = true;
      return;
    }
    host.buffer.append(chunk, static_cast<std::size_t>(count));
  }
}

// Asked between two settings of a read: takes in what the host has written
// meanwhile, without waiting, and says whether the read should stop for it:
// a complete line waits, the input ended or overran, or a signal came.
bool hostWaits(HostInput& host) {
  auto stop = [&host] {
    return host.ended || host.overrun || state.cancelled != 0 ||
           host.buffer.find('\n') != std::string::npos;
  };
  for (std::size_t before = SIZE_MAX; !stop() && host.buffer.size() != before;) {
    before = host.buffer.size();
    short hotplug = 0;  // left for the loop's own poll, which sees it again
    readInput(host, 0, hotplug);
  }
  return stop();
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

// The due times that end the input wait while no camera is open.
int idleWaitMs() {
  return state.timers.waitMs(
      {Timer::kDeviceLook, Timer::kHotplugSettle, Timer::kFirstMissRetry, Timer::kLastMissRetry});
}

// Schedules the scans made again after a scan that missed a camera, given
// what a call for a scan that began at `began` came to; `retried` when it
// was made because a retry fell due. Each retry is made once; a scan that
// lists every camera it could, or fails, cancels both, and a miss by
// another scan starts them afresh.
void followScan(ScanOutcome outcome, bool retried, SteadyClock::time_point began) {
  TimerTable& timers = state.timers;
  if (outcome == ScanOutcome::kSkipped) return;
  for (Timer retry : {Timer::kFirstMissRetry, Timer::kLastMissRetry}) {
    if (outcome != ScanOutcome::kMissedCamera || (retried && timers.when(retry) <= began)) {
      timers.cancel(retry);
    }
  }
  if (outcome == ScanOutcome::kMissedCamera && !retried) {
    timers.setAfter(Timer::kFirstMissRetry, kFirstMissRetry);
    timers.setAfter(Timer::kLastMissRetry, kLastMissRetry);
  }
}

// While no camera is open: the look at the USB devices or the scan that
// has fallen due, if any. A notice scans even when the device set looks
// the same: a device that was not usable at the last scan says so with a
// "change" notice.
void lookForCameras(bool firstLook) {
  TimerTable& timers = state.timers;
  bool settled = timers.due(Timer::kHotplugSettle);
  bool retry = timers.due(Timer::kFirstMissRetry) || timers.due(Timer::kLastMissRetry);
  if (!settled && !retry && !timers.due(Timer::kDeviceLook)) return;
  SteadyClock::time_point began = timers.now();
  ScanOutcome outcome = settled ? discover("hot-plug notice")
                        : retry ? discover("retry after a missed camera")
                                : rediscoverIfChanged(firstLook ? "start-up" : "3-s look");
  followScan(outcome, retry && !settled, began);
  timers.setAfter(Timer::kDeviceLook, kDeviceLookInterval);
  // A look made before the bus settled may have come too early for the
  // change that the notice announced; the settled look still follows.
  if (settled) timers.cancel(Timer::kHotplugSettle);
}

// The first wait of the next paced drain: as the pace says, but never
// past the next live view frame. On the interrupt road a wait of 0 looks at
// nothing (event_pace.h), so it lasts at least 1 ms there.
int eventWaitMs() {
  int paced = pacedWaitMs(state.pace.road);
  int untilFrame = msUntilFrame();
  if (untilFrame < 0 || paced <= untilFrame) return paced;
  return std::max(untilFrame, state.pace.road == EventRoad::kPolling ? 0 : 1);
}

// Reports the camera failure that `call` met (check), and looks at the bus
// at once: a camera gone from it leaves phase "disconnected". Returns what
// the scan came to.
ScanOutcome reportCameraFailure(int result, const char* call) {
  std::string lost = state.selected;
  check(result, call);
  ScanOutcome outcome = discover("camera failure");
  for (const CameraEntry& entry : state.devices) {
    if (entry.id == lost) return outcome;
  }
  state.phase = "disconnected";
  emit();
  return outcome;
}

// Takes in the open camera's events when its pace says so (event_pace.h),
// then does at most one piece of work: a lost camera, one download, a live
// view frame that is due (frames pause while photos are queued), or (part
// of) a settings read, which gives way to the host's commands and to the
// next frame. Returns what the scan for a lost camera came to (kSkipped
// when none was made).
ScanOutcome cameraStep(HostInput& host) {
  bool queued = !state.pendingFiles.empty();
  if (queued || !state.timers.waiting(Timer::kEventWait)) {
    StepEnd step = takeEventsAndDownload(queued ? 0 : eventWaitMs());
    if (step.result < 0) {
      // SIGTERM/SIGINT cut the wait short: that is the host asking us to
      // quit, not a camera failure. Shutdown closes the camera without a line.
      if (state.cancelled != 0) return ScanOutcome::kSkipped;
      return reportCameraFailure(step.result, "gp_camera_wait_for_event");
    }
    if (state.camera == nullptr) return ScanOutcome::kSkipped;
    if (!queued) scheduleEventWait(step.type == GP_EVENT_TIMEOUT, step.events);
    if (step.downloaded) {
      handBackFreedMemoryPastHalf();
      hurryEventWait();
      return ScanOutcome::kSkipped;
    }
  }
  // A command that came meanwhile goes before the frame: the loop carries
  // it out next, and then takes the frame.
  if (liveViewFrameDue() && state.pendingFiles.empty() && !heldPhotoQueued() && !hostWaits(host)) {
    int result = takeLiveViewFrame();
    if (result < 0) return reportCameraFailure(result, "gp_camera_capture_preview");
    return ScanOutcome::kSkipped;
  }
  if (state.pendingFiles.empty() && state.pace.quiet) {
    readCameraParameters([&host] { return hostWaits(host) || liveViewFrameDue(); });
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
  // A quick stop goes ahead whatever waits: the photo held in memory is
  // left behind with the rest. Each line leaves the buffer before it is
  // carried out, so that while it is, the buffer holds what comes after it.
  for (std::size_t end; (!heldPhotoQueued() || state.quickStopWaiting) &&
                        (end = buffer.find('\n')) != std::string::npos;) {
    std::string line = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    carryOutLine(line);
  }
  if (state.quickStopWaiting && !quickStopIn(buffer)) state.quickStopWaiting = false;
}

bool quickStopIn(const std::string& buffer) {
  int protocol = state.protocol;
  std::size_t start = 0;
  for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string_view line(buffer.data() + start, end - start);
    if (line.find('\0') != std::string_view::npos) continue;
    nlohmann::json command = nlohmann::json::parse(line, nullptr, false);
    if (!command.is_object() || !replyId(command)) continue;
    auto word = command.find("command");
    if (word == command.end()) continue;
    auto field = [&command](const char* name) {
      auto value = command.find(name);
      return value == command.end() ? nlohmann::json() : *value;
    };
    if (*word == "hello" && field("protocol") == 2) protocol = 2;
    if (*word == "stop" && protocol >= 2 && field("leave") == true) return true;
  }
  return false;
}

void carryOutLine(const std::string& line) {
  logEvent("command: ", std::string_view(line).substr(0, kLoggedCommandLength));
  // The JSON reader stops at a NUL, so it would carry out the text before
  // one and silently lose the rest of the line: such a line is no command.
  if (line.find('\0') != std::string::npos) return refuseLine();
  // The JSON boundary: nothing the host sends may throw past this point.
  try {
    // The object's own keys that the line gives more than once.
    std::set<std::string> seen, repeated;
    auto noteKey = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
      if (event == nlohmann::json::parse_event_t::key && depth == 1 &&
          !seen.insert(parsed.get<std::string>()).second) {
        repeated.insert(parsed.get<std::string>());
      }
      return true;
    };
    nlohmann::json command = nlohmann::json::parse(line, noteKey, false);
    if (command.is_discarded() || !command.is_object()) return refuseLine();
    carryOutCommand(command, repeated);
  } catch (const std::exception&) {
    // A command that cannot be carried out leaves the state as it was.
  }
}

int runTethering(const char* argv0) {
  // libgphoto2's texts in the C locale, whatever the user's environment:
  // its gettext gives them untranslated only there (glibc then ignores
  // LANGUAGE too), numbers are printed with a point, and ptp2's capture
  // target takes only the choice text of the locale it runs in. A C
  // program starts in the C locale; this keeps it so whatever a library
  // may have done.
  std::setlocale(LC_ALL, "C");
  std::string folder = programFolder(argv0);
  setenv("CAMLIBS", joinPath(folder, "camlibs").c_str(), 1);
  setenv("IOLIBS", joinPath(folder, "iolibs").c_str(), 1);
  openDiagnosticLog();
  logEvent("camrelay ", CAMRELAY_VERSION, " starts: libgphoto2 ", libraryVersion(), ", camlibs ",
           getenv("CAMLIBS"), ", iolibs ", getenv("IOLIBS"));
  installSignalHandlers();
  keepFreedBuffersForReuse();
  // A signal that cuts the driver load short is a request to quit, not a
  // failed start-up.
  if (!startLibrary()) return state.cancelled != 0 ? 0 : 1;

  // Without a listener the 3-s look finds every change, only later.
  if (!openHotplugMonitor()) logEvent("no hot-plug monitor: the bus is looked at every 3 s");
  openSignalPipe();

  HostInput host;
  state.lookForQuickStop = [&host] {
    takeInWithoutWaiting(host);
    return quickStopIn(host.buffer);
  };
  state.commandWaiting = [&host] {
    takeInWithoutWaiting(host);
    return host.ended || host.buffer.find('\n') != std::string::npos;
  };
  // The first look at the USB devices is due at once.
  state.timers.setNow(Timer::kDeviceLook);
  bool firstLook = true;
  emit();

  // Once input has ended, the lines already read are still carried out;
  // then the session is finished as "stop" would finish it.
  while (state.cancelled == 0) {
    short hotplug = 0;
    bool linesWait = host.buffer.find('\n') != std::string::npos;
    if (!host.ended && !host.overrun) {
      int waitMs = linesWait ? 0 : state.camera != nullptr ? cameraIdleWaitMs() : idleWaitMs();
      readInput(host, waitMs, hotplug);
      linesWait = host.buffer.find('\n') != std::string::npos;
    }
    if (host.overrun) break;
    carryOutLines(host.buffer);
    // After a command, the camera is asked again soon: a capture's photo
    // is on its way.
    if (linesWait && state.camera != nullptr) hurryEventWait();
    if (host.ended && host.buffer.find('\n') == std::string::npos) {
      // The host quit or crashed. Photos that the camera has announced may
      // exist only in its memory, so they are saved before it is closed.
      if (state.camera != nullptr) {
        endLiveView(LiveViewEnd::kInputEnded);
        stopSession();
      }
      break;
    }
    // With a camera open notices are dropped: its own failure tells of its
    // unplugging, and the first look after it closes finds any other change.
    if (hotplug != 0 && takeHotplugNotices(hotplug) && state.camera == nullptr) {
      state.timers.setAfter(Timer::kHotplugSettle, kHotplugSettle);
    }

    if (state.camera != nullptr) {
      SteadyClock::time_point began = state.timers.now();
      followScan(cameraStep(host), false, began);
    } else if (state.timers.isSet(Timer::kDeviceLook)) {
      lookForCameras(firstLook);
      firstLook = false;
    }
    // Start-up, scans and photos leave memory free; it goes back every few
    // seconds, and serves the next photos until then.
    if (!state.timers.waiting(Timer::kMemoryHandBack)) {
      handBackFreedMemory();
      state.timers.setAfter(Timer::kMemoryHandBack, kMemoryHandBackInterval);
    }
  }
  if (state.cancelled != 0) logEvent("SIGTERM or SIGINT: quitting");
  shutDown();
  state.lookForQuickStop = nullptr;
  state.commandWaiting = nullptr;
  logEvent("camrelay ends");
  closeDiagnosticLog();
  return 0;
}
