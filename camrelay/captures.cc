#include "captures.h"

#include "diagnostic_log.h"
#include "protocol.h"
#include "session.h"

namespace {

std::string stemOf(const std::string& name) {
  return name.substr(0, name.rfind('.'));
}

}  // namespace

std::uint64_t numberCapture() {
  return ++state.capturesTaken;
}

void captureInFlight(std::uint64_t number) {
  SteadyClock::time_point now = SteadyClock::now();
  state.lastTrigger = now;
  state.capturesInFlight.push_back({number, now});
}

void captureReturned(std::uint64_t number, const std::string& name) {
  state.lastCapturePhoto = CapturePhoto{number, SteadyClock::now(), stemOf(name)};
}

std::uint64_t captureOfAnnounced(const std::string& name) {
  SteadyClock::time_point now = SteadyClock::now();
  std::optional<CapturePhoto>& last = state.lastCapturePhoto;
  bool pairWindow = last && now - last->at <= kPairWait;
  if (pairWindow && (state.capturesInFlight.empty() || stemOf(name) == last->stem)) {
    last->at = now;
    return last->number;
  }
  if (state.capturesInFlight.empty()) return 0;
  std::uint64_t number = state.capturesInFlight.front().number;
  state.capturesInFlight.pop_front();
  last = CapturePhoto{number, now, stemOf(name)};
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
