#include "captures.h"

#include <cctype>

#include "diagnostic_log.h"
#include "protocol.h"
#include "session.h"

namespace {

std::string stemOf(const std::string& name) {
  return name.substr(0, name.rfind('.'));
}

std::string extensionOf(const std::string& name) {
  std::size_t dot = name.rfind('.');
  std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

}  // namespace

std::uint64_t numberCapture() {
  return ++state.capturesTaken;
}

void captureInFlight(std::uint64_t number) {
  SteadyClock::time_point now = state.timers.now();
  state.lastTrigger = now;
  state.capturesInFlight.push_back({number, now});
}

void captureReturned(std::uint64_t number, const std::string& name) {
  state.lastCapturePhoto =
      CapturePhoto{number, state.timers.now(), stemOf(name), extensionOf(name)};
}

std::uint64_t captureOfAnnounced(const std::string& name) {
  SteadyClock::time_point now = state.timers.now();
  std::optional<CapturePhoto>& last = state.lastCapturePhoto;
  bool pairWindow = last && !last->paired && now - last->at <= kPairWait;
  // The second file of a pair: the same stem (IMG_0001.JPG, IMG_0001.NEF),
  // or, with no capture in flight, another format (ptp2 numbers the two
  // files of a pair in the camera's memory on: capt0000.nef, capt0001.jpg).
  bool sameStem = pairWindow && stemOf(name) == last->stem;
  bool otherFormat = pairWindow && extensionOf(name) != last->extension;
  if (sameStem || (otherFormat && state.capturesInFlight.empty())) {
    last->at = now;
    last->paired = true;
    return last->number;
  }
  if (state.capturesInFlight.empty()) return 0;
  std::uint64_t number = state.capturesInFlight.front().number;
  state.capturesInFlight.pop_front();
  last = CapturePhoto{number, now, stemOf(name), extensionOf(name)};
  return number;
}

std::uint64_t captureOf(const std::string& queueKey) {
  auto found = state.pendingCaptures.find(queueKey);
  return found == state.pendingCaptures.end() ? 0 : found->second;
}

void loseCapturesInFlight(const char* why, std::size_t count) {
  auto& inFlight = state.capturesInFlight;
  for (; count > 0 && !inFlight.empty(); --count) {
    std::uint64_t number = inFlight.front().number;
    inFlight.pop_front();
    logEvent("capture ", number, " lost: ", why);
    writeEvent("captureLost", {{"capture", number}, {"reason", why}, {"mayBeOnCard", true}});
  }
}
