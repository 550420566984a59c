#include "busy_retry.h"

#include <time.h>

#include <utility>

void sleepFor(SteadyClock::duration duration) {
  auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  if (nanoseconds <= 0) return;
  struct timespec wait = {static_cast<time_t>(nanoseconds / 1000000000),
                          static_cast<long>(nanoseconds % 1000000000)};
  // Not resumed after a signal: SIGTERM/SIGINT asks to quit, and giveWay
  // says so next.
  nanosleep(&wait, nullptr);
}

BusyRetry::BusyRetry(std::function<bool()> giveWay, Clock clock, Sleep sleep)
    : giveWay_(std::move(giveWay)),
      clock_(clock),
      sleep_(sleep),
      deadline_(clock() + kBusyRetryLimit) {}

int BusyRetry::run(const std::function<int()>& attempt, const std::function<bool(int)>& busy) {
  for (;;) {
    ++tries_;
    int result = attempt();
    if (!busy(result)) return result;
    if (clock_() + kBusyRetryPause >= deadline_ || giveWay_()) return result;
    sleep_(kBusyRetryPause);
    if (giveWay_()) return result;
  }
}
