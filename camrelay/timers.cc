#include "timers.h"

#include <algorithm>
#include <climits>

int TimerTable::waitMs(std::initializer_list<Timer> timers) const {
  std::optional<SteadyClock::time_point> nearest;
  for (Timer timer : timers) {
    if (isSet(timer) && (!nearest || *at(timer) < *nearest)) nearest = at(timer);
  }
  if (!nearest) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*nearest - now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}
